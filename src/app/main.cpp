// Keyvane: the program folder is the executable's; everything else starts in frmMain.
#include <QApplication>
#include <QFile>
#include <cstdio>
#include <cstdlib>

#include "app/frmMain.h"
#include "platform/qt/QtPlatform.h"
#include "platform/qt/Termination.h"

namespace {

bool Set(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Without a display Qt would abort with a long complaint; one line says it better.
    if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY") && !Set("QT_QPA_PLATFORM")) {
        std::fputs("keyvane: no display found (DISPLAY and WAYLAND_DISPLAY are not set)\n", stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("Keyvane");
    QApplication::setFont(keyvane::WindowFont());

    const std::string folder =
        QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString() + "/";
    keyvane::frmMain window(folder);
    keyvane::CloseOnTerminationSignals(&window);
    window.show();
    return app.exec();
}
