// Stand-ins for the window, the socket and the platform, so the link logic runs without
// a window or a network, and a test can read what the user would have seen.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cipher/sdk.h"
#include "link/MainState.h"
#include "link/MainView.h"
#include "link/Session.h"
#include "platform/platform.h"
#include "platform/sock.h"
#include "support/tempdir.h"

namespace keyvane::test {

class FakeView : public MainView {
  public:
    std::vector<std::string> status, chat;
    std::string ip = "127.0.0.1", connect, key, chatText;
    bool sendEnabled = false, progressVisible = false, hourglass = false;
    int progress = 0, sentBar = 0, recvBar = 0, version = 0;

    void UpdateList(const std::string& l) override { status.push_back(l); }
    void UpdateChatList(const std::string& l) override { chat.push_back(l); }
    std::string IPText() const override { return ip; }
    std::string ConnectText() const override { return connect; }
    void SetConnectText(const std::string& t) override { connect = t; }
    std::string KeyText() const override { return key; }
    void SetKeyText(const std::string& t) override { key = t; }
    std::string ChatText() const override { return chatText; }
    void SetChatText(const std::string& t) override { chatText = t; }
    void SetSendButtonsEnabled(bool e) override { sendEnabled = e; }
    void ShowProgress(bool v) override { progressVisible = v; }
    void SetProgress(int p) override { progress = p; }
    void SetHourglass(bool b) override { hourglass = b; }
    void BumpSentBar() override { ++sentBar; }
    void BumpRecvBar() override { ++recvBar; }
    int SelectedVersion() const override { return version; }

    bool HasStatus(const std::string& l) const {
        for (auto& s : status)
            if (s == l) return true;
        return false;
    }
};

// A socket that records what the logic does with it; the test plays the peer.
class FakeSock : public Sock {
  public:
    int state = sckClosed;
    int stateAfterConnect = sckConnecting;
    std::optional<std::string> listenError;
    bool failSend = false;
    std::vector<std::string> sent;
    std::string incoming;
    std::vector<intptr_t> accepted;
    std::string connectHost, connectPort;
    int closes = 0, flushes = 0, listens = 0;

    int State() const override { return state; }
    void Listen() override {
        ++listens;
        if (listenError) throw SockError(*listenError);
        state = sckListening;
    }
    void Connect(const std::string& host, const std::string& port) override {
        connectHost = host;
        connectPort = port;
        state = stateAfterConnect;
    }
    void Accept(intptr_t id) override {
        accepted.push_back(id);
        state = sckConnected;
    }
    void SendData(const std::string& bytes) override {
        if (failSend || state != sckConnected) throw SockError("broken");
        sent.push_back(bytes);
    }
    std::string GetData() override { return std::exchange(incoming, {}); }
    void Close() override {
        ++closes;
        state = sckClosed;
    }
    void Flush(int) override { ++flushes; }

    // The peer's bytes arrive as one read.
    void Receive(const std::string& bytes) {
        incoming += bytes;
        if (DataArrival) DataArrival(static_cast<int64_t>(incoming.size()));
    }
};

// Platform hooks that answer at once and remember what was asked.
struct FakePlatform {
    Platform p;
    std::vector<std::string> boxes;
    std::string time = "14:30:05";
    std::function<void()> onSleep;  // e.g. moves the clock
    std::function<void()> onDoEvents;
    std::function<void(int)> onWait;
    int sleeps = 0, doEvents = 0, waits = 0, ends = 0;
    int64_t ms = 0;  // the steady clock: only a wait moves it

    FakePlatform() {
        p.MsgBox = [this](const std::string& t) { boxes.push_back(t); };
        p.TimeText = [this] { return time; };
        p.Sleep = [this](int) {
            ++sleeps;
            if (onSleep) onSleep();
        };
        p.DoEvents = [this] {
            ++doEvents;
            if (onDoEvents) onDoEvents();
        };
        p.MonotonicMs = [this] { return ms; };
        p.WaitForEvents = [this](int wait) {
            ++waits;
            ms += wait;
            if (onWait) onWait(wait);
        };
        p.EndProgram = [this] { ++ends; };
        p.LocalIP = [] { return std::string("127.0.0.1"); };
    }
};

// A file receiver whose handlers a test sets one by one; unset ones drop the message.
struct HookedReceiver : FileReceiver {
    std::function<void(const std::string&)> fl, fb;
    std::function<void()> ok, lost, broken;

    void OnFL(const std::string& payload) override {
        if (fl) fl(payload);
    }
    void OnFB(const std::string& message) override {
        if (fb) fb(message);
    }
    void OnOK() override {
        if (ok) ok();
    }
    void OnConnectionLost() override {
        if (lost) lost();
    }
    void OnBrokenBlock() override {
        if (broken) broken();
    }
};

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
        plat.onWait = [this](int) { sock.state = Sock::sckConnected; };
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
