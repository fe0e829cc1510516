// The socket control over QTcpServer and QTcpSocket: one listening server or one
// connection at a time. Low delay is set on every connection.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <map>

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
    void Close() override;
    void Flush(int timeoutMs) override;

    // The port the server actually listens on (0 when not listening).
    int ListeningPort() const;

  private:
    void OnNewConnection();
    void Adopt(QTcpSocket* s);
    void Release(QTcpSocket* s);  // lets go of a connection, closing it gently
    void OnChannelReadyRead(int channel);
    void QueueArrival();
    void RaiseDataArrival();
    void OnConnected();
    void OnError();
    void OnLost();

    QTcpServer* server_ = nullptr;
    QPointer<QTcpSocket> socket_;
    std::map<intptr_t, QPointer<QTcpSocket>> pending_;  // requests not yet accepted
    intptr_t nextRequest_ = 1;
    bool failed_ = false;     // the last connection attempt failed
    bool connected_ = false;  // socket_ has been connected and not yet lost
    bool arrivalQueued_ = false;
    int dispatching_ = 0;  // DataArrival handlers running, nested ones included
};

}  // namespace keyvane
