// One side of a connection over a real socket on 127.0.0.1, in this process: its own
// program folder, cipher, session, file transfer and system-file set, a recording view,
// and platform hooks on Qt's event loop that give a person's answers. Two of them talk
// as two windows of one process would, straight or through a proxy.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cipher/sdk.h"
#include "link/MainState.h"
#include "link/Session.h"
#include "platform/platform.h"
#include "platform/qt/QtSock.h"
#include "support/events.h"
#include "support/fakes.h"
#include "support/tempdir.h"
#include "sysfiles/SystemFiles.h"
#include "transfer/FileTransfer.h"

namespace keyvane::test {

// Gives a transfer a minute: a broken one fails the test instead of hanging it.
inline bool RunUntil(const std::function<bool()>& done, int maxMs = 60000) {
    return WaitUntil(done, maxMs);
}

class LoopPeer {
  public:
    // Speaks the plain protocol unless `fastTransfers`. Unless `realClock`, every reading
    // of the time is a new second, so a pause is over at its second tick.
    explicit LoopPeer(bool realClock = false, bool fastTransfers = false);
    ~LoopPeer();
    LoopPeer(const LoopPeer&) = delete;
    LoopPeer& operator=(const LoopPeer&) = delete;

    int Port() const { return std::stoi(st.PortStr); }
    // "Connect" to 127.0.0.1 at `port`.
    void ConnectTo(int port);
    // The program ends at once: no more turns of its event loop, and its socket goes.
    void Vanish();

    std::string Recv(const std::string& name) const { return transfer->State().Recv + name; }
    bool Idle() const { return !transfer->Busy() && !view.hourglass; }
    std::string Encipher(std::string text);

  private:
    std::unique_ptr<QtSock> ownNet_ = std::make_unique<QtSock>();
    std::unique_ptr<FakeSock> ownSock_ = std::make_unique<FakeSock>(*ownNet_);
    int clock_ = 0;

  public:
    TempDir dir;
    MainState st;
    FakeView view;
    SDK sdk;
    Platform platform;
    QtSock& net = *ownNet_;
    FakeSock& sock = *ownSock_;  // records the first six bytes of every message
    std::unique_ptr<Session> session;
    std::unique_ptr<FileTransfer> transfer;
    std::unique_ptr<SystemFiles> systemFiles;

    std::vector<std::string> boxes, confirmations;
    bool confirmAnswer = true;
    std::string openFileName;
    std::function<std::string()> pick;
    int ended = 0;
};

// "Wait for Connect" on the host, "Connect" on the client, and the handshake. Straight,
// both on a free port; or to `via`, a proxy in front of the host's port.
void ConnectPeers(LoopPeer& host, LoopPeer& client, int via = 0);

// A host with a proxy in front of it (made with `args` after the host's port), and a
// client that connects through it.
template <class Proxy>
struct ProxiedPair {
    template <class... Args>
    explicit ProxiedPair(Args... args) {
        host.st.PortStr = std::to_string(FreePort());
        proxy = std::make_unique<Proxy>(host.Port(), args...);
    }
    void Connect() { ConnectPeers(host, client, proxy->Port()); }
    bool BothGone() const { return !host.st.IsConnected && !client.st.IsConnected; }

    LoopPeer host{false, true}, client{false, true};
    std::unique_ptr<Proxy> proxy;
};

// Byte-for-byte comparison that reports sizes and the first difference, not the bytes.
::testing::AssertionResult SameBytes(const std::string& got, const std::string& want);

}  // namespace keyvane::test
