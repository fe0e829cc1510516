// The commands of keyvane-cipher: seed, keygen, encrypt, decrypt, wipe, --help.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace keyvane {

// Where the commands take their input and put their output, a piece at a time.
struct ToolStreams {
    // Fills up to `room` bytes at `into`; 0 at the end of the input. Throws on failure.
    std::function<size_t(char* into, size_t room)> read;
    // Throws on failure.
    std::function<void(std::string_view piece)> write;
};

// Runs one command (`args` without the program name); only encrypt and decrypt read.
// Returns the exit status: 0, or 1 with one line in `err`. Encrypt and decrypt go piece
// by piece, so memory stays small whatever the input's length; a key state they cannot
// work with fails before anything is written, and output that went out before a later
// failure (a failed write, or k1.bcr that cannot be restored at the end) stays out.
int RunCipherTool(const std::vector<std::string>& args, const ToolStreams& io, std::string& err);

}  // namespace keyvane
