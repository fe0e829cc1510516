#include "peer/Options.h"

#include <map>

namespace keyvane::peer {

namespace {

// The version table's rows by the names the command line gives them.
const std::map<std::string, int>& SystemNames() {
    static const std::map<std::string, int> names = {
        {"5.5", 1}, {"email", 3}, {"messenger", 4}, {"ftp", 5}};
    return names;
}

bool IsPort(const std::string& s) {
    if (s.empty() || s.size() > 5) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    const int n = std::stoi(s);
    return n >= 1 && n <= 65535;
}

}  // namespace

const char* UsageText() {
    return R"(Usage: keyvane-peer wait    [options] [actions]
       keyvane-peer connect HOST [options] [actions]

Hands a key, chat lines, files and system-file sets to a Keyvane peer over one
TCP connection, without a window.

Options:
  --port N          port (default: port.dat of the folder, else 7777)
  --address TEXT    this side's own address text, as the window's "Your IP Addr"
                    box would hold it (default: this machine's IPv4 address)
  --folder DIR      program folder: key and working files, Recv/ (default: the
                    per-user data folder)
  --bind ADDR       wait: listen on this local address only (default: all)
  --stay            after the actions, keep receiving until the peer hangs up,
                    the connection is lost, or SIGINT/SIGTERM
  --json            events as JSON lines instead of text lines
  --require-secure  send nothing over a connection that is not encrypted: hang
                    up and exit 1 instead (a plain peer, or either side has fast
                    transfers or the secure channel off)
  --trust           trust the peer's identity once the connection is encrypted,
                    as after comparing the code; later connections from it show
                    as verified. Also accepts an identity that changed, which
                    otherwise ends the connection with exit status 1
  --help, --version

Actions, done in the order given, each after the previous one finished:
  --key DIGITS      send a key
  --chat TEXT       send a chat line
  --send FILE       send a file
  --system NAME     send a system-file set: 5.5, email, messenger, ftp,
                    or 5.5.2=FOLDER
  --hangup          send "XX:" and end (the default end without --stay)

Exit status: 0 success, 1 failed action or refused connection, 2 bad usage,
3 connection lost during an action.
)";
}

Parsed ParseArgs(const std::vector<std::string>& args) {
    Parsed p;
    Options& o = p.options;
    auto fail = [&p](std::string why) {
        p.error = std::move(why);
        return p;
    };
    for (const std::string& a : args) {
        if (a == "--help") o.help = true;
        if (a == "--version") o.version = true;
    }
    if (o.help || o.version) return p;
    if (args.empty()) return fail("say wait or connect HOST");

    size_t i = 0;
    if (args[0] == "wait") {
        o.mode = Options::Mode::Wait;
        i = 1;
    } else if (args[0] == "connect") {
        o.mode = Options::Mode::Connect;
        if (args.size() < 2 || args[1].empty() || args[1].rfind("--", 0) == 0)
            return fail("connect needs the host's address");
        o.host = args[1];
        i = 2;
    } else {
        return fail("unknown command '" + args[0] + "': say wait or connect HOST");
    }

    bool hungUp = false;
    for (; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inlineValue = true;
        }
        if (name == "--stay" || name == "--json" || name == "--hangup" ||
            name == "--require-secure" || name == "--trust") {
            if (inlineValue) return fail(name + " takes no value");
            if (name == "--stay") o.stay = true;
            if (name == "--json") o.json = true;
            if (name == "--require-secure") o.requireSecure = true;
            if (name == "--trust") o.trust = true;
            if (name == "--hangup") {
                if (hungUp) return fail("--hangup is given twice");
                o.actions.push_back({Action::Kind::Hangup, "", 0, ""});
                hungUp = true;
            }
            continue;
        }
        static const char* const kWithValue[] = {"--port", "--address", "--folder", "--bind",
                                                 "--key",  "--chat",    "--send",   "--system"};
        bool known = false;
        for (const char* k : kWithValue) known = known || name == k;
        if (!known) return fail("unknown option '" + name + "'");
        if (!inlineValue) {
            if (i + 1 >= args.size()) return fail(name + " needs a value");
            value = args[++i];
        }
        const bool isAction =
            name == "--key" || name == "--chat" || name == "--send" || name == "--system";
        if (isAction && hungUp) return fail(name + " comes after --hangup, which ends the session");

        if (name == "--port") {
            if (!IsPort(value)) return fail("--port needs a number from 1 to 65535");
            o.port = value;
        } else if (name == "--address") {
            if (value.empty()) return fail("--address needs a text");
            o.address = value;
            o.hasAddress = true;
        } else if (name == "--folder") {
            if (value.empty()) return fail("--folder needs a folder");
            o.folder = value;
        } else if (name == "--bind") {
            o.bind = value;
        } else if (name == "--key") {
            // Checked as the window checks it, when it is sent.
            o.actions.push_back({Action::Kind::Key, value, 0, ""});
        } else if (name == "--chat") {
            if (value.empty()) return fail("--chat needs a text");
            o.actions.push_back({Action::Kind::Chat, value, 0, ""});
        } else if (name == "--send") {
            if (value.empty()) return fail("--send needs a file");
            o.actions.push_back({Action::Kind::Send, value, 0, ""});
        } else {  // --system
            Action act{Action::Kind::System, value, 0, ""};
            if (value.rfind("5.5.2=", 0) == 0) {
                act.row = 2;
                act.productPath = value.substr(6);
                if (act.productPath.empty()) return fail("--system 5.5.2= needs a folder");
                if (act.productPath.back() != '/') act.productPath += '/';
            } else if (auto it = SystemNames().find(value); it != SystemNames().end()) {
                act.row = it->second;
            } else {
                return fail("--system takes 5.5, email, messenger, ftp or 5.5.2=FOLDER, not '" +
                            value + "'");
            }
            o.actions.push_back(std::move(act));
        }
    }
    if (o.stay && hungUp) return fail("--stay and --hangup contradict each other");
    if (!o.bind.empty() && o.mode == Options::Mode::Connect) return fail("--bind is for wait");
    return p;
}

}  // namespace keyvane::peer
