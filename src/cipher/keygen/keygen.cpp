// Key-file generation: the number sequence from the seed, and the twenty rotor
// permutations shuffled with it. Both peers must reach identical bytes, so every
// bound and order below is exact.
#include <algorithm>
#include <numeric>

#include "cipher/sdk.h"

namespace keyvane {

namespace {

// Seeds normally hold only the digits "1".."9". A seed typed on the command line may
// hold anything: another character counts as its byte value mod 10, so both peers
// still read the same number from the same text.
int SeedDigit(char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c >= '0' && c <= '9' ? c - '0' : c % 10;
}

// An exchange position outside 1..256 (an entry of 0 can stay in entry 1 of the
// sequence) is wrapped into it: (v - 1) mod 256 + 1. Returned 0-based.
int PermutationIndex(int v) {
    return ((v - 1) % 256 + 256) % 256;
}

}  // namespace

void SDK::BuildKeyNumbers(std::string seed) {
    // An empty seed would double for ever; a longer one would run past 50,000 entries.
    if (seed.empty()) throw CipherError("the seed is empty");
    size_t doubled = seed.size();
    while (doubled < 18) doubled *= 2;
    if (doubled > static_cast<size_t>(kMaxSeedLength))
        throw CipherError("the seed has " + std::to_string(seed.size()) + " characters; at most " +
                          std::to_string(kMaxSeedLength) + " fit");

    LoadCipherTablesForKeys();
    while (seed.size() < 18) seed += seed;
    std::string s = seed;
    s.append(seed.rbegin(), seed.rend());

    auto& K = KeyNumbers;
    KeyNumberCount = 0;
    auto append = [&](int v) {
        if (KeyNumberCount >= kMaxKeyNumbers) throw CipherError("key number sequence overflow");
        K[++KeyNumberCount] = static_cast<int16_t>(v);
    };

    for (int run = 0; run < 2; ++run) {
        for (size_t j = 0; j + 1 < s.size(); j += 2)  // A
            append(10 * SeedDigit(s[j]) + SeedDigit(s[j + 1]));
        int32_t m = KeyNumberCount;
        for (int32_t j = 1; j <= m; ++j) append(K[j] + 2);  // B
        m = KeyNumberCount;
        for (int32_t j = 1; j <= m; ++j) append(K[j] + 3);  // C
        m = KeyNumberCount;
        for (int32_t j = 2; j <= m; j += 2) append(K[j] + 4);  // D
        m = KeyNumberCount;
        for (int32_t j = 3; j <= m; j += 3) append(K[j] + 5);  // E
        m = KeyNumberCount;
        for (int32_t j = 4; j <= m; j += 4) append(K[j] + 1);  // F
        m = KeyNumberCount;
        for (int32_t j = m; j >= 1; j -= 6) append(K[j] + 7);  // G
        m = KeyNumberCount;
        for (int32_t j = m; j >= 1; --j) append(K[j] + 1);  // H
        m = KeyNumberCount;
        for (int32_t j = 1; j <= m; j += 10) append(K[j] + 2);  // I
    }

    for (int32_t j = 2; j <= KeyNumberCount; ++j) {
        if (K[j] == K[j - 1]) K[j] = static_cast<int16_t>(K[j] + 2);
        if (K[j] == 0) K[j] = 15;
        if (K[j] > 151) K[j] = static_cast<int16_t>(K[j] - 151);
    }
}

// The twenty rotors, shuffled by the key numbers.
std::string SDK::ShuffleRotors() const {
    // The permutation turns left by one after every second exchange. Rather than move
    // its 256 bytes each time, position i is kept at raw[(i + turned) % 256].
    std::array<uint8_t, 256> raw{};
    std::iota(raw.begin(), raw.end(), 0);
    unsigned turned = 0;
    auto at = [&](int i) -> uint8_t& { return raw[(static_cast<unsigned>(i) + turned) & 255u]; };

    std::string rotors(size_t{256} * kRotors, '\0');
    int32_t cursor = 0;
    int swaps = 0;
    auto next = [&]() {
        if (++cursor > KeyNumberCount) cursor = 1;
        return PermutationIndex(KeyNumbers[cursor]);
    };
    for (int r = 1; r <= kRotors; ++r) {
        for (int i = 0; i < 1000; ++i) {
            const int a = next();
            const int b = next();
            std::swap(at(a), at(b));
            if (++swaps == 2) {
                swaps = 0;
                turned = (turned + 1) & 255u;
            }
        }
        char* record = rotors.data() + static_cast<size_t>(r - 1) * 256;
        for (int i = 0; i < 256; ++i) record[i] = static_cast<char>(at(i));
    }
    return rotors;
}

void SDK::BuildKeyFiles(const std::string& seed) {
    std::string rotors;
    if (!lastBuild_.seed.empty() && lastBuild_.seed == seed) {
        // The same numbers again, after the same look at the key files.
        LoadCipherTablesForKeys();
        std::copy(lastBuild_.numbers.begin(), lastBuild_.numbers.end(), KeyNumbers.begin() + 1);
        KeyNumberCount = static_cast<int32_t>(lastBuild_.numbers.size());
        rotors = lastBuild_.rotors;
    } else {
        lastBuild_ = {};
        BuildKeyNumbers(seed);
        rotors = ShuffleRotors();
        lastBuild_.numbers.assign(KeyNumbers.begin() + 1, KeyNumbers.begin() + 1 + KeyNumberCount);
        lastBuild_.rotors = rotors;
        lastBuild_.seed = seed;
    }

    RecordFile k1(File("k1.bin"), 256);
    RotorRecord = rotors.substr(rotors.size() - 256);
    // The twenty records go out in one write per file, the same bytes as one by one.
    k1.WriteRaw(1, rotors);
    k1.Close();

    WriteRotorSettings();

    RecordFile brs(File("k1.brs"), 256);
    RecordFile bcr(File("k1.bcr"), 256);
    brs.WriteRaw(1, rotors);
    bcr.WriteRaw(1, rotors);
    brs.Close();
    bcr.Close();
}

}  // namespace keyvane
