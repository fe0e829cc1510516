#include "platform/qt/DataFolder.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>

#include "platform/files.h"
#include "platform/folders.h"

namespace keyvane {

std::string PerUserDataFolder() {
    // The generic location plus our own name, so the folder does not depend on the
    // application or organisation names a process happens to set.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QFile::encodeName(base).toStdString() + "/keyvane/";
}

AppFolders ProgramFolders() {
    const std::string program =
        QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString() + "/";
    return ChooseAppFolders(program, PerUserDataFolder(), IsWritableFolder, FileExists);
}

}  // namespace keyvane
