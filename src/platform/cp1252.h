// Windows-1252 at the edge of the UI: one byte per character, all 256 values round-trip.
// The five codes Windows-1252 leaves unassigned map to the C1 control of the same value.
#pragma once

#include <string>
#include <string_view>

namespace keyvane {

// Bytes to Unicode text (UTF-8 encoded).
std::string Cp1252ToUtf8(std::string_view bytes);
// Unicode text (UTF-8 encoded) to bytes; a character with no Windows-1252 byte becomes "?".
std::string Utf8ToCp1252(std::string_view utf8);

// Code point of one byte, and the byte of a code point (-1 when there is none).
char32_t Cp1252ToUnicode(unsigned char b);
int UnicodeToCp1252(char32_t cp);

}  // namespace keyvane
