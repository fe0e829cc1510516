#include "link/Pause.h"

#include <utility>

namespace keyvane {

void Pause::Start(int secs, std::function<void()> done, std::function<bool()> notYet) {
    done_ = std::move(done);
    notYet_ = std::move(notYet);
    left_ = secs < 1 ? 0 : secs;
    begun_ = false;
    if (!platform_.After) {
        // Nothing could happen meanwhile: the wait is over now.
        auto fn = std::move(done_);
        Stop();
        if (fn) fn();
        return;
    }
    if (left_ > 0 && !(notYet_ && notYet_())) {
        begun_ = true;
        last_ = platform_.TimeText();
    }
    Arm();
}

void Pause::Stop() {
    timer_.Stop();
    done_ = nullptr;
    notYet_ = nullptr;
}

void Pause::Arm() {
    timer_.Start(left_ > 0 ? kTickMs : 0, [this] { Tick(); });
}

void Pause::Tick() {
    if (!done_) return;
    if (left_ > 0 && !begun_) {
        if (notYet_ && notYet_()) return Arm();
        begun_ = true;
        last_ = platform_.TimeText();
        return Arm();
    }
    if (left_ > 0) {
        std::string now = platform_.TimeText();
        if (now != last_) {
            last_ = std::move(now);
            --left_;
        }
        if (left_ > 0) return Arm();
    }
    auto fn = std::move(done_);
    Stop();
    fn();
}

}  // namespace keyvane
