#include "transfer/FileTransfer.h"

#include <sys/stat.h>

#include <exception>
#include <limits>
#include <optional>

#include "link/Session.h"
#include "platform/cp1252.h"
#include "platform/files.h"
#include "transfer/TransferRules.h"

namespace keyvane {

struct FileTransfer::Impl {
    // Sending. Each side has its own file for each direction, so a file announced by
    // the peer can arrive while this side sends one.
    std::optional<RecordFile> out;
    std::string sendPath;     // native path of the file being sent
    bool announcing = false;  // "FL:" went out, the first block not yet
    uint64_t sendRun = 0;     // changes whenever a send starts or stops

    // Receiving.
    std::optional<RecordFile> in;
    std::string RecvFileName;  // the name actually used (Windows-1252)
    int32_t RecvBlockCount = 0;
    bool recvFailed = false;  // the file could not be written; the rest is only acknowledged
};

namespace {

// The reason of a file or cipher error, without the path the message may start with.
std::string Reason(const std::exception& e) {
    const std::string what = e.what();
    const size_t colon = what.rfind(": ");
    return Utf8ToCp1252(colon == std::string::npos ? what : what.substr(colon + 2));
}

}  // namespace

FileTransfer::FileTransfer(Session& session) : s_(session), impl_(std::make_unique<Impl>()) {
    s_.files.OnFL = [this](const std::string& payload) { OnFL(payload); };
    s_.files.OnFB = [this](const std::string& message) { OnFB(message); };
    s_.files.OnOK = [this] { OnOK(); };
    s_.files.OnSendProgress = [this] { OnSendProgress(); };
    s_.files.OnConnectionLost = [this] { OnConnectionLost(); };
}

FileTransfer::~FileTransfer() {
    s_.files = Session::FileHooks{};
}

bool FileTransfer::Busy() const {
    return impl_->announcing || s_.st.FileInProgress || s_.st.ClientRecv ||
           s_.st.SystemTransferInProgress;
}

void FileTransfer::SendFileCommand() {
    if (!s_.st.IsConnected) {
        s_.Notify("You are not connected.");
        return;
    }
    if (Busy()) {
        s_.Notify(kBusyText);
        return;
    }
    const std::string fn = s_.platform.OpenFileName();
    if (!fn.empty()) SendFile(fn, 1);
}

void FileTransfer::SendFile(const std::string& fn, int m) {
    MainState& st = s_.st;
    MainView& view = s_.view;
    if (m != 0) {
        if (!s_.platform.ConfirmBox("Are you sure you want to send the file " + Utf8ToCp1252(fn) +
                                    "?"))
            return;
        // The dialogs let events through: a transfer may have begun meanwhile.
        if (Busy()) {
            s_.Notify(kBusyText);
            return;
        }
    }
    view.SetHourglass(true);
    const std::string name = BareName(fn);
    BlockSplit split;
    try {
        split = SplitLength(ProbeLength(fn));
    } catch (const std::exception& e) {
        AbortSend("Cannot send " + Utf8ToCp1252(fn) + ": " + Reason(e));
        return;
    }
    st.nb = split.nb;
    st.rm = split.rm;
    impl_->sendPath = fn;
    impl_->announcing = true;
    const uint64_t run = ++impl_->sendRun;
    if (!s_.Send("FL:" + name)) {
        if (impl_->sendRun == run) AbortSend("");
        return;
    }
    view.UpdateList("Sending " + Utf8ToCp1252(fn) + "...");
    s_.Pause(2);
    // The connection may have gone during the pause.
    if (impl_->sendRun != run || !impl_->announcing) return;
    impl_->announcing = false;
    try {
        impl_->out.emplace(fn, static_cast<size_t>(kBlockSize));
    } catch (const std::exception& e) {
        AbortSend("Cannot send " + Utf8ToCp1252(fn) + ": " + Reason(e));
        return;
    }
    st.CurrentBlock = 1;
    st.FileInProgress = true;
    st.FBRMSent = false;
    if (st.nb != 0) {
        SendBlock(1);
    } else {
        SendClosing(true);
        if (st.FileInProgress) st.FBRMSent = true;
    }
    if (!st.FileInProgress) return;
    view.ShowProgress(true);
    if (st.nb != 0) view.SetProgress(ProgressValue(st.CurrentBlock, st.nb));
}

void FileTransfer::SendBlock(int32_t record) {
    SDK& sdk = s_.sdk;
    try {
        std::string got = impl_->out->Read(record);
        if (got.size() < static_cast<size_t>(kBlockSize))
            throw FileError("the file became shorter while it was being sent");
        sdk.BlockRecord = std::move(got);
        sdk.WorkText = sdk.BlockRecord;
        sdk.EncryptString(sdk.WorkText);
    } catch (const std::exception& e) {
        AbortSend("Cannot send " + Utf8ToCp1252(impl_->sendPath) + ": " + Reason(e));
        return;
    }
    std::string message;
    message.reserve(sdk.WorkText.size() + 4);
    message.append("FB:").append(sdk.WorkText).push_back('|');
    const uint64_t run = impl_->sendRun;
    if (!s_.Send(message) && impl_->sendRun == run)
        AbortSend("The file " + Utf8ToCp1252(impl_->sendPath) + " was not sent completely.");
}

// "FB:RM:" with the rest of the file after the last whole block (record nb + 1), or with
// nothing when the rest went out already.
void FileTransfer::SendClosing(bool withData) {
    MainState& st = s_.st;
    SDK& sdk = s_.sdk;
    sdk.WorkText.clear();
    if (withData && st.rm > 0) {
        try {
            std::string got = impl_->out->Read(static_cast<int64_t>(st.nb) + 1);
            if (got.size() < static_cast<size_t>(st.rm))
                throw FileError("the file became shorter while it was being sent");
            got.resize(static_cast<size_t>(kBlockSize), ' ');
            sdk.BlockRecord = std::move(got);
            sdk.WorkText.assign(sdk.BlockRecord, 0, static_cast<size_t>(st.rm));
            sdk.EncryptString(sdk.WorkText);
        } catch (const std::exception& e) {
            AbortSend("Cannot send " + Utf8ToCp1252(impl_->sendPath) + ": " + Reason(e));
            return;
        }
    }
    const uint64_t run = impl_->sendRun;
    if (!s_.Send("FB:RM:" + sdk.WorkText + "|") && impl_->sendRun == run)
        AbortSend("The file " + Utf8ToCp1252(impl_->sendPath) + " was not sent completely.");
}

void FileTransfer::OnOK() {
    MainState& st = s_.st;
    if (!st.FileInProgress) return;
    ++st.CurrentBlock;
    s_.view.SetProgress(ProgressValue(st.CurrentBlock, st.nb));
    if (st.CurrentBlock <= st.nb) {
        SendBlock(st.CurrentBlock);
        return;
    }
    if (!st.FBRMSent) {
        SendClosing(true);
        if (!st.FileInProgress) return;
    }
    FinishFile();
}

void FileTransfer::FinishFile() {
    MainState& st = s_.st;
    MainView& view = s_.view;
    impl_->out.reset();
    view.UpdateList("File Transferred.");
    st.FileInProgress = false;
    ++impl_->sendRun;
    if (st.SystemTransferInProgress) ChainNextSystemFile();
    view.SetHourglass(false);
    view.ShowProgress(false);
}

void FileTransfer::ChainNextSystemFile() {
    MainState& st = s_.st;
    ++st.stmax;
    if (st.stmax > sys.SystemFileCount) {
        st.SystemTransferInProgress = false;
        s_.view.SetHourglass(false);
        return;
    }
    s_.Pause(2);
    // The connection may have gone during the pause, which ends the set.
    if (!st.SystemTransferInProgress) return;
    SendFile(sys.SystemFileList[static_cast<size_t>(st.stmax)], 0);
}

void FileTransfer::AbortSend(const std::string& statusLine) {
    MainState& st = s_.st;
    MainView& view = s_.view;
    impl_->out.reset();
    impl_->announcing = false;
    ++impl_->sendRun;
    st.FileInProgress = false;
    if (!statusLine.empty()) view.UpdateList(statusLine);
    if (st.SystemTransferInProgress) {
        st.SystemTransferInProgress = false;
        view.UpdateList("The system files were not all sent.");
    }
    view.SetHourglass(false);
    view.ShowProgress(false);
}

void FileTransfer::OnFL(const std::string& payload) {
    MainState& st = s_.st;
    if (st.ClientRecv)
        EndReceive("File incomplete: " + impl_->RecvFileName + " (a new file was announced)");
    impl_->RecvFileName = SanitizeReceivedName(payload);
    impl_->RecvBlockCount = 0;
    impl_->recvFailed = false;
    std::string failure;
    try {
        if (!st.Recv.empty()) ::mkdir(st.Recv.c_str(), 0755);  // gone since start-up
        const std::string path = st.Recv + Cp1252ToUtf8(impl_->RecvFileName);
        CreateReceivedFile(path);
        impl_->in.emplace(path, static_cast<size_t>(kBlockSize));
    } catch (const std::exception& e) {
        failure = Reason(e);
    }
    st.ClientRecv = true;
    s_.view.UpdateList("Receiving File " + impl_->RecvFileName);
    if (!failure.empty()) FailReceive(failure);
}

void FileTransfer::FailReceive(const std::string& reason) {
    impl_->recvFailed = true;
    impl_->in.reset();
    s_.view.UpdateList("Cannot write " + impl_->RecvFileName + ": " + reason);
}

void FileTransfer::OnFB(const std::string& message) {
    MainState& st = s_.st;
    SDK& sdk = s_.sdk;
    if (!st.ClientRecv) return;  // no file was announced: nowhere to put it
    const bool end = message.size() >= 6 && message.compare(3, 3, "RM:") == 0;
    sdk.WorkText.assign(message, std::min(message.size(), size_t{end ? 6u : 3u}));
    if (!sdk.WorkText.empty() && !impl_->recvFailed) {
        try {
            sdk.DecryptString(sdk.WorkText);
        } catch (const std::exception& e) {
            FailReceive(Reason(e));
        }
    }
    if (!end) {
        if (impl_->RecvBlockCount == std::numeric_limits<int32_t>::max() && !impl_->recvFailed)
            FailReceive("the file is too large");
        if (impl_->RecvBlockCount < std::numeric_limits<int32_t>::max()) ++impl_->RecvBlockCount;
        if (!impl_->recvFailed) {
            try {
                sdk.BlockRecord.assign(sdk.WorkText, 0, static_cast<size_t>(kBlockSize));
                sdk.BlockRecord.resize(static_cast<size_t>(kBlockSize), ' ');
                impl_->in->Write(impl_->RecvBlockCount, sdk.BlockRecord);
            } catch (const std::exception& e) {
                FailReceive(Reason(e));
            }
        }
        s_.Send("OK:");
        return;
    }
    if (!impl_->recvFailed) {
        try {
            // The file holds exactly RecvBlockCount records: the rest goes at its end.
            impl_->in->WriteRaw(static_cast<int64_t>(impl_->RecvBlockCount) + 1, sdk.WorkText);
            impl_->in->Close();
        } catch (const std::exception& e) {
            FailReceive(Reason(e));
        }
    }
    impl_->in.reset();
    s_.view.UpdateList(impl_->recvFailed ? "File not received: " + impl_->RecvFileName
                                         : std::string("File received."));
    s_.view.SetHourglass(false);
    s_.Send("OK:");
    st.ClientRecv = false;
}

void FileTransfer::EndReceive(const std::string& statusLine) {
    impl_->in.reset();
    s_.st.ClientRecv = false;
    s_.view.UpdateList(statusLine);
    s_.view.SetHourglass(false);
}

void FileTransfer::OnSendProgress() {
    s_.view.BumpSentBar();
}

void FileTransfer::OnConnectionLost() {
    MainState& st = s_.st;
    if (impl_->announcing || st.FileInProgress)
        AbortSend("The file " + Utf8ToCp1252(impl_->sendPath) + " was not sent completely.");
    else if (st.SystemTransferInProgress)
        AbortSend("");
    if (st.ClientRecv)
        EndReceive("The file " + impl_->RecvFileName + " was not received completely.");
}

}  // namespace keyvane
