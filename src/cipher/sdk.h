// The twenty-rotor cipher and its key files. One instance holds the whole module
// state, so two peers can run side by side in one process, each in its own folder.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/numbers.h"

namespace keyvane {

// A key file that is missing, short or corrupt, or a machine state the cipher
// cannot run with (pass count, step size, a rotor that is not a permutation, a seed
// that cannot be used).
struct CipherError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class SDK {
  public:
    static constexpr int kRotors = 20;
    static constexpr int kReorderEntries = 200;
    static constexpr int kMaxKeyNumbers = 50000;
    static constexpr int kMaxSeedLength = 73;  // after doubling; 73 gives exactly 50,000 numbers
    static constexpr size_t kBlockLength = 1000;

    SDK();

    // --- shared strings ---------------------------------------------------
    std::string AppFolder;  // program folder with a trailing separator
    std::string WorkText;   // every message text passes through here
    std::string BlockRecord = std::string(kBlockLength, ' ');

    // --- module state -----------------------------------------------------
    std::string AtFill151;  // empty until LoadCipherTables has run once
    std::string AtFill256;
    std::array<int16_t, kRotors + 1> RotorUp{};               // 1..20
    std::array<int16_t, kRotors + 1> StepSize{};              // 1..20
    std::array<int32_t, kReorderEntries + 1> ReorderTable{};  // 0..200, entry 0 unused
    int32_t ReorderIndex = 1;
    int32_t ReorderThreshold = 0;
    int32_t ReorderCount = 0;
    int16_t RotorCount = 0;
    int32_t PassCount = 0;
    unsigned char CurChar = 0;
    int16_t PassesDone = 0;
    std::string RotorSetupRecord;  // last k3.bin record read or written (100 bytes)
    std::string RotorRecord;       // last rotor record read or written (256 bytes)
    std::vector<int16_t> KeyNumbers = std::vector<int16_t>(kMaxKeyNumbers + 1, 0);  // 0..50000
    int32_t KeyNumberCount = 0;

    // The rotor in slot k (1..20) as the 256-character string the machine holds
    // (the identity until rotors are loaded).
    std::string Rotor(int k) const;
    // Puts a 256-character permutation into slot k (tests and diagnostics);
    // throws CipherError for anything else.
    void SetRotor(int k, const std::string& rotor);

    // --- procedures ---------------------------------------------------------
    void LoadCipherTables();

    // Transform `text` in place. Throw CipherError / FileError / EndOfFileError /
    // OverflowError on failure; `text` is unchanged unless the failure is the final
    // restore of k1.bcr from k1.brs.
    void EncryptString(std::string& text);
    void DecryptString(std::string& text);
    // The same string operation on the caller's own buffer, data[0..n), in place: for
    // the file blocks and messages of a transfer, which need no WorkText, no copy and
    // no allocation. Fails exactly as the string operations do.
    void EncryptBlock(char* data, size_t n);
    void DecryptBlock(char* data, size_t n);

    // Reads the twenty rotors from k1.bcr; throws CipherError when it holds fewer than
    // twenty records or a record is not a permutation of the 256 byte values.
    void LoadRotors();
    // Runs the loaded machine over `text` in place, from its current state and without
    // touching a key file: what EncryptString/DecryptString do between loading and
    // restoring. Throws CipherError when the pass count or a step size cannot work.
    void RunMachine(std::string& text, bool encipher);
    void RunMachine(char* data, size_t n, bool encipher);
    void RestoreRotorFile();
    // A string operation over a text that comes in pieces: Start loads the key state as
    // EncryptString does, RunMachine then takes the pieces in order, Finish restores
    // k1.bcr. The pieces come out as one EncryptString (DecryptString) of their whole.
    void StartStringOperation();
    void FinishStringOperation();
    void WipeKeyFiles();
    // Whether any file the wipe removes is in AppFolder (left by a run that never
    // wiped: a crash, a power cut).
    bool KeyFilesLeft() const;

    // Throw CipherError for an empty seed or one longer than kMaxSeedLength after
    // doubling, before any file is touched.
    void BuildKeyNumbers(std::string seed);
    void BuildKeyFiles(const std::string& seed);
    void WriteRotorSettings();
    void BuildReorderTable(const std::string& code);

    std::string File(const char* name) const { return AppFolder + name; }

    // Inside one event handler the key folder is looked at once: every string operation
    // within the scope shares the first one's look (which sees any change made before
    // it), instead of reading the folder watch on each call. Nothing of ours may change
    // the key files while the handler runs without yielding; key generation and the
    // wipe inside a scope make the next call look again.
    class OneLook {
      public:
        explicit OneLook(SDK& sdk) : sdk_(sdk), outer_(sdk.lookOpen_) {
            if (!outer_) sdk_.lookShared_ = false;
            sdk_.lookOpen_ = true;
        }
        ~OneLook() {
            if (outer_) return;
            sdk_.lookOpen_ = false;
            sdk_.lookShared_ = false;
        }
        OneLook(const OneLook&) = delete;
        OneLook& operator=(const OneLook&) = delete;

      private:
        SDK& sdk_;
        bool outer_;
    };

    // Texts up to this length go through per-position tables once the same key state
    // has carried kTableWarmup characters: building them costs about as much as
    // running the machine over 256 such texts.
    static constexpr size_t kTablePositions = 1024;
    static constexpr size_t kTableWarmup = 64 * 1024;
    bool PositionTablesBuilt() const { return positions_ != nullptr; }

  private:
    // Fast machine. Each rotor string loaded from k1.bcr is a fixed table (with its
    // inverse); turning a rotor only moves its offset, and cycling the order rotates the
    // slot arrays. Table t starts at t * kTableSpan and holds the rotor twice over, so a
    // look-up at a turned position needs no wrapping:
    // Rotor(k)[j] == tables_[slotString_[k-1] * kTableSpan + j + slotOffset_[k-1]].
    static constexpr int kTableSpan = 512;
    std::array<uint8_t, kRotors * kTableSpan> tables_{};
    std::array<uint8_t, kRotors * kTableSpan> inverse_{};
    std::array<uint8_t, kRotors> slotString_{};  // which table sits in slot k
    std::array<uint8_t, kRotors> slotOffset_{};  // how far that rotor has turned

    // Every string operation reads five key files that almost never change between
    // calls. A watch tells whether a file is still the very one whose parsed copy is
    // kept below, from one stat() of it, so unchanged files are not read again.
    class KeyFileWatch {
      public:
        // Stats `path`: true when it is the file last remembered, unchanged since.
        // `quiet`: nothing in the key folder changed since the last look (FolderWatch);
        // a file remembered then is taken as unchanged without a stat.
        // `watched`: the folder watch runs since before this look, so a file read now
        // may be remembered however recently it was written.
        bool Unchanged(const std::string& path, bool quiet = false, bool watched = false);
        // The read that followed Unchanged() succeeded: remember the file as it was seen.
        void Remember();
        void Forget() { kept_ = false; }
        bool Kept() const { return kept_; }

      private:
        FileStamp seen_, keptStamp_;
        bool seenUsable_ = false;  // seen_ is a regular file whose stamp can be trusted
        bool kept_ = false;
    };
    KeyFileWatch k2Watch_, k3Watch_, k4Watch_, bcrWatch_, brsWatch_;

    // Whether anything in the key folder changed since the last look, from one read of
    // an inotify queue instead of a stat of each of the five files: over a transfer the
    // stats were a third of the system calls of every block. A look that cannot tell
    // (no watch yet, the folder moved, the queue overflowed), and any look a quarter of
    // a second after the last full one, says "changed".
    class FolderWatch {
      public:
        FolderWatch() = default;
        ~FolderWatch() { Close(); }
        // A copy watches nothing yet: it must not share the queue, and its first look
        // says "changed", so a copied SDK checks the files again.
        FolderWatch(const FolderWatch&) {}
        FolderWatch& operator=(const FolderWatch& other) {
            if (this != &other) Close();
            counted_ = false;
            return *this;
        }
        bool Quiet(const std::string& folder);
        // The folder is watched now: any change from here on shows in the next look.
        bool Watching() const { return fd_ >= 0 || counted_; }

      private:
        void Close();
        int fd_ = -1;
        bool counted_ = false;  // the file system counts the folder's changes for us
        uint64_t changeCount_ = 0;
        std::string folder_;
        int64_t lastFullMs_ = 0;
    };
    FolderWatch folderWatch_;
    bool quiet_ = false;    // between StartStringOperation and its finish: the folder is quiet
    bool watched_ = false;  // and the folder watch runs
    int16_t k2RotorCount_ = 0;
    int32_t k2PassCount_ = 0;
    std::array<int16_t, kRotors + 1> k3Up_{};
    std::string k3Record_;  // empty for an empty k3.bin
    std::array<int16_t, kRotors + 1> k4Steps_{};
    std::string bcrContent_, brsContent_;
    // bcrContent_ == brsContent_, worked out once after either changes: -1 unknown.
    int bcrIsBrs_ = -1;
    bool tablesFromBcr_ = false;  // tables_ hold the rotors of bcrContent_
    void ForgetKeyFiles();
    // The key files' paths, made again only when AppFolder changes.
    struct KeyPaths {
        std::string folder, bcr, brs, k2, k3, k4;
    };
    KeyPaths paths_;
    const KeyPaths& Paths();
    // `bcrKept`: k1.bcr is the file whose content bcrContent_ holds.
    void RestoreRotorFile(bool bcrKept);

    // The numbers and rotors of the last seed built: a peer that connects again, or
    // an "IP:" sent twice, names the same seed. The files are written every time.
    struct LastBuild {
        std::string seed;
        std::vector<int16_t> numbers;  // KeyNumbers[1..KeyNumberCount]
        std::string rotors;            // the twenty records of k1.bin
    };
    LastBuild lastBuild_;
    std::string ShuffleRotors() const;

    void SetTable(int t, const uint8_t* bytes);
    void CheckPassCount() const;
    void CheckStepSizes() const;
    void ReadPassCount();
    void LoadCipherTablesForKeys();
    void LoadDirections();  // k3.bin
    void LoadStepSizes();   // k4.bin
    void Transform(char* data, size_t n, bool encipher);

    bool lookOpen_ = false;    // inside a OneLook
    bool lookShared_ = false;  // and its look has been made, for this folder:
    std::string lookFolder_;
    bool LookAtFolder();

    // From the key state, position i of any text applies one fixed permutation (the
    // machine's stepping does not depend on the characters or the direction), so a
    // short text is one table look-up per character. The machine's state after i
    // characters is kept too: a call leaves the module state as the machine would.
    struct MachineStart {
        std::array<int16_t, kRotors + 1> up, steps;
        int32_t passes;
        std::array<int32_t, kReorderEntries + 1> schedule;
        uint64_t rotors;  // tablesSet_ when the state was taken
        bool operator==(const MachineStart&) const = default;
    };
    struct MachineAt {
        std::array<uint8_t, kRotors> slotString, slotOffset;
        int32_t count, threshold, index;
    };
    struct PositionTables {
        MachineStart start;
        std::vector<uint8_t> encipher, decipher;  // position i's 256 bytes at i * 256
        std::vector<MachineAt> at;                // 0..kTablePositions
    };
    std::shared_ptr<const PositionTables> positions_;
    uint64_t tablesSet_ = 0;  // counts SetTable calls
    MachineStart startSeen_{};
    size_t startRun_ = 0;  // characters run since startSeen_ was last different
    MachineStart CurrentStart() const;
    void BuildPositionTables(const MachineStart& start);
    // Whether the tables took the text: only right after loading, for a short text.
    bool RunPositionTables(uint8_t* buf, size_t n, bool encipher);
    void CheckMachine() const;
    // A text of 64 characters or more on the wide machine, where the processor
    // has it; returns how many were done.
    size_t RunWide(uint8_t* buf, size_t n, bool encipher);
};

}  // namespace keyvane
