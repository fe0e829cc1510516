#include "sysfiles/SystemFiles.h"

#include "platform/cp1252.h"
#include "platform/platform.h"

namespace keyvane {

SystemFiles::SystemFiles(FileChannel& link, FileTransfer& transfer, MainView& view,
                         Platform& platform)
    : link_(link), transfer_(transfer), view_(view), platform_(platform), pause_(platform) {
    transfer_.Listen(this);
}

SystemFiles::~SystemFiles() {
    transfer_.Listen(nullptr);
}

void SystemFiles::SendSystemFiles() {
    const int version = view_.SelectedVersion();
    if (version < 1 || version > 5) {
        link_.Notify("Select Version of Files to Transmit.");
        return;
    }
    // Checked again after the picker, which lets events through.
    auto canStart = [&] {
        if (!link_.KeysReady()) {
            link_.Notify(FileChannel::kNotConnected);
            return false;
        }
        if (transfer_.Busy()) {
            link_.Notify(FileTransfer::kBusyText);
            return false;
        }
        return true;
    };
    if (!canStart()) return;
    if (version == 2) {
        sys.ProductPath = platform_.PickProductPath();
        if (sys.ProductPath.empty()) {
            link_.Notify("You must define the path of Veltra 5.5.2 before you can transmit them.");
            return;
        }
        if (!canStart()) return;
    }

    for (std::string& entry : sys.SystemFileList) entry.clear();
    sys.SystemFileCount = 0;
    const std::string folder = ProductFolder(version, sys.ProductPath);
    const VersionRow& row = VersionTable()[static_cast<size_t>(version - 1)];
    const std::vector<std::string> names = EligibleNames(ListPlainFiles(folder), row.notSent);
    if (names.size() > static_cast<size_t>(SystemFileSet::kMaxFiles)) {
        link_.Notify("There are more than 1500 files to send in " + Utf8ToCp1252(folder) +
                     ". The set was not sent.");
        return;
    }
    for (const std::string& n : names)
        sys.SystemFileList[static_cast<size_t>(++sys.SystemFileCount)] = folder + n;
    view_.OnEvent({.kind = ViewEvent::Kind::SystemSet, .count = sys.SystemFileCount});
    view_.UpdateList("Sending System Files (" + std::to_string(sys.SystemFileCount) + " to do)");
    if (sys.SystemFileCount == 0) {
        link_.Notify("No files to send were found in " + Utf8ToCp1252(folder) + ".");
        return;
    }
    Start();
}

void SystemFiles::Start() {
    pause_.Stop();
    inProgress_ = true;
    stmax_ = 1;
    transfer_.SendFile(sys.SystemFileList[1], 0);
}

void SystemFiles::OnFileSent() {
    ++stmax_;
    if (stmax_ > sys.SystemFileCount) {
        inProgress_ = false;
        view_.SetHourglass(false);
        return;
    }
    pause_.Start(2, [this] {
        // The end of the connection during the pause ended the set (OnSendAborted).
        if (!inProgress_) return;
        transfer_.SendFile(sys.SystemFileList[static_cast<size_t>(stmax_)], 0, true);
    });
}

void SystemFiles::OnSendAborted() {
    inProgress_ = false;
    pause_.Stop();
    view_.OnEvent({ViewEvent::Kind::SystemSetShort});
    view_.UpdateList("The system files were not all sent.");
}

}  // namespace keyvane
