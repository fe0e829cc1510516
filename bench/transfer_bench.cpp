// File transfer between two peers over loopback, against this machine's ceiling for
// the protocol: a plain ping-pong of 1004-byte messages answered by 3-byte replies.
// Each peer runs in a process of its own, so each side's peak memory is its own.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "app/MainState.h"
#include "app/MainView.h"
#include "cipher/sdk.h"
#include "link/Session.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/qt/QtSock.h"
#include "support/tempdir.h"
#include "transfer/FileTransfer.h"

namespace {

using Clock = std::chrono::steady_clock;
using keyvane::MainState;
using keyvane::MainView;
using keyvane::Platform;
using keyvane::QtSock;
using keyvane::SDK;
using keyvane::Session;

constexpr size_t kMessage = 1004;
constexpr size_t kReply = 3;

long PeakKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool ReadAll(int fd, void* p, size_t n) {
    auto* c = static_cast<char*>(p);
    while (n > 0) {
        const ssize_t r = ::read(fd, c, n);
        if (r <= 0) return false;
        c += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool WriteAll(int fd, const void* p, size_t n) {
    const auto* c = static_cast<const char*>(p);
    while (n > 0) {
        const ssize_t w = ::write(fd, c, n);
        if (w <= 0) return false;
        c += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Runs `body` in a child process; what it returns comes back through a pipe.
struct Child {
    pid_t pid = -1;
    int fd = -1;
};
template <class Result>
Child Spawn(std::function<Result(int notifyFd)> body, int* readyFd = nullptr) {
    int out[2], ready[2];
    if (::pipe(out) != 0 || ::pipe(ready) != 0) std::abort();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        ::close(ready[0]);
        const Result r = body(ready[1]);
        WriteAll(out[1], &r, sizeof r);
        ::_exit(0);
    }
    ::close(out[1]);
    ::close(ready[1]);
    if (readyFd)
        *readyFd = ready[0];
    else
        ::close(ready[0]);
    return {pid, out[0]};
}
template <class Result>
Result Collect(const Child& c) {
    Result r{};
    ReadAll(c.fd, &r, sizeof r);
    ::close(c.fd);
    ::waitpid(c.pid, nullptr, 0);
    return r;
}

// --- the ceiling ---------------------------------------------------------------------

struct PingResult {
    double seconds = 0;
};

double PingPong(int rounds) {
    const int port = FreePort();
    int readyFd = -1;
    const Child echo = Spawn<PingResult>(
        [port](int notify) {
            const int ls = ::socket(AF_INET, SOCK_STREAM, 0);
            const int one = 1;
            ::setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(port));
            ::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a);
            ::listen(ls, 1);
            WriteAll(notify, "r", 1);
            const int s = ::accept(ls, nullptr, nullptr);
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            char buf[kMessage];
            while (ReadAll(s, buf, kMessage)) WriteAll(s, "OK:", kReply);
            ::close(s);
            ::close(ls);
            return PingResult{};
        },
        &readyFd);
    char r;
    ReadAll(readyFd, &r, 1);
    ::close(readyFd);

    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
    std::string msg(kMessage, 'x');
    char reply[kReply];
    const auto t0 = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        WriteAll(s, msg.data(), msg.size());
        ReadAll(s, reply, kReply);
    }
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    ::close(s);
    Collect<PingResult>(echo);
    return secs;
}

// --- two peers -------------------------------------------------------------------------

class QuietView : public MainView {
  public:
    void UpdateList(const std::string& line) override {
        if (onLine) onLine(line);
    }
    void UpdateChatList(const std::string&) override {}
    std::string IPText() const override { return "127.0.0.1"; }
    std::string ConnectText() const override { return connect; }
    void SetConnectText(const std::string& t) override { connect = t; }
    std::string KeyText() const override { return ""; }
    void SetKeyText(const std::string&) override {}
    std::string ChatText() const override { return ""; }
    void SetChatText(const std::string&) override {}
    void SetSendButtonsEnabled(bool) override {}
    void ShowProgress(bool) override {}
    void SetProgress(int) override {
        if (onProgress) onProgress();
    }
    void SetHourglass(bool) override {}
    void BumpSentBar() override {}
    void BumpRecvBar() override {}
    int SelectedVersion() const override { return 0; }

    std::string connect;
    std::function<void(const std::string&)> onLine;
    std::function<void()> onProgress;
};

struct Side {
    explicit Side(const std::string& folder) {
        sdk.AppFolder = folder;
        st.Recv = folder + "Recv/";
        std::filesystem::create_directories(st.Recv);
        sock.ListenAddress = "127.0.0.1";
        p.MsgBox = [](const std::string& t) { std::fprintf(stderr, "box: %s\n", t.c_str()); };
        p.ConfirmBox = [](const std::string&) { return true; };
        p.OpenFileName = [] { return std::string(); };
        p.PickProductPath = [] { return std::string(); };
        p.TimeText = [this] { return std::to_string(++tick); };  // Pause returns at once
        p.SecondsSinceMidnight = [] { return 0.0; };
        p.Randomize = [](double) {};
        p.Rnd = [] { return 0.5; };
        p.LocalIP = [] { return std::string("127.0.0.1"); };
        p.DoEvents = [] { QCoreApplication::processEvents(); };
        p.WaitForEvents = [](int ms) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, ms);
        };
        p.Sleep = [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); };
        p.EndProgram = [] {};
    }
    MainState st;
    QuietView view;
    SDK sdk;
    Platform p;
    QtSock sock;
    long tick = 0;
    Session session{st, view, sdk, p, sock};
    keyvane::FileTransfer transfer{session};
};

// Sleeps in the event loop between events, as the program's own loop does.
void RunUntil(const bool& done) {
    while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

struct PeerResult {
    double blockSeconds = 0;  // sender: first block sent to last acknowledgement
    long peakKb = 0;
    long long bytes = 0;  // receiver: length of the file received
};

struct TransferFigures {
    double blockSeconds = 0;
    long senderKb = 0, receiverKb = 0;
    bool intact = false;
};

TransferFigures TransferFile(const std::string& folder, int64_t length) {
    const std::string file = folder + "data.bin";
    std::filesystem::create_directories(folder);
    {
        keyvane::RecordFile f(file, 1 << 16);
        std::mt19937 gen(1);
        std::string chunk(1 << 16, '\0');
        for (int64_t at = 0, r = 1; at < length; at += chunk.size(), ++r) {
            for (char& c : chunk) c = static_cast<char>(gen());
            f.WriteRaw(r, std::string_view(chunk).substr(0, static_cast<size_t>(std::min<int64_t>(
                                                                chunk.size(), length - at))));
        }
        f.Close();
    }
    const std::string port = std::to_string(FreePort());
    int readyFd = -1;
    const Child receiver = Spawn<PeerResult>(
        [&](int notify) {
            int argc = 1;
            char name[] = "receiver";
            char* argv[] = {name, nullptr};
            QCoreApplication app(argc, argv);
            Side side(folder + "host/");
            bool done = false;
            side.view.onLine = [&](const std::string& l) {
                if (l == "File received." || l.rfind("File not received", 0) == 0) done = true;
            };
            side.st.PortStr = port;
            side.session.WaitForConnect();
            WriteAll(notify, "r", 1);
            RunUntil(done);
            QThread::msleep(200);  // let the last "OK:" go out
            QCoreApplication::processEvents();
            return PeerResult{0, PeakKb(), keyvane::ProbeLength(side.st.Recv + "data.bin")};
        },
        &readyFd);
    char r;
    ReadAll(readyFd, &r, 1);
    ::close(readyFd);
    const Child sender = Spawn<PeerResult>([&](int) {
        int argc = 1;
        char name[] = "sender";
        char* argv[] = {name, nullptr};
        QCoreApplication app(argc, argv);
        Side side(folder + "client/");
        bool done = false;
        Clock::time_point start{};
        bool started = false;
        side.view.onProgress = [&] {
            if (!started) start = Clock::now();
            started = true;
        };
        side.view.onLine = [&](const std::string& l) {
            if (l == "File Transferred." || l.rfind("The file", 0) == 0 ||
                l.rfind("Cannot", 0) == 0)
                done = true;
        };
        side.st.PortStr = port;
        side.view.connect = "127.0.0.1";
        side.session.Connect();
        side.transfer.SendFile(file, 0);
        RunUntil(done);
        const double secs = std::chrono::duration<double>(Clock::now() - start).count();
        return PeerResult{secs, PeakKb(), 0};
    });
    const PeerResult s = Collect<PeerResult>(sender);
    const PeerResult rcv = Collect<PeerResult>(receiver);
    TransferFigures f;
    f.blockSeconds = s.blockSeconds;
    f.senderKb = s.peakKb;
    f.receiverKb = rcv.peakKb;
    f.intact = rcv.bytes == length;
    return f;
}

constexpr int64_t kFileBytes = 50'000'000;
constexpr int64_t kSmallFileBytes = 5'000'000;
double g_ceilingMBs = 0, g_transferMBs = 0;
TransferFigures g_big, g_small;

void BM_Ceiling(benchmark::State& state) {
    const int rounds = static_cast<int>(kFileBytes / 1000);
    for (auto _ : state) {
        const double secs = PingPong(rounds);
        state.SetIterationTime(secs);
        g_ceilingMBs = rounds * 1000.0 / secs / 1e6;
    }
    state.counters["MB/s"] = g_ceilingMBs;
}

void BM_Transfer(benchmark::State& state) {
    keyvane::test::TempDir dir;
    for (auto _ : state) {
        g_small = TransferFile(dir.path() + "small/", kSmallFileBytes);
        g_big = TransferFile(dir.path() + "big/", kFileBytes);
        state.SetIterationTime(g_big.blockSeconds);
        g_transferMBs = (kFileBytes - 1000) / g_big.blockSeconds / 1e6;
    }
    state.counters["MB/s"] = g_transferMBs;
    state.counters["sender_peak_MB"] = g_big.senderKb / 1024.0;
    state.counters["receiver_peak_MB"] = g_big.receiverKb / 1024.0;
}

BENCHMARK(BM_Ceiling)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Transfer)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_ceilingMBs > 0 && g_transferMBs > 0) {
        std::printf("\nceiling (1004-byte ping, 3-byte pong): %.2f MB/s\n", g_ceilingMBs);
        std::printf("transfer of 50 MB, block phase:        %.2f MB/s (%.0f%% of the ceiling)%s\n",
                    g_transferMBs, 100.0 * g_transferMBs / g_ceilingMBs,
                    g_big.intact ? "" : "  FILE NOT INTACT");
        std::printf("peak memory, 50 MB file: sender %.1f MB, receiver %.1f MB\n",
                    g_big.senderKb / 1024.0, g_big.receiverKb / 1024.0);
        std::printf("peak memory,  5 MB file: sender %.1f MB, receiver %.1f MB\n",
                    g_small.senderKb / 1024.0, g_small.receiverKb / 1024.0);
    }
    return 0;
}
