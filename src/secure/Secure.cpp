#include "secure/Secure.h"

#include <sodium.h>

namespace keyvane::secure {

bool Available() {
    return sodium_init() >= 0;
}

}  // namespace keyvane::secure
