// Folders the program keeps its data in: whether one can be written, creating one, and
// the lock that keeps a second running copy away from a folder's key files.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace keyvane {

// Whether this process may create files in `folder`.
bool IsWritableFolder(const std::string& folder);

// Creates `folder` and any missing parents. A folder created here is its owner's alone,
// since key files go into it. Throws FileError when it cannot be created.
void CreateFolderChain(const std::string& folder);

// The program's own data folder, made its owner's alone: created as CreateFolderChain
// does, and an existing one of this user's that others may enter is closed to them.
// Throws FileError when it cannot be created.
void CreatePrivateFolder(const std::string& folder);

// Creates one folder whose parent exists; false when it cannot (often: it is there).
bool MakeFolder(const std::string& folder);

// Whether `path` is a folder (following links).
bool IsFolder(const std::string& path);

// What a folder holds, "." and ".." left out, in the system's order; none when it
// cannot be read. `plain` says a plain file, or a link to one.
struct FolderEntry {
    std::string name;
    bool plain = false;
};
std::vector<FolderEntry> FolderEntries(const std::string& folder);

// Whether Wine marked the file hidden or system.
bool DosHiddenOrSystem(const std::string& path);

// The user's home folder: $HOME, else the password database's ("" when neither knows).
std::string HomeFolder();

// The file in a data folder whose lock says a running copy uses that folder.
inline constexpr const char* kFolderLockFile = ".keyvane.lock";

// An exclusive lock on one file, held until Release or destruction. Two holders
// exclude each other even within one process.
class FolderLock {
  public:
    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Locks `path`, creating it empty when missing. False when another holder has it;
    // throws FileError when the file cannot be opened or created.
    bool Take(const std::string& path);
    bool Held() const { return fd_ >= 0; }
    void Release();

  private:
    int fd_ = -1;
};

// Where the program keeps its data and finds its help page, for a copy that runs from
// its own folder and for one installed under a prefix.
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
