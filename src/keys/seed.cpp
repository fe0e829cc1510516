#include "keys/seed.h"
namespace keyvane {
std::string CombinedAddressText(bool, const std::string&, const std::string&) { return {}; }  // placeholder
std::string ConnectionSeed(const std::string&) { return {}; }  // placeholder
}
