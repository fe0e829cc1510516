// Sending and receiving files in enciphered 1000-byte blocks, one per "OK:".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "link/FileChannel.h"
#include "link/MainView.h"

namespace keyvane {

class BlockReader;
class SDK;
class Sha256;
struct Platform;

enum class SendPhase : uint8_t {
    Idle,
    Announcing,  // "FL:" went out; the first block follows the pause
    Sending,     // blocks go out, one per "OK:"
    LastSent,    // the first message was already the closing "FB:RM:"; its "OK:" ends the file
};

enum class RecvPhase : uint8_t {
    Idle,
    Receiving,   // between "FL:" and "FB:RM:"
    Discarding,  // the file could not be written; the rest is only acknowledged
};

// Where a transfer is, as the rest of the program sees it: one phase per direction, so
// they cannot contradict each other; the old names read them. FileTransfer keeps the
// finer phases, with the data each needs, and sets these whenever it moves.
struct TransferState {
    std::string Recv;  // the receive folder, AppFolder + "Recv/"
    int32_t CurrentBlock = 0;
    int32_t nb = 0;
    int32_t rm = 0;
    SendPhase sendPhase = SendPhase::Idle;
    RecvPhase recvPhase = RecvPhase::Idle;

    // An "OK:" is awaited.
    bool FileInProgress() const {
        return sendPhase == SendPhase::Sending || sendPhase == SendPhase::LastSent;
    }
    bool FBRMSent() const { return sendPhase == SendPhase::LastSent; }
    // File-receive mode: reads are joined up to "|".
    bool ClientRecv() const { return recvPhase != RecvPhase::Idle; }
};

// Told when a file this side sent has ended, so that a batch of files goes on
// (sysfiles/SystemFiles.h).
class SendListener {
  public:
    virtual void OnFileSent() = 0;     // "File Transferred." was shown
    virtual void OnSendAborted() = 0;  // a file did not go, or the batch ended between files
    virtual bool Running() const = 0;  // a batch goes on: this side counts as busy

  protected:
    ~SendListener() = default;
};

class FileTransfer final : public FileReceiver {
  public:
    // Attaches itself to `link`; detaches again when destroyed. Shows what happens in
    // `view`, asks through the dialogs and timers of `platform`, enciphers with `sdk`.
    FileTransfer(FileChannel& link, MainView& view, Platform& platform, SDK& sdk);
    ~FileTransfer();
    FileTransfer(const FileTransfer&) = delete;
    FileTransfer& operator=(const FileTransfer&) = delete;

    void SendFileCommand();  // File > Send File
    // fn: native path (UTF-8). `quiet`: a batch's later file, which leaves the pointer
    // and the bar as the end of the file before left them once it is under way.
    void SendFile(const std::string& fn, int m, bool quiet = false);
    bool Busy() const;  // a file is being sent or received, or a batch goes on

    const TransferState& State() const { return st_; }
    // Where received files go (with a trailing separator).
    void SetReceiveFolder(std::string folder) { st_.Recv = std::move(folder); }
    // At most one; nullptr for none.
    void Listen(SendListener* listener) { listener_ = listener; }

    // FileReceiver
    void OnFL(const std::string& payload) override;
    void OnFB(const std::string& message) override;
    void OnOK() override;
    void OnConnectionLost() override;
    void OnBrokenBlock() override;
    void OnControl(const std::string& message) override;  // "KVF", "KVR", "KVH"
    size_t EndLength() const override;
    void OnSendRoom() override;
    bool Receiving() const override { return st_.ClientRecv(); }
    bool AwaitingOK() const override { return st_.FileInProgress(); }

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

  private:
    struct Impl;
    void SendFirstBlock();
    // SendFile's own steps are done: a set's later file goes on quietly.
    void StartDone(bool quiet);
    void Prepare(BlockReader& reader, Sha256* hash, int64_t record);
    bool SendPrepared();
    int64_t* HeldOKs();
    void SendNextPlain();  // stop-and-wait: what an "OK:" lets go
    void FinishFile();
    void AbortSend(const std::string& statusLine);
    bool Decipher(const std::string& message, size_t from);
    void FailReceive(const std::string& reason);
    void EndReceive(const std::string& statusLine);
    // A batch goes on after this file.
    bool InBatch() const { return listener_ && listener_->Running(); }
    // Fast link.
    void StartFastSend(uint32_t resumeBlocks);
    void SendFastBlocks(BlockReader reader, const Sha256& hash, int64_t skipped);
    void Pump();
    void OnFastOK();
    void OnFileOffer(const std::string& message);
    bool StartReceivedFile();
    std::optional<uint32_t> FindPartialFile();
    void AnswerOffer(uint32_t have);
    std::string ReceivedVerdict(ViewEvent::Verdict& verdict);

    FileChannel& link_;
    MainView& view_;
    Platform& platform_;
    SDK& sdk_;
    TransferState st_;
    SendListener* listener_ = nullptr;
    std::unique_ptr<Impl> impl_;
};

}  // namespace keyvane
