#include "platform/files.h"

#include <utility>

#include "platform/file_system.h"

namespace keyvane {

namespace {

FileError BadRecord(const std::string& path) {
    return FileError("bad record number in " + path, path, "bad record number");
}

// Text files gather their writes up to this much before they go to the file.
constexpr size_t kTextBuffer = 8192;

}  // namespace

RecordFile::RecordFile(const std::string& path, size_t recordLength)
    : path_(path), length_(recordLength == 0 ? 1 : recordLength) {
    const OpenFile f = Files().Open(path, FileSystem::Mode::Records);
    fs_ = f.fs;
    handle_ = f.handle;
}

RecordFile RecordFile::OpenForReading(const std::string& path, size_t recordLength) {
    RecordFile f;
    f.path_ = path;
    f.length_ = recordLength == 0 ? 1 : recordLength;
    const OpenFile open = Files().Open(path, FileSystem::Mode::ReadExisting);
    f.fs_ = open.fs;
    f.handle_ = open.handle;
    return f;
}

RecordFile::~RecordFile() {
    try {
        Close();
    } catch (const FileError&) {
        // Nobody to tell: a caller who cares closes first.
    }
}

RecordFile::RecordFile(RecordFile&& other) noexcept
    : path_(std::move(other.path_)),
      length_(other.length_),
      fs_(other.fs_),
      handle_(other.handle_) {
    other.fs_ = nullptr;
    other.handle_ = -1;
}

RecordFile& RecordFile::operator=(RecordFile&& other) noexcept {
    if (this != &other) {
        try {
            Close();
        } catch (const FileError&) {
        }
        path_ = std::move(other.path_);
        length_ = other.length_;
        fs_ = other.fs_;
        handle_ = other.handle_;
        other.fs_ = nullptr;
        other.handle_ = -1;
    }
    return *this;
}

int64_t RecordFile::Length() const {
    if (!fs_) throw FileError("file closed: " + path_, path_, "file closed");
    return fs_->Length(handle_, path_);
}

std::string RecordFile::Read(int64_t r) const {
    if (r < 1) throw BadRecord(path_);
    if (!fs_) throw FileError("file closed: " + path_, path_, "file closed");
    std::string out(length_, '\0');
    const int64_t at = (r - 1) * static_cast<int64_t>(length_);
    out.resize(fs_->ReadAt(handle_, out.data(), length_, at, path_));
    return out;
}

void RecordFile::Write(int64_t r, std::string_view data) {
    if (r < 1) throw BadRecord(path_);
    std::string rec(data.substr(0, length_));
    rec.resize(length_, ' ');
    WriteRaw(r, rec);
}

void RecordFile::WriteRaw(int64_t r, std::string_view data) {
    if (r < 1) throw BadRecord(path_);
    if (!fs_) throw FileError("file closed: " + path_, path_, "file closed");
    fs_->WriteAt(handle_, data, (r - 1) * static_cast<int64_t>(length_), path_);
}

void RecordFile::Close() {
    if (!fs_) return;
    FileSystem* fs = fs_;
    fs_ = nullptr;
    fs->Close(std::exchange(handle_, -1), path_, "cannot close");
}

int64_t ProbeLength(const std::string& path) {
    RecordFile f(path, 1);
    const int64_t n = f.Length();
    f.Close();
    return n;
}

int64_t ExistingFileLength(const std::string& path) {
    return Files().ExistingLength(path);
}

bool FileExists(const std::string& path) {
    return Files().Exists(path);
}

std::string ReadWholeFile(const std::string& path) {
    return Files().ReadWhole(path);
}

TextWriter::TextWriter(const std::string& path, Mode mode) : path_(path) {
    const OpenFile f = Files().Open(
        path, mode == Mode::Append ? FileSystem::Mode::Append : FileSystem::Mode::Replace);
    fs_ = f.fs;
    handle_ = f.handle;
}

TextWriter::~TextWriter() {
    try {
        Close();
    } catch (const FileError&) {
        // Nobody to tell: a caller who cares closes first.
    }
}

void TextWriter::Write(std::string_view text) {
    if (!fs_) throw FileError("file closed: " + path_, path_, "file closed");
    if (buffer_.size() + text.size() <= kTextBuffer) {
        if (buffer_.capacity() < kTextBuffer) buffer_.reserve(kTextBuffer);
        buffer_ += text;
        return;
    }
    Flush();
    if (text.size() >= kTextBuffer)
        fs_->WriteNext(handle_, text, path_);
    else
        buffer_ += text;
}

void TextWriter::WriteLine(std::string_view text) {
    Write(text);
    Write("\r\n");
}

void TextWriter::Flush() {
    if (buffer_.empty()) return;
    try {
        fs_->WriteNext(handle_, buffer_, path_);
    } catch (const FileError&) {
        buffer_.clear();  // not tried again at Close
        throw;
    }
    buffer_.clear();
}

void TextWriter::Close() {
    if (!fs_) return;
    FileSystem* fs = fs_;
    try {
        Flush();
    } catch (const FileError&) {
        fs_ = nullptr;
        try {
            fs->Close(std::exchange(handle_, -1), path_, "cannot write");
        } catch (const FileError&) {
        }
        throw;
    }
    fs_ = nullptr;
    fs->Close(std::exchange(handle_, -1), path_, "cannot write");
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
    Files().Delete(path);
}

std::optional<FileStamp> StampOfPlainFile(const std::string& path) {
    return Files().Stamp(path);
}

uint64_t ModificationStamp(const std::string& path) {
    return Files().ModificationTime(path);
}

void TruncateFile(const std::string& path, int64_t length) {
    Files().Truncate(path, length);
}

std::string WhyUnreadable(const std::string& path) {
    return Files().WhyUnreadable(path);
}

bool WriteNewFile(const std::string& path, std::string_view data) {
    return Files().CreateNew(path, data, true);
}

bool CreateReceivedFile(const std::string& path) {
    return Files().CreateNew(path, {}, false);
}

}  // namespace keyvane
