// Two peers in one process, connected over 127.0.0.1: each with its own program
// folder, cipher, session and file transfer, a recording view and a scripted platform.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTime>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cipher/sdk.h"
#include "link/MainState.h"
#include "link/Session.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/qt/QtSock.h"
#include "support/events.h"
#include "support/fakes.h"
#include "support/tempdir.h"
#include "sysfiles/SystemFiles.h"
#include "transfer/FileTransfer.h"

namespace keyvane::transfer_test {

// Gives a transfer a minute: a broken one fails the test instead of hanging it.
inline bool RunUntil(const std::function<bool()>& done, int maxMs = 60000) {
    return test::WaitUntil(done, maxMs);
}

struct Peer {
    // Two peers speak the plain protocol unless `fastTransfers`.
    explicit Peer(bool realClock = false, bool fastTransfers = false) {
        net.ListenAddress = "127.0.0.1";
        sock.keep = 6;
        std::filesystem::create_directories(dir.file("app/Recv"));
        sdk.AppFolder = dir.file("app/");
        if (!fastTransfers) WriteTextLines(sdk.AppFolder + "settings.dat", {"FastTransfers=off"});
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
            // Every reading is a new second, so a pause is over at its second tick.
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
        platform.After = [](int ms, std::function<void()> fn) {
            QTimer::singleShot(ms, QCoreApplication::instance(), std::move(fn));
        };
        platform.EndProgram = [this] { ++ended; };
        session = std::make_unique<Session>(st, view, sdk, platform, sock);
        transfer = std::make_unique<FileTransfer>(*session, view, platform, sdk);
        transfer->SetReceiveFolder(sdk.AppFolder + "Recv/");
        systemFiles = std::make_unique<SystemFiles>(*session, *transfer, view, platform);
    }
    ~Peer() {
        systemFiles.reset();
        transfer.reset();
        session.reset();
    }

    std::string Recv(const std::string& name) const { return transfer->State().Recv + name; }
    bool Idle() const { return !transfer->Busy() && !view.hourglass; }

    test::TempDir dir;
    MainState st;
    test::FakeView view;
    SDK sdk;
    Platform platform;
    QtSock net;
    test::FakeSock sock{net};  // records the first six bytes of every message
    std::unique_ptr<Session> session;
    std::unique_ptr<FileTransfer> transfer;
    std::unique_ptr<SystemFiles> systemFiles;

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
    ASSERT_TRUE(RunUntil([&] { return client.st.IsConnected; }));
    ASSERT_TRUE(RunUntil([&] { return host.view.HasStatus("Connected."); }));
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
