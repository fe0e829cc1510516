#include "transfer/FileTransfer.h"

#include <exception>
#include <limits>
#include <optional>

#include "cipher/sdk.h"
#include "platform/cp1252.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "transfer/BlockFiles.h"
#include "transfer/TransferRules.h"

namespace keyvane {

struct FileTransfer::Impl {
    // Sending. Each side has its own file for each direction, so a file announced by
    // the peer can arrive while this side sends one.
    std::optional<BlockReader> out;
    std::string sendPath;    // native path of the file being sent
    std::string ready;       // the next message, enciphered, waiting for its "OK:"
    std::string readyError;  // why the next message could not be made
    uint64_t sendRun = 0;    // changes whenever a send starts or stops

    // Receiving.
    std::optional<BlockWriter> in;
    std::string RecvFileName;  // the name actually used (Windows-1252)
    int32_t RecvBlockCount = 0;
    uint64_t recvRun = 0;  // changes whenever a received file starts or ends
};

namespace {

// Why a step failed, for a status line that names the file itself: a file error's own
// reason, any other error's whole message.
std::string Reason(const std::exception& e) {
    const auto* file = dynamic_cast<const FileError*>(&e);
    return Utf8ToCp1252(file ? file->Reason() : std::string(e.what()));
}

}  // namespace

FileTransfer::FileTransfer(FileChannel& link) : link_(link), impl_(std::make_unique<Impl>()) {
    link_.Attach(this);
}

FileTransfer::~FileTransfer() {
    link_.Attach(nullptr);
}

bool FileTransfer::Busy() const {
    const TransferState& st = link_.Files();
    return st.sendPhase != SendPhase::Idle || st.ClientRecv() || st.SystemTransferInProgress;
}

void FileTransfer::OnBrokenBlock() {
    // The stream fell out of step: what follows is no part of this file.
    if (link_.Files().ClientRecv())
        EndReceive("File incomplete: " + impl_->RecvFileName + " (a block was broken)");
}

void FileTransfer::SendFileCommand() {
    if (!link_.KeysReady()) {
        link_.Notify(FileChannel::kNotConnected);
        return;
    }
    if (Busy()) {
        link_.Notify(kBusyText);
        return;
    }
    const std::string fn = link_.ChooseFile();
    if (!fn.empty()) SendFile(fn, 1);
}

void FileTransfer::SendFile(const std::string& fn, int m) {
    TransferState& st = link_.Files();
    if (m != 0) {
        if (!link_.Confirm("Are you sure you want to send the file " + Utf8ToCp1252(fn) + "?"))
            return;
        // The dialogs let events through: a transfer may have begun meanwhile.
        if (Busy()) {
            link_.Notify(kBusyText);
            return;
        }
    }
    // Blocks are enciphered with this connection's key files only (a set's next file
    // may come after the peer went).
    if (!link_.KeysReady()) {
        link_.Notify(FileChannel::kNotConnected);
        AbortSend("");
        return;
    }
    link_.SetHourglass(true);
    const std::string name = BareName(fn);
    BlockSplit split;
    try {
        // Read only: a file gone since it was chosen or listed is not made anew.
        split = SplitLength(ExistingFileLength(fn));
    } catch (const std::exception& e) {
        AbortSend("Cannot send " + Utf8ToCp1252(fn) + ": " + Reason(e));
        return;
    }
    st.nb = split.nb;
    st.rm = split.rm;
    impl_->sendPath = fn;
    st.sendPhase = SendPhase::Announcing;
    const uint64_t run = ++impl_->sendRun;
    if (!link_.Send("FL:" + name)) {
        if (impl_->sendRun == run) AbortSend("");
        return;
    }
    link_.Status("Sending " + Utf8ToCp1252(fn) + "...");
    link_.Pause(2);
    // The connection may have gone during the pause.
    if (impl_->sendRun != run || st.sendPhase != SendPhase::Announcing) return;
    try {
        impl_->out.emplace(fn, static_cast<size_t>(kBlockSize));
    } catch (const std::exception& e) {
        AbortSend("Cannot send " + Utf8ToCp1252(fn) + ": " + Reason(e));
        return;
    }
    st.CurrentBlock = 1;
    st.sendPhase = SendPhase::Sending;
    Prepare(1);
    if (!SendPrepared()) return;
    // The whole file went out with the first message.
    if (st.nb == 0 && st.sendPhase == SendPhase::Sending) st.sendPhase = SendPhase::LastSent;
    link_.ShowProgress(true);
    if (st.nb != 0) link_.SetProgress(ProgressValue(st.CurrentBlock, st.nb));
    if (st.nb != 0) Prepare(2);
}

// Reads and enciphers the message for `record`: a whole block up to nb, then the closing
// "FB:RM:" with the rest of the file (empty when the length is a multiple of 1000). It
// is made right after the previous message went out, so this side enciphers while the
// peer deciphers; every message still waits for the "OK:" of the one before.
void FileTransfer::Prepare(int64_t record) {
    const TransferState& st = link_.Files();
    SDK& sdk = link_.Cipher();
    Impl& im = *impl_;
    const bool closing = record > st.nb;
    const size_t count = closing ? static_cast<size_t>(st.rm) : static_cast<size_t>(kBlockSize);
    im.ready.clear();
    im.readyError.clear();
    sdk.WorkText.clear();
    try {
        const char* shorter = "the file became shorter while it was being sent";
        // Blocks are read many at a time: the end looks at the file as it is now.
        if (closing && im.out->Length() < int64_t{st.nb} * kBlockSize + st.rm)
            throw FileError(shorter);
        if (count > 0) {
            std::string got = im.out->Read(record);
            if (got.size() < count) throw FileError(shorter);
            got.resize(static_cast<size_t>(kBlockSize), ' ');
            sdk.BlockRecord = std::move(got);
            sdk.WorkText.assign(sdk.BlockRecord, 0, count);
            sdk.EncryptString(sdk.WorkText);
        }
    } catch (const std::exception& e) {
        im.readyError = "Cannot send " + Utf8ToCp1252(im.sendPath) + ": " + Reason(e);
        return;
    }
    im.ready.reserve(sdk.WorkText.size() + 7);
    im.ready.append(closing ? "FB:RM:" : "FB:").append(sdk.WorkText).push_back('|');
}

bool FileTransfer::SendPrepared() {
    Impl& im = *impl_;
    if (!im.readyError.empty()) {
        AbortSend(im.readyError);
        return false;
    }
    const uint64_t run = im.sendRun;
    if (link_.Send(im.ready)) return true;
    if (im.sendRun == run)
        AbortSend("The file " + Utf8ToCp1252(im.sendPath) + " was not sent completely.");
    return false;
}

void FileTransfer::OnOK() {
    TransferState& st = link_.Files();
    if (!st.FileInProgress()) return;
    ++st.CurrentBlock;
    link_.SetProgress(ProgressValue(st.CurrentBlock, st.nb));
    if (st.CurrentBlock <= st.nb) {
        if (SendPrepared()) Prepare(static_cast<int64_t>(st.CurrentBlock) + 1);
        return;
    }
    if (!st.FBRMSent() && !SendPrepared()) return;
    FinishFile();
}

void FileTransfer::FinishFile() {
    TransferState& st = link_.Files();
    impl_->out.reset();
    impl_->ready.clear();
    link_.Status("File Transferred.");
    st.sendPhase = SendPhase::Idle;
    ++impl_->sendRun;
    if (st.SystemTransferInProgress) ChainNextSystemFile();
    link_.SetHourglass(false);
    link_.ShowProgress(false);
}

void FileTransfer::ChainNextSystemFile() {
    TransferState& st = link_.Files();
    ++st.stmax;
    if (st.stmax > sys.SystemFileCount) {
        st.SystemTransferInProgress = false;
        link_.SetHourglass(false);
        return;
    }
    link_.Pause(2);
    // The connection may have gone during the pause, which ends the set.
    if (!st.SystemTransferInProgress) return;
    SendFile(sys.SystemFileList[static_cast<size_t>(st.stmax)], 0);
}

void FileTransfer::AbortSend(const std::string& statusLine) {
    TransferState& st = link_.Files();
    impl_->out.reset();
    impl_->ready.clear();
    impl_->readyError.clear();
    ++impl_->sendRun;
    st.sendPhase = SendPhase::Idle;
    if (!statusLine.empty()) link_.Status(statusLine);
    if (st.SystemTransferInProgress) {
        st.SystemTransferInProgress = false;
        link_.Status("The system files were not all sent.");
    }
    link_.SetHourglass(false);
    link_.ShowProgress(false);
}

void FileTransfer::OnFL(const std::string& payload) {
    TransferState& st = link_.Files();
    if (st.ClientRecv())
        EndReceive("File incomplete: " + impl_->RecvFileName + " (a new file was announced)");
    impl_->RecvFileName = SanitizeReceivedName(payload);
    ++impl_->recvRun;
    impl_->RecvBlockCount = 0;
    std::string failure;
    try {
        if (!st.Recv.empty()) MakeFolder(st.Recv);  // gone since start-up
        const std::string path = st.Recv + Cp1252ToUtf8(impl_->RecvFileName);
        CreateEmptyReplacing(path);  // a link of that name is replaced, not written through
        impl_->in.emplace(path, static_cast<size_t>(kBlockSize));
    } catch (const std::exception& e) {
        failure = Reason(e);
    }
    st.recvPhase = RecvPhase::Receiving;
    link_.Status("Receiving File " + impl_->RecvFileName);
    if (!failure.empty()) FailReceive(failure);
}

void FileTransfer::FailReceive(const std::string& reason) {
    link_.Files().recvPhase = RecvPhase::Discarding;
    impl_->in.reset();
    link_.Status("Cannot write " + impl_->RecvFileName + ": " + reason);
}

void FileTransfer::OnFB(const std::string& message) {
    TransferState& st = link_.Files();
    SDK& sdk = link_.Cipher();
    Impl& im = *impl_;
    if (!st.ClientRecv()) return;  // no file was announced: nowhere to put it
    const bool end = message.size() >= 6 && message.compare(3, 3, "RM:") == 0;
    if (!end) {
        if (im.RecvBlockCount == std::numeric_limits<int32_t>::max()) {
            if (st.recvPhase != RecvPhase::Discarding) FailReceive("the file is too large");
        } else {
            ++im.RecvBlockCount;
        }
        // Acknowledged first, so the sender's next block travels while this one is
        // deciphered and written. A failure shows here and at the file's end.
        const uint64_t run = im.recvRun;
        link_.Send("OK:");
        if (im.recvRun != run || st.recvPhase == RecvPhase::Discarding || !Decipher(message, 3))
            return;
        try {
            sdk.BlockRecord.assign(sdk.WorkText, 0, static_cast<size_t>(kBlockSize));
            sdk.BlockRecord.resize(static_cast<size_t>(kBlockSize), ' ');
            im.in->Write(im.RecvBlockCount, sdk.BlockRecord);
        } catch (const std::exception& e) {
            FailReceive(Reason(e));
        }
        return;
    }
    if (st.recvPhase != RecvPhase::Discarding && Decipher(message, 6)) {
        try {
            // The file holds exactly RecvBlockCount records: the rest goes at its end.
            im.in->WriteRaw(static_cast<int64_t>(im.RecvBlockCount) + 1, sdk.WorkText);
            im.in->Close();
        } catch (const std::exception& e) {
            FailReceive(Reason(e));
        }
    }
    im.in.reset();
    link_.Status(st.recvPhase == RecvPhase::Discarding ? "File not received: " + im.RecvFileName
                                                       : std::string("File received."));
    link_.SetHourglass(false);
    st.recvPhase = RecvPhase::Idle;
    ++im.recvRun;
    link_.Send("OK:");
}

// Puts the deciphered payload (from character `from` on) into WorkText.
bool FileTransfer::Decipher(const std::string& message, size_t from) {
    SDK& sdk = link_.Cipher();
    sdk.WorkText.assign(message, std::min(message.size(), from));
    if (sdk.WorkText.empty()) return true;
    try {
        sdk.DecryptString(sdk.WorkText);
        return true;
    } catch (const std::exception& e) {
        FailReceive(Reason(e));
        return false;
    }
}

void FileTransfer::EndReceive(const std::string& statusLine) {
    impl_->in.reset();
    ++impl_->recvRun;
    link_.Files().recvPhase = RecvPhase::Idle;
    link_.Status(statusLine);
    link_.SetHourglass(false);
}

void FileTransfer::OnConnectionLost() {
    const TransferState& st = link_.Files();
    if (st.sendPhase != SendPhase::Idle)
        AbortSend("The file " + Utf8ToCp1252(impl_->sendPath) + " was not sent completely.");
    else if (st.SystemTransferInProgress)
        AbortSend("");
    if (st.ClientRecv())
        EndReceive("The file " + impl_->RecvFileName + " was not received completely.");
}

}  // namespace keyvane
