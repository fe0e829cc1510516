// What every file call of files.h and FolderEntries goes through: the disk by default,
// and whatever a test or the fuzzer puts in its place. Open files are small integer
// handles of the file system that opened them, as the system's own descriptors are, so
// no call allocates for the seam.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/folders.h"

namespace keyvane {

class FileSystem;

// An open file: the file system that holds it and its handle there.
struct OpenFile {
    FileSystem* fs = nullptr;
    int handle = -1;
};

class FileSystem {
  public:
    enum class Mode {
        Records,       // read and write, created when missing; read only when not writable
        ReadExisting,  // read only; a missing file or one that is not plain is refused
        Replace,       // write from the start; closed, the file holds only what was written
        Append,        // write at the end, created when missing
    };

    virtual ~FileSystem() = default;

    // Throws FileError naming `path` when it cannot be opened. A file system may hand
    // the open file to another one (a folder in memory over the disk).
    virtual OpenFile Open(const std::string& path, Mode how) = 0;
    // `path` is only for messages.
    virtual int64_t Length(int handle, const std::string& path) = 0;
    // Reads up to `n` bytes at `at`; returns how many there were.
    virtual size_t ReadAt(int handle, char* out, size_t n, int64_t at, const std::string& path) = 0;
    virtual void WriteAt(int handle, std::string_view data, int64_t at,
                         const std::string& path) = 0;
    // Writes where the last write ended (at the end for Append).
    virtual void WriteNext(int handle, std::string_view data, const std::string& path) = 0;
    // Closes the handle in any case; throws FileError "<what> <path>: <reason>" when the
    // system reports a failure.
    virtual void Close(int handle, const std::string& path, const char* what) = 0;

    // The whole-file calls of files.h, with the same contracts.
    virtual bool Exists(const std::string& path) = 0;
    virtual int64_t ExistingLength(const std::string& path) = 0;
    virtual std::string ReadWhole(const std::string& path) = 0;
    virtual void Delete(const std::string& path) = 0;
    virtual void Truncate(const std::string& path, int64_t length) = 0;
    virtual std::optional<FileStamp> Stamp(const std::string& path) = 0;
    virtual uint64_t ModificationTime(const std::string& path) = 0;
    virtual std::string WhyUnreadable(const std::string& path) = 0;
    // `own`: the program's own file (its owner's alone), else a received one (umask).
    virtual bool CreateNew(const std::string& path, std::string_view data, bool own) = 0;
    virtual std::vector<FolderEntry> Entries(const std::string& folder) = 0;

    // A file system that counts its changes to `folder` (with its trailing "/") says
    // how many so far, a number no other folder's count takes; none when it cannot tell.
    virtual std::optional<uint64_t> ChangeCount(const std::string& folder) {
        (void)folder;
        return std::nullopt;
    }
};

// The one every file call uses now.
FileSystem& Files();
// The system's own, which Files() is unless something else is put in its place.
FileSystem& DiskFiles();

// Puts `fs` in the disk's place until destroyed, when the one before comes back. Do it
// before other threads use files; files opened under it stay with the file system that
// opened them, which must outlive them.
class UseFileSystem {
  public:
    explicit UseFileSystem(FileSystem& fs);
    ~UseFileSystem();
    UseFileSystem(const UseFileSystem&) = delete;
    UseFileSystem& operator=(const UseFileSystem&) = delete;

  private:
    FileSystem* before_;
};

}  // namespace keyvane
