// Fast transfers over a slow link: two peers of this program, and a peer that knows
// only the wire's eight messages, talk through a proxy with a 50 ms round trip. Only
// correctness is checked here; bench/transfer_bench --proxy measures the speed.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "link/FastLink.h"
#include "support/delay_proxy.h"
#include "support/loop_peer.h"
#include "support/plain_peer.h"

namespace keyvane::test {
namespace {

constexpr int kOneWayMs = 25;
const std::string kFastOn = "Fast transfers on with this peer.";
const std::string kVerified = "File received (verified).";

void SwitchOff(LoopPeer& p) {
    WriteTextLines(p.sdk.AppFolder + fast::kSettingsFile, {"FastTransfers=off"});
}

// A host listening, a proxy in front of it, and a client connected through the proxy.
using Link = ProxiedPair<DelayProxy>;

// With `waitForFast`, until both said they agreed on the fast link.
void Connect(Link& l, bool waitForFast = true) {
    const int fastOn = l.host.view.Count(kFastOn);
    l.Connect();
    if (!waitForFast) return;
    ASSERT_TRUE(RunUntil([&] {
        return l.host.view.Count(kFastOn) == l.client.view.Count(kFastOn) &&
               l.host.view.Count(kFastOn) > fastOn;
    }));
}

// Sends `bytes` as `name` from one peer to the other and waits until both sides are done.
void SendAndWait(LoopPeer& from, LoopPeer& to, const std::string& name, const std::string& bytes) {
    const std::string path = from.dir.file(name);
    WriteFile(path, bytes);
    const int sent = from.view.Count("File Transferred.");
    from.transfer->SendFile(path, 0);
    ASSERT_TRUE(RunUntil([&] { return from.view.Count("File Transferred.") > sent && to.Idle(); }))
        << name;
}

TEST(FastTransfer, TwoPeersAgreeAndMoveFilesSeveralBlocksAtATime) {
    Link l(kOneWayMs);
    Connect(l);
    EXPECT_TRUE(l.host.session->Fast());
    EXPECT_TRUE(l.client.session->Fast());
    // Sizes around the block: none, the rest alone, whole blocks only, many blocks.
    int verified = 0;
    for (size_t size : {size_t{0}, size_t{999}, size_t{2000}, size_t{60500}}) {
        const std::string bytes = RandomBytes(size, static_cast<uint32_t>(size));
        const std::string name = "c" + std::to_string(size) + ".bin";
        SendAndWait(l.client, l.host, name, bytes);
        EXPECT_EQ(l.host.view.Count(kVerified), ++verified) << size;
        EXPECT_TRUE(SameBytes(ReadWholeFile(l.host.Recv(name)), bytes)) << size;
    }
    EXPECT_GT(l.client.transfer->PeakInFlight(), 1u);
    EXPECT_FALSE(l.host.view.HasStatus("File received."));

    // The other way, with chat lines both ways while the blocks stream.
    const std::string bytes = RandomBytes(80000, 3);
    WriteFile(l.host.dir.file("h.bin"), bytes);
    l.host.transfer->SendFile(l.host.dir.file("h.bin"), 0);
    l.host.view.chatText = "from the sender | FB:";
    l.host.session->SendChatLine();
    l.client.view.chatText = "OK: from the receiver";
    l.client.session->SendChatLine();
    ASSERT_TRUE(RunUntil([&] { return l.client.view.HasStatus(kVerified) && l.host.Idle(); }));
    EXPECT_TRUE(SameBytes(ReadWholeFile(l.client.Recv("h.bin")), bytes));
    // Each side's own echo and the other's line come in whichever order they met.
    auto sorted = [](std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    EXPECT_EQ(sorted(l.client.view.chat),
              std::vector<std::string>({"<OK: from the receiver>", "from the sender | FB:"}));
    EXPECT_EQ(sorted(l.host.view.chat),
              std::vector<std::string>({"<from the sender | FB:>", "OK: from the receiver"}));
    EXPECT_TRUE(l.client.boxes.empty() && l.host.boxes.empty());
}

TEST(FastTransfer, ASettingOffOnEitherSideKeepsThePlainProtocol) {
    for (bool hostOff : {true, false}) {
        Link l(kOneWayMs);
        SwitchOff(hostOff ? l.host : l.client);
        Connect(l, false);
        const std::string bytes = RandomBytes(3500, 5);
        SendAndWait(l.client, l.host, "plain.bin", bytes);
        EXPECT_TRUE(l.host.view.HasStatus("File received.")) << hostOff;
        EXPECT_TRUE(SameBytes(ReadWholeFile(l.host.Recv("plain.bin")), bytes));
        EXPECT_FALSE(l.host.session->Fast() || l.client.session->Fast());
        EXPECT_FALSE(l.host.view.HasStatus(kFastOn) || l.client.view.HasStatus(kFastOn));
        // A host that is off never asks.
        const std::string wire = l.proxy->Log(DelayProxy::kFromTarget);
        EXPECT_EQ(wire.find("KV?") != std::string::npos, !hostOff) << wire.substr(0, 40);
    }
}

TEST(FastTransfer, APlainClientSeesTheLoneProbeAndOtherwiseTheEightMessages) {
    InFolder here;              // for the key the plain peer sends
    LoopPeer host(true, true);  // the real pause after "FL:" keeps it in a read of its own
    host.st.PortStr = std::to_string(test::FreePort());
    host.session->WaitForConnect();
    DelayProxy proxy(host.Port(), kOneWayMs);
    PlainPeer plain;
    ASSERT_TRUE(plain.Connect(proxy.Port()));
    ASSERT_TRUE(RunUntil([&] { return host.view.HasStatus("Connected."); }));
    // The host's first chat line waits behind the probe, so the probe came alone.
    host.view.chatText = "hello plain";
    host.session->SendChatLine();
    ASSERT_TRUE(RunUntil([&] { return !plain.chats.empty(); }));
    ASSERT_EQ(plain.oddReads.size(), 1u);
    EXPECT_EQ(plain.oddReads[0].size(), 84u);  // the version that offers the secure channel
    EXPECT_EQ(plain.oddReads[0].substr(0, 4), "KV?2");
    EXPECT_EQ(plain.chats, std::vector<std::string>{"hello plain"});

    // Everything else as before, both ways.
    // A person's pace: each message in a read of its own.
    plain.SendKey("123456789012345678");
    ASSERT_TRUE(RunUntil([&] { return host.view.HasStatus("Key=123456789012345678"); }));
    plain.SendChat("hi back");
    ASSERT_TRUE(RunUntil([&] { return host.view.chat.size() == 2; }));
    const std::string in = RandomBytes(4500, 8), out = RandomBytes(2000, 9);
    WriteFile(host.dir.file("out.bin"), out);
    host.transfer->SendFile(host.dir.file("out.bin"), 0);
    ASSERT_TRUE(RunUntil([&] { return plain.files.count("out.bin") && host.Idle(); }));
    EXPECT_TRUE(SameBytes(plain.files["out.bin"], out));
    plain.SendFile("in.bin", in);
    ASSERT_TRUE(
        RunUntil([&] { return host.view.HasStatus("File received.") && !plain.SendingFile(); }));
    EXPECT_TRUE(SameBytes(ReadWholeFile(host.Recv("in.bin")), in));
    EXPECT_TRUE(host.view.HasStatus("Key=123456789012345678"));
    EXPECT_EQ(plain.oddReads.size(), 1u);
    EXPECT_FALSE(host.session->Fast());
    EXPECT_FALSE(host.view.HasStatus(kVerified));
}

TEST(FastTransfer, APlainHostSeesOnlyTheEightMessages) {
    PlainPeer plain;
    const int port = plain.Listen();
    DelayProxy proxy(port, kOneWayMs);
    LoopPeer client(true, true);
    client.ConnectTo(proxy.Port());
    ASSERT_TRUE(RunUntil([&] { return client.st.IsConnected; }));
    ASSERT_TRUE(RunUntil([&] { return plain.Keyed(); }));
    client.view.chatText = "from the client";
    client.session->SendChatLine();
    ASSERT_TRUE(RunUntil([&] { return !plain.chats.empty(); }));
    const std::string out = RandomBytes(3001, 10), in = RandomBytes(1000, 11);
    WriteFile(client.dir.file("out.bin"), out);
    client.transfer->SendFile(client.dir.file("out.bin"), 0);
    ASSERT_TRUE(RunUntil([&] { return plain.files.count("out.bin") && client.Idle(); }));
    plain.SendFile("in.bin", in);
    ASSERT_TRUE(RunUntil([&] { return client.view.HasStatus("File received."); }));
    EXPECT_TRUE(SameBytes(plain.files["out.bin"], out));
    EXPECT_TRUE(SameBytes(ReadWholeFile(client.Recv("in.bin")), in));
    EXPECT_EQ(plain.chats, std::vector<std::string>{"from the client"});
    EXPECT_TRUE(plain.oddReads.empty());
    // The client knew, after waiting for an offer that never came.
    EXPECT_EQ(client.session->Security().state, LinkSecurity::State::Plain);
    EXPECT_FALSE(client.session->Secure());
}

// A cut in the middle of a window ends both sides without a success; sent again, the
// file goes on after the blocks that arrived and is checked whole.
TEST(FastTransfer, ACutMidWindowEndsBothSidesAndTheFileResumes) {
    Link l(kOneWayMs);
    Connect(l);
    const std::string bytes = RandomBytes(300000, 12);
    const std::string path = l.client.dir.file("big.bin");
    WriteFile(path, bytes);
    l.proxy->CutAt(DelayProxy::kToTarget, 200000);
    l.client.transfer->SendFile(path, 0);
    ASSERT_TRUE(RunUntil([&] {
        return l.client.view.HasStatus("The file " + path + " was not sent completely.") &&
               l.host.view.HasStatus("The file big.bin was not received completely.");
    }));
    EXPECT_FALSE(l.client.view.HasStatus("File Transferred."));
    EXPECT_FALSE(l.host.view.HasStatus("File received.") || l.host.view.HasStatus(kVerified));
    EXPECT_TRUE(l.client.Idle() && l.host.Idle());
    EXPECT_EQ(l.client.view.Last(ViewEvent::Kind::FileNotSent).event.path, path);
    EXPECT_EQ(l.host.view.Last(ViewEvent::Kind::FileNotReceived).event.text, "big.bin");
    EXPECT_EQ(l.client.view.Events(ViewEvent::Kind::FileSent), 0);

    Connect(l);
    const int sent = l.client.view.Count("File Transferred.");
    l.client.transfer->SendFile(path, 0);
    ASSERT_TRUE(RunUntil([&] {
        return l.client.view.Count("File Transferred.") > sent && l.host.Idle();
    })) << ::testing::PrintToString(l.host.view.status)
        << ::testing::PrintToString(l.client.view.status);
    EXPECT_TRUE(l.host.view.HasStatus(kVerified));
    EXPECT_TRUE(SameBytes(ReadWholeFile(l.host.Recv("big.bin")), bytes));
    EXPECT_EQ(l.host.view.Last(ViewEvent::Kind::FileReceived).event.verdict,
              ViewEvent::Verdict::Verified);
    EXPECT_EQ(l.host.view.Last(ViewEvent::Kind::FileReceived).event.bytes, 300000);
    // It went on after what had arrived: some whole blocks, short of the cut.
    bool resumed = false;
    for (const auto& line : l.host.view.status)
        resumed = resumed || line.rfind("Resuming big.bin after ", 0) == 0;
    EXPECT_TRUE(resumed) << ::testing::PrintToString(l.host.view.status);
}

TEST(FastTransfer, AHangUpMidWindowEndsTheTransferOnBothSides) {
    for (bool senderHangsUp : {true, false}) {
        Link l(kOneWayMs);
        Connect(l);
        const std::string bytes = RandomBytes(400000, 13);
        const std::string path = l.client.dir.file("big.bin");
        WriteFile(path, bytes);
        l.client.transfer->SendFile(path, 0);
        ASSERT_TRUE(RunUntil([&] { return l.proxy->Delivered(DelayProxy::kToTarget) > 50000; }));
        (senderHangsUp ? l.client : l.host).session->Exit();
        // The client ends by its own Exit, or on the host's hang-up; a host that closes
        // with blocks still arriving may reset the connection before its "XX:" is read,
        // and then the client sees the connection lost.
        ASSERT_TRUE(RunUntil([&] {
            return (l.client.ended > 0 || l.client.view.HasStatus("Connection lost.")) &&
                   !l.host.st.IsConnected;
        })) << senderHangsUp;
        if (senderHangsUp) {
            EXPECT_TRUE(l.host.view.HasStatus("The file big.bin was not received completely."));
        } else {
            EXPECT_TRUE(l.client.view.HasStatus("The file " + path + " was not sent completely."));
        }
        EXPECT_FALSE(l.client.view.HasStatus("File Transferred.")) << senderHangsUp;
        EXPECT_FALSE(l.host.view.HasStatus("File received.") || l.host.view.HasStatus(kVerified))
            << senderHangsUp;
    }
}

TEST(FastTransfer, ABlockChangedOnTheWayIsCaughtByTheHash) {
    Link l(kOneWayMs);
    // The fast link alone, without the secure channel that would end the connection.
    for (LoopPeer* p : {&l.host, &l.client})
        WriteTextLines(p->sdk.AppFolder + fast::kSettingsFile, {"SecureChannel=off"});
    Connect(l);
    const std::string name = "x.bin";
    // The client's stream so far, then the announcement; the third block's middle.
    const uint64_t before = l.proxy->Delivered(DelayProxy::kToTarget);
    const uint64_t announce = fast::Envelope("FL:" + name).size() + fast::FileHead(0, 0).size();
    l.proxy->FlipAt(DelayProxy::kToTarget, before + announce + 2 * 1004 + 3 + 500);
    const std::string bytes = RandomBytes(5500, 14);
    SendAndWait(l.client, l.host, name, bytes);
    EXPECT_TRUE(l.host.view.HasStatus("File damaged: x.bin differs from the file that was sent."));
    EXPECT_EQ(l.host.view.Last(ViewEvent::Kind::FileReceived).event.verdict,
              ViewEvent::Verdict::Damaged);
    EXPECT_FALSE(l.host.view.HasStatus(kVerified) || l.host.view.HasStatus("File received."));
    EXPECT_FALSE(l.host.session->Secure());
    EXPECT_FALSE(SameBytes(ReadWholeFile(l.host.Recv(name)), bytes));
}

}  // namespace
}  // namespace keyvane::test
