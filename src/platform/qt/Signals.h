// Termination signals handed to the event loop, so that what must happen before the
// program ends (hang-up, wipe of the key files) runs as an ordinary event.
#pragma once

#include <functional>
#include <string>

namespace keyvane {

// Handles SIGTERM, SIGHUP and SIGINT from now on: `handler` runs on the event loop of
// the thread that calls this, once per arrival. Call once, after QCoreApplication
// exists; later calls are ignored.
void OnTerminationSignals(std::function<void()> handler);

// From now on a program that ends by std::terminate (an exception nobody caught, in an
// event handler or anywhere else) first wipes the key files in `folder`, then aborts.
// Only for a folder this copy holds the lock of. A later call names another folder.
void WipeOnTerminate(const std::string& folder);

}  // namespace keyvane
