#include "app/PacedDisplay.h"

#include <algorithm>

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

std::string ListBudget::Shown(const std::string& line) {
    if (line.size() <= kMaxLineChars) return line;
    std::string cut = line.substr(0, kMaxLineChars - 1);
    cut.push_back(kEllipsis);
    return cut;
}

size_t ListBudget::Add(size_t chars) {
    chars = std::min(chars, kMaxLineChars);
    lengths_.push_back(chars);
    total_ += chars;
    size_t leave = 0;
    while (lengths_.size() > 1 && (lengths_.size() > maxLines_ || total_ > maxChars_)) {
        total_ -= lengths_.front();
        lengths_.pop_front();
        ++leave;
    }
    return leave;
}

}  // namespace keyvane
