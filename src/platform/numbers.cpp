#include "platform/numbers.h"

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace keyvane {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

}  // namespace

double Val(std::string_view text) {
    // Gather the characters that can form a number, skipping blanks wherever they are.
    std::string num;
    size_t i = 0;
    auto next = [&]() -> int {
        while (i < text.size() && IsBlank(text[i])) ++i;
        return i < text.size() ? static_cast<unsigned char>(text[i]) : -1;
    };
    int c = next();
    if (c == '+' || c == '-') {
        num += static_cast<char>(c);
        ++i;
        c = next();
    }
    bool digits = false;
    while (c >= '0' && c <= '9') {
        num += static_cast<char>(c);
        digits = true;
        ++i;
        c = next();
    }
    if (c == '.') {
        num += '.';
        ++i;
        c = next();
        while (c >= '0' && c <= '9') {
            num += static_cast<char>(c);
            digits = true;
            ++i;
            c = next();
        }
    }
    if (!digits) return 0.0;
    if (c == 'e' || c == 'E') {
        std::string exp = "e";
        size_t save = i;
        ++i;
        c = next();
        if (c == '+' || c == '-') {
            exp += static_cast<char>(c);
            ++i;
            c = next();
        }
        bool expDigits = false;
        while (c >= '0' && c <= '9') {
            exp += static_cast<char>(c);
            expDigits = true;
            ++i;
            c = next();
        }
        if (expDigits)
            num += exp;
        else
            i = save;
    }
    return std::strtod(num.c_str(), nullptr);
}

double RoundHalfEven(double v) {
    // nearbyint follows the current rounding mode, which is to-nearest-even by default;
    // set it explicitly so a caller's mode cannot change key material.
    const int saved = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double r = std::nearbyint(v);
    std::fesetround(saved);
    return r;
}

int16_t ToInt16(double v) {
    const double r = RoundHalfEven(v);
    if (!std::isfinite(r) || r < -32768.0 || r > 32767.0)
        throw OverflowError("overflow: value outside -32768..32767");
    return static_cast<int16_t>(r);
}

int32_t ToInt32(double v) {
    const double r = RoundHalfEven(v);
    if (!std::isfinite(r) || r < -2147483648.0 || r > 2147483647.0)
        throw OverflowError("overflow: value outside the 32-bit range");
    return static_cast<int32_t>(r);
}

std::string PrintNumber(long long v) {
    std::string s = v < 0 ? "-" : " ";
    const unsigned long long mag =
        v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    s += std::to_string(mag);
    s += ' ';
    return s;
}

std::string StrNumber(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.7g", std::fabs(v));
    std::string digits = buf;
    // %g may fall back to an exponent; keep the plain decimal form where it fits.
    if (digits.find('e') != std::string::npos && std::fabs(v) < 1e15 && std::fabs(v) >= 1e-5) {
        std::snprintf(buf, sizeof buf, "%.7f", std::fabs(v));
        digits = buf;
        if (digits.find('.') != std::string::npos) {
            while (!digits.empty() && digits.back() == '0') digits.pop_back();
            if (!digits.empty() && digits.back() == '.') digits.pop_back();
        }
    }
    return (v < 0 ? "-" : " ") + digits;
}

}  // namespace keyvane
