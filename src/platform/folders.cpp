#include "platform/folders.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/file_system.h"
#include "platform/files.h"

namespace keyvane {

namespace {

// "Unable to lock /a/b (Resource busy)", with the path and the reason apart.
FileError Unable(const std::string& what, const std::string& path, int err) {
    std::string reason = std::strerror(err);
    return FileError("Unable to " + what + " " + path + " (" + reason + ")", path, reason);
}

}  // namespace

bool IsWritableFolder(const std::string& folder) {
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

void CreateFolderChain(const std::string& folder) {
    namespace fs = std::filesystem;
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::error_code ec;
    if (fs::is_directory(path, ec)) return;
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty() && parent != path) CreateFolderChain(parent.string());
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw Unable("create the folder", path, errno);
    if (!fs::is_directory(path, ec))
        throw FileError(path + " is not a folder", path, "not a folder");
}

void CreatePrivateFolder(const std::string& folder) {
    CreateFolderChain(folder);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || st.st_uid != ::geteuid()) return;
    // An earlier copy may have made it with the umask's 0755.
    if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0)
        throw Unable("protect the folder", folder, errno);
}

FolderLock::~FolderLock() {
    Release();
}

bool FolderLock::Take(const std::string& path) {
    Release();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) throw Unable("open", path, errno);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK) return false;
        throw Unable("lock", path, err);
    }
    fd_ = fd;
    return true;
}

void FolderLock::Release() {
    if (fd_ < 0) return;
    ::close(fd_);  // closing drops the lock
    fd_ = -1;
}

bool MakeFolder(const std::string& folder) {
    return ::mkdir(folder.c_str(), 0755) == 0;
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<FolderEntry> FolderEntries(const std::string& folder) {
    return Files().Entries(folder);
}

bool DosHiddenOrSystem(const std::string& path) {
    // Wine keeps the DOS attributes of a file in this extended attribute, as "0x" + hex.
    char buf[32] = {};
    const ssize_t n = ::getxattr(path.c_str(), "user.DOSATTRIB", buf, sizeof buf - 1);
    if (n < 3 || buf[0] != '0' || (buf[1] != 'x' && buf[1] != 'X')) return false;
    const unsigned long attr = std::strtoul(buf + 2, nullptr, 16);
    return (attr & 0x6) != 0;  // hidden, system
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "";
}

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
