#include "transfer/TransferRules.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "platform/cp1252.h"
#include "platform/numbers.h"

namespace keyvane {

BlockSplit SplitLength(int64_t length) {
    if (length < 0) throw OverflowError("negative file length");
    const int64_t nb = length / kBlockSize;
    if (nb > std::numeric_limits<int32_t>::max()) throw OverflowError("file too large");
    return {static_cast<int32_t>(nb), static_cast<int32_t>(length - nb * kBlockSize)};
}

int ProgressValue(int32_t currentBlock, int32_t nb) {
    if (nb == 0) return 100;
    const double v = std::floor(static_cast<double>(currentBlock) / nb * 100.0);
    return v > 100.0 ? 100 : static_cast<int>(v);
}

std::string BareName(std::string_view nativePath) {
#ifdef _WIN32
    const size_t cut = nativePath.find_last_of("\\/");
#else
    const size_t cut = nativePath.find_last_of('/');
#endif
    return Utf8ToCp1252(cut == std::string_view::npos ? nativePath : nativePath.substr(cut + 1));
}

namespace {

// Bytes no file name may hold on some system: controls (including the C1 codes that
// Windows-1252 leaves unassigned) and what Windows reserves.
bool Refused(unsigned char c) {
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) return true;
    return std::strchr("<>:\"/\\|?*", c) != nullptr;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Windows opens a device instead of a file for these stems, whatever the extension.
bool IsDeviceName(std::string_view name) {
    std::string stem(name.substr(0, name.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (char& c : stem) c = Lower(c);
    if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul" || stem == "conin$" ||
        stem == "conout$")
        return true;
    if (stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0)) {
        const unsigned char d = static_cast<unsigned char>(stem[3]);
        return (d >= '0' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3;  // also ¹ ² ³
    }
    return false;
}

void StripTrailingDotsAndBlanks(std::string& s) {
    while (!s.empty() && (s.back() == '.' || s.back() == ' ')) s.pop_back();
}

size_t Utf8Length(std::string_view cp1252) {
    return Cp1252ToUtf8(cp1252).size();
}

constexpr size_t kMaxNameBytes = 255;  // longest file name on common systems (UTF-8 bytes)
constexpr size_t kMaxKeptExtension = 16;

}  // namespace

std::string SanitizeReceivedName(std::string_view received) {
    const size_t cut = received.find_last_of("/\\");
    std::string name(cut == std::string_view::npos ? received : received.substr(cut + 1));
    for (char& c : name)
        if (Refused(static_cast<unsigned char>(c))) c = '_';
    // Windows drops trailing dots and blanks; "." and ".." vanish the same way.
    StripTrailingDotsAndBlanks(name);
    if (name.empty()) return kFallbackName;
    if (IsDeviceName(name)) name = "_" + name;

    if (Utf8Length(name) > kMaxNameBytes) {
        const size_t dot = name.rfind('.');
        std::string ext;
        if (dot != std::string::npos && dot > 0 && name.size() - dot <= kMaxKeptExtension)
            ext = name.substr(dot);
        std::string stem = name.substr(0, name.size() - ext.size());
        // Every character takes at least one byte: cut at once what can never fit, so a
        // name of a megabyte is not shortened one character at a time.
        if (stem.size() > kMaxNameBytes) stem.resize(kMaxNameBytes);
        // Counted down character by character, not converted again for each one.
        size_t length = Utf8Length(stem) + Utf8Length(ext);
        while (!stem.empty() && length > kMaxNameBytes) {
            length -= Utf8Length(std::string_view(stem).substr(stem.size() - 1));
            stem.pop_back();
        }
        name = stem + ext;
        StripTrailingDotsAndBlanks(name);
        if (name.empty()) return kFallbackName;
    }
    return name;
}

std::string NumberedName(std::string_view name, int n) {
    if (n <= 1) return std::string(name);
    const size_t dot = name.rfind('.');
    const bool hasExt = dot != std::string_view::npos && dot > 0;
    std::string stem(hasExt ? name.substr(0, dot) : name);
    std::string ext(hasExt ? name.substr(dot) : std::string_view());
    const std::string suffix = "-" + std::to_string(n);
    size_t length = Utf8Length(stem) + suffix.size() + Utf8Length(ext);
    while (length > kMaxNameBytes && !(stem.empty() && ext.empty())) {
        std::string& cut = stem.empty() ? ext : stem;
        length -= Utf8Length(std::string_view(cut).substr(cut.size() - 1));
        cut.pop_back();
    }
    return stem + suffix + ext;
}

}  // namespace keyvane
