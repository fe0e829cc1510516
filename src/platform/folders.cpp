#include "platform/folders.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/files.h"

namespace keyvane {

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
        throw FileError("Unable to create the folder " + path + " (" + std::strerror(errno) + ")");
    if (!fs::is_directory(path, ec)) throw FileError(path + " is not a folder");
}

FolderLock::~FolderLock() {
    Release();
}

bool FolderLock::Take(const std::string& path) {
    Release();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) throw FileError("Unable to open " + path + " (" + std::strerror(errno) + ")");
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK) return false;
        throw FileError("Unable to lock " + path + " (" + std::strerror(err) + ")");
    }
    fd_ = fd;
    return true;
}

void FolderLock::Release() {
    if (fd_ < 0) return;
    ::close(fd_);  // closing drops the lock
    fd_ = -1;
}

}  // namespace keyvane
