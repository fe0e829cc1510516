// Byte views and hex shared by the secure channel's sources.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace keyvane::secure {

inline const unsigned char* Bytes(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

template <size_t N>
std::string_view AsText(const std::array<uint8_t, N>& a) {
    return {reinterpret_cast<const char*>(a.data()), N};
}

bool IsLowerHex(std::string_view s);
// The bytes of lower-case hex digits; nothing for an odd count or any other character.
std::optional<std::string> FromHex(std::string_view hex);

}  // namespace keyvane::secure
