#include "support/tempdir.h"

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

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

}  // namespace keyvane::test
