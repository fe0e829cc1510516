#include "platform/qt/CorePlatform.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QThread>
#include <QTime>
#include <QTimer>
#include <bit>
#include <chrono>
#include <memory>
#include <random>

namespace keyvane {

namespace {

// A reseedable generator: Randomize takes any double, Rnd draws from [0, 1).
struct Random {
    std::mt19937_64 gen{std::random_device{}()};
    void Seed(double s) { gen.seed(std::bit_cast<uint64_t>(s)); }
    double Draw() { return static_cast<double>(gen() >> 11) * 0x1.0p-53; }
};

std::string FirstIPv4() {
    for (const QNetworkInterface& nic : QNetworkInterface::allInterfaces()) {
        const auto flags = nic.flags();
        if (!(flags & QNetworkInterface::IsUp) || (flags & QNetworkInterface::IsLoopBack)) continue;
        for (const QNetworkAddressEntry& e : nic.addressEntries()) {
            const QHostAddress a = e.ip();
            if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback())
                return a.toString().toStdString();
        }
    }
    return "127.0.0.1";
}

}  // namespace

void InstallQtCorePlatform(Platform& p) {
    p.TimeText = [] { return QTime::currentTime().toString("HH:mm:ss").toStdString(); };
    p.SecondsSinceMidnight = [] { return QTime::currentTime().msecsSinceStartOfDay() / 1000.0; };
    p.MonotonicMs = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    auto random = std::make_shared<Random>();
    p.Randomize = [random](double seed) { random->Seed(seed); };
    p.Rnd = [random] { return random->Draw(); };
    p.LocalIP = [] { return FirstIPv4(); };

    p.DoEvents = [] { QCoreApplication::processEvents(); };
    p.WaitForEvents = [](int ms) {
        // The timer bounds the wait: something arrives within `ms` at the latest.
        QTimer bound;
        bound.setSingleShot(true);
        bound.start(ms < 0 ? 0 : ms);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    };
    p.Sleep = [](int ms) { QThread::msleep(ms < 0 ? 0 : ms); };
    p.EndProgram = [] {
        // exit() leaves every running event loop, modal ones included.
        QCoreApplication::exit(0);
    };
}

}  // namespace keyvane
