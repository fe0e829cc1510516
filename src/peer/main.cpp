// keyvane-peer: the Keyvane peer without a window, for scripts and headless machines.
#include <unistd.h>

#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "peer/Options.h"
#include "peer/PeerRun.h"

int main(int argc, char* argv[]) {
    using namespace keyvane::peer;
    std::vector<std::string> args(argv + 1, argv + argc);
    const Parsed parsed = ParseArgs(args);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "keyvane-peer: %s\nTry 'keyvane-peer --help'.\n",
                     parsed.error.c_str());
        return kUsage;
    }
    if (parsed.options.help) {
        std::fputs(UsageText(), stdout);
        return kOk;
    }
    if (parsed.options.version) {
        std::puts("keyvane-peer " KEYVANE_VERSION);
        return kOk;
    }
    // A reader that goes away (| head) must not end the program before its hang-up and
    // wipe; the lines it misses are simply lost.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("keyvane-peer");
    return RunPeer(parsed.options, stdout, ::isatty(STDERR_FILENO) ? stderr : nullptr);
}
