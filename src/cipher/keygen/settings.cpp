// The rotor settings files (k2.bin to k6.dat) and the in-memory reorder schedule,
// all taken from KeyNumbers 20..99.
#include <algorithm>
#include <bit>
#include <cstring>

#include "cipher/sdk.h"

namespace keyvane {

namespace {

int FirstDigit(int v) {
    if (v < 0) v = -v;
    while (v >= 10) v /= 10;
    return v;
}

// 2..7 for the first digits 1..9.
int Figure(int v) {
    const int f = FirstDigit(v) + 1;
    return f > 7 ? f - 5 : f;
}

// 21, 22, 8..14 for the first digits 1..9.
int Wide(int v) {
    const int w = FirstDigit(v) + 20;
    return w > 22 ? w - 15 : w;
}

void AppendFloatLE(std::string& out, float v) {
    const auto bits = std::bit_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) out += static_cast<char>((bits >> (8 * i)) & 0xFF);
}

void WriteNumberLines(const std::string& path, const int16_t* values, int count, int (*map)(int)) {
    TextWriter w(path);
    for (int c = 0; c < count; ++c) w.WriteLine(PrintNumber(map(values[c])));
    w.Close();
}

}  // namespace

void SDK::WriteRotorSettings() {
    lookShared_ = false;  // the next string operation must see these writes
    const auto& K = KeyNumbers;

    RotorCount = 20;
    PassCount = 2;
    TextWriter k2(File("k2.bin"));
    k2.WriteLine(PrintNumber(RotorCount) + PrintNumber(PassCount));
    k2.Close();

    std::string record;
    record.reserve(100);
    for (int k = 1; k <= kRotors; ++k) {
        RotorUp[k] = K[19 + k] > 45 ? 1 : 0;
        record += RotorUp[k] != 0 ? 'U' : 'D';
    }
    for (int k = 1; k <= kRotors; ++k) AppendFloatLE(record, static_cast<float>(Figure(K[39 + k])));
    RotorSetupRecord = record;
    RecordFile k3(File("k3.bin"), 100);
    k3.Write(1, RotorSetupRecord);
    k3.Close();

    WriteNumberLines(File("k4.bin"), &K[60], 20, Figure);
    WriteNumberLines(File("k5.bin"), &K[80], 10, Wide);
    WriteNumberLines(File("k6.dat"), &K[90], 10, Wide);

    // A 16-bit product; entries of at most 151 keep it below 22,801.
    const int32_t product = static_cast<int32_t>(K[21]) * K[20];
    if (product < -32768 || product > 32767)
        throw OverflowError("overflow: reorder product " + std::to_string(product));
    int32_t x = product;
    while (x > 999) x -= 999;
    if (x < 10) x += 10;
    const std::string padded = "00" + std::to_string(x);
    BuildReorderTable(padded.substr(padded.size() - 3));
}

void SDK::BuildReorderTable(const std::string& code) {
    if (code.size() != 3 ||
        !std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw CipherError("reorder code \"" + code + "\" is not three digits");

    auto& W = ReorderTable;
    W.fill(0);
    for (int i = 0; i < 3; ++i) W[i + 1] = code[i] == '0' ? 10 : code[i] - '0';
    W[4] = W[1] + W[2] + W[3];
    W[5] = W[1] + W[2] + 2;
    W[6] = W[2] + W[3] + 3;
    W[7] = W[1] + W[3] + 4;
    W[8] = W[1] + 5;
    W[9] = W[2] + 5;
    W[10] = W[3] + 5;

    int n = 10;
    // Each loop's range is fixed when it starts; it never reads what it appends.
    auto up = [&](int from, int to, int step, int add) {
        for (int j = from; j <= to && n < kReorderEntries; j += step) {
            ++n;
            W[n] = W[j] + add;
        }
    };
    auto down = [&](int from, int to, int step, int add) {
        for (int j = from; j >= to && n < kReorderEntries; j -= step) {
            ++n;
            W[n] = W[j] + add;
        }
    };
    up(1, 10, 2, 2);
    up(2, 10, 2, 3);
    down(n, 1, 3, 7);
    up(1, n, 3, 9);
    up(1, n, 5, 13);
    down(n, 1, 5, 17);
    up(1, n, 7, 4);
    down(n, 1, 7, 6);
    up(2, n, 8, 1);
    down(n, 2, 8, 2);
    up(5, n, 5, 3);
    down(n, 5, 5, 2);
    down(n, 1, 1, 1);  // stops at entry 200

    for (int j = 1; j <= kReorderEntries; ++j) {
        if (W[j] < 10) W[j] += 10;
        if (W[j] > 50) W[j] -= 20;
    }
}

}  // namespace keyvane
