#include "peer/Terminal.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <clocale>

namespace keyvane::peer {

namespace {

std::string Convert(const std::string& text, const std::string& from, const std::string& to) {
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return text;
    std::string out;
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char buf[256];
    while (inLeft > 0) {
        char* o = buf;
        size_t oLeft = sizeof buf;
        const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buf, static_cast<size_t>(o - buf));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            // A character the other side lacks, or a broken sequence: one "?" for it.
            out += '?';
            ++in;
            --inLeft;
            while (inLeft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80 &&
                   from == "UTF-8") {
                ++in;
                --inLeft;
            }
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace

TerminalText::TerminalText(std::string codeset) {
    if (codeset != "UTF-8" && codeset != "utf8" && codeset != "ANSI_X3.4-1968" &&
        codeset != "ASCII" && !codeset.empty())
        codeset_ = std::move(codeset);
}

TerminalText TerminalText::FromLocale() {
    std::setlocale(LC_CTYPE, "");
    return TerminalText(nl_langinfo(CODESET));
}

std::string TerminalText::Out(const std::string& utf8) const {
    return codeset_.empty() ? utf8 : Convert(utf8, "UTF-8", codeset_);
}

std::string TerminalText::In(const std::string& native) const {
    return codeset_.empty() ? native : Convert(native, codeset_, "UTF-8");
}

}  // namespace keyvane::peer
