// keyvane-cipher: the cipher module from the command line, for diagnostics and for
// checking key files and ciphertexts against another installation.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/cipher_tool.h"

namespace {

std::string ReadStdin() {
    std::string data;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) data.append(buf, n);
    if (std::ferror(stdin)) throw std::runtime_error("cannot read standard input");
    return data;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out, err;
    int rc = keyvane::RunCipherTool(std::vector<std::string>(argv + 1, argv + argc), ReadStdin, out,
                                    err);
    if (rc == 0 && (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() ||
                    std::fflush(stdout) != 0)) {
        err = "keyvane-cipher: cannot write standard output\n";
        rc = 1;
    }
    if (rc != 0) std::fputs(err.c_str(), stderr);
    return rc;
}
