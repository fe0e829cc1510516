// A plain peer's closing "FB:RM:" cut right after a "|" of its enciphered rest: the
// rest may be a segment the network lost and sends again after the sender's
// retransmission timeout. The receiver's clock and timers are fake.
#include <gtest/gtest.h>

#include <filesystem>
#include <utility>

#include "support/fakes.h"
#include "transfer/FileTransfer.h"

namespace keyvane::test {
namespace {

// Receives a one-message file of 640 bytes whose cut-off part comes `delay` ms into the
// wait, over a socket that measured `rttUs`. Returns whether the file came out whole
// and how long the receiver waited.
std::pair<bool, int64_t> LateEnd(int64_t delay, int64_t rttUs) {
    FakePeer r;
    r.BecomeConnectedHost();
    FileTransfer transfer(*r.session, r.view, r.plat.p, r.sdk);
    transfer.SetReceiveFolder(r.dir.file("Recv/"));
    std::filesystem::create_directories(transfer.State().Recv);
    r.sock.roundTripUs = rttUs;
    std::string rest, wire;
    for (unsigned seed = 1; wire.find('|') + 1 >= wire.size(); ++seed)
        wire = r.Encipher(rest = RandomBytes(640, seed));
    const std::string message = "FB:RM:" + wire + "|";
    const size_t cut = 6 + wire.find('|') + 1;
    r.sock.Receive("FL:late.bin");
    r.sock.Receive(message.substr(0, cut));
    const int64_t start = r.plat.ms;
    int64_t endedAt = -1;
    r.view.onLine = [&](const std::string& line) {
        if (line == "File received.") endedAt = r.plat.ms;
    };
    r.plat.Advance(delay);
    if (endedAt < 0) r.sock.Receive(message.substr(cut));
    r.plat.Advance(Session::kEndWaitMaxMs);
    EXPECT_EQ(r.view.Count("File received."), 1);  // whole or not: the known limit
    return {ReadWholeFile(transfer.State().Recv + "late.bin") == rest, endedAt - start};
}

TEST(FileEndWait, OutlastsOneRetransmissionWithinItsBound) {
    // Resent after Linux's 200 ms or Windows' 300 ms, on a trip not yet measured.
    EXPECT_TRUE(LateEnd(300, -1).first);
    EXPECT_TRUE(LateEnd(390, -1).first);
    // A measured trip of 150 ms adds two of them.
    EXPECT_TRUE(LateEnd(680, 150'000).first);
    // Nothing more comes: the least wait, or the most for a trip of five seconds.
    EXPECT_EQ(LateEnd(100'000, 1), std::make_pair(false, int64_t{Session::kEndWaitMinMs + 2}));
    EXPECT_EQ(LateEnd(100'000, 5'000'000), std::make_pair(false, int64_t{Session::kEndWaitMaxMs}));
}

}  // namespace
}  // namespace keyvane::test
