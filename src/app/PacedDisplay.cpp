#include "app/PacedDisplay.h"

#include "app/StartUp.h"

namespace keyvane {

void PacedDisplay::Bump(std::string& bar) {
    bar = NextActivityBar(bar);
    pending_ = true;
}

void PacedDisplay::SetProgress(int percent) {
    if (percent == progress_) return;
    progress_ = percent;
    pending_ = true;
}

void PacedDisplay::ClearBars() {
    sent_.clear();
    recv_.clear();
    pending_ = true;
}

int64_t PacedDisplay::WaitMs(int64_t nowMs) const {
    if (!everPainted_) return 0;
    const int64_t since = nowMs - lastPaintMs_;
    // A clock that went back must not stop painting.
    if (since < 0 || since >= kIntervalMs) return 0;
    return kIntervalMs - since;
}

void PacedDisplay::Painted(int64_t nowMs) {
    pending_ = false;
    everPainted_ = true;
    lastPaintMs_ = nowMs;
}

}  // namespace keyvane
