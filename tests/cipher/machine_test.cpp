// The fast rotor machine against the literal one, and the machine's known answers.
#include <gtest/gtest.h>

#include <random>

#include "cipher/key_state.h"
#include "cipher/sdk.h"
#include "cipher/wide_machine.h"
#include "support/tempdir.h"

namespace keyvane {
namespace {

using test::KeyState;
using test::RandomText;
using test::TempDir;

std::string Codes(std::initializer_list<int> codes) {
    std::string s;
    for (int c : codes) s += static_cast<char>(c);
    return s;
}

KeyState IdentityState(int up, int step, int passes) {
    KeyState ks;
    for (int k = 1; k <= 20; ++k) {
        ks.rotors[k] = KeyState::Identity();
        ks.up[k] = up;
        ks.steps[k] = step;
    }
    ks.passCount = passes;
    return ks;
}

TEST(MachineTest, IdentityRotorsTurnEachCharacterByTwentySteps) {
    TempDir dir;
    SDK sdk;
    std::string text = "AAA";
    IdentityState(1, 1, 1).Install(dir.path(), sdk);
    sdk.EncryptString(text);
    EXPECT_EQ(text, Codes({65, 85, 105}));

    IdentityState(0, 1, 1).Install(dir.path(), sdk);
    text = "AAA";
    sdk.EncryptString(text);
    EXPECT_EQ(text, Codes({65, 45, 25}));

    // Whole turns leave the rotors as they are: every text enciphers to itself.
    IdentityState(1, 256, 2).Install(dir.path(), sdk);
    std::mt19937 rng(7);
    const std::string plain = RandomText(rng, 600);
    text = plain;
    sdk.EncryptString(text);
    EXPECT_EQ(text, plain);
}

// Both machines from the same random key files, on random texts in both directions,
// long enough for the schedule to wrap past entry 200 several times; the fast machine
// with and without its 64-character batches (where the processor has them).
TEST(MachineTest, FastMachineMatchesTheLiteralOne) {
    std::mt19937 rng(20240607);
    TempDir dir;
    struct Restore {
        ~Restore() { AllowWideMachine(true); }
    } restore;
    for (int round = 0; round < 24; ++round) {
        AllowWideMachine(round % 2 == 0);
        const KeyState ks = KeyState::Random(rng);
        SDK sdk;
        ks.Install(dir.path(), sdk);
        if (round % 4 == 0) sdk.ReorderTable.fill(0);  // no generation yet: cycle every char
        auto literal = ks.Literal();
        std::copy(sdk.ReorderTable.begin(), sdk.ReorderTable.end(), literal.ReorderTable.begin());

        const size_t length = round < 6 ? 20000 : 1 + rng() % 300;
        const std::string plain = RandomText(rng, length);
        std::string fast = plain;
        sdk.EncryptString(fast);
        literal.ResetSchedule();
        literal.Rotor = ks.rotors;
        const std::string expected = literal.Encrypt(plain);
        ASSERT_EQ(fast, expected) << "round " << round;
        for (int k = 1; k <= 20; ++k) ASSERT_EQ(sdk.Rotor(k), literal.Rotor[k]) << "slot " << k;
        EXPECT_EQ(sdk.ReorderIndex, literal.ReorderIndex);
        EXPECT_EQ(sdk.ReorderCount, literal.ReorderCount);

        // Deciphering text that never was enciphered must agree as well.
        std::string noise = RandomText(rng, length);
        std::string fastBack = noise;
        sdk.DecryptString(fastBack);
        literal.ResetSchedule();
        literal.Rotor = ks.rotors;
        ASSERT_EQ(fastBack, literal.Decrypt(noise)) << "round " << round;

        std::string back = fast;
        sdk.DecryptString(back);
        ASSERT_EQ(back, plain) << "round " << round;
    }
}

// The machine keeps its state from one piece to the next, whichever way each piece
// goes: pieces of 1 to 150 characters, enciphered or deciphered in turn, follow the
// literal machine character by character, on both dispatch paths.
TEST(MachineTest, PiecesInEitherDirectionFollowTheLiteralOne) {
    std::mt19937 rng(99);
    struct Restore {
        ~Restore() { AllowWideMachine(true); }
    } restore;
    for (bool wide : {true, false}) {
        AllowWideMachine(wide);
        const KeyState ks = KeyState::Random(rng);
        TempDir dir;
        SDK sdk;
        ks.Install(dir.path(), sdk);
        sdk.LoadCipherTables();
        sdk.PassCount = ks.passCount;
        sdk.LoadRotors();
        auto literal = ks.Literal();
        for (int i = 0; i < 60; ++i) {
            const bool encipher = i % 3 != 0;
            const std::string plain = RandomText(rng, 1 + rng() % 150);
            std::string piece = plain;
            sdk.RunMachine(piece, encipher);
            std::string expected;
            for (char c : plain) {
                literal.CurChar = std::string(1, c);
                literal.PassesDone = 0;
                if (encipher)
                    literal.EncipherChar();
                else
                    literal.DecipherChar();
                expected += literal.CurChar;
            }
            ASSERT_EQ(piece, expected) << "piece " << i << (wide ? " wide" : " narrow");
        }
        for (int k = 1; k <= 20; ++k) EXPECT_EQ(sdk.Rotor(k), literal.Rotor[k]);
        EXPECT_EQ(sdk.ReorderIndex, literal.ReorderIndex);
        EXPECT_EQ(sdk.ReorderCount, literal.ReorderCount);
    }
}

TEST(MachineTest, EveryByteValueSurvivesARoundTrip) {
    std::mt19937 rng(3);
    TempDir dir;
    for (int passes : {1, 2}) {
        KeyState ks = KeyState::Random(rng);
        ks.passCount = passes;
        SDK sdk;
        ks.Install(dir.path(), sdk);
        std::string all;
        for (int rep = 0; rep < 3; ++rep)
            for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
        std::string text = all;
        sdk.EncryptString(text);
        EXPECT_EQ(text.size(), all.size());
        EXPECT_NE(text, all);
        sdk.DecryptString(text);
        EXPECT_EQ(text, all);
    }
}

TEST(MachineTest, SameTextGivesSameCipherTextEveryCall) {
    std::mt19937 rng(5);
    TempDir dir;
    SDK sdk;
    KeyState::Random(rng).Install(dir.path(), sdk);
    std::string a = "DDDD", b = "DDDD";
    sdk.EncryptString(a);
    sdk.EncryptString(b);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.size(), 4u);
}

TEST(MachineTest, SetRotorRejectsNonPermutations) {
    SDK sdk;
    EXPECT_THROW(sdk.SetRotor(1, std::string(256, 'a')), CipherError);
    EXPECT_THROW(sdk.SetRotor(21, KeyState::Identity()), CipherError);
    EXPECT_EQ(sdk.Rotor(3), KeyState::Identity());
}

}  // namespace
}  // namespace keyvane
