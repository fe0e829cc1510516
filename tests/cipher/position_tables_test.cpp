// Short texts through per-position tables: the same bytes and the same machine state
// as the machine itself, on every key state and after every kind of key change.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "cipher/key_state.h"
#include "cipher/sdk.h"
#include "cipher/wide_machine.h"
#include "support/tempdir.h"

namespace keyvane {
namespace {

using test::KeyState;
using test::RandomText;
using test::TempDir;

struct WideAgain {
    ~WideAgain() { AllowWideMachine(true); }
};

// The machine alone, never the tables: the reference.
std::string ByMachine(SDK& sdk, std::string text, bool encipher) {
    sdk.StartStringOperation();
    sdk.RunMachine(text, encipher);
    sdk.FinishStringOperation();
    return text;
}

// What a call leaves behind in the module state.
std::string MachineState(const SDK& sdk) {
    std::string rotors;
    for (int k = 1; k <= SDK::kRotors; ++k) rotors += sdk.Rotor(k);
    std::string s = std::to_string(std::hash<std::string>{}(rotors));
    for (int32_t v : {sdk.ReorderIndex, sdk.ReorderThreshold, sdk.ReorderCount,
                      int32_t{sdk.CurChar}, int32_t{sdk.PassesDone}})
        s += "," + std::to_string(v);
    return s;
}

// Enough characters on one key state for the tables to be built from it.
void WarmUp(SDK& sdk) {
    std::string block(SDK::kBlockLength, 'w');
    for (size_t i = 0; i <= SDK::kTableWarmup / SDK::kBlockLength; ++i)
        sdk.EncryptBlock(block.data(), block.size());
    ASSERT_TRUE(sdk.PositionTablesBuilt());
}

std::string Encrypted(SDK& sdk, std::string text) {
    sdk.EncryptBlock(text.data(), text.size());
    return text;
}

// Every length up to past the tables' end, both directions, the tables built on either
// dispatch path; schedule entries of 0 and 1 cycle the order on almost every character.
TEST(PositionTables, EqualTheMachineForEveryLength) {
    WideAgain restore;
    std::mt19937 rng(71);
    for (bool wide : {true, false}) {
        SCOPED_TRACE(wide ? "wide" : "narrow");
        AllowWideMachine(wide);
        TempDir dir;
        SDK tables, machine;
        KeyState ks = KeyState::Random(rng);
        for (int i = 1; i <= 200; i += 3) ks.table[i] = i % 2;
        ks.Install(dir.path(), tables);
        ks.Install(dir.path(), machine);
        WarmUp(tables);
        // The same last character on both, as an empty text leaves it.
        ASSERT_EQ(Encrypted(tables, "x"), ByMachine(machine, "x", true));
        for (size_t n = 0; n <= SDK::kTablePositions + 20; ++n) {
            SCOPED_TRACE(n);
            const std::string plain = RandomText(rng, n);
            std::string text = plain;
            if (n % 2)
                tables.EncryptBlock(text.data(), n);
            else
                tables.EncryptString(text);
            ASSERT_EQ(text, ByMachine(machine, plain, true));
            ASSERT_EQ(MachineState(tables), MachineState(machine));
            const std::string cipher = text;
            tables.DecryptBlock(text.data(), n);
            ASSERT_EQ(text, plain);
            ASSERT_EQ(text, ByMachine(machine, cipher, false));
            ASSERT_EQ(MachineState(tables), MachineState(machine));
        }
    }
}

// Each kind of key change shows in the very next call, and the tables built again
// from the new state agree with the machine.
TEST(PositionTables, FollowEveryKindOfKeyChange) {
    std::mt19937 rng(72);
    TempDir dir, other;
    SDK sdk;
    KeyState ks = KeyState::Random(rng);
    ks.Install(dir.path(), sdk);
    const std::string plain = RandomText(rng, SDK::kBlockLength);
    TempDir ref;  // the reference's own files: writing ours would count as a change
    auto expect = [&](const KeyState& keys) {
        SDK fresh;
        keys.Install(ref.path(), fresh);
        return ByMachine(fresh, plain, true);
    };
    std::string last;
    auto check = [&](const char* what) {
        SCOPED_TRACE(what);
        const std::string now = expect(ks);
        ASSERT_NE(now, last);
        ASSERT_EQ(Encrypted(sdk, plain), now);
        WarmUp(sdk);
        ASSERT_EQ(Encrypted(sdk, plain), now);
        last = now;
    };
    WarmUp(sdk);
    check("first keys");

    const KeyState before = ks;
    ks.rotors[3].swap(ks.rotors[4]);
    TextWriter brs(dir.file("k1.brs"));
    for (int k = 1; k <= 20; ++k) brs.Write(ks.rotors[k]);
    brs.Close();
    // The working rotors still hold the old ones for this call, then are restored.
    EXPECT_EQ(Encrypted(sdk, plain), expect(before));
    check("k1.brs");

    ks.passCount = ks.passCount % 3 + 1;
    ks.Install(dir.path(), sdk);
    check("k2.bin");
    ks.up[7] = !ks.up[7];
    ks.Install(dir.path(), sdk);
    check("k3.bin");
    ks.steps[9] = ks.steps[9] % 256 + 1;
    ks.Install(dir.path(), sdk);
    check("k4.bin");
    ks.table[1] += 5;
    sdk.ReorderTable[1] = ks.table[1];
    check("reorder table");
    const KeyState elsewhere = KeyState::Random(rng);
    elsewhere.Install(other.path(), sdk);  // another folder
    ks = elsewhere;
    check("folder");
}

// Calls inside one scope share a look at the key folder that sees every change made
// before the scope opened, and our own key files written inside it.
TEST(PositionTables, OneLookSeesChangesMadeBeforeIt) {
    std::mt19937 rng(73);
    TempDir dir;
    SDK sdk;
    KeyState ks = KeyState::Random(rng);
    ks.Install(dir.path(), sdk);
    WarmUp(sdk);
    const std::string plain = RandomText(rng, 300);
    auto expect = [&] {
        SDK fresh;
        fresh.AppFolder = dir.path();
        fresh.ReorderTable = sdk.ReorderTable;
        return ByMachine(fresh, plain, true);
    };
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ks.steps[round + 1] = ks.steps[round + 1] % 256 + 1;
        ks.Install(dir.path(), sdk);
        SDK::OneLook look(sdk);
        EXPECT_EQ(Encrypted(sdk, plain), expect());
        sdk.BuildKeyFiles("seed" + std::to_string(round));
        EXPECT_EQ(Encrypted(sdk, plain), expect());
        const std::string before = Encrypted(sdk, plain);
        for (int i = 1; i <= 100; ++i)
            sdk.KeyNumbers[i] = static_cast<int16_t>(sdk.KeyNumbers[i] + 7);
        sdk.WriteRotorSettings();
        ASSERT_NE(expect(), before);
        EXPECT_EQ(Encrypted(sdk, plain), expect());
    }
}

}  // namespace
}  // namespace keyvane
