#include "app/CommandLine.h"

#ifndef KEYVANE_VERSION
#define KEYVANE_VERSION "unknown"
#endif

namespace keyvane {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    if (args.empty()) return CommandLine::Window;
    if (args.size() > 1) return CommandLine::Wrong;
    if (args[0] == "--version") return CommandLine::Version;
    if (args[0] == "--help") return CommandLine::Help;
    return CommandLine::Wrong;
}

std::string VersionText() {
    return std::string("keyvane ") + KEYVANE_VERSION + "\n";
}

std::string HelpText(const AppFolders& folders) {
    return "Usage: keyvane [--help | --version]\n"
           "\n"
           "Keyvane connects two computers directly over one TCP connection and hands\n"
           "over a mail key, a product's system control files, chat lines and files.\n"
           "Without arguments it opens its window; everything else is done there.\n"
           "\n"
           "  --help     show this text and exit\n"
           "  --version  show the version and exit\n"
           "\n"
           "Files of this copy:\n"
           "  data folder  " +
           folders.data +
           "\n"
           "               port.dat, font.dat, the key files, Recv/ (received files)\n"
           "  help page    " +
           folders.helpPage +
           "\n"
           "  received keys: KeyHHMMSS.txt in the current folder, or in the data folder\n"
           "  when the current folder cannot be written.\n";
}

}  // namespace keyvane
