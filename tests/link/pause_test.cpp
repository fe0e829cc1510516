// The pause: its clock rule, and what happens while it runs after a file's announcement.
#include "link/Pause.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "support/fakes.h"
#include "support/loop_peer.h"
#include "transfer/FileTransfer.h"

namespace keyvane::test {
namespace {

TEST(Pause, EndsAtTheCountedChangeOfTheSecondsTextNotBefore) {
    FakePlatform plat;
    Pause pause(plat.p);
    int done = 0;
    plat.time = "23:59:58";
    pause.Start(3, [&] { ++done; });
    plat.Advance(5000);  // time passes, the text does not change: no end
    EXPECT_EQ(done, 0);
    plat.time = "23:59:59";
    plat.Advance(Pause::kTickMs);
    plat.time = "00:00:00";  // across midnight: a change like any other
    plat.Advance(Pause::kTickMs);
    EXPECT_EQ(done, 0);
    plat.time = "00:00:01";
    plat.Advance(Pause::kTickMs);
    EXPECT_EQ(done, 1);
    EXPECT_FALSE(pause.Running());
    plat.PassSeconds(5);
    EXPECT_EQ(done, 1);

    // Nothing to wait for: over at the next turn of the event loop, never inside Start.
    pause.Start(0, [&] { ++done; });
    EXPECT_EQ(done, 1);
    plat.RunDueTimers();
    EXPECT_EQ(done, 2);
}

TEST(Pause, StoppedOrReplacedItNeverEndsTwiceAndHeldItDoesNotCount) {
    FakePlatform plat;
    Pause pause(plat.p);
    int first = 0, second = 0;
    pause.Start(1, [&] { ++first; });
    pause.Start(2, [&] { ++second; });  // replaces the first
    plat.PassSeconds(1);
    EXPECT_EQ(second, 0);
    pause.Stop();
    plat.PassSeconds(3);
    EXPECT_EQ(first + second, 0);

    // Changes while what it follows is still held back do not count.
    bool held = true;
    pause.Start(
        2, [&] { ++second; }, [&] { return held; });
    plat.PassSeconds(3);
    EXPECT_EQ(second, 0);
    held = false;
    plat.Advance(Pause::kTickMs);  // it begins at the seconds text of now
    plat.PassSeconds(1);
    EXPECT_EQ(second, 0);
    plat.PassSeconds(1);
    EXPECT_EQ(second, 1);

    // Without timers there is no event loop to wait in: it is over at once.
    Platform bare;
    bare.TimeText = [] { return std::string("12:00:00"); };
    Pause now(bare);
    now.Start(2, [&] { ++first; });
    EXPECT_EQ(first, 1);
}

// A host that announced a file: the first block waits for the second change of the
// seconds, while everything that arrives meanwhile is handled at once.
const FakePeer::Options kHost{.transfer = true, .start = FakePeer::Start::Host};

std::string Announce(FakePeer& a) {
    const std::string path = a.dir.file("a.bin");
    WriteTextLines(path, {std::string(1500, 'x')});
    a.transfer->SendFile(path, 0);
    return path;
}

TEST(PauseAfterAnnouncing, MessagesAreHandledAllThroughAndTheBlockWaitsForTheClock) {
    FakePeer a(kHost);
    const std::string path = Announce(a);
    ASSERT_EQ(a.sock.sent, std::vector<std::string>{"FL:a.bin"});
    EXPECT_EQ(a.view.status.back(), "Sending " + path + "...");
    EXPECT_EQ(a.transfer->State().sendPhase, SendPhase::Announcing);

    // A chat line is shown as it comes, without the clock moving.
    a.sock.Receive("CT:" + a.Encipher("during"));
    EXPECT_EQ(a.view.chat, std::vector<std::string>{"during"});
    // Nothing is awaited yet: an early "OK:" changes nothing.
    a.sock.Receive("OK:");
    EXPECT_FALSE(a.transfer->State().FileInProgress());
    // A second file asked for meanwhile gets the answer of a busy side.
    a.transfer->SendFileCommand();
    EXPECT_EQ(a.plat.boxes, std::vector<std::string>{FileTransfer::kBusyText});

    a.plat.PassSeconds(1);
    EXPECT_EQ(a.sock.sent.size(), 1u);
    a.plat.PassSeconds(1);
    ASSERT_EQ(a.sock.sent.size(), 2u);
    EXPECT_EQ(a.sock.sent[1].substr(0, 3), "FB:");
    EXPECT_TRUE(a.transfer->State().FileInProgress());
    EXPECT_TRUE(a.view.progressVisible);
}

TEST(PauseAfterAnnouncing, AHangUpMeanwhileEndsTheFileAndNoBlockFollows) {
    FakePeer a(kHost);
    const std::string path = Announce(a);
    a.sock.Receive("XX:");
    EXPECT_EQ(a.view.status.back(), "The file " + path + " was not sent completely.");
    EXPECT_FALSE(a.transfer->Busy());
    a.plat.PassSeconds(3);
    EXPECT_EQ(a.sock.sent, std::vector<std::string>{"FL:a.bin"});
}

// The real clock and Qt's timers: the file goes through its pause.
TEST(PauseRealClock, TheFileGoesThroughItsPause) {
    LoopPeer a(true), b(true);
    ConnectPeers(a, b);
    const std::string bytes = RandomBytes(2500, 8);
    WriteFile(a.dir.file("slow.bin"), bytes);
    const std::string before = a.platform.TimeText();
    a.transfer->SendFile(a.dir.file("slow.bin"), 0);
    ASSERT_TRUE(RunUntil([&] { return a.Idle() && b.view.HasStatus("File received."); }));
    EXPECT_NE(a.platform.TimeText(), before);  // the seconds changed on the way
    EXPECT_TRUE(SameBytes(ReadWholeFile(b.Recv("slow.bin")), bytes));
}

}  // namespace
}  // namespace keyvane::test
