// libFuzzer target for everything a peer's bytes reach: the framer, the dispatcher, the
// cipher and the file handling, in a program folder with real key files (kept in memory,
// see Tree) and a socket of our own that hands the script's bytes over.
//
// An input is a script of steps. Each step starts with one byte; its value modulo 6
// picks the step:
//   0  a read: two bytes of length (little-endian), then that many bytes
//   1  a message: one byte picks it (modulo 13)
//      0-3  "KY:", "CT:", "FB:" or "FB:RM:": two bytes of length, then that many bytes
//           of plain text, enciphered with the key files of the handshake, as the peer
//           holds them, behind the tag and, for the block messages, before the "|"
//      4    the answer to a probe of version 1 (our nonce is all zeros; a host that
//           offers the secure channel awaits only its own answer, see 9), or a host's
//           probe of version 1 when this side is the client
//      5    an envelope "KVM": one byte picks "CT:", "KY:" (enciphered) or "FL:", then
//           a length and text as above
//      6-8  "KVF" (two bytes and one of length, one of stamp), "KVR" (two bytes of
//           blocks), "KVH" (32 bytes of hash)
//      9    the secure channel's handshake, played as the peer: as host, "IP:" (when
//           nothing was offered yet), the answer to the offer, then the stream's header
//           and the peer's hello; as client, the offer, the reveal, header and hello.
//           One byte picks a message to damage (modulo 4: none, the first, the second,
//           the stream's start), then one byte its place and one the bits flipped
//      10   two bytes of length, then that many bytes sealed as one record of the
//           channel (raw when the handshake was not played)
//      11   the same in a record with the FINAL tag
//      12   a record as it is: three bytes of length (big-endian), then two bytes of
//           length and that many bytes
//      0-8 arrive as one read, in a record of the channel once the handshake was played
//   2  the connection breaks and the peer connects again; from the seventeenth time in
//      one input on, nothing
//   3  this side sends a file (one byte picks one of three sizes); the steps that follow
//      during the pause after the announcement come in meanwhile; from the fifth time in
//      one input on, nothing
//   4  the rest of the input arrives as one read
//   5  the user connects to another peer (this side becomes the client); from the third
//      time in one input on, nothing
// A length that runs past the end of the input takes what is left. Each step moves the
// clock on by a second and runs the timers due (pauses, waits for a file's end, the
// link's hold-backs) before it.
//
// The peer's handshake keys come from a fixed seed; this side's are fresh for each
// handshake (the session takes no seed), so an input that plays it runs the same way
// each time, with other bytes on the wire.
//
// KEYVANE_FUZZ_TRACE=1 prints the status and chat lines of each input (for writing
// seeds: run the target on one file with -runs=1).
//
// Received keys go to the current folder, so the target moves into its tree while an
// input runs: give it absolute paths (fuzz/run.sh does).
//
// After every step the bytes held for an unfinished message stay within the longest
// message the framer assembles. After every input nothing may exist in the temporary
// tree that was not there before, except received files (plain files directly in the
// receive folder), the cipher's key and working files, and received key files in the
// working folder; every file that was there keeps its content. At the end of an input,
// with everything still alive, the heap has grown by at most a multiple of its size.
//
// Speed: an input costs what its steps cost. Nothing is made anew per input that can be
// set back instead (one cipher serves the whole run, the tree is put back only where
// something changed), and an input frees what it allocates, so libFuzzer's leak
// check runs only where something may have leaked. Key-file generation and the rotor
// machine are built without coverage feedback and key generation without sanitizers
// (see the top CMakeLists.txt): each "IP:" builds key files, and that was half the time.
#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/allocator_interface.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cipher/sdk.h"
#include "keys/seed.h"
#include "link/FastLink.h"
#include "link/Framer.h"
#include "link/HeadlessView.h"
#include "link/MainState.h"
#include "link/Session.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/sock.h"
#include "secure/Secure.h"
#include "support/memory_files.h"
#include "transfer/FileTransfer.h"

namespace fs = std::filesystem;
using namespace keyvane;

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "receive_fuzzer: %s\n", what.c_str());
    std::abort();
}

class FakeView : public HeadlessView {
  public:
    FakeView() {
        ip = "127.0.0.1";
        connect = "10.0.0.2";
    }
    std::vector<std::string> status, chat;
    size_t bytes = 0;  // text held by both lists

    void UpdateList(const std::string& l) override {
        status.push_back(l);
        bytes += l.size();
    }
    void UpdateChatList(const std::string& l) override {
        chat.push_back(l);
        bytes += l.size();
    }
};

class FakeSock : public Sock {
  public:
    static constexpr size_t kOutKept = 1024;
    int state = sckClosed;
    std::string incoming;
    size_t sent = 0;
    std::string out;  // the start of what went out on this connection (the handshake)

    int State() const override { return state; }
    void Listen() override { state = sckListening; }
    void Connect(const std::string&, const std::string&) override {
        state = sckConnected;
        out.clear();
    }
    void Accept(intptr_t) override {
        state = sckConnected;
        out.clear();
    }
    void SendData(const std::string& bytes) override {
        if (state != sckConnected) throw SockError("not connected");
        sent += bytes.size();
        if (out.size() < kOutKept) out.append(bytes, 0, kOutKept - out.size());
    }
    std::string GetData() override { return std::exchange(incoming, {}); }
    void Close() override { state = sckClosed; }
    void Flush(int) override {}

    void Receive(std::string bytes) {
        incoming = std::move(bytes);
        if (DataArrival) DataArrival(static_cast<int64_t>(incoming.size()));
    }
    void Lose() {
        state = sckClosed;
        if (Disconnected) Disconnected();
    }
};

// A file's identity and times. Fixed files were made long before any input runs, so a
// write during an input always moves them off the baseline, however coarse the clock.
struct Stamp {
    uint64_t dev = 0, ino = 0, nlink = 0;
    int64_t size = 0, mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0;
    uint32_t mode = 0;
    bool operator==(const Stamp&) const = default;
};

std::optional<Stamp> StampOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return Stamp{static_cast<uint64_t>(st.st_dev),
                 static_cast<uint64_t>(st.st_ino),
                 static_cast<uint64_t>(st.st_nlink),
                 static_cast<int64_t>(st.st_size),
                 st.st_mtim.tv_sec,
                 st.st_mtim.tv_nsec,
                 st.st_ctim.tv_sec,
                 st.st_ctim.tv_nsec,
                 static_cast<uint32_t>(st.st_mode)};
}

// Whole content into `out` (reusing its room); false when the file cannot be read.
bool ReadInto(const std::string& path, std::string& out) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    char buf[16384];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return n == 0;
}

// Names in a folder, with whether each is a plain file (not followed when a link).
void ListFolder(const std::string& folder, std::vector<std::pair<std::string, bool>>& out) {
    out.clear();
    DIR* d = ::opendir(folder.c_str());
    if (!d) Fail("cannot list " + folder);
    while (const dirent* e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        bool plain = e->d_type == DT_REG;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st {};
            plain = ::lstat((folder + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
        }
        out.emplace_back(e->d_name, plain);
    }
    ::closedir(d);
}

// The temporary tree, made once: the program folder with its receive folder and key
// files, the working folder that received keys go to, files to send, canaries, and the
// peer's own copy of the key files. `pristine` is this side's cipher right after the
// handshake; every input starts from a copy of it. `peer` is the other side's, which
// enciphers what the script sends and is never touched by this side.
//
// The program folder, the receive folder, the files to send and the peer's folder are
// folders in memory: the cipher reads and rewrites its key files on every message, and
// their system calls were most of an input's time. Only received keys, which go to the
// working folder by a bare name, reach the disk (tmpfs where there is one). A watch on
// the disk's folders names every entry created, written, removed or renamed in them, so
// checking and resetting look at those entries only; anything that slips past a folder
// in memory to its twin on disk shows there. A folder created anywhere fails.
struct Tree {
    enum Folder { kRoot, kApp, kRecv, kCwd, kOutbox, kFolders };
    std::array<std::string, kFolders> folders;
    std::string root, app, recv, cwd, outbox, peerFolder;
    std::unique_ptr<MemoryFolder> appFiles, recvFiles, outboxFiles, peerFiles;
    MemoryFolder::Contents appStart, outboxStart, peerStart;      // as every input finds them
    uint64_t appChanges = 0, outboxChanges = 0, peerChanges = 0;  // at the last reset
    std::map<std::string, std::string> fixed;  // path -> content that must stay (disk)
    std::map<std::string, Stamp> fixedStamps;
    std::set<std::string> cipherNames;  // key and working files of the cipher
    std::vector<std::string> outFiles;
    SDK pristine, peer;
    std::optional<secure::Identity> peerIdentity;  // the peer's, for its hellos

    int watch = -1;
    std::map<int, Folder> watched;
    std::array<std::set<std::string>, kFolders> touched;  // since the last reset
    bool overflow = false;  // the watch lost events: look at everything

    static std::string TempBase() {
        if (::access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
        return fs::temp_directory_path().string();
    }

    Tree() {
        std::string tmpl = TempBase() + "/keyvane-fuzz-XXXXXX";
        if (!::mkdtemp(tmpl.data())) Fail("mkdtemp failed");
        root = tmpl + "/";
        app = root + "app/";
        recv = app + "Recv/";
        cwd = root + "cwd/";
        outbox = root + "outbox/";
        peerFolder = root + "peer/";
        folders = {root, app, recv, cwd, outbox};
        for (const std::string& d : {app, recv, cwd, outbox, peerFolder}) fs::create_directory(d);
        appFiles = std::make_unique<MemoryFolder>(app);
        recvFiles = std::make_unique<MemoryFolder>(recv);
        outboxFiles = std::make_unique<MemoryFolder>(outbox);
        peerFiles = std::make_unique<MemoryFolder>(peerFolder);
        WriteTextLines(root + "canary.txt", {"beside the program folder"});
        WriteTextLines(cwd + "canary.txt", {"where received keys go"});
        WriteTextLines(app + "canary.txt", {"beside the receive folder"});
        WriteTextLines(app + "port.dat", {"7777"});
        for (int size : {0, 999, 2500}) {
            std::string path = outbox + "f" + std::to_string(size) + ".bin";
            RecordFile f(path, 1);
            std::string data(static_cast<size_t>(size), '\0');
            for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
            if (!data.empty()) f.WriteRaw(1, data);
            f.Close();
            outFiles.push_back(path);
        }

        const std::string seed = ConnectionSeed(CombinedAddressText(true, "127.0.0.1", "10.0.0.2"));
        pristine.AppFolder = app;
        pristine.BuildKeyFiles(seed);
        peer.AppFolder = peerFolder;
        peer.BuildKeyFiles(seed);
        for (const char* n :
             {"k1.bin", "k1.brs", "k1.bcr", "k2.bin", "k3.bin", "k4.bin", "k5.bin", "k6.dat",
              "k1.tcr", "k1.trs", "k1.txt", "k2.txt", "k3.txt", "k4.txt", "k5.txt"})
            cipherNames.insert(n);
        for (const std::string& folder : {root, cwd}) {
            for (const auto& e : fs::directory_iterator(folder)) {
                const std::string path = e.path().string();
                if (e.is_regular_file()) {
                    fixed[path] = ReadWholeFile(path);
                    fixedStamps[path] = *StampOf(path);
                }
            }
        }
        watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (watch < 0) Fail("inotify_init1 failed");
        constexpr uint32_t kEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                     IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_DELETE_SELF |
                                     IN_MOVE_SELF;
        for (int f = 0; f < kFolders; ++f) {
            const int wd = ::inotify_add_watch(watch, folders[f].c_str(), kEvents);
            if (wd < 0) Fail("cannot watch " + folders[f]);
            watched[wd] = static_cast<Folder>(f);
        }
        // Both identities exist before the first input: this side's stays as it is.
        if (!secure::Available()) Fail("libsodium cannot be used");
        secure::Identity::LoadOrCreate(app);
        peerIdentity.emplace(secure::Identity::LoadOrCreate(peerFolder));
        std::string warm = "warm";
        pristine.EncryptString(warm);
        peer.EncryptString(warm);
        appStart = appFiles->Snapshot();
        outboxStart = outboxFiles->Snapshot();
        peerStart = peerFiles->Snapshot();
        NoteChanges();
        Drain();
        ForgetTouched();
    }

    void Drain() {
        alignas(inotify_event) char buf[16384];
        for (;;) {
            const ssize_t n = ::read(watch, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return;
            if (n <= 0) Fail("cannot read the folder watch");
            for (ssize_t at = 0; at < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
                if (ev->mask & IN_Q_OVERFLOW) {
                    overflow = true;
                    continue;
                }
                if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))
                    Fail("a folder of the tree went away");
                auto it = watched.find(ev->wd);
                if (it != watched.end() && ev->len > 0) touched[it->second].insert(ev->name);
            }
        }
    }

    void ForgetTouched() {
        for (auto& t : touched) t.clear();
        overflow = false;
    }

    // A fast receive that ended early leaves a note of its partial file.
    static constexpr const char* kResumeNote = "resume.dat";

    static bool IsKeyFileName(const std::string& name) {
        // "Key" + HHMMSS + optional "-n" + ".txt"
        if (name.size() < 13 || name.compare(0, 3, "Key") != 0) return false;
        if (name.compare(name.size() - 4, 4, ".txt") != 0) return false;
        for (size_t i = 3; i < 9; ++i)
            if (name[i] < '0' || name[i] > '9') return false;
        return true;
    }

    // On disk, only the fixed files and the folders of the tree stay where they were,
    // and received keys appear in the working folder.
    void CheckEntry(Folder f, const std::string& name, bool plain) const {
        const std::string path = folders[f] + name;
        if (fixed.count(path)) return;  // content checked below
        if (f == kRoot && (name == "app" || name == "cwd" || name == "outbox" || name == "peer"))
            return;
        if (f == kApp && name == "Recv") return;
        if (plain && f == kCwd && IsKeyFileName(name)) return;
        Fail("something appeared that may not: " + path);
    }

    // In memory: received files in the receive folder, the cipher's files and a resume
    // note beside it, and every file that was there keeps its bytes.
    void CheckMemory(size_t announcedFiles) const {
        const size_t received = recvFiles->Count();
        if (received > announcedFiles)
            Fail(std::to_string(received) + " received files from " +
                 std::to_string(announcedFiles) + " announcements");
        if (outboxFiles->Changes() != outboxChanges && outboxFiles->Snapshot() != outboxStart)
            Fail("the files to send changed");
        if (appFiles->Changes() == appChanges) return;
        for (const std::string& name : appFiles->Names()) {
            if (cipherNames.count(name) || name == kResumeNote) continue;
            auto it = appStart.find(name);
            if (it == appStart.end()) Fail("something appeared that may not: " + app + name);
            if (ReadWholeFile(app + name) != it->second) Fail("changed: " + app + name);
        }
        for (const auto& [name, content] : appStart) {
            if (!cipherNames.count(name) && !appFiles->Find(name)) Fail("gone: " + app + name);
        }
    }

    void NoteChanges() {
        appChanges = appFiles->Changes();
        outboxChanges = outboxFiles->Changes();
        peerChanges = peerFiles->Changes();
    }

    void Check(size_t announcedFiles) {
        CheckMemory(announcedFiles);
        Drain();
        std::vector<std::pair<std::string, bool>> names;
        std::string content;
        for (int f = 0; f < kFolders; ++f) {
            if (overflow) {
                ListFolder(folders[f], names);
                for (const auto& [name, plain] : names)
                    CheckEntry(static_cast<Folder>(f), name, plain);
                continue;
            }
            for (const std::string& name : touched[f]) {
                const std::optional<Stamp> st = StampOf(folders[f] + name);
                if (st) CheckEntry(static_cast<Folder>(f), name, S_ISREG(st->mode));
            }
        }
        for (const auto& [path, stamp] : fixedStamps) {
            const size_t slash = path.rfind('/');
            const std::string folder = path.substr(0, slash + 1), name = path.substr(slash + 1);
            bool seen = overflow;
            for (int f = 0; f < kFolders && !seen; ++f)
                seen = folders[f] == folder && touched[f].count(name) != 0;
            if (!seen) continue;
            const std::optional<Stamp> now = StampOf(path);
            if (!now) Fail("gone: " + path);
            if (*now == stamp) continue;
            // Written: only the content counts.
            if (!ReadInto(path, content)) Fail("unreadable: " + path);
            if (content != fixed.at(path)) Fail("changed: " + path);
        }
    }

    // Back to the state after the handshake, with nothing received.
    void Reset() {
        // A folder in memory that nothing changed is left as it is, so the cipher's
        // watch of it stays quiet.
        if (appFiles->Changes() != appChanges) appFiles->Restore(appStart);
        if (outboxFiles->Changes() != outboxChanges) outboxFiles->Restore(outboxStart);
        if (peerFiles->Changes() != peerChanges) peerFiles->Restore(peerStart);
        if (recvFiles->Count() != 0) recvFiles->Restore({});
        NoteChanges();
        Drain();
        std::vector<std::pair<std::string, bool>> names;
        for (Folder f : {kRoot, kApp, kRecv, kCwd, kOutbox}) {
            if (overflow) {
                ListFolder(folders[f], names);
            } else {
                names.clear();
                for (const std::string& name : touched[f]) names.emplace_back(name, false);
            }
            for (const auto& [name, plain] : names) {
                const std::string path = folders[f] + name;
                if (fixed.count(path) || (f == kRoot && fs::is_directory(path)) ||
                    (f == kApp && name == "Recv"))
                    continue;
                std::error_code ignored;
                if (::unlink(path.c_str()) != 0 && errno != ENOENT) fs::remove_all(path, ignored);
            }
        }
        Drain();  // our own
        ForgetTouched();
    }
};

Tree& TheTree() {
    // Lives for the whole run. Removed when the run ends well; after a failure it stays
    // for a look.
    static Tree* tree = [] {
        auto* t = new Tree;
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(TheTree().root, ignored);
        });
        return t;
    }();
    return *tree;
}

// The input, read step by step.
class Script {
  public:
    Script(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool AtEnd() const { return p_ == end_; }
    uint8_t Byte() { return p_ == end_ ? 0 : *p_++; }
    size_t Length() {
        size_t lo = Byte();
        return lo | (size_t{Byte()} << 8);
    }
    std::string Bytes(size_t n) {
        n = std::min(n, static_cast<size_t>(end_ - p_));
        std::string s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }
    std::string Rest() { return Bytes(static_cast<size_t>(end_ - p_)); }

  private:
    const uint8_t* p_;
    const uint8_t* end_;
};

class Run {
  public:
    Run(Tree& tree, SDK& sdk) : tree_(tree), sdk_(sdk) {
        st_.PortStr = "7777";
        plat_.MsgBox = [this](const std::string& t) { view_.UpdateList("box: " + t); };
        plat_.TimeText = [this] { return TimeText(); };
        plat_.MonotonicMs = [this] { return ms_; };
        // Timers run as the steps move the clock: what arrives during a pause or while a
        // file end waits for the rest of itself is handled in between.
        plat_.After = [this](int ms, std::function<void()> fn) {
            timers_.emplace_back(ms_ + std::max(ms, 0), std::move(fn));
        };
        plat_.EndProgram = [] {};
        plat_.LocalIP = [] { return std::string("127.0.0.1"); };
        // The probe's nonce is all zeros, so the script can answer it.
        plat_.SystemRandom = [](uint32_t) { return 0u; };
        session_.emplace(st_, view_, sdk_, plat_, sock_);
        transfer_.emplace(*session_, view_, plat_, sdk_);
        transfer_->SetReceiveFolder(tree.recv);
        counter_.inner = &*transfer_;
        counter_.announced = &announced_;
        session_->Attach(&counter_);
        Accept();
        // The key files are those of the handshake with 10.0.0.2 (restored by Reset).
        st_.role = Role::Host;
        view_.SetSendButtonsEnabled(true);
    }

    void Play(Script& script) {
        script_ = &script;
        while (!script.AtEnd() && !session_->Ended()) Step();
    }

    size_t announced() const { return announced_; }
    size_t listBytes() const { return view_.bytes; }
    const std::vector<std::string>& status() const { return view_.status; }
    const std::vector<std::string>& chat() const { return view_.chat; }

  private:
    std::string TimeText() const {
        const int s = seconds_ % 86400;
        char t[9];
        std::snprintf(t, sizeof t, "%02d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
        return t;
    }

    void Accept() {
        session_->WaitForConnect();
        sock_.ConnectionRequest(1);
    }

    void Read(std::string bytes) {
        if (bytes.empty()) return;
        sock_.Receive(std::move(bytes));
        // A file's end, or on a fast link an envelope, is the longest thing held back.
        constexpr size_t kMaxHeld =
            std::max(Framer::kMaxEndMessage,
                     fast::kEnvelope.size() + fast::kEnvelopeDigits + fast::kMaxEnvelope);
        if (!session_->Ended() && session_->PendingBytes() > kMaxHeld)
            Fail("the framer holds " + std::to_string(session_->PendingBytes()) + " bytes");
    }

    void Step() {
        // A second a step: received keys get names of their own instead of probing a
        // longer row of "KeyHHMMSS-n.txt" each time.
        ++seconds_;
        try {
            RunTimers(ms_ + 1000);
            Steps();
        } catch (const std::exception& e) {
            // The window shows what reaches a handler and goes on.
            view_.UpdateList(std::string("box: ") + e.what());
        }
    }

    // Runs the timers due until `until`, in order, then moves the clock there.
    void RunTimers(int64_t until) {
        for (;;) {
            auto next =
                std::min_element(timers_.begin(), timers_.end(),
                                 [](const auto& a, const auto& b) { return a.first < b.first; });
            if (next == timers_.end() || next->first > until || session_->Ended()) break;
            ms_ = std::max(ms_, next->first);
            auto fn = std::move(next->second);
            timers_.erase(next);
            fn();
        }
        ms_ = until;
    }

    void Steps() {
        Script& s = *script_;
        switch (s.Byte() % 6) {
            case 0:
                Read(s.Bytes(s.Length()));
                break;
            case 1: {
                const int t = s.Byte() % 13;
                if (t >= 9)
                    Secure(t, s);
                else
                    Read(Sealed(Message(t, s)));
                break;
            }
            case 2:
                // Each adds two status lines; a thousand say nothing new.
                if (++reconnects_ <= 16) {
                    sock_.Lose();
                    peer_ = {};
                    Accept();
                }
                break;
            case 3: {
                const uint8_t pick = s.Byte();
                // Each reads and enciphers a file; a person does not send a thousand.
                if (++sends_ <= 4)
                    transfer_->SendFile(tree_.outFiles[pick % tree_.outFiles.size()], 0);
                break;
            }
            case 4:
                Read(s.Rest());
                break;
            default:
                // Each builds key files; a person does not click a thousand times.
                if (++connects_ <= 2) {
                    peer_ = {};
                    session_->Connect();
                }
                break;
        }
    }

    // One message as the peer would send it: the eight enciphered where they are, and
    // those of the fast link between two Keyvane peers.
    std::string Message(int t, Script& s) {
        static const char* const kTags[] = {"KY:", "CT:", "FB:", "FB:RM:"};
        if (t < 4) {
            std::string text = s.Bytes(s.Length());
            tree_.peer.EncryptString(text);
            return kTags[t] + text + (t >= 2 ? "|" : "");
        }
        const std::string zeros(fast::kNonceDigits, '0');
        switch (t) {
            case 4:  // the answer to our probe, or the probe of a host we connected to
                return st_.IsClient() ? fast::Probe(zeros) : fast::AnswerTo(fast::Probe(zeros));
            case 5: {  // an envelope around a chat line, a key or a file's name
                static const char* const kInner[] = {"CT:", "KY:", "FL:"};
                const int i = s.Byte() % 3;
                std::string text = s.Bytes(s.Length());
                if (i < 2) tree_.peer.EncryptString(text);
                const std::string inner = kInner[i] + text;
                return std::string(fast::kEnvelope) +
                       fast::Hex(inner.size(), fast::kEnvelopeDigits) + inner;
            }
            case 6: {  // a file's length and stamp
                const size_t length = s.Length() | size_t{s.Byte()} << 16;
                return std::string(fast::kFileHead) + fast::Hex(length, 16) +
                       fast::Hex(s.Byte(), 16);
            }
            case 7:  // the whole blocks a receiver holds
                return std::string(fast::kResume) + fast::Hex(s.Length(), 8);
            default: {  // a file's hash, right or wrong
                std::string hex;
                for (int i = 0; i < 32; ++i) hex += fast::Hex(s.Byte(), 2);
                return std::string(fast::kHash) + hex;
            }
        }
    }

    static constexpr secure::Key kPeerSeed = {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
                                              7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
    // The peer's side of the secure channel on this connection.
    struct SecurePeer {
        std::unique_ptr<secure::Handshake> hs;
        std::unique_ptr<secure::Sealer> sealer;
    };

    // Once the handshake was played, what the peer sends goes in records.
    std::string Sealed(std::string bytes) {
        if (!peer_.sealer || peer_.sealer->Ended() || bytes.empty()) return bytes;
        return peer_.sealer->Seal(bytes);
    }

    // The message of ours that begins with `tag`, as long as `length`; empty when it did
    // not go out (whole) on this connection.
    std::string Sent(std::string_view tag, size_t length) const {
        const size_t at = sock_.out.find(tag);
        if (at == std::string::npos || sock_.out.size() - at < length) return {};
        return sock_.out.substr(at, length);
    }

    void Secure(int t, Script& s) {
        if (t == 9) return Handshake(s);
        if (t == 12) {
            std::string record;
            for (int i = 0; i < 3; ++i) record += static_cast<char>(s.Byte());
            return Read(record + s.Bytes(s.Length()));
        }
        const std::string text = s.Bytes(s.Length());
        if (!peer_.sealer || peer_.sealer->Ended()) return Read(text);
        Read(peer_.sealer->Seal(text, t == 11));
    }

    // Plays the peer's part of the handshake, as far as this side lets it go.
    void Handshake(Script& s) {
        const int damaged = s.Byte() % 4;
        uint8_t where = 0, flip = 0;
        if (damaged != 0) {
            where = s.Byte();
            flip = static_cast<uint8_t>(s.Byte() | 1);
        }
        const auto send = [&](int which, std::string bytes) {
            if (which == damaged && !bytes.empty()) bytes[where % bytes.size()] ^= flip;
            Read(std::move(bytes));
        };
        if (peer_.hs || session_->Ended()) return;  // once per connection
        using Role = secure::Handshake::Role;
        if (st_.IsHost()) {
            // The address the key files were built from.
            if (Sent("KV?2", secure::kProbeLength).empty()) Read("IP:10.0.0.2");
            const std::string probe = Sent("KV?2", secure::kProbeLength);
            if (probe.empty()) return;
            peer_.hs = std::make_unique<secure::Handshake>(Role::Client, "10.0.0.2", kPeerSeed);
            const auto answer = peer_.hs->Answer(probe);
            if (!answer) Fail("our own probe is malformed");
            send(1, *answer);
            if (!peer_.hs->Finish(Sent(secure::kReveal, secure::kRevealLength))) return;
        } else {
            peer_.hs = std::make_unique<secure::Handshake>(Role::Host, view_.ip, kPeerSeed);
            send(1, peer_.hs->Probe(std::string(secure::kNonceDigits, '0')));
            const auto reveal = peer_.hs->Reveal(Sent("KV!2", secure::kProbeLength));
            if (!reveal) return;
            send(2, *reveal);
        }
        peer_.sealer = std::make_unique<secure::Sealer>(peer_.hs->SendKey());
        send(3, peer_.sealer->Header() +
                    peer_.sealer->Seal(secure::Hello(*tree_.peerIdentity, *peer_.hs, "10.0.0.2")));
    }

    // Hands every file message on to the transfer, counting the announcements: each may
    // leave one received file.
    struct CountingReceiver : FileReceiver {
        FileTransfer* inner = nullptr;
        size_t* announced = nullptr;
        void OnFL(const std::string& payload) override {
            ++*announced;
            inner->OnFL(payload);
        }
        void OnFB(const std::string& message) override { inner->OnFB(message); }
        void OnOK() override { inner->OnOK(); }
        void OnConnectionLost() override { inner->OnConnectionLost(); }
        void OnBrokenBlock() override { inner->OnBrokenBlock(); }
        void OnControl(const std::string& message) override { inner->OnControl(message); }
        size_t EndLength() const override { return inner->EndLength(); }
        void OnSendRoom() override { inner->OnSendRoom(); }
        bool Receiving() const override { return inner->Receiving(); }
        bool AwaitingOK() const override { return inner->AwaitingOK(); }
    };

    Tree& tree_;
    MainState st_;
    FakeView view_;
    SDK& sdk_;
    Platform plat_;
    FakeSock sock_;
    std::optional<Session> session_;
    std::optional<FileTransfer> transfer_;
    CountingReceiver counter_;
    SecurePeer peer_;
    Script* script_ = nullptr;
    int seconds_ = 12 * 3600;
    int64_t ms_ = 0;
    std::vector<std::pair<int64_t, std::function<void()>>> timers_;
    int connects_ = 0;
    int reconnects_ = 0;
    int sends_ = 0;
    size_t announced_ = 0;
};

}  // namespace

// Received keys go to the current folder: the tree's for the length of one input, so
// that libFuzzer finds its own files where it was started.
class InFolder {
  public:
    explicit InFolder(const std::string& folder) : back_(::open(".", O_RDONLY | O_CLOEXEC)) {
        if (back_ < 0 || ::chdir(folder.c_str()) != 0) Fail("cannot enter " + folder);
    }
    ~InFolder() {
        if (::fchdir(back_) != 0) Fail("cannot go back to the starting folder");
        ::close(back_);
    }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

  private:
    int back_;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Tree& tree = TheTree();
    // One cipher for the whole run. Every string operation starts from the key files,
    // which Reset puts back, and what it keeps of them is checked against the files
    // first, so nothing carries over; a copy per input would read them all again.
    static SDK& sdk = *new SDK(tree.pristine);
    InFolder inCwd(tree.cwd);
    const size_t before = __sanitizer_get_current_allocated_bytes();
    {
        Run run(tree, sdk);
        Script script(data, size);
        run.Play(script);
        // For writing seeds: what the input made this side say.
        static const bool trace = std::getenv("KEYVANE_FUZZ_TRACE") != nullptr;
        if (trace) {
            for (const std::string& l : run.status())
                std::fprintf(stderr, "status: %s\n", l.c_str());
            for (const std::string& l : run.chat()) std::fprintf(stderr, "chat: %s\n", l.c_str());
        }
        // A one-byte step may add a line or two (a lost connection and waiting again
        // add 38 bytes), never more than a short line per byte of the input.
        if (run.listBytes() > 64 * size + 64 * 1024)
            Fail("the lists hold " + std::to_string(run.listBytes()) + " bytes");
        const size_t now = __sanitizer_get_current_allocated_bytes();
        // The session, its cipher tables and the lists; nothing that grows with the peer.
        if (now > before + 4 * size + (4 << 20))
            Fail("heap grew by " + std::to_string(now - before) + " bytes");
        tree.Check(run.announced());
    }
    // Everything an input allocated is freed within it, so libFuzzer sees as many frees
    // as allocations and only looks for a leak where there could be one.
    tree.Reset();
    return 0;
}
