#include "app/frmMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QStyle>
#include <QStyleOptionButton>
#include <cstdio>
#include <limits>

#include "app/StartUp.h"
#include "chat/SystemColors.h"
#include "chat/frmFont.h"
#include "help/Help.h"
#include "help/frmAbout.h"
#include "help/frmBrowser.h"
#include "keys/randomkey.h"
#include "link/Guard.h"
#include "platform/cp1252.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/qt/QtPlatform.h"
#include "sysfiles/SystemFiles.h"
#include "sysfiles/frmPathSelect.h"
#include "ui_frmMain.h"

namespace keyvane {

namespace {

constexpr int kStatusLines = 12;
constexpr int kChatLines = 7;
constexpr const char* kCaption = "Veltra Encryption Keyvane";

// Appending keeps the last `lines` lines in view: line count − `lines` goes to the top.
// Where the list's font fits fewer lines, the newest is still scrolled into view.
void KeepLastLinesInView(QListWidget* list, int lines) {
    const int count = list->count();
    const int top = TopIndexToShow(count, lines);
    if (top >= 0) list->scrollToItem(list->item(top), QAbstractItemView::PositionAtTop);
    list->scrollToItem(list->item(count - 1), QAbstractItemView::EnsureVisible);
}

// Breaks a button caption into lines that fit beside the button's indicator.
void WrapCaption(QRadioButton* b) {
    QStyleOptionButton opt;
    opt.initFrom(b);
    const int indicator = b->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, &opt, b) +
                          b->style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, &opt, b);
    const int room = b->width() - indicator - 2;
    const QFontMetrics fm(b->font());
    QString out, line;
    for (const QString& word : b->text().split(' ')) {
        const QString tried = line.isEmpty() ? word : line + ' ' + word;
        if (!line.isEmpty() && fm.horizontalAdvance(tried) > room) {
            out += line + '\n';
            line = word;
        } else {
            line = tried;
        }
    }
    b->setText(out + line);
}

}  // namespace

frmMain::frmMain(std::string appFolder, const std::function<void(Platform&)>& adjust,
                 QWidget* parent)
    : QMainWindow(parent),
      ui_(std::make_unique<Ui::frmMain>()),
      session_(state_, *this, sdk_, platform_, sock_),
      transfer_(session_, *this, platform_, sdk_),
      systemFiles_(session_, transfer_, *this, platform_) {
    setFont(WindowFont());
    ui_->setupUi(this);
    WrapCaption(ui_->optMsg);
    FitLabels(this);
    ui_->ProgressBar1->setRange(0, 100);
    ui_->txtChat->setMaxLength(std::numeric_limits<int>::max());  // a chat line has no limit
    QPalette sent = ui_->lbSent->palette();
    sent.setColor(QPalette::WindowText, QColor(192, 0, 0));
    ui_->lbSent->setPalette(sent);
    QPalette recv = ui_->lbRecv->palette();
    recv.setColor(QPalette::WindowText, QColor(0, 192, 0));
    ui_->lbRecv->setPalette(recv);
    // The client area of the design, with the menu bar above it.
    resize(602, 412 + ui_->menubar->sizeHint().height());

    InstallQtPlatform(platform_, this);
    platform_.PickProductPath = [this] { return ShowPathSelect(this); };
    if (adjust) adjust(platform_);
    // Once the program is ending, closing the window must not hang up or wipe again.
    platform_.EndProgram = [this, end = platform_.EndProgram] {
        ending_ = true;
        if (end) end();
    };

    paintTimer_.setSingleShot(true);
    connect(&paintTimer_, &QTimer::timeout, this, [this] { PaintNow(); });

    Wire();
    StartUp(std::move(appFolder));
    CenterOnScreen(this);
}

// The session goes before the socket (members end in reverse order) and unhooks the
// socket's events itself, so nothing the socket reports on its way out reaches it.
frmMain::~frmMain() = default;

void frmMain::Wire() {
    auto on = [this](QAbstractButton* b, const std::function<void()>& handler) {
        connect(b, &QAbstractButton::clicked, this, [this, handler] { Guard(handler); });
    };
    auto onMenu = [this](QAction* a, const std::function<void()>& handler) {
        connect(a, &QAction::triggered, this, [this, handler] { Guard(handler); });
    };
    on(ui_->Command1, [this] { session_.WaitForConnect(); });
    on(ui_->Command2, [this] { session_.Connect(); });
    on(ui_->Command3, [this] { session_.SendKey(); });
    on(ui_->Command4, [this] { systemFiles_.SendSystemFiles(); });
    on(ui_->Command5, [this] { session_.SendChatLine(); });
    on(ui_->Command6, [this] { GenerateKey(); });
    on(ui_->Command7, [this] { ShowFontWindow(); });
    connect(ui_->txtChat, &QLineEdit::returnPressed, this,
            [this] { Guard([this] { session_.SendChatLine(); }); });
    onMenu(ui_->flesend, [this] { transfer_.SendFileCommand(); });
    onMenu(ui_->fletrust, [this] { session_.TrustPeer(); });
    onMenu(ui_->fleext, [this] { session_.Exit(); });
    onMenu(ui_->hlpabt, [this] { ShowAbout(); });
    onMenu(ui_->hlp, [this] { ShowHelp(); });
}

void frmMain::StartUp(std::string appFolder) {
    std::string trouble;

    display_.ClearBars();
    PaintNow();

    sdk_.AppFolder = std::move(appFolder);
    transfer_.SetReceiveFolder(sdk_.AppFolder + "Recv/");
    if (helpPage_.empty()) helpPage_ = sdk_.AppFolder + "overview.htm";

    // A per-user folder may not exist yet; the program's own folder always does.
    const FolderStart opened = OpenProgramFolder(sdk_, lock_, sdk_.AppFolder, CreateFolderChain);
    if (opened.notMade) trouble += Utf8ToCp1252(opened.notMade->what()) + ".\n";
    if (opened.held) {
        refused_ = true;
        ending_ = true;
        const std::string why = "Keyvane is already running with its files in " + sdk_.AppFolder +
                                "\nA second copy would overwrite that copy's key files, "
                                "so this one will close.";
        // Also for a terminal, where the box may be hidden or never answered.
        std::fprintf(stderr, "keyvane: %s\n", why.c_str());
        platform_.MsgBox(Utf8ToCp1252(why));
        return;
    }
    if (!opened.leftover.empty())
        trouble += "Key files left by an earlier run could not be wiped (" +
                   Utf8ToCp1252(opened.leftover) + ").\n";
    if (opened.lockUnknown)
        trouble += "Keyvane cannot tell whether another copy uses this folder (" +
                   Utf8ToCp1252(opened.lockUnknown->what()) + ").\n";

    try {
        state_.PortStr = ReadOrCreatePort(sdk_.AppFolder);
    } catch (const FileError& e) {
        state_.PortStr = "7777";
        trouble += "port.dat could not be read or created (" + Utf8ToCp1252(e.what()) +
                   "); Keyvane uses port 7777.\n";
    }
    ui_->txtPort->setText(ToQ(state_.PortStr));

    ui_->txtIP->setText(ToQ(platform_.LocalIP()));

    ui_->List1->clear();
    ui_->List2->clear();
    statusBudget_.Clear();
    chatBudget_.Clear();
    ui_->txtConnect->clear();
    ui_->txtKey->clear();
    SetSendButtonsEnabled(false);
    ShowProgress(false);

    const std::string fontDat = sdk_.AppFolder + "font.dat";
    try {
        if (ProbeLength(fontDat) > 0)
            ApplyChatLook(ParseFontDat(ReadWholeFile(fontDat), DefaultChatLook()));
    } catch (const FileError& e) {
        trouble += "font.dat could not be read (" + Utf8ToCp1252(e.what()) +
                   "); the chat keeps its default look.\n";
    }

    if (!trouble.empty()) {
        trouble.pop_back();
        platform_.MsgBox(trouble);
    }
}

void frmMain::Guard(const std::function<void()>& handler) {
    keyvane::Guard(handler, [this](const std::string& what) { platform_.MsgBox(what); });
}

void frmMain::closeEvent(QCloseEvent* e) {
    if (!ending_) {
        ending_ = true;
        try {
            session_.CloseMain();
        } catch (...) {
            // Closing goes ahead whatever failed on the way.
        }
    }
    e->accept();
}

void frmMain::GenerateKey() {
    // The key is a secret: drawn from the system's source, never from the clock.
    SetKeyText(RandomKey(platform_.SystemRandom));
}

void frmMain::ApplyChatLook(const ChatLook& look) {
    keyvane::ApplyChatLook(ui_->List2, look);
}

ChatLook frmMain::DefaultChatLook() const {
    return keyvane::DefaultChatLook(WindowFont());
}

void frmMain::ShowFontWindow() {
    frmFont dlg(platform_, sdk_.AppFolder + "font.dat", this);
    CenterOnScreen(&dlg);
    if (dlg.exec() == QDialog::Accepted) ApplyChatLook(dlg.look());
}

void frmMain::ShowHelp() {
    HelpPath = helpPage_;
    frmBrowser dlg(this);
    CenterOnScreen(&dlg);
    dlg.exec();
}

void frmMain::ShowAbout() {
    frmAbout dlg(this);
    CenterOnScreen(&dlg);
    dlg.exec();
}

// --- MainView ---------------------------------------------------------------------

// The bars catch up before a status line, so the line never reports what they do not
// show yet (the end of a transfer, above all).
void frmMain::UpdateList(const std::string& line) {
    if (display_.Pending()) PaintNow();
    AddLine(ui_->List1, statusBudget_, line);
    KeepLastLinesInView(ui_->List1, kStatusLines);
}

void frmMain::UpdateChatList(const std::string& line) {
    AddLine(ui_->List2, chatBudget_, line);
    KeepLastLinesInView(ui_->List2, kChatLines);
}

void frmMain::AddLine(QListWidget* list, ListBudget& budget, const std::string& line) {
    const std::string shown = ListBudget::Shown(line);
    for (size_t leave = budget.Add(shown.size()); leave > 0; --leave) delete list->takeItem(0);
    list->addItem(ToQ(shown));
}

std::string frmMain::IPText() const {
    return FromQ(ui_->txtIP->text());
}
std::string frmMain::ConnectText() const {
    return FromQ(ui_->txtConnect->text());
}
void frmMain::SetConnectText(const std::string& text) {
    ui_->txtConnect->setText(ToQ(text));
}
std::string frmMain::KeyText() const {
    return FromQ(ui_->txtKey->text());
}
void frmMain::SetKeyText(const std::string& text) {
    ui_->txtKey->setText(ToQ(text));
}
std::string frmMain::ChatText() const {
    return FromQ(ui_->txtChat->text());
}
void frmMain::SetChatText(const std::string& text) {
    ui_->txtChat->setText(ToQ(text));
}

void frmMain::SetSendButtonsEnabled(bool enabled) {
    ui_->Command3->setEnabled(enabled);
    ui_->Command4->setEnabled(enabled);
    ui_->Command5->setEnabled(enabled);
}

void frmMain::ShowProgress(bool visible) {
    if (display_.Pending()) PaintNow();
    ui_->ProgressBar1->setVisible(visible);
}
void frmMain::SetProgress(int percent) {
    display_.SetProgress(percent);
    PaintSoon();
}

void frmMain::SetHourglass(bool busy) {
    if (busy)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

void frmMain::BumpSentBar() {
    display_.BumpSent();
    PaintSoon();
}

void frmMain::BumpRecvBar() {
    display_.BumpRecv();
    PaintSoon();
}

// Every caption or value set here repaints and tells assistive tools of the change, so
// this runs at most about thirty times a second however fast the messages go.
void frmMain::PaintSoon() {
    if (!display_.Pending()) return;
    const int64_t wait = display_.WaitMs(platform_.MonotonicMs());
    if (wait == 0)
        PaintNow();
    else if (!paintTimer_.isActive())
        paintTimer_.start(static_cast<int>(wait));
}

void frmMain::PaintNow() {
    paintTimer_.stop();
    const QString sent = QString::fromLatin1(display_.SentBar());
    if (ui_->lbSent->text() != sent) ui_->lbSent->setText(sent);
    const QString recv = QString::fromLatin1(display_.RecvBar());
    if (ui_->lbRecv->text() != recv) ui_->lbRecv->setText(recv);
    if (ui_->ProgressBar1->value() != display_.Progress())
        ui_->ProgressBar1->setValue(display_.Progress());
    display_.Painted(platform_.MonotonicMs());
}

int frmMain::SelectedVersion() const {
    // The version table's row order decides when more than one is somehow selected.
    const QRadioButton* rows[] = {ui_->optVeltra55, ui_->optVeltra552, ui_->optEmail, ui_->optMsg,
                                  ui_->optFTP};
    for (int i = 0; i < 5; ++i)
        if (rows[i]->isChecked()) return i + 1;
    return 0;
}

void frmMain::ShowSecurity(const LinkSecurity& security) {
    QString caption = kCaption;
    switch (security.state) {
        case LinkSecurity::State::None:
            break;
        case LinkSecurity::State::Plain:
            caption += " - Not encrypted";
            break;
        case LinkSecurity::State::Secure:
            caption += security.verified ? QString(" - Encrypted, verified")
                                         : " - Encrypted, code " + ToQ(security.code);
            break;
    }
    setWindowTitle(caption);
    ui_->fletrust->setEnabled(security.state == LinkSecurity::State::Secure && !security.verified);
}

}  // namespace keyvane
