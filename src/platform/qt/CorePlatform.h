// The platform pieces that need no window: clock, random numbers, the machine's
// address and the event loop, over QtCore and QtNetwork.
#pragma once

#include "platform/platform.h"

namespace keyvane {

// Fills the clock, random-number, LocalIP and event-loop hooks of `p`.
void InstallQtCorePlatform(Platform& p);

}  // namespace keyvane
