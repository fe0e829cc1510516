// The "Generate Key" command's random 18-digit key.
#pragma once

#include <functional>
#include <string>

namespace keyvane {

// 18 digits, the first never "0"; `rnd` draws uniformly from [0, 1).
std::string RandomKey(const std::function<double()>& rnd);

}  // namespace keyvane
