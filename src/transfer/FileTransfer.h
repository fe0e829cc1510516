// Sending and receiving files in enciphered 1000-byte blocks, one per "OK:".
#pragma once

#include <cstdint>
#include <string>

namespace keyvane {

class Session;

class FileTransfer {
public:
    explicit FileTransfer(Session& session);
    ~FileTransfer();

    void SendFileCommand();                          // File > Send File
    void SendFile(const std::string& fn, int m);     // fn: native path (UTF-8)
    void OnFL(const std::string& payload);           // "FL:" received
    void OnFB(const std::string& message);           // "FB:..." without its terminator
    void OnOK();                                     // "OK:" received
    void OnSendProgress();                           // socket SendProgress
    void OnConnectionLost();                         // the connection broke
    bool Busy() const;                               // a file is being sent or received

private:
    Session& s_;
    struct Impl;
    Impl* impl_ = nullptr;
};

}  // namespace keyvane
