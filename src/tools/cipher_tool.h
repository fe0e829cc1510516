// The commands of keyvane-cipher: seed, keygen, encrypt, decrypt, wipe, --help.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace keyvane {

// Runs one command (`args` without the program name). `readInput` is called only by
// encrypt and decrypt. Returns the exit status: 0 with the output in `out`, or 1 with
// one line in `err` and nothing in `out`.
int RunCipherTool(const std::vector<std::string>& args,
                  const std::function<std::string()>& readInput, std::string& out,
                  std::string& err);

// Where the commands take their input and put their output, a piece at a time.
struct ToolStreams {
    // Fills up to `room` bytes at `into`; 0 at the end of the input. Throws on failure.
    std::function<size_t(char* into, size_t room)> read;
    // Throws on failure.
    std::function<void(std::string_view piece)> write;
};

// The same over streams: encrypt and decrypt go piece by piece, so memory stays small
// whatever the input's length. Output that went out before a failure (a failed write,
// or k1.bcr that cannot be restored at the end) stays out.
int RunCipherTool(const std::vector<std::string>& args, const ToolStreams& io, std::string& err);

}  // namespace keyvane
