// A peer that knows the wire's eight messages and nothing else, for tests: one read is
// one message outside a file, a file's reads are joined up to a read that ends in "|",
// a file goes "FL:", a pause, then one block per "OK:". Host or client. It records every
// message it gets; a read it cannot take as one of the eight (an unknown tag, a block
// of the wrong size, two messages glued together) is kept apart for the test to judge.
// Raw, it only keeps what arrives and sends what the test writes, as a hostile peer or
// the other end of a socket under test.
#pragma once

#include <QTcpServer>
#include <QTcpSocket>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cipher/sdk.h"
#include "support/tempdir.h"

namespace keyvane::test {

class PlainPeer {
  public:
    enum class Mode { Plain, Raw };
    // Both addresses are 127.0.0.1, as the program under test is told.
    explicit PlainPeer(Mode mode = Mode::Plain, int pauseMs = 300);
    ~PlainPeer();
    PlainPeer(const PlainPeer&) = delete;
    PlainPeer& operator=(const PlainPeer&) = delete;

    // Host: listens on `port` of 127.0.0.1 (a free one if 0) for one peer; the port, or
    // 0 when it cannot.
    int Listen(int port = 0);
    // Client: connects, sends "IP:" and builds the key files. False when it cannot.
    bool Connect(int port, int timeoutMs = 5000);

    void SendKey(const std::string& digits);
    void SendChat(const std::string& line);
    // "FL:" now, the first block after the pause, the next one on each "OK:".
    void SendFile(const std::string& name, const std::string& bytes);
    bool SendingFile() const { return sending_ != nullptr; }
    void HangUp();     // "XX:" and close
    void HalfClose();  // its end closes once what it wrote went
    void Reset();      // its end goes at once

    // The bytes as they are, and whether they all left.
    void Write(const std::string& bytes);
    bool Flushed() const;
    std::string Encipher(std::string text) { return Cipher(std::move(text), true); }
    // A block, and a file's closing message, as a sender of `plain` sends them.
    std::string Block(const std::string& plain) { return "FB:" + Encipher(plain) + "|"; }
    std::string End(const std::string& rest) { return "FB:RM:" + Encipher(rest) + "|"; }

    bool Keyed() const { return keyed_; }
    bool Connected() const;

    std::vector<std::string> tags;             // tag of every message taken, in order
    std::vector<std::string> oddReads;         // reads that were none of the eight
    std::vector<std::string> chats;            // deciphered chat lines
    std::vector<std::string> keys;             // deciphered keys
    std::map<std::string, std::string> files;  // received and closed: name -> bytes
    int filesSent = 0;                         // files whose last message went out
    bool peerHungUp = false;
    std::string received;       // every byte that came, as it came
    bool disconnected = false;  // the connection ended, either way

  private:
    struct Outgoing {
        std::string bytes;
        size_t next = 0;  // offset of the next block
        bool started = false;
    };
    void Adopt(QTcpSocket* s);
    void OnRead();
    void Take(const std::string& message);
    void Odd(const std::string& read) { oddReads.push_back(read); }
    void BuildKeys(const std::string& hostIP, const std::string& clientIP, bool host);
    void SendNextBlock();
    std::string Cipher(std::string text, bool encipher);

    TempDir dir_;
    SDK sdk_;
    QTcpServer server_;
    std::unique_ptr<QTcpSocket> sock_;
    Mode mode_;
    int pauseMs_;
    bool host_ = false;
    bool keyed_ = false;
    bool receiving_ = false;
    std::string recvName_, recvData_, recvBuffer_;
    std::unique_ptr<Outgoing> sending_;
};

}  // namespace keyvane::test
