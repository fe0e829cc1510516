// Text between the program (UTF-8 inside) and the terminal, in the locale's encoding.
#pragma once

#include <string>

namespace keyvane::peer {

class TerminalText {
  public:
    // `codeset` as nl_langinfo(CODESET) names it. UTF-8 and plain ASCII (the C locale,
    // where scripts often run) keep UTF-8, as Qt and Python do; other encodings are
    // converted, and a character they lack becomes "?".
    explicit TerminalText(std::string codeset);
    // The encoding of the process's locale (LC_CTYPE from the environment).
    static TerminalText FromLocale();

    std::string Out(const std::string& utf8) const;   // to the terminal
    std::string In(const std::string& native) const;  // from the command line

  private:
    std::string codeset_;  // "" when UTF-8 is kept
};

}  // namespace keyvane::peer
