// The main window's state variables, shared by every handler that runs on it.
#pragma once

#include <cstdint>
#include <string>

namespace keyvane {

struct MainState {
    bool IsConnected = false;
    bool IsHost = false;
    bool IsClient = false;
    std::string PortStr;  // port text from port.dat
    std::string Recv;     // AppFolder + "Recv/"
    int32_t CurrentBlock = 0;
    bool FileInProgress = false;
    bool ClientRecv = false;
    int32_t nb = 0;
    int32_t rm = 0;
    bool SystemTransferInProgress = false;
    int16_t stmax = 0;
    bool FBRMSent = false;
};

}  // namespace keyvane
