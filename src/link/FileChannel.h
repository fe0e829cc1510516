// The two narrow seams between the link and file transfer: what transfer may ask of the
// link, and what the link's dispatcher hands to transfer. Session implements the first;
// FileTransfer implements the second and attaches itself.
#pragma once

#include <string>

#include "link/MainState.h"

namespace keyvane {

class SDK;

// What the link's dispatcher hands on to file transfer.
class FileReceiver {
  public:
    virtual void OnFL(const std::string& payload) = 0;
    virtual void OnFB(const std::string& message) = 0;  // "FB:..." without its "|"
    virtual void OnOK() = 0;
    virtual void OnConnectionLost() = 0;  // the connection broke or a new one replaced it
    virtual void OnBrokenBlock() = 0;     // a block position held no block

  protected:
    ~FileReceiver() = default;
};

// What file transfer needs from the link and its window.
class FileChannel {
  public:
    // What every send shows without a connection that has its key files.
    static constexpr const char* kNotConnected = "You are not connected.";

    // The connection is up and its key files are built.
    virtual bool KeysReady() const = 0;
    // Sends one message; on failure says so and returns false.
    virtual bool Send(const std::string& message) = 0;
    // Lets events through for about `secs` seconds.
    virtual void Pause(int secs) = 0;
    virtual void Notify(const std::string& text) = 0;

    virtual void Status(const std::string& line) = 0;  // status list
    virtual void SetHourglass(bool busy) = 0;
    virtual void ShowProgress(bool visible) = 0;
    virtual void SetProgress(int percent) = 0;
    virtual int SelectedVersion() const = 0;  // system-file version, 0 for none

    // Dialogs; each lets events through.
    virtual bool Confirm(const std::string& question) = 0;
    virtual std::string ChooseFile() = 0;  // "" when cancelled
    virtual std::string ChooseProductPath() = 0;

    virtual TransferState& Files() = 0;
    virtual SDK& Cipher() = 0;  // its WorkText and BlockRecord carry the blocks

    // At most one receiver; nullptr detaches it.
    virtual void Attach(FileReceiver* receiver) = 0;

  protected:
    ~FileChannel() = default;
};

}  // namespace keyvane
