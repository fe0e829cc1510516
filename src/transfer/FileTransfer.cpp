#include "transfer/FileTransfer.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <optional>

#include "cipher/sdk.h"
#include "link/FastLink.h"
#include "link/Pause.h"
#include "platform/cp1252.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/sha256.h"
#include "secure/Secure.h"
#include "transfer/BlockFiles.h"
#include "transfer/TransferRules.h"

namespace keyvane {

struct FileTransfer::Impl {
    explicit Impl(Platform& p) : pause(p), sendKept(p), answerWait(p), recvKept(p) {}

    // Sending. Each side has its own file for each direction, so a file announced by
    // the peer can arrive while this side sends one.
    std::optional<BlockReader> out;
    std::string sendPath;    // native path of the file being sent
    std::string ready;       // the next message, enciphered, waiting for its "OK:"
    std::string readyError;  // why the next message could not be made
    // After "FL:" until the first block, and between the files of a set.
    Pause pause;
    // A batch's later file: once it is under way, the pointer is the arrow and the bar
    // is hidden, as the end of the file before left them.
    bool quietStart = false;

    // Receiving.
    std::optional<BlockWriter> in;
    std::string plain;         // the block or rest last deciphered
    std::string RecvFileName;  // the name actually used (Windows-1252)
    int32_t RecvBlockCount = 0;

    // Fast link, sending: the file goes out from record nextRecord on, each message
    // counted until all `messages` are acknowledged.
    bool fastSend = false;
    bool awaitingResume = false;  // "FL:" and "KVF" went out, "KVR" not yet in
    bool closingSent = false;
    int64_t nextRecord = 0;
    int64_t acked = 0, messages = 0, skipped = 0;
    fast::SendWindow window;
    size_t peakInFlight = 0;
    bool pumping = false;  // a send inside Pump reports progress, which must not pump
    // Stop-and-wait: "OK:"s of this file that wait for the socket to take what it holds.
    int64_t heldOKs = 0;
    Sha256 sendHash;
    StepHasher sendKept;  // the blocks the receiver holds already, for the hash
    OneShot answerWait;   // until the receiver's "KVR" comes

    // Fast link, receiving.
    bool fastRecv = false;
    bool awaitingOffer = false;  // "FL:" came on a fast link; the file waits for "KVF"
    std::string offeredName;     // the name "FL:" gave, made safe
    std::string recvPath;
    fast::FileOffer offer;
    std::string expectedHash;
    Sha256 recvHash;
    StepHasher recvKept;  // the blocks kept of a partial file, before "KVR" goes out
};

namespace {

// Why a step failed, for a status line that names the file itself: a file error's own
// reason, any other error's whole message.
std::string Reason(const std::exception& e) {
    const auto* file = dynamic_cast<const FileError*>(&e);
    return Utf8ToCp1252(file ? file->Reason() : std::string(e.what()));
}

// The length of the file being sent.
int64_t FileLength(const TransferState& st) {
    return int64_t{st.nb} * kBlockSize + st.rm;
}

// Where an interrupted fast receive is noted, so the same file can go on later.
std::string ResumeNote(const SDK& sdk) {
    return sdk.AppFolder + "resume.dat";
}

std::string NoteText(const std::string& name, const fast::FileOffer& o) {
    return name + "\n" + std::to_string(o.length) + "\n" + std::to_string(o.stamp) + "\n";
}

// The name the partial file of `offer` was saved under, when the note is about that
// very offer from that very peer (`peer`: its identity in hex, empty on a plain link). A
// note without the name (an older one) means the offered name; one without the
// identity came over a plain link.
std::optional<std::string> SavedName(const std::string& note, const std::string& offer,
                                     const std::string& offeredName, const std::string& peer) {
    if (note.compare(0, offer.size(), offer) != 0) return std::nullopt;
    if (note.size() == offer.size())
        return peer.empty() ? std::optional(offeredName) : std::nullopt;
    const size_t nl = note.find('\n', offer.size());
    if (nl == std::string::npos) return std::nullopt;
    std::string saved = note.substr(offer.size(), nl - offer.size());
    std::string who = note.substr(nl + 1);
    if (!who.empty() && who.back() == '\n') who.pop_back();
    // Someone else's file is not theirs to finish.
    if (who != peer) return std::nullopt;
    // Only a name a received file could have: nothing outside the receive folder.
    if (saved.empty() || SanitizeReceivedName(saved) != saved) return std::nullopt;
    return saved;
}

}  // namespace

size_t FileTransfer::EndLength() const {
    if (!impl_->fastRecv) return 0;
    return 6 + static_cast<size_t>(impl_->offer.length % static_cast<uint64_t>(kBlockSize));
}

size_t FileTransfer::PeakInFlight() const {
    return impl_->peakInFlight;
}

FileTransfer::FileTransfer(FileChannel& link, MainView& view, Platform& platform, SDK& sdk)
    : link_(link),
      view_(view),
      platform_(platform),
      sdk_(sdk),
      impl_(std::make_unique<Impl>(platform)) {
    link_.Attach(this);
}

FileTransfer::~FileTransfer() {
    link_.Attach(nullptr);
}

bool FileTransfer::Busy() const {
    const TransferState& st = st_;
    return st.sendPhase != SendPhase::Idle || st.ClientRecv() || InBatch();
}

void FileTransfer::OnBrokenBlock() {
    // The stream fell out of step: what follows is no part of this file.
    if (st_.ClientRecv())
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
    const std::string fn = platform_.OpenFileName();
    if (!fn.empty()) SendFile(fn, 1);
}

void FileTransfer::SendFile(const std::string& fn, int m, bool quiet) {
    TransferState& st = st_;
    if (m != 0) {
        if (!platform_.ConfirmBox("Are you sure you want to send the file " + Utf8ToCp1252(fn) +
                                  "?"))
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
        view_.OnEvent({ViewEvent::Kind::FileNotSent, {}, fn});
        link_.Notify(FileChannel::kNotConnected);
        AbortSend("");
        return;
    }
    view_.SetHourglass(true);
    impl_->quietStart = quiet;
    const std::string name = BareName(fn);
    BlockSplit split;
    try {
        // Read only: a file gone since it was chosen or listed is not made anew.
        split = SplitLength(ExistingFileLength(fn));
    } catch (const std::exception& e) {
        view_.OnEvent({ViewEvent::Kind::FileNotSent, {}, fn});
        AbortSend("Cannot send " + Utf8ToCp1252(fn) + ": " + Reason(e));
        return;
    }
    st.nb = split.nb;
    st.rm = split.rm;
    impl_->sendPath = fn;
    impl_->heldOKs = 0;
    st.sendPhase = SendPhase::Announcing;
    impl_->fastSend = link_.Fast();
    if (impl_->fastSend) {
        // Announced in an envelope, the file's length and stamp behind it; the blocks
        // start when the receiver says how many it holds already.
        impl_->awaitingResume = true;
        const uint64_t length =
            static_cast<uint64_t>(split.nb) * kBlockSize + static_cast<uint64_t>(split.rm);
        // A receiver that never answers would hold this side (and a set) for good.
        const int64_t wait = kAnswerWaitMs + static_cast<int64_t>(length) / kReadBackBytesPerMs;
        impl_->answerWait.Start(static_cast<int>(wait), [this] {
            if (impl_->awaitingResume)
                AbortSend("The file " + Utf8ToCp1252(impl_->sendPath) +
                          " was not sent: the receiver did not answer.");
        });
        if (!link_.SendFramed("FL:" + name) ||
            !link_.Send(fast::FileHead(length, ModificationStamp(fn)))) {
            if (st.sendPhase != SendPhase::Idle) AbortSend("");
            return;
        }
        view_.OnEvent({ViewEvent::Kind::FileSending, {}, fn, static_cast<int64_t>(length)});
        view_.UpdateList("Sending " + Utf8ToCp1252(fn) + "...");
        StartDone();
        return;
    }
    if (!link_.Send("FL:" + name)) {
        if (st.sendPhase != SendPhase::Idle) AbortSend("");
        return;
    }
    view_.OnEvent({ViewEvent::Kind::FileSending, {}, fn, FileLength(st)});
    view_.UpdateList("Sending " + Utf8ToCp1252(fn) + "...");
    // The pause begins once "FL:" has really gone.
    impl_->pause.Start(
        2, [this] { SendFirstBlock(); }, [this] { return link_.Holding(); });
}

// The pause after "FL:" is over: the first message goes.
void FileTransfer::SendFirstBlock() {
    TransferState& st = st_;
    if (st.sendPhase != SendPhase::Announcing) return;
    try {
        impl_->out.emplace(impl_->sendPath, static_cast<size_t>(kBlockSize));
    } catch (const std::exception& e) {
        AbortSend("Cannot send " + Utf8ToCp1252(impl_->sendPath) + ": " + Reason(e));
        return;
    }
    st.CurrentBlock = 1;
    st.sendPhase = SendPhase::Sending;
    Prepare(1);
    if (!SendPrepared()) return;
    // The whole file went out with the first message.
    if (st.nb == 0 && st.sendPhase == SendPhase::Sending) st.sendPhase = SendPhase::LastSent;
    view_.ShowProgress(true);
    if (st.nb != 0) view_.SetProgress(ProgressValue(st.CurrentBlock, st.nb));
    if (st.nb != 0) Prepare(2);
    StartDone();
}

void FileTransfer::StartDone() {
    if (!std::exchange(impl_->quietStart, false)) return;
    view_.SetHourglass(false);
    view_.ShowProgress(false);
}

// Reads and enciphers the message for `record`: a whole block up to nb, then the closing
// "FB:RM:" with the rest of the file (empty when the length is a multiple of 1000). It
// is made right after the previous message went out, so this side enciphers while the
// peer deciphers; every message still waits for the "OK:" of the one before.
void FileTransfer::Prepare(int64_t record) {
    const TransferState& st = st_;
    SDK& sdk = sdk_;
    Impl& im = *impl_;
    const bool closing = record > st.nb;
    const size_t count = closing ? static_cast<size_t>(st.rm) : static_cast<size_t>(kBlockSize);
    im.readyError.clear();
    im.ready.assign(closing ? "FB:RM:" : "FB:");
    try {
        const char* shorter = "the file became shorter while it was being sent";
        // Blocks are read many at a time: the end looks at the file as it is now.
        if (closing && im.out->Length() < int64_t{st.nb} * kBlockSize + st.rm)
            throw FileError(shorter);
        if (count > 0) {
            const std::string got = im.out->Read(record);
            if (got.size() < count) throw FileError(shorter);
            if (im.fastSend) im.sendHash.Update(std::string_view(got).substr(0, count));
            // Enciphered in the message itself, behind its tag.
            const size_t at = im.ready.size();
            im.ready.append(got, 0, count);
            sdk.EncryptBlock(im.ready.data() + at, count);
        }
    } catch (const std::exception& e) {
        im.ready.clear();
        im.readyError = "Cannot send " + Utf8ToCp1252(im.sendPath) + ": " + Reason(e);
        return;
    }
    im.ready.push_back('|');
}

bool FileTransfer::SendPrepared() {
    Impl& im = *impl_;
    if (!im.readyError.empty()) {
        // Copied: ending the send clears it.
        const std::string error = im.readyError;
        AbortSend(error);
        return false;
    }
    if (link_.Send(im.ready)) return true;
    if (st_.sendPhase != SendPhase::Idle)
        AbortSend("The file " + Utf8ToCp1252(im.sendPath) + " was not sent completely.");
    return false;
}

void FileTransfer::OnOK() {
    TransferState& st = st_;
    Impl& im = *impl_;
    if (!st.FileInProgress()) return;
    if (im.fastSend) return OnFastOK();
    // A receiver that acknowledges without reading would have the file wait in our
    // memory: past the socket's bound an "OK:" waits for OnSendRoom. One that reads never
    // has more than a block waiting.
    if (im.heldOKs > 0 || link_.SendQueued() > fast::SendWindow::kMaxQueuedBytes) {
        ++im.heldOKs;
        return;
    }
    SendNextPlain();
}

void FileTransfer::SendNextPlain() {
    TransferState& st = st_;
    ++st.CurrentBlock;
    view_.SetProgress(ProgressValue(st.CurrentBlock, st.nb));
    if (st.CurrentBlock <= st.nb) {
        if (SendPrepared()) Prepare(static_cast<int64_t>(st.CurrentBlock) + 1);
        return;
    }
    if (!st.FBRMSent() && !SendPrepared()) return;
    FinishFile();
}

void FileTransfer::OnControl(const std::string& m) {
    Impl& im = *impl_;
    const std::string_view tag = std::string_view(m).substr(0, 3);
    if (tag == fast::kResume) {
        if (!im.awaitingResume || st_.sendPhase != SendPhase::Announcing) return;
        const uint64_t blocks = fast::ParseHex(std::string_view(m).substr(3)).value_or(0);
        // More than the file holds is no point to go on from: the whole file goes.
        const bool past = blocks > static_cast<uint64_t>(std::max(st_.nb, 0));
        StartFastSend(past ? 0 : static_cast<uint32_t>(blocks));
    } else if (tag == fast::kFileHead) {
        OnFileOffer(m);
    } else if (tag == fast::kHash) {
        if (im.fastRecv) im.expectedHash = m.substr(3);
    }
}

void FileTransfer::StartFastSend(uint32_t resumeBlocks) {
    const TransferState& st = st_;
    Impl& im = *impl_;
    im.awaitingResume = false;
    im.answerWait.Stop();
    try {
        im.out.emplace(im.sendPath, static_cast<size_t>(kBlockSize));
    } catch (const std::exception& e) {
        AbortSend("Cannot send " + Utf8ToCp1252(im.sendPath) + ": " + Reason(e));
        return;
    }
    im.skipped = std::min<int64_t>(resumeBlocks, st.nb);
    im.sendHash.Reset();
    if (im.skipped == 0) return SendFastBlocks();
    // The receiver holds these already; the hash of the whole file still needs them.
    im.sendKept.Start(im.sendPath, im.skipped, im.sendHash, [this](const std::string& error) {
        if (!error.empty())
            AbortSend("Cannot send " + Utf8ToCp1252(impl_->sendPath) + ": " + Utf8ToCp1252(error));
        else
            SendFastBlocks();
    });
}

void FileTransfer::SendFastBlocks() {
    TransferState& st = st_;
    Impl& im = *impl_;
    st.CurrentBlock = static_cast<int32_t>(im.skipped);
    st.sendPhase = SendPhase::Sending;
    im.closingSent = false;
    im.nextRecord = im.skipped + 1;
    im.acked = 0;
    im.messages = st.nb - im.skipped + 1;  // the blocks left and the closing message
    im.window = fast::SendWindow();
    im.peakInFlight = 0;
    view_.ShowProgress(true);
    Pump();
}

// Sends what the window allows: blocks up to nb, then the hash and the closing message.
// A receiver that acknowledges faster than it reads would otherwise have the whole file
// waiting in our memory: while the socket holds more than its bound, the rest waits for
// OnSendRoom.
void FileTransfer::Pump() {
    TransferState& st = st_;
    Impl& im = *impl_;
    im.pumping = true;
    struct Done {
        bool& pumping;
        ~Done() { pumping = false; }
    } done{im.pumping};
    // The blocks of one batch share one look at the key folder.
    SDK::OneLook look(sdk_);
    while (st.FileInProgress() && !im.closingSent && im.window.CanSend() &&
           link_.SendQueued() <= fast::SendWindow::kMaxQueuedBytes) {
        const int64_t record = im.nextRecord;
        Prepare(record);
        if (record > st.nb) {
            if (im.readyError.empty() && !link_.Send(fast::HashMessage(im.sendHash.HexDigest()))) {
                if (st.sendPhase != SendPhase::Idle)
                    AbortSend("The file " + Utf8ToCp1252(im.sendPath) +
                              " was not sent completely.");
                return;
            }
            if (!SendPrepared()) return;
            im.closingSent = true;
        } else {
            if (!SendPrepared()) return;
            ++im.nextRecord;
        }
        im.window.Sent(link_.NowMs());
        im.peakInFlight = std::max(im.peakInFlight, im.window.InFlight());
    }
}

void FileTransfer::OnSendRoom() {
    Impl& im = *impl_;
    const TransferState& st = st_;
    if (im.pumping || !st.FileInProgress()) return;
    if (im.fastSend) {
        Pump();
        return;
    }
    im.pumping = true;
    while (im.heldOKs > 0 && st.FileInProgress() &&
           link_.SendQueued() <= fast::SendWindow::kMaxQueuedBytes) {
        --im.heldOKs;
        SendNextPlain();
    }
    im.pumping = false;
}

void FileTransfer::OnFastOK() {
    TransferState& st = st_;
    Impl& im = *impl_;
    if (!im.window.Acked(link_.NowMs())) return;  // nothing of ours was awaiting it
    ++im.acked;
    st.CurrentBlock = static_cast<int32_t>(std::min<int64_t>(im.skipped + im.acked, st.nb + 1));
    view_.SetProgress(ProgressValue(st.CurrentBlock, st.nb));
    if (im.acked >= im.messages) {
        FinishFile();
        return;
    }
    Pump();
}

void FileTransfer::FinishFile() {
    TransferState& st = st_;
    impl_->out.reset();
    impl_->ready.clear();
    view_.OnEvent({ViewEvent::Kind::FileSent, {}, impl_->sendPath, FileLength(st)});
    view_.UpdateList("File Transferred.");
    st.sendPhase = SendPhase::Idle;
    impl_->heldOKs = 0;
    if (InBatch()) listener_->OnFileSent();
    view_.SetHourglass(false);
    view_.ShowProgress(false);
}

void FileTransfer::AbortSend(const std::string& statusLine) {
    TransferState& st = st_;
    if (st.sendPhase != SendPhase::Idle)
        view_.OnEvent({ViewEvent::Kind::FileNotSent, {}, impl_->sendPath, FileLength(st)});
    impl_->awaitingResume = false;
    impl_->answerWait.Stop();
    impl_->sendKept.Stop();
    impl_->pause.Stop();
    impl_->quietStart = false;
    impl_->out.reset();
    impl_->ready.clear();
    impl_->readyError.clear();
    impl_->heldOKs = 0;
    st.sendPhase = SendPhase::Idle;
    if (!statusLine.empty()) view_.UpdateList(statusLine);
    if (InBatch()) listener_->OnSendAborted();
    view_.SetHourglass(false);
    view_.ShowProgress(false);
}

void FileTransfer::OnFL(const std::string& payload) {
    TransferState& st = st_;
    Impl& im = *impl_;
    if (st.ClientRecv())
        EndReceive("File incomplete: " + im.RecvFileName + " (a new file was announced)");
    im.offeredName = im.RecvFileName = SanitizeReceivedName(payload);
    im.RecvBlockCount = 0;
    im.fastRecv = false;
    // On a fast link the offer that follows says whether a part of it is here already.
    im.awaitingOffer = link_.Fast();
    st.recvPhase = RecvPhase::Receiving;
    if (!im.awaitingOffer) StartReceivedFile();
}

// Creates the file under the name offered or, where that is taken, the first free
// numbered one: a file received earlier is never replaced, nor a link written through.
bool FileTransfer::StartReceivedFile() {
    Impl& im = *impl_;
    const TransferState& st = st_;
    im.awaitingOffer = false;
    bool named = false;
    try {
        if (!st.Recv.empty()) MakeFolder(st.Recv);  // gone since start-up
        for (int n = 1; !named; ++n) {
            if (n > kMaxNumberedNames) throw FileError("no free name is left for it");
            const std::string name = NumberedName(im.offeredName, n);
            const std::string path = st.Recv + Cp1252ToUtf8(name);
            if (CreateReceivedFile(path)) {
                im.RecvFileName = name;
                im.recvPath = path;
                named = true;
            }
        }
        view_.OnEvent({ViewEvent::Kind::FileReceiving, im.RecvFileName, im.recvPath});
        view_.UpdateList("Receiving File " + im.RecvFileName);
        im.in.emplace(im.recvPath, static_cast<size_t>(kBlockSize));
        return true;
    } catch (const std::exception& e) {
        if (!named) {
            view_.OnEvent({ViewEvent::Kind::FileReceiving, im.RecvFileName,
                           st.Recv + Cp1252ToUtf8(im.RecvFileName)});
            view_.UpdateList("Receiving File " + im.RecvFileName);
        }
        FailReceive(Reason(e));
        return false;
    }
}

// The partial file that a receive of this very offer left, cut back to the whole blocks
// worth keeping; how many those are. Nothing when there is none.
std::optional<uint32_t> FileTransfer::FindPartialFile() {
    Impl& im = *impl_;
    const std::string note = ResumeNote(sdk_);
    try {
        if (!FileExists(note)) return std::nullopt;
        const auto saved = SavedName(ReadWholeFile(note), NoteText(im.offeredName, im.offer),
                                     im.offeredName, secure::ToHex(link_.PeerIdentity()));
        if (!saved) return std::nullopt;
        const std::string path = st_.Recv + Cp1252ToUtf8(*saved);
        const auto length = static_cast<uint64_t>(ExistingFileLength(path));
        const uint64_t have = std::min(length, im.offer.length) / kBlockSize;
        // Shortened only: what follows the blocks kept would outlive the file's new end.
        if (length > have * kBlockSize) TruncateFile(path, static_cast<int64_t>(have * kBlockSize));
        im.RecvFileName = *saved;
        im.recvPath = path;
        return static_cast<uint32_t>(have);  // the offer's length bounds it to 31 bits
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void FileTransfer::OnFileOffer(const std::string& m) {
    const TransferState& st = st_;
    Impl& im = *impl_;
    const auto offer = fast::ParseFileHead(m);
    if (!offer || !st.ClientRecv() || !im.awaitingOffer) return;
    im.awaitingOffer = false;
    // No sender of ours counts that many blocks; the sums below would overflow.
    if (offer->length > kMaxFileLength) {
        EndReceive("File not received: " + im.RecvFileName +
                   " (the announced length is more than any file sent can have)");
        return;
    }
    im.offer = *offer;
    im.fastRecv = true;
    im.expectedHash.clear();
    im.recvHash.Reset();
    // The same file broke off here before: its whole blocks on disk are kept, read back
    // for the hash, and the sender goes on after them.
    std::optional<uint32_t> have = FindPartialFile();
    if (!have) {
        if (!StartReceivedFile()) return AnswerOffer(0);
    } else {
        view_.OnEvent({ViewEvent::Kind::FileReceiving, im.RecvFileName, im.recvPath});
        view_.UpdateList("Receiving File " + im.RecvFileName);
        try {
            im.in.emplace(im.recvPath, static_cast<size_t>(kBlockSize));
        } catch (const std::exception& e) {
            FailReceive(Reason(e));
            return AnswerOffer(0);
        }
    }
    try {
        TextWriter w(ResumeNote(sdk_));
        const std::string peer = secure::ToHex(link_.PeerIdentity());
        w.Write(NoteText(im.offeredName, im.offer) + im.RecvFileName + "\n" +
                (peer.empty() ? "" : peer + "\n"));
        w.Close();
    } catch (const std::exception&) {
        // Without the note the file cannot go on later; it still arrives now.
    }
    if (!have || *have == 0) return AnswerOffer(0);
    const uint32_t kept = *have;
    im.recvKept.Start(im.recvPath, kept, im.recvHash, [this, kept](const std::string& error) {
        if (error.empty()) return AnswerOffer(kept);
        // Not readable after all: start afresh.
        impl_->recvHash.Reset();
        AnswerOffer(0);
    });
}

void FileTransfer::AnswerOffer(uint32_t have) {
    Impl& im = *impl_;
    im.RecvBlockCount = static_cast<int32_t>(have);
    if (have > 0)
        view_.UpdateList("Resuming " + im.RecvFileName + " after " + std::to_string(have) +
                         " blocks.");
    link_.Send(fast::Resume(have));
}

// The closing status line of a fast receive. The note of a file that may go on later is
// dropped: the file arrived, or what is here is not worth going on with.
std::string FileTransfer::ReceivedVerdict(ViewEvent::Verdict& verdict) {
    Impl& im = *impl_;
    const SDK& sdk = sdk_;
    try {
        if (FileExists(ResumeNote(sdk))) DeleteFileOrThrow(ResumeNote(sdk));
    } catch (const std::exception&) {
    }
    const uint64_t got = static_cast<uint64_t>(im.RecvBlockCount) * kBlockSize + im.plain.size();
    const std::string digest = im.recvHash.HexDigest();
    // Only the secure channel vouches for the hash: on a plain link whoever could change
    // the file could change its hash too.
    if (!im.expectedHash.empty() && digest == im.expectedHash && got == im.offer.length) {
        verdict = link_.Secure() ? ViewEvent::Verdict::Verified : ViewEvent::Verdict::Plain;
        return link_.Secure() ? "File received (verified)." : "File received.";
    }
    verdict = ViewEvent::Verdict::Damaged;
    return "File damaged: " + im.RecvFileName + " differs from the file that was sent.";
}

void FileTransfer::FailReceive(const std::string& reason) {
    st_.recvPhase = RecvPhase::Discarding;
    impl_->in.reset();
    view_.UpdateList("Cannot write " + impl_->RecvFileName + ": " + reason);
}

void FileTransfer::OnFB(const std::string& message) {
    TransferState& st = st_;
    Impl& im = *impl_;
    if (!st.ClientRecv()) return;  // no file was announced: nowhere to put it
    if (im.recvKept.Running()) {
        // A sender of ours waits for the answer; this one is out of step.
        EndReceive("File incomplete: " + im.RecvFileName + " (blocks came before the answer)");
        return;
    }
    if (im.awaitingOffer) StartReceivedFile();  // blocks without an offer: afresh
    const bool end = message.size() >= 6 && message.compare(3, 3, "RM:") == 0;
    if (!end) {
        if (im.fastRecv &&
            static_cast<uint64_t>(im.RecvBlockCount) >= im.offer.length / kBlockSize) {
            EndReceive("File incomplete: " + im.RecvFileName +
                       " (more blocks came than were announced)");
            return;
        }
        if (im.RecvBlockCount == std::numeric_limits<int32_t>::max()) {
            if (st.recvPhase != RecvPhase::Discarding) FailReceive("the file is too large");
        } else {
            ++im.RecvBlockCount;
        }
        // Acknowledged first, so the sender's next block travels while this one is
        // deciphered and written. A failure shows here and at the file's end. Without
        // the connection the file cannot be finished: what is written stays.
        if (!link_.Send("OK:") || st.recvPhase != RecvPhase::Receiving || !Decipher(message, 3))
            return;
        try {
            // A record: cut or filled up with blanks to the block's length.
            im.plain.resize(static_cast<size_t>(kBlockSize), ' ');
            im.in->Write(im.RecvBlockCount, im.plain);
            if (im.fastRecv) im.recvHash.Update(im.plain);
        } catch (const std::exception& e) {
            FailReceive(Reason(e));
        }
        return;
    }
    im.plain.clear();
    if (st.recvPhase != RecvPhase::Discarding && Decipher(message, 6)) {
        try {
            // The file holds exactly RecvBlockCount records: the rest goes at its end.
            im.in->WriteRaw(static_cast<int64_t>(im.RecvBlockCount) + 1, im.plain);
            im.in->Close();
            if (im.fastRecv) im.recvHash.Update(im.plain);
        } catch (const std::exception& e) {
            FailReceive(Reason(e));
        }
    }
    im.in.reset();
    ViewEvent done{ViewEvent::Kind::FileReceived, im.RecvFileName, im.recvPath,
                   int64_t{im.RecvBlockCount} * kBlockSize + static_cast<int64_t>(im.plain.size())};
    std::string verdict = "File received.";
    if (st.recvPhase == RecvPhase::Discarding) {
        done.kind = ViewEvent::Kind::FileNotReceived;
        verdict = "File not received: " + im.RecvFileName;
    } else if (im.fastRecv) {
        verdict = ReceivedVerdict(done.verdict);
    }
    im.fastRecv = false;
    view_.OnEvent(done);
    view_.UpdateList(verdict);
    view_.SetHourglass(false);
    st.recvPhase = RecvPhase::Idle;
    link_.Send("OK:");
}

// Deciphers the payload (from character `from` on) into the received block's buffer.
bool FileTransfer::Decipher(const std::string& message, size_t from) {
    std::string& plain = impl_->plain;
    plain.assign(message, std::min(message.size(), from));
    if (plain.empty()) return true;
    try {
        sdk_.DecryptBlock(plain.data(), plain.size());
        return true;
    } catch (const std::exception& e) {
        FailReceive(Reason(e));
        return false;
    }
}

void FileTransfer::EndReceive(const std::string& statusLine) {
    impl_->recvKept.Stop();
    impl_->in.reset();
    impl_->fastRecv = impl_->awaitingOffer = false;
    st_.recvPhase = RecvPhase::Idle;
    view_.OnEvent({ViewEvent::Kind::FileNotReceived, impl_->RecvFileName});
    view_.UpdateList(statusLine);
    view_.SetHourglass(false);
}

void FileTransfer::OnConnectionLost() {
    const TransferState& st = st_;
    if (st.sendPhase != SendPhase::Idle)
        AbortSend("The file " + Utf8ToCp1252(impl_->sendPath) + " was not sent completely.");
    else if (InBatch())
        AbortSend("");
    if (st.ClientRecv())
        EndReceive("The file " + impl_->RecvFileName + " was not received completely.");
}

}  // namespace keyvane
