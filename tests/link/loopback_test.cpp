// Two sessions over two real sockets on 127.0.0.1, each with its own program folder and
// cipher, driven by one event loop as two windows of one process would be.
#include <gtest/gtest.h>

#include <QTcpServer>
#include <string>
#include <vector>

#include "support/loop_peer.h"

namespace keyvane::test {
namespace {

class Loopback : public ::testing::Test {
  protected:
    LoopPeer host{true}, client{true};

    void SetUp() override {
        int port = FreePort();
        ASSERT_NE(port, 0);
        host.st.PortStr = client.st.PortStr = std::to_string(port);
    }

    void ConnectPair() {
        ConnectPeers(host, client);
        ASSERT_TRUE(host.boxes.empty());
    }
};

TEST_F(Loopback, ClientHangsUpHostGoesOn) {
    ConnectPair();
    client.session->Exit();
    EXPECT_EQ(client.ended, 1);
    ASSERT_TRUE(WaitUntil([&] { return !host.boxes.empty(); }));
    EXPECT_EQ(host.boxes[0], "Your connection was terminated manually by the person.  ");
    EXPECT_FALSE(host.st.IsConnected);
    ASSERT_TRUE(WaitUntil([&] { return host.sock.State() == Sock::sckClosed; }));
    EXPECT_FALSE(host.view.HasStatus("Connection lost."));
    EXPECT_EQ(host.ended, 0);

    // The host can wait again, and a new client finds it.
    LoopPeer second(true);
    host.session->WaitForConnect();
    second.ConnectTo(host.Port());
    EXPECT_TRUE(WaitUntil([&] { return second.st.IsConnected; }));
    EXPECT_TRUE(WaitUntil([&] { return host.st.IsConnected; }));
}

TEST_F(Loopback, HangUpReachesThePeerWhenTheProgramEndsRightAfter) {
    ConnectPair();
    host.session->Exit();
    host.Vanish();  // no more turns of its event loop
    ASSERT_TRUE(WaitUntil([&] { return client.ended == 1; }));
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
    // What the framer hands on, without a file transfer behind it.
    HookedReceiver hostFiles, clientFiles;
    host.session->Attach(&hostFiles);
    client.session->Attach(&clientFiles);
    std::vector<std::string> got;
    hostFiles.fl = [&](const std::string& n) {
        got.push_back("FL:" + n);
        hostFiles.receiving = true;
    };
    hostFiles.fb = [&](const std::string& m) {
        got.push_back(m);
        if (m.compare(0, 6, "FB:RM:") == 0) hostFiles.receiving = false;
        host.session->Send("OK:");
    };
    int oks = 0;
    clientFiles.ok = [&] { ++oks; };

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
