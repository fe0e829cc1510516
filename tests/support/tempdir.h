// A fresh temporary folder for one test, removed afterwards.
#pragma once

#include <cstdint>
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

// `n` bytes of every value, the same for the same seed.
std::string RandomBytes(size_t n, unsigned seed);

// A file of `length` pseudo-random bytes (the same every time), written 64 KB at a time
// so that a large one needs no more memory.
void WriteRandomFile(const std::string& path, int64_t length);

}  // namespace keyvane::test
