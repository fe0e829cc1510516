#include "cipher/sdk.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <numeric>
#include <string_view>
#include <utility>

#include "cipher/wide_machine.h"
#include "platform/file_system.h"

namespace keyvane {

namespace {

// Rotor directions used while k3.bin is empty: D U U D U D D U U U D D U U D D U D U D.
constexpr int16_t kDefaultUp[SDK::kRotors] = {0, 1, 1, 0, 1, 0, 0, 1, 1, 1,
                                              0, 0, 1, 1, 0, 0, 1, 0, 1, 0};

bool IsPermutation(std::string_view rec) {
    if (rec.size() != 256) return false;
    std::array<bool, 256> seen{};
    for (unsigned char c : rec) {
        if (seen[c]) return false;
        seen[c] = true;
    }
    return true;
}

// A file's times change only as finely as its file system keeps them and the kernel's
// clock ticks (milliseconds; whole seconds on some file systems), so a file written
// twice within one such step can keep size and times. A stamp is trusted only once
// the clock has moved well past it; until then the file is read on every call.
bool LongAgo(int64_t sec, int64_t nsec, const timespec& now) {
    const int64_t margin = nsec == 0 ? 3'000'000'000 : 100'000'000;  // ns
    const int64_t secs = static_cast<int64_t>(now.tv_sec) - sec;
    if (secs > 10) return true;
    if (secs < -10) return false;  // in the future: a clock that differs, never trusted
    return secs * 1'000'000'000 + (now.tv_nsec - nsec) > margin;
}

void CheckSlot(int k) {
    if (k < 1 || k > SDK::kRotors)
        throw CipherError("rotor slot " + std::to_string(k) + " is outside 1..20");
}

}  // namespace

bool SDK::KeyFileWatch::Unchanged(const std::string& path, bool quiet, bool watched) {
    if (quiet && kept_) return true;
    const std::optional<FileStamp> st = StampOfPlainFile(path);
    bool old = st && st->exact;  // an exact stamp needs no wait for the clock
    if (st && !st->exact) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        old =
            LongAgo(st->ctimeSec, st->ctimeNsec, now) && LongAgo(st->mtimeSec, st->mtimeNsec, now);
    }
    // A fresh stamp cannot tell a rewrite, but a watch that was already running when the
    // file is read reports any later change, so that read can be kept while it is quiet.
    seenUsable_ = old || (st && watched);
    if (seenUsable_) {
        seen_ = *st;
        if (old && kept_ && seen_ == keptStamp_) return true;
    }
    kept_ = false;
    return false;
}

namespace {

constexpr uint32_t kFolderEvents = IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                   IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr int64_t kFullCheckMs = 250;

int64_t MonotonicMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
}

}  // namespace

bool SDK::FolderWatch::Quiet(const std::string& folder) {
    if (const std::optional<uint64_t> changes = Files().ChangeCount(folder)) {
        Close();
        const bool quiet = counted_ && *changes == changeCount_;
        counted_ = true;
        changeCount_ = *changes;
        return quiet;
    }
    counted_ = false;
    const int64_t now = MonotonicMs();
    if (fd_ >= 0 && folder != folder_) Close();
    if (fd_ < 0) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0 && ::inotify_add_watch(fd_, folder.empty() ? "." : folder.c_str(),
                                            kFolderEvents | IN_ONLYDIR) < 0)
            Close();
        folder_ = folder;
        lastFullMs_ = now;
        return false;  // what changed before the watch began is unknown
    }
    bool quiet = now - lastFullMs_ < kFullCheckMs && now >= lastFullMs_;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // nothing (more) queued
        quiet = false;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            inotify_event e;
            std::memcpy(&e, buf + at, sizeof e);
            if (e.mask & (IN_IGNORED | IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF)) {
                Close();  // watched again from the next look on
                return false;
            }
            at += static_cast<ssize_t>(sizeof e + e.len);
        }
    }
    if (!quiet) lastFullMs_ = now;
    return quiet;
}

void SDK::FolderWatch::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void SDK::KeyFileWatch::Remember() {
    if (!seenUsable_) return;
    keptStamp_ = seen_;
    kept_ = true;
}

const SDK::KeyPaths& SDK::Paths() {
    if (paths_.folder != AppFolder || paths_.k2.empty()) {
        paths_.folder = AppFolder;
        paths_.bcr = File("k1.bcr");
        paths_.brs = File("k1.brs");
        paths_.k2 = File("k2.bin");
        paths_.k3 = File("k3.bin");
        paths_.k4 = File("k4.bin");
    }
    return paths_;
}

void SDK::ForgetKeyFiles() {
    for (KeyFileWatch* w : {&k2Watch_, &k3Watch_, &k4Watch_, &bcrWatch_, &brsWatch_}) w->Forget();
    bcrContent_.clear();
    brsContent_.clear();
    bcrIsBrs_ = -1;
    tablesFromBcr_ = false;
}

SDK::SDK() {
    // An identity machine until rotors are loaded, so every table is always a permutation.
    for (int t = 0; t < kRotors; ++t) {
        std::array<uint8_t, 256> identity;
        std::iota(identity.begin(), identity.end(), 0);
        SetTable(t, identity.data());
        slotString_[t] = static_cast<uint8_t>(t);
    }
}

std::string SDK::Rotor(int k) const {
    CheckSlot(k);
    const uint8_t* table = &tables_[slotString_[k - 1] * kTableSpan];
    const uint8_t off = slotOffset_[k - 1];
    std::string out(256, '\0');
    for (int j = 0; j < 256; ++j) out[j] = static_cast<char>(table[j + off]);
    return out;
}

void SDK::SetRotor(int k, const std::string& rotor) {
    CheckSlot(k);
    if (!IsPermutation(rotor))
        throw CipherError("rotor " + std::to_string(k) +
                          " is not a permutation of the 256 byte values");
    tablesFromBcr_ = false;
    SetTable(slotString_[k - 1], reinterpret_cast<const uint8_t*>(rotor.data()));
    slotOffset_[k - 1] = 0;
}

void SDK::SetTable(int t, const uint8_t* bytes) {
    ++tablesSet_;
    uint8_t* table = &tables_[t * kTableSpan];
    uint8_t* inverse = &inverse_[t * kTableSpan];
    for (int j = 0; j < 256; ++j) {
        table[j] = table[j + 256] = bytes[j];
        inverse[bytes[j]] = inverse[bytes[j] + 256] = static_cast<uint8_t>(j);
    }
}

void SDK::LoadCipherTables() {
    AtFill151.assign(151, '@');
    AtFill256.assign(256, '@');

    LoadDirections();
    LoadStepSizes();

    ReorderIndex = 1;
    ReorderThreshold = ReorderTable[1];
    ReorderCount = 0;
}

void SDK::LoadDirections() {
    const std::string& path = Paths().k3;
    if (k3Watch_.Unchanged(path, quiet_, watched_)) {
        RotorUp = k3Up_;
        if (!k3Record_.empty()) RotorSetupRecord = k3Record_;
        return;
    }
    RecordFile k3(path, 100);
    k3Record_.clear();
    if (k3.Length() != 0) {
        RotorSetupRecord = k3.Read(1);
        // A record cut short reads as zero bytes: no "D", so those rotors turn up.
        RotorSetupRecord.resize(100, '\0');
        for (int k = 1; k <= kRotors; ++k) RotorUp[k] = RotorSetupRecord[k - 1] == 'D' ? 0 : 1;
        k3Record_ = RotorSetupRecord;
    } else {
        for (int k = 1; k <= kRotors; ++k) RotorUp[k] = kDefaultUp[k - 1];
    }
    k3.Close();
    k3Up_ = RotorUp;
    k3Watch_.Remember();
}

void SDK::LoadStepSizes() {
    const std::string& k4 = Paths().k4;
    if (k4Watch_.Unchanged(k4, quiet_, watched_)) {
        StepSize = k4Steps_;
        return;
    }
    if (ProbeLength(k4) == 0) {
        for (int k = 1; k <= kRotors; ++k) StepSize[k] = 1;
    } else {
        ItemReader in = ItemReader::FromFile(k4);
        for (int k = 1; k <= kRotors; ++k) {
            std::string item;
            try {
                item = in.NextItem();
            } catch (const EndOfFileError&) {
                const std::string why =
                    "input past end of file (" + std::to_string(k - 1) + " of 20 step sizes)";
                throw EndOfFileError(k4 + ": " + why, k4, why);
            }
            int16_t s = 0;
            try {
                s = ToInt16(Val(item));
            } catch (const OverflowError&) {
                throw OverflowError(k4 + ": overflow: step size \"" + item +
                                    "\" is outside -32768..32767");
            }
            StepSize[k] = s < 1 ? 1 : s;
        }
    }
    k4Steps_ = StepSize;
    k4Watch_.Remember();
}

void SDK::CheckPassCount() const {
    // The pass counter is 16-bit and only compared for equality: any other count
    // would never end.
    if (PassCount < 1 || PassCount > 32767)
        throw CipherError("pass count " + std::to_string(PassCount) + " in " + File("k2.bin") +
                          " is outside 1..32767");
}

void SDK::CheckStepSizes() const {
    for (int k = 1; k <= kRotors; ++k) {
        if (StepSize[k] < 0 || StepSize[k] > 256)
            throw CipherError("step size " + std::to_string(StepSize[k]) + " of rotor " +
                              std::to_string(k) + " in " + File("k4.bin") + " is outside 1..256");
    }
}

void SDK::ReadPassCount() {
    const std::string& k2 = Paths().k2;
    if (k2Watch_.Unchanged(k2, quiet_, watched_)) {
        RotorCount = k2RotorCount_;
        PassCount = k2PassCount_;
        return;
    }
    ItemReader in = ItemReader::FromFile(k2);
    try {
        RotorCount = ToInt16(Val(in.NextNumberItem()));
        PassCount = ToInt32(Val(in.NextNumberItem()));
    } catch (const EndOfFileError&) {
        const std::string why = "input past end of file (rotor count and pass count)";
        throw EndOfFileError(k2 + ": " + why, k2, why);
    } catch (const OverflowError& e) {
        throw OverflowError(k2 + ": " + e.what());
    }
    k2RotorCount_ = RotorCount;
    k2PassCount_ = PassCount;
    k2Watch_.Remember();
}

void SDK::LoadRotors() {
    const std::string& path = Paths().bcr;
    if (!bcrWatch_.Unchanged(path, quiet_, watched_)) {
        tablesFromBcr_ = false;
        bcrContent_.clear();
        bcrIsBrs_ = -1;
        RecordFile(path, 256).Close();  // a missing file is created empty
        std::string content = ReadWholeFile(path);
        for (int r = 1; r <= kRotors; ++r) {
            const size_t at = static_cast<size_t>(r - 1) * 256;
            if (content.size() < at + 256)
                throw CipherError(path + " holds " + std::to_string(content.size() / 256) +
                                  " of the 20 rotor records");
            if (!IsPermutation(std::string_view(content).substr(at, 256)))
                throw CipherError(path + ": rotor " + std::to_string(r) +
                                  " is not a permutation of the 256 byte values");
        }
        bcrContent_ = std::move(content);
        bcrWatch_.Remember();
    }
    if (!tablesFromBcr_) {
        for (int t = 0; t < kRotors; ++t)
            SetTable(t, reinterpret_cast<const uint8_t*>(bcrContent_.data()) + t * 256);
        tablesFromBcr_ = true;
    }
    for (int t = 0; t < kRotors; ++t) {
        slotString_[t] = static_cast<uint8_t>(t);
        slotOffset_[t] = 0;
    }
    RotorRecord.assign(bcrContent_, (kRotors - 1) * 256, 256);
}

void SDK::RestoreRotorFile() {
    RestoreRotorFile(bcrWatch_.Unchanged(Paths().bcr));
}

void SDK::RestoreRotorFile(bool bcrKept) {
    const std::string& brs = Paths().brs;
    if (!brsWatch_.Unchanged(brs, quiet_, watched_)) {
        brsContent_ = ReadWholeFile(brs);
        bcrIsBrs_ = -1;
        brsWatch_.Remember();
    }
    const std::string& working = Paths().bcr;
    // Rewriting identical bytes would leave the same file; skip the write.
    if (bcrKept) {
        if (bcrIsBrs_ < 0) bcrIsBrs_ = bcrContent_ == brsContent_ ? 1 : 0;
        if (bcrIsBrs_ == 1) return;
    } else if (FileExists(working)) {
        try {
            if (ReadWholeFile(working) == brsContent_) return;
        } catch (const FileError&) {
            // Unreadable: fall through and replace it.
        }
    }
    bcrWatch_.Forget();
    TextWriter w(working);
    w.Write(brsContent_);
    w.Close();
}

bool SDK::LookAtFolder() {
    if (lookOpen_ && lookShared_ && lookFolder_ == AppFolder) return true;
    const bool quiet = folderWatch_.Quiet(AppFolder);
    lookShared_ = lookOpen_;
    if (lookShared_) lookFolder_ = AppFolder;
    return quiet;
}

void SDK::StartStringOperation() {
    quiet_ = LookAtFolder();
    watched_ = folderWatch_.Watching();
    try {
        LoadCipherTables();
        ReadPassCount();
        LoadRotors();
    } catch (...) {
        quiet_ = watched_ = false;
        throw;
    }
}

void SDK::LoadCipherTablesForKeys() {
    // The folder watch's news is used up here, where only k3.bin and k4.bin are looked
    // at: when something changed, the other files must be looked at again next time.
    quiet_ = folderWatch_.Quiet(AppFolder);
    watched_ = folderWatch_.Watching();
    lookShared_ = false;  // key files are about to be written
    if (!quiet_) {
        k2Watch_.Forget();
        bcrWatch_.Forget();
        brsWatch_.Forget();
    }
    try {
        LoadCipherTables();
    } catch (...) {
        quiet_ = watched_ = false;
        throw;
    }
    quiet_ = watched_ = false;
}

void SDK::FinishStringOperation() {
    // Nothing here writes k1.bcr between loading and restoring it: the stat that
    // LoadRotors made still holds.
    try {
        RestoreRotorFile(bcrWatch_.Kept());
    } catch (...) {
        quiet_ = watched_ = false;
        throw;
    }
    quiet_ = watched_ = false;
}

void SDK::Transform(char* data, size_t n, bool encipher) {
    StartStringOperation();
    // In place: the machine checks its state before it touches a character, so a
    // failure still leaves the text as it was. A copy in and a copy out cost more than
    // the transform itself on a long text.
    try {
        if (!RunPositionTables(reinterpret_cast<uint8_t*>(data), n, encipher))
            RunMachine(data, n, encipher);
    } catch (...) {
        quiet_ = watched_ = false;
        throw;
    }
    FinishStringOperation();
}

namespace {

// The running machine keeps one 16-bit lane per slot: where its table starts among the
// twenty doubled tables, plus the rotor's offset (0..255). A look-up is tables[lane + c],
// with no wrapping, and the same lane serves every pass.
//  Enciphering, lane k holds slot k's offset: table[c + off_k].
//  Deciphering gives inverse[c] - off_k at slot k. The subtraction is carried into the
//  look-up that follows it (slot k - 1, or slot 20 of the next pass): lane k holds
//  -off_(k+1), and slot 1's offset is subtracted once at the end. So deciphering turns
//  lane k by slot k + 1's step, negated, and both directions shift the lanes alike
//  when the rotor order cycles.
using Lanes = std::array<uint16_t, SDK::kRotors>;
constexpr uint16_t kOffsetBits = 0x00FF;
constexpr uint64_t kOffsetWord = 0x00FF00FF00FF00FFull;
static_assert(SDK::kRotors % 4 == 0);

// Slot k takes what was in slot k + 1, the last slot what was in the first.
void ShiftDown(Lanes& a) {
    const uint16_t first = a[0];
    for (int k = 0; k + 1 < SDK::kRotors; ++k) a[k] = a[k + 1];
    a[SDK::kRotors - 1] = first;
}

struct Running {
    std::array<uint64_t, SDK::kRotors / 4> step;  // per slot, four lanes to a word
    const std::array<int32_t, SDK::kReorderEntries + 1>* schedule;
    int32_t count, threshold, index;

    // The next character's lanes: every offset turned by its step (four lanes at a time;
    // an offset's carry stays inside its own lane and is masked off), then the schedule.
    void Advance(const Lanes& from, Lanes& to) {
        for (size_t w = 0; w < step.size(); ++w) {
            uint64_t x;
            std::memcpy(&x, &from[4 * w], sizeof x);
            x = ((x + step[w]) & kOffsetWord) | (x & ~kOffsetWord);
            std::memcpy(&to[4 * w], &x, sizeof x);
        }
        if (++count >= threshold) {
            count = 0;
            ShiftDown(to);
            index = index + 1 > SDK::kReorderEntries ? 1 : index + 1;
            threshold = (*schedule)[index];
        }
    }
};

// One look-up through slot k for each of the characters, written out one statement per
// character so that the characters stay in registers.
template <size_t... b>
inline void Step(std::index_sequence<b...>, const uint8_t* tables,
                 const std::array<Lanes, sizeof...(b)>& lanes, std::array<uint8_t, sizeof...(b)>& c,
                 int k) {
    ((c[b] = tables[size_t{lanes[b][k]} + c[b]]), ...);
}

// B characters at a time: their lanes first, then their look-up chains interleaved, so
// the processor can overlap them.
template <size_t B, bool Encipher>
void RunBlock(Running& m, Lanes& now, const uint8_t* tables, uint8_t* buf, int passes) {
    std::array<Lanes, B> lanes;
    lanes[0] = now;
    for (size_t b = 0; b + 1 < B; ++b) m.Advance(lanes[b], lanes[b + 1]);
    m.Advance(lanes[B - 1], now);

    std::array<uint8_t, B> c;
    for (size_t b = 0; b < B; ++b) c[b] = buf[b];
    constexpr auto each = std::make_index_sequence<B>{};
    constexpr int kLast = SDK::kRotors - 1;
    if constexpr (Encipher) {
        for (int p = 0; p < passes; ++p)
            for (int k = 0; k <= kLast; ++k) Step(each, tables, lanes, c, k);
    } else {
        // Lane 20 holds -off_1: enter as if a pass had just ended, leave by ending one.
        for (size_t b = 0; b < B; ++b) c[b] = static_cast<uint8_t>(c[b] - lanes[b][kLast]);
        for (int p = 0; p < passes; ++p)
            for (int k = kLast; k >= 0; --k) Step(each, tables, lanes, c, k);
        for (size_t b = 0; b < B; ++b) c[b] = static_cast<uint8_t>(c[b] + lanes[b][kLast]);
    }
    for (size_t b = 0; b < B; ++b) buf[b] = c[b];
}

template <bool Encipher>
void RunAll(Running& m, Lanes& now, const uint8_t* tables, uint8_t* buf, size_t n, int passes) {
    constexpr size_t kBatch = 10;
    size_t i = 0;
    for (; i + kBatch <= n; i += kBatch)
        RunBlock<kBatch, Encipher>(m, now, tables, buf + i, passes);
    for (; i < n; ++i) RunBlock<1, Encipher>(m, now, tables, buf + i, passes);
}

}  // namespace

void SDK::RunMachine(std::string& text, bool encipher) {
    RunMachine(text.data(), text.size(), encipher);
}

void SDK::CheckMachine() const {
    CheckPassCount();
    CheckStepSizes();
    if (ReorderIndex < 0 || ReorderIndex > kReorderEntries)
        throw CipherError("reorder index " + std::to_string(ReorderIndex) + " outside 0..200");
}

SDK::MachineStart SDK::CurrentStart() const {
    return MachineStart{RotorUp, StepSize, PassCount, ReorderTable, tablesSet_};
}

bool SDK::RunPositionTables(uint8_t* buf, size_t n, bool encipher) {
    if (n > kTablePositions) return false;
    // Called right after loading, so the slots and the schedule are at their start and
    // the rest of the machine's start is in MachineStart.
    const MachineStart start = CurrentStart();
    if (!positions_ || !(positions_->start == start)) {
        if (!(startSeen_ == start)) {
            startSeen_ = start;
            startRun_ = 0;
        }
        startRun_ += n;
        if (startRun_ < kTableWarmup) return false;
        CheckMachine();  // a state the machine rejects gets no tables
        BuildPositionTables(start);
    }
    CheckMachine();
    const PositionTables& p = *positions_;
    const uint8_t* table = encipher ? p.encipher.data() : p.decipher.data();
    for (size_t i = 0; i < n; ++i) buf[i] = table[i * 256 + buf[i]];
    const MachineAt& end = p.at[n];
    slotString_ = end.slotString;
    slotOffset_ = end.slotOffset;
    ReorderCount = end.count;
    ReorderThreshold = end.threshold;
    ReorderIndex = end.index;
    if (n > 0) {
        CurChar = buf[n - 1];
        PassesDone = static_cast<int16_t>(PassCount);
    }
    return true;
}

void SDK::BuildPositionTables(const MachineStart& start) {
    auto p = std::make_shared<PositionTables>();
    p->start = start;
    constexpr size_t kN = kTablePositions;
    p->encipher.resize(kN * 256);
    p->decipher.resize(kN * 256);
    p->at.resize(kN + 1);

    const MachineAt from{slotString_, slotOffset_, ReorderCount, ReorderThreshold, ReorderIndex};
    // The machine's state after each position: every slot turns by its own step, then
    // the schedule may cycle the order, as RunMachine steps it.
    MachineAt m = from;
    for (size_t i = 0;; ++i) {
        p->at[i] = m;
        if (i == kN) break;
        for (int k = 0; k < kRotors; ++k) {
            const auto s = static_cast<uint8_t>(StepSize[k + 1]);
            m.slotOffset[k] =
                static_cast<uint8_t>(m.slotOffset[k] + (RotorUp[k + 1] != 0 ? s : -s));
        }
        if (++m.count >= m.threshold) {
            m.count = 0;
            std::rotate(m.slotString.begin(), m.slotString.begin() + 1, m.slotString.end());
            std::rotate(m.slotOffset.begin(), m.slotOffset.begin() + 1, m.slotOffset.end());
            m.index = m.index + 1 > kReorderEntries ? 1 : m.index + 1;
            m.threshold = ReorderTable[m.index];
        }
    }

    std::vector<uint8_t> text(kN);
    const unsigned char curChar = CurChar;
    const int16_t passesDone = PassesDone;
    for (int v = 0; v < 256; ++v) {
        std::fill(text.begin(), text.end(), static_cast<uint8_t>(v));
        slotString_ = from.slotString;
        slotOffset_ = from.slotOffset;
        ReorderCount = from.count;
        ReorderThreshold = from.threshold;
        ReorderIndex = from.index;
        RunMachine(reinterpret_cast<char*>(text.data()), kN, true);
        for (size_t i = 0; i < kN; ++i) {
            p->encipher[i * 256 + v] = text[i];
            p->decipher[i * 256 + text[i]] = static_cast<uint8_t>(v);
        }
    }
    slotString_ = from.slotString;
    slotOffset_ = from.slotOffset;
    ReorderCount = from.count;
    ReorderThreshold = from.threshold;
    ReorderIndex = from.index;
    CurChar = curChar;
    PassesDone = passesDone;
    positions_ = std::move(p);
}

void SDK::RunMachine(char* data, size_t whole, bool encipher) {
    // A corrupt key state is reported before any character is touched, even for an empty text.
    CheckMachine();

    auto* buf = reinterpret_cast<uint8_t*>(data);
    const size_t wide = RunWide(buf, whole, encipher);
    buf += wide;

    auto delta = [this](int k) {  // slot k, 0-based
        const auto s = static_cast<uint8_t>(StepSize[k + 1]);
        return RotorUp[k + 1] != 0 ? s : static_cast<uint8_t>(-s);
    };
    static_assert(kRotors * kTableSpan <= 0x10000, "a lane is 16 bits");
    Lanes now, steps;
    for (int k = 0; k < kRotors; ++k) {
        const int next = (k + 1) % kRotors;
        const auto off = encipher ? slotOffset_[k] : static_cast<uint8_t>(-slotOffset_[next]);
        now[k] = static_cast<uint16_t>(slotString_[k] * kTableSpan + off);
        steps[k] = encipher ? delta(k) : static_cast<uint8_t>(-delta(next));
    }
    Running m{};
    std::memcpy(m.step.data(), steps.data(), sizeof steps);
    m.schedule = &ReorderTable;
    m.count = ReorderCount;
    m.threshold = ReorderThreshold;
    m.index = ReorderIndex;

    const size_t n = whole - wide;
    if (encipher)
        RunAll<true>(m, now, tables_.data(), buf, n, PassCount);
    else
        RunAll<false>(m, now, inverse_.data(), buf, n, PassCount);

    for (int k = 0; k < kRotors; ++k) {
        slotString_[k] = static_cast<uint8_t>(now[k] / kTableSpan);
        const auto off = static_cast<uint8_t>(now[k] & kOffsetBits);
        if (encipher)
            slotOffset_[k] = off;
        else
            slotOffset_[(k + 1) % kRotors] = static_cast<uint8_t>(-off);
    }
    ReorderCount = m.count;
    ReorderThreshold = m.threshold;
    ReorderIndex = m.index;
    if (whole > 0) {
        CurChar = static_cast<unsigned char>(data[whole - 1]);
        PassesDone = static_cast<int16_t>(PassCount);
    }
}

size_t SDK::RunWide(uint8_t* buf, size_t n, bool encipher) {
    if (n < 64 || !WideMachineUsable()) return 0;
    // The slots always hold the strings in turn order (loading puts string k in slot k,
    // and only the order's cycle moves them); anything else runs narrow.
    WideMachineState w;
    w.shift = slotString_[0];
    for (int k = 0; k < kRotors; ++k) {
        if (slotString_[k] != (k + w.shift) % kRotors) return 0;
        w.offset[slotString_[k]] = slotOffset_[k];
        const auto s = static_cast<uint8_t>(StepSize[k + 1]);
        w.slotStep[k] = RotorUp[k + 1] != 0 ? s : static_cast<uint8_t>(-s);
    }
    w.schedule = ReorderTable.data();
    w.count = ReorderCount;
    w.threshold = ReorderThreshold;
    w.index = ReorderIndex;
    const uint8_t* tables = encipher ? tables_.data() : inverse_.data();
    const size_t done = RunWideMachine(w, tables, kTableSpan, PassCount, encipher, buf, n);
    for (int k = 0; k < kRotors; ++k) {
        slotString_[k] = static_cast<uint8_t>((k + w.shift) % kRotors);
        slotOffset_[k] = w.offset[slotString_[k]];
    }
    ReorderCount = w.count;
    ReorderThreshold = w.threshold;
    ReorderIndex = w.index;
    return done;
}

void SDK::EncryptString(std::string& text) {
    Transform(text.data(), text.size(), true);
}

void SDK::DecryptString(std::string& text) {
    Transform(text.data(), text.size(), false);
}

void SDK::EncryptBlock(char* data, size_t n) {
    Transform(data, n, true);
}

void SDK::DecryptBlock(char* data, size_t n) {
    Transform(data, n, false);
}

}  // namespace keyvane
