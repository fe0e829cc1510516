// The secure channel's record streams: splitting, reading in pieces, and tampering.
#include "secure/Secure.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include "support/tempdir.h"

namespace keyvane::secure {
namespace {

Key Seed(uint8_t b) {
    Key k{};
    k.fill(b);
    return k;
}

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

TEST(SecureRecords, LongTextIsSplitAndEmptyTextIsOneRecord) {
    const Key key = Seed(9);
    Sealer s(key);
    const std::string text = test::RandomBytes(2 * kMaxRecordText + 1, 1);
    const std::string sealed = s.Seal(text);
    EXPECT_EQ(sealed.size(), text.size() + 3 * kRecordOverhead);
    EXPECT_EQ(sealed.substr(0, 3), std::string("\x01\x00\x11", 3));  // 65536 + 17
    const std::string empty = s.Seal("");
    EXPECT_EQ(empty.size(), kRecordOverhead);
    std::vector<std::string> got;
    EXPECT_EQ(OpenAll(key, s.Header() + sealed + empty, &got), Opener::Result::More);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0] + got[1] + got[2], text);
    EXPECT_EQ(got[2].size(), 1u);
    EXPECT_EQ(got[3], "");
}

TEST(SecureRecords, PiecesOfAnyLengthOpenAndOnlyOneRecordIsHeld) {
    const Key key = Seed(9);
    Sealer s(key);
    const std::string a = test::RandomBytes(5000, 2), stream = StreamOf(s, {a, "b"});
    Opener o(key);
    std::vector<std::string> got;
    EXPECT_EQ(o.Feed(stream.substr(0, 10), got), Opener::Result::More);  // header in pieces
    EXPECT_EQ(o.Feed(stream.substr(10, 13), got), Opener::Result::More);
    for (size_t i = 23; i < stream.size(); ++i) {
        EXPECT_EQ(o.Feed(stream.substr(i, 1), got), Opener::Result::More);
        EXPECT_LE(o.Pending(), a.size() + kRecordOverhead);
    }
    EXPECT_EQ(got, (std::vector<std::string>{a, "b"}));
    EXPECT_EQ(o.Pending(), 0u);
}

TEST(SecureRecords, FinalEndsBothSides) {
    const Key key = Seed(9);
    Sealer s(key);
    const std::string stream = StreamOf(s, {"x", "bye"}, true);
    EXPECT_TRUE(s.Ended());
    EXPECT_THROW(s.Seal("late"), std::logic_error);
    std::vector<std::string> got;
    Opener o(key);
    EXPECT_EQ(o.Feed(stream, got), Opener::Result::Ended);
    EXPECT_EQ(o.Feed("", got), Opener::Result::Ended);
    EXPECT_EQ(got, (std::vector<std::string>{"x", "bye"}));
    EXPECT_EQ(o.Feed("z", got), Opener::Result::Broken);
    EXPECT_EQ(OpenAll(key, stream + "z", &got), Opener::Result::Broken);
    EXPECT_EQ(got.back(), "bye");
}

TEST(SecureRecords, TamperingBreaksTheStreamForGood) {
    const Key key = Seed(9);
    Sealer s(key);
    const std::string h = s.Header(), r1 = s.Seal("one"), r2 = s.Seal("two"), r3 = s.Seal("3");
    auto flip = [](std::string x, size_t at) { return x[at] ^= 1, x; };
    const std::string lenChanged = flip(r2, 2), tooShort = std::string("\0\0\x10", 3) + "x";
    const std::string tooLong = std::string("\x01\x00\x12", 3);
    for (const std::string& bad :
         {flip(h, 0) + r1, h + r1 + flip(r2, 5), h + r1 + r3, h + r1 + r1, h + r2 + r1,
          h + r1 + lenChanged + r3, h + tooShort, h + tooLong}) {
        Opener o(key);
        std::vector<std::string> got;
        EXPECT_EQ(o.Feed(bad, got), Opener::Result::Broken);
        EXPECT_EQ(o.Feed(h + r1, got), Opener::Result::Broken);  // nothing after
        EXPECT_LE(got.size(), 1u);
    }
    EXPECT_EQ(OpenAll(Seed(8), h + r1), Opener::Result::Broken);

    // A cut-off stream is no end: it just waits.
    Opener o(key);
    std::vector<std::string> got;
    EXPECT_EQ(o.Feed(h + r1 + r2.substr(0, 7), got), Opener::Result::More);
    EXPECT_FALSE(o.Ended());
}

TEST(SecureRecords, PushAndRekeyTagsOpenAsMessages) {
    const Key key = Seed(9);
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
    std::vector<std::string> got;
    EXPECT_EQ(OpenAll(key, stream, &got), Opener::Result::More);
    EXPECT_EQ(got.size(), 3u);
}

}  // namespace
}  // namespace keyvane::secure
