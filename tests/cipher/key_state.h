// Random key states for the cipher tests: written as key files for the SDK and
// handed as they are to the literal machine.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>

#include "cipher/literal_machine.h"
#include "cipher/sdk.h"
#include "platform/files.h"
#include "platform/numbers.h"

namespace keyvane::test {

struct KeyState {
    std::array<std::string, 21> rotors;  // 1..20
    std::array<int, 21> up{};            // 1..20
    std::array<int, 21> steps{};         // 1..20
    int passCount = 2;
    std::array<int32_t, 201> table{};

    static std::string Identity() {
        std::string s;
        for (int c = 0; c < 256; ++c) s += static_cast<char>(c);
        return s;
    }

    static KeyState Random(std::mt19937& rng, int maxPasses = 3) {
        KeyState ks;
        std::uniform_int_distribution<int> bit(0, 1), step(1, 256), pass(1, maxPasses),
            entry(0, 50);
        for (int k = 1; k <= 20; ++k) {
            ks.rotors[k] = Identity();
            std::shuffle(ks.rotors[k].begin(), ks.rotors[k].end(), rng);
            ks.up[k] = bit(rng);
            ks.steps[k] = step(rng);
        }
        ks.passCount = pass(rng);
        for (int i = 1; i <= 200; ++i) ks.table[i] = entry(rng);
        return ks;
    }

    // k1.bcr, k1.brs, k2.bin, k3.bin and k4.bin in `folder`; the table goes into `sdk`.
    void Install(const std::string& folder, SDK& sdk) const {
        std::string rotorFile;
        for (int k = 1; k <= 20; ++k) rotorFile += rotors[k];
        for (const char* name : {"k1.bcr", "k1.brs"}) {
            TextWriter w(folder + name);
            w.Write(rotorFile);
            w.Close();
        }
        TextWriter k2(folder + "k2.bin");
        k2.WriteLine(PrintNumber(20) + PrintNumber(passCount));
        k2.Close();
        std::string k3;
        for (int k = 1; k <= 20; ++k) k3 += up[k] ? 'U' : 'D';
        for (int k = 1; k <= 20; ++k) {
            const auto bits = std::bit_cast<uint32_t>(4.0f);
            for (int i = 0; i < 4; ++i) k3 += static_cast<char>((bits >> (8 * i)) & 0xFF);
        }
        TextWriter w3(folder + "k3.bin");
        w3.Write(k3);
        w3.Close();
        TextWriter w4(folder + "k4.bin");
        for (int k = 1; k <= 20; ++k) w4.WriteLine(PrintNumber(steps[k]));
        w4.Close();
        sdk.AppFolder = folder;
        std::copy(table.begin(), table.end(), sdk.ReorderTable.begin());
    }

    LiteralMachine Literal() const {
        LiteralMachine m;
        m.Rotor = rotors;
        m.RotorUp = up;
        m.StepSize = steps;
        m.PassCount = passCount;
        m.ReorderTable = table;
        m.ResetSchedule();
        return m;
    }
};

inline std::string RandomText(std::mt19937& rng, size_t n) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(byte(rng));
    return s;
}

}  // namespace keyvane::test
