// Keyvane: --help and --version answer on the terminal; otherwise the main window runs
// with its data where ProgramFolders puts it.
#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/frmMain.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/qt/DataFolder.h"
#include "platform/qt/QtPlatform.h"
#include "platform/qt/Signals.h"
#include "platform/qt/Termination.h"

namespace {

bool Set(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const keyvane::CommandLine command = keyvane::ParseCommandLine(args);
    if (command != keyvane::CommandLine::Window) {
        // No display needed: a core application only to learn where the program lies.
        const QCoreApplication core(argc, argv);
        switch (command) {
            case keyvane::CommandLine::Version:
                std::fputs(keyvane::VersionText().c_str(), stdout);
                return 0;
            case keyvane::CommandLine::Help:
                std::fputs(keyvane::HelpText(keyvane::ProgramFolders()).c_str(), stdout);
                return 0;
            default:
                std::fputs("keyvane: takes no arguments but --help or --version\n", stderr);
                return 2;
        }
    }

    // Without a display Qt would abort with a long complaint; one line says it better.
    if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY") && !Set("QT_QPA_PLATFORM")) {
        std::fputs("keyvane: no display found (DISPLAY and WAYLAND_DISPLAY are not set)\n", stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("Keyvane");
    QApplication::setDesktopFileName("org.keyvane.Keyvane");
    QApplication::setWindowIcon(QIcon(":/keyvane.png"));
    QApplication::setFont(keyvane::WindowFont());

    const keyvane::AppFolders folders = keyvane::ProgramFolders();
    if (folders.data == keyvane::PerUserDataFolder()) {
        try {
            keyvane::CreatePrivateFolder(folders.data);
        } catch (const keyvane::FileError&) {
            // The window says what is wrong with its folder.
        }
    }
    keyvane::frmMain window(folders.data);
    if (window.Refused()) return 1;
    keyvane::WipeOnTerminate(folders.data);
    window.SetHelpPage(folders.helpPage);
    // Not the "Send Confirm" box: a changed identity must not be taken on Enter.
    window.session().ConfirmRisk = [&window](const std::string& text, bool) {
        return keyvane::RiskBox(&window, text);
    };
    keyvane::CloseOnTerminationSignals(&window);
    window.show();
    return app.exec();
}
