// The files of a transfer, read and written many blocks at a time: one system call per
// 1000-byte block was a large share of what a block cost.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/files.h"

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

}  // namespace keyvane
