#include "support/memory_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/file_system.h"

namespace keyvane {

namespace {

// Shared by every folder, so a count or a stamp never repeats across folders.
uint64_t NextTick() {
    static uint64_t tick = 0;
    return ++tick;
}

uint64_t NextId() {
    static uint64_t id = 0;
    return ++id;
}

FileError Why(const std::string& what, const std::string& path, int err) {
    std::string reason = std::strerror(err);
    return FileError(what + " " + path + ": " + reason, path, reason);
}

void WriteAt(MemoryFile& f, std::string_view data, size_t at) {
    if (f.data.size() < at + data.size()) f.data.resize(at + data.size(), '\0');
    f.data.replace(at, data.size(), data);
    f.Changed();
}

// Paths directly in a mounted folder; everything else goes to the file system it was put
// over.
class MemoryFileSystem final : public FileSystem {
  public:
    void Mount(MemoryFolder* folder) {
        if (mounted_.empty()) {
            under_ = &Files();
            use_.emplace(*this);
        }
        mounted_.push_back(folder);
    }

    void Unmount(MemoryFolder* folder) {
        mounted_.erase(std::remove(mounted_.begin(), mounted_.end(), folder), mounted_.end());
        if (mounted_.empty()) use_.reset();
    }

    OpenFile Open(const std::string& path, Mode how) override {
        const auto [folder, name] = Find(path);
        if (!folder) return under_->Open(path, how);
        std::shared_ptr<MemoryFile> f = how == Mode::ReadExisting
                                            ? FindOrThrow(folder, name, "cannot open", path)
                                            : folder->Open(name, how == Mode::Replace);
        auto slot = std::find(open_.begin(), open_.end(), nullptr);
        if (slot == open_.end()) slot = open_.insert(open_.end(), nullptr);
        *slot = std::move(f);
        return {this, static_cast<int>(slot - open_.begin())};
    }

    int64_t Length(int handle, const std::string&) override {
        return static_cast<int64_t>(File(handle).data.size());
    }

    size_t ReadAt(int handle, char* out, size_t n, int64_t at, const std::string&) override {
        const std::string& data = File(handle).data;
        const auto from = static_cast<size_t>(at);
        if (from >= data.size()) return 0;
        return data.copy(out, n, from);
    }

    void WriteAt(int handle, std::string_view data, int64_t at, const std::string&) override {
        keyvane::WriteAt(File(handle), data, static_cast<size_t>(at));
    }

    void WriteNext(int handle, std::string_view data, const std::string&) override {
        MemoryFile& f = File(handle);
        keyvane::WriteAt(f, data, f.data.size());
    }

    void Close(int handle, const std::string&, const char*) override {
        open_.at(static_cast<size_t>(handle)).reset();
    }

    bool Exists(const std::string& path) override {
        const auto [folder, name] = Find(path);
        return folder ? folder->Find(name) != nullptr : under_->Exists(path);
    }

    int64_t ExistingLength(const std::string& path) override {
        const auto [folder, name] = Find(path);
        if (!folder) return under_->ExistingLength(path);
        return static_cast<int64_t>(FindOrThrow(folder, name, "cannot open", path)->data.size());
    }

    std::string ReadWhole(const std::string& path) override {
        const auto [folder, name] = Find(path);
        if (!folder) return under_->ReadWhole(path);
        return FindOrThrow(folder, name, "cannot open", path)->data;
    }

    void Delete(const std::string& path) override {
        const auto [folder, name] = Find(path);
        if (!folder) return under_->Delete(path);
        FindOrThrow(folder, name, "cannot delete", path);
        folder->Remove(name);
    }

    void Truncate(const std::string& path, int64_t length) override {
        const auto [folder, name] = Find(path);
        if (!folder) return under_->Truncate(path, length);
        const auto f = FindOrThrow(folder, name, "cannot shorten", path);
        f->data.resize(static_cast<size_t>(length), '\0');
        f->Changed();
    }

    std::optional<FileStamp> Stamp(const std::string& path) override {
        const auto [folder, name] = Find(path);
        if (!folder) return under_->Stamp(path);
        const auto f = folder->Find(name);
        if (!f) return std::nullopt;
        FileStamp s;
        s.ino = f->id;
        s.size = static_cast<int64_t>(f->data.size());
        s.mtimeNsec = s.ctimeNsec = static_cast<int64_t>(f->version);
        s.exact = true;
        return s;
    }

    uint64_t ModificationTime(const std::string& path) override {
        const auto [folder, name] = Find(path);
        if (!folder) return under_->ModificationTime(path);
        const auto f = folder->Find(name);
        return f ? f->version : 0;
    }

    std::string WhyUnreadable(const std::string& path) override {
        const auto [folder, name] = Find(path);
        if (!folder) return under_->WhyUnreadable(path);
        return folder->Find(name) ? "" : std::strerror(ENOENT);
    }

    bool CreateNew(const std::string& path, std::string_view data, bool own) override {
        const auto [folder, name] = Find(path);
        if (!folder) return under_->CreateNew(path, data, own);
        if (folder->Find(name)) return false;
        keyvane::WriteAt(*folder->Open(name, false), data, 0);
        return true;
    }

    std::vector<FolderEntry> Entries(const std::string& path) override {
        std::string dir = path;
        if (!dir.empty() && dir.back() != '/') dir += '/';
        const MemoryFolder* folder = MountedAt(dir);
        if (!folder) return under_->Entries(path);
        std::vector<FolderEntry> entries;
        for (std::string& name : folder->Names()) entries.push_back({std::move(name), true});
        return entries;
    }

    std::optional<uint64_t> ChangeCount(const std::string& path) override {
        const MemoryFolder* folder = MountedAt(path);
        if (!folder) return under_->ChangeCount(path);
        return folder->Changes();
    }

  private:
    struct Place {
        MemoryFolder* folder = nullptr;
        std::string_view name;
    };

    // The mounted folder that `path` lies directly in, with the file's name.
    Place Find(const std::string& path) const {
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash + 1 == path.size()) return {};
        MemoryFolder* m = MountedAt(std::string_view(path.data(), slash + 1));
        return m ? Place{m, std::string_view(path).substr(slash + 1)} : Place{};
    }

    MemoryFolder* MountedAt(std::string_view folder) const {
        for (MemoryFolder* m : mounted_)
            if (m->Path() == folder) return m;
        return nullptr;
    }

    // One missing is reported as the system reports one on disk.
    static std::shared_ptr<MemoryFile> FindOrThrow(MemoryFolder* folder, std::string_view name,
                                                   const std::string& what,
                                                   const std::string& path) {
        auto f = folder->Find(name);
        if (!f) throw Why(what, path, ENOENT);
        return f;
    }

    MemoryFile& File(int handle) { return *open_.at(static_cast<size_t>(handle)); }

    std::vector<MemoryFolder*> mounted_;
    std::vector<std::shared_ptr<MemoryFile>> open_;  // by handle; null when free
    FileSystem* under_ = nullptr;
    std::optional<UseFileSystem> use_;
};

MemoryFileSystem& Memory() {
    static MemoryFileSystem memory;
    return memory;
}

}  // namespace

void MemoryFile::Changed() {
    folder->Change();
    version = folder->changes_;
}

MemoryFolder::MemoryFolder(std::string folder) : path_(std::move(folder)) {
    Change();
    Memory().Mount(this);
}

MemoryFolder::~MemoryFolder() {
    Memory().Unmount(this);
}

void MemoryFolder::Change() {
    changes_ = NextTick();
}

MemoryFolder::Contents MemoryFolder::Snapshot() const {
    Contents out;
    for (const auto& [name, file] : files_) out.emplace(name, file->data);
    return out;
}

void MemoryFolder::Restore(const Contents& contents) {
    for (auto it = files_.begin(); it != files_.end();) {
        if (contents.count(it->first) == 0) {
            it = files_.erase(it);
            Change();
        } else {
            ++it;
        }
    }
    for (const auto& [name, data] : contents) {
        auto it = files_.find(name);
        if (it != files_.end() && it->second->data == data) continue;
        const std::shared_ptr<MemoryFile> f = Open(name, false);
        f->data = data;
        f->Changed();
    }
}

std::shared_ptr<MemoryFile> MemoryFolder::Find(std::string_view name) const {
    auto it = files_.find(name);
    return it == files_.end() ? nullptr : it->second;
}

std::shared_ptr<MemoryFile> MemoryFolder::Open(std::string_view name, bool empty) {
    auto it = files_.find(name);
    if (it == files_.end()) {
        auto f = std::make_shared<MemoryFile>();
        f->id = NextId();
        f->folder = this;
        f->Changed();
        files_.emplace(std::string(name), f);
        return f;
    }
    if (empty && !it->second->data.empty()) {
        it->second->data.clear();
        it->second->Changed();
    }
    return it->second;
}

bool MemoryFolder::Remove(std::string_view name) {
    auto it = files_.find(name);
    if (it == files_.end()) return false;
    files_.erase(it);
    Change();
    return true;
}

std::vector<std::string> MemoryFolder::Names() const {
    std::vector<std::string> names;
    for (const auto& entry : files_) names.push_back(entry.first);
    return names;
}

}  // namespace keyvane
