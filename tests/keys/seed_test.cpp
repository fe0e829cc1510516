// The connection seed and the random key.
#include "keys/seed.h"

#include <gtest/gtest.h>

#include <array>

#include "keys/randomkey.h"

namespace keyvane {
namespace {

TEST(SeedTest, BothSidesDeriveTheSameSeed) {
    const std::string host = CombinedAddressText(true, "192.0.2.10", "192.0.2.20");
    const std::string client = CombinedAddressText(false, "192.0.2.20", "192.0.2.10");
    EXPECT_EQ(host, "192.0.2.10.192.0.2.20");
    EXPECT_EQ(client, host);
    // D = 1922119222 interleaved from both ends, then parts 3, 6, 5, 1, 4, 8, 2, 7.
    EXPECT_EQ(ConnectionSeed(host),
              "2129229211"
              "2"
              "1"
              "192"
              "192"
              "1"
              "2"
              "1"
              "2");
}

TEST(SeedTest, ShortestAndLongestAddressSeeds) {
    EXPECT_EQ(ConnectionSeed("0.0.0.0.0.0.0.0"), "11111111");
    EXPECT_EQ(ConnectionSeed("1.1.1.1.1.1.1.1"), std::string(16, '1'));
    const std::string longest = ConnectionSeed("123.456.789.123.456.789.123.456");
    EXPECT_EQ(longest.size(), 48u);
    EXPECT_EQ(longest.substr(0, 4), "6152");  // last, first, last but one, second
    EXPECT_EQ(longest.substr(24), "789789456123123456456123");
    // An odd digit string takes its middle digit twice.
    EXPECT_EQ(ConnectionSeed("1.2.3.0.0.0.0.0").substr(0, 4), "3122");
}

// Whatever is typed in the address boxes, the seed stays 8..48 digits 1..9 and
// equal texts give equal seeds.
TEST(SeedTest, AnyAddressTextGivesAUsableSeed) {
    const std::array<std::string, 7> texts = {
        "",
        "peer.example.org.192.0.2.1",
        "fe80::1ff:fe23:4567:890a.2001:db8::8a2e:370:7334",
        "1.2.3.4.5.6.7.8.9.10.11.12",
        "999999999.88888888888.7.6.5.4.3.2",
        std::string(5000, '7'),
        std::string("\xff\x00\x80...", 7),
    };
    for (const auto& t : texts) {
        const std::string seed = ConnectionSeed(t);
        EXPECT_GE(seed.size(), 8u) << t;
        EXPECT_LE(seed.size(), 48u) << t;
        EXPECT_EQ(seed.find_first_not_of("123456789"), std::string::npos) << t;
        EXPECT_EQ(ConnectionSeed(t), seed);
    }
    // Ninth and later fields add no part; their digits still count in the digit string.
    EXPECT_EQ(ConnectionSeed("1.2.3.4.5.6.7.8.9"),
              "9182736455"
              "36514827");
}

TEST(RandomKeyTest, EighteenDigitsFirstNeverZero) {
    // The first digit is drawn from 1..9, every other from 0..9.
    std::vector<uint32_t> bounds;
    std::vector<uint32_t> draws = {0, 8, 9, 0, 5};
    const std::string key = RandomKey([&](uint32_t n) {
        bounds.push_back(n);
        return bounds.size() <= draws.size() ? draws[bounds.size() - 1] : 3;
    });
    EXPECT_EQ(key, "18905" + std::string(13, '3'));
    EXPECT_EQ(bounds, (std::vector<uint32_t>{9, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10,
                                             10, 10, 10, 10}));
    EXPECT_EQ(RandomKey([](uint32_t n) { return n - 1; }), "9" + std::string(17, '9'));
}

}  // namespace
}  // namespace keyvane
