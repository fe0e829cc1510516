// The activity bars and the progress value as the program keeps them, exact at every
// event, and when the screen may catch up with them. A block can come and go many
// thousand times a second; painting a caption or a bar each time cost the transfer most
// of its speed, while a person sees no more than about thirty changes a second.
#pragma once

#include <cstdint>
#include <string>

namespace keyvane {

class PacedDisplay {
  public:
    static constexpr int64_t kIntervalMs = 33;  // about thirty paints a second

    void BumpSent() { Bump(sent_); }  // lbSent: one "|" more, as NextActivityBar says
    void BumpRecv() { Bump(recv_); }  // lbRecv
    void SetProgress(int percent);    // ProgressBar1's value
    // Start-up: both bars empty.
    void ClearBars();

    const std::string& SentBar() const { return sent_; }
    const std::string& RecvBar() const { return recv_; }
    int Progress() const { return progress_; }

    // The state changed since the screen last caught up.
    bool Pending() const { return pending_; }
    // How long the screen must still wait at `nowMs` (a monotonic clock), 0 for not at
    // all: at least kIntervalMs lie between two paints.
    int64_t WaitMs(int64_t nowMs) const;
    // The screen shows the state as it is at `nowMs`.
    void Painted(int64_t nowMs);

  private:
    void Bump(std::string& bar);

    std::string sent_, recv_;
    int progress_ = -1;  // never set, like a progress bar's value before its first
    bool pending_ = false;
    bool everPainted_ = false;
    int64_t lastPaintMs_ = 0;
};

}  // namespace keyvane
