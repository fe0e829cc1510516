// Pause: a wait that ends at the `secs`-th change of the clock's time of day, read as
// text to the second, after it began: Pause(2) ends after more than one and at most
// two seconds. A short timer reads the clock, so events are handled all through the
// wait and nothing runs inside the handler that started it.
#pragma once

#include <functional>
#include <string>

#include "platform/platform.h"

namespace keyvane {

class Pause {
  public:
    static constexpr int kTickMs = 10;

    explicit Pause(Platform& platform) : platform_(platform), timer_(platform) {}

    // Starts a pause of `secs` changes (1 or more; less ends at the next tick) and calls
    // `done` from the event loop when it is over. Replaces a pause not over. While
    // `notYet` says so, the pause has not begun: what it follows is still held back.
    // Without timers (no event loop) `done` runs at once.
    void Start(int secs, std::function<void()> done, std::function<bool()> notYet = {});
    // Forgets a pause not over; its `done` is never called.
    void Stop();
    bool Running() const { return done_ != nullptr; }

  private:
    void Tick();
    void Arm();

    Platform& platform_;
    OneShot timer_;
    std::function<void()> done_;
    std::function<bool()> notYet_;
    std::string last_;
    int left_ = 0;
    bool begun_ = false;
};

}  // namespace keyvane
