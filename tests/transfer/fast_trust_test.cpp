// The fast link against a peer that lies, and received files that must never replace
// one another. One side runs over a fake socket on a fake clock; the test plays the other.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>

#include "link/FastLink.h"
#include "platform/files.h"
#include "platform/sha256.h"
#include "support/fakes.h"
#include "sysfiles/SystemFiles.h"
#include "transfer/BlockFiles.h"
#include "transfer/FileTransfer.h"
#include "transfer/TransferRules.h"

namespace keyvane {
namespace {

using test::RandomBytes;

using test::FakePeer;

// A client on a fast link (the host's probe answered).
const FakePeer::Options kFastClient{
    .settings = {}, .transfer = true, .start = FakePeer::Start::FastClient};

void Offer(FakePeer& r, const std::string& name, uint64_t length) {
    r.sock.Receive(fast::Envelope("FL:" + name));
    r.sock.Receive(fast::FileHead(length, 7));
}

// Blocks from..to of `bytes` (from 1); with `end`, the hash and the rest behind them.
void Blocks(FakePeer& r, const std::string& bytes, size_t from, size_t to, bool end = false) {
    for (size_t b = from; b <= to; ++b) r.sock.Receive(r.Block(bytes.substr((b - 1) * 1000, 1000)));
    if (!end) return;
    r.sock.Receive(fast::HashMessage(Sha256::Hex(bytes)));
    r.sock.Receive(r.End(bytes.substr(to * 1000)));
}

TEST(FastTrust, NoOfferOrBlockBeyondWhatASenderCountsIsTaken) {
    FakePeer r(kFastClient);
    ASSERT_TRUE(r.session->Fast());
    // The second of these was once a resume of the first that grew it to terabytes
    // (asserted one by one, so code that would do that stops before it does).
    const std::string refused =
        "File not received: huge.bin (the announced length is more "
        "than any file sent can have)";
    for (int i = 1; i <= 2; ++i) {
        Offer(r, "huge.bin", uint64_t{1} << 63 | 5000);
        ASSERT_EQ(r.view.Count(refused), i);
    }
    EXPECT_FALSE(FileExists(r.Recv("huge.bin")) || r.transfer->State().ClientRecv());
    EXPECT_EQ(r.Sent(fast::Resume(0)), 0);
    Offer(r, "edge.bin", kMaxFileLength + 1);
    EXPECT_FALSE(r.transfer->State().ClientRecv());
    Offer(r, "edge.bin", kMaxFileLength);
    EXPECT_EQ(r.sock.sent.back(), fast::Resume(0));

    const std::string bytes = RandomBytes(3000, 1);
    Offer(r, "short.bin", 1500);
    const size_t sent = r.sock.sent.size();
    Blocks(r, bytes, 1, 3);
    EXPECT_EQ(r.view.status.back(),
              "File incomplete: short.bin (more blocks came than were announced)");
    EXPECT_EQ(r.sock.sent.size(), sent + 1);  // only the block announced is acknowledged
    EXPECT_FALSE(r.transfer->State().ClientRecv());
    EXPECT_EQ(ReadWholeFile(r.Recv("short.bin")), bytes.substr(0, 1000));
}

// A partial file is read back a step at a time before the answer; whatever comes in
// between ends that, and the file keeps the whole blocks it had.
TEST(FastTrust, KeptBlocksAreHashedInStepsThatAnythingNewCancels) {
    const std::string bytes = RandomBytes(5000 * 1000 + 300, 2);
    for (int interrupt = 0; interrupt < 4; ++interrupt) {
        FakePeer r(kFastClient);
        Offer(r, "part.bin", bytes.size());
        Blocks(r, bytes, 1, 2);
        // Offered again, the file the note names is kept: the test fills it further.
        test::WriteFile(r.Recv("part.bin"), bytes.substr(0, 5000 * 1000 + 10));
        Offer(r, "part.bin", bytes.size());
        ASSERT_EQ(r.TimersStarted(), 1);
        EXPECT_EQ(r.Sent(fast::Resume(5000)), 0);
        if (interrupt == 1) Offer(r, "other.bin", 10);
        if (interrupt == 2) Blocks(r, bytes, 1, 1);
        if (interrupt == 3) r.sock.Disconnected();
        r.plat.RunDueTimers();
        EXPECT_EQ(ExistingFileLength(r.Recv("part.bin")), 5000 * 1000) << interrupt;
        if (interrupt == 2) {
            EXPECT_EQ(r.view.status.back(),
                      "File incomplete: part.bin (blocks came before the answer)");
        }
        if (interrupt > 0) {
            EXPECT_EQ(r.TimersStarted(), 1) << interrupt;
            EXPECT_EQ(r.Sent(fast::Resume(5000)), 0) << interrupt;
            continue;
        }
        EXPECT_EQ(r.TimersStarted(),
                  (5000 - 1) / StepHasher::kStepBlocks);  // the first one at once
        EXPECT_EQ(r.view.status.back(), "Resuming part.bin after 5000 blocks.");
        Blocks(r, bytes, 5001, 5000, true);
        EXPECT_EQ(r.view.status.back(), "File received.");
        EXPECT_EQ(ReadWholeFile(r.Recv("part.bin")), bytes);
    }
}

// The sender trusts no "KVR": past the file it starts afresh, a resume is hashed in
// steps, and no answer at all ends the send and the set it belongs to.
TEST(FastTrust, TheSenderChecksTheAnswerAndGivesUpWithoutOne) {
    FakePeer s(kFastClient);
    const std::string bytes = RandomBytes(4500 * 1000 + 7, 4), path = s.dir.file("out.bin");
    test::WriteFile(path, bytes);
    const std::string first = s.Block(bytes.substr(0, 1000)),
                      hash = fast::HashMessage(Sha256::Hex(bytes));
    auto again = [&](uint32_t held) {
        s.sock.Disconnected();
        s.BecomeFastClient();
        s.transfer->SendFile(path, 0);
        s.sock.Receive(fast::Resume(held));
    };
    again(4501);
    EXPECT_EQ(s.Began(first), 1);
    again(4500);
    EXPECT_EQ(s.Sent(hash), 0);
    s.plat.RunDueTimers();
    EXPECT_EQ(s.Sent(hash), 1);
    EXPECT_EQ(s.sock.sent.back(), s.End(bytes.substr(4500 * 1000)));
    EXPECT_EQ(s.Began(first), 1);
    // The wait for each answer, and the steps after the first for 4500 blocks.
    EXPECT_EQ(s.TimersStarted(), 2 + (4500 - 1) / StepHasher::kStepBlocks);

    s.sock.Disconnected();
    s.BecomeFastClient();
    SystemFiles set(*s.session, *s.transfer, s.view, s.plat.p);
    set.sys.SystemFileList[1] = path;
    set.sys.SystemFileCount = 1;
    set.Start();
    s.plat.Advance(FileTransfer::kAnswerWaitMs + 4500007 / FileTransfer::kReadBackBytesPerMs - 1);
    EXPECT_EQ(s.transfer->State().sendPhase, SendPhase::Announcing);
    s.plat.Advance(1);
    EXPECT_EQ(s.view.status[s.view.status.size() - 2],
              "The file " + path + " was not sent: the receiver did not answer.");
    EXPECT_EQ(s.view.status.back(), "The system files were not all sent.");
    EXPECT_FALSE(s.transfer->Busy() || s.view.HasStatus("File Transferred."));
    s.sock.Receive(fast::Resume(0));  // too late: nothing goes
    EXPECT_EQ(s.transfer->State().sendPhase, SendPhase::Idle);
}

TEST(ReceivedNames, ATakenNameGetsTheNextNumberAndResumeFollowsIt) {
    FakePeer r(kFastClient);
    test::WriteFile(r.Recv("f.bin"), "earlier");
    test::WriteFile(r.dir.file("outside.txt"), "outside");
    ASSERT_EQ(::symlink(r.dir.file("outside.txt").c_str(), r.Recv("f-2.bin").c_str()), 0);
    const std::string bytes = RandomBytes(4200, 6);
    Offer(r, "f.bin", bytes.size());
    EXPECT_EQ(r.view.status.back(), "Receiving File f-3.bin");
    Blocks(r, bytes, 1, 3);
    r.sock.Disconnected();
    EXPECT_EQ(r.view.status.back(), "The file f-3.bin was not received completely.");
    r.BecomeFastClient();
    Offer(r, "f.bin", bytes.size());
    EXPECT_EQ(r.view.status.back(), "Resuming f-3.bin after 3 blocks.");
    Blocks(r, bytes, 4, 4, true);
    EXPECT_EQ(r.view.status.back(), "File received.");
    EXPECT_EQ(ReadWholeFile(r.Recv("f-3.bin")), bytes);
    EXPECT_EQ(ReadWholeFile(r.Recv("f.bin")), "earlier");
    EXPECT_EQ(ReadWholeFile(r.dir.file("outside.txt")), "outside");

    // A plain peer's file, as well.
    FakePeer p({.transfer = true, .start = FakePeer::Start::Host});
    p.transfer->SetReceiveFolder(r.transfer->State().Recv);
    p.sock.Receive("FL:f.bin");
    p.sock.Receive(p.End("plain"));
    p.plat.Advance(Session::kEndWaitMaxMs);  // nothing more of it comes
    EXPECT_EQ(p.view.status.end()[-2], "Receiving File f-4.bin");
    EXPECT_EQ(ReadWholeFile(r.Recv("f-4.bin")), "plain");
    EXPECT_EQ(ReadWholeFile(r.Recv("f.bin")), "earlier");
}

}  // namespace
}  // namespace keyvane
