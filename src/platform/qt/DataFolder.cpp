#include "platform/qt/DataFolder.h"

#include <QFile>
#include <QStandardPaths>

namespace keyvane {

std::string PerUserDataFolder() {
    // The generic location plus our own name, so the folder does not depend on the
    // application or organisation names a process happens to set.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QFile::encodeName(base).toStdString() + "/keyvane/";
}

}  // namespace keyvane
