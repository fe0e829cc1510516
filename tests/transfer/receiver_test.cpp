// The receiving side over a fake socket: a file's closing message cut by the network
// into two reads, wherever the cut falls (right after a "|" of its enciphered rest, or
// anywhere else), and a stream that falls out of step. The receiver's clock and timers
// are fake.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <utility>

#include "platform/files.h"
#include "support/fakes.h"
#include "transfer/FileTransfer.h"

namespace keyvane {
namespace {

using test::FakePeer;

const FakePeer::Options kHost{.transfer = true, .start = FakePeer::Start::Host};

// Runs `arrive`, then the timers until every wait is over; how long after the start the
// file was received (-1: not at all).
int64_t ReceivedAfter(FakePeer& r, const std::function<void()>& arrive) {
    const int64_t start = r.plat.ms;
    int64_t at = -1;
    r.view.onLine = [&](const std::string& line) {
        if (line == "File received." && at < 0) at = r.plat.ms;
    };
    arrive();
    r.plat.Advance(Session::kEndWaitMaxMs + 1);
    r.view.onLine = nullptr;
    return at < 0 ? -1 : at - start;
}

TEST(FileEndCut, ArrivesWholeWhereverTheReadsCutIt) {
    for (size_t restSize : {999u, 640u}) {
        FakePeer r(kHost);
        // A rest whose enciphered form holds "|" in several places.
        std::string rest, wire;
        for (unsigned seed = 1; std::count(wire.begin(), wire.end(), '|') < 3; ++seed)
            wire = r.Encipher(rest = test::RandomBytes(restSize, seed));
        const std::string message = "FB:RM:" + wire + "|";
        int cutsAfterBar = 0;
        for (size_t cut = 1; cut < message.size(); ++cut) {
            cutsAfterBar += message[cut - 1] == '|';
            r.sock.Receive("FL:end.bin");
            // The rest comes at once: during the wait, or simply as the next read.
            const int64_t waited = ReceivedAfter(r, [&] {
                r.sock.Receive(message.substr(0, cut));
                r.sock.Receive(message.substr(cut));
            });
            ASSERT_EQ(ReadWholeFile(r.Recv("end.bin")), rest) << restSize << " cut at " << cut;
            std::filesystem::remove(r.Recv("end.bin"));  // or the next gets a new name
            ASSERT_FALSE(r.transfer->State().ClientRecv());
            ASSERT_EQ(r.sock.sent.back(), "OK:");
            // A whole end shorter than the longest waits for more, within its bound.
            ASSERT_LE(waited, Session::kEndWaitMinMs);
            if (restSize < 999) {
                ASSERT_EQ(waited, Session::kEndWaitMinMs);
            }
        }
        EXPECT_EQ(r.view.Count("File received."), static_cast<int>(message.size()) - 1);
        EXPECT_EQ(std::count(r.sock.sent.begin(), r.sock.sent.end(), "OK:"),
                  static_cast<long>(message.size()) - 1);
        EXPECT_GE(cutsAfterBar, 3);
    }
}

TEST(FileEndCut, WaitFollowsTheGapsBetweenBlocks) {
    FakePeer r(kHost);
    const std::string block = test::RandomBytes(1000, 5), rest = test::RandomBytes(10, 6);
    // Gaps of 20 and 5 ms between the blocks: without a measured round trip, an end
    // waits a retransmission and twice the longest gap. A gap of a second would make it
    // wait the most there is.
    for (int64_t gap : {int64_t{20}, int64_t{1000}}) {
        r.sock.Receive("FL:blocks.bin");
        for (int64_t before : {int64_t{0}, gap, int64_t{5}}) {
            r.plat.ms += before;
            r.sock.Receive(r.Block(block));
        }
        const int64_t waited = ReceivedAfter(r, [&] { r.sock.Receive(r.End(rest)); });
        EXPECT_EQ(waited, gap == 20 ? Session::kEndWaitMinMs + 40 : Session::kEndWaitMaxMs);
        EXPECT_EQ(ReadWholeFile(r.Recv("blocks.bin")), block + block + block + rest);
        std::filesystem::remove(r.Recv("blocks.bin"));
    }
    EXPECT_EQ(r.view.Count("File received."), 2);
}

TEST(ReceiverOutOfStep, EndsTheFileAndKeepsWhatCameBefore) {
    FakePeer r(kHost);
    const std::string block = test::RandomBytes(1000, 7);
    r.sock.Receive("FL:broken.bin");
    r.sock.Receive(r.Block(block));
    // A block of 600 bytes: its 1004 would reach into the chat line after it.
    r.sock.Receive(r.Block(test::RandomBytes(600, 8)));
    r.sock.Receive("CT:" + r.Encipher(std::string(500, 'h')));
    EXPECT_FALSE(r.transfer->State().ClientRecv());
    EXPECT_EQ(r.view.status.back(), "File incomplete: broken.bin (a block was broken)");
    EXPECT_EQ(ReadWholeFile(r.Recv("broken.bin")), block);
    EXPECT_EQ(r.view.chat, std::vector<std::string>{std::string(500, 'h')});  // back in step
    EXPECT_EQ(r.view.Count("File received."), 0);
}

// Blocks are written many at a time: however a receive ends early, the file holds every
// block that came, and a write that fails is never acknowledged as a received file.
TEST(ReceiverEnds, FileHoldsEveryBlockThatCame) {
    FakePeer r(kHost);
    std::string blocks;
    for (int i = 0; i < 70; ++i) blocks += test::RandomBytes(1000, 20 + i);
    auto receive = [&](const std::string& name) {
        r.sock.Receive("FL:" + name);
        for (int i = 0; i < 70; ++i) r.sock.Receive(r.Block(blocks.substr(i * 1000, 1000)));
    };
    receive("announced.bin");
    receive("lost.bin");  // ends the first
    EXPECT_EQ(r.view.status.back(), "Receiving File lost.bin");
    r.sock.Disconnected();
    EXPECT_EQ(r.view.status.back(), "The file lost.bin was not received completely.");
    EXPECT_EQ(ReadWholeFile(r.Recv("announced.bin")), blocks);
    EXPECT_EQ(ReadWholeFile(r.Recv("lost.bin")), blocks);
    EXPECT_EQ(r.view.Count("File received."), 0);
}

}  // namespace
}  // namespace keyvane
