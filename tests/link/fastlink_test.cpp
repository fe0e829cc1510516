// The negotiated fast link's pieces without a socket: how its messages are framed next
// to the eight plain ones, the send window, and the setting.
#include "link/FastLink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "link/Framer.h"
#include "platform/files.h"
#include "support/tempdir.h"

namespace keyvane {
namespace {

using V = std::vector<std::string>;
const std::string kNonce = "0123456789abcdef";

V Frame(const V& reads, const Framer::Context& ctx) {
    Framer f;
    V out;
    for (const auto& r : reads) {
        f.Feed(r);
        while (auto m = f.Next(ctx)) out.push_back(*m);
    }
    return out;
}

std::string Enciphered(size_t n, char fill) {
    std::string s(n, fill);
    for (size_t i = 0; i < n; i += 7) s[i] = '|';
    return s;
}

TEST(FastLink, ProbeAndAnswerAreMessagesOnlyWhereAwaited) {
    const std::string probe = fast::Probe(kNonce), answer = fast::AnswerTo(probe);
    EXPECT_EQ(probe, "KV?1" + kNonce);
    EXPECT_EQ(answer, "KV!1" + kNonce);
    Framer::Context client;
    client.probeWelcome = true;
    // Alone, glued to the next message, or cut in two: the probe is one message.
    EXPECT_EQ(Frame({probe}, client), V{probe});
    EXPECT_EQ(Frame({probe + "CT:hi"}, client), (V{probe, "CT:hi"}));
    EXPECT_EQ(Frame({"K", "V?1", kNonce.substr(0, 5), kNonce.substr(5)}, client), V{probe});
    // A setting that is off, a malformed probe: framed as today, the read is dropped.
    EXPECT_EQ(Frame({probe + "CT:hi"}, Framer::Context{}), V{});
    EXPECT_EQ(Frame({"KV?3" + kNonce, "CT:hi"}, client), V{"CT:hi"});
    // The version that offers the secure channel carries a commitment, and only a client
    // that answered it takes the reveal.
    const std::string probe2 = "KV?2" + kNonce + std::string(64, 'a');
    const std::string reveal = "KVK" + std::string(64, 'b');
    EXPECT_EQ(Frame({probe2.substr(0, 30), probe2.substr(30) + "CT:hi"}, client),
              (V{probe2, "CT:hi"}));
    EXPECT_EQ(Frame({"KV?2" + kNonce + std::string(64, 'X')}, client), V{});
    Framer::Context answered;
    answered.awaitReveal = true;
    EXPECT_EQ(Frame({reveal + "KY:1"}, answered), (V{reveal, "KY:1"}));
    EXPECT_EQ(Frame({reveal}, client), V{});

    Framer::Context host;
    host.answer = answer;
    EXPECT_EQ(Frame({answer}, host), V{answer});
    // Behind a chat line that runs to the end of its read, and before a key.
    EXPECT_EQ(Frame({"CT:abc" + answer + "KY:xyz"}, host), (V{"CT:abc", answer, "KY:xyz"}));
    // Behind the rest of a message cut in two (a read with no tag of its own).
    EXPECT_EQ(Frame({"zz" + answer}, host), V{answer});
    // Another nonce is no answer.
    EXPECT_EQ(Frame({"KV!1fedcba9876543210", "OK:"}, host), V{"OK:"});
    EXPECT_EQ(Frame({"CT:abc" + answer}, Framer::Context{}), V{"CT:abc" + answer});
}

TEST(FastLink, EnvelopesAndFileMessagesFrameExactlyOnAFastLink) {
    Framer::Context ctx;
    ctx.fast = true;
    const std::string chat = "CT:" + Enciphered(40, 'c');
    const std::string head = fast::FileHead(2500, 77),
                      hash = fast::HashMessage(std::string(64, 'e'));
    // Glued and cut anywhere, each comes out whole; an envelope gives its message.
    const std::string wire = fast::Envelope(chat) + "OK:" + fast::Envelope("FL:a|b.txt") + head +
                             fast::Resume(3) + hash + "XX:";
    const V want{chat, "OK:", "FL:a|b.txt", head, fast::Resume(3), hash, "XX:"};
    EXPECT_EQ(Frame({wire}, ctx), want);
    V bytes;
    for (char c : wire) bytes.emplace_back(1, c);
    EXPECT_EQ(Frame(bytes, ctx), want);
    ASSERT_TRUE(fast::ParseFileHead(head));
    EXPECT_EQ(fast::ParseFileHead(head)->length, 2500u);
    EXPECT_EQ(fast::ParseFileHead(head)->stamp, 77u);
    EXPECT_FALSE(fast::ParseFileHead("KVF" + std::string(32, 'x')));

    // Only chat, keys and file names travel in an envelope; a bad length is no envelope.
    EXPECT_EQ(Frame({fast::Envelope("XX:") + "OK:"}, ctx), V{"OK:"});
    EXPECT_EQ(Frame({"KVMzzzzzzCT:x", "OK:"}, ctx), V{"OK:"});
    // Off a fast link they are unknown tags, dropped with their read.
    EXPECT_EQ(Frame({fast::Envelope(chat), "OK:"}, Framer::Context{}), V{"OK:"});
}

TEST(FastLink, AFastReceiveKnowsWhereItsEndStops) {
    Framer::Context ctx;
    ctx.fast = ctx.fileReceive = true;
    // The rest holds "|" everywhere, and the message after it has a tag of its own:
    // only the known length tells where the end stops.
    const std::string rest = Enciphered(500, 'r');
    ctx.endLength = 6 + rest.size();
    const std::string block = "FB:" + Enciphered(1000, 'b');
    EXPECT_EQ(Frame({block + "|" + "FB:RM:" + rest.substr(0, 200),
                     rest.substr(200) + "|" + fast::Envelope("CT:x")},
                    ctx),
              (V{block, "FB:RM:" + rest, "CT:x"}));
    ctx.endLength = 6;
    EXPECT_EQ(Frame({"FB:RM:|XX:"}, ctx), (V{"FB:RM:", "XX:"}));
}

TEST(FastLink, WindowDoublesEachRoundTripToItsBoundEvenAsTheRoundTripClimbs) {
    fast::SendWindow w;
    EXPECT_EQ(w.Limit(), fast::SendWindow::kMinWindow);
    EXPECT_FALSE(w.Acked(0));
    // Through a deep queue every round trip is longer than the one before; the window
    // still doubles each round trip until it covers the link, then stays.
    int64_t now = 0, rtt = 50;
    for (int round = 0; round < 12; ++round, rtt += 40) {
        const size_t before = w.Limit();
        while (w.CanSend()) w.Sent(now);
        EXPECT_EQ(w.InFlight(), before);
        now += rtt;
        while (w.InFlight()) EXPECT_TRUE(w.Acked(now));
        EXPECT_EQ(w.Limit(), std::min(2 * before, fast::SendWindow::kMaxWindow)) << round;
    }
    EXPECT_EQ(w.Limit(), fast::SendWindow::kMaxWindow);
    EXPECT_EQ(w.MinRoundTripMs(), 50);
}

TEST(FastLink, SettingIsOnUnlessALineTurnsItOff) {
    test::TempDir dir;
    EXPECT_TRUE(fast::FastTransfersOn(dir.path()));  // no file
    const std::string file = dir.file(fast::kSettingsFile);
    for (const char* line : {"FastTransfers=off", " fasttransfers = OFF ", "FastTransfers=0",
                             "FastTransfers=no", "FastTransfers=false"}) {
        WriteTextLines(file, {"Other=1", line});
        EXPECT_FALSE(fast::FastTransfersOn(dir.path())) << line;
    }
    for (const char* line : {"FastTransfers=on", "FastTransfers=1", "FastTransfersoff", ""}) {
        WriteTextLines(file, {line});
        EXPECT_TRUE(fast::FastTransfersOn(dir.path())) << line;
    }
}

}  // namespace
}  // namespace keyvane
