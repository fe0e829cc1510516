// The socket control against a plain Qt peer on 127.0.0.1.
#include "platform/qt/QtSock.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <QTimer>
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/events.h"
#include "support/plain_peer.h"

namespace keyvane {
namespace {

using test::FreePort;
using test::PlainPeer;
using test::RunEventsFor;
using test::WaitUntil;

bool LowDelay(const QtSock& sock) {
    int on = 0;
    socklen_t len = sizeof on;
    return ::getsockopt(sock.Descriptor(), IPPROTO_TCP, TCP_NODELAY, &on, &len) == 0 && on != 0;
}

TEST(QtSock, ConnectsWithLowDelayAndReportsItsStates) {
    PlainPeer peer(PlainPeer::Mode::Raw);
    QtSock sock;
    EXPECT_EQ(sock.State(), Sock::sckClosed);
    EXPECT_THROW(sock.SendData("CT:x"), SockError);
    EXPECT_EQ(sock.RoundTripUs(), -1);
    sock.Connect("127.0.0.1", std::to_string(peer.Listen()));
    EXPECT_NE(sock.State(), Sock::sckClosed);
    ASSERT_TRUE(WaitUntil([&] { return sock.State() == Sock::sckConnected && peer.Connected(); }));
    EXPECT_TRUE(LowDelay(sock));

    sock.SendData("OK:");
    ASSERT_TRUE(WaitUntil([&] { return peer.received.size() == 3; }));
    EXPECT_EQ(peer.received, "OK:");
    // The system's measure of the round trip, in microseconds: on loopback, well under
    // the second that a wrong unit would make of it.
    ASSERT_TRUE(WaitUntil([&] { return sock.RoundTripUs() > 0; }));
    EXPECT_LT(sock.RoundTripUs(), 1'000'000);
    sock.Close();
    EXPECT_EQ(sock.State(), Sock::sckClosed);
    EXPECT_EQ(sock.RoundTripUs(), -1);
}

// A name is resolved first; of its addresses (::1 and 127.0.0.1 for localhost) the one
// that answers is taken.
TEST(QtSock, ConnectsByNameTryingEachAddress) {
    PlainPeer peer(PlainPeer::Mode::Raw);
    QtSock sock;
    sock.Connect("localhost", std::to_string(peer.Listen()));
    EXPECT_EQ(sock.State(), Sock::sckResolvingHost);
    ASSERT_TRUE(WaitUntil([&] { return sock.State() == Sock::sckConnected && peer.Connected(); }));
    EXPECT_TRUE(LowDelay(sock));
}

TEST(QtSock, RefusedOrImpossibleAttemptsEndInTheErrorState) {
    const int port = FreePort();
    QtSock sock;
    sock.Connect("127.0.0.1", std::to_string(port));
    EXPECT_TRUE(WaitUntil([&] { return sock.State() == Sock::sckError; }));
    sock.Connect("127.0.0.1", "not a port");
    EXPECT_EQ(sock.State(), Sock::sckError);
    sock.Connect("", "7777");
    EXPECT_EQ(sock.State(), Sock::sckError);
    sock.Close();
    EXPECT_EQ(sock.State(), Sock::sckClosed);
}

TEST(QtSock, AcceptsARequestAfterClosingTheListener) {
    QtSock host;
    host.ListenAddress = "127.0.0.1";
    host.LocalPort = FreePort();
    host.Listen();
    EXPECT_EQ(host.State(), Sock::sckListening);
    host.ConnectionRequest = [&](intptr_t id) {
        host.Close();  // the listener goes; the request stays
        host.Accept(id);
    };
    PlainPeer client(PlainPeer::Mode::Raw);
    client.Connect(host.LocalPort);
    ASSERT_TRUE(WaitUntil([&] { return host.State() == Sock::sckConnected; }));
    EXPECT_TRUE(LowDelay(host));
    EXPECT_THROW(host.Accept(12345), SockError);
}

TEST(QtSock, UnacceptedRequestIsRefused) {
    QtSock host;
    host.ListenAddress = "127.0.0.1";
    host.LocalPort = FreePort();
    host.Listen();
    int requests = 0;
    host.ConnectionRequest = [&](intptr_t) { ++requests; };
    PlainPeer client(PlainPeer::Mode::Raw);
    client.Connect(host.LocalPort);
    EXPECT_TRUE(WaitUntil([&] { return client.disconnected; }));
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(host.State(), Sock::sckListening);
}

TEST(QtSock, LastWordsArriveBeforeTheDisconnect) {
    PlainPeer peer(PlainPeer::Mode::Raw);
    QtSock sock;
    std::string got;
    std::vector<std::string> events;
    sock.DataArrival = [&](int64_t) {
        got += sock.GetData();
        events.push_back("data");
    };
    sock.Disconnected = [&] { events.push_back("lost"); };
    sock.Connect("127.0.0.1", std::to_string(peer.Listen()));
    ASSERT_TRUE(WaitUntil([&] { return sock.State() == Sock::sckConnected && peer.Connected(); }));
    peer.Write("CT:bye");
    peer.Write("XX:");
    peer.HalfClose();
    ASSERT_TRUE(WaitUntil([&] { return !events.empty() && events.back() == "lost"; }));
    EXPECT_EQ(got, "CT:byeXX:");
    EXPECT_EQ(events.front(), "data");
    EXPECT_EQ(sock.State(), Sock::sckClosed);
}

TEST(QtSock, OwnCloseIsNoLostConnectionAndFlushDeliversFirst) {
    PlainPeer peer(PlainPeer::Mode::Raw);
    QtSock sock;
    int lost = 0;
    sock.Disconnected = [&] { ++lost; };
    sock.Connect("127.0.0.1", std::to_string(peer.Listen()));
    ASSERT_TRUE(WaitUntil([&] { return sock.State() == Sock::sckConnected && peer.Connected(); }));
    // More than Qt hands the system in one go, less than the system buffers: the peer
    // runs on this thread and reads only afterwards.
    std::string big(200000, 'x');
    sock.SendData(big);
    sock.SendData("XX:");
    sock.Flush(5000);
    sock.Close();
    ASSERT_TRUE(WaitUntil([&] { return peer.disconnected; }));
    EXPECT_EQ(peer.received.size(), big.size() + 3);
    EXPECT_TRUE(peer.received.ends_with("XX:"));
    EXPECT_EQ(lost, 0);
}

TEST(QtSock, ReadsWhileAHandlerRunsAreRaisedInItsWaitOrAfterIt) {
    PlainPeer peer(PlainPeer::Mode::Raw);
    QtSock sock;
    std::vector<std::string> reads;
    sock.DataArrival = [&](int64_t) {
        reads.push_back(sock.GetData());
        if (reads.size() == 1) {
            // More arrives while this handler runs without letting events through.
            peer.Write("second");
            pollfd p{sock.Descriptor(), POLLIN, 0};
            ::poll(&p, 1, 5000);
        }
    };
    sock.Connect("127.0.0.1", std::to_string(peer.Listen()));
    ASSERT_TRUE(WaitUntil([&] { return sock.State() == Sock::sckConnected && peer.Connected(); }));
    peer.Write("first");
    ASSERT_TRUE(WaitUntil([&] { return reads.size() == 2; }));
    EXPECT_EQ(reads, (std::vector<std::string>{"first", "second"}));

    // A handler that lets events through, as Pause does, gets what arrives meanwhile.
    reads.clear();
    bool inside = false;
    sock.DataArrival = [&](int64_t) {
        reads.push_back(sock.GetData());
        if (reads.size() == 1) {
            peer.Write("fourth");
            inside = WaitUntil([&] { return reads.size() == 2; }, 5000);
        }
    };
    peer.Write("third");
    ASSERT_TRUE(WaitUntil([&] { return reads.size() == 2; }));
    EXPECT_TRUE(inside);
    EXPECT_EQ(reads, (std::vector<std::string>{"third", "fourth"}));
}

// A peer that answers every message at once keeps this side from sleeping between
// them; timers (and with them painting and the user's clicks) must still get their turn.
TEST(QtSock, AWaitedForAnswerLeavesTimersTheirTurn) {
    const int ls = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(ls, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len);
    // Echoes each message at once, from a thread of its own, until 200000 of them.
    constexpr int kEchoes = 200000;
    std::atomic<int> echoes{0};
    std::atomic<bool> over{false};
    std::thread echo([ls, &echoes, &over] {
        const int s = ::accept(ls, nullptr, nullptr);
        const int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char buf[64];
        pollfd p{s, POLLIN, 0};
        while (!over && echoes < kEchoes) {
            if (::poll(&p, 1, 10) <= 0) continue;
            const ssize_t n = ::recv(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            ::send(s, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
            ++echoes;
        }
        ::close(s);
    });

    QtSock sock;
    bool stop = false;
    int atTimer = -1;
    sock.DataArrival = [&](int64_t) {
        sock.GetData();
        if (!stop) sock.SendData("x");
    };
    sock.Connect("127.0.0.1", std::to_string(ntohs(a.sin_port)));
    ASSERT_TRUE(WaitUntil([&] { return sock.State() == Sock::sckConnected; }));
    sock.SendData("x");
    QTimer::singleShot(20, [&] {
        atTimer = echoes;
        stop = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return stop; }));
    EXPECT_LT(atTimer, kEchoes);
    over = true;
    echo.join();
    sock.Close();
    ::close(ls);
}

// A peer that sends faster than the handlers take it cannot make this side hold more
// than a megabyte unread; nothing is lost meanwhile.
TEST(QtSock, HoldsAtMostAMegabyteUnread) {
    PlainPeer peer(PlainPeer::Mode::Raw);
    QtSock sock;
    int64_t most = 0;
    sock.DataArrival = [&](int64_t n) { most = std::max(most, n); };
    sock.Connect("127.0.0.1", std::to_string(peer.Listen()));
    ASSERT_TRUE(WaitUntil([&] { return sock.State() == Sock::sckConnected && peer.Connected(); }));
    std::string sent;
    for (int i = 0; i < 3 * 1024; ++i) sent += std::string(1024, static_cast<char>(i));
    peer.Write(sent);
    ASSERT_TRUE(WaitUntil([&] { return most >= (1 << 20); }));
    RunEventsFor(50);
    EXPECT_EQ(most, 1 << 20);
    std::string got;
    ASSERT_TRUE(WaitUntil([&] {
        got += sock.GetData();
        return got.size() >= sent.size();
    }));
    EXPECT_TRUE(got == sent);
}

// Messages go straight out while nothing is queued, and from our own queue once the
// system's is full: either way in order.
TEST(QtSock, SendsKeepTheirOrderWhenTheSystemBufferFills) {
    PlainPeer peer(PlainPeer::Mode::Raw);
    QtSock sock;
    int progress = 0;
    sock.SendProgress = [&](int64_t, int64_t) { ++progress; };
    sock.Connect("127.0.0.1", std::to_string(peer.Listen()));
    ASSERT_TRUE(WaitUntil([&] { return sock.State() == Sock::sckConnected && peer.Connected(); }));
    sock.SendData("OK:");
    EXPECT_EQ(progress, 1);
    std::string sent = "OK:";
    for (int i = 0; i < 5000; ++i) {  // 5 MB, more than the system holds unread
        const std::string block = "FB:" + std::string(1000, static_cast<char>(i)) + "|";
        sock.SendData(block);
        sent += block;
    }
    ASSERT_TRUE(WaitUntil([&] { return peer.received.size() >= sent.size(); }));
    EXPECT_TRUE(peer.received == sent);
}

}  // namespace
}  // namespace keyvane
