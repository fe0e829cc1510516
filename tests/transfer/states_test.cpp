// Moves between a transfer's phases that no single message makes plain.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "link/FastLink.h"
#include "platform/files.h"
#include "platform/sha256.h"
#include "support/fakes.h"
#include "support/tempdir.h"
#include "transfer/BlockFiles.h"
#include "transfer/FileTransfer.h"

namespace keyvane {
namespace {

using test::RandomBytes;

using test::FakePeer;

// A plain host, or a client whose probe the host answered.
FakePeer::Options Side(bool fastLink = false) {
    if (fastLink) return {.settings = {}, .transfer = true, .start = FakePeer::Start::FastClient};
    return {.transfer = true, .start = FakePeer::Start::Host};
}

TEST(TransferStates, AFileThatShrinksWhileSentSaysWhyItStopped) {
    FakePeer a(Side());
    const std::string path = a.dir.file("shrinks.bin");
    WriteTextLines(path, {std::string(2500, 's')});
    a.transfer->SendFile(path, 0);
    a.plat.PassSeconds(2);
    ASSERT_EQ(a.transfer->State().sendPhase, SendPhase::Sending);
    std::filesystem::resize_file(path, 500);
    a.sock.Receive("OK:");  // the second block was read before; the end finds it short
    a.sock.Receive("OK:");
    EXPECT_EQ(a.transfer->State().sendPhase, SendPhase::Idle);
    EXPECT_EQ(a.view.status.back(),
              "Cannot send " + path + ": the file became shorter while it was being sent");
    EXPECT_NE(a.sock.sent.back().substr(0, 6), "FB:RM:");
}

// An answer counts only while it is awaited: a second "KVR" while the kept blocks are
// hashed does not start the file over, and the wait for the first one ends with it.
TEST(TransferStates, TheSenderTakesOneAnswerAndStopsWaitingForIt) {
    FakePeer s(Side(true));
    ASSERT_TRUE(s.session->Fast());
    const std::string bytes = RandomBytes(2500 * 1000 + 7, 3), path = s.dir.file("out.bin");
    test::WriteFile(path, bytes);
    s.transfer->SendFile(path, 0);
    s.sock.Receive(fast::Resume(2 * StepHasher::kStepBlocks));
    s.sock.Receive(fast::Resume(0));
    EXPECT_EQ(s.transfer->State().sendPhase, SendPhase::Announcing);
    EXPECT_EQ(s.Began("FB:"), 0);
    s.plat.Advance(FileTransfer::kAnswerWaitMs +
                   static_cast<int64_t>(bytes.size()) / FileTransfer::kReadBackBytesPerMs + 1);
    EXPECT_EQ(s.transfer->State().sendPhase, SendPhase::Sending);
    EXPECT_FALSE(
        s.view.HasStatus("The file " + path + " was not sent: the receiver did not answer."));
    const size_t next = 2 * StepHasher::kStepBlocks * 1000;
    EXPECT_EQ(s.Began(s.Block(bytes.substr(next, 1000))), 1);
    EXPECT_EQ(s.Began(s.Block(bytes.substr(0, 1000))), 0);
}

// An offer counts only right after "FL:", and a hash only for the file it came with.
TEST(TransferStates, TheReceiverTakesOneOfferPerFile) {
    FakePeer r(Side(true));
    const std::string bytes = RandomBytes(2500, 4);
    r.sock.Receive(fast::HashMessage(Sha256::Hex(bytes)));  // before any file: no one's
    r.sock.Receive(fast::Envelope("FL:one.bin"));
    r.sock.Receive(fast::FileHead(bytes.size(), 7));
    r.sock.Receive(fast::FileHead(bytes.size(), 7));
    EXPECT_EQ(r.Began(fast::Resume(0)), 1);
    for (size_t b = 0; b < 2; ++b) r.sock.Receive(r.Block(bytes.substr(b * 1000, 1000)));
    r.sock.Receive(r.End(bytes.substr(2000)));
    EXPECT_EQ(r.view.status.back(), "File damaged: one.bin differs from the file that was sent.");
    EXPECT_FALSE(FileExists(r.Recv("one-2.bin")));
    EXPECT_EQ(ReadWholeFile(r.Recv("one.bin")), bytes);
    EXPECT_FALSE(r.transfer->Busy());
}

// A received file's writer passes from phase to phase with the blocks it still holds.
TEST(TransferStates, AWriterHandedOnKeepsWhatItHeld) {
    test::TempDir dir;
    const std::string path = dir.file("held.bin");
    std::optional<BlockWriter> first(std::in_place, path, 4);
    first->Write(1, "ab");
    BlockWriter second(std::move(*first));
    first.reset();
    second.Write(2, "cdef");
    second.Close();
    EXPECT_EQ(ReadWholeFile(path), "ab  cdef");
}

}  // namespace
}  // namespace keyvane
