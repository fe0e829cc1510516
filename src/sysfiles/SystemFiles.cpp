#include "sysfiles/SystemFiles.h"

#include "platform/cp1252.h"
#include "transfer/FileTransfer.h"

namespace keyvane {

void SendSystemFiles(FileChannel& link, FileTransfer& t) {
    const int version = link.SelectedVersion();
    if (version < 1 || version > 5) {
        link.Notify("Select Version of Files to Transmit.");
        return;
    }
    // Checked again after the picker, which lets events through.
    auto canStart = [&] {
        if (!link.KeysReady()) {
            link.Notify(FileChannel::kNotConnected);
            return false;
        }
        if (t.Busy()) {
            link.Notify(FileTransfer::kBusyText);
            return false;
        }
        return true;
    };
    if (!canStart()) return;
    SystemFileSet& set = t.sys;
    if (version == 2) {
        set.ProductPath = link.ChooseProductPath();
        if (set.ProductPath.empty()) {
            link.Notify("You must define the path of Veltra 5.5.2 before you can transmit them.");
            return;
        }
        if (!canStart()) return;
    }

    for (std::string& entry : set.SystemFileList) entry.clear();
    set.SystemFileCount = 0;
    const std::string folder = ProductFolder(version, set.ProductPath);
    const VersionRow& row = VersionTable()[static_cast<size_t>(version - 1)];
    const std::vector<std::string> names = EligibleNames(ListPlainFiles(folder), row.notSent);
    if (names.size() > static_cast<size_t>(SystemFileSet::kMaxFiles)) {
        link.Notify("There are more than 1500 files to send in " + Utf8ToCp1252(folder) +
                    ". The set was not sent.");
        return;
    }
    for (const std::string& n : names)
        set.SystemFileList[static_cast<size_t>(++set.SystemFileCount)] = folder + n;
    link.Event({.kind = ViewEvent::Kind::SystemSet, .count = set.SystemFileCount});
    link.Status("Sending System Files (" + std::to_string(set.SystemFileCount) + " to do)");
    if (set.SystemFileCount == 0) {
        link.Notify("No files to send were found in " + Utf8ToCp1252(folder) + ".");
        return;
    }
    link.Files().SystemTransferInProgress = true;
    link.Files().stmax = 1;
    t.SendFile(set.SystemFileList[1], 0);
}

}  // namespace keyvane
