// SHA-256, fed piece by piece, so a file is hashed as its blocks go by.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace keyvane {

class Sha256 {
  public:
    Sha256() { Reset(); }
    void Reset();
    void Update(std::string_view bytes);
    // The digest as 64 lower-case hex digits; the hash starts anew afterwards.
    std::string HexDigest();

    // The whole of `bytes` at once.
    static std::string Hex(std::string_view bytes);

    // Whether the processor's SHA instructions do the work; on by default where it has
    // them. Off, the portable code does (a test compares the two).
    static bool Hardware();
    static void UseHardware(bool on);

  private:
    // `count` 64-byte blocks from `blocks` into h_.
    void Compress(const unsigned char* blocks, size_t count);

    std::array<uint32_t, 8> h_{};
    std::array<unsigned char, 64> buf_{};
    size_t used_ = 0;     // bytes of buf_ in use
    uint64_t total_ = 0;  // bytes fed so far
};

}  // namespace keyvane
