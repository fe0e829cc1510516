#include "transfer/BlockFiles.h"

#include <algorithm>
#include <utility>

#include "transfer/TransferRules.h"

namespace keyvane {

BlockReader::BlockReader(const std::string& path, size_t recordLength)
    : file_(RecordFile::OpenForReading(path, recordLength * kBlocks)),
      length_(recordLength == 0 ? 1 : recordLength) {}

std::string BlockReader::Read(int64_t r) {
    if (r < 1) throw FileError("bad record number in " + file_.Path());
    const int64_t window = (r - 1) / kBlocks + 1;
    if (window != window_) {
        window_ = 0;  // a failed read holds nothing
        held_ = file_.Read(window);
        window_ = window;
    }
    const size_t at = static_cast<size_t>((r - 1) % kBlocks) * length_;
    return at < held_.size() ? held_.substr(at, length_) : std::string();
}

BlockWriter::BlockWriter(const std::string& path, size_t recordLength)
    : file_(path, recordLength), length_(file_.RecordLength()) {}

BlockWriter::BlockWriter(BlockWriter&& other) noexcept
    : file_(std::move(other.file_)),
      length_(other.length_),
      first_(other.first_),
      held_(std::move(other.held_)) {
    other.held_.clear();
}

BlockWriter::~BlockWriter() {
    try {
        Flush();
    } catch (const FileError&) {
        // The receive has ended already; its status line says how.
    }
}

void BlockWriter::Write(int64_t r, std::string_view data) {
    if (r < 1) throw FileError("bad record number in " + file_.Path());
    if (!held_.empty() && r != first_ + static_cast<int64_t>(held_.size() / length_)) Flush();
    if (held_.empty()) {
        first_ = r;
        held_.reserve(length_ * kBlocks);
    }
    const std::string_view rec = data.substr(0, length_);
    held_.append(rec);
    held_.append(length_ - rec.size(), ' ');
    if (held_.size() >= length_ * kBlocks) Flush();
}

void BlockWriter::WriteRaw(int64_t r, std::string_view data) {
    Flush();
    file_.WriteRaw(r, data);
}

void BlockWriter::Close() {
    Flush();
    file_.Close();
}

void BlockWriter::Flush() {
    if (held_.empty() || !file_.IsOpen()) return;
    // Written or not, it is no longer held: a failed write is not tried again.
    try {
        file_.WriteRaw(first_, held_);
    } catch (...) {
        held_.clear();
        throw;
    }
    held_.clear();
}

void StepHasher::Start(const std::string& path, int64_t records, Sha256& hash,
                       std::function<void(const std::string& error)> done) {
    Stop();
    hash_ = &hash;
    next_ = 1;
    last_ = records;
    done_ = std::move(done);
    try {
        reader_.emplace(path, static_cast<size_t>(kBlockSize));
    } catch (const FileError& e) {
        Finish(e.Reason());
        return;
    }
    Step();
}

void StepHasher::Stop() {
    timer_.Stop();
    reader_.reset();
    done_ = nullptr;
}

void StepHasher::Step() {
    for (;;) {
        try {
            for (const int64_t end = std::min(last_, next_ + kStepBlocks - 1); next_ <= end;
                 ++next_) {
                const std::string got = reader_->Read(next_);
                if (got.size() < static_cast<size_t>(kBlockSize))
                    throw FileError("the file became shorter while it was being read");
                hash_->Update(got);
            }
        } catch (const FileError& e) {
            Finish(e.Reason());
            return;
        }
        if (next_ > last_) {
            Finish("");
            return;
        }
        if (timer_.Start(0, [this] { Step(); })) return;
    }
}

void StepHasher::Finish(const std::string& error) {
    auto done = std::move(done_);
    Stop();
    done(error);  // may start another run
}

}  // namespace keyvane
