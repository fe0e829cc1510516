// The connection seed and the random key.
#include "keys/seed.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

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
    // Draws that round to 0 first: the first digit is drawn again.
    std::vector<double> draws = {0.0, 0.05, 0.99};
    for (int i = 0; i < 17; ++i) draws.push_back(i % 2 ? 0.0 : 0.5);
    size_t next = 0;
    const std::string key = RandomKey([&] { return draws[next++]; });
    EXPECT_EQ(key,
              "9"
              "40404040404040404");  // 0.5 * 9 = 4.5 rounds to 4
    EXPECT_EQ(next, draws.size());
}

TEST(RandomKeyTest, HalvesRoundToEvenAndEdgeDigitsAreRarer) {
    // r * 9 = 0.5 rounds to 0, 1.5 to 2: the halves go to the even neighbour.
    std::vector<double> draws = {1.5 / 9, 0.5 / 9, 2.5 / 9, 8.5 / 9};
    draws.resize(19, 0.3);
    size_t next = 0;
    EXPECT_EQ(RandomKey([&] { return draws[next++]; }).substr(0, 4), "2028");

    std::mt19937 rng(1);
    std::uniform_real_distribution<double> uni(0.0, 1.0);
    std::array<int, 10> counts{};
    for (int i = 0; i < 4000; ++i) {
        const std::string key = RandomKey([&] { return uni(rng); });
        ASSERT_EQ(key.size(), 18u);
        ASSERT_NE(key[0], '0');
        for (size_t p = 1; p < key.size(); ++p) ++counts[key[p] - '0'];
    }
    // 68,000 digits: 0 and 9 near 3,778 each, the others near 7,556.
    for (int d : {0, 9}) EXPECT_NEAR(counts[d], 3778, 400) << d;
    for (int d = 1; d <= 8; ++d) EXPECT_NEAR(counts[d], 7556, 600) << d;
}

}  // namespace
}  // namespace keyvane
