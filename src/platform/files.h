// File conventions: random-access files of fixed-length records, CR LF text files,
// and the item reader used by the settings and key files. Bytes are bytes: one
// character of a std::string is one byte of the file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace keyvane {

class FileSystem;  // platform/file_system.h

// A file that cannot be opened, read, written, copied or deleted. what() is the whole
// message; Path() names the file ("" when none is known) and Reason() says why, e.g. the
// system's error text, so a caller can word its own line without taking what() apart.
class FileError : public std::runtime_error {
  public:
    // A message that is its own reason.
    explicit FileError(const std::string& message) : FileError(message, "", message) {}
    FileError(const std::string& message, std::string path, std::string reason)
        : std::runtime_error(message), path_(std::move(path)), reason_(std::move(reason)) {}
    const std::string& Path() const noexcept { return path_; }
    const std::string& Reason() const noexcept { return reason_; }

  private:
    std::string path_, reason_;
};

// Reading an item past the end of a text file.
struct EndOfFileError : FileError {
    using FileError::FileError;
};

// Files this program creates for itself (RecordFile, TextWriter, WriteNewFile) are
// readable and writable by their owner only; CreateReceivedFile follows the umask.
//
// Random-access file of fixed-length records. Records are numbered from 1; record r
// starts at byte (r - 1) * length. Opening creates a missing file empty and never
// truncates; writing beyond the end extends the file. A file that cannot be opened
// for writing (read only) is opened for reading.
class RecordFile {
  public:
    RecordFile(const std::string& path, size_t recordLength);
    // Opens an existing file for reading only; never creates one.
    static RecordFile OpenForReading(const std::string& path, size_t recordLength);
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;
    RecordFile(RecordFile&& other) noexcept;
    RecordFile& operator=(RecordFile&& other) noexcept;

    int64_t Length() const;
    // Reads record r; returns the bytes actually there (fewer, or none, past the end).
    std::string Read(int64_t r) const;
    // Writes exactly one record: `data` cut or padded with blanks to the record length.
    void Write(int64_t r, std::string_view data);
    // Writes raw bytes at the start of record r, without padding.
    void WriteRaw(int64_t r, std::string_view data);
    void Close();
    bool IsOpen() const { return fs_ != nullptr; }
    size_t RecordLength() const { return length_; }
    const std::string& Path() const { return path_; }

  private:
    RecordFile() = default;
    std::string path_;
    size_t length_ = 1;
    FileSystem* fs_ = nullptr;  // none once closed
    int handle_ = -1;
};

// The program's way of learning a file's length: open it with 1-byte records and
// close it again. A missing file is left behind empty.
int64_t ProbeLength(const std::string& path);

bool FileExists(const std::string& path);

// Length of an existing plain file, learnt without opening it for writing; throws
// FileError when it is missing or no plain file.
int64_t ExistingFileLength(const std::string& path);

// Whole content of a file; throws FileError when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// Text files: written whole (created or emptied) or appended to. Lines end with CR LF.
class TextWriter {
  public:
    enum class Mode { Replace, Append };
    TextWriter(const std::string& path, Mode mode = Mode::Replace);
    ~TextWriter();
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    void Write(std::string_view text);      // no line end
    void WriteLine(std::string_view text);  // text + CR LF
    void Close();                           // flushes; throws FileError on failure

  private:
    void Flush();
    std::string path_;
    FileSystem* fs_ = nullptr;  // none once closed
    int handle_ = -1;
    std::string buffer_;  // written at Close, or when it fills
};

// Writes `lines`, each followed by CR LF, replacing the file.
void WriteTextLines(const std::string& path, const std::vector<std::string>& lines);

// Reads the items of a text file one at a time: an item ends at a comma or a line end,
// leading blanks are skipped, an item that begins with a double quote runs to the next
// double quote.
class ItemReader {
  public:
    explicit ItemReader(std::string content) : data_(std::move(content)) {}
    // Opens a file; throws FileError when it does not exist or cannot be read.
    static ItemReader FromFile(const std::string& path);

    bool AtEnd() const { return pos_ >= data_.size(); }
    // The next item as text; throws EndOfFileError past the end.
    std::string NextItem();
    // The next numeric item: like NextItem, but blanks also end it.
    std::string NextNumberItem();

  private:
    void SkipBlanks();
    void SkipDelimiter();
    std::string data_;
    size_t pos_ = 0;
};

// First line of a text file without its line end ("" for an empty file).
std::string ReadFirstLine(const std::string& path);

// Copies a file over another, replacing it.
void CopyFileReplacing(const std::string& from, const std::string& to);

// What one look at a file saw of its identity, size and times: a different stamp at a
// later look means the file changed. `exact`: every change gives a new stamp, however
// soon it follows the last (a file in memory); a file on disk can be rewritten within
// one tick of its clock and keep its stamp.
struct FileStamp {
    uint64_t dev = 0, ino = 0;
    int64_t size = 0, mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0;
    bool exact = false;
    bool operator==(const FileStamp&) const = default;
};
// The stamp of a plain file (following links); none when it is missing or no plain file.
std::optional<FileStamp> StampOfPlainFile(const std::string& path);

// Modification time of a file in nanoseconds since 1970; 0 when it cannot be read.
uint64_t ModificationStamp(const std::string& path);

// Cuts a file to `length` bytes; throws FileError when it cannot.
void TruncateFile(const std::string& path, int64_t length);

// Deletes a file; throws FileError when it cannot.
void DeleteFileOrThrow(const std::string& path);

// Why a plain file cannot be opened for reading ("" when it can): the system's reason,
// or "not a plain file". Nothing is created.
std::string WhyUnreadable(const std::string& path);

// Creates `path` holding `data`, never through an existing file or link of that name.
// False when the name is taken. Throws FileError when it cannot be created or written (a
// file left half-written is removed); the message names the file without its folder.
bool WriteNewFile(const std::string& path, std::string_view data);

// Creates `path` empty for a file received from the peer, which, like any download,
// follows the umask. False when the name is taken (never through a file or link of
// that name); throws FileError when it cannot be created.
bool CreateReceivedFile(const std::string& path);

}  // namespace keyvane
