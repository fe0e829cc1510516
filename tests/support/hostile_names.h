// Names a hostile peer may announce for a file, each with the name the file must get in
// the receive folder when nothing there has it yet: never outside the folder, never a
// name some system treats as a device or cannot hold.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "transfer/TransferRules.h"

namespace keyvane::test {

struct HostileName {
    std::string sent, kept;
};

inline const std::vector<HostileName>& HostileNames() {
    static const std::vector<HostileName> names = {
        // Paths up, absolute, with drives and shares, either separator.
        {"../../x", "x"},
        {"/etc/x", "x"},
        {"C:\\x", "x"},
        {"a\\b", "b"},
        {"../canary.txt", "canary.txt"},
        {"..\\..\\Windows\\win.ini", "win.ini"},
        {"C:\\Windows\\win.ini", "win.ini"},
        {"\\\\server\\share\\unc.txt", "unc.txt"},
        {"C:x.txt", "C_x.txt"},
        // Nothing left of a name.
        {"dir/", kFallbackName},
        {"", kFallbackName},
        {".", kFallbackName},
        {"..", kFallbackName},
        {"...", kFallbackName},
        // Bytes no file name may hold, and trailing dots and blanks.
        {std::string("a\0b", 3), "a_b"},
        {std::string("nul\0byte.txt", 12), "nul_byte.txt"},
        {"a\rb\nc", "a_b_c"},
        {"\x1b[31mred", "_[31mred"},
        {"bell\a\x1b[2J\r\n.txt", "bell__[2J__.txt"},
        {"what?<>|*\".txt", "what______.txt"},
        {"odd\x81\x9D", "odd__"},
        {"tail. . ", "tail"},
        // Devices, whatever the case or extension.
        {"CON", "_CON"},
        {"nul.txt", "_nul.txt"},
        {"Com1.log", "_Com1.log"},
        {"LPT9", "_LPT9"},
        {"lpt\xB9", "_lpt\xB9"},
        // Harmless ones that look close.
        {"console.txt", "console.txt"},
        {"caf\xE9 \x80.txt", "caf\xE9 \x80.txt"},
        {".profile", ".profile"},
        {"Recv", "Recv"},
        // Longer than file systems take: cut, keeping the extension.
        {std::string(300, 'n') + ".txt", std::string(251, 'n') + ".txt"},
    };
    return names;
}

// The names the files get when `names` arrive in turn in a folder that holds `taken`: a
// name met again gets the next number, so nothing received earlier is replaced.
inline std::vector<std::string> NamesInTurn(const std::vector<HostileName>& names,
                                            std::set<std::string> taken = {}) {
    std::vector<std::string> out;
    for (const HostileName& n : names) {
        std::string name = n.kept;
        for (int k = 2; taken.count(name) != 0; ++k) name = NumberedName(n.kept, k);
        taken.insert(name);
        out.push_back(name);
    }
    return out;
}

}  // namespace keyvane::test
