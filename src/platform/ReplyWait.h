// When a peer answers at once (stop-and-wait on a fast link), its answer comes within
// microseconds of our message; letting the program sleep until then costs more than the
// answer, since every round trip would pay two wake-ups. So after answering, the socket
// is watched for a moment before the event loop may sleep. This class decides when to
// watch: a peer that keeps not answering in time is not watched for a while, so a slow
// link or a quiet one costs next to nothing.
#pragma once

#include <cstdint>

namespace keyvane {

class ReplyWait {
  public:
    static constexpr int kMisses = 4;   // answers in a row not in time before resting
    static constexpr int kRest = 64;    // chances let go by while resting
    static constexpr int64_t kUs = 50;  // the longest watch

    bool ShouldWait() {
        if (rest_ == 0) return true;
        --rest_;
        return false;
    }
    // The answer came in time, or not.
    void Waited(bool came) {
        if (came) {
            misses_ = 0;
            return;
        }
        if (++misses_ < kMisses) return;
        // After the rest, one more miss rests again.
        misses_ = kMisses - 1;
        rest_ = kRest;
    }

  private:
    int misses_ = 0;
    int rest_ = 0;
};

}  // namespace keyvane
