// A plain peer's closing "FB:RM:" cut right after a "|" of its enciphered rest: the
// rest of it may be a segment the network lost, sent again after the sender's
// retransmission timeout. The receiver's clock is fake; only its waits move it.
#include <gtest/gtest.h>

#include <filesystem>
#include <utility>

#include "link/fakes.h"
#include "platform/files.h"
#include "transfer/FileTransfer.h"

namespace keyvane::test {
namespace {

struct LateEnd : FakePeer {
    LateEnd() {
        st.Recv = dir.file("Recv/");
        std::filesystem::create_directories(st.Recv);
        BecomeConnectedHost();
        // The rest of the message comes `delay` ms after the wait began.
        plat.onWait = [this](int) {
            if (!late.empty() && plat.ms - start >= delay) sock.Receive(std::exchange(late, {}));
        };
    }

    // Sends a file of `before` blocks, `gap` ms apart, and a rest that holds "|", cut
    // after its first "|"; the cut-off part arrives `restDelay` ms later. Returns how
    // long the receiver waited after the first part, or -1 when the file came out wrong.
    int64_t Receive(int before, int64_t gap, int64_t restDelay) {
        std::string rest, wire;
        for (unsigned seed = 1;
             wire.find('|') == std::string::npos || wire.find('|') + 1 == wire.size(); ++seed)
            wire = Encipher(rest = RandomBytes(640, seed));
        const std::string block = RandomBytes(1000, 99);
        sock.Receive("FL:late.bin");
        for (int i = 0; i < before; ++i) {
            plat.ms += gap;
            sock.Receive("FB:" + Encipher(block) + "|");
        }
        const std::string message = "FB:RM:" + wire + "|";
        const size_t cut = 6 + wire.find('|') + 1;
        start = plat.ms;
        delay = restDelay;
        late = message.substr(cut);
        sock.Receive(message.substr(0, cut));
        const int64_t waited = plat.ms - start;
        late.clear();
        std::string expected;
        for (int i = 0; i < before; ++i) expected += block;
        if (ReadWholeFile(st.Recv + "late.bin") != expected + rest) return -1;
        return waited;
    }

    FileTransfer transfer{*session};
    std::string late;
    int64_t start = 0, delay = 0;
};

TEST(FileEndWait, OutlastsOneRetransmission) {
    // No round trip measured and one message: a segment resent after Linux's 200 ms, or
    // Windows' 300 ms, still makes the file whole.
    for (int64_t delay : {int64_t{210}, int64_t{300}, int64_t{390}}) {
        LateEnd r;
        EXPECT_GE(r.Receive(0, 0, delay), delay) << delay;
        EXPECT_EQ(r.view.Count("File received."), 1);
        EXPECT_EQ(r.sock.sent.back(), "OK:");
    }
    // A measured round trip of 150 ms adds two of them.
    LateEnd slow;
    slow.sock.roundTripUs = 150'000;
    EXPECT_GE(slow.Receive(0, 0, 680), 680);
    // Blocks 200 ms apart stand in for an unmeasured round trip.
    LateEnd blocks;
    EXPECT_GE(blocks.Receive(3, 200, 780), 780);
}

TEST(FileEndWait, IsBoundedAndTakesAWholeEndAsItIs) {
    // Nothing more comes: the end found so far is taken, after the least wait, or the
    // most there is for a round trip of five seconds.
    LateEnd fast;
    fast.sock.roundTripUs = 1;
    EXPECT_EQ(fast.Receive(0, 0, 1'000'000), -1);  // the cut part never came
    EXPECT_EQ(fast.plat.ms - fast.start, Session::kEndWaitMinMs + 2);
    LateEnd far;
    far.sock.roundTripUs = 5'000'000;
    EXPECT_EQ(far.Receive(0, 0, 1'000'000), -1);
    EXPECT_EQ(far.plat.ms - far.start, Session::kEndWaitMaxMs);
    EXPECT_EQ(far.view.Count("File received."), 1);  // what did come is still a file
}

}  // namespace
}  // namespace keyvane::test
