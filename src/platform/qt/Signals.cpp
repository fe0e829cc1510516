#include "platform/qt/Signals.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

#include "cipher/sdk.h"

namespace keyvane {

namespace {

int pipeFds[2] = {-1, -1};

// Only async-signal-safe work here: hand the signal to the event loop.
void OnSignal(int sig) {
    const char c = static_cast<char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(pipeFds[0], &c, 1);
}

std::string* wipeFolder = nullptr;

[[noreturn]] void WipeAndAbort() {
    static bool once = false;
    if (!once && wipeFolder) {
        once = true;  // a failure in the wipe itself comes back here
        try {
            SDK sdk;
            sdk.AppFolder = *wipeFolder;
            sdk.WipeKeyFiles();
            std::fputs("keyvane: ended by an unexpected failure; the key files were wiped\n",
                       stderr);
        } catch (...) {
            std::fputs(
                "keyvane: ended by an unexpected failure; the key files could not be "
                "wiped\n",
                stderr);
        }
    }
    std::abort();
}

}  // namespace

void WipeOnTerminate(const std::string& folder) {
    if (!wipeFolder)
        wipeFolder = new std::string(folder);  // outlives every static that could throw
    else
        *wipeFolder = folder;
    std::set_terminate(WipeAndAbort);
}

void OnTerminationSignals(std::function<void()> handler) {
    if (pipeFds[0] >= 0) return;
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pipeFds) != 0) {
        std::perror("keyvane: termination signals are not handled");
        return;
    }
    for (int fd : pipeFds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    for (int fd : pipeFds) ::fcntl(fd, F_SETFL, O_NONBLOCK);

    auto* notifier = new QSocketNotifier(pipeFds[1], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [handler = std::move(handler)] {
        char c;
        while (::read(pipeFds[1], &c, 1) > 0) {
        }
        handler();
    });

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) ::sigaction(sig, &sa, nullptr);
}

}  // namespace keyvane
