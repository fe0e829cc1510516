// One side of a link over the shared fakes: a session with its own program folder.
#pragma once

#include <memory>
#include <string>

#include "cipher/sdk.h"
#include "link/MainState.h"
#include "link/Session.h"
#include "platform/files.h"
#include "support/fakes.h"
#include "support/tempdir.h"

namespace keyvane::test {

// One side of a connection over a fake socket, with its own program folder.
struct FakePeer {
    TempDir dir;
    MainState st;
    FakeView view;
    SDK sdk;
    FakePlatform plat;
    FakeSock sock;
    HookedReceiver files;
    std::unique_ptr<Session> session;

    FakePeer() {
        sdk.AppFolder = dir.path();
        // These tests pin the plain protocol; fast transfers have tests of their own.
        WriteTextLines(dir.file("settings.dat"), {"FastTransfers=off"});
        st.PortStr = "7777";
        session = std::make_unique<Session>(st, view, sdk, plat.p, sock);
        session->Attach(&files);
    }

    // A host that accepted a client at 10.0.0.2 and built its key files.
    void BecomeConnectedHost(const std::string& clientIP = "10.0.0.2") {
        session->WaitForConnect();
        sock.ConnectionRequest(1);
        sock.Receive("IP:" + clientIP);
    }

    // A client that connected to 10.0.0.1 and built its key files.
    void BecomeConnectedClient() {
        view.connect = "10.0.0.1";
        sock.stateAfterConnect = Sock::sckConnected;
        session->Connect();
    }

    // Enciphers with this side's key files, as the peer (holding the same ones) would.
    std::string Encipher(std::string text) {
        sdk.EncryptString(text);
        return text;
    }
    std::string Decipher(std::string text) {
        sdk.DecryptString(text);
        return text;
    }
};

}  // namespace keyvane::test
