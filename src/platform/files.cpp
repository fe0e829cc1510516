#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/memory_files.h"

namespace keyvane {

namespace {

// Key files, working files, settings and received keys: nobody else's business. Received
// files (CreateReceivedFile) follow the user's umask as any download does.
constexpr mode_t kOwnFileMode = 0600;

// "cannot open /a/b: No such file or directory", with the path and the reason apart.
FileError Why(const std::string& what, const std::string& path) {
    std::string reason = std::strerror(errno);
    return FileError(what + " " + path + ": " + reason, path, reason);
}

void WriteAll(int fd, const char* p, size_t n, off_t at, const std::string& path) {
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, p, n, at);
        if (w < 0) {
            if (errno == EINTR) continue;
            throw Why("cannot write", path);
        }
        p += w;
        n -= static_cast<size_t>(w);
        at += w;
    }
}

// A file of a memory folder; one missing is reported as the system reports one on disk.
std::shared_ptr<MemoryFile> FindOrThrow(const MemoryPath& m, const std::string& what,
                                        const std::string& path) {
    auto f = m.folder->Find(m.name);
    if (f) return f;
    errno = ENOENT;
    throw Why(what, path);
}

void WriteAt(MemoryFile& f, std::string_view data, size_t at) {
    if (f.data.size() < at + data.size()) f.data.resize(at + data.size(), '\0');
    f.data.replace(at, data.size(), data);
    f.Changed();
}

// Files we send must be plain files; a folder or a device is refused as such.
void RequirePlainFile(const struct stat& st, const std::string& path) {
    if (S_ISREG(st.st_mode)) return;
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    throw Why("cannot open", path);
}

}  // namespace

RecordFile::RecordFile(const std::string& path, size_t recordLength)
    : path_(path), length_(recordLength == 0 ? 1 : recordLength) {
    if (MemoryPath m = InMemory(path)) {
        mem_ = m.folder->Open(m.name, false);
        return;
    }
    // The program's own record files are key and working files: its owner's alone.
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kOwnFileMode);
    // Opening a folder for writing fails by itself; only the read-only retry can open one.
    bool readOnly = false;
    if (fd_ < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        readOnly = true;
    }
    if (fd_ < 0) throw Why("cannot open", path);
    struct stat st {};
    if (readOnly && ::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        errno = EISDIR;
        throw Why("cannot open", path);
    }
}

RecordFile RecordFile::OpenForReading(const std::string& path, size_t recordLength) {
    RecordFile f;
    f.path_ = path;
    f.length_ = recordLength == 0 ? 1 : recordLength;
    if (MemoryPath m = InMemory(path)) {
        f.mem_ = FindOrThrow(m, "cannot open", path);
        return f;
    }
    f.fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (f.fd_ < 0) throw Why("cannot open", path);
    struct stat st {};
    if (::fstat(f.fd_, &st) != 0) throw Why("cannot open", path);
    RequirePlainFile(st, path);
    return f;
}

RecordFile::~RecordFile() {
    if (fd_ >= 0) ::close(fd_);
}

RecordFile::RecordFile(RecordFile&& other) noexcept
    : path_(std::move(other.path_)),
      length_(other.length_),
      fd_(other.fd_),
      mem_(std::move(other.mem_)) {
    other.fd_ = -1;
}

RecordFile& RecordFile::operator=(RecordFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        path_ = std::move(other.path_);
        length_ = other.length_;
        fd_ = other.fd_;
        other.fd_ = -1;
        mem_ = std::move(other.mem_);
    }
    return *this;
}

int64_t RecordFile::Length() const {
    if (mem_) return static_cast<int64_t>(mem_->data.size());
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) throw Why("cannot read the length of", path_);
    return static_cast<int64_t>(st.st_size);
}

std::string RecordFile::Read(int64_t r) const {
    if (r < 1) throw FileError("bad record number in " + path_, path_, "bad record number");
    if (mem_) {
        const auto at = static_cast<uint64_t>(r - 1) * length_;
        return at < mem_->data.size() ? mem_->data.substr(at, length_) : std::string();
    }
    std::string out(length_, '\0');
    size_t got = 0;
    const off_t at = static_cast<off_t>((r - 1) * static_cast<int64_t>(length_));
    while (got < length_) {
        const ssize_t n =
            ::pread(fd_, out.data() + got, length_ - got, at + static_cast<off_t>(got));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Why("cannot read", path_);
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    out.resize(got);
    return out;
}

void RecordFile::Write(int64_t r, std::string_view data) {
    if (r < 1) throw FileError("bad record number in " + path_, path_, "bad record number");
    std::string rec(data.substr(0, length_));
    rec.resize(length_, ' ');
    if (mem_) return WriteAt(*mem_, rec, static_cast<size_t>(r - 1) * length_);
    WriteAll(fd_, rec.data(), rec.size(),
             static_cast<off_t>((r - 1) * static_cast<int64_t>(length_)), path_);
}

void RecordFile::WriteRaw(int64_t r, std::string_view data) {
    if (r < 1) throw FileError("bad record number in " + path_, path_, "bad record number");
    if (mem_) return WriteAt(*mem_, data, static_cast<size_t>(r - 1) * length_);
    WriteAll(fd_, data.data(), data.size(),
             static_cast<off_t>((r - 1) * static_cast<int64_t>(length_)), path_);
}

void RecordFile::Close() {
    mem_.reset();
    if (fd_ >= 0) {
        const int rc = ::close(fd_);
        fd_ = -1;
        if (rc != 0) throw Why("cannot close", path_);
    }
}

int64_t ProbeLength(const std::string& path) {
    RecordFile f(path, 1);
    const int64_t n = f.Length();
    f.Close();
    return n;
}

int64_t ExistingFileLength(const std::string& path) {
    if (MemoryPath m = InMemory(path))
        return static_cast<int64_t>(FindOrThrow(m, "cannot open", path)->data.size());
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw Why("cannot open", path);
    RequirePlainFile(st, path);
    return static_cast<int64_t>(st.st_size);
}

bool FileExists(const std::string& path) {
    if (MemoryPath m = InMemory(path)) return m.folder->Find(m.name) != nullptr;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string ReadWholeFile(const std::string& path) {
    if (MemoryPath m = InMemory(path)) return FindOrThrow(m, "cannot open", path)->data;
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

TextWriter::TextWriter(const std::string& path, Mode mode) : path_(path) {
    if (MemoryPath m = InMemory(path)) {
        mem_ = m.folder->Open(m.name, mode == Mode::Replace);
        return;
    }
    const bool append = mode == Mode::Append;
    const int fd = ::open(
        path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), kOwnFileMode);
    if (fd < 0) throw Why("cannot write", path);
    f_ = ::fdopen(fd, append ? "ab" : "wb");
    if (!f_) {
        const int err = errno;
        ::close(fd);
        errno = err;
        throw Why("cannot write", path);
    }
}

TextWriter::~TextWriter() {
    if (f_) std::fclose(f_);
}

void TextWriter::Write(std::string_view text) {
    if (mem_) return WriteAt(*mem_, text, mem_->data.size());
    if (!f_) throw FileError("file closed: " + path_, path_, "file closed");
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), f_) != text.size())
        throw Why("cannot write", path_);
}

void TextWriter::WriteLine(std::string_view text) {
    Write(text);
    Write("\r\n");
}

void TextWriter::Close() {
    mem_.reset();
    if (!f_) return;
    const bool bad = std::fflush(f_) != 0 || std::ferror(f_);
    const bool closeBad = std::fclose(f_) != 0;
    f_ = nullptr;
    if (bad || closeBad) throw Why("cannot write", path_);
}

void WriteTextLines(const std::string& path, const std::vector<std::string>& lines) {
    TextWriter w(path);
    for (const auto& l : lines) w.WriteLine(l);
    w.Close();
}

ItemReader ItemReader::FromFile(const std::string& path) {
    return ItemReader(ReadWholeFile(path));
}

void ItemReader::SkipBlanks() {
    while (pos_ < data_.size() && (data_[pos_] == ' ' || data_[pos_] == '\t')) ++pos_;
}

// Moves past what ends an item: a comma or one line end (CR LF, CR or LF).
void ItemReader::SkipDelimiter() {
    SkipBlanks();
    if (pos_ >= data_.size()) return;
    if (data_[pos_] == ',' || data_[pos_] == '\n') {
        ++pos_;
    } else if (data_[pos_] == '\r') {
        ++pos_;
        if (pos_ < data_.size() && data_[pos_] == '\n') ++pos_;
    }
}

std::string ItemReader::NextItem() {
    // Blanks before the end of the file are no item.
    SkipBlanks();
    if (AtEnd()) throw EndOfFileError("input past end of file");
    std::string item;
    if (pos_ < data_.size() && data_[pos_] == '"') {
        const size_t close = data_.find('"', pos_ + 1);
        const size_t end = close == std::string::npos ? data_.size() : close;
        item = data_.substr(pos_ + 1, end - pos_ - 1);
        pos_ = close == std::string::npos ? data_.size() : close + 1;
        // Whatever follows the closing quote up to the delimiter is not part of the item.
        while (pos_ < data_.size() && data_[pos_] != ',' && data_[pos_] != '\r' &&
               data_[pos_] != '\n')
            ++pos_;
        SkipDelimiter();
        return item;
    }
    while (pos_ < data_.size() && data_[pos_] != ',' && data_[pos_] != '\r' && data_[pos_] != '\n')
        item += data_[pos_++];
    SkipDelimiter();
    return item;
}

std::string ItemReader::NextNumberItem() {
    SkipBlanks();
    if (AtEnd()) throw EndOfFileError("input past end of file");
    if (data_[pos_] == '"') return NextItem();
    std::string item;
    while (pos_ < data_.size() && data_[pos_] != ',' && data_[pos_] != '\r' &&
           data_[pos_] != '\n' && data_[pos_] != ' ' && data_[pos_] != '\t')
        item += data_[pos_++];
    SkipDelimiter();
    return item;
}

std::string ReadFirstLine(const std::string& path) {
    const std::string all = ReadWholeFile(path);
    const size_t end = all.find_first_of("\r\n");
    return end == std::string::npos ? all : all.substr(0, end);
}

void CopyFileReplacing(const std::string& from, const std::string& to) {
    const std::string content = ReadWholeFile(from);
    TextWriter w(to);
    w.Write(content);
    w.Close();
}

void DeleteFileOrThrow(const std::string& path) {
    if (MemoryPath m = InMemory(path)) {
        FindOrThrow(m, "cannot delete", path);
        m.folder->Remove(m.name);
        return;
    }
    if (::unlink(path.c_str()) != 0) throw Why("cannot delete", path);
}

std::optional<FileStamp> StampOfPlainFile(const std::string& path) {
    if (MemoryPath m = InMemory(path)) {
        const auto f = m.folder->Find(m.name);
        if (!f) return std::nullopt;
        FileStamp s;
        s.ino = f->id;
        s.size = static_cast<int64_t>(f->data.size());
        s.mtimeNsec = s.ctimeNsec = static_cast<int64_t>(f->version);
        s.exact = true;
        return s;
    }
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

uint64_t ModificationStamp(const std::string& path) {
    if (MemoryPath m = InMemory(path)) {
        const auto f = m.folder->Find(m.name);
        return f ? f->version : 0;
    }
    struct stat sb {};
    if (::stat(path.c_str(), &sb) != 0) return 0;
    return static_cast<uint64_t>(sb.st_mtim.tv_sec) * 1000000000u +
           static_cast<uint64_t>(sb.st_mtim.tv_nsec);
}

void TruncateFile(const std::string& path, int64_t length) {
    if (MemoryPath m = InMemory(path)) {
        const auto f = FindOrThrow(m, "cannot shorten", path);
        f->data.resize(static_cast<size_t>(length), '\0');
        f->Changed();
        return;
    }
    if (::truncate(path.c_str(), static_cast<off_t>(length)) != 0)
        throw Why("cannot shorten", path);
}

namespace {

std::string BareName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string WhyUnreadable(const std::string& path) {
    if (MemoryPath m = InMemory(path)) return m.folder->Find(m.name) ? "" : std::strerror(ENOENT);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return "not a plain file";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    return "";
}

namespace {

bool CreateNew(const std::string& path, std::string_view data, mode_t mode) {
    if (MemoryPath m = InMemory(path)) {
        if (m.folder->Find(m.name)) return false;
        WriteAt(*m.folder->Open(m.name, false), data, 0);
        return true;
    }
    // O_EXCL: an existing file, or a link of that name, is never written through.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        if (errno == EEXIST) return false;
        std::string reason = std::strerror(errno);
        throw FileError("Unable to create " + BareName(path) + " (" + reason + ")", path, reason);
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
        throw FileError("Unable to write " + BareName(path) + " (" + reason + ")", path, reason);
    }
    return true;
}

}  // namespace

bool WriteNewFile(const std::string& path, std::string_view data) {
    return CreateNew(path, data, kOwnFileMode);
}

bool CreateReceivedFile(const std::string& path) {
    return CreateNew(path, {}, 0644);
}

}  // namespace keyvane
