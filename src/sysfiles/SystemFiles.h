// Sending a product version's system control files as a batch of file transfers: the
// set, the click of Command4, and the chaining of the files one after the other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/Pause.h"
#include "sysfiles/SystemFolders.h"
#include "transfer/FileTransfer.h"

namespace keyvane {

// The system-file set being sent: entries 1 to SystemFileCount of SystemFileList are
// full native paths; position 0 is never used.
struct SystemFileSet {
    static constexpr int kMaxFiles = 1500;
    std::vector<std::string> SystemFileList = std::vector<std::string>(kMaxFiles + 1);
    int16_t SystemFileCount = 0;
    std::string ProductPath;  // folder of version 5.5.2 with a trailing separator, or ""
};

class SystemFiles final : public SendListener {
  public:
    // Listens to `transfer` for the end of each file; stops listening when destroyed.
    SystemFiles(FileChannel& link, FileTransfer& transfer, MainView& view, Platform& platform);
    ~SystemFiles();
    SystemFiles(const SystemFiles&) = delete;
    SystemFiles& operator=(const SystemFiles&) = delete;

    // The click of Command4.
    void SendSystemFiles();
    // Sends entries 1 to SystemFileCount of `sys`, each after the one before has gone
    // and a pause.
    void Start();

    bool SystemTransferInProgress() const { return inProgress_; }
    int16_t stmax() const { return stmax_; }
    SystemFileSet sys;

    // SendListener
    void OnFileSent() override;
    void OnSendAborted() override;
    bool Running() const override { return inProgress_; }

  private:
    FileChannel& link_;
    FileTransfer& transfer_;
    MainView& view_;
    Platform& platform_;
    Pause pause_;              // between two files
    bool inProgress_ = false;  // also between the files
    int16_t stmax_ = 0;        // the entry being sent
};

}  // namespace keyvane
