// The main window's logic: the connection and its end, the receive dispatcher, key and
// chat sending. It works on the window's state and view and can be driven by tests
// without a window.
#pragma once

#include <functional>
#include <string>

#include "app/MainState.h"
#include "app/MainView.h"
#include "cipher/sdk.h"
#include "platform/platform.h"
#include "platform/sock.h"

namespace keyvane {

class Session {
public:
    Session(MainState& st, MainView& view, SDK& sdk, Platform& platform, Sock& sock);

    // Buttons and menu commands.
    void WaitForConnect();  // Command1
    void Connect();         // Command2
    void SendKey();         // Command3
    void SendChatLine();    // Command5 and Enter in txtChat
    void Exit();            // File > Exit
    void CloseMain();       // the main window is closing

    // Builds the key files for this connection and enables the three Send buttons.
    void GenerateKeys();

    // Socket events.
    void OnConnectionRequest(intptr_t requestID);
    void OnDataArrival();
    void OnDisconnected();

    // Waits until the clock's seconds have changed `secs` times, letting events through
    // once per change.
    void Pause(int secs);

    // Sends one message; on failure reports "You are not connected." and returns false.
    bool Send(const std::string& message);

    // File transfer attaches its handlers here (see transfer/FileTransfer).
    struct FileHooks {
        std::function<void(const std::string& payload)> OnFL;
        std::function<void(const std::string& message)> OnFB;  // "FB:..." without "|"
        std::function<void()> OnOK;
        std::function<void()> OnSendProgress;
        std::function<void()> OnConnectionLost;
    };
    FileHooks files;

    MainState& st;
    MainView& view;
    SDK& sdk;
    Platform& platform;
    Sock& sock;
};

}  // namespace keyvane
