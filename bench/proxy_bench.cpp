// File transfer over a simulated slow link: two keyvane-peer processes, each with a
// program folder of its own, talk through a proxy that delays every byte (50 ms round
// trip) and caps the rate (10 MB/s). It prints the block phase of a 20 MB file with fast
// transfers, once through a proxy that queues without bound (a router with a deep
// buffer) and once through one that queues at most --queue-kb per direction (the rest
// waits in the sender's socket), with the sender's peak resident memory; and that of a
// small file with fast transfers switched off (one block per round trip), scaled to 20
// MB for comparison.
//
//   proxy_bench [--mb N] [--plain-kb N] [--rtt MS] [--rate MBPS] [--queue-kb N]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <algorithm>
#include <cstdio>
#include <fstream>
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

// A process's peak resident memory in kB so far, 0 when unknown.
long PeakKb(qint64 pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

struct Result {
    double seconds = -1;  // the sender's block phase
    long senderPeakKb = 0;
};

// One file from a connecting peer to a waiting one through the proxy.
Result Run(const std::string& root, int64_t bytes, bool fast, int oneWayMs, double rate,
           int64_t queueBytes, const std::string& tag) {
    const std::string w = root + tag + "w/", c = root + tag + "c/";
    QDir().mkpath(QString::fromStdString(w));
    QDir().mkpath(QString::fromStdString(c));
    if (!fast) keyvane::WriteTextLines(w + keyvane::fast::kSettingsFile, {"FastTransfers=off"});
    const std::string file = root + tag + ".bin";
    keyvane::test::WriteRandomFile(file, bytes);
    const int port = FreePort();
    DelayProxy proxy(port, oneWayMs, rate, queueBytes);
    proxy.keepLog = false;
    const QStringList common{"--port", QString::number(port), "--address", "127.0.0.1", "--json"};
    QProcess waiter, sender;
    waiter.start(KEYVANE_PEER_BIN, QStringList{"wait", "--bind", "127.0.0.1", "--stay", "--folder",
                                               QString::fromStdString(w)} +
                                       common);
    if (!WaitFor(waiter, "\"waiting\"", 10000)) return {};
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
    Result r;
    sender.waitForStarted();
    const qint64 pid = sender.processId();
    while (sender.state() != QProcess::NotRunning) {
        r.senderPeakKb = std::max(r.senderPeakKb, PeakKb(pid));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    while (waiter.state() != QProcess::NotRunning)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    const std::string got = keyvane::ReadWholeFile(w + "Recv/" + tag + ".bin");
    if (got != keyvane::ReadWholeFile(file)) {
        std::fprintf(stderr, "proxy_bench: the file arrived changed\n");
        return {};
    }
    const auto m = QRegularExpression("\"type\":\"sent\".*\"seconds\":([0-9.]+)")
                       .match(QString::fromUtf8(sender.readAllStandardOutput()));
    if (m.hasMatch()) r.seconds = m.captured(1).toDouble();
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int mb = 20, plainKb = 200, rtt = 50, queueKb = 256;
    double rate = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const double v = std::atof(argv[i + 1]);
        if (a == "--mb") mb = static_cast<int>(v);
        if (a == "--plain-kb") plainKb = static_cast<int>(v);
        if (a == "--rtt") rtt = static_cast<int>(v);
        if (a == "--rate") rate = v;
        if (a == "--queue-kb") queueKb = static_cast<int>(v);
    }
    keyvane::test::TempDir dir;
    const int64_t fastBytes = int64_t{mb} * 1000000, plainBytes = int64_t{plainKb} * 1000;
    const Result deep = Run(dir.path(), fastBytes, true, rtt / 2, rate * 1e6, 0, "deep");
    const Result bounded =
        Run(dir.path(), fastBytes, true, rtt / 2, rate * 1e6, int64_t{queueKb} * 1000, "bounded");
    const Result plain = Run(dir.path(), plainBytes, false, rtt / 2, rate * 1e6, 0, "plain");
    if (deep.seconds < 0 || bounded.seconds < 0 || plain.seconds < 0) return 1;
    std::printf("link: %d ms round trip, %.1f MB/s (proxy)\n", rtt, rate);
    const auto fastLine = [&](const std::string& how, const Result& r) {
        std::printf(
            "fast transfers, %d MB, %s: block phase %.2f s (%.2f MB/s); sender peak %.1f MB\n", mb,
            how.c_str(), r.seconds, static_cast<double>(fastBytes) / r.seconds / 1e6,
            static_cast<double>(r.senderPeakKb) / 1024);
    };
    fastLine("queue without bound", deep);
    fastLine("queue of " + std::to_string(queueKb) + " kB", bounded);
    std::printf("stop-and-wait, %d kB: block phase %.2f s; %d MB would take %.0f s\n", plainKb,
                plain.seconds, mb,
                plain.seconds * static_cast<double>(fastBytes) / static_cast<double>(plainBytes));
    return 0;
}
