// The session's commands and dispatcher over a fake socket: the test plays the peer.
#include "link/Session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "platform/files.h"
#include "support/fakes.h"
#include "transfer/FileTransfer.h"

namespace keyvane::test {
namespace {

namespace fs = std::filesystem;

const char* const kNotConnected = "You are not connected.";
const char* const kUnable = "Unable to Connect.  Check your IP address and/or port and try again.";

// --- connecting ------------------------------------------------------------------

TEST(SessionConnect, HostAcceptsThenCompletesTheHandshakeOnIP) {
    FakePeer host;
    host.session->WaitForConnect();
    EXPECT_EQ(host.sock.LocalPort, 7777);
    EXPECT_EQ(host.view.status, (std::vector<std::string>{"Waiting for Connection"}));
    EXPECT_TRUE(host.st.IsHost());
    EXPECT_FALSE(host.st.IsClient());

    host.sock.ConnectionRequest(42);
    EXPECT_EQ(host.sock.closes, 1);  // the listening socket makes way for the connection
    EXPECT_EQ(host.sock.accepted, std::vector<intptr_t>{42});
    EXPECT_TRUE(host.st.IsConnected);
    EXPECT_FALSE(host.view.sendEnabled);     // no key files for this peer yet
    EXPECT_EQ(host.view.status.size(), 1u);  // no status line on accepting

    host.sock.Receive("IP:192.0.2.20");
    EXPECT_TRUE(host.view.sendEnabled);
    EXPECT_EQ(host.view.connect, "192.0.2.20");
    EXPECT_TRUE(FileExists(host.sdk.File("k1.bin")));
    EXPECT_EQ(host.view.status.back(), "Connected.");
}

TEST(SessionConnect, NothingIsEncipheredBeforeThisConnectionsKeyFiles) {
    FakePeer host;
    FileTransfer transfer(*host.session, host.view, host.plat.p, host.sdk);
    const std::string file = host.dir.file("a.bin");
    WriteTextLines(file, {"a file"});
    host.view.key = "123";
    host.view.chatText = "hi";
    auto tryAll = [&] {
        host.session->SendKey();
        host.session->SendChatLine();
        transfer.SendFile(file, 0);
    };
    const std::vector<std::string> refused(3, "You are not connected.");

    // Accepted, the peer's "IP:" not yet there: no key files at all.
    host.session->WaitForConnect();
    host.sock.ConnectionRequest(1);
    tryAll();
    EXPECT_EQ(host.plat.boxes, refused);
    EXPECT_TRUE(host.sock.sent.empty());
    host.sock.Receive("IP:10.0.0.2");
    host.session->SendKey();
    ASSERT_EQ(host.sock.sent.size(), 1u);

    // A later peer, before its "IP:": the first one's key files are still there.
    host.sock.Disconnected();
    host.sock.ConnectionRequest(2);
    EXPECT_FALSE(host.view.sendEnabled);
    host.plat.boxes.clear();
    tryAll();
    EXPECT_EQ(host.plat.boxes, refused);
    EXPECT_EQ(host.sock.sent.size(), 1u);
    host.sock.Receive("IP:10.0.0.3");
    host.session->SendKey();
    ASSERT_EQ(host.sock.sent.size(), 2u);
    EXPECT_EQ(host.Decipher(host.sock.sent[1].substr(3)), "123");
    EXPECT_EQ(host.view.connect, "10.0.0.3");
}

TEST(SessionConnect, SecondIPRebuildsFromTheLatestAddress) {
    FakePeer host;
    host.BecomeConnectedHost("10.0.0.2");
    std::string first = ReadWholeFile(host.sdk.File("k1.bin"));
    host.sock.Receive("IP:10.0.0.3");
    EXPECT_EQ(host.view.connect, "10.0.0.3");
    EXPECT_NE(ReadWholeFile(host.sdk.File("k1.bin")), first);
    EXPECT_EQ(std::count(host.view.status.begin(), host.view.status.end(), "Connected."), 2);
}

TEST(SessionConnect, PortThatCannotBeListenedOnIsExplainedAndChangesNothing) {
    FakePeer host;
    host.sock.listenError = "Unable to wait for a connection on port 7777: in use.";
    host.session->WaitForConnect();
    EXPECT_EQ(host.plat.boxes, std::vector<std::string>{*host.sock.listenError});
    EXPECT_TRUE(host.view.status.empty());
    EXPECT_FALSE(host.st.IsHost());

    // The port text is read by its leading number; out of range is handed on as such.
    host.st.PortStr = "99999";
    host.sock.listenError.reset();
    host.session->WaitForConnect();
    EXPECT_EQ(host.sock.LocalPort, -1);
    host.st.PortStr = "8080 and more";
    host.session->WaitForConnect();
    EXPECT_EQ(host.sock.LocalPort, 8080);
}

TEST(SessionConnect, EmptyAddressIsRefusedBeforeTouchingTheSocket) {
    FakePeer client;
    client.session->Connect();
    EXPECT_EQ(client.plat.boxes, std::vector<std::string>{"Missing IP Address."});
    EXPECT_EQ(client.sock.closes, 0);
    EXPECT_TRUE(client.sock.connectHost.empty());
    EXPECT_TRUE(client.view.status.empty());
}

TEST(SessionConnect, NobodyAnswersGivesUpAfterAllPollsOnATimer) {
    FakePeer client;
    client.view.connect = "192.0.2.1";
    client.session->Connect();
    EXPECT_EQ(client.sock.connectHost, "192.0.2.1");
    EXPECT_EQ(client.sock.connectPort, "7777");
    EXPECT_TRUE(client.session->Connecting());
    client.plat.Advance(int64_t{Session::kConnectPolls - 1} * Session::kConnectPollMs);
    EXPECT_TRUE(client.plat.boxes.empty());
    client.plat.Advance(Session::kConnectPollMs);
    EXPECT_EQ(client.plat.boxes, std::vector<std::string>{kUnable});
    EXPECT_FALSE(client.session->Connecting());
    EXPECT_EQ(client.view.status, std::vector<std::string>{"Connecting..."});
    EXPECT_EQ(client.sock.closes, 1);  // only the one before connecting
    EXPECT_FALSE(client.st.IsConnected);
}

TEST(SessionConnect, RefusedAttemptEndsAtTheNextPoll) {
    FakePeer client;
    client.view.connect = "127.0.0.1";
    client.session->Connect();
    client.sock.state = Sock::sckError;
    client.plat.Advance(Session::kConnectPollMs);
    EXPECT_EQ(client.plat.boxes, std::vector<std::string>{kUnable});
    EXPECT_FALSE(client.session->Connecting());
}

TEST(SessionConnect, ClientHandshakeAsSoonAsTheSocketIsUp) {
    FakePeer client;
    client.session->WaitForConnect();  // a waiting side that connects becomes the client
    client.view.connect = "192.0.2.10";
    client.view.ip = "192.0.2.20";
    client.session->Connect();
    client.plat.Advance(2 * Session::kConnectPollMs);
    EXPECT_FALSE(client.st.IsConnected);
    client.sock.state = Sock::sckConnected;
    client.plat.Advance(Session::kConnectPollMs);
    EXPECT_TRUE(client.st.IsClient());
    EXPECT_FALSE(client.st.IsHost());
    EXPECT_TRUE(client.st.IsConnected);
    EXPECT_EQ(client.sock.sent, std::vector<std::string>{"IP:192.0.2.20"});
    EXPECT_TRUE(FileExists(client.sdk.File("k1.bin")));
    EXPECT_TRUE(client.view.sendEnabled);
    EXPECT_EQ(client.view.status.back(), "Connected");
    EXPECT_TRUE(client.plat.boxes.empty());
}

TEST(SessionConnect, KeyFilesThatCannotBeBuiltAreReportedNotFatal) {
    FakePeer host;
    host.sdk.AppFolder = host.dir.file("missing/");
    host.BecomeConnectedHost();
    ASSERT_EQ(host.plat.boxes.size(), 1u);
    EXPECT_NE(host.plat.boxes[0].find("key files"), std::string::npos);
    EXPECT_EQ(host.view.status.back(), "Connected.");
    EXPECT_EQ(host.plat.ends, 0);
}

// --- sending ---------------------------------------------------------------------

TEST(SessionSend, KeyIsCheckedThenSentEnciphered) {
    FakePeer host;
    host.BecomeConnectedHost();
    const std::string invalid = "Key is invalid.  No characters allowed, only numeric digits.";
    struct Case {
        std::string key, box;
    } cases[] = {{"", "Key is missing."},
                 {" ", invalid},
                 {"12 34", invalid},
                 {"-12", invalid},
                 {"1.5", invalid},
                 {"12a", invalid},
                 {"\xd9\xa1\xd9\xa2", invalid}};  // Arabic-Indic digits
    for (const auto& c : cases) {
        host.plat.boxes.clear();
        host.view.key = c.key;
        host.session->SendKey();
        EXPECT_EQ(host.plat.boxes, std::vector<std::string>{c.box}) << c.key;
    }
    EXPECT_TRUE(host.sock.sent.empty());

    for (std::string key : {"7", "001", "123456789012345678"}) {
        host.sock.sent.clear();
        host.view.key = key;
        host.session->SendKey();
        ASSERT_EQ(host.sock.sent.size(), 1u);
        EXPECT_EQ(host.sock.sent[0].substr(0, 3), "KY:");
        EXPECT_EQ(host.sock.sent[0].size(), 3 + key.size());
        EXPECT_EQ(host.Decipher(host.sock.sent[0].substr(3)), key);
        EXPECT_EQ(host.view.key, key);
        EXPECT_EQ(host.view.status.back(), "Sending Key...");
    }
}

TEST(SessionSend, NothingGoesOutWithoutAConnection) {
    FakePeer p;
    p.view.key = "123";
    p.session->SendKey();
    p.view.chatText = "hello";
    p.session->SendChatLine();
    EXPECT_EQ(p.plat.boxes, (std::vector<std::string>{kNotConnected, kNotConnected}));
    EXPECT_TRUE(p.sock.sent.empty());
    EXPECT_EQ(p.view.chatText, "hello");  // the line stays to be sent later
    EXPECT_TRUE(p.view.chat.empty());
}

TEST(SessionSend, BrokenConnectionIsReportedAndMarkedNotFatally) {
    FakePeer host;
    host.BecomeConnectedHost();
    host.sock.failSend = true;
    host.view.key = "123";
    host.session->SendKey();
    EXPECT_EQ(host.plat.boxes, std::vector<std::string>{kNotConnected});
    EXPECT_FALSE(host.st.IsConnected);
    EXPECT_NE(host.view.status.back(), "Sending Key...");
    EXPECT_EQ(host.plat.ends, 0);

    host.st.IsConnected = true;  // not noticed yet
    host.view.chatText = "hello";
    host.session->SendChatLine();
    EXPECT_EQ(host.view.chatText, "hello");
    EXPECT_TRUE(host.view.chat.empty());
    EXPECT_FALSE(host.st.IsConnected);
}

TEST(SessionSend, ChatLineIsEchoedInBracketsAndSentEnciphered) {
    FakePeer host;
    host.BecomeConnectedHost();
    host.session->SendChatLine();  // empty: nothing at all
    EXPECT_TRUE(host.sock.sent.empty());
    EXPECT_TRUE(host.plat.boxes.empty());

    for (std::string line : {"hello", "   ", "<b>"}) {
        host.view.chatText = line;
        host.session->SendChatLine();
        EXPECT_EQ(host.view.chat.back(), "<" + line + ">");
        EXPECT_EQ(host.view.chatText, "");
        EXPECT_EQ(host.sock.sent.back().substr(0, 3), "CT:");
        EXPECT_EQ(host.Decipher(host.sock.sent.back().substr(3)), line);
    }
}

// --- receiving -------------------------------------------------------------------

TEST(SessionReceive, KeyIsWrittenToATimedFileNeverReplacingOne) {
    InFolder here;
    FakePeer host;
    host.BecomeConnectedHost();
    const std::string key = "123456789012345678";
    host.sock.Receive("KY:" + host.Encipher(key));
    EXPECT_EQ(ReadWholeFile(here.File("Key143005.txt")), key + "\r\n");
    EXPECT_EQ(host.view.status[host.view.status.size() - 2], "Key=" + key);
    EXPECT_EQ(host.view.status.back(), "Key written to Key143005.txt");

    // Same second: the next free name, and the earlier file stays.
    host.sock.Receive("KY:" + host.Encipher("42"));
    EXPECT_EQ(host.view.status.back(), "Key written to Key143005-2.txt");
    EXPECT_EQ(ReadWholeFile(here.File("Key143005-2.txt")), "42\r\n");
    EXPECT_EQ(ReadWholeFile(here.File("Key143005.txt")), key + "\r\n");

    // A link of the free name is passed over, not written through.
    TempDir elsewhere;
    WriteTextLines(elsewhere.file("victim"), {"keep"});
    fs::create_symlink(elsewhere.file("victim"), here.File("Key143005-3.txt"));
    host.sock.Receive("KY:" + host.Encipher("7"));
    EXPECT_EQ(host.view.status.back(), "Key written to Key143005-4.txt");
    EXPECT_EQ(ReadWholeFile(elsewhere.file("victim")), "keep\r\n");
    EXPECT_TRUE(host.plat.boxes.empty());
}

TEST(SessionReceive, KeyGoesToTheDataFolderWhenTheCurrentOneRefusesElseItIsReported) {
    InFolder here;
    FakePeer host;
    host.BecomeConnectedHost();
    // A current folder that no longer exists refuses every new file, whoever runs this.
    fs::path gone = fs::path(here.Path()) / "gone";
    fs::create_directory(gone);
    fs::current_path(gone);
    fs::remove(gone);
    host.sock.Receive("KY:" + host.Encipher("4444"));
    EXPECT_EQ(host.view.status.back(), "Key written to " + host.sdk.File("Key143005.txt"));
    EXPECT_EQ(ReadWholeFile(host.sdk.File("Key143005.txt")), "4444\r\n");
    EXPECT_TRUE(host.plat.boxes.empty());

    // Neither folder takes it (every name the data folder could use is taken): the key
    // is still shown, and the failure is said.
    for (int n = 2; n <= 10000; ++n)
        ::close(::open(host.sdk.File(("Key143005-" + std::to_string(n) + ".txt").c_str()).c_str(),
                       O_CREAT | O_WRONLY, 0600));
    host.sock.Receive("KY:" + host.Encipher("5555"));
    fs::current_path(here.Path());
    EXPECT_EQ(host.view.status.back(), "Key=5555");
    ASSERT_EQ(host.plat.boxes.size(), 1u);
    EXPECT_NE(host.plat.boxes[0].find("Key143005.txt"), std::string::npos);
    EXPECT_EQ(host.plat.ends, 0);
}

TEST(SessionReceive, ChatLineIsShownDeciphered) {
    FakePeer host;
    host.BecomeConnectedHost();
    host.sock.Receive("CT:" + host.Encipher("hi there"));
    host.sock.Receive("CT:");
    EXPECT_EQ(host.view.chat, (std::vector<std::string>{"hi there", ""}));
}

TEST(SessionReceive, UntrustedInputIsDroppedOrContained) {
    FakePeer host;
    host.BecomeConnectedHost();
    size_t lines = host.view.status.size();
    int bars = host.view.recvBars;
    for (std::string r : {"ky:123", "ct:hi", "xx:", "ZZ:", "", "K", "\x01\x02\x03"})
        host.sock.Receive(r);
    EXPECT_EQ(host.view.status.size(), lines);
    EXPECT_TRUE(host.view.chat.empty());
    EXPECT_TRUE(host.st.IsConnected);
    EXPECT_EQ(host.view.recvBars, bars + 7);  // the bar moves on every read

    // A key that is not digits is neither shown nor stored.
    InFolder here;
    host.sock.Receive("KY:" + host.Encipher("ab\x01"));
    EXPECT_FALSE(FileExists(here.File("Key143005.txt")));
    EXPECT_EQ(host.view.status.back().find("ab"), std::string::npos);

    // A 10 MB chat line is cut to the largest message rather than held whole.
    host.sock.Receive("CT:" + std::string(10 << 20, 'z'));
    ASSERT_EQ(host.view.chat.size(), 1u);
    EXPECT_EQ(host.view.chat[0].size(), Framer::kMaxMessage - 3);
}

TEST(SessionReceive, MessagesWithoutKeysAreReportedNotFatal) {
    FakePeer host;
    host.session->WaitForConnect();
    host.sock.ConnectionRequest(1);  // no "IP:" yet: no key files
    host.sock.Receive("CT:abc");
    host.sock.Receive("KY:abc");
    EXPECT_EQ(host.view.status.size(), 3u);
    EXPECT_TRUE(host.view.chat.empty());
    EXPECT_TRUE(host.plat.boxes.empty());
}

TEST(SessionReceive, FileMessagesGoToTheTransferWhenAttached) {
    FakePeer p;
    p.BecomeConnectedHost();
    p.session->Attach(nullptr);
    p.sock.Receive("FL:a.txt");
    p.sock.Receive("OK:");  // no transfer attached: dropped
    p.session->Attach(&p.files);
    std::vector<std::string> seen;
    p.files.fl = [&](const std::string& name) {
        seen.push_back("FL " + name);
        p.files.receiving = true;
    };
    p.files.fb = [&](const std::string& m) {
        seen.push_back(m.substr(0, 6));
        if (m.substr(3, 3) == "RM:") p.files.receiving = false;
    };
    p.files.ok = [&] { seen.push_back("OK"); };
    p.sock.Receive("FL:b.txt");
    p.sock.Receive("FB:" + std::string(600, 'x'));
    p.sock.Receive(std::string(400, 'y') + "|CT:" + p.Encipher("between"));
    p.sock.Receive("FB:RM:abc|");
    p.sock.Receive("OK:and more");
    EXPECT_EQ(seen, (std::vector<std::string>{"FL b.txt", "FB:xxx", "FB:RM:", "OK"}));
    EXPECT_EQ(p.view.chat, std::vector<std::string>{"between"});
}

TEST(SessionReceive, HangUpOnAHostLeavesItRunning) {
    FakePeer host;
    host.BecomeConnectedHost();
    host.sock.Receive("XX:");
    EXPECT_EQ(host.plat.boxes,
              std::vector<std::string>{"Your connection was terminated manually by the person.  "});
    EXPECT_FALSE(host.st.IsConnected);
    EXPECT_EQ(host.sock.closes, 1);  // only the listening socket's
    EXPECT_EQ(host.plat.ends, 0);
    EXPECT_TRUE(FileExists(host.sdk.File("k1.bin")));
    EXPECT_TRUE(host.view.sendEnabled);
    // The peer's socket closing afterwards is no lost connection.
    host.sock.Disconnected();
    EXPECT_NE(host.view.status.back(), "Connection lost.");
    host.sock.Receive("XX:");  // nothing left to hang up
    EXPECT_EQ(host.plat.boxes.size(), 1u);
}

TEST(SessionReceive, HangUpOnAClientWipesAndEnds) {
    FakePeer client;
    client.BecomeConnectedClient();
    ASSERT_TRUE(client.st.IsConnected);
    client.sdk.WorkText = "secret";
    int closes = client.sock.closes;
    client.sock.Receive("XX:CT:after");
    EXPECT_EQ(client.plat.boxes,
              std::vector<std::string>{"Your connection was terminated manually by the person.  "
                                       "The program will now terminate."});
    EXPECT_EQ(client.sock.closes, closes + 1);
    EXPECT_FALSE(FileExists(client.sdk.File("k1.bin")));
    EXPECT_TRUE(client.sdk.WorkText.empty());
    EXPECT_EQ(client.plat.ends, 1);
    EXPECT_TRUE(client.session->Ended());
    EXPECT_TRUE(client.view.chat.empty());  // nothing handled after the end
}

TEST(SessionReceive, HangUpOnAClientIsShownOverABoxAlreadyOpen) {
    FakePeer client;
    client.BecomeConnectedClient();
    ASSERT_TRUE(client.st.IsConnected);
    std::vector<int> endsWhenShown;
    client.plat.p.MsgBox = [&](const std::string& text) {
        client.plat.boxes.push_back(text);
        endsWhenShown.push_back(client.plat.ends);
        // The peer hangs up while the first box waits for the user.
        if (client.plat.boxes.size() == 1) client.sock.Receive("XX:");
    };
    client.view.key = "12a";
    client.session->SendKey();
    EXPECT_EQ(client.plat.boxes, (std::vector<std::string>{
                                     "Key is invalid.  No characters allowed, only numeric digits.",
                                     "Your connection was terminated manually by the person.  "
                                     "The program will now terminate."}));
    EXPECT_EQ(endsWhenShown, (std::vector<int>{0, 0}));  // seen before the end
    EXPECT_EQ(client.plat.ends, 1);
}

TEST(SessionReceive, LostConnectionIsNoticed) {
    FakePeer host;
    host.BecomeConnectedHost();
    bool told = false;
    host.files.lost = [&] { told = true; };
    host.sock.Disconnected();
    EXPECT_FALSE(host.st.IsConnected);
    EXPECT_EQ(host.view.status.back(), "Connection lost.");
    EXPECT_TRUE(told);
}

// --- ending ------------------------------------------------------------------------

TEST(SessionEnd, ExitHangsUpFlushesWipesAndEnds) {
    FakePeer host;
    host.BecomeConnectedHost();
    host.sdk.WorkText = "x";
    host.session->Exit();
    EXPECT_EQ(host.sock.sent, std::vector<std::string>{"XX:"});
    EXPECT_EQ(host.sock.flushes, 1);
    EXPECT_EQ(host.sock.closes, 2);
    EXPECT_FALSE(FileExists(host.sdk.File("k1.bin")));
    EXPECT_TRUE(host.sdk.WorkText.empty());
    EXPECT_EQ(host.plat.ends, 1);
    // The window closing afterwards does nothing more.
    host.session->CloseMain();
    EXPECT_EQ(host.sock.sent.size(), 1u);
}

TEST(SessionEnd, ExitWhileNotConnectedSendsNothingAndStillWipes) {
    FakePeer p;
    p.sdk.BuildKeyFiles("12345678");
    p.session->Exit();
    EXPECT_TRUE(p.sock.sent.empty());
    EXPECT_EQ(p.sock.closes, 0);
    EXPECT_FALSE(FileExists(p.sdk.File("k1.bin")));
    EXPECT_EQ(p.plat.ends, 1);
}

TEST(SessionEnd, ClosingTheWindowIgnoresAFailedHangUp) {
    FakePeer host;
    host.BecomeConnectedHost();
    host.sock.failSend = true;
    host.session->CloseMain();
    EXPECT_TRUE(host.plat.boxes.empty());
    EXPECT_FALSE(FileExists(host.sdk.File("k1.bin")));
    EXPECT_TRUE(host.session->Ended());
    host.sock.Receive("CT:late");
    EXPECT_TRUE(host.view.chat.empty());
}

}  // namespace
}  // namespace keyvane::test
