// A TCP proxy on 127.0.0.1 that plays a slow link: every byte arrives a fixed delay
// after it was sent, optionally no faster than a capped rate, and either direction can
// be cut, hung up or have one byte flipped at a chosen byte count. A capped link queues
// what waits for the rate without bound, like a router that queues whatever comes, or
// at most a set number of bytes per direction, so the rest waits in the sender's socket.
// It runs on the Qt event loop of the thread it lives in (the test's, or a thread of its
// own with ProxyThread). One connection at a time.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <array>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <string>

namespace keyvane::test {

class DelayProxy : public QObject {
  public:
    enum Direction { kToTarget = 0, kFromTarget = 1 };  // client to target, target to client
    static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

    // Forwards to 127.0.0.1:targetPort; `oneWayMs` each way, so the round trip is twice
    // that. `bytesPerSecond` 0 for no cap; `queueBytes` bounds what waits for a capped
    // rate (bytes on their way, within the delay, are not counted), 0 for no bound.
    DelayProxy(int targetPort, int oneWayMs, double bytesPerSecond = 0, int64_t queueBytes = 0);
    ~DelayProxy() override;

    int Port() const { return port_; }

    // What happens to a direction once `at` bytes of it have been delivered: the
    // connection is cut (both ends reset at once), hung up (both ends closed in order),
    // or byte number `at` (from 0) is delivered with its bits flipped.
    void CutAt(Direction d, uint64_t at) { dir_[d].cutAt = at; }
    void HangUpAt(Direction d, uint64_t at) { dir_[d].hangUpAt = at; }
    void FlipAt(Direction d, uint64_t at) { dir_[d].flipAt = at; }

    uint64_t Delivered(Direction d) const { return dir_[d].delivered; }
    // The most that waited for the rate in a direction at once.
    int64_t PeakQueued(Direction d) const { return dir_[d].peakQueued; }
    bool Connected() const { return client_ && target_; }
    // Every byte delivered in a direction, in order (for tests that look at the wire).
    std::string Log(Direction d) const { return dir_[d].log; }
    bool keepLog = true;

  private:
    struct Piece {
        std::string bytes;
        int64_t dueUs = 0;
    };
    struct Dir {
        std::deque<Piece> queue;
        int64_t linkFreeUs = 0;  // when the capped link has sent what it holds
        uint64_t delivered = 0;
        int64_t peakQueued = 0;
        uint64_t cutAt = kNever, hangUpAt = kNever, flipAt = kNever;
        std::string log;
        bool closing = false;  // its sender closed: hang up once the queue is delivered
    };

    void OnNewConnection();
    void Take(Direction d, QTcpSocket* from);
    void Release();
    void Arm();
    void Deliver(Direction d, std::string bytes);
    void Cut();
    void HangUp();
    void CloseWhenDrained(Direction d);
    QTcpSocket* Source(int d) const;  // the end that sends in direction d
    // Everything its sender sent is delivered.
    bool Drained(Direction d) const;
    // Bytes of a direction still waiting for the capped rate.
    int64_t Backlog(Direction d, int64_t nowUs) const;
    int64_t NowUs() const { return clock_.nsecsElapsed() / 1000; }

    QTcpServer server_;
    QPointer<QTcpSocket> client_, target_;
    QTimer timer_;
    QElapsedTimer clock_;
    std::array<Dir, 2> dir_;
    int targetPort_;
    int64_t delayUs_;
    double rate_;
    int64_t queueLimit_;
    int port_ = 0;
    bool ending_ = false;    // the connection is being cut or hung up
    bool targetUp_ = false;  // the target took the connection
};

// A proxy living in a thread of its own, for callers that block their own thread.
class ProxyThread {
  public:
    ProxyThread(int targetPort, int oneWayMs, double bytesPerSecond = 0, int64_t queueBytes = 0);
    ~ProxyThread();
    int Port() const { return port_; }

  private:
    QThread thread_;
    DelayProxy* proxy_ = nullptr;
    int port_ = 0;
};

}  // namespace keyvane::test
