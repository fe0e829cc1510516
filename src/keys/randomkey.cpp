#include "keys/randomkey.h"

namespace keyvane {

std::string RandomKey(const std::function<uint32_t(uint32_t n)>& below) {
    std::string key;
    for (int i = 0; i < 18; ++i) {
        const uint32_t n = i == 0 ? 9 : 10;
        key += static_cast<char>((i == 0 ? '1' : '0') + below(n) % n);
    }
    return key;
}

}  // namespace keyvane
