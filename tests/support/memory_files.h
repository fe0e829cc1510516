// A folder whose plain files live in this process's memory instead of on disk. While one
// is mounted, the file functions of files.h and FolderEntries, given a path directly in
// that folder, work on its files; paths anywhere else go to disk as always. It is for
// tests and for a program that would otherwise spend most of its time in system calls on
// a few small files (the receive-path fuzzer); the shipped programs never link it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace keyvane {

class MemoryFolder;

// One file: its bytes and what tells a change. Shared with the files opened on it, so a
// file deleted while open stays readable through them, as on disk.
struct MemoryFile {
    std::string data;
    uint64_t id = 0;       // never reused, so a file made anew is another file
    uint64_t version = 0;  // the change count at the last write
    MemoryFolder* folder = nullptr;
    void Changed();
};

class MemoryFolder {
  public:
    using Contents = std::map<std::string, std::string>;  // name -> bytes

    // Mounts `folder` (with its trailing separator) empty; the first folder mounted puts
    // the memory in the file system's place until the last is gone. Mount before other
    // threads use files; a folder outlives the files opened in it.
    explicit MemoryFolder(std::string folder);
    ~MemoryFolder();
    MemoryFolder(const MemoryFolder&) = delete;
    MemoryFolder& operator=(const MemoryFolder&) = delete;

    const std::string& Path() const { return path_; }
    // Grows with every creation, write and deletion; no other folder's count, now or
    // before, takes the same value.
    uint64_t Changes() const { return changes_; }
    Contents Snapshot() const;
    // Replaces every file by `contents`; a file whose bytes stay keeps its stamp.
    void Restore(const Contents& contents);

    std::shared_ptr<MemoryFile> Find(std::string_view name) const;
    // The file, made empty when missing; `empty` also empties an existing one.
    std::shared_ptr<MemoryFile> Open(std::string_view name, bool empty);
    bool Remove(std::string_view name);
    std::vector<std::string> Names() const;
    size_t Count() const { return files_.size(); }

  private:
    friend struct MemoryFile;
    std::string path_;
    std::map<std::string, std::shared_ptr<MemoryFile>, std::less<>> files_;
    uint64_t changes_ = 0;
    void Change();
};

}  // namespace keyvane
