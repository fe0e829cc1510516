#include "support/tempdir.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string_view>

#include "platform/files.h"

namespace keyvane::test {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "keyvane-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl + "/";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

void WriteRandomFile(const std::string& path, int64_t length) {
    RecordFile f(path, 1 << 16);
    std::mt19937 gen(1);
    std::string chunk(1 << 16, '\0');
    for (int64_t at = 0, r = 1; at < length; at += static_cast<int64_t>(chunk.size()), ++r) {
        for (char& c : chunk) c = static_cast<char>(gen());
        const auto n =
            static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(chunk.size()), length - at));
        f.WriteRaw(r, std::string_view(chunk).substr(0, n));
    }
    f.Close();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    TextWriter w(path);
    w.Write(bytes);
    w.Close();
}

}  // namespace keyvane::test
