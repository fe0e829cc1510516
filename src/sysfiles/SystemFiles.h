// Sending a product version's system control files as a batch of file transfers.
#pragma once

#include "sysfiles/SystemFolders.h"

namespace keyvane {

class FileChannel;
class FileTransfer;

// The click of Command4 on the main window.
void SendSystemFiles(FileChannel& link, FileTransfer& transfer);

}  // namespace keyvane
