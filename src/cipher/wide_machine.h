// The rotor machine 64 characters at a time, on processors with 64-byte byte permutes.
// Every rotor string is a fixed table and a character's look-up through it is
// table[(c + offset) mod 256], so the characters of a batch can share one permute per
// string as long as they visit the strings in the same order: each character walks
// the twenty strings cyclically from the one in slot 1 (backwards from slot 20 when
// deciphering), and a character that comes after a change of the rotor order only
// starts its walk one string later.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace keyvane {

struct WideMachineState {
    static constexpr int kStrings = 20;
    int shift = 0;                                // slot k holds string (k + shift) % 20
    std::array<uint8_t, kStrings> offset{};       // how far each string has turned
    std::array<uint8_t, kStrings> slotStep{};     // what slot k adds to its string's offset
    const int32_t* schedule = nullptr;            // entries 0..200
    int32_t count = 0, threshold = 0, index = 1;  // the rotor-order schedule
};

// Whether this processor runs the wide machine (and tests have not turned it off).
bool WideMachineUsable();
// Tests run the narrow machine on processors that have the wide one.
void AllowWideMachine(bool allow);

// Transforms buf[0..n) and advances `state` past it; returns how many characters were
// done (n, or 0 where it cannot run).
// `tables`: string t's 256 bytes start at tables + t * stride (its inverse when
// deciphering).
size_t RunWideMachine(WideMachineState& state, const uint8_t* tables, size_t stride, int passes,
                      bool encipher, uint8_t* buf, size_t n);

}  // namespace keyvane
