#include "keys/seed.h"

namespace keyvane {

std::string CombinedAddressText(bool isHost, const std::string& ownIP, const std::string& peerIP) {
    return isHost ? ownIP + "." + peerIP : peerIP + "." + ownIP;
}

std::string ConnectionSeed(const std::string& combined) {
    // Only the digits "1".."9" count; everything else ("0", letters of a host name,
    // ":" of IPv6 text) is skipped, and "." moves on to the next field. Digits of a
    // ninth or later field go to no part, a part keeps its first 3 digits and the digit
    // string its first 24. Two dotted-decimal IPv4 addresses are untouched by these
    // limits, and any text gives 8..48 digits: never too long, never empty.
    constexpr size_t kParts = 8, kPartDigits = 3, kMaxDigits = 24;
    std::string parts[kParts];
    std::string digits;
    size_t p = 0;
    for (char c : combined) {
        if (c == '.') {
            ++p;
        } else if (c >= '1' && c <= '9') {
            if (p < kParts && parts[p].size() < kPartDigits) parts[p] += c;
            if (digits.size() < kMaxDigits) digits += c;
        }
    }
    for (auto& part : parts)
        if (part.empty()) part.push_back('1');

    // From both ends inwards: last, first, last but one, second, ...
    std::string seed;
    for (size_t a = 0, b = digits.size(); a < b; ++a, --b) {
        seed += digits[b - 1];
        seed += digits[a];
    }
    for (int i : {3, 6, 5, 1, 4, 8, 2, 7}) seed += parts[i - 1];
    return seed;
}

}  // namespace keyvane
