#include "transfer/FileTransfer.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <optional>
#include <utility>
#include <variant>

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

namespace {

// Sending, one phase at a time. Every phase holds only what it needs; leaving it drops
// that, timers included.
//
//   none --SendFile--> Pausing --pause over--> PlainSending --"OK:" of the last block--> none
//                                                 | nb == 0: the first message closed it
//                                                 +--> PlainLastSent --its "OK:"--> none
//   none --SendFile on a fast link--> AwaitingAnswer --"KVR"--> HashingKept --> FastSending
//                                                       (none kept: straight on)    |
//                                                   every message acknowledged --> none
//   A failure or a lost connection ends any phase (AbortSend).

// Plain link: "FL:" went out; the first block follows the pause.
struct Pausing {
    static constexpr SendPhase kShown = SendPhase::Announcing;
    Pausing(Platform& p, bool q) : pause(p), quiet(q) {}
    Pause pause;
    // A batch's later file: once it is under way, the pointer is the arrow and the bar
    // is hidden, as the end of the file before left them.
    bool quiet;
};

// Fast link: "FL:" and "KVF" went out, "KVR" not yet in.
struct AwaitingAnswer {
    static constexpr SendPhase kShown = SendPhase::Announcing;
    explicit AwaitingAnswer(Platform& p) : wait(p) {}
    OneShot wait;  // a receiver that never answers would hold this side for good
};

// Fast link: the receiver holds the first `skipped` blocks; the hash of the whole file
// still needs them.
struct HashingKept {
    static constexpr SendPhase kShown = SendPhase::Announcing;
    HashingKept(Platform& p, BlockReader r, int64_t s)
        : reader(std::move(r)), skipped(s), kept(p) {}
    BlockReader reader;
    int64_t skipped;
    Sha256 hash;
    StepHasher kept;  // feeds `hash`, so it goes first
};

// Stop-and-wait: each "OK:" lets the next message go.
struct PlainSending {
    static constexpr SendPhase kShown = SendPhase::Sending;
    explicit PlainSending(BlockReader r) : reader(std::move(r)) {}
    BlockReader reader;
    int64_t heldOKs = 0;  // "OK:"s that wait for the socket to take what it holds
};

// The first message was already the closing "FB:RM:"; its "OK:" ends the file.
struct PlainLastSent {
    static constexpr SendPhase kShown = SendPhase::LastSent;
    int64_t heldOKs = 0;
};

// Fast link: blocks go out as the window allows, from record skipped + 1 on, then the
// hash and the closing message; the file ends when all are acknowledged.
struct FastSending {
    static constexpr SendPhase kShown = SendPhase::Sending;
    FastSending(BlockReader r, const Sha256& h, int64_t s)
        : reader(std::move(r)), hash(h), skipped(s), nextRecord(s + 1) {}
    BlockReader reader;
    Sha256 hash;
    int64_t skipped;
    int64_t nextRecord;  // nb + 1 is the closing message; past it all went
    int64_t acked = 0;
    fast::SendWindow window;
};

// The file being sent. Each side has its own file for each direction, so a file
// announced by the peer can arrive while this side sends one.
struct Outgoing {
    template <class Phase, class... Args>
    Outgoing(std::string p, std::in_place_type_t<Phase> first, Args&&... args)
        : path(std::move(p)), phase(first, std::forward<Args>(args)...) {}
    std::string path;  // native (UTF-8)
    std::variant<Pausing, AwaitingAnswer, HashingKept, PlainSending, PlainLastSent, FastSending>
        phase;
};

// Receiving:
//
//   none --"FL:"--> Announced --(plain link at once, fast link on "KVF")--> Writing
//                       \--"KVF" for a partial file kept here--> ReadingBack --> Writing
//   Writing --"FB:RM:"--> none
//   A file that cannot be written goes to Discarding, which acknowledges blocks until
//   "FB:RM:". A broken stream, a new "FL:" or a lost connection ends any phase.

// "FL:" came; no file is made yet. On a fast link the offer that follows says whether
// a part of it is here already.
struct Announced {
    static constexpr RecvPhase kShown = RecvPhase::Receiving;
};

// The whole blocks kept of a partial file are read back for the hash before "KVR" goes.
struct ReadingBack {
    static constexpr RecvPhase kShown = RecvPhase::Receiving;
    ReadingBack(Platform& p, BlockWriter w) : writer(std::move(w)), kept(p) {}
    BlockWriter writer;
    StepHasher kept;
};

struct Writing {
    static constexpr RecvPhase kShown = RecvPhase::Receiving;
    explicit Writing(BlockWriter w) : writer(std::move(w)) {}
    BlockWriter writer;
};

// The file could not be written; the rest is only acknowledged.
struct Discarding {
    static constexpr RecvPhase kShown = RecvPhase::Discarding;
};

// Fast link: what "KVF" offered and what came of it.
struct FastReceive {
    explicit FastReceive(const fast::FileOffer& o) : offer(o) {}
    fast::FileOffer offer;
    std::string expectedHash;  // from "KVH"
    Sha256 hash;
};

// The file being received, from "FL:" to its end.
struct Incoming {
    explicit Incoming(const std::string& name) : offeredName(name), RecvFileName(name) {}
    std::string offeredName;   // the name "FL:" gave, made safe
    std::string RecvFileName;  // the name actually used (Windows-1252)
    std::string path;          // native
    int32_t RecvBlockCount = 0;
    std::optional<FastReceive> fast;  // after "KVF"
    std::variant<Announced, ReadingBack, Writing, Discarding> phase;
};

}  // namespace

// All moves between phases go through Start/To/End below, which keep the phases that
// State() shows in step.
struct FileTransfer::Impl {
    explicit Impl(TransferState& s) : st(s) {}
    TransferState& st;

    std::optional<Outgoing> out;
    std::optional<Incoming> in;
    // Kept from file to file, so no block costs an allocation; outside the phases, as a
    // send may end the phase while it reads them.
    std::string ready;        // the next message, enciphered, waiting for its "OK:"
    std::string readyError;   // why the next message could not be made
    std::string plain;        // the block or rest last deciphered
    bool pumping = false;     // a send inside Pump reports progress, which must not pump
    size_t peakInFlight = 0;  // of the last fast send

    template <class Phase, class... Args>
    Phase& StartSend(const std::string& path, Args&&... args) {
        out.emplace(path, std::in_place_type<Phase>, std::forward<Args>(args)...);
        st.sendPhase = Phase::kShown;
        return std::get<Phase>(out->phase);
    }
    template <class Phase, class... Args>
    Phase& ToSend(Args&&... args) {
        st.sendPhase = Phase::kShown;
        return out->phase.template emplace<Phase>(std::forward<Args>(args)...);
    }
    void EndSend() {
        out.reset();
        ready.clear();
        readyError.clear();
        st.sendPhase = SendPhase::Idle;
    }
    template <class Phase>
    Phase* Sending() {
        return out ? std::get_if<Phase>(&out->phase) : nullptr;
    }

    Incoming& StartRecv(const std::string& name) {
        in.emplace(name);
        st.recvPhase = Announced::kShown;
        return *in;
    }
    template <class Phase, class... Args>
    Phase& ToRecv(Args&&... args) {
        st.recvPhase = Phase::kShown;
        return in->phase.template emplace<Phase>(std::forward<Args>(args)...);
    }
    void EndRecv() {
        in.reset();
        st.recvPhase = RecvPhase::Idle;
    }
    template <class Phase>
    Phase* Receiving() {
        return in ? std::get_if<Phase>(&in->phase) : nullptr;
    }
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
    if (!impl_->in || !impl_->in->fast) return 0;
    return 6 +
           static_cast<size_t>(impl_->in->fast->offer.length % static_cast<uint64_t>(kBlockSize));
}

size_t FileTransfer::PeakInFlight() const {
    return impl_->peakInFlight;
}

FileTransfer::FileTransfer(FileChannel& link, MainView& view, Platform& platform, SDK& sdk)
    : link_(link), view_(view), platform_(platform), sdk_(sdk), impl_(std::make_unique<Impl>(st_)) {
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
    if (impl_->in)
        EndReceive("File incomplete: " + impl_->in->RecvFileName + " (a block was broken)");
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
    Impl& im = *impl_;
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
    if (link_.Fast()) {
        // Announced in an envelope, the file's length and stamp behind it; the blocks
        // start when the receiver says how many it holds already.
        const uint64_t length =
            static_cast<uint64_t>(split.nb) * kBlockSize + static_cast<uint64_t>(split.rm);
        const int64_t wait = kAnswerWaitMs + static_cast<int64_t>(length) / kReadBackBytesPerMs;
        im.StartSend<AwaitingAnswer>(fn, platform_).wait.Start(static_cast<int>(wait), [this] {
            AbortSend("The file " + Utf8ToCp1252(impl_->out->path) +
                      " was not sent: the receiver did not answer.");
        });
        if (!link_.SendFramed("FL:" + name) ||
            !link_.Send(fast::FileHead(length, ModificationStamp(fn)))) {
            if (im.out) AbortSend("");
            return;
        }
        view_.OnEvent({ViewEvent::Kind::FileSending, {}, fn, static_cast<int64_t>(length)});
        view_.UpdateList("Sending " + Utf8ToCp1252(fn) + "...");
        StartDone(quiet);
        return;
    }
    im.StartSend<Pausing>(fn, platform_, quiet);
    if (!link_.Send("FL:" + name)) {
        if (im.out) AbortSend("");
        return;
    }
    view_.OnEvent({ViewEvent::Kind::FileSending, {}, fn, FileLength(st)});
    view_.UpdateList("Sending " + Utf8ToCp1252(fn) + "...");
    // The pause begins once "FL:" has really gone.
    if (Pausing* pausing = im.Sending<Pausing>())
        pausing->pause.Start(
            2, [this] { SendFirstBlock(); }, [this] { return link_.Holding(); });
}

// The pause after "FL:" is over: the first message goes.
void FileTransfer::SendFirstBlock() {
    TransferState& st = st_;
    Impl& im = *impl_;
    const Pausing* pausing = im.Sending<Pausing>();
    if (!pausing) return;
    const bool quiet = pausing->quiet;
    std::optional<BlockReader> reader;
    try {
        reader.emplace(im.out->path, static_cast<size_t>(kBlockSize));
    } catch (const std::exception& e) {
        AbortSend("Cannot send " + Utf8ToCp1252(im.out->path) + ": " + Reason(e));
        return;
    }
    st.CurrentBlock = 1;
    Prepare(im.ToSend<PlainSending>(std::move(*reader)).reader, nullptr, 1);
    if (!SendPrepared()) return;
    // The whole file went out with the first message.
    if (const PlainSending* sending = im.Sending<PlainSending>(); sending && st.nb == 0) {
        const int64_t held = sending->heldOKs;
        im.ToSend<PlainLastSent>().heldOKs = held;
    }
    view_.ShowProgress(true);
    if (st.nb != 0) view_.SetProgress(ProgressValue(st.CurrentBlock, st.nb));
    if (st.nb != 0)
        if (PlainSending* sending = im.Sending<PlainSending>())
            Prepare(sending->reader, nullptr, 2);
    StartDone(quiet);
}

void FileTransfer::StartDone(bool quiet) {
    if (!quiet) return;
    view_.SetHourglass(false);
    view_.ShowProgress(false);
}

// Reads and enciphers the message for `record`: a whole block up to nb, then the closing
// "FB:RM:" with the rest of the file (empty when the length is a multiple of 1000). It
// is made right after the previous message went out, so this side enciphers while the
// peer deciphers; every message still waits for the "OK:" of the one before. `hash`,
// on a fast link, takes what is read.
void FileTransfer::Prepare(BlockReader& reader, Sha256* hash, int64_t record) {
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
        if (closing && reader.Length() < int64_t{st.nb} * kBlockSize + st.rm)
            throw FileError(shorter);
        if (count > 0) {
            const std::string got = reader.Read(record);
            if (got.size() < count) throw FileError(shorter);
            if (hash) hash->Update(std::string_view(got).substr(0, count));
            // Enciphered in the message itself, behind its tag.
            const size_t at = im.ready.size();
            im.ready.append(got, 0, count);
            sdk.EncryptBlock(im.ready.data() + at, count);
        }
    } catch (const std::exception& e) {
        im.ready.clear();
        im.readyError = "Cannot send " + Utf8ToCp1252(im.out->path) + ": " + Reason(e);
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
    if (im.out) AbortSend("The file " + Utf8ToCp1252(im.out->path) + " was not sent completely.");
    return false;
}

// Stop-and-wait: the "OK:"s held back in this phase, if it is one of that kind.
int64_t* FileTransfer::HeldOKs() {
    Impl& im = *impl_;
    if (PlainSending* sending = im.Sending<PlainSending>()) return &sending->heldOKs;
    if (PlainLastSent* last = im.Sending<PlainLastSent>()) return &last->heldOKs;
    return nullptr;
}

void FileTransfer::OnOK() {
    if (!st_.FileInProgress()) return;
    if (impl_->Sending<FastSending>()) return OnFastOK();
    int64_t* held = HeldOKs();
    if (!held) return;
    // A receiver that acknowledges without reading would have the file wait in our
    // memory: past the socket's bound an "OK:" waits for OnSendRoom. One that reads never
    // has more than a block waiting.
    if (*held > 0 || link_.SendQueued() > fast::SendWindow::kMaxQueuedBytes) {
        ++*held;
        return;
    }
    SendNextPlain();
}

void FileTransfer::SendNextPlain() {
    TransferState& st = st_;
    Impl& im = *impl_;
    ++st.CurrentBlock;
    view_.SetProgress(ProgressValue(st.CurrentBlock, st.nb));
    if (st.CurrentBlock <= st.nb) {
        if (!SendPrepared()) return;
        if (PlainSending* sending = im.Sending<PlainSending>())
            Prepare(sending->reader, nullptr, static_cast<int64_t>(st.CurrentBlock) + 1);
        return;
    }
    if (!im.Sending<PlainLastSent>() && !SendPrepared()) return;
    FinishFile();
}

void FileTransfer::OnControl(const std::string& m) {
    Impl& im = *impl_;
    const std::string_view tag = std::string_view(m).substr(0, 3);
    if (tag == fast::kResume) {
        if (!im.Sending<AwaitingAnswer>()) return;
        const uint64_t blocks = fast::ParseHex(std::string_view(m).substr(3)).value_or(0);
        // More than the file holds is no point to go on from: the whole file goes.
        const bool past = blocks > static_cast<uint64_t>(std::max(st_.nb, 0));
        StartFastSend(past ? 0 : static_cast<uint32_t>(blocks));
    } else if (tag == fast::kFileHead) {
        OnFileOffer(m);
    } else if (tag == fast::kHash) {
        if (im.in && im.in->fast) im.in->fast->expectedHash = m.substr(3);
    }
}

void FileTransfer::StartFastSend(uint32_t resumeBlocks) {
    const TransferState& st = st_;
    Impl& im = *impl_;
    std::optional<BlockReader> reader;
    try {
        reader.emplace(im.out->path, static_cast<size_t>(kBlockSize));
    } catch (const std::exception& e) {
        AbortSend("Cannot send " + Utf8ToCp1252(im.out->path) + ": " + Reason(e));
        return;
    }
    const int64_t skipped = std::min<int64_t>(resumeBlocks, st.nb);
    if (skipped == 0) return SendFastBlocks(std::move(*reader), Sha256(), 0);
    // The receiver holds these already; the hash of the whole file still needs them.
    HashingKept& hashing = im.ToSend<HashingKept>(platform_, std::move(*reader), skipped);
    hashing.kept.Start(im.out->path, skipped, hashing.hash, [this](const std::string& error) {
        if (!error.empty()) {
            AbortSend("Cannot send " + Utf8ToCp1252(impl_->out->path) + ": " + Utf8ToCp1252(error));
            return;
        }
        HashingKept& done = *impl_->Sending<HashingKept>();
        BlockReader kept = std::move(done.reader);
        SendFastBlocks(std::move(kept), done.hash, done.skipped);
    });
}

void FileTransfer::SendFastBlocks(BlockReader reader, const Sha256& hash, int64_t skipped) {
    st_.CurrentBlock = static_cast<int32_t>(skipped);
    // Copied before the phase they may belong to ends.
    const Sha256 sofar = hash;
    impl_->ToSend<FastSending>(std::move(reader), sofar, skipped);
    impl_->peakInFlight = 0;
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
    // Looked up after every send: a send may end the phase.
    for (FastSending* f = im.Sending<FastSending>();
         f && f->nextRecord <= st.nb + 1 && f->window.CanSend() &&
         link_.SendQueued() <= fast::SendWindow::kMaxQueuedBytes;
         f = im.Sending<FastSending>()) {
        const int64_t record = f->nextRecord;
        Prepare(f->reader, &f->hash, record);
        if (record > st.nb && im.readyError.empty() &&
            !link_.Send(fast::HashMessage(f->hash.HexDigest()))) {
            if (im.out)
                AbortSend("The file " + Utf8ToCp1252(im.out->path) + " was not sent completely.");
            return;
        }
        if (!SendPrepared() || !(f = im.Sending<FastSending>())) return;
        ++f->nextRecord;
        f->window.Sent(link_.NowMs());
        im.peakInFlight = std::max(im.peakInFlight, f->window.InFlight());
    }
}

void FileTransfer::OnSendRoom() {
    Impl& im = *impl_;
    const TransferState& st = st_;
    if (im.pumping || !st.FileInProgress()) return;
    if (im.Sending<FastSending>()) {
        Pump();
        return;
    }
    im.pumping = true;
    for (int64_t* held = HeldOKs(); held && *held > 0 && st.FileInProgress() &&
                                    link_.SendQueued() <= fast::SendWindow::kMaxQueuedBytes;
         held = HeldOKs()) {
        --*held;
        SendNextPlain();
    }
    im.pumping = false;
}

void FileTransfer::OnFastOK() {
    TransferState& st = st_;
    FastSending& f = *impl_->Sending<FastSending>();
    if (!f.window.Acked(link_.NowMs())) return;  // nothing of ours was awaiting it
    ++f.acked;
    st.CurrentBlock = static_cast<int32_t>(std::min<int64_t>(f.skipped + f.acked, st.nb + 1));
    // The blocks left and the closing message.
    const bool all = f.acked >= st.nb - f.skipped + 1;
    view_.SetProgress(ProgressValue(st.CurrentBlock, st.nb));
    if (all) {
        FinishFile();
        return;
    }
    Pump();
}

void FileTransfer::FinishFile() {
    Impl& im = *impl_;
    view_.OnEvent({ViewEvent::Kind::FileSent, {}, im.out->path, FileLength(st_)});
    view_.UpdateList("File Transferred.");
    im.EndSend();
    if (InBatch()) listener_->OnFileSent();
    view_.SetHourglass(false);
    view_.ShowProgress(false);
}

void FileTransfer::AbortSend(const std::string& statusLine) {
    Impl& im = *impl_;
    if (im.out) view_.OnEvent({ViewEvent::Kind::FileNotSent, {}, im.out->path, FileLength(st_)});
    im.EndSend();
    if (!statusLine.empty()) view_.UpdateList(statusLine);
    if (InBatch()) listener_->OnSendAborted();
    view_.SetHourglass(false);
    view_.ShowProgress(false);
}

void FileTransfer::OnFL(const std::string& payload) {
    Impl& im = *impl_;
    if (im.in)
        EndReceive("File incomplete: " + im.in->RecvFileName + " (a new file was announced)");
    im.StartRecv(SanitizeReceivedName(payload));
    if (!link_.Fast()) StartReceivedFile();
}

// Creates the file under the name offered or, where that is taken, the first free
// numbered one: a file received earlier is never replaced, nor a link written through.
bool FileTransfer::StartReceivedFile() {
    Impl& im = *impl_;
    Incoming& r = *im.in;
    const TransferState& st = st_;
    bool named = false;
    try {
        if (!st.Recv.empty()) MakeFolder(st.Recv);  // gone since start-up
        for (int n = 1; !named; ++n) {
            if (n > kMaxNumberedNames) throw FileError("no free name is left for it");
            const std::string name = NumberedName(r.offeredName, n);
            const std::string path = st.Recv + Cp1252ToUtf8(name);
            if (CreateReceivedFile(path)) {
                r.RecvFileName = name;
                r.path = path;
                named = true;
            }
        }
        view_.OnEvent({ViewEvent::Kind::FileReceiving, r.RecvFileName, r.path});
        view_.UpdateList("Receiving File " + r.RecvFileName);
        im.ToRecv<Writing>(BlockWriter(r.path, static_cast<size_t>(kBlockSize)));
        return true;
    } catch (const std::exception& e) {
        if (!named) {
            view_.OnEvent({ViewEvent::Kind::FileReceiving, r.RecvFileName,
                           st.Recv + Cp1252ToUtf8(r.RecvFileName)});
            view_.UpdateList("Receiving File " + r.RecvFileName);
        }
        FailReceive(Reason(e));
        return false;
    }
}

// The partial file that a receive of this very offer left, cut back to the whole blocks
// worth keeping; how many those are. Nothing when there is none.
std::optional<uint32_t> FileTransfer::FindPartialFile() {
    Incoming& r = *impl_->in;
    const fast::FileOffer& offer = r.fast->offer;
    const std::string note = ResumeNote(sdk_);
    try {
        if (!FileExists(note)) return std::nullopt;
        const auto saved = SavedName(ReadWholeFile(note), NoteText(r.offeredName, offer),
                                     r.offeredName, secure::ToHex(link_.PeerIdentity()));
        if (!saved) return std::nullopt;
        const std::string path = st_.Recv + Cp1252ToUtf8(*saved);
        const auto length = static_cast<uint64_t>(ExistingFileLength(path));
        const uint64_t have = std::min(length, offer.length) / kBlockSize;
        // Shortened only: what follows the blocks kept would outlive the file's new end.
        if (length > have * kBlockSize) TruncateFile(path, static_cast<int64_t>(have * kBlockSize));
        r.RecvFileName = *saved;
        r.path = path;
        return static_cast<uint32_t>(have);  // the offer's length bounds it to 31 bits
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void FileTransfer::OnFileOffer(const std::string& m) {
    Impl& im = *impl_;
    const auto offer = fast::ParseFileHead(m);
    if (!offer || !im.Receiving<Announced>()) return;
    Incoming& r = *im.in;
    // No sender of ours counts that many blocks; the sums below would overflow.
    if (offer->length > kMaxFileLength) {
        EndReceive("File not received: " + r.RecvFileName +
                   " (the announced length is more than any file sent can have)");
        return;
    }
    r.fast.emplace(*offer);
    // The same file broke off here before: its whole blocks on disk are kept, read back
    // for the hash, and the sender goes on after them.
    std::optional<uint32_t> have = FindPartialFile();
    if (!have) {
        if (!StartReceivedFile()) return AnswerOffer(0);
    } else {
        view_.OnEvent({ViewEvent::Kind::FileReceiving, r.RecvFileName, r.path});
        view_.UpdateList("Receiving File " + r.RecvFileName);
        try {
            im.ToRecv<Writing>(BlockWriter(r.path, static_cast<size_t>(kBlockSize)));
        } catch (const std::exception& e) {
            FailReceive(Reason(e));
            return AnswerOffer(0);
        }
    }
    try {
        TextWriter w(ResumeNote(sdk_));
        const std::string peer = secure::ToHex(link_.PeerIdentity());
        w.Write(NoteText(r.offeredName, r.fast->offer) + r.RecvFileName + "\n" +
                (peer.empty() ? "" : peer + "\n"));
        w.Close();
    } catch (const std::exception&) {
        // Without the note the file cannot go on later; it still arrives now.
    }
    if (!have || *have == 0) return AnswerOffer(0);
    const uint32_t kept = *have;
    BlockWriter writer = std::move(std::get<Writing>(r.phase).writer);
    ReadingBack& reading = im.ToRecv<ReadingBack>(platform_, std::move(writer));
    reading.kept.Start(r.path, kept, r.fast->hash, [this, kept](const std::string& error) {
        Impl& i = *impl_;
        BlockWriter done = std::move(i.Receiving<ReadingBack>()->writer);
        i.ToRecv<Writing>(std::move(done));
        if (error.empty()) return AnswerOffer(kept);
        // Not readable after all: start afresh.
        i.in->fast->hash.Reset();
        AnswerOffer(0);
    });
}

void FileTransfer::AnswerOffer(uint32_t have) {
    Incoming& r = *impl_->in;
    r.RecvBlockCount = static_cast<int32_t>(have);
    if (have > 0)
        view_.UpdateList("Resuming " + r.RecvFileName + " after " + std::to_string(have) +
                         " blocks.");
    link_.Send(fast::Resume(have));
}

// The closing status line of a fast receive. The note of a file that may go on later is
// dropped: the file arrived, or what is here is not worth going on with.
std::string FileTransfer::ReceivedVerdict(ViewEvent::Verdict& verdict) {
    Incoming& r = *impl_->in;
    FastReceive& f = *r.fast;
    const SDK& sdk = sdk_;
    try {
        if (FileExists(ResumeNote(sdk))) DeleteFileOrThrow(ResumeNote(sdk));
    } catch (const std::exception&) {
    }
    const uint64_t got = static_cast<uint64_t>(r.RecvBlockCount) * kBlockSize + impl_->plain.size();
    const std::string digest = f.hash.HexDigest();
    // Only the secure channel vouches for the hash: on a plain link whoever could change
    // the file could change its hash too.
    if (!f.expectedHash.empty() && digest == f.expectedHash && got == f.offer.length) {
        verdict = link_.Secure() ? ViewEvent::Verdict::Verified : ViewEvent::Verdict::Plain;
        return link_.Secure() ? "File received (verified)." : "File received.";
    }
    verdict = ViewEvent::Verdict::Damaged;
    return "File damaged: " + r.RecvFileName + " differs from the file that was sent.";
}

void FileTransfer::FailReceive(const std::string& reason) {
    impl_->ToRecv<Discarding>();
    view_.UpdateList("Cannot write " + impl_->in->RecvFileName + ": " + reason);
}

void FileTransfer::OnFB(const std::string& message) {
    Impl& im = *impl_;
    if (!im.in) return;  // no file was announced: nowhere to put it
    Incoming& r = *im.in;
    if (im.Receiving<ReadingBack>()) {
        // A sender of ours waits for the answer; this one is out of step.
        EndReceive("File incomplete: " + r.RecvFileName + " (blocks came before the answer)");
        return;
    }
    if (im.Receiving<Announced>()) StartReceivedFile();  // blocks without an offer: afresh
    const bool end = message.size() >= 6 && message.compare(3, 3, "RM:") == 0;
    if (!end) {
        if (r.fast &&
            static_cast<uint64_t>(r.RecvBlockCount) >= r.fast->offer.length / kBlockSize) {
            EndReceive("File incomplete: " + r.RecvFileName +
                       " (more blocks came than were announced)");
            return;
        }
        if (r.RecvBlockCount == std::numeric_limits<int32_t>::max()) {
            if (!im.Receiving<Discarding>()) FailReceive("the file is too large");
        } else {
            ++r.RecvBlockCount;
        }
        // Acknowledged first, so the sender's next block travels while this one is
        // deciphered and written. A failure shows here and at the file's end. Without
        // the connection the file cannot be finished: what is written stays.
        if (!link_.Send("OK:") || !im.Receiving<Writing>() || !Decipher(message, 3)) return;
        try {
            // A record: cut or filled up with blanks to the block's length.
            im.plain.resize(static_cast<size_t>(kBlockSize), ' ');
            im.Receiving<Writing>()->writer.Write(r.RecvBlockCount, im.plain);
            if (r.fast) r.fast->hash.Update(im.plain);
        } catch (const std::exception& e) {
            FailReceive(Reason(e));
        }
        return;
    }
    im.plain.clear();
    if (!im.Receiving<Discarding>() && Decipher(message, 6)) {
        try {
            // The file holds exactly RecvBlockCount records: the rest goes at its end.
            BlockWriter& writer = im.Receiving<Writing>()->writer;
            writer.WriteRaw(static_cast<int64_t>(r.RecvBlockCount) + 1, im.plain);
            writer.Close();
            if (r.fast) r.fast->hash.Update(im.plain);
        } catch (const std::exception& e) {
            FailReceive(Reason(e));
        }
    }
    ViewEvent done{ViewEvent::Kind::FileReceived, r.RecvFileName, r.path,
                   int64_t{r.RecvBlockCount} * kBlockSize + static_cast<int64_t>(im.plain.size())};
    std::string verdict = "File received.";
    if (im.Receiving<Discarding>()) {
        done.kind = ViewEvent::Kind::FileNotReceived;
        verdict = "File not received: " + r.RecvFileName;
    } else if (r.fast) {
        verdict = ReceivedVerdict(done.verdict);
    }
    r.fast.reset();
    view_.OnEvent(done);
    view_.UpdateList(verdict);
    view_.SetHourglass(false);
    im.EndRecv();
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
    const std::string name = std::move(impl_->in->RecvFileName);
    impl_->EndRecv();
    view_.OnEvent({ViewEvent::Kind::FileNotReceived, name});
    view_.UpdateList(statusLine);
    view_.SetHourglass(false);
}

void FileTransfer::OnConnectionLost() {
    Impl& im = *impl_;
    if (im.out)
        AbortSend("The file " + Utf8ToCp1252(im.out->path) + " was not sent completely.");
    else if (InBatch())
        AbortSend("");
    if (im.in) EndReceive("The file " + im.in->RecvFileName + " was not received completely.");
}

}  // namespace keyvane
