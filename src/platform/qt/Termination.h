// Termination signals close the main window as its close box would, so that the
// closing steps (hang-up, wipe of the key files) run before the program ends.
#pragma once

class QWidget;

namespace keyvane {

// Handles SIGTERM, SIGHUP and SIGINT from now on: the window is closed, every other
// window goes, and the event loops are left. Call once, after QApplication exists.
void CloseOnTerminationSignals(QWidget* mainWindow);

}  // namespace keyvane
