// The main window's view for a console: every status line, chat line and message box
// becomes one line of output (text or JSON), and a sent file's progress a line on a
// terminal. Texts arrive as Windows-1252 bytes and leave as UTF-8.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link/HeadlessView.h"
#include "peer/Terminal.h"

namespace keyvane::peer {

class ConsoleView : public HeadlessView {
  public:
    // `progress` receives the progress line; nullptr for none. JSON is always UTF-8;
    // text lines are in the terminal's encoding.
    ConsoleView(std::FILE* out, std::FILE* progress, bool json, TerminalText term);

    // A message box of the program: one line, like every other event.
    void Message(const std::string& text);
    // A line of keyvane-peer's own (a refusal, a warning): the text as it is, or in
    // JSON an event of `type`.
    void Note(const char* type, const std::string& text);

    void UpdateList(const std::string& line) override;
    void UpdateChatList(const std::string& line) override;
    void ShowProgress(bool visible) override;
    void SetProgress(int percent) override;
    void BumpRecvBar() override;
    // One line when the link settles: "secure" with its code, or "not_secure". The
    // status line that says the same is not repeated.
    void ShowSecurity(const LinkSecurity& security) override;
    // Shown with the status or chat line that follows it, as one line of its own type.
    void OnEvent(const ViewEvent& event) override;

    // Every event as it comes, for the action sequencer.
    std::function<void(const ViewEvent&)> onEvent;
    LinkSecurity settled;  // how the link settled; kept once it ended

  private:
    using Field = std::pair<std::string, std::string>;  // name, JSON value
    void Emit(const char* type, const std::string& text, const std::vector<Field>& fields = {});
    void DrawProgress(bool final);
    void DrawLine(const std::string& utf8);

    std::FILE* out_;
    std::FILE* progress_;
    bool json_;
    TerminalText term_;

    std::string securityLine_;            // the text of the security event of this connection
    std::optional<ViewEvent> pending_;    // waits for its line
    std::optional<ViewEvent> receiving_;  // the file being received
    std::string sending_;                 // path of the file being sent (Windows-1252)
    int64_t sendBytes_ = 0;
    using Clock = std::chrono::steady_clock;
    Clock::time_point blocksFrom_{};  // the first block of the file went out
    Clock::time_point drawn_{};
    bool blocks_ = false;
    Clock::time_point recvFrom_{};  // the first read after the file's name
    bool recvTimed_ = false;
    bool progressShown_ = false;
    int percent_ = 0;
};

// A JSON string literal of UTF-8 text.
std::string JsonString(const std::string& utf8);

// UTF-8 text with its control characters (C0 but CR and LF, DEL, C1) shown as "\x1b",
// so that what a peer sends cannot move the cursor or rewrite the terminal.
std::string VisibleControls(const std::string& utf8);

}  // namespace keyvane::peer
