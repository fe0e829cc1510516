// Stand-ins for the parts other branches build, so that this branch links and its
// windows can be driven on their own. Delete this file when the branches come together.
#include "cipher/sdk.h"
#include "link/Session.h"
#include "sysfiles/SystemFiles.h"
#include "sysfiles/frmPathSelect.h"
#include "transfer/FileTransfer.h"

// Tests look for this to skip what only the joined program can do.
extern "C" const bool keyvane_gui_branch_stubs = true;

namespace keyvane {

FileTransfer::FileTransfer(Session& session) : s_(session) {}
FileTransfer::~FileTransfer() = default;
void FileTransfer::SendFileCommand() {}

void SendSystemFiles(Session&, FileTransfer&) {}

std::string ShowPathSelect(QWidget*) {
    return {};
}

}  // namespace keyvane
