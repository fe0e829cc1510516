// The command line of keyvane-peer: a role, options, and actions done in order.
#pragma once

#include <string>
#include <vector>

namespace keyvane::peer {

struct Action {
    enum class Kind { Key, Chat, Send, System, Hangup };
    Kind kind = Kind::Hangup;
    std::string value;        // the digits, the chat text (UTF-8) or the file path
    int row = 0;              // --system: the version table's row
    std::string productPath;  // --system 5.5.2=FOLDER: FOLDER with a trailing "/"
};

struct Options {
    enum class Mode { Wait, Connect };
    Mode mode = Mode::Wait;
    std::string host;     // connect: the host's address as typed
    std::string port;     // "" for port.dat, else 7777
    std::string address;  // "" for the machine's own address
    bool hasAddress = false;
    std::string folder;  // "" for the per-user data folder
    std::string bind;    // wait: listen on this address only ("" for all)
    bool stay = false;
    bool json = false;
    bool requireSecure = false;  // no action over a link that is not encrypted
    bool trust = false;          // pin the peer's identity, and accept a changed one
    bool help = false;
    bool version = false;
    std::vector<Action> actions;
};

// `error` is empty when the command line is sound; otherwise it says what is wrong.
struct Parsed {
    Options options;
    std::string error;
};
Parsed ParseArgs(const std::vector<std::string>& args);

// The text of --help.
const char* UsageText();

}  // namespace keyvane::peer
