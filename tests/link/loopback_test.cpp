// Two sessions over two real sockets on 127.0.0.1, each with its own program folder and
// cipher, driven by one event loop as two windows of one process would be.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QThread>
#include <QTimer>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>

#include "support/fakes.h"
#include "platform/files.h"
#include "platform/qt/QtSock.h"
#include "support/events.h"

namespace keyvane::test {
namespace {

namespace fs = std::filesystem;

std::string Now() {
    std::time_t t = std::time(nullptr);
    char b[9];
    std::strftime(b, sizeof b, "%H:%M:%S", std::localtime(&t));
    return b;
}

struct QtPeer {
    TempDir dir;
    MainState st;
    FakeView view;
    SDK sdk;
    Platform p;
    std::vector<std::string> boxes;
    int ends = 0;
    std::unique_ptr<QtSock> ownSock = std::make_unique<QtSock>();
    QtSock& sock = *ownSock;
    HookedReceiver files;
    std::unique_ptr<Session> session;

    QtPeer() {
        sdk.AppFolder = dir.path();
        WriteTextLines(dir.file("settings.dat"), {"FastTransfers=off"});  // the plain protocol
        view.ip = "127.0.0.1";
        sock.ListenAddress = "127.0.0.1";
        p.MsgBox = [this](const std::string& t) { boxes.push_back(t); };
        p.TimeText = Now;
        p.Sleep = [](int ms) { QThread::msleep(ms); };
        p.After = [](int ms, std::function<void()> fn) {
            QTimer::singleShot(ms, QCoreApplication::instance(), std::move(fn));
        };
        p.EndProgram = [this] { ++ends; };
        session = std::make_unique<Session>(st, view, sdk, p, sock);
        session->Attach(&files);
    }

    std::string Encipher(std::string text) {
        sdk.EncryptString(text);
        return text;
    }

    std::map<std::string, std::string> KeyFiles() const {
        std::map<std::string, std::string> keys;
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (e.is_regular_file())
                keys[e.path().filename().string()] = ReadWholeFile(e.path().string());
        return keys;
    }
};

class Loopback : public ::testing::Test {
  protected:
    QtPeer host, client;

    void SetUp() override {
        int port = FreePort();
        ASSERT_NE(port, 0);
        host.st.PortStr = client.st.PortStr = std::to_string(port);
    }

    void ConnectPair() {
        host.session->WaitForConnect();
        ASSERT_TRUE(host.boxes.empty());
        client.view.connect = "127.0.0.1";
        client.session->Connect();
        ASSERT_TRUE(WaitUntil([&] { return client.st.IsConnected; }));
        ASSERT_TRUE(WaitUntil([&] { return host.view.HasStatus("Connected."); }));
    }
};

TEST_F(Loopback, ClientHangsUpHostGoesOn) {
    ConnectPair();
    client.session->Exit();
    EXPECT_EQ(client.ends, 1);
    ASSERT_TRUE(WaitUntil([&] { return !host.boxes.empty(); }));
    EXPECT_EQ(host.boxes[0], "Your connection was terminated manually by the person.  ");
    EXPECT_FALSE(host.st.IsConnected);
    ASSERT_TRUE(WaitUntil([&] { return host.sock.State() == Sock::sckClosed; }));
    EXPECT_FALSE(host.view.HasStatus("Connection lost."));
    EXPECT_EQ(host.ends, 0);

    // The host can wait again, and a new client finds it.
    QtPeer second;
    second.st.PortStr = host.st.PortStr;
    host.session->WaitForConnect();
    second.view.connect = "127.0.0.1";
    second.session->Connect();
    EXPECT_TRUE(WaitUntil([&] { return second.st.IsConnected; }));
    EXPECT_TRUE(WaitUntil([&] { return host.st.IsConnected; }));
}

TEST_F(Loopback, HangUpReachesThePeerWhenTheProgramEndsRightAfter) {
    ConnectPair();
    host.session->Exit();
    host.session.reset();
    host.ownSock.reset();  // the process is gone: no more turns of its event loop
    ASSERT_TRUE(WaitUntil([&] { return client.ends == 1; }));
    EXPECT_FALSE(client.view.HasStatus("Connection lost."));
}

TEST_F(Loopback, PortsThatCannotBeListenedOn) {
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::LocalHost, std::stoi(host.st.PortStr)));
    host.session->WaitForConnect();
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_NE(host.boxes[0].find("in use"), std::string::npos);
    EXPECT_FALSE(host.st.IsHost());
    squatter.close();

    host.st.PortStr = "0";
    host.session->WaitForConnect();
    host.st.PortStr = "70000";
    host.session->WaitForConnect();
    EXPECT_EQ(host.boxes.size(), 3u);
    EXPECT_TRUE(host.view.status.empty());

    host.st.PortStr = client.st.PortStr;
    host.session->WaitForConnect();
    host.session->WaitForConnect();
    ASSERT_EQ(host.boxes.size(), 4u);
    EXPECT_NE(host.boxes[3].find("already"), std::string::npos);
    EXPECT_EQ(host.view.status, std::vector<std::string>{"Waiting for Connection"});
}

TEST_F(Loopback, FileMessagesArriveWholeWhateverLiesBetweenThem) {
    ConnectPair();
    std::vector<std::string> got;
    host.files.fl = [&](const std::string& n) {
        got.push_back("FL:" + n);
        host.files.receiving = true;
    };
    host.files.fb = [&](const std::string& m) {
        got.push_back(m);
        if (m.compare(0, 6, "FB:RM:") == 0) host.files.receiving = false;
        host.session->Send("OK:");
    };
    int oks = 0;
    client.files.ok = [&] { ++oks; };

    std::string block(1000, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + 124);
    client.session->Send("FL:data.bin");
    ASSERT_TRUE(WaitUntil([&] { return got.size() == 1; }));
    client.session->Send("FB:" + block + "|");
    client.session->Send("CT:" + client.Encipher("between"));
    client.session->Send("FB:" + block + "|");
    client.session->Send("FB:RM:" + block.substr(0, 999) + "|");
    ASSERT_TRUE(WaitUntil([&] { return oks == 3 && host.view.chat.size() == 1; }));
    EXPECT_EQ(got, (std::vector<std::string>{"FL:data.bin", "FB:" + block, "FB:" + block,
                                             "FB:RM:" + block.substr(0, 999)}));
    EXPECT_EQ(host.view.chat, std::vector<std::string>{"between"});
}

}  // namespace
}  // namespace keyvane::test
