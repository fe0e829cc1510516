// Where a user's own copy of the program's data lives when the program's folder is not
// theirs to write (an installed program).
#pragma once

#include <string>

#include "platform/folders.h"

namespace keyvane {

// The per-user data folder, for example "~/.local/share/keyvane/", with a trailing "/".
// Native path bytes (UTF-8 on Linux). Not created here.
std::string PerUserDataFolder();

// This running copy's folders (see ChooseAppFolders), from the executable's place.
// Needs a QCoreApplication.
AppFolders ProgramFolders();

}  // namespace keyvane
