#include "platform/qt/Termination.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>

#include "platform/qt/Signals.h"

namespace keyvane {

void CloseOnTerminationSignals(QWidget* mainWindow) {
    QPointer<QWidget> window(mainWindow);
    OnTerminationSignals([window] {
        if (window) window->close();
        QApplication::closeAllWindows();
        QCoreApplication::exit(0);
    });
}

}  // namespace keyvane
