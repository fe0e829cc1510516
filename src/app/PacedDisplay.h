// The activity bars and the progress value as the program keeps them, exact at every
// event, and when the screen may catch up with them. A block can come and go many
// thousand times a second; painting a caption or a bar each time cost the transfer most
// of its speed, while a person sees no more than about thirty changes a second.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
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

// What the status list or the chat list keeps: the last kMaxLines lines, each cut to
// kMaxLineChars characters, and no more than kMaxListChars characters in all. A peer
// that sends line after line of a megabyte would otherwise grow the window without bound.
class ListBudget {
  public:
    static constexpr size_t kMaxLines = 10000;
    static constexpr size_t kMaxLineChars = 4096;
    static constexpr size_t kMaxListChars = size_t{4} << 20;
    // Windows-1252's ellipsis, which ends a line that was cut.
    static constexpr char kEllipsis = '\x85';

    explicit ListBudget(size_t maxLines = kMaxLines, size_t maxChars = kMaxListChars)
        : maxLines_(maxLines), maxChars_(maxChars) {}

    // `line` (Windows-1252) as the list shows it: whole, or cut with an ellipsis at its end.
    static std::string Shown(const std::string& line);
    // A line of `chars` characters joins the list; returns how many of the oldest lines
    // must leave it. The newest always stays.
    size_t Add(size_t chars);
    void Clear() {
        lengths_.clear();
        total_ = 0;
    }
    size_t Lines() const { return lengths_.size(); }
    size_t Chars() const { return total_; }

  private:
    size_t maxLines_, maxChars_;
    std::deque<size_t> lengths_;
    size_t total_ = 0;
};

}  // namespace keyvane
