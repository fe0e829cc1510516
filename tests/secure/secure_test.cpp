// The secure channel's pieces: the handshake against a man in the middle and malformed
// messages, the record streams against tampering, hellos against replay, and what is
// kept on disk.
#include "secure/Secure.h"

#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "platform/files.h"
#include "support/tempdir.h"

namespace keyvane::secure {
namespace {

using Role = Handshake::Role;
constexpr std::string_view kNonce = "0123456789abcdef";

Key Seed(uint8_t b) {
    Key k{};
    k.fill(b);
    return k;
}

// Runs the three messages between a host and a client; false when a step is refused.
bool Shake(Handshake& host, Handshake& client) {
    const auto answer = client.Answer(host.Probe(kNonce));
    const auto reveal = answer ? host.Reveal(*answer) : std::nullopt;
    return reveal && client.Finish(*reveal);
}

struct Linked {
    explicit Linked(uint8_t seed)
        : host(Role::Host, "10.0.0.2", Seed(seed)),
          client(Role::Client, "10.0.0.2", Seed(seed + 1)) {
        EXPECT_TRUE(Shake(host, client));
    }
    Handshake host, client;
};

// The header and `texts` sealed in order, the last one final when `final`.
std::string StreamOf(Sealer& s, std::initializer_list<std::string_view> texts, bool final = false) {
    std::string out = s.Header();
    size_t left = texts.size();
    for (auto t : texts) out += s.Seal(t, final && --left == 0);
    return out;
}

// Opens a whole stream fed in one piece.
Opener::Result OpenAll(const Key& key, std::string_view stream,
                       std::vector<std::string>* out = {}) {
    std::vector<std::string> records;
    Opener o(key);
    const auto r = o.Feed(stream, records);
    if (out) *out = records;
    return r;
}

TEST(SecureHandshake, BothSidesAgreeAndRecordsPassBothWays) {
    ASSERT_TRUE(Available());
    Handshake host(Role::Host, "10.0.0.2"), client(Role::Client, "10.0.0.2");
    const std::string probe = host.Probe(kNonce);
    const auto answer = client.Answer(probe);
    ASSERT_TRUE(answer);
    EXPECT_EQ(probe.size(), 84u);
    EXPECT_EQ(answer->substr(0, 20), "KV!2" + std::string(kNonce));
    const auto reveal = host.Reveal(*answer);
    ASSERT_TRUE(reveal);
    EXPECT_EQ(reveal->size(), 67u);
    ASSERT_TRUE(client.Finish(*reveal));
    EXPECT_TRUE(host.Done() && client.Done());
    EXPECT_EQ(host.SendKey(), client.ReceiveKey());
    EXPECT_EQ(host.ReceiveKey(), client.SendKey());
    EXPECT_NE(host.SendKey(), host.ReceiveKey());
    EXPECT_EQ(host.Code(), client.Code());

    for (auto [from, to] : {std::pair{&host, &client}, std::pair{&client, &host}}) {
        Sealer s(from->SendKey());
        std::vector<std::string> got;
        EXPECT_EQ(OpenAll(to->ReceiveKey(), StreamOf(s, {"one", "two"}), &got),
                  Opener::Result::More);
        EXPECT_EQ(got, (std::vector<std::string>{"one", "two"}));
    }

    // The client's address text is part of what both sides agree on.
    Handshake other(Role::Host, "10.0.0.9", Seed(1)), honest(Role::Client, "10.0.0.2", Seed(2));
    ASSERT_TRUE(Shake(other, honest));
    EXPECT_NE(other.SendKey(), honest.ReceiveKey());
    EXPECT_NE(other.Code(), honest.Code());
}

TEST(SecureHandshake, RefusesMalformedAndOutOfOrderSteps) {
    auto probeOf = [] { return Handshake(Role::Host, "a").Probe(kNonce); };
    auto answerTo = [](const std::string& probe) {
        Handshake c(Role::Client, "a");
        return c.Answer(probe);
    };
    // Probes a client must not answer.
    std::string upper = probeOf(), v1 = probeOf();
    upper[30] = 'A';
    v1[3] = '1';
    for (const std::string& bad : {upper, v1, probeOf().substr(1), probeOf() + "0"}) {
        Handshake c(Role::Client, "a");
        EXPECT_FALSE(c.Answer(bad)) << bad;
        EXPECT_TRUE(c.Failed());
        EXPECT_EQ(c.Code(), "");
    }
    {
        Handshake h(Role::Host, "a"), c(Role::Client, "a");
        EXPECT_EQ(h.Probe("0123456789ABCDEF"), "");
        EXPECT_EQ(c.Probe(kNonce), "");
        EXPECT_TRUE(h.Failed() && c.Failed());
    }
    // Answers a host must not take: another nonce, a key that is no hex, a key that is
    // no usable point; and nothing goes on once one was refused.
    const std::string probe = probeOf();
    std::string otherNonce = *answerTo(probe), notHex = otherNonce, zero = otherNonce;
    otherNonce[5] = otherNonce[5] == '0' ? '1' : '0';
    notHex[40] = 'g';
    zero.replace(20, 64, std::string(64, '0'));
    for (const std::string& bad : {otherNonce, notHex, zero}) {
        Handshake h(Role::Host, "a");
        const std::string p = h.Probe(kNonce);
        Handshake c(Role::Client, "a");
        const std::string good = *c.Answer(p);
        EXPECT_FALSE(h.Reveal(bad)) << bad;
        EXPECT_TRUE(h.Failed());
        EXPECT_FALSE(h.Reveal(good));
    }
    {
        Handshake h(Role::Host, "a"), c(Role::Client, "a");
        EXPECT_FALSE(h.Reveal(*answerTo(probe)));              // before its probe
        EXPECT_FALSE(c.Finish("KVK" + std::string(64, '1')));  // before its answer
        EXPECT_TRUE(h.Failed() && c.Failed());
    }
    // Reveals a client must not take: another key than the committed one, malformed ones.
    Linked l(1);
    const std::string reveal = "KVK" + ToHex(std::string(32, '\x07'));
    for (const std::string& bad : {reveal, "KVX" + reveal.substr(3), reveal.substr(0, 66)}) {
        Handshake h(Role::Host, "a"), c(Role::Client, "a");
        ASSERT_TRUE(c.Answer(h.Probe(kNonce)));
        EXPECT_FALSE(c.Finish(bad)) << bad;
        EXPECT_TRUE(c.Failed());
    }
    EXPECT_FALSE(l.client.Finish(reveal));  // a second reveal fails too
}

TEST(SecureHandshake, AManInTheMiddleGetsOtherCodesOnEachSide) {
    // Two handshakes of its own, one with each side.
    Handshake host(Role::Host, "c", Seed(1)), client(Role::Client, "c", Seed(2));
    Handshake mClient(Role::Client, "c", Seed(3)), mHost(Role::Host, "c", Seed(4));
    ASSERT_TRUE(Shake(host, mClient));
    ASSERT_TRUE(Shake(mHost, client));
    EXPECT_NE(host.Code(), client.Code());
    EXPECT_NE(host.SendKey(), client.ReceiveKey());
    EXPECT_NE(client.SendKey(), host.ReceiveKey());

    // Passing the probe and reveal on and swapping only the answer: the host keys with
    // the middle's key, the client with its own.
    Handshake h(Role::Host, "c", Seed(1)), c(Role::Client, "c", Seed(2));
    Handshake m(Role::Client, "c", Seed(3));
    const std::string probe = h.Probe(kNonce);
    ASSERT_TRUE(c.Answer(probe));
    const auto reveal = h.Reveal(*m.Answer(probe));
    ASSERT_TRUE(reveal && c.Finish(*reveal));
    EXPECT_NE(h.Code(), c.Code());
    EXPECT_NE(h.SendKey(), c.ReceiveKey());
}

TEST(SecureHandshake, CodesAreSixDigitsWithLeadingZeros) {
    const std::regex shape("[0-9]{3} [0-9]{3}");
    int leadingZero = 0;
    for (int i = 0; i < 256; ++i) {
        const std::string code = CodeOf(Seed(static_cast<uint8_t>(i)));
        EXPECT_TRUE(std::regex_match(code, shape)) << code;
        leadingZero += code[0] == '0';
    }
    EXPECT_GT(leadingZero, 0);
}

struct SecureRecords : ::testing::Test {
    const Key key = Seed(9);
    Sealer s{key};
    std::vector<std::string> got;
};

TEST_F(SecureRecords, LongTextIsSplitAndEmptyTextIsOneRecord) {
    const std::string text = test::RandomBytes(2 * kMaxRecordText + 1, 1);
    const std::string sealed = s.Seal(text);
    EXPECT_EQ(sealed.size(), text.size() + 3 * kRecordOverhead);
    EXPECT_EQ(sealed.substr(0, 3), std::string("\x01\x00\x11", 3));  // 65536 + 17
    const std::string empty = s.Seal("");
    EXPECT_EQ(empty.size(), kRecordOverhead);
    EXPECT_EQ(OpenAll(key, s.Header() + sealed + empty, &got), Opener::Result::More);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0] + got[1] + got[2], text);
    EXPECT_EQ(got[2].size(), 1u);
    EXPECT_EQ(got[3], "");
}

TEST_F(SecureRecords, PiecesOfAnyLengthOpenAndOnlyOneRecordIsHeld) {
    const std::string a = test::RandomBytes(5000, 2), stream = StreamOf(s, {a, "b"});
    Opener o(key);
    EXPECT_EQ(o.Feed(stream.substr(0, 10), got), Opener::Result::More);  // header in pieces
    EXPECT_EQ(o.Feed(stream.substr(10, 13), got), Opener::Result::More);
    for (size_t i = 23; i < stream.size(); ++i) {
        EXPECT_EQ(o.Feed(stream.substr(i, 1), got), Opener::Result::More);
        EXPECT_LE(o.Pending(), a.size() + kRecordOverhead);
    }
    EXPECT_EQ(got, (std::vector<std::string>{a, "b"}));
    EXPECT_EQ(o.Pending(), 0u);
}

TEST_F(SecureRecords, FinalEndsBothSides) {
    const std::string stream = StreamOf(s, {"x", "bye"}, true);
    EXPECT_TRUE(s.Ended());
    EXPECT_THROW(s.Seal("late"), std::logic_error);
    Opener o(key);
    EXPECT_EQ(o.Feed(stream, got), Opener::Result::Ended);
    EXPECT_EQ(o.Feed("", got), Opener::Result::Ended);
    EXPECT_EQ(got, (std::vector<std::string>{"x", "bye"}));
    EXPECT_EQ(o.Feed("z", got), Opener::Result::Broken);
    EXPECT_EQ(OpenAll(key, stream + "z", &got), Opener::Result::Broken);
    EXPECT_EQ(got.back(), "bye");
}

TEST_F(SecureRecords, TamperingBreaksTheStreamForGood) {
    const std::string h = s.Header(), r1 = s.Seal("one"), r2 = s.Seal("two"), r3 = s.Seal("3");
    auto flip = [](std::string x, size_t at) { return x[at] ^= 1, x; };
    const std::string lenChanged = flip(r2, 2), tooShort = std::string("\0\0\x10", 3) + "x";
    const std::string tooLong = std::string("\x01\x00\x12", 3);
    for (const std::string& bad :
         {flip(h, 0) + r1, h + r1 + flip(r2, 5), h + r1 + r3, h + r1 + r1, h + r2 + r1,
          h + r1 + lenChanged + r3, h + tooShort, h + tooLong}) {
        Opener o(key);
        got.clear();
        EXPECT_EQ(o.Feed(bad, got), Opener::Result::Broken);
        EXPECT_EQ(o.Feed(h + r1, got), Opener::Result::Broken);  // nothing after
        EXPECT_LE(got.size(), 1u);
    }
    EXPECT_EQ(OpenAll(Seed(8), h + r1), Opener::Result::Broken);

    // A cut-off stream is no end: it just waits.
    Opener o(key);
    EXPECT_EQ(o.Feed(h + r1 + r2.substr(0, 7), got), Opener::Result::More);
    EXPECT_FALSE(o.Ended());
}

TEST_F(SecureRecords, PushAndRekeyTagsOpenAsMessages) {
    crypto_secretstream_xchacha20poly1305_state st;
    std::string stream(kHeaderBytes, '\0');
    crypto_secretstream_xchacha20poly1305_init_push(
        &st, reinterpret_cast<unsigned char*>(stream.data()), key.data());
    for (uint8_t tag : {crypto_secretstream_xchacha20poly1305_TAG_PUSH,
                        crypto_secretstream_xchacha20poly1305_TAG_REKEY,
                        crypto_secretstream_xchacha20poly1305_TAG_MESSAGE}) {
        std::string c(2 + 17, '\0');
        crypto_secretstream_xchacha20poly1305_push(
            &st, reinterpret_cast<unsigned char*>(c.data()), nullptr,
            reinterpret_cast<const unsigned char*>("ab"), 2, nullptr, 0, tag);
        stream += std::string("\0\0\x13", 3) + c;
    }
    EXPECT_EQ(OpenAll(key, stream, &got), Opener::Result::More);
    EXPECT_EQ(got.size(), 3u);
}

TEST(SecureHello, BindsIdentityToThisConnectionAndRole) {
    test::TempDir dir;
    std::filesystem::create_directory(dir.file("h"));
    std::filesystem::create_directory(dir.file("c"));
    const Identity hostId = Identity::LoadOrCreate(dir.file("h/"));
    const Identity clientId = Identity::LoadOrCreate(dir.file("c/"));
    Linked l(1), other(3);
    EXPECT_THROW(Hello(hostId, Handshake(Role::Host, "a"), "x"), std::logic_error);

    const std::string fromHost = Hello(hostId, l.host, "10.0.0.1");
    const auto got = CheckHello(fromHost, l.client);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->identity, hostId.PublicKey());
    EXPECT_EQ(got->addressText, "10.0.0.1");
    EXPECT_TRUE(CheckHello(Hello(clientId, l.client, "10.0.0.2"), l.host));

    EXPECT_FALSE(CheckHello(fromHost, l.host));        // reflected
    EXPECT_FALSE(CheckHello(fromHost, other.client));  // replayed on another connection
    EXPECT_FALSE(CheckHello(fromHost.substr(0, fromHost.size() - 1) + "2", l.client));
    EXPECT_FALSE(CheckHello(fromHost.substr(0, 95), l.client));
    EXPECT_TRUE(CheckHello(Hello(hostId, l.host, std::string(255, 'a')), l.client));
    EXPECT_FALSE(CheckHello(Hello(hostId, l.host, std::string(256, 'a')), l.client));
}

TEST(SecureIdentity, MadeOwnerOnlyOnceAndNeverReplaced) {
    test::TempDir dir;
    const std::string path = dir.file(Identity::kFile);
    const std::string pk = Identity::LoadOrCreate(dir.path()).PublicKey();
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 64);
    EXPECT_EQ(Identity::LoadOrCreate(dir.path()).PublicKey(), pk);

    // Damaged files are reported and left as they are; a link is never followed.
    for (const std::string& bad : {std::string(10, 'k'), test::RandomBytes(64, 3)}) {
        test::TempDir d;
        WriteNewFile(d.file(Identity::kFile), bad);
        EXPECT_THROW(Identity::LoadOrCreate(d.path()), FileError);
        EXPECT_EQ(ReadWholeFile(d.file(Identity::kFile)), bad);
    }
    test::TempDir d;
    std::filesystem::create_symlink(d.file("elsewhere"), d.file(Identity::kFile));
    EXPECT_THROW(Identity::LoadOrCreate(d.path()), FileError);
    EXPECT_FALSE(std::filesystem::exists(d.file("elsewhere")));
}

TEST(SecureTrust, PinsAndVerdicts) {
    test::TempDir dir;
    const TrustStore store(dir.path());
    const std::string a(32, 'A'), b(32, 'B');
    EXPECT_EQ(store.Check("10.0.0.1", a), TrustStore::Verdict::New);
    EXPECT_FALSE(store.KnownAddress("10.0.0.1"));

    store.Pin("10.0.0.1", a);
    const std::string path = dir.file(TrustStore::kFile);
    EXPECT_EQ(ReadWholeFile(path), ToHex("10.0.0.1") + " " + ToHex(a) + "\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(store.KnownAddress("10.0.0.1"));
    EXPECT_EQ(store.Check("10.0.0.1", a), TrustStore::Verdict::Trusted);
    EXPECT_EQ(store.Check("10.0.0.7", a), TrustStore::Verdict::Trusted);  // moved
    EXPECT_EQ(store.Check("10.0.0.1", b), TrustStore::Verdict::Changed);
    EXPECT_EQ(store.Check("10.0.0.7", b), TrustStore::Verdict::New);

    // Malformed lines count for nothing but stay; a new pin replaces the address's line.
    const std::string junk =
        "zz " + ToHex(b) + "\n" + ToHex("10.0.0.7") + " " + ToHex(b).substr(2) + "\nnonsense\n";
    std::filesystem::remove(path);
    WriteNewFile(path, junk);
    EXPECT_EQ(store.Check("10.0.0.7", b), TrustStore::Verdict::New);
    store.Pin("10.0.0.1", a);
    store.Pin("10.0.0.1", b);
    EXPECT_EQ(ReadWholeFile(path), junk + ToHex("10.0.0.1") + " " + ToHex(b) + "\n");
    EXPECT_EQ(store.Check("10.0.0.1", a), TrustStore::Verdict::Changed);
}

}  // namespace
}  // namespace keyvane::secure
