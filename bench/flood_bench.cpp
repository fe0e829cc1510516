// Memory under two floods from a hostile peer.
//
// Acknowledged, never read: a keyvane-peer process sends a file of --mb MB on the fast
// link to a host of the bench's own that answers the probe and the offer, then sends
// "OK:" after "OK:" and reads nothing more. The bench prints the sender's peak resident
// memory, and how far the file got, after --flood-s seconds.
//
// Megabyte chat lines: a main window takes --lines chat lines of 1 MB and as many status
// lines of 1 MB; the bench prints how much the window's process grew. For comparison,
// --plain-lines lines go into a bare list the way the window added them before.
//
//   flood_bench [--mb N] [--flood-s S] [--lines N] [--plain-lines N] [--peer PATH]
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QListWidget>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

#include "app/frmMain.h"
#include "platform/files.h"
#include "platform/qt/QtPlatform.h"
#include "support/tempdir.h"

namespace {

const std::string kNonce = "0123456789abcdef";

// A field of /proc/<pid>/status in kB ("self" for this process), 0 when unknown.
long StatusKb(const std::string& pid, const char* field) {
    std::ifstream in("/proc/" + pid + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::string(field).size());
    return 0;
}

double Mb(long kb) {
    return static_cast<double>(kb) / 1024;
}

void AckedNeverRead(const std::string& root, const QString& peer, int mb, int floodSecs) {
    const std::string file = root + "flood.bin";
    keyvane::test::WriteRandomFile(file, int64_t{mb} * 1000000);
    QDir().mkpath(QString::fromStdString(root + "sender"));
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    QProcess sender;
    sender.start(peer, {"connect", "127.0.0.1", "--port", QString::number(server.serverPort()),
                        "--folder", QString::fromStdString(root + "sender"), "--send",
                        QString::fromStdString(file), "--address", "127.0.0.1", "--json"});
    if (!sender.waitForStarted() || !server.waitForNewConnection(10000)) {
        std::fprintf(stderr, "flood_bench: the sender did not connect\n");
        return;
    }
    const std::string pid = std::to_string(sender.processId());
    QTcpSocket* s = server.nextPendingConnection();
    // Reads until `needle` came, then no more than its buffer holds.
    std::string seen;
    const auto waitFor = [&](const std::string& needle) {
        QElapsedTimer t;
        t.start();
        while (seen.find(needle) == std::string::npos && t.elapsed() < 10000) {
            s->waitForReadyRead(50);
            seen += s->readAll().toStdString();
        }
        return seen.find(needle) != std::string::npos;
    };
    if (!waitFor("IP:")) return;
    s->write(("KV?1" + kNonce).c_str());
    if (!waitFor("KV!1" + kNonce) || !waitFor("KVF")) {
        std::fprintf(stderr, "flood_bench: no fast link, or no file offered\n");
        return;
    }
    s->setReadBufferSize(4096);
    s->write("KVR00000000");
    const std::string oks = [] {
        std::string o;
        for (int i = 0; i < 1000; ++i) o += "OK:";
        return o;
    }();
    QElapsedTimer t;
    t.start();
    long peak = 0;
    while (t.elapsed() < floodSecs * 1000 && sender.state() != QProcess::NotRunning) {
        if (s->bytesToWrite() < 1 << 16) s->write(oks.data(), static_cast<qint64>(oks.size()));
        peak = std::max(peak, StatusKb(pid, "VmHWM:"));
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    const bool finished = sender.state() == QProcess::NotRunning;
    peak = std::max(peak, StatusKb(pid, "VmHWM:"));
    sender.kill();
    sender.waitForFinished();
    std::printf("acknowledged, never read: %d MB file, %s after %.1f s; sender peak %.1f MB\n", mb,
                finished ? "sender finished" : "sender held back", t.elapsed() / 1000.0, Mb(peak));
}

void ChatLines(const std::string& root, int lines, int plainLines) {
    const std::string line(size_t{1} << 20, 'x');
    QDir().mkpath(QString::fromStdString(root + "window"));
    const long before = StatusKb("self", "VmRSS:");
    {
        keyvane::frmMain w(root + "window/",
                           [](keyvane::Platform& p) { p.MsgBox = [](const std::string&) {}; });
        const long opened = StatusKb("self", "VmRSS:");
        for (int i = 0; i < lines; ++i) {
            w.UpdateChatList(line);
            w.UpdateList(line);
        }
        QCoreApplication::processEvents();
        std::printf(
            "window, %d chat and %d status lines of 1 MB: grew %.1f MB (%.1f MB open, "
            "peak of the process %.1f MB)\n",
            lines, lines, Mb(StatusKb("self", "VmRSS:") - opened), Mb(opened - before),
            Mb(StatusKb("self", "VmHWM:")));
    }
    QListWidget bare;
    const long start = StatusKb("self", "VmRSS:");
    for (int i = 0; i < plainLines; ++i) bare.addItem(keyvane::ToQ(line));
    std::printf("bare list as before, %d lines of 1 MB: grew %.1f MB\n", plainLines,
                Mb(StatusKb("self", "VmRSS:") - start));
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int mb = 50, floodSecs = 5, lines = 20000, plainLines = 100;
    QString peer = KEYVANE_PEER_BIN;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const int v = std::atoi(argv[i + 1]);
        if (a == "--mb") mb = v;
        if (a == "--flood-s") floodSecs = v;
        if (a == "--lines") lines = v;
        if (a == "--plain-lines") plainLines = v;
        if (a == "--peer") peer = argv[i + 1];
    }
    keyvane::test::TempDir dir;
    AckedNeverRead(dir.path(), peer, mb, floodSecs);
    ChatLines(dir.path(), lines, plainLines);
    return 0;
}
