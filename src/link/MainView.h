// What the program's logic may ask of the main window. Texts are bytes (Windows-1252);
// the window converts them at its edge. Tests supply their own view.
#pragma once

#include <string>

#include "link/ViewEvents.h"

namespace keyvane {

// How the open connection is protected, as the window shows it for the connection's
// whole length.
struct LinkSecurity {
    enum class State { None, Plain, Secure };
    State state = State::None;  // None: no connection, or not settled yet
    std::string code;           // Secure: the code both people compare, "482 913"
    bool verified = false;      // Secure: the peer's identity was confirmed before
};

class MainView {
  public:
    virtual ~MainView() = default;

    virtual void UpdateList(const std::string& line) = 0;      // status list, last 12 in view
    virtual void UpdateChatList(const std::string& line) = 0;  // chat list, last 7 in view

    virtual std::string IPText() const = 0;       // txtIP
    virtual std::string ConnectText() const = 0;  // txtConnect
    virtual void SetConnectText(const std::string& text) = 0;
    virtual std::string KeyText() const = 0;  // txtKey
    virtual void SetKeyText(const std::string& text) = 0;
    virtual std::string ChatText() const = 0;  // txtChat
    virtual void SetChatText(const std::string& text) = 0;

    virtual void SetSendButtonsEnabled(bool enabled) = 0;  // Command3, Command4, Command5
    virtual void ShowProgress(bool visible) = 0;           // ProgressBar1
    virtual void SetProgress(int percent) = 0;
    virtual void SetHourglass(bool busy) = 0;  // mouse pointer: hourglass or arrow
    virtual void BumpSentBar() = 0;            // lbSent activity bar
    virtual void BumpRecvBar() = 0;            // lbRecv activity bar

    // The selected system-file version: 0 none, otherwise the row of the version table
    // (1 Veltra 5.5, 2 Veltra 5.5.2, 3 Email, 4 Messenger, 5 FTP).
    virtual int SelectedVersion() const = 0;

    // The connection's protection changed (settled, or the connection ended).
    virtual void ShowSecurity(const LinkSecurity& /*security*/) {}

    // What happened, for a view that acts on it; the window shows the status lines.
    virtual void OnEvent(const ViewEvent& /*event*/) {}
};

}  // namespace keyvane
