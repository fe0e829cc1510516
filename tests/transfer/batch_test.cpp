// On a fast link what one read lets go leaves together: many blocks, or many "OK:"s, in
// one write of whole messages. The plain link keeps one message to a write.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/FastLink.h"
#include "platform/files.h"
#include "support/fakes.h"
#include "transfer/FileTransfer.h"

namespace keyvane {
namespace {

using test::FakePeer;

// A client whose link the host's probe made fast.
const FakePeer::Options kFastClient{
    .settings = {}, .transfer = true, .start = FakePeer::Start::FastClient};

// The messages of a sender's write, when it holds nothing but whole ones: blocks, the
// hash and the closing message with `rest` bytes. Nothing when a message is cut.
std::optional<std::vector<std::string>> Messages(std::string_view write, size_t rest) {
    std::vector<std::string> tags;
    while (!write.empty()) {
        const std::string_view tag =
            write.substr(0, 6) == "FB:RM:" ? write.substr(0, 6) : write.substr(0, 3);
        size_t length = 0;
        if (tag == "FB:RM:")
            length = 6 + rest + 1;
        else if (tag == "FB:")
            length = Framer::kBlockMessage;
        else if (tag == fast::kHash)
            length = 3 + 64;
        if (length == 0 || length > write.size()) return std::nullopt;
        if (tag[0] == 'F' && write[length - 1] != '|') return std::nullopt;
        tags.emplace_back(tag);
        write.remove_prefix(length);
    }
    return tags;
}

TEST(FastBatch, TheBlocksOneReadLetsGoLeaveInFewWritesOfWholeMessages) {
    FakePeer s(kFastClient);
    ASSERT_TRUE(s.session->Fast());
    constexpr long kBlocks = 3000;
    const std::string file = s.dir.file("big.bin");
    test::WriteRandomFile(file, kBlocks * 1000 + 10);
    s.transfer->SendFile(file, 0);
    size_t from = s.sock.sent.size();
    s.sock.Receive(fast::Resume(0));
    // The first window, in as few writes of whole messages as a record's size allows.
    constexpr size_t kPerWrite = secure::kMaxRecordText / Framer::kBlockMessage;
    const size_t firstWrites = s.sock.sent.size() - from;
    EXPECT_EQ(firstWrites, (fast::SendWindow::kMinWindow + kPerWrite - 1) / kPerWrite);
    long blocks = 0, acked = 0, ends = 0, hashes = 0;
    for (size_t i = from; i < s.sock.sent.size(); ++i) {
        const auto first = Messages(s.sock.sent[i], 10);
        ASSERT_TRUE(first);
        blocks += static_cast<long>(first->size());
    }
    EXPECT_EQ(blocks, static_cast<long>(fast::SendWindow::kMinWindow));
    size_t writes = firstWrites;
    for (int turn = 0; turn < 1000 && s.transfer->State().FileInProgress(); ++turn) {
        from = s.sock.sent.size();
        s.sock.Receive([&] {
            std::string oks;
            for (; acked < blocks; ++acked) oks += "OK:";
            return oks;
        }());
        for (size_t i = from; i < s.sock.sent.size(); ++i, ++writes) {
            const std::string& w = s.sock.sent[i];
            EXPECT_LE(w.size(), secure::kMaxRecordText);
            const auto messages = Messages(w, 10);
            ASSERT_TRUE(messages) << "write " << i << " cuts a message";
            for (const std::string& tag : *messages) {
                if (tag == "FB:RM:") ++ends;
                if (tag == fast::kHash) ++hashes;
                if (tag.rfind("FB:", 0) == 0) ++blocks;
            }
        }
    }
    EXPECT_EQ(s.view.status.back(), "File Transferred.");
    EXPECT_EQ(blocks, kBlocks + 1);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(hashes, 1);
    EXPECT_LT(writes, static_cast<size_t>(kBlocks / 20));
}

TEST(FastBatch, AReadOfManyBlocksIsAnsweredInOneWrite) {
    FakePeer r(kFastClient);
    const std::string bytes = test::RandomBytes(20 * 1000 + 5, 3);
    r.sock.Receive(fast::Envelope("FL:batch.bin"));
    r.sock.Receive(fast::FileHead(bytes.size(), 7));
    ASSERT_EQ(r.sock.sent.back(), fast::Resume(0));
    std::string read;
    for (size_t b = 0; b < 20; ++b) read += r.Block(bytes.substr(b * 1000, 1000));
    const size_t from = r.sock.sent.size();
    r.sock.Receive(read);
    ASSERT_EQ(r.sock.sent.size(), from + 1);
    std::string oks;
    for (int i = 0; i < 20; ++i) oks += "OK:";
    EXPECT_EQ(r.sock.sent.back(), oks);
}

// A box the link opens lets events through and may stay open long: what waits goes
// first.
TEST(FastBatch, WhatWaitsGoesBeforeABoxOpens) {
    FakePeer h(
        {.settings = {"SecureChannel=off"}, .transfer = true, .start = FakePeer::Start::Host});
    h.sock.Receive(fast::AnswerTo(h.sock.sent.back()));
    ASSERT_TRUE(h.session->Fast());
    h.sock.Receive(fast::Envelope("FL:box.bin"));
    h.sock.Receive(fast::FileHead(2000, 7));
    size_t sentWhenShown = 0;
    h.plat.p.MsgBox = [&, box = h.plat.p.MsgBox](const std::string& text) {
        sentWhenShown = h.sock.sent.size();
        box(text);
    };
    const size_t from = h.sock.sent.size();
    // The block is acknowledged; the hang-up behind it in the same read shows a box.
    h.sock.Receive(h.Block(std::string(1000, 'x')) + "XX:");
    ASSERT_EQ(h.plat.boxes.size(), 1u);
    EXPECT_EQ(sentWhenShown, from + 1);
    EXPECT_EQ(h.sock.sent[from], "OK:");
}

}  // namespace
}  // namespace keyvane
