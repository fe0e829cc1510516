// The commands of keyvane-cipher: seed, keygen, encrypt, decrypt, wipe, --help.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace keyvane {

// Runs one command (`args` without the program name). `readInput` is called only by
// encrypt and decrypt. Returns the exit status: 0 with the output in `out`, or 1 with
// one line in `err` and nothing in `out`.
int RunCipherTool(const std::vector<std::string>& args,
                  const std::function<std::string()>& readInput, std::string& out,
                  std::string& err);

}  // namespace keyvane
