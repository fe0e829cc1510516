#include "sysfiles/SystemFolders.h"

#include <cstdlib>

#include "platform/files.h"
#include "platform/folders.h"

namespace keyvane {

const std::vector<VersionRow>& VersionTable() {
    static const std::vector<VersionRow> table = {
        {1,
         "c:\\veltra\\system\\",
         {"cdbook.dat", "colors.dat", "log.dat", "pass.dat", "syspref.dat"}},
        {2, "", {"cdbook.dat", "colors.dat", "log.dat", "pass.dat", "syspref.dat"}},
        {3, "c:\\veltra\\email99\\system\\", {"confirm.dat", "log.dat", "pop3.prt", "smtp.prt"}},
        {4, "c:\\veltra\\chat\\system\\", {}},
        {5, "c:\\veltra\\chat\\system\\", {}},
    };
    return table;
}

namespace {

std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace

std::string WineDrivePath(std::string_view windowsPath, std::string_view winePrefix,
                          std::string_view home) {
    std::string prefix(winePrefix);
    if (prefix.empty()) {
        prefix = home;
        while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
        prefix += "/.wine";
    }
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    std::string_view rest = windowsPath;
    std::string out = prefix;
    if (rest.size() >= 2 && rest[1] == ':') {
        const char drive = LowerAscii(rest.substr(0, 1))[0];
        out += drive == 'c' ? std::string("/drive_c") : std::string("/dosdevices/") + drive + ":";
        rest.remove_prefix(2);
    }
    out += '/';
    while (!rest.empty() && (rest.front() == '\\' || rest.front() == '/')) rest.remove_prefix(1);
    for (char c : rest) out += c == '\\' ? '/' : c;
    return out;
}

std::string ResolveNoCase(const std::string& base, std::string_view rest) {
    std::string path = base;
    if (!path.empty() && path.back() != '/') path += '/';
    size_t pos = 0;
    while (pos < rest.size()) {
        size_t end = rest.find('/', pos);
        if (end == std::string_view::npos) end = rest.size();
        const std::string name(rest.substr(pos, end - pos));
        pos = end + 1;
        if (name.empty()) continue;
        std::string found = name;
        if (!FileExists(path + name) && !IsFolder(path + name)) {
            const std::string want = LowerAscii(name);
            for (const FolderEntry& e : FolderEntries(path)) {
                if (LowerAscii(e.name) == want) {
                    found = e.name;
                    break;
                }
            }
        }
        path += found;
        if (end < rest.size()) path += '/';
    }
    return path;
}

std::string ProductFolder(int row, const std::string& productPath) {
#ifdef _WIN32
    if (row == 2) return productPath + "system\\";
    for (const VersionRow& r : VersionTable())
        if (r.row == row) return std::string(r.folder);
    return "";
#else
    if (row == 2) return ResolveNoCase(productPath, "system/");
    for (const VersionRow& r : VersionTable()) {
        if (r.row != row) continue;
        const char* prefix = std::getenv("WINEPREFIX");
        const std::string drive =
            WineDrivePath(r.folder.substr(0, 3), prefix ? prefix : "", HomeFolder());
        std::string rest;
        for (char c : r.folder.substr(3)) rest += c == '\\' ? '/' : c;
        return ResolveNoCase(drive, rest);
    }
    return "";
#endif
}

std::vector<std::string> ListPlainFiles(const std::string& folder) {
    std::vector<std::string> names;
    std::string dir = folder;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    for (FolderEntry& e : FolderEntries(folder)) {
        if (e.name[0] == '.') continue;  // hidden
        if (e.plain && !DosHiddenOrSystem(dir + e.name)) names.push_back(std::move(e.name));
    }
    return names;
}

std::vector<std::string> EligibleNames(const std::vector<std::string>& names,
                                       const std::vector<std::string_view>& notSent) {
    std::vector<std::string> out;
    for (const std::string& n : names) {
        const std::string lower = LowerAscii(n);
        bool excluded = false;
        for (std::string_view x : notSent) excluded = excluded || lower == x;
        if (!excluded) out.push_back(n);
    }
    return out;
}

}  // namespace keyvane
