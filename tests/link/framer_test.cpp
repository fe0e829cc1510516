// The receiver's framing, driven with hand-made reads.
#include "link/Framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace keyvane {
namespace {

using Ctx = Framer::Context;
constexpr Ctx kIdle{};
constexpr Ctx kReceiving{true, false};
constexpr Ctx kSending{false, true};

// Feeds the reads one by one and collects every message, as the dispatcher does. The
// context may follow the messages: `ctxFor` sees each one before the next is taken.
// A file end held after the last read is let go, as the session does when nothing more
// comes in time.
std::vector<std::string> Frame(Framer& f, const std::vector<std::string>& reads, Ctx ctx = kIdle) {
    std::vector<std::string> out;
    for (const auto& r : reads) {
        f.Feed(r);
        while (auto m = f.Next(ctx)) out.push_back(*m);
    }
    if (f.HoldingEnd()) {
        f.ReleaseEnd();
        while (auto m = f.Next(ctx)) out.push_back(*m);
    }
    return out;
}

std::vector<std::string> Frame(const std::vector<std::string>& reads, Ctx ctx = kIdle) {
    Framer f;
    return Frame(f, reads, ctx);
}

// 1000 bytes of every value, with "|" in many places, as an enciphered block can hold.
std::string Cipherish(size_t n, unsigned seed = 7) {
    std::string s(n, '\0');
    unsigned x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>((x >> 16) & 0xff);
        if (i % 97 == 13) s[i] = '|';
    }
    return s;
}

std::string Block(unsigned seed = 7) {
    return "FB:" + Cipherish(1000, seed) + "|";
}
std::string BlockMessage(unsigned seed = 7) {
    return "FB:" + Cipherish(1000, seed);
}

using V = std::vector<std::string>;

TEST(Framer, OneReadIsOneMessage) {
    EXPECT_EQ(Frame({"IP:192.0.2.20"}), V{"IP:192.0.2.20"});
    EXPECT_EQ(Frame({"KY:\x01|x\xff"}), V{"KY:\x01|x\xff"});
    EXPECT_EQ(Frame({"CT:"}), V{"CT:"});
    EXPECT_EQ(Frame({"FL:report.doc"}), V{"FL:report.doc"});
    EXPECT_EQ(Frame({"OK:", "XX:"}), (V{"OK:", "XX:"}));
    // A chat line may hold anything, tags included, as long as it came in one read.
    EXPECT_EQ(Frame({"CT:a CT:b XX: OK"}), V{"CT:a CT:b XX: OK"});
}

TEST(Framer, UnknownAndLowerCaseTagsAreDropped) {
    EXPECT_EQ(Frame({"ok:", "xx:", "Ct:hello", "ZZ:", "hello", std::string("\0\1\2zz", 5)}), V{});
    // Dropping one read does not lose the next.
    EXPECT_EQ(Frame({"ok:", "OK:"}), V{"OK:"});
    Framer f;
    Frame(f, {"garbage without end"});
    EXPECT_EQ(f.Pending(), 0u);
}

TEST(Framer, OkAndHangUpAreThreeBytes) {
    // "OK:" with trailing text still counts; what follows is framed on its own.
    EXPECT_EQ(Frame({"OK:trailing"}), V{"OK:"});
    EXPECT_EQ(Frame({"OK:CT:hello"}), (V{"OK:", "CT:hello"}));
    EXPECT_EQ(Frame({"OK:OK:XX:"}), (V{"OK:", "OK:", "XX:"}));
    EXPECT_EQ(Frame({"XX:KY:\x05\x06"}), (V{"XX:", "KY:\x05\x06"}));
}

TEST(Framer, TagCutInTwoWaitsForItsRest) {
    EXPECT_EQ(Frame({"O", "K:"}), V{"OK:"});
    EXPECT_EQ(Frame({"C", "T", ":hi"}), V{"CT:hi"});
    EXPECT_EQ(Frame({"OK:X", "X:"}), (V{"OK:", "XX:"}));
    // Not the start of a tag: gone at once.
    Framer f;
    EXPECT_EQ(Frame(f, {"Q"}), V{});
    EXPECT_EQ(f.Pending(), 0u);
    // Held bytes that turn out to begin nothing do not swallow the next read.
    EXPECT_EQ(Frame({"CT:x", "K", "CT:next"}), (V{"CT:x", "CT:next"}));
}

TEST(Framer, AddressEndsWhereATagFollows) {
    EXPECT_EQ(Frame({"IP:10.0.0.2CT:hi"}), (V{"IP:10.0.0.2", "CT:hi"}));
    EXPECT_EQ(Frame({"IP:10.0.0.2XX:"}), (V{"IP:10.0.0.2", "XX:"}));
    // Text that is no dotted address stays whole.
    EXPECT_EQ(Frame({"IP:host.example"}), V{"IP:host.example"});
    EXPECT_EQ(Frame({"IP:"}), V{"IP:"});
}

TEST(Framer, MessageSplitOverReadsIsCutAtTheFirstRead) {
    // The first part is delivered; the rest has no tag and is dropped.
    EXPECT_EQ(Frame({"CT:hel", "lo"}), V{"CT:hel"});
    EXPECT_EQ(Frame({"CT:hel", "lo", "CT:next"}), (V{"CT:hel", "CT:next"}));
}

TEST(Framer, AcknowledgementAfterAChatLineIsSplitOnlyWhileSendingAFile) {
    EXPECT_EQ(Frame({"CT:\x10\x20OK:"}, kSending), (V{"CT:\x10\x20", "OK:"}));
    EXPECT_EQ(Frame({"KY:\x10\x20OK:"}, kSending), (V{"KY:\x10\x20", "OK:"}));
    // Otherwise the bytes are enciphered text that happens to end so.
    EXPECT_EQ(Frame({"CT:\x10\x20OK:"}), V{"CT:\x10\x20OK:"});
    // A file name is plain text and never split.
    EXPECT_EQ(Frame({"FL:xOK:"}, kSending), V{"FL:xOK:"});
}

TEST(Framer, CompleteBlockAtTheEndOfAReadIsItsOwnMessage) {
    // A chat line or the file announcement arriving just before a block.
    EXPECT_EQ(Frame({"CT:\x01\x02" + Block()}, kReceiving), (V{"CT:\x01\x02", BlockMessage()}));
    EXPECT_EQ(Frame({"KY:\x09" + Block()}, kReceiving), (V{"KY:\x09", BlockMessage()}));
    std::string end = "FB:RM:" + Cipherish(500);
    EXPECT_EQ(Frame({"CT:zz" + end + "|"}, kReceiving), (V{"CT:zz", end}));

    // Several, when a sender ran ahead.
    EXPECT_EQ(Frame({"CT:zz" + Block(1) + Block(2) + end + "|"}, kReceiving),
              (V{"CT:zz", BlockMessage(1), BlockMessage(2), end}));

    // "FL:" switches to file-receive mode; the block is then taken by its length.
    Framer f;
    f.Feed("FL:a.bin" + Block());
    EXPECT_EQ(*f.Next(kIdle), "FL:a.bin");
    EXPECT_EQ(*f.Next(kReceiving), BlockMessage());
    EXPECT_FALSE(f.Next(kReceiving));
}

TEST(Framer, BlockPositionWithoutABlockIsDroppedAndTheStreamGetsBackInStep) {
    // A short block: its 1004 bytes run into the chat line after it and end in no "|".
    Framer f;
    const std::string chat = "CT:" + std::string(600, 'c');
    EXPECT_EQ(Frame(f, {"FB:" + Cipherish(500) + "|", chat, Block(3)}, kReceiving),
              (V{chat, BlockMessage(3)}));
    EXPECT_EQ(f.BrokenBlocks(), 1u);
    // Reads that go on without a tag are dropped until one begins with a tag.
    EXPECT_EQ(Frame(f, {"FB:" + Cipherish(1100), Cipherish(50), "XX:"}, kReceiving), V{"XX:"});
    EXPECT_EQ(f.BrokenBlocks(), 2u);
}

TEST(Framer, BlockIsRebuiltWhereverTheReadsCutIt) {
    const std::string block = Block(11);
    for (size_t cut = 1; cut < block.size(); ++cut) {
        V got = Frame({block.substr(0, cut), block.substr(cut)}, kReceiving);
        ASSERT_EQ(got, V{BlockMessage(11)}) << "cut at " << cut;
    }
    V bytes;
    for (char c : block) bytes.emplace_back(1, c);
    EXPECT_EQ(Frame(bytes, kReceiving), V{BlockMessage(11)});
}

TEST(Framer, ReadEndingInsideABlockWithATerminatorByteIsNotItsEnd) {
    const std::string block = Block(3);
    size_t bar = block.find('|', 10);
    ASSERT_LT(bar, 1003u);
    EXPECT_EQ(Frame({block.substr(0, bar + 1), block.substr(bar + 1)}, kReceiving),
              V{BlockMessage(3)});
}

TEST(Framer, BlocksBackToBackAndMessagesBetweenThem) {
    EXPECT_EQ(Frame({Block(1) + Block(2)}, kReceiving), (V{BlockMessage(1), BlockMessage(2)}));
    EXPECT_EQ(Frame({Block(1) + "CT:\x7f|", Block(2)}, kReceiving),
              (V{BlockMessage(1), "CT:\x7f|", BlockMessage(2)}));
    EXPECT_EQ(Frame({Block(1), "KY:\x01\x02", Block(2), "XX:"}, kReceiving),
              (V{BlockMessage(1), "KY:\x01\x02", BlockMessage(2), "XX:"}));
    // A chat line and the next block split at any point of the block.
    EXPECT_EQ(
        Frame({Block(1) + "CT:hi", Block(2).substr(0, 400), Block(2).substr(400)}, kReceiving),
        (V{BlockMessage(1), "CT:hi", BlockMessage(2)}));
}

TEST(Framer, FileEnd) {
    EXPECT_EQ(Frame({"FB:RM:|"}, kReceiving), V{"FB:RM:"});
    std::string rest = Cipherish(999);
    EXPECT_EQ(Frame({"FB:RM:" + rest + "|"}, kReceiving), V{"FB:RM:" + rest});
    // Split: it ends at a "|" that ends a read, unless the next read goes on without a
    // tag (the cut came right after a "|" of the rest).
    EXPECT_EQ(Frame({"FB:RM:ab", "c|"}, kReceiving), V{"FB:RM:abc"});
    EXPECT_EQ(Frame({"FB:RM:a|b", "c|"}, kReceiving), V{"FB:RM:a|bc"});
    EXPECT_EQ(Frame({"FB:RM:a|", "bc|"}, kReceiving), V{"FB:RM:a|bc"});
    EXPECT_EQ(Frame({"FB:RM:a|", "b|", "|c|"}, kReceiving), V{"FB:RM:a|b||c"});
    EXPECT_EQ(Frame({"FB:RM:a|", "CT:hi"}, kReceiving), (V{"FB:RM:a", "CT:hi"}));
    // Until more comes, or the wait for it ends, a "|" that ends all held is not taken.
    Framer f;
    EXPECT_EQ(Frame(f, {}, kReceiving), V{});
    f.Feed("FB:RM:a|");
    EXPECT_FALSE(f.Next(kReceiving));
    EXPECT_TRUE(f.HoldingEnd());
    f.ReleaseEnd();
    EXPECT_EQ(f.Next(kReceiving), "FB:RM:a");
    EXPECT_FALSE(f.HoldingEnd());
    // The longest end cannot go on.
    const std::string longest = "FB:RM:" + rest + "|";
    f.Feed(longest);
    EXPECT_EQ(f.Next(kReceiving), longest.substr(0, longest.size() - 1));
    // Followed by a message in the same read.
    EXPECT_EQ(Frame({"FB:RM:abc|CT:hi"}, kReceiving), (V{"FB:RM:abc", "CT:hi"}));
    EXPECT_EQ(Frame({"FB:RM:abc|XX:"}, kReceiving), (V{"FB:RM:abc", "XX:"}));
}

TEST(Framer, FileEndWithoutTerminatorIsDroppedAtItsLongestLength) {
    Framer f;
    std::string junk(5000, 'x');
    EXPECT_EQ(Frame(f, {"FB:RM:" + junk}, kReceiving), V{});
    EXPECT_EQ(f.Pending(), 0u);
    // The stream goes on afterwards.
    EXPECT_EQ(Frame(f, {"CT:ok"}, kReceiving), V{"CT:ok"});
}

TEST(Framer, StrayBlockOutsideFileModeIsOneRead) {
    EXPECT_EQ(Frame({"FB:abc|"}), V{"FB:abc"});
    EXPECT_EQ(Frame({"FB:abc|", "CT:x"}), (V{"FB:abc", "CT:x"}));
}

TEST(Framer, HeldBytesStayBounded) {
    Framer f;
    // A 10 MB chat line in one read comes out cut at the largest message.
    std::string huge = "CT:" + std::string(10 << 20, 'a');
    auto out = Frame(f, {huge});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].size(), Framer::kMaxMessage);
    EXPECT_EQ(f.Pending(), 0u);

    // A block that never completes holds less than one block.
    Frame(f, {"FB:" + std::string(900, 'b')}, kReceiving);
    EXPECT_LT(f.Pending(), Framer::kBlockMessage);

    // Thousands of messages in one read all come out, and nothing is left.
    std::string many;
    for (int i = 0; i < 100000; ++i) many += "OK:";
    Framer g;
    EXPECT_EQ(Frame(g, {many}).size(), 100000u);
    EXPECT_EQ(g.Pending(), 0u);
}

TEST(Framer, ClearForgetsAHalfMessage) {
    Framer f;
    Frame(f, {Block().substr(0, 500)}, kReceiving);
    f.Clear();
    EXPECT_EQ(Frame(f, {"OK:"}, kReceiving), V{"OK:"});
}

}  // namespace
}  // namespace keyvane
