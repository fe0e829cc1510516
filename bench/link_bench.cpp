// What the link costs: the framer on a stream of block messages, and one block message
// per round trip over loopback TCP through QtSock and the framer, against the same round
// trip over plain blocking sockets and over a bare QTcpSocket.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTcpSocket>
#include <string>
#include <thread>

#include "link/Framer.h"
#include "platform/qt/QtSock.h"

namespace {

using keyvane::Framer;

constexpr int kBlock = 1004;

std::string BlockMessage(unsigned seed) {
    std::string s = "FB:" + std::string(1000, '\0') + "|";
    for (int i = 3; i < 1003; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<char>(seed >> 16);
    }
    return s;
}

// --- framer ---------------------------------------------------------------------------

void BM_FramerBlocks(benchmark::State& state) {
    const size_t readSize = static_cast<size_t>(state.range(0));
    std::string stream;
    for (unsigned i = 0; i < 256; ++i) stream += BlockMessage(i);
    Framer f;
    size_t messages = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += readSize) {
            f.Feed(std::string_view(stream).substr(at, readSize));
            while (auto m = f.Next({true, false})) {
                benchmark::DoNotOptimize(m->data());
                ++messages;
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["blocks"] = static_cast<double>(messages);
}
BENCHMARK(BM_FramerBlocks)->Arg(1)->Arg(100)->Arg(1004)->Arg(1460)->Arg(65536);

// --- round trips ------------------------------------------------------------------------

// A peer on its own thread with blocking sockets: answers every 1004 bytes with "OK:".
class OkPeer {
  public:
    OkPeer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 1);
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~OkPeer() {
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
    }
    int port() const { return port_; }

  private:
    void Run() {
        for (;;) {
            int c = ::accept(listener_, nullptr, nullptr);
            if (c < 0) return;
            int one = 1;
            ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            char buf[65536];
            size_t have = 0;
            for (;;) {
                ssize_t n = ::read(c, buf, sizeof buf);
                if (n <= 0) break;
                have += static_cast<size_t>(n);
                while (have >= kBlock) {
                    have -= kBlock;
                    if (::write(c, "OK:", 3) != 3) break;
                }
            }
            ::close(c);
        }
    }
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

OkPeer& Peer() {
    static OkPeer peer;
    return peer;
}

constexpr int kTrips = 2000;

void Report(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * kTrips);
    state.SetBytesProcessed(state.iterations() * kTrips * 1000);  // file bytes carried
}

// The ceiling: blocking sockets, no event loop.
void BM_RoundTripPlainSockets(benchmark::State& state) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(Peer().port()));
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        state.SkipWithError("connect failed");
        return;
    }
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string block = BlockMessage(1);
    char ok[3];
    for (auto _ : state) {
        for (int i = 0; i < kTrips; ++i) {
            if (::write(s, block.data(), block.size()) != kBlock) return;
            size_t got = 0;
            while (got < 3) {
                ssize_t n = ::read(s, ok + got, 3 - got);
                if (n <= 0) return;
                got += static_cast<size_t>(n);
            }
        }
    }
    ::close(s);
    Report(state);
}
BENCHMARK(BM_RoundTripPlainSockets)->UseRealTime();

// A bare QTcpSocket driven by its readyRead.
void BM_RoundTripQTcpSocket(benchmark::State& state) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(Peer().port()));
    if (!s.waitForConnected(5000)) {
        state.SkipWithError("connect failed");
        return;
    }
    s.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const QByteArray block = QByteArray::fromStdString(BlockMessage(1));
    QEventLoop loop;
    int left = 0, pendingOk = 0;
    QObject::connect(&s, &QTcpSocket::readyRead, [&] {
        pendingOk += static_cast<int>(s.readAll().size());
        while (pendingOk >= 3) {
            pendingOk -= 3;
            if (--left == 0) {
                loop.quit();
                return;
            }
            s.write(block);
            s.flush();
        }
    });
    for (auto _ : state) {
        left = kTrips;
        s.write(block);
        s.flush();
        loop.exec();
    }
    Report(state);
}
BENCHMARK(BM_RoundTripQTcpSocket)->UseRealTime();

// The program's path: QtSock's DataArrival, GetData, the framer, SendData.
void BM_RoundTripQtSockAndFramer(benchmark::State& state) {
    keyvane::QtSock sock;
    sock.Connect("127.0.0.1", std::to_string(Peer().port()));
    while (sock.State() != keyvane::Sock::sckConnected && sock.State() != keyvane::Sock::sckError)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (sock.State() != keyvane::Sock::sckConnected) {
        state.SkipWithError("connect failed");
        return;
    }
    const std::string block = BlockMessage(1);
    Framer framer;
    QEventLoop loop;
    int left = 0;
    sock.DataArrival = [&](int64_t) {
        framer.Feed(sock.GetData());
        while (auto m = framer.Next({false, true})) {
            if (*m != "OK:") continue;
            if (--left == 0) {
                loop.quit();
                return;
            }
            sock.SendData(block);
        }
    };
    for (auto _ : state) {
        left = kTrips;
        sock.SendData(block);
        loop.exec();
    }
    Report(state);
}
BENCHMARK(BM_RoundTripQtSockAndFramer)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
