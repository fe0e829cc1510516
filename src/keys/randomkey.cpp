#include "keys/randomkey.h"
namespace keyvane {
std::string RandomKey(const std::function<double()>&) { return {}; }  // placeholder
}
