// The socket control: one listening server or one connection at a time, low delay set
// on every connection. Qt listens and resolves names; the connection itself runs on the
// system's socket under Qt's notifiers, so a message costs one read and one send.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/ReplyWait.h"
#include "platform/sock.h"

namespace keyvane {

class QtSock : public QObject, public Sock {
    Q_OBJECT
  public:
    explicit QtSock(QObject* parent = nullptr);
    ~QtSock() override;

    // Address Listen binds to; empty for every address of the machine.
    std::string ListenAddress;

    int State() const override;
    void Listen() override;
    void Connect(const std::string& host, const std::string& port) override;
    void Accept(intptr_t requestID) override;
    void SendData(const std::string& bytes) override;
    std::string GetData() override;
    size_t Queued() const override;
    void Close() override;
    void Flush(int timeoutMs) override;
    int64_t RoundTripUs() const override;

    // The system's descriptor of the connection, -1 without one.
    int Descriptor() const;

    // How long to watch for the peer's answer after answering it, before the event loop
    // may sleep; 0 never watches.
    int64_t ReplyWaitUs = ReplyWait::kUs;

  private:
    class Listener;
    class Conn;

    void OnIncoming(int fd);
    void Adopt(Conn* c);
    void Release();  // lets go of the connection, closing it gently
    void TryNextAddress();
    void OnConnectDone(int error);
    bool SendMore(Conn* c);  // from the queue; false when the connection failed
    void OnReadable();
    void AwaitReply(Conn* c);
    void QueueArrival();
    void RaiseDataArrival();
    void OnLost();

    Listener* server_ = nullptr;
    Conn* conn_ = nullptr;             // the connection, or the attempt being made
    uint64_t serial_ = 0;              // counts attempts, so late answers are known as such
    std::map<intptr_t, int> pending_;  // requests not yet accepted: their descriptors
    intptr_t nextRequest_ = 1;
    int lookup_ = -1;                      // the name being resolved
    std::vector<QHostAddress> addresses_;  // addresses still to try, and the port
    quint16 port_ = 0;
    bool failed_ = false;  // the last connection attempt failed
    bool arrivalQueued_ = false;
    int dispatching_ = 0;  // DataArrival handlers running, nested ones included
    uint64_t sends_ = 0;   // SendData calls that left nothing waiting
    ReplyWait replyWait_;
};

}  // namespace keyvane
