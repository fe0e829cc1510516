// A scripted hostile peer: a plain socket on 127.0.0.1 that does the handshake with the
// program's own cipher and then sends what no honest peer would, each case on a fresh
// connection to one main window (the same one for every case run in one process). After
// every case the window still runs and chats both ways, nothing outside its receive
// folder changed, what it holds stayed bounded, and its status list tells what happened.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/Framer.h"
#include "platform/cp1252.h"
#include "platform/files.h"
#include "support/hostile_names.h"
#include "support/plain_peer.h"
#include "support/tempdir.h"
#include "support/windows.h"

#if defined(__SANITIZE_ADDRESS__)
// From the AddressSanitizer runtime (g++ ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace keyvane::test {
namespace {

namespace fs = std::filesystem;

constexpr size_t k10MB = 10u << 20;
// What the window may keep after a case beyond what it held before: the lines a case
// adds, one chat line cut at a read's length, and what Qt caches to show them.
constexpr size_t kHeapGrowthBound = 8u << 20;
constexpr int kListBound = 200;  // lines a case may add to either list

size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

std::vector<std::string> Lines(QListWidget* l, int from = 0) {
    std::vector<std::string> out;
    for (int i = from; l && i < l->count(); ++i) out.push_back(l->item(i)->text().toStdString());
    return out;
}

// Every file of a folder tree, by path, with its content; the receive folder and the
// cipher's key files (rebuilt at every handshake) left out.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        const std::string path = e.path().string();
        const std::string name = e.path().filename().string();
        if (path.find("/Recv") != std::string::npos) continue;
        if (name.size() == 6 && name[0] == 'k') continue;  // k1.bin, k6.dat, ...
        files[path] = e.is_regular_file() ? ReadWholeFile(path) : std::string("<dir>");
    }
    return files;
}

class HostilePeer : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        port_ = FreePort();
        TestWindow::Options o;
        o.beforeStart = [](const std::string& folder) {
            WriteTextLines(folder + "port.dat", {std::to_string(port_)});
            // Beside the receive folder, where "../" would lead.
            WriteTextLines(folder + "canary.txt", {"must keep this"});
        };
        // A clock that moves one second per reading, so a pause lasts a few ticks.
        o.adjust = [](Platform& p) {
            p.TimeText = [] {
                ++clock_;
                const int m = clock_ / 60 % 60, s = clock_ % 60;
                return "12:" + std::to_string(m / 10) + std::to_string(m % 10) + ":" +
                       std::to_string(s / 10) + std::to_string(s % 10);
            };
        };
        host_ = new TestWindow(o);
        host_->win().sock().ListenAddress = "127.0.0.1";
        // After every read: what the framer holds back.
        Sock& s = host_->win().sock();
        s.DataArrival = [arrival = s.DataArrival](int64_t n) {
            arrival(n);
            peakPending_ = std::max(peakPending_, host_->win().session().PendingBytes());
        };
        parent_ = fs::path(host_->folder()).parent_path().parent_path().string() + "/";
    }
    static void TearDownTestSuite() {
        delete host_;
        host_ = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(port_, 0);
        ASSERT_EQ(host_->endProgramCalls, 0);
        before_ = Snapshot(host_->folder());
        heap_ = HeapInUse();
        chatStart_ = List("List2")->count();
        peakPending_ = 0;
        peer_ = Handshake();
        ASSERT_TRUE(peer_);
        statusStart_ = List("List1")->count();
        messagesStart_ = host_->messages.size();
    }

    void TearDown() override {
        if (!peer_) return;
        Hangup(*peer_);
        peer_.reset();
        // Still there, and still talking: a fresh connection chats both ways.
        EXPECT_EQ(host_->endProgramCalls, 0);
        EXPECT_FALSE(host_->win().session().Ended());
        auto fresh = Handshake();
        ASSERT_TRUE(fresh);
        const std::string ping = "ping after " + Name();
        fresh->Write("CT:" + fresh->Encipher(ping));
        EXPECT_TRUE(WaitUntil([&] { return LastChat() == ping; })) << LastChat();
        const std::string pong = "pong after " + Name();
        host_->find<QLineEdit>("txtChat")->setText(QString::fromStdString(pong));
        host_->click("Command5");
        const std::string wire = "CT:" + fresh->Encipher(pong);
        EXPECT_TRUE(WaitUntil([&] { return fresh->received.find(wire) != std::string::npos; }));
        Hangup(*fresh);

        // Nothing outside the receive folder changed; received files are plain files in it.
        EXPECT_EQ(Snapshot(host_->folder()), before_);
        EXPECT_EQ(ReadWholeFile(host_->file("canary.txt")), "must keep this\r\n");
        for (const auto& e : fs::directory_iterator(host_->file("Recv")))
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(e.path()))) << e.path();
        // Bounded: the framer after every read, the lists, the heap.
        EXPECT_LE(peakPending_, Framer::kMaxEndMessage);
        EXPECT_LE(List("List1")->count() - statusStart_, kListBound);
        EXPECT_LE(List("List2")->count() - chatStart_, kListBound);
        const size_t heap = HeapInUse();
        EXPECT_LE(heap, heap_ + kHeapGrowthBound)
            << "grew by " << static_cast<long long>(heap) - static_cast<long long>(heap_);
    }

    // --- helpers --------------------------------------------------------------------

    static QListWidget* List(const char* name) { return host_->find<QListWidget>(name); }
    static std::string Name() {
        return ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    static std::string LastChat() {
        auto* l = List("List2");
        return l->count() ? l->item(l->count() - 1)->text().toStdString() : "";
    }
    static std::string RecvBar() { return host_->find<QLabel>("lbRecv")->text().toStdString(); }
    // The status lines the case added so far.
    std::vector<std::string> Status() const { return Lines(List("List1"), statusStart_); }

    // Waits on the host, connects a new peer that sends "IP:"; the host then has the
    // same key files as the peer.
    std::unique_ptr<PlainPeer> Handshake() {
        host_->click("Command1");
        if (Lines(List("List1")).back() != "Waiting for Connection") {
            ADD_FAILURE() << "not waiting: " << Lines(List("List1")).back();
            return nullptr;
        }
        // The peer answers nothing itself.
        auto peer = std::make_unique<PlainPeer>(PlainPeer::Mode::Raw);
        const int n = List("List1")->count();
        if (!peer->Connect(port_) || !WaitUntil([&] { return host_->win().state().IsConnected; })) {
            ADD_FAILURE() << "no connection";
            return nullptr;
        }
        if (!WaitUntil([&] {
                return List("List1")->count() > n && Lines(List("List1")).back() == "Connected.";
            })) {
            ADD_FAILURE() << "no handshake";
            return nullptr;
        }
        return peer;
    }

    // Sends bytes and waits until the host has taken them in as one read (its receive
    // activity bar moves once per read), so a case decides where the reads are cut.
    void AsRead(const std::string& bytes) {
        const std::string bar = RecvBar();
        peer_->Write(bytes);
        ASSERT_TRUE(WaitUntil([&] { return RecvBar() != bar; }));
    }

    // Sends bytes, however the host's reads cut them, and waits until they left.
    void Flood(const std::string& bytes) {
        peer_->Write(bytes);
        ASSERT_TRUE(WaitUntil([&] { return peer_->Flushed(); }, 60000));
    }

    // The peer closes its end (a reset when `abort`); waits until the host noticed.
    void Hangup(PlainPeer& p, bool abort = false) {
        if (abort)
            p.Reset();
        else
            p.HalfClose();
        EXPECT_TRUE(WaitUntil(
            [] {
                return host_->win().sock().State() != Sock::sckConnected &&
                       !host_->win().state().IsConnected;
            },
            60000));
        QCoreApplication::processEvents();
    }

    // Announces a file and waits until the host is receiving it.
    void Announce(const std::string& name) {
        const int n = List("List1")->count();
        AsRead("FL:" + name);
        ASSERT_TRUE(WaitUntil([&] { return List("List1")->count() > n; }));
    }

    std::string Received(const std::string& name) const {
        return ReadWholeFile(host_->file("Recv/" + name));
    }
    int OKs() const {
        int n = 0;
        for (size_t at = peer_->received.find("OK:"); at != std::string::npos;
             at = peer_->received.find("OK:", at + 3))
            ++n;
        return n;
    }
    bool WaitForOKs(int n) {
        return WaitUntil([&] { return OKs() >= n; });
    }

    static inline TestWindow* host_ = nullptr;
    static inline int port_ = 0;
    static inline size_t peakPending_ = 0;
    static inline int clock_ = 0;
    static inline std::string parent_;

    std::unique_ptr<PlainPeer> peer_;
    std::map<std::string, std::string> before_;
    size_t heap_ = 0;
    int statusStart_ = 0, chatStart_ = 0;
    size_t messagesStart_ = 0;
};

std::string Bytes(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 17 + i / 7) & 0xFF);
    return s;
}

// --- cases ------------------------------------------------------------------------

TEST_F(HostilePeer, SplitReadsStillMakeTheFileAndTheChatLine) {
    const std::string content = Bytes(2500, 1);
    Announce("split.bin");
    const std::string wire = peer_->Block(content.substr(0, 1000)) +
                             peer_->Block(content.substr(1000, 1000)) +
                             peer_->End(content.substr(2000));
    // Cuts inside the tag, inside a block, right before a terminator, inside "RM:".
    size_t at = 0;
    for (size_t cut : {1u, 2u, 600u, 1003u, 1004u, 1005u, 2009u, 2012u}) {
        AsRead(wire.substr(at, cut - at));
        at = cut;
    }
    AsRead(wire.substr(at));
    ASSERT_TRUE(WaitForOKs(3));
    EXPECT_EQ(Received("split.bin"), content);
    EXPECT_EQ(Status(), (std::vector<std::string>{"Receiving File split.bin", "File received."}));

    // A tag cut after two bytes waits for its third; a chat line cut in two shows its
    // first part, and the rest, which starts with no tag, is dropped.
    const std::string line = peer_->Encipher("first half|second half");
    AsRead("CT");
    AsRead(":" + line);
    EXPECT_EQ(LastChat(), "first half|second half");
    AsRead("CT:" + line.substr(0, 10));
    AsRead(line.substr(10));
    EXPECT_EQ(LastChat(), "first half");
}

TEST_F(HostilePeer, CoalescedReadsAreTakenApart) {
    // The blocks of a file and its end in one write; the address and a chat line in one.
    const std::string content = Bytes(2300, 2);
    Announce("coalesced.bin");
    Flood(peer_->Block(content.substr(0, 1000)) + peer_->Block(content.substr(1000, 1000)) +
          peer_->End(content.substr(2000)));
    ASSERT_TRUE(WaitForOKs(3));
    EXPECT_EQ(Received("coalesced.bin"), content);
    AsRead("IP:127.0.0.1CT:" + peer_->Encipher("together"));
    EXPECT_EQ(LastChat(), "together");
    EXPECT_EQ(Status(), (std::vector<std::string>{"Receiving File coalesced.bin", "File received.",
                                                  "Connected."}));
}

TEST_F(HostilePeer, NamesThatWouldLeaveTheReceiveFolderStayInIt) {
    // Each name, and the name the file gets in the receive folder.
    const std::string stem = "keyvane-hostile-" + std::to_string(::getpid()), up = stem + ".txt";
    // Out of the folder under a name of our own, which must not appear up there.
    std::vector<test::HostileName> names = {{"../../" + up, up}, {"/tmp/" + up, up}};
    for (const auto& n : test::HostileNames()) names.push_back(n);
    const std::vector<std::string> kept = test::NamesInTurn(names);
    std::vector<std::string> expected;
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(kept[i]);
        const std::string content = "file " + std::to_string(i + 1);
        Announce(names[i].sent);
        AsRead(peer_->End(content));
        ASSERT_TRUE(WaitForOKs(static_cast<int>(i + 1)));
        // Shown, and on disk, in UTF-8.
        EXPECT_EQ(Received(Cp1252ToUtf8(kept[i])), content);
        expected.push_back("Receiving File " + Cp1252ToUtf8(kept[i]));
        expected.push_back("File received.");
    }
    EXPECT_EQ(Status(), expected);
    EXPECT_FALSE(fs::exists(parent_ + up));
    EXPECT_FALSE(fs::exists("/tmp/" + up));
    EXPECT_FALSE(fs::exists(host_->file(up)));
}

TEST_F(HostilePeer, MegabyteNameIsShortened) {
    // However the reads cut it, the name is the first one's, shortened to 255 bytes.
    const std::string kept(255, 'n');
    Flood("FL:" + std::string(1u << 20, 'n'));
    Hangup(*peer_);
    EXPECT_EQ(Received(kept), "");
    EXPECT_EQ(Status(),
              (std::vector<std::string>{"Receiving File " + kept, "Connection lost.",
                                        "The file " + kept + " was not received completely."}));
}

TEST_F(HostilePeer, TenMegabytesWithoutATagAreDropped) {
    Flood(std::string(k10MB, 'A'));
    Hangup(*peer_);
    EXPECT_EQ(Status(), std::vector<std::string>{"Connection lost."});
    EXPECT_EQ(List("List2")->count(), chatStart_);
}

TEST_F(HostilePeer, TenMegabytesOfBlockWithoutATerminator) {
    Announce("flood.bin");
    Flood("FB:" + std::string(k10MB, 'B'));
    Hangup(*peer_);
    // Its first 1004 bytes end in no "|": no block, and the rest is out of step.
    EXPECT_EQ(Status(), (std::vector<std::string>{"Receiving File flood.bin",
                                                  "File incomplete: flood.bin (a block was broken)",
                                                  "Connection lost."}));
    EXPECT_EQ(fs::file_size(host_->file("Recv/flood.bin")), 0u);
}

TEST_F(HostilePeer, TenMegabyteChatLineIsCutAtOneRead) {
    const std::string line(k10MB, 'c');
    Flood("CT:" + peer_->Encipher(line));
    Hangup(*peer_);
    ASSERT_GT(List("List2")->count(), chatStart_);
    const std::string shown = LastChat();
    EXPECT_LE(shown.size(), Framer::kMaxMessage);
    // Cut again for the list, where the cut shows.
    const std::string ellipsis = "\xE2\x80\xA6";
    ASSERT_GT(shown.size(), ellipsis.size());
    EXPECT_EQ(shown.substr(shown.size() - ellipsis.size()), ellipsis);
    const std::string kept = shown.substr(0, shown.size() - ellipsis.size());
    EXPECT_EQ(kept, line.substr(0, kept.size()));
}

TEST_F(HostilePeer, UnsolicitedAcknowledgementsAreIgnored) {
    for (int i = 0; i < 5; ++i) AsRead("OK:");
    AsRead("OK:OK:OK:trailing");
    EXPECT_TRUE(Status().empty());
    EXPECT_FALSE(host_->win().transfer().State().FileInProgress());
    EXPECT_TRUE(peer_->received.empty());  // nothing answered
}

TEST_F(HostilePeer, BlocksWithoutAnAnnouncementWriteNothing) {
    const auto files = [] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(host_->file("Recv")))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    const auto before = files();
    AsRead(peer_->Block(Bytes(1000, 3)));
    AsRead(peer_->End("no file"));
    AsRead("FB:RM:|");
    EXPECT_EQ(files(), before);
    EXPECT_TRUE(peer_->received.empty());
    EXPECT_FALSE(host_->win().transfer().State().ClientRecv());
}

TEST_F(HostilePeer, ResetInTheMiddleOfAFile) {
    Announce("reset.bin");
    AsRead(peer_->Block(Bytes(1000, 4)));
    ASSERT_TRUE(WaitForOKs(1));
    AsRead(peer_->Block(Bytes(1000, 5)).substr(0, 400));
    Hangup(*peer_, /*abort=*/true);
    EXPECT_FALSE(host_->win().transfer().State().ClientRecv());
    EXPECT_EQ(Status(),
              (std::vector<std::string>{"Receiving File reset.bin", "Connection lost.",
                                        "The file reset.bin was not received completely."}));
}

TEST_F(HostilePeer, AddressTwiceRebuildsTheKeys) {
    AsRead("IP:127.0.0.1");
    AsRead("CT:" + peer_->Encipher("same keys"));
    EXPECT_EQ(LastChat(), "same keys");
    // Another address: the host builds other keys and reads the chat as other text.
    AsRead("IP:127.0.0.2");
    EXPECT_EQ(host_->find<QLineEdit>("txtConnect")->text(), "127.0.0.2");
    AsRead("CT:" + peer_->Encipher("other keys"));
    EXPECT_NE(LastChat(), "other keys");
    EXPECT_EQ(Status(), (std::vector<std::string>{"Connected.", "Connected."}));
}

// Each address builds a new set of key files: one read of 5,000 addresses must not cost
// 5,000 of them (it froze the window for more than a minute).
TEST_F(HostilePeer, AddressesPackedInOneReadBuildKeysAtMostTwice) {
    std::string many;
    while (many.size() < 60000) many += "IP:127.0.0.1";
    AsRead(many);
    EXPECT_EQ(Status(), (std::vector<std::string>{"Connected.", "Connected."}));
}

TEST_F(HostilePeer, HangUpInTheMiddleOfAFile) {
    Announce("hangup.bin");
    AsRead(peer_->Block(Bytes(1000, 6)));
    ASSERT_TRUE(WaitForOKs(1));
    AsRead("XX:");
    EXPECT_EQ(
        std::vector<std::string>(host_->messages.begin() + messagesStart_, host_->messages.end()),
        std::vector<std::string>{"Your connection was terminated manually by the person.  "});
    EXPECT_FALSE(host_->win().state().IsConnected);
    Hangup(*peer_);
    EXPECT_FALSE(host_->win().transfer().State().ClientRecv());
    EXPECT_EQ(Status(),
              (std::vector<std::string>{"Receiving File hangup.bin",
                                        "The file hangup.bin was not received completely."}));
}

// The user connects somewhere else while a file comes in and another goes out: the
// next peer's blocks must not land in the old file, nor its "OK:" draw out the old
// file's next block.
TEST_F(HostilePeer, ConnectingElsewhereEndsTheOldConnectionsTransfers) {
    TempDir out;
    const std::string outgoing = Bytes(3000, 7);
    {
        RecordFile f(out.file("out.bin"), 1);
        f.WriteRaw(1, outgoing);
    }
    host_->openFileNames.push_back(out.file("out.bin"));
    host_->click("flesend");
    ASSERT_TRUE(WaitUntil([&] { return host_->win().transfer().State().FileInProgress(); }));
    ASSERT_NE(peer_->received.find("FL:out.bin"), std::string::npos);
    Announce("in.bin");
    AsRead(peer_->Block(Bytes(1000, 8)));
    ASSERT_TRUE(WaitForOKs(1));

    // The next peer waits on the port the host's own listener gave up.
    PlainPeer next(PlainPeer::Mode::Raw);
    ASSERT_EQ(next.Listen(port_), port_);
    host_->find<QLineEdit>("txtConnect")->setText("127.0.0.1");
    host_->click("Command2");
    ASSERT_TRUE(WaitUntil([&] { return next.received == "IP:127.0.0.1"; }));

    const std::string bar = RecvBar();
    next.Write(peer_->Block(Bytes(1000, 9)) + "OK:");
    ASSERT_TRUE(WaitUntil([&] { return RecvBar() != bar; }));
    EXPECT_EQ(next.received, "IP:127.0.0.1");  // no block of the old file, no acknowledgement
    EXPECT_EQ(fs::file_size(host_->file("Recv/in.bin")), 1000u);
    EXPECT_FALSE(host_->win().transfer().State().FileInProgress());
    EXPECT_FALSE(host_->win().transfer().State().ClientRecv());
    EXPECT_EQ(Status(),
              (std::vector<std::string>{
                  "Sending " + out.file("out.bin") + "...", "Receiving File in.bin",
                  "The file " + out.file("out.bin") + " was not sent completely.",
                  "The file in.bin was not received completely.", "Connecting...", "Connected"}));
    next.Reset();
    ASSERT_TRUE(WaitUntil([] { return !host_->win().state().IsConnected; }));
}

}  // namespace
}  // namespace keyvane::test
