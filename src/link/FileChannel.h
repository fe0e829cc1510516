// The two narrow seams between the link and file transfer: what transfer may ask of the
// link (the transport; the window and the dialogs it reaches on its own), and what the
// link's dispatcher hands to transfer. Session implements the first; FileTransfer
// implements the second and attaches itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace keyvane {

// What the link's dispatcher hands on to file transfer.
class FileReceiver {
  public:
    virtual void OnFL(const std::string& payload) = 0;
    virtual void OnFB(const std::string& message) = 0;  // "FB:..." without its "|"
    virtual void OnOK() = 0;
    virtual void OnConnectionLost() = 0;  // the connection broke or a new one replaced it
    virtual void OnBrokenBlock() = 0;     // a block position held no block
    // Fast link (link/FastLink.h): "KVF", "KVR" and "KVH" as they came; a receiver that
    // takes no part drops them.
    virtual void OnControl(const std::string& /*message*/) {}
    // Fast link: the length of the closing message of the file being received (without
    // its "|"), 0 when unknown.
    virtual size_t EndLength() const { return 0; }
    // The socket handed bytes it held to the system: a sender held back may go on.
    virtual void OnSendRoom() {}
    // How the reads are framed meanwhile: a file is being received (its blocks are
    // assembled by length), or this side awaits an "OK:".
    virtual bool Receiving() const { return false; }
    virtual bool AwaitingOK() const { return false; }

  protected:
    ~FileReceiver() = default;
};

// What file transfer needs of the connection.
class FileChannel {
  public:
    // What every send shows without a connection that has its key files.
    static constexpr const char* kNotConnected = "You are not connected.";

    // The connection is up and its key files are built.
    virtual bool KeysReady() const = 0;
    // Sends one message; on failure says so and returns false.
    virtual bool Send(const std::string& message) = 0;
    // Sends a "CT:", "KY:" or "FL:" message: in an envelope on a fast link.
    virtual bool SendFramed(const std::string& message) = 0;
    // Both sides are Keyvane and have agreed on fast transfers for this connection.
    virtual bool Fast() const = 0;
    // The link runs inside the secure channel (secure/Secure.h): what arrives is what
    // the peer sent.
    virtual bool Secure() const { return false; }
    // The peer's identity key on a secure link (32 bytes); empty on a plain one.
    virtual std::string PeerIdentity() const { return {}; }
    // Bytes sent and still held in our memory, waiting for the system to take them.
    virtual size_t SendQueued() const { return 0; }
    // Milliseconds on a clock that only moves forward.
    virtual int64_t NowMs() const = 0;
    // What was sent is still held back by the link (it goes as soon as it may).
    virtual bool Holding() const { return false; }
    // Shows a message box, or a status line while one of the link's boxes is open.
    virtual void Notify(const std::string& text) = 0;

    // At most one receiver; nullptr detaches it.
    virtual void Attach(FileReceiver* receiver) = 0;

  protected:
    ~FileChannel() = default;
};

}  // namespace keyvane
