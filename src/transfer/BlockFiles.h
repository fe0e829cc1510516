// The files of a transfer, read and written many blocks at a time: one system call per
// 1000-byte block was a large share of what a block cost.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/sha256.h"

namespace keyvane {

// Reads a file being sent, record by record as RecordFile does, from a window of
// kBlocks records that is read in one piece.
class BlockReader {
  public:
    static constexpr int64_t kBlocks = 64;
    // Opens an existing plain file for reading; throws FileError.
    BlockReader(const std::string& path, size_t recordLength);

    // Record r (from 1): the bytes there, fewer or none past the end.
    std::string Read(int64_t r);
    // The file's length now; throws FileError.
    int64_t Length() const { return file_.Length(); }

  private:
    RecordFile file_;  // records of kBlocks blocks
    size_t length_;
    int64_t window_ = 0;  // the window held, from 1; 0 for none
    std::string held_;
};

// Writes a received file record by record as RecordFile does, holding consecutive
// records until kBlocks of them can go out in one write. What it holds goes out before
// anything is written elsewhere, on Close, and when it is destroyed (a receive that
// ends early keeps every block it was given).
class BlockWriter {
  public:
    static constexpr int64_t kBlocks = 64;
    BlockWriter(const std::string& path, size_t recordLength);
    ~BlockWriter();
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;
    // What was held goes with it; the one moved from writes nothing.
    BlockWriter(BlockWriter&& other) noexcept;

    // Record r: `data` cut or padded with blanks to the record length. Throws FileError
    // when a write fails (possibly for records given earlier).
    void Write(int64_t r, std::string_view data);
    // Raw bytes at the start of record r, after what is held.
    void WriteRaw(int64_t r, std::string_view data);
    // Writes out what is held, then closes; throws FileError.
    void Close();

  private:
    void Flush();
    RecordFile file_;
    size_t length_;
    int64_t first_ = 0;  // the record that held_ starts with
    std::string held_;
};

// Feeds the whole 1000-byte blocks 1 to n of a file to a hash a step at a time, each step on a
// 0 ms timer, so a partial file of gigabytes does not hold up the window or the link;
// where the platform has no timers, in one go.
class StepHasher {
  public:
    static constexpr int64_t kStepBlocks = 1024;  // 1 MB: about 10 ms per step

    explicit StepHasher(Platform& platform) : timer_(platform) {}
    // `done` gets "" when all were hashed, else why not (the file is unreadable or
    // shorter). Replaces a run not finished; `hash` must outlive the run.
    void Start(const std::string& path, int64_t records, Sha256& hash,
               std::function<void(const std::string& error)> done);
    // Forgets a run not finished; its `done` is never called.
    void Stop();
    bool Running() const { return done_ != nullptr; }

  private:
    void Step();
    void Finish(const std::string& error);
    OneShot timer_;
    std::optional<BlockReader> reader_;
    Sha256* hash_ = nullptr;
    int64_t next_ = 0, last_ = 0;
    std::function<void(const std::string&)> done_;
};

}  // namespace keyvane
