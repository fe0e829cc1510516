// The one TCP connection of the main window. The real one runs over Qt
// (platform/qt/QtSock); tests may drive the logic with their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace keyvane {

struct SockError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Sock {
  public:
    enum : int {
        sckClosed = 0,
        sckOpen = 1,
        sckListening = 2,
        sckResolvingHost = 4,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8,
        sckError = 9
    };

    virtual ~Sock() = default;

    int LocalPort = 0;              // set before Listen
    virtual int State() const = 0;  // one of the codes above
    virtual void Listen() = 0;      // throws SockError with the reason
    virtual void Connect(const std::string& host, const std::string& port) = 0;
    virtual void Accept(intptr_t requestID) = 0;
    virtual void SendData(const std::string& bytes) = 0;  // throws SockError when it cannot
    virtual std::string GetData() = 0;                    // all bytes now available
    // Bytes sent that the system has not taken yet, held in our memory; SendProgress
    // reports when they go.
    virtual size_t Queued() const { return 0; }
    virtual void Close() = 0;
    // Push out what was sent before closing (so a hang-up reaches the peer).
    virtual void Flush(int timeoutMs) = 0;
    // The round trip the system measures on the connection, in microseconds; -1 when
    // there is no connection or the system does not say.
    virtual int64_t RoundTripUs() const { return -1; }

    // Events.
    std::function<void(intptr_t requestID)> ConnectionRequest;
    std::function<void(int64_t bytes)> DataArrival;
    std::function<void(int64_t sent, int64_t remaining)> SendProgress;
    std::function<void()> Disconnected;  // the peer went away or the connection broke
};

}  // namespace keyvane
