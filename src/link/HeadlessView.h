// A main window without a screen: the boxes the logic reads and fills are plain
// strings, and what only a screen shows does nothing. The console, the tests and the
// tools start from here and keep what they need.
#pragma once

#include <string>

#include "link/MainView.h"

namespace keyvane {

class HeadlessView : public MainView {
  public:
    std::string ip, connect, key, chatText;  // txtIP, txtConnect, txtKey, txtChat
    int version = 0;                         // the selected system-file version

    void UpdateList(const std::string& /*line*/) override {}
    void UpdateChatList(const std::string& /*line*/) override {}
    std::string IPText() const override { return ip; }
    std::string ConnectText() const override { return connect; }
    void SetConnectText(const std::string& text) override { connect = text; }
    std::string KeyText() const override { return key; }
    void SetKeyText(const std::string& text) override { key = text; }
    std::string ChatText() const override { return chatText; }
    void SetChatText(const std::string& text) override { chatText = text; }
    void SetSendButtonsEnabled(bool /*enabled*/) override {}
    void ShowProgress(bool /*visible*/) override {}
    void SetProgress(int /*percent*/) override {}
    void SetHourglass(bool /*busy*/) override {}
    void BumpSentBar() override {}
    void BumpRecvBar() override {}
    int SelectedVersion() const override { return version; }
};

}  // namespace keyvane
