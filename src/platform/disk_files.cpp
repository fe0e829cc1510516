// The file system on disk: the system calls behind files.h and FolderEntries.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "platform/file_system.h"

namespace keyvane {

namespace {

// Key files, working files, settings and received keys: nobody else's business. Received
// files follow the user's umask as any download does.
constexpr mode_t kOwnFileMode = 0600;
constexpr mode_t kReceivedFileMode = 0644;

// "cannot open /a/b: No such file or directory", with the path and the reason apart.
FileError Why(const std::string& what, const std::string& path, int err = errno) {
    std::string reason = std::strerror(err);
    return FileError(what + " " + path + ": " + reason, path, reason);
}

// Files we send must be plain files; a folder or a device is refused as such.
void RequirePlainFile(const struct stat& st, const std::string& path) {
    if (S_ISREG(st.st_mode)) return;
    throw Why("cannot open", path, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
}

std::string BareName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class DiskFileSystem final : public FileSystem {
  public:
    OpenFile Open(const std::string& path, Mode how) override {
        switch (how) {
            case Mode::Records:
                return {this, OpenRecords(path)};
            case Mode::ReadExisting:
                return {this, OpenExisting(path)};
            case Mode::Replace: {
                // Written over in place and cut at Close: emptying a file that has data
                // makes ext4 write it out at close, milliseconds for every key file.
                const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, kOwnFileMode);
                if (fd < 0) throw Why("cannot write", path);
                const std::lock_guard lock(replacingMutex_);
                replacing_.insert(fd);
                return {this, fd};
            }
            case Mode::Append: {
                const int fd =
                    ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_APPEND, kOwnFileMode);
                if (fd < 0) throw Why("cannot write", path);
                return {this, fd};
            }
        }
        throw FileError("cannot open " + path, path, "bad mode");
    }

    int64_t Length(int fd, const std::string& path) override {
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0) throw Why("cannot read the length of", path);
        return static_cast<int64_t>(st.st_size);
    }

    size_t ReadAt(int fd, char* out, size_t n, int64_t at, const std::string& path) override {
        size_t got = 0;
        while (got < n) {
            const ssize_t r =
                ::pread(fd, out + got, n - got, static_cast<off_t>(at) + static_cast<off_t>(got));
            if (r < 0) {
                if (errno == EINTR) continue;
                throw Why("cannot read", path);
            }
            if (r == 0) break;
            got += static_cast<size_t>(r);
        }
        return got;
    }

    void WriteAt(int fd, std::string_view data, int64_t at, const std::string& path) override {
        const char* p = data.data();
        size_t n = data.size();
        auto pos = static_cast<off_t>(at);
        while (n > 0) {
            const ssize_t w = ::pwrite(fd, p, n, pos);
            if (w < 0) {
                if (errno == EINTR) continue;
                throw Why("cannot write", path);
            }
            p += w;
            n -= static_cast<size_t>(w);
            pos += w;
        }
    }

    void WriteNext(int fd, std::string_view data, const std::string& path) override {
        const char* p = data.data();
        size_t n = data.size();
        while (n > 0) {
            const ssize_t w = ::write(fd, p, n);
            if (w < 0) {
                if (errno == EINTR) continue;
                throw Why("cannot write", path);
            }
            p += w;
            n -= static_cast<size_t>(w);
        }
    }

    void Close(int fd, const std::string& path, const char* what) override {
        if (fd < 0) return;
        int err = 0;
        if (Replacing(fd)) {
            // What the old file held past the new text goes now.
            const off_t end = ::lseek(fd, 0, SEEK_CUR);
            struct stat st {};
            const bool cut =
                end >= 0 && ::fstat(fd, &st) == 0 &&
                (!S_ISREG(st.st_mode) || st.st_size <= end || ::ftruncate(fd, end) == 0);
            if (!cut) err = errno;
        }
        if (::close(fd) != 0 && err == 0) err = errno;
        if (err != 0) throw Why(what, path, err);
    }

    bool Exists(const std::string& path) override {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    }

    int64_t ExistingLength(const std::string& path) override {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) throw Why("cannot open", path);
        RequirePlainFile(st, path);
        return static_cast<int64_t>(st.st_size);
    }

    std::string ReadWhole(const std::string& path) override {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) throw Why("cannot open", path);
        std::string out;
        char buf[8192];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        const bool bad = std::ferror(f);
        std::fclose(f);
        if (bad) throw FileError("cannot read " + path, path, "cannot read");
        return out;
    }

    void Delete(const std::string& path) override {
        if (::unlink(path.c_str()) != 0) throw Why("cannot delete", path);
    }

    void Truncate(const std::string& path, int64_t length) override {
        if (::truncate(path.c_str(), static_cast<off_t>(length)) != 0)
            throw Why("cannot shorten", path);
    }

    std::optional<FileStamp> Stamp(const std::string& path) override {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
        return FileStamp{static_cast<uint64_t>(st.st_dev),
                         static_cast<uint64_t>(st.st_ino),
                         static_cast<int64_t>(st.st_size),
                         st.st_mtim.tv_sec,
                         st.st_mtim.tv_nsec,
                         st.st_ctim.tv_sec,
                         st.st_ctim.tv_nsec,
                         false};
    }

    uint64_t ModificationTime(const std::string& path) override {
        struct stat sb {};
        if (::stat(path.c_str(), &sb) != 0) return 0;
        return static_cast<uint64_t>(sb.st_mtim.tv_sec) * 1000000000u +
               static_cast<uint64_t>(sb.st_mtim.tv_nsec);
    }

    std::string WhyUnreadable(const std::string& path) override {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
        if (!S_ISREG(st.st_mode)) return "not a plain file";
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return std::strerror(errno);
        ::close(fd);
        return "";
    }

    bool CreateNew(const std::string& path, std::string_view data, bool own) override {
        // O_EXCL: an existing file, or a link of that name, is never written through.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                              own ? kOwnFileMode : kReceivedFileMode);
        if (fd < 0) {
            if (errno == EEXIST) return false;
            std::string reason = std::strerror(errno);
            throw FileError("Unable to create " + BareName(path) + " (" + reason + ")", path,
                            reason);
        }
        size_t done = 0;
        int err = 0;
        while (done < data.size()) {
            const ssize_t w = ::write(fd, data.data() + done, data.size() - done);
            if (w < 0) {
                if (errno == EINTR) continue;
                err = errno;
                break;
            }
            done += static_cast<size_t>(w);
        }
        if (::close(fd) != 0 && err == 0) err = errno;
        if (err != 0) {
            ::unlink(path.c_str());  // ours, and incomplete
            std::string reason = std::strerror(err);
            throw FileError("Unable to write " + BareName(path) + " (" + reason + ")", path,
                            reason);
        }
        return true;
    }

    std::vector<FolderEntry> Entries(const std::string& folder) override {
        std::vector<FolderEntry> entries;
        std::string dir = folder;
        if (!dir.empty() && dir.back() != '/') dir += '/';
        DIR* d = ::opendir(folder.c_str());
        if (!d) return entries;
        while (const dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            bool plain = e->d_type == DT_REG;
            if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
                struct stat st {};
                plain = ::stat((dir + name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
            }
            entries.push_back({std::move(name), plain});
        }
        ::closedir(d);
        return entries;
    }

  private:
    bool Replacing(int fd) {
        const std::lock_guard lock(replacingMutex_);
        return replacing_.erase(fd) > 0;
    }

    std::mutex replacingMutex_;
    std::unordered_set<int> replacing_;  // descriptors opened to replace a file

    static int OpenRecords(const std::string& path) {
        // The program's own record files are key and working files: its owner's alone.
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kOwnFileMode);
        // Opening a folder for writing fails by itself; only the read-only retry can open
        // one.
        bool readOnly = false;
        if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
            fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            readOnly = true;
        }
        if (fd < 0) throw Why("cannot open", path);
        struct stat st {};
        if (readOnly && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            ::close(fd);
            throw Why("cannot open", path, EISDIR);
        }
        return fd;
    }

    static int OpenExisting(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw Why("cannot open", path);
        struct stat st {};
        try {
            if (::fstat(fd, &st) != 0) throw Why("cannot open", path);
            RequirePlainFile(st, path);
        } catch (...) {
            ::close(fd);
            throw;
        }
        return fd;
    }
};

FileSystem* current = nullptr;

}  // namespace

FileSystem& DiskFiles() {
    static DiskFileSystem disk;
    return disk;
}

FileSystem& Files() {
    return current ? *current : DiskFiles();
}

UseFileSystem::UseFileSystem(FileSystem& fs) : before_(current) {
    current = &fs;
}

UseFileSystem::~UseFileSystem() {
    current = before_;
}

}  // namespace keyvane
