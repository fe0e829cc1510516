// Everything that waits for a person, reads the clock or the machine, or ends the
// program. The window installs the real pieces (platform/qt); a test replaces any of
// them to answer without a person and to read what was said.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace keyvane {

struct FontChoice {
    std::string name;  // Windows-1252 bytes
    double size = 0;   // points
};

struct Platform {
    // Message box: caption "Keyvane", no icon, one OK button. Text is Windows-1252.
    std::function<void(const std::string& text)> MsgBox;
    // "Send Confirm" box with Yes and No; true for Yes.
    std::function<bool(const std::string& text)> ConfirmBox;
    // File-open dialog; the chosen path (native, UTF-8) or "" when cancelled.
    std::function<std::string()> OpenFileName;
    // Colour chooser: the colour accepted (0x00BBGGRR), nothing when cancelled.
    std::function<std::optional<int32_t>()> ChooseColor;
    // Font chooser: the font accepted, nothing when cancelled.
    std::function<std::optional<FontChoice>()> ChooseFont;
    // Folder picker for version 5.5.2 (frmPathSelect): returns the ProductPath it leaves
    // ("" after Cancel).
    std::function<std::string()> PickProductPath;

    // Clock: time of day "HH:MM:SS" (24-hour).
    std::function<std::string()> TimeText;
    // Milliseconds on a clock that only moves forward: paces the window's painting and
    // bounds short waits. When unset, the link uses the process's steady clock.
    std::function<int64_t()> MonotonicMs;
    // A whole number drawn uniformly from [0, n) from the operating system's random
    // source, for secrets.
    std::function<uint32_t(uint32_t n)> SystemRandom;
    // The machine's IPv4 address as dotted decimal.
    std::function<std::string()> LocalIP;

    // Event loop: run all pending events; or wait up to `ms` for events and run them.
    std::function<void()> DoEvents;
    std::function<void(int ms)> WaitForEvents;
    // Hand a short wait to the system (used by Pause so it does not spin).
    std::function<void(int ms)> Sleep;

    // Calls `fn` once from the event loop, about `ms` milliseconds from now. Unset where
    // there is no event loop (the fuzzer): then nothing waits on a timer. Use OneShot,
    // which can be cancelled.
    std::function<void(int ms, std::function<void()> fn)> After;

    // End the program at once.
    std::function<void()> EndProgram;
};

// A one-shot timer on Platform::After. Start replaces a pending shot; Stop and the
// destructor cancel it, so a shot never reaches an owner that is gone.
class OneShot {
  public:
    explicit OneShot(Platform& platform) : platform_(platform) {}
    ~OneShot() { Stop(); }
    OneShot(const OneShot&) = delete;
    OneShot& operator=(const OneShot&) = delete;

    // False when the platform has no timers (nothing will be called).
    bool Start(int ms, std::function<void()> fn) {
        if (!platform_.After) return false;
        auto shot = std::make_shared<std::function<void()>>(std::move(fn));
        shot_ = shot;
        platform_.After(ms, [this, weak = std::weak_ptr<std::function<void()>>(shot)] {
            // Alive only while this timer holds it: the owner is still there.
            if (auto s = weak.lock(); s && s == shot_) {
                shot_.reset();
                (*s)();
            }
        });
        return true;
    }
    void Stop() { shot_.reset(); }
    bool Pending() const { return shot_ != nullptr; }

  private:
    Platform& platform_;
    std::shared_ptr<std::function<void()>> shot_;
};

}  // namespace keyvane
