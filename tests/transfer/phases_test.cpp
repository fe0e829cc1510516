// The phases a file goes through on either side, and the flags read from them.
#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"
#include "support/fakes.h"
#include "transfer/FileTransfer.h"

namespace keyvane {
namespace {

using Peer = test::FakePeer;
const Peer::Options kHost{.transfer = true, .start = Peer::Start::Host};

TEST(TransferPhases, SenderAnnouncesSendsAndEndsOnTheRightOK) {
    Peer a(kHost);
    const std::string small = a.dir.file("small.txt"), big = a.dir.file("big.bin");
    WriteTextLines(small, {"tiny"});
    WriteTextLines(big, {std::string(2500, 'b')});

    // During the pause after "FL:" nothing is awaited yet: an early "OK:" changes nothing.
    a.transfer->SendFile(small, 0);
    EXPECT_EQ(a.transfer->State().sendPhase, SendPhase::Announcing);
    EXPECT_TRUE(!a.transfer->State().FileInProgress() && a.transfer->Busy());
    a.sock.Receive("OK:");
    a.plat.PassSeconds(2);
    ASSERT_EQ(a.sock.sent.size(), 2u);  // "FL:", then at once the closing block
    EXPECT_EQ(a.sock.sent[1].substr(0, 6), "FB:RM:");
    EXPECT_TRUE(a.transfer->State().FBRMSent() && a.transfer->State().FileInProgress());
    a.sock.Receive("OK:");
    EXPECT_EQ(a.transfer->State().sendPhase, SendPhase::Idle);
    EXPECT_EQ(a.view.status.back(), "File Transferred.");
    EXPECT_EQ(a.sock.sent.size(), 2u);

    // Two blocks and a rest: the rest goes on the second "OK:", which ends the file.
    a.transfer->SendFile(big, 0);
    a.plat.PassSeconds(2);
    EXPECT_EQ(a.transfer->State().sendPhase, SendPhase::Sending);
    EXPECT_FALSE(a.transfer->State().FBRMSent());
    a.sock.Receive("OK:");
    EXPECT_TRUE(a.transfer->State().FileInProgress());
    a.sock.Receive("OK:");
    EXPECT_EQ(a.sock.sent.back().substr(0, 6), "FB:RM:");
    EXPECT_FALSE(a.transfer->Busy());
}

TEST(TransferPhases, ReceiverThatCannotWriteStaysInFileModeUntilTheEnd) {
    Peer b(kHost);
    // A file where the receive folder should be: nothing can be created in it.
    b.transfer->SetReceiveFolder(b.dir.file("blocked/"));
    WriteTextLines(b.dir.file("blocked"), {"a file"});
    b.sock.Receive("FL:taken");
    EXPECT_EQ(b.transfer->State().recvPhase, RecvPhase::Discarding);
    EXPECT_TRUE(b.transfer->State().ClientRecv());
    const size_t sent = b.sock.sent.size();
    // Blocks are still acknowledged, though nothing is written.
    b.sock.Receive(b.Block(std::string(1000, 'x')));
    EXPECT_EQ(b.sock.sent.size(), sent + 1);
    b.sock.Receive("FB:RM:|");
    b.plat.Advance(Session::kEndWaitMaxMs);  // nothing more of it comes
    EXPECT_EQ(b.transfer->State().recvPhase, RecvPhase::Idle);
    EXPECT_EQ(b.view.status.back(), "File not received: taken");
    EXPECT_EQ(b.sock.sent.size(), sent + 2);
}

}  // namespace
}  // namespace keyvane
