#include "platform/sha256.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace keyvane {

namespace {

constexpr std::array<uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t Rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

void CompressPortable(std::array<uint32_t, 8>& hs, const unsigned char* block) {
    std::array<uint32_t, 64> w{};
    for (size_t i = 0; i < 16; ++i)
        w[i] = uint32_t{block[4 * i]} << 24 | uint32_t{block[4 * i + 1]} << 16 |
               uint32_t{block[4 * i + 2]} << 8 | uint32_t{block[4 * i + 3]};
    for (size_t i = 16; i < 64; ++i) {
        const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = hs[0], b = hs[1], c = hs[2], d = hs[3], e = hs[4], f = hs[5], g = hs[6], h = hs[7];
    for (size_t i = 0; i < 64; ++i) {
        const uint32_t t1 =
            h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
        const uint32_t t2 =
            (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    hs[0] += a;
    hs[1] += b;
    hs[2] += c;
    hs[3] += d;
    hs[4] += e;
    hs[5] += f;
    hs[6] += g;
    hs[7] += h;
}

#if defined(__x86_64__) || defined(__i386__)
// The processor's SHA extensions: two rounds per instruction. The state is kept as the
// instructions want it, ABEF and CDGH.
__attribute__((target("sha,sse4.1,ssse3"))) void CompressSha(std::array<uint32_t, 8>& hs,
                                                             const unsigned char* p, size_t count) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&hs[0])),
                                    0xB1);  // CDAB
    __m128i state1 =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&hs[4])), 0x1B);  // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);                                        // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);                                             // CDGH
    for (; count > 0; --count, p += 64) {
        const __m128i abef = state0, cdgh = state1;
        __m128i m[4];
        // Unrolled, so the four message words stay in registers.
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            if (g < 4)
                m[g] = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g)), byteSwap);
            __m128i k = _mm_add_epi32(
                m[g % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * g])));
            state1 = _mm_sha256rnds2_epu32(state1, state0, k);
            if (g >= 3 && g < 15) {
                // W[4g+4..4g+7] from the words 16, 15, 7 and 2 before them.
                __m128i& next = m[(g + 1) % 4];
                next = _mm_add_epi32(next, _mm_alignr_epi8(m[g % 4], m[(g + 3) % 4], 4));
                next = _mm_sha256msg2_epu32(next, m[g % 4]);
            }
            k = _mm_shuffle_epi32(k, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, k);
            if (g >= 1 && g < 13) m[(g + 3) % 4] = _mm_sha256msg1_epu32(m[(g + 3) % 4], m[g % 4]);
        }
        state0 = _mm_add_epi32(state0, abef);
        state1 = _mm_add_epi32(state1, cdgh);
    }
    tmp = _mm_shuffle_epi32(state0, 0x1B);     // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);  // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);
    state1 = _mm_alignr_epi8(state1, tmp, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&hs[0]), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&hs[4]), state1);
}

bool ProcessorHasSha() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = c & bit_SSSE3, sse41 = c & bit_SSE4_1;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & bit_SHA);
}
#else
void CompressSha(std::array<uint32_t, 8>&, const unsigned char*, size_t) {}
bool ProcessorHasSha() {
    return false;
}
#endif

bool HasSha() {
    static const bool has = ProcessorHasSha();
    return has;
}

std::atomic<bool> shaOff{false};

}  // namespace

void Sha256::Reset() {
    h_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    used_ = 0;
    total_ = 0;
}

bool Sha256::Hardware() {
    return HasSha() && !shaOff.load(std::memory_order_relaxed);
}

void Sha256::UseHardware(bool on) {
    shaOff.store(!on, std::memory_order_relaxed);
}

void Sha256::Compress(const unsigned char* blocks, size_t count) {
    if (Hardware()) return CompressSha(h_, blocks, count);
    for (; count > 0; --count, blocks += 64) CompressPortable(h_, blocks);
}

void Sha256::Update(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t n = bytes.size();
    total_ += n;
    if (used_ > 0) {
        const size_t take = std::min(n, buf_.size() - used_);
        std::memcpy(buf_.data() + used_, p, take);
        used_ += take;
        p += take;
        n -= take;
        if (used_ < buf_.size()) return;
        Compress(buf_.data(), 1);
        used_ = 0;
    }
    const size_t whole = n / 64;
    if (whole > 0) Compress(p, whole);
    p += whole * 64;
    n -= whole * 64;
    std::memcpy(buf_.data(), p, n);
    used_ = n;
}

std::string Sha256::HexDigest() {
    const uint64_t bits = total_ * 8;
    static constexpr unsigned char kPad[64] = {0x80};
    Update(std::string_view(reinterpret_cast<const char*>(kPad), 1 + (119 - used_) % 64));
    char length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<char>(bits >> (56 - 8 * i));
    Update(std::string_view(length, 8));
    std::string hex;
    char digits[9];
    for (uint32_t x : h_) {
        std::snprintf(digits, sizeof digits, "%08x", x);
        hex += digits;
    }
    Reset();
    return hex;
}

std::string Sha256::Hex(std::string_view bytes) {
    Sha256 s;
    s.Update(bytes);
    return s.HexDigest();
}

}  // namespace keyvane
