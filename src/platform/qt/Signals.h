// Termination signals handed to the event loop, so that what must happen before the
// program ends (hang-up, wipe of the key files) runs as an ordinary event.
#pragma once

#include <functional>

namespace keyvane {

// Handles SIGTERM, SIGHUP and SIGINT from now on: `handler` runs on the event loop of
// the thread that calls this, once per arrival. Call once, after QCoreApplication
// exists; later calls are ignored.
void OnTerminationSignals(std::function<void()> handler);

}  // namespace keyvane
