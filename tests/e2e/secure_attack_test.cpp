// Attacks on the secure channel between two peers of this program over 127.0.0.1: a
// proxy reads what passes, changes a byte, drops, repeats or swaps records, cuts the
// stream, sends lengths no sealer makes, drops the host's offer, or runs a handshake of
// its own with each side.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "link/FastLink.h"
#include "secure/Secure.h"
#include "support/loop_peer.h"
#include "support/plain_peer.h"
#include "support/record_proxy.h"

namespace keyvane::test {
namespace {

using State = LinkSecurity::State;

const std::string kIntegrity =
    "The connection was ended: a message from the other side failed its integrity check (it "
    "was changed or damaged on the way).";
const std::string kLost = "Connection lost.";
const std::string kVerified = "File received (verified).";

bool Settled(LoopPeer& p) {
    if (p.session->Connecting()) return false;
    return !p.st.IsConnected ||
           (p.session->SecuritySettled() && p.session->Security().state != State::None);
}

// The window was told the link is plain.
bool ShownPlain(const LoopPeer& p) {
    for (const LinkSecurity& s : p.view.security)
        if (s.state == State::Plain) return true;
    return false;
}

bool Received(const LoopPeer& p) {
    return p.view.HasStatus("File received.") || p.view.HasStatus(kVerified);
}

// A host, a proxy in front of it and a client connected through it.
template <class Proxy>
using Link = ProxiedPair<Proxy>;

// Connects the two, and waits until both have settled.
template <class Proxy>
void Connect(Link<Proxy>& l) {
    l.Connect();
    ASSERT_TRUE(RunUntil([&] { return Settled(l.host) && Settled(l.client); }));
}

void SendFile(LoopPeer& from, const std::string& name, size_t size) {
    WriteFile(from.dir.file(name), RandomBytes(size, 21));
    from.transfer->SendFile(from.dir.file(name), 0);
}

std::string Flipped(std::string record) {
    record[3 + (record.size() - 3) / 2] ^= 0x01;
    return record;
}

TEST(SecureAttack, AListenerSeesNoTextKeyFileNameOrFileBytesAndBothShowOneCode) {
    test::InFolder here;  // for the received key
    Link<RecordProxy> l;
    Connect(l);
    ASSERT_TRUE(l.host.session->Secure() && l.client.session->Secure());
    // A proxy that only passes bytes on leaves the two codes alike (unlike the man in
    // the middle below).
    const LinkSecurity h = l.host.session->Security();
    EXPECT_EQ(l.client.session->Security().code, h.code);
    EXPECT_TRUE(std::regex_match(h.code, std::regex("[0-9]{3} [0-9]{3}"))) << h.code;
    EXPECT_FALSE(h.verified || l.client.session->Security().verified);
    for (const LoopPeer* p : {&l.host, &l.client}) {
        EXPECT_TRUE(p->view.HasStatus(Session::kCompareLine + h.code));
        ASSERT_FALSE(p->view.security.empty());
        EXPECT_EQ(p->view.security.back().code, h.code);
    }
    // Each side holds the other's identity.
    EXPECT_EQ(l.host.session->PeerIdentity().size(), 32u);
    EXPECT_NE(l.host.session->PeerIdentity(), l.client.session->PeerIdentity());

    const std::string line = "meet me at the north gate at noon", digits = "31415926535897932";
    const std::string name = "quarterly-figures.xls";
    const std::string bytes = RandomBytes(30000, 5);
    l.client.view.chatText = line;
    l.client.session->SendChatLine();
    l.host.view.key = digits;
    l.host.session->SendKey();
    WriteFile(l.client.dir.file(name), bytes);
    l.client.transfer->SendFile(l.client.dir.file(name), 0);
    ASSERT_TRUE(RunUntil([&] {
        return l.host.view.HasStatus(kVerified) && l.client.view.HasStatus("Key=" + digits) &&
               l.client.Idle();
    }));
    ASSERT_EQ(l.host.view.chat, std::vector<std::string>{line});
    EXPECT_TRUE(SameBytes(ReadWholeFile(l.host.Recv(name)), bytes));

    // Neither the text nor what the fast link would carry in its place: the messages as
    // the key files encipher them, behind their tags.
    std::string ct = line, ky = digits, block = bytes.substr(0, 1000);
    l.client.sdk.EncryptString(ct);
    l.host.sdk.EncryptString(ky);
    l.client.sdk.EncryptString(block);
    const std::string wire =
        l.proxy->Log(ProxyLink::kToHost) + "\n" + l.proxy->Log(ProxyLink::kToClient);
    for (const std::string& secret :
         {line, digits, name, bytes.substr(10000, 32), "CT:" + ct, "KY:" + ky, block})
        EXPECT_EQ(wire.find(secret), std::string::npos) << secret.substr(0, 40);
    EXPECT_TRUE(l.host.boxes.empty() && l.client.boxes.empty());
}

// In either direction, mid-file: the side that gets the record ends the connection at
// once, and neither side reports the file done. The file is longer than the sender's
// window, so it cannot all be sent before the changed acknowledgement arrives.
TEST(SecureAttack, AByteChangedInARecordEndsTheConnectionWithoutAFileReported) {
    for (auto d : {ProxyLink::kToHost, ProxyLink::kToClient}) {
        Link<RecordProxy> l;
        // The client's fourth record is a block; the host's third an acknowledgement.
        const size_t target = d == ProxyLink::kToHost ? 3 : 2;
        l.proxy->onRecord = [&](ProxyLink::Direction dir, size_t i, const std::string& r) {
            return dir == d && i == target ? Flipped(r) : r;
        };
        Connect(l);
        SendFile(l.client, "big.bin", 3000000);
        ASSERT_TRUE(RunUntil([&] { return l.BothGone(); })) << d;
        EXPECT_GT(l.proxy->Records(d), target);
        LoopPeer& checker = d == ProxyLink::kToHost ? l.host : l.client;
        LoopPeer& other = d == ProxyLink::kToHost ? l.client : l.host;
        EXPECT_TRUE(checker.view.HasStatus(kIntegrity)) << d;
        EXPECT_FALSE(other.view.HasStatus(kIntegrity)) << d;
        EXPECT_TRUE(other.view.HasStatus(kLost)) << d;
        ASSERT_TRUE(RunUntil([&] { return l.client.Idle() && l.host.Idle(); }));
        EXPECT_FALSE(Received(l.host)) << d;
        EXPECT_FALSE(l.client.view.HasStatus("File Transferred.")) << d;
        EXPECT_TRUE(l.host.view.HasStatus("The file big.bin was not received completely.")) << d;
        EXPECT_FALSE(l.host.session->Secure() || l.client.session->Secure());
    }
}

// Each record carries its place in the stream: one taken out, given twice or moved is
// caught where it lands, and nothing from there on is used.
TEST(SecureAttack, ADroppedRepeatedOrSwappedRecordEndsTheConnection) {
    enum Mode { kDrop, kRepeat, kSwap };
    for (Mode mode : {kDrop, kRepeat, kSwap}) {
        Link<RecordProxy> l;
        std::string held;
        l.proxy->onRecord = [&](ProxyLink::Direction d, size_t i, const std::string& r) {
            if (d != ProxyLink::kToHost || i < 2) return r;  // the hello, the first line
            if (mode == kDrop && i == 2) return std::string();
            if (mode == kRepeat && i == 2) return r + r;
            if (mode == kSwap && i == 2) {
                held = r;
                return std::string();
            }
            return mode == kSwap && i == 3 ? r + held : r;
        };
        Connect(l);
        for (const char* line : {"one", "two", "three", "four"}) {
            l.client.view.chatText = line;
            l.client.session->SendChatLine();
        }
        ASSERT_TRUE(RunUntil([&] { return l.BothGone(); })) << mode;
        EXPECT_TRUE(l.host.view.HasStatus(kIntegrity)) << mode;
        EXPECT_TRUE(l.client.view.HasStatus(kLost)) << mode;
        // The lines before the damage arrived, once; none after it.
        const std::vector<std::string> before = mode == kRepeat
                                                    ? std::vector<std::string>{"one", "two"}
                                                    : std::vector<std::string>{"one"};
        EXPECT_EQ(l.host.view.chat, before) << mode;
    }
}

// Only the record with the hang-up ends a stream: a stream that just stops (closed in
// order, reset, or closed inside a record) is a lost connection, and a file in flight is
// not received.
TEST(SecureAttack, AStreamThatStopsWithoutItsEndIsALostConnection) {
    enum Stop { kHangUp, kReset, kMidRecord };
    for (Stop stop : {kHangUp, kReset, kMidRecord}) {
        Link<RecordProxy> l;
        if (stop == kReset)
            l.proxy->CutAfter(ProxyLink::kToHost, 5);
        else
            l.proxy->HangUpAfter(ProxyLink::kToHost, 5);
        if (stop == kMidRecord) {
            l.proxy->onRecord = [](ProxyLink::Direction d, size_t i, const std::string& r) {
                return d == ProxyLink::kToHost && i == 5 ? r.substr(0, r.size() / 2) : r;
            };
        }
        Connect(l);
        SendFile(l.client, "cut.bin", 300000);
        ASSERT_TRUE(RunUntil([&] { return l.BothGone(); })) << stop;
        EXPECT_TRUE(l.host.view.HasStatus(kLost) && l.client.view.HasStatus(kLost)) << stop;
        EXPECT_FALSE(l.host.view.HasStatus(kIntegrity)) << stop;
        ASSERT_TRUE(RunUntil([&] { return l.client.Idle() && l.host.Idle(); }));
        EXPECT_FALSE(Received(l.host)) << stop;
        EXPECT_FALSE(l.client.view.HasStatus("File Transferred.")) << stop;
        EXPECT_TRUE(l.host.boxes.empty()) << stop;
    }

    // The orderly end: the hang-up inside the last record, taken as the person's.
    Link<RecordProxy> l;
    Connect(l);
    l.client.session->Exit();
    ASSERT_TRUE(RunUntil([&] { return !l.host.st.IsConnected; }));
    EXPECT_EQ(l.host.boxes,
              std::vector<std::string>{"Your connection was terminated manually by the person.  "});
    EXPECT_FALSE(l.host.view.HasStatus(kLost) || l.host.view.HasStatus(kIntegrity));
}

// Records of an earlier connection, replayed into a later one between the same two,
// are refused: each connection has keys of its own.
TEST(SecureAttack, RecordsOfAnEarlierConnectionAreRefused) {
    std::string recorded;
    {
        Link<RecordProxy> l;
        l.proxy->onRecord = [&](ProxyLink::Direction d, size_t i, const std::string& r) {
            if (d == ProxyLink::kToHost && i >= 1) recorded += r;
            return r;
        };
        Connect(l);
        l.client.view.chatText = "said once";
        l.client.session->SendChatLine();
        ASSERT_TRUE(RunUntil([&] { return l.host.view.chat.size() == 1; }));
    }
    ASSERT_FALSE(recorded.empty());
    Link<RecordProxy> l;
    Connect(l);
    ASSERT_TRUE(l.host.session->Secure());
    l.proxy->Write(ProxyLink::kToHost, recorded);
    ASSERT_TRUE(RunUntil([&] { return !l.host.st.IsConnected; }));
    EXPECT_TRUE(l.host.view.HasStatus(kIntegrity));
    EXPECT_TRUE(l.host.view.chat.empty());
}

// Lengths no sealer makes: too short to hold the check, one past the longest record, the
// largest the field holds. The connection ends on the length, without waiting for (or
// keeping room for) the bytes it announces.
TEST(SecureAttack, ARecordLengthNoSealerMakesEndsTheConnectionAtOnce) {
    for (size_t length :
         {size_t{0}, size_t{16}, secure::kMaxRecordText + 17 + 1, size_t{0xFFFFFF}}) {
        Link<RecordProxy> l;
        Connect(l);
        ASSERT_TRUE(l.host.session->Secure());
        std::string bogus = {static_cast<char>(length >> 16), static_cast<char>(length >> 8),
                             static_cast<char>(length)};
        bogus += std::string(std::min<size_t>(length, 100), '\x5a');
        l.proxy->Write(ProxyLink::kToHost, bogus);
        ASSERT_TRUE(RunUntil([&] { return !l.host.st.IsConnected; }, 10000)) << length;
        EXPECT_TRUE(l.host.view.HasStatus(kIntegrity)) << length;
        EXPECT_TRUE(l.host.view.chat.empty());
    }
}

TEST(SecureAttack, AManInTheMiddleGivesEachSideADifferentCode) {
    {
        Link<MitmProxy> l;
        Connect(l);
        ASSERT_TRUE(l.host.session->Secure() && l.client.session->Secure());
        const std::string h = l.host.session->Security().code,
                          c = l.client.session->Security().code;
        EXPECT_EQ(h, l.proxy->CodeWithHost());
        EXPECT_EQ(c, l.proxy->CodeWithClient());
        // One in a million they agree; then this test fails once.
        EXPECT_NE(h, c);
        // Unless the two compare codes, nothing shows: the proxy reads and passes on.
        l.client.view.chatText = "hello";
        l.client.session->SendChatLine();
        ASSERT_TRUE(RunUntil([&] { return l.host.view.chat.size() == 1; }));
        EXPECT_EQ(l.proxy->seen[ProxyLink::kToHost].size(), 1u);
    }

    // The client confirmed the host before: the proxy's identity is not the one, and the
    // client asks before anything of its own is sent; told no, it ends the connection.
    for (bool direct : {true, false}) {
        LoopPeer host(false, true), client(false, true);
        secure::TrustStore(client.sdk.AppFolder)
            .Pin("127.0.0.1", secure::Identity::LoadOrCreate(host.sdk.AppFolder).PublicKey());
        std::vector<bool> asked;
        client.session->ConfirmRisk = [&](const std::string&, bool changed) {
            asked.push_back(changed);
            return false;
        };
        host.st.PortStr = std::to_string(test::FreePort());
        host.session->WaitForConnect();
        std::unique_ptr<MitmProxy> mitm;
        if (!direct) mitm = std::make_unique<MitmProxy>(host.Port());
        client.ConnectTo(mitm ? mitm->Port() : host.Port());
        ASSERT_TRUE(RunUntil([&] { return Settled(client); })) << direct;
        if (direct) {
            EXPECT_TRUE(client.session->Security().verified);
            EXPECT_TRUE(asked.empty());
            EXPECT_TRUE(client.view.HasStatus(Session::kVerifiedLine));
        } else {
            EXPECT_EQ(asked, std::vector<bool>{true});
            EXPECT_FALSE(client.st.IsConnected);
            EXPECT_TRUE(client.view.HasStatus(
                "The connection was ended: the other person's identity has changed."));
            // Its hang-up alone went through.
            for (const std::string& m : mitm->seen[ProxyLink::kToHost]) EXPECT_EQ(m, "XX:");
        }
    }
}

// The client's address text is part of what both sides hash: changed on the way, it
// leaves the two with different keys, and the channel never opens.
TEST(SecureAttack, AnAddressChangedOnTheWayLeavesNoChannel) {
    Link<RecordProxy> l;
    l.proxy->onClear = [](ProxyLink::Direction d, const std::string& read) {
        return d == ProxyLink::kToHost && read == "IP:127.0.0.1" ? std::string("IP:127.0.0.2")
                                                                 : read;
    };
    Connect(l);
    ASSERT_TRUE(RunUntil([&] { return l.BothGone(); }));
    EXPECT_TRUE(l.host.view.HasStatus(kIntegrity) || l.client.view.HasStatus(kIntegrity));
    for (const LoopPeer* p : {&l.host, &l.client})
        for (const LinkSecurity& shown : p->view.security) EXPECT_NE(shown.state, State::Secure);
}

// The host's offer never arrives: both sides say the link is plain, and a side that
// requires encryption sends none of its own messages.
TEST(SecureAttack, ADroppedOfferLeavesAPlainLinkThatARequiringSideSendsNothingOn) {
    enum Require { kNone, kHost, kClient };
    for (Require require : {kNone, kHost, kClient}) {
        test::InFolder here;
        Link<RecordProxy> l;
        l.proxy->onClear = [](ProxyLink::Direction d, const std::string& read) {
            return d == ProxyLink::kToClient && read.rfind("KV?2", 0) == 0 ? std::string() : read;
        };
        LoopPeer* strict = require == kHost ? &l.host : require == kClient ? &l.client : nullptr;
        if (strict)
            WriteTextLines(strict->sdk.AppFolder + fast::kSettingsFile, {"RequireSecure=on"});
        Connect(l);
        EXPECT_TRUE(ShownPlain(l.host)) << require;
        // A requiring host hangs up before the client's wait for the offer is over.
        EXPECT_TRUE(require == kHost || ShownPlain(l.client)) << require;
        EXPECT_FALSE(l.host.session->Secure() || l.client.session->Secure());
        for (LoopPeer* p : {&l.host, &l.client}) {
            p->view.chatText = "in the clear?";
            p->session->SendChatLine();
            p->view.key = "2718281828";
            p->session->SendKey();
        }
        if (!strict) {
            ASSERT_TRUE(RunUntil([&] { return l.host.view.chat.size() == 2; }));
            EXPECT_NE(l.proxy->Log(ProxyLink::kToHost).find("CT:"), std::string::npos);
            continue;
        }
        ASSERT_TRUE(RunUntil([&] { return l.BothGone(); })) << require;
        ASSERT_FALSE(strict->boxes.empty());
        EXPECT_EQ(strict->boxes[0], Session::kNothingSent) << require;
        const std::string wire =
            l.proxy->Log(strict == &l.host ? ProxyLink::kToClient : ProxyLink::kToHost);
        EXPECT_EQ(wire.find("CT:"), std::string::npos) << require;
        EXPECT_EQ(wire.find("KY:"), std::string::npos) << require;
    }
}

// The key files come from the two addresses alone, so whoever drops the offer can also
// encipher messages of the eight. A side that requires encryption takes none of them
// while it waits to learn whether the link is encrypted.
TEST(SecureAttack, ARequiringSideTakesNoPlainMessageWhileItWaitsForTheOffer) {
    test::InFolder here;
    for (bool hostRequires : {false, true}) {
        Link<RecordProxy> l;
        LoopPeer& strict = hostRequires ? l.host : l.client;
        WriteTextLines(strict.sdk.AppFolder + fast::kSettingsFile, {"RequireSecure=on"});
        l.proxy->onClear = [](ProxyLink::Direction d, const std::string& read) {
            return d == ProxyLink::kToClient && read.rfind("KV?2", 0) == 0 ? std::string() : read;
        };
        l.host.session->WaitForConnect();
        l.client.ConnectTo(l.proxy->Port());
        ASSERT_TRUE(RunUntil([&] { return l.host.view.HasStatus("Connected."); }));
        // Forged with the other side's key files, which anyone can build.
        LoopPeer& forger = hostRequires ? l.client : l.host;
        std::string line = "forged";
        forger.sdk.EncryptString(line);
        l.proxy->Write(hostRequires ? ProxyLink::kToHost : ProxyLink::kToClient, "CT:" + line);
        ASSERT_TRUE(RunUntil([&] { return !strict.st.IsConnected; })) << hostRequires;
        EXPECT_EQ(strict.view.chat, std::vector<std::string>{}) << hostRequires;
    }
}

// A plain client of a host that requires encryption gets the offer and the hang-up.
TEST(SecureAttack, ARequiringHostSendsAPlainClientOnlyItsOfferAndTheHangUp) {
    LoopPeer host(false, true);
    WriteTextLines(host.sdk.AppFolder + fast::kSettingsFile, {"RequireSecure=on"});
    host.st.PortStr = std::to_string(test::FreePort());
    host.session->WaitForConnect();
    test::PlainPeer plain;
    ASSERT_TRUE(plain.Connect(host.Port()));
    ASSERT_TRUE(RunUntil([&] { return plain.peerHungUp; }));
    host.view.chatText = "not for plain eyes";
    host.session->SendChatLine();
    ASSERT_EQ(plain.oddReads.size(), 1u);
    EXPECT_EQ(plain.oddReads[0].substr(0, 4), "KV?2");
    EXPECT_EQ(plain.tags, std::vector<std::string>{"XX:"});
    EXPECT_TRUE(plain.chats.empty());
}

}  // namespace
}  // namespace keyvane::test
