#include "help/Help.h"

#include <algorithm>

namespace keyvane {

std::string HelpPath;

std::string HelpUrl(const std::string& helpPath) {
    const bool rooted = !helpPath.empty() && helpPath.front() == '/';
    return "file:///" + (rooted ? helpPath.substr(1) : helpPath);
}

TwipSize BrowserViewSize(TwipSize outer) {
    return {std::max(0, outer.width - 60), std::max(0, outer.height - 510)};
}

const char* const kAboutNotice = "Keyvane: keys, system files and chat between two computers";
const char* const kAboutCredit = "Keyvane 1.0, built with Qt 6";
const char* const kAboutParagraph =
    "The enciphering only keeps casual readers out: its key is made from the two "
    "computers' addresses, so anyone who knows them can read what is sent.";

}  // namespace keyvane
