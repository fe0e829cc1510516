// How much a sender holds in memory when the receiver does not keep up: it waits for the
// socket instead of queueing the file, and stop-and-wait still sends one per "OK:".
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "link/FastLink.h"
#include "platform/files.h"
#include "support/fakes.h"
#include "transfer/FileTransfer.h"

namespace keyvane {
namespace {

using fast::SendWindow;

using test::FakePeer;

// A fast client, or a plain host, that sends.
FakePeer::Options Sender(bool fastLink) {
    if (fastLink) return {.settings = {}, .transfer = true, .start = FakePeer::Start::FastClient};
    return {.transfer = true, .start = FakePeer::Start::Host};
}

// Block messages sent, "FB:RM:" included. On the fast link they leave many to a write,
// the file's end (hash and "FB:RM:" with 10 bytes: 84 bytes) behind them.
long Blocks(const FakePeer& s) {
    if (!s.session->Fast()) return s.Began("FB:");
    long n = 0;
    for (size_t i = 0; i < s.sock.sent.size(); ++i) {
        const size_t size = s.sock.sentSizes[i];
        const bool end = size % 1004 == 84;
        if (s.sock.sent[i].rfind("FB:", 0) == 0 || end) n += static_cast<long>(size / 1004) + end;
    }
    return n;
}

long Ends(const FakePeer& s) {
    if (!s.session->Fast()) return s.Began("FB:RM:");
    return std::count_if(s.sock.sentSizes.begin(), s.sock.sentSizes.end(),
                         [](size_t size) { return size % 1004 == 84; });
}

// The peer acknowledges every block that went, whether it read it or not.
void AckAll(FakePeer& s, long& acked) {
    const long blocks = Blocks(s);
    std::string oks;
    for (; acked < blocks; ++acked) oks += "OK:";
    if (!oks.empty()) s.sock.Receive(oks);
}

TEST(SendFlow, AFastReceiverThatAcknowledgesWithoutReadingCannotFillOurMemory) {
    FakePeer s(Sender(true));
    s.sock.keep = 6;
    long acked = 0;
    ASSERT_TRUE(s.session->Fast());
    const std::string file = s.dir.file("big.bin");
    constexpr long kBlocks = 4000;
    test::WriteRandomFile(file, kBlocks * 1000 + 10);
    s.sock.holdSends = true;  // the peer reads nothing: every byte stays with us
    s.transfer->SendFile(file, 0);
    s.sock.Receive(fast::Resume(0));
    for (long before = -1; before != Blocks(s);) {
        before = Blocks(s);
        AckAll(s, acked);
    }
    // Held back at the bound, far short of the file.
    constexpr size_t kBound = SendWindow::kMaxQueuedBytes + 1004;
    EXPECT_LE(s.sock.peakQueued, kBound);
    EXPECT_GT(s.sock.queued, SendWindow::kMaxQueuedBytes);
    EXPECT_LT(Blocks(s), kBlocks / 2);
    EXPECT_TRUE(s.transfer->State().FileInProgress());

    // As the system takes what waits, the rest goes, and no more waits at once.
    for (int turn = 0; turn < 100 && s.transfer->State().FileInProgress(); ++turn) {
        s.sock.Drain();
        AckAll(s, acked);
    }
    EXPECT_EQ(s.view.status.back(), "File Transferred.");
    EXPECT_EQ(Blocks(s), kBlocks + 1);
    EXPECT_EQ(Ends(s), 1);
    EXPECT_LE(s.sock.peakQueued, kBound);
    // Nothing is sent once the file is done, however the socket reports.
    const size_t messages = s.sock.sent.size();
    s.sock.SendProgress(10, 0);
    EXPECT_EQ(s.sock.sent.size(), messages);
}

TEST(SendFlow, StopAndWaitSendsOnePerOKWhateverTheSocketHolds) {
    FakePeer s(Sender(false));
    s.sock.keep = 6;
    ASSERT_FALSE(s.session->Fast());
    const std::string file = s.dir.file("plain.bin");
    test::WriteRandomFile(file, 3500);
    s.sock.holdSends = true;
    s.transfer->SendFile(file, 0);
    s.plat.PassSeconds(2);
    ASSERT_EQ(s.Began("FB:"), 1);
    // The socket taking bytes is no "OK:".
    s.sock.Drain();
    s.sock.SendProgress(1, 0);
    EXPECT_EQ(s.Began("FB:"), 1);
    for (long n = 2; n <= 4; ++n) {
        s.sock.Receive("OK:");
        EXPECT_EQ(s.Began("FB:"), n);
    }
    s.sock.Receive("OK:");
    EXPECT_EQ(s.view.status.back(), "File Transferred.");

    // A peer that acknowledges without reading: the "OK:"s past the bound wait for the
    // socket, and each still lets exactly one message go.
    const std::string big = s.dir.file("big.bin");
    constexpr long kBlocks = 3000;
    test::WriteRandomFile(big, kBlocks * 1000 + 10);
    s.sock.peakQueued = s.sock.queued = 0;
    const long before = s.Began("FB:");
    s.transfer->SendFile(big, 0);
    s.plat.PassSeconds(2);
    std::string oks;
    for (long i = 0; i <= kBlocks; ++i) oks += "OK:";
    s.sock.Receive(oks);
    EXPECT_LE(s.sock.peakQueued, SendWindow::kMaxQueuedBytes + 1004);
    EXPECT_LT(s.Began("FB:") - before, kBlocks / 2);
    for (int turn = 0; turn < 100 && s.transfer->State().FileInProgress(); ++turn) s.sock.Drain();
    EXPECT_EQ(s.Began("FB:") - before, kBlocks + 1);
    EXPECT_EQ(s.view.status.back(), "File Transferred.");
    EXPECT_LE(s.sock.peakQueued, SendWindow::kMaxQueuedBytes + 1004);
}

}  // namespace
}  // namespace keyvane
