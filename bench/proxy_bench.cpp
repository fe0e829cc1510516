// File transfer over a simulated slow link: two keyvane-peer processes, each with a
// program folder of its own, talk through a proxy that delays every byte (50 ms round
// trip) and caps the rate (10 MB/s). It prints the block phase of a 20 MB file with fast
// transfers, and of a small file with them switched off (one block per round trip),
// scaled to 20 MB for comparison.
//
//   proxy_bench [--mb N] [--plain-kb N] [--rtt MS] [--rate MBPS]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <cstdio>
#include <string>

#include "link/FastLink.h"
#include "platform/files.h"
#include "support/delay_proxy.h"
#include "support/tempdir.h"

namespace {

using keyvane::test::DelayProxy;

int FreePort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

bool WaitFor(QProcess& p, const QString& needle, int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (QString::fromUtf8(p.peek(1 << 20)).contains(needle)) return true;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return false;
}

// One file from a connecting peer to a waiting one through the proxy; the sender's block
// phase in seconds, or -1.
double Run(const std::string& root, int64_t bytes, bool fast, int oneWayMs, double rate) {
    const std::string w = root + (fast ? "fw/" : "pw/"), c = root + (fast ? "fc/" : "pc/");
    QDir().mkpath(QString::fromStdString(w));
    QDir().mkpath(QString::fromStdString(c));
    if (!fast) keyvane::WriteTextLines(w + keyvane::fast::kSettingsFile, {"FastTransfers=off"});
    const std::string file = root + (fast ? "fast.bin" : "plain.bin");
    keyvane::test::WriteRandomFile(file, bytes);
    const int port = FreePort();
    DelayProxy proxy(port, oneWayMs, rate);
    proxy.keepLog = false;
    const QStringList common{"--port", QString::number(port), "--address", "127.0.0.1", "--json"};
    QProcess waiter, sender;
    waiter.start(KEYVANE_PEER_BIN, QStringList{"wait", "--bind", "127.0.0.1", "--stay", "--folder",
                                               QString::fromStdString(w)} +
                                       common);
    if (!WaitFor(waiter, "\"waiting\"", 10000)) return -1;
    QStringList args{"connect",
                     "127.0.0.1",
                     "--folder",
                     QString::fromStdString(c),
                     "--send",
                     QString::fromStdString(file),
                     "--json",
                     "--address",
                     "127.0.0.1",
                     "--port",
                     QString::number(proxy.Port())};
    sender.start(KEYVANE_PEER_BIN, args);
    while (sender.state() != QProcess::NotRunning)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    while (waiter.state() != QProcess::NotRunning)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    const std::string got = keyvane::ReadWholeFile(w + "Recv/" + (fast ? "fast.bin" : "plain.bin"));
    if (got != keyvane::ReadWholeFile(file)) {
        std::fprintf(stderr, "proxy_bench: the file arrived changed\n");
        return -1;
    }
    const auto m = QRegularExpression("\"type\":\"sent\".*\"seconds\":([0-9.]+)")
                       .match(QString::fromUtf8(sender.readAllStandardOutput()));
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int mb = 20, plainKb = 200, rtt = 50;
    double rate = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const double v = std::atof(argv[i + 1]);
        if (a == "--mb") mb = static_cast<int>(v);
        if (a == "--plain-kb") plainKb = static_cast<int>(v);
        if (a == "--rtt") rtt = static_cast<int>(v);
        if (a == "--rate") rate = v;
    }
    keyvane::test::TempDir dir;
    const int64_t fastBytes = int64_t{mb} * 1000000, plainBytes = int64_t{plainKb} * 1000;
    const double fastSecs = Run(dir.path(), fastBytes, true, rtt / 2, rate * 1e6);
    const double plainSecs = Run(dir.path(), plainBytes, false, rtt / 2, rate * 1e6);
    if (fastSecs < 0 || plainSecs < 0) return 1;
    std::printf("link: %d ms round trip, %.1f MB/s (proxy)\n", rtt, rate);
    std::printf("fast transfers, %d MB: block phase %.2f s (%.2f MB/s)\n", mb, fastSecs,
                static_cast<double>(fastBytes) / fastSecs / 1e6);
    std::printf("stop-and-wait, %d kB: block phase %.2f s; %d MB would take %.0f s\n", plainKb,
                plainSecs, mb,
                plainSecs * static_cast<double>(fastBytes) / static_cast<double>(plainBytes));
    return 0;
}
