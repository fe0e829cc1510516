#include "peer/PeerRun.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <exception>
#include <filesystem>
#include <functional>
#include <system_error>

#include "app/StartUp.h"
#include "cipher/sdk.h"
#include "link/Guard.h"
#include "link/MainState.h"
#include "link/Session.h"
#include "peer/ConsoleView.h"
#include "platform/cp1252.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/platform.h"
#include "platform/qt/CorePlatform.h"
#include "platform/qt/DataFolder.h"
#include "platform/qt/QtSock.h"
#include "platform/qt/Signals.h"
#include "sysfiles/SystemFiles.h"
#include "transfer/FileTransfer.h"

namespace keyvane::peer {

namespace {

namespace fs = std::filesystem;

class Peer {
  public:
    Peer(const Options& o, std::FILE* out, std::FILE* progress, TerminalText term)
        : o_(o),
          term_(std::move(term)),
          view_(out, progress, o.json, term_),
          session_(st_, view_, sdk_, platform_, sock_),
          transfer_(session_, view_, platform_, sdk_),
          systemFiles_(session_, transfer_, view_, platform_) {
        InstallQtCorePlatform(platform_);
        platform_.MsgBox = [this](const std::string& text) { view_.Message(text); };
        platform_.ConfirmBox = [](const std::string&) { return true; };
        platform_.OpenFileName = [] { return std::string(); };
        platform_.PickProductPath = [this] { return productPath_; };
        platform_.EndProgram = [this] { ended_ = true; };
        view_.onEvent = [this](const ViewEvent& e) { Note(e); };
        session_.SetRequireSecure(o_.requireSecure);
        session_.ConfirmRisk = [this](const std::string& text, bool changedIdentity) {
            return AcceptRisk(text, changedIdentity);
        };
    }

    int Run();

  private:
    bool Over() const { return ended_ || session_.Ended() || signalled_; }
    // Counts what the actions wait for.
    void Note(const ViewEvent& e);
    // Runs events until `done` holds or the session is over.
    void RunUntil(const std::function<bool()>& done);
    void Gap();
    bool Start();
    bool AcceptRisk(const std::string& text, bool changedIdentity);
    // Waits until the link is known to be plain or secure; kOk when the actions may run.
    int Settle();
    bool CanSend(const std::string& path);
    int Act(const Action& a);
    int Finish(int status);

    // Text typed on the command line, as the window's boxes hold it.
    std::string Typed(const std::string& arg) const { return Utf8ToCp1252(term_.In(arg)); }

    const Options& o_;
    TerminalText term_;
    MainState st_;
    ConsoleView view_;
    SDK sdk_;
    Platform platform_;
    QtSock sock_;
    Session session_;
    FileTransfer transfer_;
    SystemFiles systemFiles_;
    std::string productPath_;
    FolderLock lock_;
    bool ended_ = false;      // the session ended the program (a hang-up on a client)
    bool signalled_ = false;  // SIGINT, SIGTERM or SIGHUP
    bool refused_ = false;    // this side ended the connection for its protection

    // What happened so far, from the view's events.
    bool connected_ = false;
    bool lost_ = false;  // broke without a hang-up
    int keysSent_ = 0, chatsSent_ = 0, filesSent_ = 0;
    int setCount_ = 0;  // files in the last set started
};

void Peer::Note(const ViewEvent& e) {
    switch (e.kind) {
        case ViewEvent::Kind::Connected:
            connected_ = true;
            break;
        case ViewEvent::Kind::Lost:
            lost_ = true;
            break;
        case ViewEvent::Kind::KeySent:
            ++keysSent_;
            break;
        case ViewEvent::Kind::ChatSent:
            ++chatsSent_;
            break;
        case ViewEvent::Kind::FileSent:
            ++filesSent_;
            break;
        case ViewEvent::Kind::SystemSet:
            setCount_ = e.count;
            break;
        default:
            break;
    }
}

void Peer::RunUntil(const std::function<bool()>& done) {
    while (!Over() && !done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void Peer::Gap() {
    QDeadlineTimer until(kGapMs);
    QTimer wake;
    wake.start(kGapMs);
    RunUntil([&] { return until.hasExpired(); });
}

bool Peer::Start() {
    std::string folder = o_.folder.empty() ? PerUserDataFolder() : o_.folder;
    folder = fs::absolute(folder).lexically_normal().string();
    if (folder.back() != '/') folder += '/';
    // Key files go in there: a folder made here is the user's alone, and so is the
    // shared per-user one, whoever made it.
    const FolderStart opened = OpenProgramFolder(
        sdk_, lock_, folder, o_.folder.empty() ? CreatePrivateFolder : CreateFolderChain);
    const auto unusable = [&](const std::string& why) {
        view_.Message("The folder " + Utf8ToCp1252(folder) + " cannot be used (" +
                      Utf8ToCp1252(why) + ").");
    };
    if (opened.notMade) unusable(opened.notMade->Reason());
    if (opened.held)
        view_.Message("Keyvane is already running with its files in " + Utf8ToCp1252(folder) +
                      "; use another --folder.");
    if (opened.lockUnknown) unusable(opened.lockUnknown->what());
    if (!opened.Ready()) return false;
    if (!opened.leftover.empty())
        view_.Message("Key files left by an earlier run could not be wiped (" +
                      Utf8ToCp1252(opened.leftover) + ").");
    WipeOnTerminate(folder);
    transfer_.SetReceiveFolder(folder + "Recv/");
    st_.PortStr = o_.port.empty() ? ReadPort(folder) : o_.port;
    view_.ip = o_.hasAddress ? Typed(o_.address) : Utf8ToCp1252(platform_.LocalIP());

    OnTerminationSignals([this] {
        signalled_ = true;
        if (!session_.Ended()) session_.CloseMain();
    });

    if (o_.mode == Options::Mode::Connect) {
        view_.connect = Typed(o_.host);
        session_.Connect();
        RunUntil([this] { return !session_.Connecting(); });
        return st_.IsConnected && !Over();
    }
    sock_.ListenAddress = o_.bind;
    session_.WaitForConnect();
    if (!st_.IsHost()) return false;
    // Ready when the client's "IP:" has built the key files.
    RunUntil([this] { return connected_; });
    return connected_ && !Over();
}

// No one answers a question here: the command line has answered it already.
bool Peer::AcceptRisk(const std::string& text, bool changedIdentity) {
    // The warning without its question, which nobody is there to answer.
    view_.Note("warning", text.substr(0, text.find("\n\n")));
    if (changedIdentity ? o_.trust : !o_.requireSecure) return true;
    refused_ = true;
    if (changedIdentity)
        view_.Note("refused",
                   "keyvane-peer hangs up: the other person's identity is not the one trusted "
                   "before (--trust accepts it).");
    return false;
}

int Peer::Settle() {
    RunUntil([this] { return session_.SecuritySettled(); });
    if (refused_) return kFailed;
    const LinkSecurity now = session_.Security();
    if (o_.requireSecure && (view_.settled.state == LinkSecurity::State::Plain ||
                             (st_.IsConnected && now.state != LinkSecurity::State::Secure))) {
        // The session refuses a plain link and says so; anything else is refused here.
        if (st_.IsConnected)
            view_.Note("refused",
                       "keyvane-peer hangs up: the connection is not encrypted, and "
                       "--require-secure sends nothing over it.");
        return kFailed;
    }
    if (o_.trust && st_.IsConnected && now.state == LinkSecurity::State::Secure && !now.verified) {
        session_.TrustPeer();  // says why when it cannot
        if (!session_.Security().verified) return kFailed;
    }
    return kOk;
}

bool Peer::CanSend(const std::string& path) {
    // The window's length probe would create a missing file and send it empty, which
    // from a script is a typing error gone unseen.
    const std::string why = WhyUnreadable(path);
    if (!why.empty()) view_.Message("Cannot send " + Utf8ToCp1252(path) + ": " + Utf8ToCp1252(why));
    return why.empty();
}

int Peer::Act(const Action& a) {
    switch (a.kind) {
        case Action::Kind::Key: {
            const int before = keysSent_;
            view_.key = Typed(a.value);
            session_.SendKey();
            return keysSent_ > before ? kOk : kFailed;
        }
        case Action::Kind::Chat: {
            const int before = chatsSent_;
            view_.chatText = Typed(a.value);
            session_.SendChatLine();
            return chatsSent_ > before ? kOk : kFailed;
        }
        case Action::Kind::Send: {
            if (!CanSend(a.value)) return kFailed;  // gone since the start
            // A file the peer is sending here is finished first.
            RunUntil([this] { return !transfer_.Busy(); });
            if (Over()) return kFailed;
            const int before = filesSent_;
            transfer_.SendFile(a.value, 0);
            RunUntil([this] { return transfer_.State().sendPhase == SendPhase::Idle; });
            return filesSent_ == before + 1 ? kOk : kFailed;
        }
        case Action::Kind::System: {
            RunUntil([this] { return !transfer_.Busy(); });
            if (Over()) return kFailed;
            view_.version = a.row;
            productPath_ = a.productPath;
            const int before = filesSent_;
            setCount_ = 0;
            systemFiles_.SendSystemFiles();
            RunUntil([this] {
                return !systemFiles_.SystemTransferInProgress() &&
                       !transfer_.State().FileInProgress();
            });
            // An empty set, or one that stopped short, has failed.
            return setCount_ > 0 && filesSent_ - before == setCount_ ? kOk : kFailed;
        }
        case Action::Kind::Hangup:
            break;
    }
    return kOk;
}

int Peer::Run() {
    // A file that cannot be sent fails at once, before the peer is bothered.
    for (const Action& a : o_.actions)
        if (a.kind == Action::Kind::Send && !CanSend(a.value)) return kFailed;
    if (!Start()) {
        // Stopped by a signal before any action was due: an orderly end.
        const bool orderly = signalled_ && !lost_ && o_.actions.empty();
        return Finish(orderly ? kOk : kFailed);
    }
    // Both sides show how the link is protected before anything of ours goes out.
    if (Settle() != kOk) return Finish(kFailed);
    bool hangUp = !o_.stay;
    for (const Action& a : o_.actions) {
        if (a.kind == Action::Kind::Hangup) {
            hangUp = true;
            break;
        }
        Gap();
        const bool gone = Over() || !st_.IsConnected;
        int status = kFailed;
        if (!gone)
            Guard([&] { status = Act(a); },
                  [this](const std::string& what) { view_.Message(what); });
        // The connection ended under the action: lost, or the peer hung up.
        if (!signalled_ && (lost_ || ended_ || !st_.IsConnected)) return Finish(kLost);
        if (status != kOk || signalled_) return Finish(kFailed);
    }
    if (hangUp) {
        // A file the peer is sending here is finished first.
        RunUntil([this] { return !transfer_.Busy(); });
        Gap();
        if (!Over()) session_.Exit();
        return Finish(lost_ ? kLost : kOk);
    }
    RunUntil([this] { return !st_.IsConnected; });
    return Finish(lost_ ? kLost : kOk);
}

int Peer::Finish(int status) {
    // Every end wipes the key files: Exit and a client's hang-up did so already. Without
    // a folder of our own (refused, or held by another copy) there is nothing of ours
    // to wipe, and wiping would hit the working folder or the other copy's files.
    if (!session_.Ended() && !sdk_.AppFolder.empty()) session_.CloseMain();
    return status;
}

}  // namespace

int RunPeer(const Options& options, std::FILE* out, std::FILE* progress) {
    Peer peer(options, out, progress, TerminalText::FromLocale());
    return peer.Run();
}

}  // namespace keyvane::peer
