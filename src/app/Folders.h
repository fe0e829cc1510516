// Where the program keeps its data and finds its help page, for a copy that runs from
// its own folder and for one installed under a prefix.
#pragma once

#include <functional>
#include <string>

namespace keyvane {

struct AppFolders {
    std::string data;      // AppFolder: port.dat, font.dat, key files, Recv/; trailing "/"
    std::string helpPage;  // full path of overview.htm
    bool installed = false;
};

// Where an installed program's help page lies, relative to its bin/ folder.
inline constexpr const char* kInstalledHelpPage = "../share/keyvane/overview.htm";

// `programFolder` is the executable's folder with a trailing "/". A program whose help
// page lies in ../share/keyvane/ and not beside it is installed: its data goes to
// `perUserFolder`, as it does for a copy in a folder the user cannot write. Otherwise
// the program's folder holds everything, as it always did.
AppFolders ChooseAppFolders(const std::string& programFolder, const std::string& perUserFolder,
                            const std::function<bool(const std::string& folder)>& writable,
                            const std::function<bool(const std::string& file)>& exists);

}  // namespace keyvane
