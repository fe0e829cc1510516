// Stand-ins for the parts other branches build, so that this branch links and its
// windows can be driven on their own. Delete this file when the branches come together.
#include "cipher/sdk.h"
#include "link/Session.h"
#include "platform/qt/QtSock.h"

// Tests look for this to skip what only the joined program can do.
extern "C" const bool keyvane_gui_branch_stubs = true;

namespace keyvane {

Session::Session(MainState& st, MainView& view, SDK& sdk, Platform& platform, Sock& sock)
    : st(st), view(view), sdk(sdk), platform(platform), sock(sock) {}
void Session::WaitForConnect() {}
void Session::Connect() {}
void Session::SendKey() {}
void Session::SendChatLine() {}
void Session::Exit() {}
void Session::CloseMain() {}
void Session::GenerateKeys() {}
void Session::OnConnectionRequest(intptr_t) {}
void Session::OnDataArrival() {}
void Session::OnDisconnected() {}
void Session::Pause(int) {}
bool Session::Send(const std::string&) {
    return false;
}

QtSock::QtSock(QObject* parent) : QObject(parent) {}
QtSock::~QtSock() = default;
std::string QtSock::LocalIP() const {
    return "127.0.0.1";
}
int QtSock::State() const {
    return sckClosed;
}
void QtSock::Listen() {}
void QtSock::Connect(const std::string&, const std::string&) {}
void QtSock::Accept(intptr_t) {}
void QtSock::SendData(const std::string&) {}
std::string QtSock::GetData() {
    return {};
}
void QtSock::Close() {}
void QtSock::Flush(int) {}

}  // namespace keyvane
