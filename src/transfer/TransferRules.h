// The arithmetic and naming rules of file transfer, apart from any socket or window.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace keyvane {

constexpr int64_t kBlockSize = 1000;

// Whole blocks and the rest of a file of `length` bytes. Throws OverflowError when the
// block count does not fit the 32-bit counter.
struct BlockSplit {
    int32_t nb = 0;
    int32_t rm = 0;
};
BlockSplit SplitLength(int64_t length);

// The longest file that SplitLength takes: the most whole blocks the counter holds and
// the longest rest. A peer that announces more is not sending a file of ours.
constexpr uint64_t kMaxFileLength = uint64_t{INT32_MAX} * kBlockSize + (kBlockSize - 1);

// Sender's progress in percent: 100 when there is no whole block, otherwise
// currentBlock / nb * 100 in double precision (divide first), rounded down, at most 100.
int ProgressValue(int32_t currentBlock, int32_t nb);

// The name sent in "FL:": the part of a native path after its last separator, as
// Windows-1252 bytes.
std::string BareName(std::string_view nativePath);

// Turns the name received in "FL:" (Windows-1252 bytes, from the network) into a
// name that stays inside the receive folder and is valid on any system: the part
// after the last "/" or "\", with control characters and characters that file systems
// refuse replaced by "_", trailing dots and blanks removed, device names defused,
// the length bounded, and a fallback for what is left empty.
std::string SanitizeReceivedName(std::string_view received);

// The n-th name tried for a received file that must not replace another: `name` itself
// for n <= 1, else "-n" before the last extension ("a.tar-2.gz"), or at the end of a
// name without one or of a dot-file (".profile-2"). The stem is shortened so the name
// still fits the longest file name.
std::string NumberedName(std::string_view name, int n);

// The name used when nothing usable is left of the received one.
inline constexpr const char* kFallbackName = "unnamed";

}  // namespace keyvane
