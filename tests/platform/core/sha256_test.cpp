#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace keyvane {
namespace {

// The processor's instructions and the portable code give the same digests, whatever
// the lengths and however the bytes are cut into pieces.
TEST(Sha256Test, HardwareAndPortablePathsAgree) {
    const bool had = Sha256::Hardware();
    struct Restore {
        bool on;
        ~Restore() { Sha256::UseHardware(on); }
    } restore{had};

    Sha256::UseHardware(false);
    EXPECT_FALSE(Sha256::Hardware());
    // The portable path on its own, with a length that pads into a second block.
    EXPECT_EQ(Sha256::Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    if (!had) GTEST_SKIP() << "this processor has no SHA instructions";

    std::mt19937 rng(7);
    std::string data(70'000, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    for (size_t length :
         {size_t{0}, size_t{1}, size_t{55}, size_t{56}, size_t{63}, size_t{64}, size_t{65},
          size_t{127}, size_t{128}, size_t{1000}, size_t{4096 + 17}, data.size()}) {
        const std::string_view in(data.data(), length);
        Sha256::UseHardware(false);
        const std::string portable = Sha256::Hex(in);
        Sha256::UseHardware(true);
        EXPECT_EQ(Sha256::Hex(in), portable) << length << " bytes";
        // In pieces of many sizes: the hardware path takes runs of whole blocks at once.
        Sha256 pieces;
        for (size_t at = 0, n = 1; at < length; at += n, n = n * 7 % 1500 + 1)
            pieces.Update(in.substr(at, n));
        EXPECT_EQ(pieces.HexDigest(), portable) << length << " bytes in pieces";
    }
}

}  // namespace
}  // namespace keyvane
