#include "cipher/sdk.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <numeric>

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
bool LongAgo(const timespec& t, const timespec& now) {
    const int64_t margin = t.tv_nsec == 0 ? 3'000'000'000 : 100'000'000;  // ns
    const int64_t secs = static_cast<int64_t>(now.tv_sec) - static_cast<int64_t>(t.tv_sec);
    if (secs > 10) return true;
    if (secs < -10) return false;  // in the future: a clock that differs, never trusted
    return secs * 1'000'000'000 + (now.tv_nsec - t.tv_nsec) > margin;
}

void CheckSlot(int k) {
    if (k < 1 || k > SDK::kRotors)
        throw CipherError("rotor slot " + std::to_string(k) + " is outside 1..20");
}

}  // namespace

bool SDK::KeyFileWatch::Unchanged(const std::string& path) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    struct stat st {};
    seenUsable_ = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                  LongAgo(st.st_ctim, now) && LongAgo(st.st_mtim, now);
    if (seenUsable_) {
        seen_ = Stamp{static_cast<uint64_t>(st.st_dev),
                      static_cast<uint64_t>(st.st_ino),
                      static_cast<int64_t>(st.st_size),
                      st.st_mtim.tv_sec,
                      st.st_mtim.tv_nsec,
                      st.st_ctim.tv_sec,
                      st.st_ctim.tv_nsec};
        if (kept_ && seen_ == keptStamp_) return true;
    }
    kept_ = false;
    return false;
}

void SDK::KeyFileWatch::Remember() {
    if (!seenUsable_) return;
    keptStamp_ = seen_;
    kept_ = true;
}

void SDK::ForgetKeyFiles() {
    for (KeyFileWatch* w : {&k2Watch_, &k3Watch_, &k4Watch_, &bcrWatch_, &brsWatch_}) w->Forget();
    bcrContent_.clear();
    brsContent_.clear();
    tablesFromBcr_ = false;
}

SDK::SDK() {
    // An identity machine until rotors are loaded, so every table is always a permutation.
    for (int t = 0; t < kRotors; ++t) {
        std::iota(tables_[t].begin(), tables_[t].end(), 0);
        inverse_[t] = tables_[t];
        slotString_[t] = static_cast<uint8_t>(t);
    }
}

std::string SDK::Rotor(int k) const {
    CheckSlot(k);
    const auto& table = tables_[slotString_[k - 1]];
    const uint8_t off = slotOffset_[k - 1];
    std::string out(256, '\0');
    for (int j = 0; j < 256; ++j) out[j] = static_cast<char>(table[(j + off) & 255]);
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
    for (int j = 0; j < 256; ++j) {
        tables_[t][j] = bytes[j];
        inverse_[t][bytes[j]] = static_cast<uint8_t>(j);
    }
}

void SDK::LoadCipherTables() {
    AtFill151.assign(151, '@');
    ByteAlphabet.resize(256);
    for (int c = 0; c < 256; ++c) ByteAlphabet[c] = static_cast<char>(c);
    AtFill256.assign(256, '@');

    LoadDirections();
    LoadStepSizes();

    ReorderIndex = 1;
    ReorderThreshold = ReorderTable[1];
    ReorderCount = 0;
}

void SDK::LoadDirections() {
    const std::string path = File("k3.bin");
    if (k3Watch_.Unchanged(path)) {
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
    const std::string k4 = File("k4.bin");
    if (k4Watch_.Unchanged(k4)) {
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
                throw EndOfFileError(k4 + ": input past end of file (" + std::to_string(k - 1) +
                                     " of 20 step sizes)");
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
    if (PassesDone >= PassCount)
        throw CipherError("passes done " + std::to_string(PassesDone) +
                          " already reach pass count " + std::to_string(PassCount));
}

void SDK::CheckStepSizes() const {
    for (int k = 1; k <= kRotors; ++k) {
        if (StepSize[k] < 0 || StepSize[k] > 256)
            throw CipherError("step size " + std::to_string(StepSize[k]) + " of rotor " +
                              std::to_string(k) + " in " + File("k4.bin") + " is outside 1..256");
    }
}

void SDK::EncipherChar() {
    CheckPassCount();
    uint8_t c = CurChar;
    do {
        for (int k = 0; k < kRotors; ++k)
            c = tables_[slotString_[k]][static_cast<uint8_t>(c + slotOffset_[k])];
        ++PassesDone;
    } while (PassesDone != PassCount);
    CurChar = c;
    AdvanceRotors();
}

void SDK::DecipherChar() {
    CheckPassCount();
    uint8_t c = CurChar;
    do {
        for (int k = kRotors - 1; k >= 0; --k)
            c = static_cast<uint8_t>(inverse_[slotString_[k]][c] - slotOffset_[k]);
        ++PassesDone;
    } while (PassesDone != PassCount);
    CurChar = c;
    AdvanceRotors();
}

void SDK::AdvanceRotors() {
    CheckStepSizes();
    // Turning up by s moves the first s characters to the end: the offset grows by s.
    for (int k = 1; k <= kRotors; ++k) {
        const auto s = static_cast<uint8_t>(StepSize[k]);
        slotOffset_[k - 1] += RotorUp[k] != 0 ? s : static_cast<uint8_t>(-s);
    }
    CycleRotorOrder();
}

void SDK::CycleRotorOrder() {
    ++ReorderCount;
    if (ReorderCount < ReorderThreshold) return;
    ReorderCount = 0;
    std::rotate(slotString_.begin(), slotString_.begin() + 1, slotString_.end());
    std::rotate(slotOffset_.begin(), slotOffset_.begin() + 1, slotOffset_.end());
    ReorderIndex = ReorderIndex + 1 > kReorderEntries ? 1 : ReorderIndex + 1;
    if (ReorderIndex < 0)
        throw CipherError("reorder index " + std::to_string(ReorderIndex) + " outside 0..200");
    ReorderThreshold = ReorderTable[ReorderIndex];
}

void SDK::ReadPassCount() {
    const std::string k2 = File("k2.bin");
    if (k2Watch_.Unchanged(k2)) {
        RotorCount = k2RotorCount_;
        PassCount = k2PassCount_;
        return;
    }
    ItemReader in = ItemReader::FromFile(k2);
    try {
        RotorCount = ToInt16(Val(in.NextNumberItem()));
        PassCount = ToInt32(Val(in.NextNumberItem()));
    } catch (const EndOfFileError&) {
        throw EndOfFileError(k2 + ": input past end of file (rotor count and pass count)");
    } catch (const OverflowError& e) {
        throw OverflowError(k2 + ": " + e.what());
    }
    k2RotorCount_ = RotorCount;
    k2PassCount_ = PassCount;
    k2Watch_.Remember();
}

void SDK::LoadRotors() {
    const std::string path = File("k1.bcr");
    if (!bcrWatch_.Unchanged(path)) {
        tablesFromBcr_ = false;
        bcrContent_.clear();
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
    const std::string brs = File("k1.brs");
    if (!brsWatch_.Unchanged(brs)) {
        brsContent_ = ReadWholeFile(brs);
        brsWatch_.Remember();
    }
    const std::string working = File("k1.bcr");
    // Rewriting identical bytes would leave the same file; skip the write.
    if (bcrWatch_.Unchanged(working)) {
        if (bcrContent_ == brsContent_) return;
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

void SDK::Transform(std::string& text, bool encipher) {
    LoadCipherTables();
    RotorLen = 256;
    OutputText.clear();
    BaseAlphabet = ByteAlphabet;
    ReadPassCount();
    LoadRotors();
    InputText = text;
    OutputText = text;
    RunMachine(OutputText, encipher);
    text = OutputText;
    RestoreRotorFile();
}

namespace {

// The machine while it runs over a text: per slot the table it reads, the offset
// the rotor has turned by, and how far it turns per character.
struct Running {
    std::array<const uint8_t*, SDK::kRotors> tab;
    std::array<uint8_t, SDK::kRotors> off;
    std::array<uint8_t, SDK::kRotors> delta;
    std::array<uint8_t, SDK::kRotors>* slotString;
    const std::array<int32_t, SDK::kReorderEntries + 1>* table;
    int32_t count, threshold, index;

    void Advance() {
        for (int k = 0; k < SDK::kRotors; ++k) off[k] = static_cast<uint8_t>(off[k] + delta[k]);
        if (++count >= threshold) {
            count = 0;
            std::rotate(tab.begin(), tab.begin() + 1, tab.end());
            std::rotate(off.begin(), off.begin() + 1, off.end());
            std::rotate(slotString->begin(), slotString->begin() + 1, slotString->end());
            index = index + 1 > SDK::kReorderEntries ? 1 : index + 1;
            threshold = (*table)[index];
        }
    }
};

// B characters at a time: each takes a snapshot of the machine and the machine moves on,
// then their look-up chains run interleaved, so the processor can overlap them.
template <int B, bool Encipher>
void RunBlock(Running& m, uint8_t* buf, int passes) {
    std::array<std::array<const uint8_t*, SDK::kRotors>, B> tab;
    std::array<std::array<uint8_t, SDK::kRotors>, B> off;
    for (int b = 0; b < B; ++b) {
        tab[b] = m.tab;
        off[b] = m.off;
        m.Advance();
    }
    std::array<uint8_t, B> c;
    for (int b = 0; b < B; ++b) c[b] = buf[b];
    for (int p = 0; p < passes; ++p) {
        if constexpr (Encipher) {
            for (int k = 0; k < SDK::kRotors; ++k)
                for (int b = 0; b < B; ++b)
                    c[b] = tab[b][k][static_cast<uint8_t>(c[b] + off[b][k])];
        } else {
            for (int k = SDK::kRotors - 1; k >= 0; --k)
                for (int b = 0; b < B; ++b)
                    c[b] = static_cast<uint8_t>(tab[b][k][c[b]] - off[b][k]);
        }
    }
    for (int b = 0; b < B; ++b) buf[b] = c[b];
}

template <bool Encipher>
void RunAll(Running& m, uint8_t* buf, size_t n, int passes) {
    constexpr int kBatch = 8;
    size_t i = 0;
    for (; i + kBatch <= n; i += kBatch) RunBlock<kBatch, Encipher>(m, buf + i, passes);
    for (; i < n; ++i) RunBlock<1, Encipher>(m, buf + i, passes);
}

}  // namespace

void SDK::RunMachine(std::string& text, bool encipher) {
    // A corrupt key state is reported before any character is touched, even for an empty text.
    PassesDone = 0;
    CheckPassCount();
    CheckStepSizes();
    if (ReorderIndex < 0 || ReorderIndex > kReorderEntries)
        throw CipherError("reorder index " + std::to_string(ReorderIndex) + " outside 0..200");

    Running m{};
    const auto& tables = encipher ? tables_ : inverse_;
    for (int k = 0; k < kRotors; ++k) {
        m.tab[k] = tables[slotString_[k]].data();
        m.off[k] = slotOffset_[k];
        const auto s = static_cast<uint8_t>(StepSize[k + 1]);
        m.delta[k] = RotorUp[k + 1] != 0 ? s : static_cast<uint8_t>(-s);
    }
    m.slotString = &slotString_;
    m.table = &ReorderTable;
    m.count = ReorderCount;
    m.threshold = ReorderThreshold;
    m.index = ReorderIndex;

    const size_t n = text.size();
    auto* buf = reinterpret_cast<uint8_t*>(text.data());
    if (encipher)
        RunAll<true>(m, buf, n, PassCount);
    else
        RunAll<false>(m, buf, n, PassCount);

    slotOffset_ = m.off;
    ReorderCount = m.count;
    ReorderThreshold = m.threshold;
    ReorderIndex = m.index;
    if (n > 0) {
        CurChar = buf[n - 1];
        PassesDone = static_cast<int16_t>(PassCount);
    }
}

void SDK::EncryptString(std::string& text) {
    Transform(text, true);
}

void SDK::DecryptString(std::string& text) {
    Transform(text, false);
}

}  // namespace keyvane
