// The program's only command-line options, which answer on the terminal and exit.
#pragma once

#include <string>
#include <vector>

#include "platform/folders.h"

namespace keyvane {

enum class CommandLine { Window, Version, Help, Wrong };

// `args` without the program's name. No arguments opens the window.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

std::string VersionText();
// Usage, and where this copy keeps its files.
std::string HelpText(const AppFolders& folders);

}  // namespace keyvane
