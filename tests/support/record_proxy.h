// TCP proxies on 127.0.0.1 for attacks on the secure channel, on the Qt event loop of the
// test's thread, one connection at a time.
//
// RecordProxy passes bytes on and knows the channel's framing: the handshake's three
// messages in the clear, then per direction the stream's 24-byte header and records of
// a 3-byte big-endian length and that many bytes. A test may change each read before
// the stream starts and each whole record after, insert bytes of its own, and cut or
// hang up after a given record.
//
// MitmProxy runs a handshake of its own with each side (a client to the host, a host to
// the client), sends its own hello to each, and passes every later record on, opened
// with one side's keys and sealed again with the other's.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "secure/Secure.h"
#include "support/tempdir.h"

namespace keyvane::test {

// Accepts the client, connects to the host, and hands what each side sends to the
// subclass. Both ends are closed together.
class ProxyLink : public QObject {
  public:
    enum Direction { kToHost = 0, kToClient = 1 };
    explicit ProxyLink(int hostPort);
    ~ProxyLink() override;
    int Port() const { return port_; }
    // Every byte written to a side, in order.
    const std::string& Log(Direction d) const { return log_[d]; }
    bool Connected() const { return client_ && host_ && !ending_; }
    // Both ends reset at once, or closed in order after what was written.
    void Cut();
    void HangUp();
    // Writes to a side now.
    void Write(Direction d, const std::string& bytes);

  protected:
    // What the sender of direction `d` sent next.
    virtual void Take(Direction d, std::string bytes) = 0;

  private:
    void OnNewConnection();
    void Read(Direction d);

    QTcpServer server_;
    QPointer<QTcpSocket> client_, host_;
    std::array<std::string, 2> log_;
    std::array<std::string, 2> early_;  // the client's bytes before the host answered
    int hostPort_;
    int port_ = 0;
    bool hostUp_ = false;
    bool ending_ = false;
};

class RecordProxy : public ProxyLink {
  public:
    static constexpr size_t kNever = std::numeric_limits<size_t>::max();
    explicit RecordProxy(int hostPort) : ProxyLink(hostPort) {}

    // A read before the stream starts; returns what goes on instead (empty: dropped).
    std::function<std::string(Direction, const std::string& read)> onClear;
    // A whole record (with its length), counted from 0 (the hello) per direction;
    // returns what goes on instead.
    std::function<std::string(Direction, size_t index, const std::string& record)> onRecord;
    // After record `index` of `d` went on: the connection is cut, or hung up in order.
    void CutAfter(Direction d, size_t index) { dir_[d].cutAfter = index; }
    void HangUpAfter(Direction d, size_t index) { dir_[d].hangUpAfter = index; }

    // Whole records that came in a direction.
    size_t Records(Direction d) const { return dir_[d].records; }
    // The stream of `d` began (the handshake is over in that direction).
    bool Streaming(Direction d) const { return dir_[d].streamAt != std::string::npos; }

  protected:
    void Take(Direction d, std::string bytes) override;

  private:
    struct Dir {
        std::string seen;  // everything the sender sent
        size_t streamAt = std::string::npos;
        size_t next = 0;  // offset in `seen` of what is not passed on yet
        size_t records = 0;
        size_t cutAfter = kNever, hangUpAfter = kNever;
    };
    std::array<Dir, 2> dir_;
};

class MitmProxy : public ProxyLink {
  public:
    explicit MitmProxy(int hostPort);
    // The code each side's handshake gave (empty until it is done).
    std::string CodeWithHost() const;
    std::string CodeWithClient() const;
    // Plain text of the records passed on (hellos left out), per direction.
    std::vector<std::string> seen[2];

  protected:
    void Take(Direction d, std::string bytes) override;

  private:
    void FromClient();
    void FromHost();
    void Relay(Direction d);

    TempDir dir_;
    secure::Identity identity_;
    std::string address_;  // the client's address text, from its "IP:"
    std::array<std::string, 2> buf_;
    std::unique_ptr<secure::Handshake> withHost_, withClient_;
    // Index by direction: what comes from the sender and goes to the receiver of `d`.
    std::array<std::unique_ptr<secure::Opener>, 2> open_;
    std::array<std::unique_ptr<secure::Sealer>, 2> seal_;
    std::array<bool, 2> helloSkipped_{};
};

}  // namespace keyvane::test
