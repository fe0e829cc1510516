// The main window: its controls, start-up, and the edge between the widgets and the
// program's logic (Session and FileTransfer), which it owns and forwards events to.
#pragma once

#include <QListWidget>
#include <QMainWindow>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "app/PacedDisplay.h"
#include "chat/ChatLook.h"
#include "cipher/sdk.h"
#include "link/MainState.h"
#include "link/MainView.h"
#include "link/Session.h"
#include "platform/folders.h"
#include "platform/platform.h"
#include "platform/qt/QtSock.h"
#include "sysfiles/SystemFiles.h"
#include "transfer/FileTransfer.h"

namespace Ui {
class frmMain;
}

namespace keyvane {

class frmMain : public QMainWindow, public MainView {
    Q_OBJECT
  public:
    // `appFolder` is the program folder with a trailing "/". `adjust` may replace any
    // platform piece before start-up runs.
    explicit frmMain(std::string appFolder, const std::function<void(Platform&)>& adjust = {},
                     QWidget* parent = nullptr);
    ~frmMain() override;

    SDK& sdk() { return sdk_; }
    QtSock& sock() { return sock_; }
    Platform& platform() { return platform_; }
    Session& session() { return session_; }
    FileTransfer& transfer() { return transfer_; }
    SystemFiles& systemFiles() { return systemFiles_; }
    // The connection's state, which the session changes.
    MainState& state() { return state_; }
    const MainState& state() const { return state_; }
    // The activity bars and progress value as they are, which the screen may show a
    // little later.
    const PacedDisplay& display() const { return display_; }
    // Tests use small bounds, which the lists reach quickly.
    void SetListBudgets(const ListBudget& status, const ListBudget& chat) {
        statusBudget_ = status;
        chatBudget_ = chat;
    }

    // Where "Using Keyvane" finds the help page; beside the program unless set.
    void SetHelpPage(std::string path) { helpPage_ = std::move(path); }
    // Another running copy holds the program folder: this one said so, touched no file
    // there and must end without the closing wipe.
    bool Refused() const { return refused_; }

    // "Generate Key": a fresh random key into the key box.
    void GenerateKey();
    // Gives the chat list a look (font.dat at start-up, "Set" of the appearance window).
    void ApplyChatLook(const ChatLook& look);
    // The chat list's look before any font.dat: the window's text-field defaults.
    ChatLook DefaultChatLook() const;

    // MainView
    void UpdateList(const std::string& line) override;
    void UpdateChatList(const std::string& line) override;
    std::string IPText() const override;
    std::string ConnectText() const override;
    void SetConnectText(const std::string& text) override;
    std::string KeyText() const override;
    void SetKeyText(const std::string& text) override;
    std::string ChatText() const override;
    void SetChatText(const std::string& text) override;
    void SetSendButtonsEnabled(bool enabled) override;
    void ShowProgress(bool visible) override;
    void SetProgress(int percent) override;
    void SetHourglass(bool busy) override;
    void BumpSentBar() override;
    void BumpRecvBar() override;
    int SelectedVersion() const override;
    // The caption tells how the connection is protected; "Codes Match: Trust This
    // Person" is offered while a secure link's peer is not verified.
    void ShowSecurity(const LinkSecurity& security) override;

  protected:
    void closeEvent(QCloseEvent* e) override;

  private:
    void StartUp(std::string appFolder);
    void Wire();
    void ShowFontWindow();
    void ShowHelp();
    void ShowAbout();
    // Runs a handler; a failure that reaches it is shown to the user instead of
    // unwinding through the event loop.
    void Guard(const std::function<void()>& handler);
    // Appends to List1 or List2 within what the list may keep.
    void AddLine(QListWidget* list, ListBudget& budget, const std::string& line);
    // The bars and the progress bar catch up with display_ now, or once the pacing
    // allows it.
    void PaintSoon();
    void PaintNow();

    std::unique_ptr<Ui::frmMain> ui_;
    SDK sdk_;
    Platform platform_;
    QtSock sock_;
    MainState state_;
    Session session_;
    FileTransfer transfer_;
    SystemFiles systemFiles_;
    PacedDisplay display_;
    ListBudget statusBudget_, chatBudget_;
    QTimer paintTimer_;
    bool ending_ = false;  // the program is ending; closing runs no hang-up of its own
    bool refused_ = false;
    FolderLock lock_;
    std::string helpPage_;
};

}  // namespace keyvane
