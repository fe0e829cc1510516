// The connection's state, which the link changes and the window and the peer read. What
// a transfer is at is file transfer's own (transfer/FileTransfer.h).
#pragma once

#include <cstdint>
#include <string>

namespace keyvane {

// Which side of the connection this is: the one that waited or the one that connected.
enum class Role : uint8_t { None, Host, Client };

struct MainState {
    bool IsConnected = false;
    Role role = Role::None;
    std::string PortStr;  // port text from port.dat

    bool IsHost() const { return role == Role::Host; }
    bool IsClient() const { return role == Role::Client; }
};

}  // namespace keyvane
