// Two peers in one process, connected over 127.0.0.1: each with its own program
// folder, cipher, session and file transfer, a recording view and a scripted platform.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QThread>
#include <QTime>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cipher/sdk.h"
#include "link/MainState.h"
#include "link/MainView.h"
#include "link/Session.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/qt/QtSock.h"
#include "support/tempdir.h"
#include "support/windows.h"
#include "transfer/FileTransfer.h"

namespace keyvane::transfer_test {

class RecordingView : public MainView {
  public:
    void UpdateList(const std::string& line) override {
        list.push_back(line);
        if (onLine) onLine(line);
    }
    void UpdateChatList(const std::string& line) override { chat.push_back(line); }
    std::string IPText() const override { return "127.0.0.1"; }
    std::string ConnectText() const override { return connect; }
    void SetConnectText(const std::string& text) override { connect = text; }
    std::string KeyText() const override { return key; }
    void SetKeyText(const std::string& text) override { key = text; }
    std::string ChatText() const override { return chatText; }
    void SetChatText(const std::string& text) override { chatText = text; }
    void SetSendButtonsEnabled(bool enabled) override { sendEnabled = enabled; }
    void ShowProgress(bool visible) override { progressVisible = visible; }
    void SetProgress(int percent) override {
        progress.push_back(percent);
        if (onProgress) onProgress(percent);
    }
    void SetHourglass(bool busy) override { hourglass = busy; }
    void BumpSentBar() override { ++sentBars; }
    void BumpRecvBar() override { ++recvBars; }
    int SelectedVersion() const override { return version; }

    bool Has(const std::string& line) const {
        return std::find(list.begin(), list.end(), line) != list.end();
    }
    int Count(const std::string& line) const {
        return static_cast<int>(std::count(list.begin(), list.end(), line));
    }

    std::vector<std::string> list, chat;
    std::vector<int> progress;
    std::string connect, key, chatText;
    bool sendEnabled = false, progressVisible = false, hourglass = false;
    int sentBars = 0, recvBars = 0, version = 0;
    std::function<void(const std::string&)> onLine;
    std::function<void(int)> onProgress;
};

// The socket between the session and the real one: records what is sent, and can cut
// what arrives into other reads before the session sees it.
class TapSock : public Sock {
  public:
    TapSock() {
        inner.ListenAddress = "127.0.0.1";
        inner.ConnectionRequest = [this](intptr_t id) {
            if (ConnectionRequest) ConnectionRequest(id);
        };
        inner.DataArrival = [this](int64_t) { Arrived(inner.GetData()); };
        inner.SendProgress = [this](int64_t s, int64_t r) {
            if (SendProgress) SendProgress(s, r);
        };
        inner.Disconnected = [this] {
            if (Disconnected) Disconnected();
        };
    }
    int State() const override { return inner.State(); }
    void Listen() override {
        inner.LocalPort = LocalPort;
        inner.Listen();
    }
    void Connect(const std::string& host, const std::string& port) override {
        inner.Connect(host, port);
    }
    void Accept(intptr_t id) override { inner.Accept(id); }
    void SendData(const std::string& bytes) override {
        sent.push_back(bytes.substr(0, 6));
        sentSizes.push_back(bytes.size());
        inner.SendData(bytes);
    }
    std::string GetData() override { return std::exchange(pending_, std::string()); }
    void Close() override { inner.Close(); }
    void Flush(int ms) override { inner.Flush(ms); }

    // Cuts one arriving read into the reads the session gets; default: unchanged.
    std::function<std::vector<std::string>(const std::string& read)> cut;

    std::vector<std::string> sent;  // first six bytes of every message sent
    std::vector<size_t> sentSizes;
    QtSock inner;

  private:
    void Arrived(const std::string& data) {
        if (data.empty()) return;
        const std::vector<std::string> reads = cut ? cut(data) : std::vector<std::string>{data};
        for (const std::string& r : reads) {
            pending_ = r;
            if (DataArrival) DataArrival(static_cast<int64_t>(r.size()));
        }
    }
    std::string pending_;
};

// Lets events run until `done` holds; gives up after `maxMs` so a broken transfer fails
// the test instead of hanging it.
inline bool RunUntil(const std::function<bool()>& done, int maxMs = 60000) {
    QElapsedTimer t;
    t.start();
    QTimer tick;  // wakes the wait now and then to look at the clock
    tick.start(50);
    while (!done()) {
        if (t.elapsed() > maxMs) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

struct Peer {
    explicit Peer(bool realClock = false) {
        std::filesystem::create_directories(dir.file("app/Recv"));
        sdk.AppFolder = dir.file("app/");
        st.Recv = sdk.AppFolder + "Recv/";
        platform.MsgBox = [this](const std::string& text) { boxes.push_back(text); };
        platform.ConfirmBox = [this](const std::string& text) {
            confirmations.push_back(text);
            return confirmAnswer;
        };
        platform.OpenFileName = [this] { return openFileName; };
        platform.PickProductPath = [this] { return pick ? pick() : std::string(); };
        if (realClock) {
            platform.TimeText = [] {
                return QTime::currentTime().toString("HH:mm:ss").toStdString();
            };
        } else {
            // Every reading is a new second, so Pause returns at once.
            platform.TimeText = [this] {
                const int s = ++clock_ % 86400;
                char buf[16];
                std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
                return std::string(buf);
            };
        }
        platform.LocalIP = [] { return std::string("127.0.0.1"); };
        platform.DoEvents = [] { QCoreApplication::processEvents(); };
        platform.WaitForEvents = [](int ms) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, ms);
        };
        platform.Sleep = [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); };
        platform.EndProgram = [this] { ++ended; };
        session = std::make_unique<Session>(st, view, sdk, platform, sock);
        transfer = std::make_unique<FileTransfer>(*session);
    }
    ~Peer() {
        transfer.reset();
        session.reset();
    }

    std::string Recv(const std::string& name) const { return st.Recv + name; }
    bool Idle() const { return !transfer->Busy() && !view.hourglass; }

    test::TempDir dir;
    MainState st;
    RecordingView view;
    SDK sdk;
    Platform platform;
    TapSock sock;
    std::unique_ptr<Session> session;
    std::unique_ptr<FileTransfer> transfer;

    std::vector<std::string> boxes, confirmations;
    bool confirmAnswer = true;
    std::string openFileName;
    std::function<std::string()> pick;
    int ended = 0;

  private:
    int clock_ = 0;
};

// "Wait for Connect" on the host, "Connect" on the client, and the handshake.
inline void ConnectPeers(Peer& host, Peer& client) {
    host.st.PortStr = client.st.PortStr = std::to_string(test::FreePort());
    host.session->WaitForConnect();
    client.view.connect = "127.0.0.1";
    client.session->Connect();
    ASSERT_TRUE(client.st.IsConnected);
    ASSERT_TRUE(RunUntil([&] { return host.view.Has("Connected."); }));
}

inline std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

// Byte-for-byte comparison that reports sizes and the first difference, not the bytes.
inline ::testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                         << ", first difference at " << i;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    TextWriter w(path);
    w.Write(bytes);
    w.Close();
}

}  // namespace keyvane::transfer_test
