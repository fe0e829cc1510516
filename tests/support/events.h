// Waiting on Qt's event loop in tests that need no window: for the other side of a
// connection, never for measuring time.
#pragma once

#include <functional>

namespace keyvane::test {

// Lets events run until `done` holds or `maxMs` passed; returns whether it holds.
bool WaitUntil(const std::function<bool()>& done, int maxMs = 20000);
// Runs the event loop for `ms`, sleeping while nothing happens.
void RunEventsFor(int ms);
// A port on 127.0.0.1 that nobody listens on right now (0 if none could be found).
int FreePort();

}  // namespace keyvane::test
