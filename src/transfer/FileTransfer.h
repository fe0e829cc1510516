// Sending and receiving files in enciphered 1000-byte blocks, one per "OK:".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/FileChannel.h"

namespace keyvane {

// The system-file set being sent: entries 1 to SystemFileCount of SystemFileList are
// full native paths; position 0 is never used. Filled by SendSystemFiles, walked here.
struct SystemFileSet {
    static constexpr int kMaxFiles = 1500;
    std::vector<std::string> SystemFileList = std::vector<std::string>(kMaxFiles + 1);
    int16_t SystemFileCount = 0;
    std::string ProductPath;  // folder of version 5.5.2 with a trailing separator, or ""
};

class FileTransfer final : public FileReceiver {
  public:
    // Attaches itself to `link`; detaches again when destroyed.
    explicit FileTransfer(FileChannel& link);
    ~FileTransfer();
    FileTransfer(const FileTransfer&) = delete;
    FileTransfer& operator=(const FileTransfer&) = delete;

    void SendFileCommand();                       // File > Send File
    void SendFile(const std::string& fn, int m);  // fn: native path (UTF-8)
    bool Busy() const;                            // a file is being sent or received

    // FileReceiver
    void OnFL(const std::string& payload) override;
    void OnFB(const std::string& message) override;
    void OnOK() override;
    void OnConnectionLost() override;
    void OnBrokenBlock() override;
    void OnControl(const std::string& message) override;  // "KVF", "KVR", "KVH"
    size_t EndLength() const override;
    void OnSendRoom() override;

    // Fast link: the most blocks the last file sent had unacknowledged at once.
    size_t PeakInFlight() const;

    // Shown when a new transfer is asked for while one is running.
    static constexpr const char* kBusyText =
        "A file is still being sent or received. Please wait until it has finished.";

    // Fast link: how long an offer waits for the receiver's "KVR", and on top of that
    // the time a receiver may take to read back a partial file first, at this many bytes
    // per millisecond (25 MB/s).
    static constexpr int kAnswerWaitMs = 30000;
    static constexpr int64_t kReadBackBytesPerMs = 25000;
    // How many numbered names a received file may try before it gives up.
    static constexpr int kMaxNumberedNames = 10000;

    SystemFileSet sys;

  private:
    struct Impl;
    void SendFirstBlock();
    // SendFile's own steps are done: a set's later file goes on quietly.
    void StartDone();
    void Prepare(int64_t record);
    bool SendPrepared();
    void SendNextPlain();  // stop-and-wait: what an "OK:" lets go
    void FinishFile();
    void AbortSend(const std::string& statusLine);
    bool Decipher(const std::string& message, size_t from);
    void FailReceive(const std::string& reason);
    void EndReceive(const std::string& statusLine);
    void ChainNextSystemFile();
    // Fast link.
    void StartFastSend(uint32_t resumeBlocks);
    void SendFastBlocks();
    void Pump();
    void OnFastOK();
    void OnFileOffer(const std::string& message);
    bool StartReceivedFile();
    std::optional<uint32_t> FindPartialFile();
    void AnswerOffer(uint32_t have);
    std::string ReceivedVerdict(ViewEvent::Verdict& verdict);

    FileChannel& link_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace keyvane
