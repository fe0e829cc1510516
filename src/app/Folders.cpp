#include "app/Folders.h"

#include <filesystem>

namespace keyvane {

AppFolders ChooseAppFolders(const std::string& programFolder, const std::string& perUserFolder,
                            const std::function<bool(const std::string&)>& writable,
                            const std::function<bool(const std::string&)>& exists) {
    AppFolders f;
    const std::string beside = programFolder + "overview.htm";
    const std::string shared =
        std::filesystem::path(programFolder + kInstalledHelpPage).lexically_normal().string();
    f.installed = !exists(beside) && exists(shared);
    f.helpPage = f.installed ? shared : beside;
    // Even a root user's writable /usr/bin gets no settings or key files.
    f.data = !f.installed && writable(programFolder) ? programFolder : perUserFolder;
    return f;
}

}  // namespace keyvane
