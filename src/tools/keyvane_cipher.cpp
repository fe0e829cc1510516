// keyvane-cipher: the cipher module from the command line, for diagnostics and for
// checking key files and ciphertexts against another installation.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/cipher_tool.h"

int main(int argc, char** argv) {
    keyvane::ToolStreams io;
    io.read = [](char* into, size_t room) -> size_t {
        for (;;) {
            const ssize_t n = ::read(STDIN_FILENO, into, room);
            if (n >= 0) return static_cast<size_t>(n);
            if (errno != EINTR) throw std::runtime_error("cannot read standard input");
        }
    };
    // Straight to the descriptor: through stdio a 256 KB piece took two writes.
    io.write = [](std::string_view piece) {
        while (!piece.empty()) {
            const ssize_t n = ::write(STDOUT_FILENO, piece.data(), piece.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::runtime_error("cannot write standard output");
            piece.remove_prefix(static_cast<size_t>(n));
        }
    };
    std::string err;
    int rc = keyvane::RunCipherTool(std::vector<std::string>(argv + 1, argv + argc), io, err);
    if (rc == 0 && std::fflush(stdout) != 0) {
        err = "keyvane-cipher: cannot write standard output\n";
        rc = 1;
    }
    if (rc != 0) std::fputs(err.c_str(), stderr);
    return rc;
}
