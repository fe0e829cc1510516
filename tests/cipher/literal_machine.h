// The rotor machine done the slow, literal way: twenty 256-character strings that are
// really rotated after every character, and linear position searches. The fast SDK
// must give exactly the same results; the tests and the benchmark compare the two.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace keyvane::test {

class LiteralMachine {
  public:
    std::string BaseAlphabet;
    std::array<std::string, 21> Rotor;  // 1..20
    std::array<int, 21> RotorUp{};      // 1..20
    std::array<int, 21> StepSize{};     // 1..20
    std::array<int32_t, 201> ReorderTable{};
    int32_t ReorderIndex = 1;
    int32_t ReorderThreshold = 0;
    int32_t ReorderCount = 0;
    int32_t PassCount = 2;
    int RotorLen = 256;
    std::string CurChar;
    int PassesDone = 0;

    LiteralMachine() {
        for (int c = 0; c < 256; ++c) BaseAlphabet += static_cast<char>(c);
    }

    // The schedule back to its first entry, as every string operation starts.
    void ResetSchedule() {
        ReorderIndex = 1;
        ReorderThreshold = ReorderTable[1];
        ReorderCount = 0;
    }

    std::string Encrypt(const std::string& text) { return Run(text, true); }
    std::string Decrypt(const std::string& text) { return Run(text, false); }

    void EncipherChar() {
        for (;;) {
            for (int k = 1; k <= 20; ++k) {
                const int p = InStr(BaseAlphabet, CurChar[0]);
                CurChar = Rotor[k].substr(p - 1, 1);
            }
            ++PassesDone;
            if (PassesDone == PassCount) break;
            if (PassesDone >= 32767) throw std::overflow_error("pass counter overflow");
        }
        AdvanceRotors();
    }

    void DecipherChar() {
        for (;;) {
            for (int k = 20; k >= 1; --k) {
                const int p = InStr(Rotor[k], CurChar[0]);
                if (p == 0) throw std::invalid_argument("character missing from a rotor");
                CurChar = BaseAlphabet.substr(p - 1, 1);
            }
            ++PassesDone;
            if (PassesDone == PassCount) break;
            if (PassesDone >= 32767) throw std::overflow_error("pass counter overflow");
        }
        AdvanceRotors();
    }

    void AdvanceRotors() {
        for (int k = 1; k <= 20; ++k) {
            const int s = StepSize[k];
            if (s < 0 || s > RotorLen) throw std::invalid_argument("step size above 256");
            const std::string& r = Rotor[k];
            if (RotorUp[k] != 0)
                Rotor[k] = Right(r, RotorLen - s) + Left(r, s);
            else
                Rotor[k] = Right(r, s) + Left(r, RotorLen - s);
        }
        CycleRotorOrder();
    }

    void CycleRotorOrder() {
        ++ReorderCount;
        if (ReorderCount < ReorderThreshold) return;
        ReorderCount = 0;
        const std::string first = Rotor[1];
        for (int k = 1; k <= 19; ++k) Rotor[k] = Rotor[k + 1];
        Rotor[20] = first;
        ++ReorderIndex;
        if (ReorderIndex > 200) ReorderIndex = 1;
        ReorderThreshold = ReorderTable[ReorderIndex];
    }

  private:
    // 1-based position of the first occurrence, 0 when absent.
    static int InStr(const std::string& s, char c) {
        for (size_t i = 0; i < s.size(); ++i)
            if (s[i] == c) return static_cast<int>(i) + 1;
        return 0;
    }
    static std::string Left(const std::string& s, int n) { return s.substr(0, n); }
    static std::string Right(const std::string& s, int n) { return s.substr(s.size() - n); }

    std::string Run(const std::string& text, bool encipher) {
        std::string out;
        for (char c : text) {
            CurChar = std::string(1, c);
            PassesDone = 0;
            if (encipher)
                EncipherChar();
            else
                DecipherChar();
            out += CurChar;
        }
        return out;
    }
};

}  // namespace keyvane::test
