// The "Generate Key" command's random 18-digit key.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace keyvane {

// 18 digits, each as likely as the others, the first never "0". `below(n)` draws a whole
// number uniformly from [0, n) (a secure source: the key is a secret).
std::string RandomKey(const std::function<uint32_t(uint32_t n)>& below);

}  // namespace keyvane
