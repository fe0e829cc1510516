// The main window's state variables, shared by every handler that runs on it. Flags
// that used to be set one by one are held as one role and one phase per direction, so
// they cannot contradict each other; the old names read them.
#pragma once

#include <cstdint>
#include <string>

namespace keyvane {

// Which side of the connection this is: the one that waited or the one that connected.
enum class Role : uint8_t { None, Host, Client };

enum class SendPhase : uint8_t {
    Idle,
    Announcing,  // "FL:" went out; the first block follows the pause
    Sending,     // blocks go out, one per "OK:"
    LastSent,    // the first message was already the closing "FB:RM:"; its "OK:" ends the file
};

enum class RecvPhase : uint8_t {
    Idle,
    Receiving,   // between "FL:" and "FB:RM:"
    Discarding,  // the file could not be written; the rest is only acknowledged
};

// What file transfer reads and writes.
struct TransferState {
    std::string Recv;  // AppFolder + "Recv/"
    int32_t CurrentBlock = 0;
    int32_t nb = 0;
    int32_t rm = 0;
    bool SystemTransferInProgress = false;  // a set runs, also between its files
    int16_t stmax = 0;
    SendPhase sendPhase = SendPhase::Idle;
    RecvPhase recvPhase = RecvPhase::Idle;

    // An "OK:" is awaited.
    bool FileInProgress() const {
        return sendPhase == SendPhase::Sending || sendPhase == SendPhase::LastSent;
    }
    bool FBRMSent() const { return sendPhase == SendPhase::LastSent; }
    // File-receive mode: reads are joined up to "|".
    bool ClientRecv() const { return recvPhase != RecvPhase::Idle; }
};

struct MainState : TransferState {
    bool IsConnected = false;
    Role role = Role::None;
    std::string PortStr;  // port text from port.dat

    bool IsHost() const { return role == Role::Host; }
    bool IsClient() const { return role == Role::Client; }
};

}  // namespace keyvane
