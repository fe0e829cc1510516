// A fresh temporary folder for one test, removed afterwards.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace keyvane::test {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The folder with a trailing "/".
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + name; }

  private:
    std::string path_;
};

// Runs the rest of a scope in a fresh current folder: received keys land there.
class InFolder {
  public:
    InFolder() : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir_.path());
    }
    ~InFolder() { std::filesystem::current_path(old_); }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;
    std::string File(const std::string& name) const { return dir_.file(name); }
    const std::string& Path() const { return dir_.path(); }

  private:
    TempDir dir_;
    std::filesystem::path old_;
};

// `n` bytes of every value, the same for the same seed.
std::string RandomBytes(size_t n, unsigned seed);

// A file of `length` pseudo-random bytes (the same every time), written 64 KB at a time
// so that a large one needs no more memory.
void WriteRandomFile(const std::string& path, int64_t length);

// A file that holds exactly `bytes`.
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace keyvane::test
