#include "platform/qt/CorePlatform.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QThread>
#include <QTime>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <exception>

namespace keyvane {

namespace {

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
    p.MonotonicMs = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    p.SystemRandom = [](uint32_t n) { return QRandomGenerator::system()->bounded(n); };
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
    p.After = [](int ms, std::function<void()> fn) {
        QTimer::singleShot(ms < 0 ? 0 : ms, QCoreApplication::instance(), [fn = std::move(fn)] {
            // Thrown into the event loop, it would end the program without the wipe.
            try {
                fn();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "keyvane: a timer's handler failed: %s\n", e.what());
            } catch (...) {
                std::fputs("keyvane: a timer's handler failed\n", stderr);
            }
        });
    };
    p.EndProgram = [] {
        // exit() leaves every running event loop, modal ones included.
        QCoreApplication::exit(0);
    };
}

}  // namespace keyvane
