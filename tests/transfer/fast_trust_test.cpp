// The fast link against a peer that lies. One side runs over a fake socket on a fake
// clock; the test plays the other.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>

#include "link/FastLink.h"
#include "link/fakes.h"
#include "platform/files.h"
#include "platform/sha256.h"
#include "transfer/BlockFiles.h"
#include "transfer/FileTransfer.h"
#include "transfer/TransferRules.h"

namespace keyvane {
namespace {

using test::RandomBytes;

// A client on a fast link (the host's probe answered) that counts the timers it starts.
struct FastSide : test::FakePeer {
    FastSide() {
        st.Recv = dir.file("Recv/");
        std::filesystem::create_directories(st.Recv);
        std::filesystem::remove(dir.file("settings.dat"));
        Reconnect();
        plat.p.After = [this, after = plat.p.After](int ms, std::function<void()> fn) {
            ++shots;
            after(ms, std::move(fn));
        };
    }
    void Reconnect() {
        BecomeConnectedClient();
        plat.onWait = nullptr;
        sock.Receive(fast::Probe("0123456789abcdef"));
    }
    void Offer(const std::string& name, uint64_t length) {
        sock.Receive(fast::Envelope("FL:" + name));
        sock.Receive(fast::FileHead(length, 7));
    }
    // Blocks from..to of `bytes` (from 1); with `end`, the hash and the rest behind them.
    void Blocks(const std::string& bytes, size_t from, size_t to, bool end = false) {
        for (size_t b = from; b <= to; ++b)
            sock.Receive("FB:" + Encipher(bytes.substr((b - 1) * 1000, 1000)) + "|");
        if (!end) return;
        sock.Receive(fast::HashMessage(Sha256::Hex(bytes)));
        sock.Receive("FB:RM:" + Encipher(bytes.substr(to * 1000)) + "|");
    }
    void Put(const std::string& path, const std::string& bytes) {
        TextWriter w(path);
        w.Write(bytes);
        w.Close();
    }
    int Sent(const std::string& m) const {
        return static_cast<int>(std::count(sock.sent.begin(), sock.sent.end(), m));
    }
    std::string Recv(const std::string& name) const { return st.Recv + name; }
    int shots = 0;
    FileTransfer transfer{*session};
};

// The sender trusts no "KVR": past the file it starts afresh, a resume is hashed in
// steps, and no answer at all ends the send and the set it belongs to.
TEST(FastTrust, TheSenderChecksTheAnswerAndGivesUpWithoutOne) {
    FastSide s;
    const std::string bytes = RandomBytes(4500 * 1000 + 7, 4), path = s.dir.file("out.bin");
    s.Put(path, bytes);
    const std::string first = "FB:" + s.Encipher(bytes.substr(0, 1000)) + "|",
                      hash = fast::HashMessage(Sha256::Hex(bytes));
    auto again = [&](uint32_t held) {
        s.sock.Disconnected();
        s.Reconnect();
        s.transfer.SendFile(path, 0);
        s.sock.Receive(fast::Resume(held));
    };
    again(4501);
    EXPECT_EQ(s.Sent(first), 1);
    again(4500);
    EXPECT_EQ(s.Sent(hash), 0);
    s.plat.RunDueTimers();
    EXPECT_EQ(s.Sent(hash), 1);
    EXPECT_EQ(s.sock.sent.back(), "FB:RM:" + s.Encipher(bytes.substr(4500 * 1000)) + "|");
    EXPECT_EQ(s.Sent(first), 1);
    // The wait for each answer, and the steps after the first for 4500 blocks.
    EXPECT_EQ(s.shots, 2 + (4500 - 1) / StepHasher::kStepBlocks);

    s.sock.Disconnected();
    s.Reconnect();
    s.st.SystemTransferInProgress = true;
    s.transfer.SendFile(path, 0);
    s.plat.Advance(FileTransfer::kAnswerWaitMs + 4500007 / FileTransfer::kReadBackBytesPerMs - 1);
    EXPECT_EQ(s.st.sendPhase, SendPhase::Announcing);
    s.plat.Advance(1);
    EXPECT_EQ(s.view.status[s.view.status.size() - 2],
              "The file " + path + " was not sent: the receiver did not answer.");
    EXPECT_EQ(s.view.status.back(), "The system files were not all sent.");
    EXPECT_FALSE(s.transfer.Busy() || s.view.HasStatus("File Transferred."));
    s.sock.Receive(fast::Resume(0));  // too late: nothing goes
    EXPECT_EQ(s.st.sendPhase, SendPhase::Idle);
}

}  // namespace
}  // namespace keyvane
