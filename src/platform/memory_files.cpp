#include "platform/memory_files.h"

#include <algorithm>
#include <utility>

namespace keyvane {

namespace {

std::vector<MemoryFolder*>& Mounted() {
    static std::vector<MemoryFolder*> mounted;
    return mounted;
}

uint64_t NextId() {
    static uint64_t id = 0;
    return ++id;
}

}  // namespace

void MemoryFile::Changed() {
    version = ++folder->changes_;
}

MemoryFolder::MemoryFolder(std::string folder) : path_(std::move(folder)) {
    Mounted().push_back(this);
}

MemoryFolder::~MemoryFolder() {
    auto& m = Mounted();
    m.erase(std::remove(m.begin(), m.end(), this), m.end());
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
            ++changes_;
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
    ++changes_;
    return true;
}

std::vector<std::string> MemoryFolder::Names() const {
    std::vector<std::string> names;
    for (const auto& entry : files_) names.push_back(entry.first);
    return names;
}

MemoryPath InMemory(const std::string& path) {
    const auto& mounted = Mounted();
    if (mounted.empty()) return {};
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size()) return {};
    MemoryFolder* m = MountedAt(std::string_view(path.data(), slash + 1));
    return m ? MemoryPath{m, std::string_view(path).substr(slash + 1)} : MemoryPath{};
}

MemoryFolder* MountedAt(std::string_view folder) {
    for (MemoryFolder* m : Mounted())
        if (m->Path() == folder) return m;
    return nullptr;
}

}  // namespace keyvane
