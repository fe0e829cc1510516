// Number conversions shared by the settings files and the key files.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace keyvane {

// A value that does not fit the variable it is converted into.
struct OverflowError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Lenient text-to-number parse: blanks, tabs and line feeds anywhere are ignored;
// an optional sign, digits, an optional decimal point with digits and an optional
// exponent are read; the number ends at the first character that cannot continue it;
// text that does not start with a number gives 0.
double Val(std::string_view text);

// Rounds to the nearest whole number, halves to the even neighbour.
double RoundHalfEven(double v);

// Rounded conversions with range checks; throw OverflowError when out of range.
int16_t ToInt16(double v);
int32_t ToInt32(double v);

// A number printed straight into a text file: sign place (blank or "-"), digits,
// one trailing blank. 20 gives " 20 ".
std::string PrintNumber(long long v);

// A number turned into text: sign place and digits only. 8.25 gives " 8.25",
// -2147483643 gives "-2147483643". At most 7 significant digits, as a
// single-precision value carries.
std::string StrNumber(double v);

}  // namespace keyvane
