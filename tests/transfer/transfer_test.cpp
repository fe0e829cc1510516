#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "platform/cp1252.h"
#include "support/hostile_names.h"
#include "support/loop_peer.h"

namespace keyvane::test {
namespace {

class Transfer : public ::testing::Test {
  protected:
    void SetUp() override { ConnectPeers(a, b); }

    // Sends `bytes` as `name` from one peer to the other and waits until both are done.
    void Send(LoopPeer& from, LoopPeer& to, const std::string& name, const std::string& bytes) {
        const std::string path = from.dir.file(name);
        WriteFile(path, bytes);
        const int before =
            to.view.Count("File received.") + to.view.Count("File not received: " + name);
        from.transfer->SendFile(path, 0);
        ASSERT_TRUE(RunUntil([&] {
            return from.Idle() && !to.transfer->State().ClientRecv() &&
                   to.view.Count("File received.") + to.view.Count("File not received: " + name) >
                       before;
        })) << name;
    }

    LoopPeer a, b;
};

TEST_F(Transfer, EverySizeArrivesByteForByteInBothDirections) {
    const size_t sizes[] = {0, 999, 1000, 2000, 2500, 1000 * 257 + 3};
    for (size_t n : sizes) {
        const std::string bytes = RandomBytes(n, static_cast<uint32_t>(n));
        const std::string name = "f" + std::to_string(n) + ".bin";
        Send(a, b, name, bytes);
        EXPECT_TRUE(SameBytes(ReadWholeFile(b.Recv(name)), bytes)) << n;
        Send(b, a, name, bytes);
        EXPECT_TRUE(SameBytes(ReadWholeFile(a.Recv(name)), bytes)) << n;
    }
    // Status lines of one file on each side.
    const std::string path = a.dir.file("f2500.bin");
    EXPECT_TRUE(a.view.HasStatus("Sending " + Utf8ToCp1252(path) + "..."));
    EXPECT_EQ(a.view.Count("File Transferred."), 6);
    EXPECT_TRUE(b.view.HasStatus("Receiving File f2500.bin"));
    EXPECT_EQ(b.view.Count("File received."), 6);
    EXPECT_FALSE(a.view.progressVisible);
    EXPECT_GT(a.view.sentBars, 6);  // the send activity bar moves with the socket
    // The last file's events on each side, each just before its line.
    using K = ViewEvent::Kind;
    const std::string last = "f257003.bin";
    EXPECT_EQ(b.view.Last(K::FileSending).event.bytes, 257003);
    const auto& sent = b.view.Last(K::FileSent);
    EXPECT_EQ(sent.event.path, b.dir.file(last));
    EXPECT_EQ(sent.event.bytes, 257003);
    EXPECT_EQ(sent.line, "File Transferred.");
    EXPECT_EQ(a.view.Last(K::FileReceiving).line, "Receiving File " + last);
    const auto& got = a.view.Last(K::FileReceived);
    EXPECT_EQ(got.event.text, last);
    EXPECT_EQ(got.event.path, a.Recv(last));
    EXPECT_EQ(got.event.bytes, 257003);
    EXPECT_EQ(got.event.verdict, ViewEvent::Verdict::Plain);
    EXPECT_EQ(got.line, "File received.");
    EXPECT_EQ(a.view.Events(K::FileReceived), 6);
    EXPECT_TRUE(a.boxes.empty());
    EXPECT_TRUE(b.boxes.empty());
}

TEST_F(Transfer, MessagesAndProgressFollowTheBlocks) {
    // Each message sent as its kind and length.
    auto send = [&](size_t n) {
        a.sock.sent.clear();
        a.sock.sentSizes.clear();
        a.view.progress.clear();
        Send(a, b, "m.bin", RandomBytes(n, 7));
        std::vector<std::string> out;
        for (size_t i = 0; i < a.sock.sent.size(); ++i) {
            const std::string& m = a.sock.sent[i];
            const std::string kind = m.rfind("FB:RM:", 0) == 0 ? "RM" : m.substr(0, 2);
            out.push_back(kind + std::to_string(a.sock.sentSizes[i]));
        }
        return out;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(send(2500), (V{"FL8", "FB1004", "FB1004", "RM507"}));
    EXPECT_EQ(a.view.progress, (std::vector<int>{50, 100, 100}));
    EXPECT_EQ(send(2000), (V{"FL8", "FB1004", "FB1004", "RM7"}));
    EXPECT_EQ(send(999), (V{"FL8", "RM1006"}));
    EXPECT_EQ(a.view.progress, (std::vector<int>{100}));
    EXPECT_EQ(send(0), (V{"FL8", "RM7"}));
    EXPECT_EQ(ReadWholeFile(b.Recv("m.bin")).size(), 2500u);  // each came under its own name
    EXPECT_EQ(ReadWholeFile(b.Recv("m-4.bin")), "");
}

TEST_F(Transfer, SendFileAsksFirstAndRefusesWhileBusy) {
    const std::string path = a.dir.file("ask.bin");
    WriteFile(path, RandomBytes(30000, 1));
    a.openFileName = path;
    a.confirmAnswer = false;
    a.transfer->SendFileCommand();
    EXPECT_EQ(a.confirmations,
              std::vector<std::string>{"Are you sure you want to send the file " + path + "?"});
    EXPECT_TRUE(a.sock.sent.empty());

    // While the file goes, neither side starts another.
    a.confirmAnswer = true;
    bool tried = false;
    a.view.onProgress = [&](int p) {
        if (p != 50 || tried) return;
        tried = true;
        a.transfer->SendFileCommand();
        b.openFileName = path;
        b.transfer->SendFileCommand();
    };
    a.transfer->SendFileCommand();
    ASSERT_TRUE(RunUntil([&] { return a.Idle() && b.view.HasStatus("File received."); }));
    EXPECT_TRUE(tried);
    EXPECT_EQ(a.boxes, std::vector<std::string>{FileTransfer::kBusyText});
    EXPECT_EQ(b.boxes, std::vector<std::string>{FileTransfer::kBusyText});
    EXPECT_EQ(a.sock.sent.front(), "FL:ask");
    EXPECT_EQ(std::count(a.sock.sent.begin(), a.sock.sent.end(), "FB:RM:"), 1);
    EXPECT_EQ(ReadWholeFile(b.Recv("ask.bin")), ReadWholeFile(path));
}

// Both users start a file at the same moment: each side sends one and receives the other.
TEST_F(Transfer, FilesCrossingEachOtherBothArrive) {
    const std::string toB = RandomBytes(30500, 11), toA = RandomBytes(41000, 12);
    WriteFile(a.dir.file("toB.bin"), toB);
    WriteFile(b.dir.file("toA.bin"), toA);
    b.view.onLine = [&](const std::string& line) {
        if (line == "Receiving File toB.bin") b.transfer->SendFile(b.dir.file("toA.bin"), 0);
    };
    a.transfer->SendFile(a.dir.file("toB.bin"), 0);
    ASSERT_TRUE(RunUntil([&] {
        return a.Idle() && b.Idle() && a.view.HasStatus("File received.") &&
               b.view.HasStatus("File received.");
    }));
    EXPECT_TRUE(SameBytes(ReadWholeFile(b.Recv("toB.bin")), toB));
    EXPECT_TRUE(SameBytes(ReadWholeFile(a.Recv("toA.bin")), toA));
}

TEST_F(Transfer, NotConnectedSendsNothing) {
    a.st.IsConnected = false;
    a.openFileName = a.dir.file("x");
    a.transfer->SendFileCommand();
    EXPECT_EQ(a.boxes, std::vector<std::string>{"You are not connected."});
    EXPECT_TRUE(a.sock.sent.empty());
}

TEST_F(Transfer, HostileNamesLandInsideTheReceiveFolder) {
    // The peer here writes its own messages, as a hostile one would.
    const std::string canary = b.dir.file("x");  // Recv/../../x
    WriteFile(canary, "canary");
    WriteFile(b.dir.file("outside"), "keep");
    ASSERT_EQ(::symlink(b.dir.file("outside").c_str(), b.Recv("link.txt").c_str()), 0);
    auto sendRaw = [&](const std::string& name, std::string content) {
        const int received = b.view.Count("File received.");
        a.session->Send("FL:" + name);
        if (!content.empty()) a.sdk.EncryptString(content);
        a.session->Send("FB:RM:" + content + "|");
        ASSERT_TRUE(RunUntil([&] { return b.view.Count("File received.") > received; }));
    };
    const auto& names = test::HostileNames();
    const std::vector<std::string> used = test::NamesInTurn(names);
    for (size_t i = 0; i < names.size(); ++i) {
        sendRaw(names[i].sent, "data of " + used[i]);
        EXPECT_TRUE(b.view.HasStatus("Receiving File " + used[i])) << used[i];
        // On disk the name is in the system's UTF-8.
        EXPECT_EQ(ReadWholeFile(b.Recv(Cp1252ToUtf8(used[i]))), "data of " + used[i]);
    }
    // The link is neither followed nor replaced.
    sendRaw("link.txt", "data of link");
    EXPECT_EQ(ReadWholeFile(b.Recv("link-2.txt")), "data of link");
    EXPECT_EQ(ReadWholeFile(canary), "canary");
    EXPECT_EQ(ReadWholeFile(b.dir.file("outside")), "keep");
    EXPECT_TRUE(std::filesystem::is_symlink(b.Recv("link.txt")));
    // A block with no file announced has nowhere to go.
    const size_t sentBefore = b.sock.sent.size();
    const int readsBefore = b.view.recvBars;
    a.session->Send("FB:RM:stray|");
    ASSERT_TRUE(RunUntil([&] { return b.view.recvBars > readsBefore; }));
    EXPECT_EQ(b.sock.sent.size(), sentBefore);
}

TEST_F(Transfer, ReadsCutAnywhereStillMakeTheFile) {
    // Block k arrives cut after byte k, then one block after an enciphered "|" inside it.
    int blocks = 0;
    b.sock.cut = [&](const std::string& read) {
        std::vector<std::string> out;
        if (read.size() == 1004 && read.compare(0, 3, "FB:") == 0) {
            size_t at = static_cast<size_t>(++blocks % 1003) + 1;
            if (blocks > 1003) at = read.find('|', 3) + 1;
            out = {read.substr(0, at), read.substr(at)};
        } else {
            out = {read};
        }
        return out;
    };
    const std::string big = RandomBytes(1000 * 1010 + 17, 5);
    Send(a, b, "cut.bin", big);
    EXPECT_TRUE(SameBytes(ReadWholeFile(b.Recv("cut.bin")), big));

    // One byte per read.
    b.sock.cut = [](const std::string& read) {
        std::vector<std::string> out;
        if (read.size() != 1004 || read.rfind("FB:", 0) != 0) return std::vector<std::string>{read};
        for (char c : read) out.emplace_back(1, c);
        return out;
    };
    for (size_t n : {size_t{0}, size_t{2500}}) {
        const std::string bytes = RandomBytes(n, 9);
        const std::string name = "one" + std::to_string(n) + ".bin";
        Send(a, b, name, bytes);
        EXPECT_TRUE(SameBytes(ReadWholeFile(b.Recv(name)), bytes));
    }
}

TEST_F(Transfer, ChatAndKeysBetweenBlocksAreTheirOwnMessages) {
    std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(b.dir.path());
    a.view.onProgress = [&](int p) {
        if (p == 10) {
            a.view.chatText = "hello | there";
            a.session->SendChatLine();
        } else if (p == 50) {
            a.view.key = "123456789012345678";
            a.session->SendKey();
        }
    };
    const std::string bytes = RandomBytes(20000, 3);
    Send(a, b, "mixed.bin", bytes);
    std::filesystem::current_path(old);
    EXPECT_TRUE(SameBytes(ReadWholeFile(b.Recv("mixed.bin")), bytes));
    EXPECT_EQ(b.view.chat, std::vector<std::string>{"hello | there"});
    EXPECT_TRUE(b.view.HasStatus("Key=123456789012345678"));
    int keyFiles = 0;
    for (const auto& e : std::filesystem::directory_iterator(b.dir.path()))
        if (e.path().filename().string().rfind("Key", 0) == 0) {
            ++keyFiles;
            EXPECT_EQ(ReadWholeFile(e.path().string()), "123456789012345678\r\n");
        }
    EXPECT_EQ(keyFiles, 1);
}

TEST_F(Transfer, AFileTheReceiverCannotWriteEndsCleanlyOnBothSides) {
    // A folder in the way takes the name, not the file.
    std::filesystem::create_directories(b.Recv("taken"));
    Send(a, b, "taken", RandomBytes(5000, 1));
    EXPECT_TRUE(b.view.HasStatus("Receiving File taken-2"));
    EXPECT_EQ(ExistingFileLength(b.Recv("taken-2")), 5000);
    EXPECT_EQ(b.view.Count("File received."), 1);

    // A disk that fills up in the middle of a file.

    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 100000;
    a.view.onProgress = [&](int p) {
        if (p == 1) setrlimit(RLIMIT_FSIZE, &small);
    };
    Send(a, b, "full.bin", RandomBytes(300000, 2));
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old, nullptr);
    a.view.onProgress = nullptr;
    EXPECT_TRUE(b.view.HasStatus("File not received: full.bin"));
    EXPECT_EQ(b.view.Count("File received."), 1);
    EXPECT_FALSE(b.transfer->State().ClientRecv());

    // The next file goes through.
    const std::string bytes = RandomBytes(3000, 3);
    Send(a, b, "next.bin", bytes);
    EXPECT_TRUE(SameBytes(ReadWholeFile(b.Recv("next.bin")), bytes));
}

TEST_F(Transfer, AFileThatShrinksWhileSentStopsTheSender) {
    const std::string path = a.dir.file("shrink.bin");
    WriteFile(path, RandomBytes(50000, 4));
    a.view.onProgress = [&](int p) {
        if (p == 10) std::filesystem::resize_file(path, 20000);
    };
    a.transfer->SendFile(path, 0);
    ASSERT_TRUE(RunUntil([&] { return a.Idle(); }));
    a.view.onProgress = nullptr;
    EXPECT_FALSE(a.view.HasStatus("File Transferred."));
    EXPECT_FALSE(a.view.progressVisible);
    // The receiver learns of it with the next file.
    const std::string bytes = RandomBytes(1500, 5);
    Send(a, b, "after.bin", bytes);
    EXPECT_TRUE(b.view.HasStatus("File incomplete: shrink.bin (a new file was announced)"));
    EXPECT_EQ(b.view.Count("File received."), 1);
    EXPECT_TRUE(SameBytes(ReadWholeFile(b.Recv("after.bin")), bytes));
}

// The connection goes in the middle of a file: the side that notices ends its part.
TEST_F(Transfer, ConnectionCutMidFileOnTheSendingSide) {
    const std::string path = a.dir.file("cut.bin");
    WriteFile(path, RandomBytes(200000, 6));
    a.view.onProgress = [&](int p) {
        if (p == 20) b.net.Close();
    };
    a.transfer->SendFile(path, 0);
    ASSERT_TRUE(RunUntil([&] { return a.Idle(); }));
    EXPECT_TRUE(a.view.HasStatus("The file " + path + " was not sent completely."));
    EXPECT_FALSE(a.view.HasStatus("File Transferred."));
    EXPECT_FALSE(a.view.progressVisible);
    EXPECT_FALSE(a.transfer->State().FileInProgress());
}

TEST_F(Transfer, ConnectionCutMidFileOnTheReceivingSide) {
    const std::string path = a.dir.file("cut.bin");
    WriteFile(path, RandomBytes(200000, 6));
    a.view.onProgress = [&](int p) {
        if (p == 20) a.net.Close();
    };
    a.transfer->SendFile(path, 0);
    ASSERT_TRUE(RunUntil([&] {
        return b.view.HasStatus("Receiving File cut.bin") && !b.transfer->State().ClientRecv();
    }));
    EXPECT_TRUE(b.view.HasStatus("The file cut.bin was not received completely."));
    EXPECT_FALSE(b.view.HasStatus("File received."));
    EXPECT_FALSE(b.transfer->Busy());
}

}  // namespace
}  // namespace keyvane::test
