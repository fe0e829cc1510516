// What happened on the link and in file transfer, as fields a view can act on. The
// status lines stay the users' texts; an event says the same for a program, so that
// nobody has to read a status line back. An event that a status or chat line reports too
// comes just before that line, so a view can show the two as one.
#pragma once

#include <cstdint>
#include <string>

namespace keyvane {

struct ViewEvent {
    enum class Kind : uint8_t {
        Waiting,         // listening; text: the port text
        Connecting,      // text: the address connected to
        Connected,       // client: the connection is up; host: the peer's "IP:" came.
                         // text: the peer's address
        Lost,            // the connection broke without a hang-up
        PeerHungUp,      // the peer's "XX:" came
        KeySent,         // text: the key
        KeyReceived,     // text: the key
        KeyWritten,      // text: the key file's name as the status line shows it
        ChatSent,        // text: the line as typed
        ChatReceived,    // text: the line as it came
        SystemSet,       // a set starts; count: its files
        SystemSetShort,  // a set ended before its last file went
        FileSending,     // path: the file; bytes: its length
        FileSent,        // path, bytes
        FileNotSent,     // a file asked for did not go, or not completely; path
        FileReceiving,   // text: the name it is saved under; path: where
        FileReceived,    // text, path, bytes, verdict
        FileNotReceived  // text: the name; nothing or only a part of it is there
    };
    // How a received file came: as sent (Plain), checked against the sender's hash over
    // the secure channel (Verified), or not as sent (Damaged).
    enum class Verdict : uint8_t { Plain, Verified, Damaged };

    Kind kind{};
    std::string text{};  // Windows-1252, as the window would show it
    std::string path{};  // a native path (UTF-8)
    int64_t bytes = 0;
    int count = 0;
    Verdict verdict = Verdict::Plain;
};

}  // namespace keyvane
