#include "support/loop_peer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTime>
#include <QTimer>
#include <cstdio>
#include <filesystem>

#include "platform/files.h"

namespace keyvane::test {

LoopPeer::LoopPeer(bool realClock, bool fastTransfers) {
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
        platform.TimeText = [] { return QTime::currentTime().toString("HH:mm:ss").toStdString(); };
    } else {
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

LoopPeer::~LoopPeer() {
    systemFiles.reset();
    transfer.reset();
    session.reset();
}

void LoopPeer::ConnectTo(int port) {
    st.PortStr = std::to_string(port);
    view.connect = "127.0.0.1";
    session->Connect();
}

void LoopPeer::Vanish() {
    systemFiles.reset();
    transfer.reset();
    session.reset();
    ownSock_.reset();
    ownNet_.reset();
}

std::string LoopPeer::Encipher(std::string text) {
    sdk.EncryptString(text);
    return text;
}

void ConnectPeers(LoopPeer& host, LoopPeer& client, int via) {
    if (!via) host.st.PortStr = std::to_string(FreePort());
    const int connected = host.view.Count("Connected.");
    host.session->WaitForConnect();
    client.ConnectTo(via ? via : host.Port());
    ASSERT_TRUE(RunUntil([&] { return client.st.IsConnected; }));
    ASSERT_TRUE(RunUntil([&] { return host.view.Count("Connected.") > connected; }));
}

::testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                         << ", first difference at " << i;
}

}  // namespace keyvane::test
