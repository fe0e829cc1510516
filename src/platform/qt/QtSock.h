// The socket control over QTcpServer and QTcpSocket: one listening server or one
// connection at a time. Low delay is set on every connection.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include "platform/sock.h"

namespace keyvane {

class QtSock : public QObject, public Sock {
    Q_OBJECT
public:
    explicit QtSock(QObject* parent = nullptr);
    ~QtSock() override;

    std::string LocalIP() const override;
    int State() const override;
    void Listen() override;
    void Connect(const std::string& host, const std::string& port) override;
    void Accept(intptr_t requestID) override;
    void SendData(const std::string& bytes) override;
    std::string GetData() override;
    void Close() override;
    void Flush(int timeoutMs) override;

private:
    QTcpServer* server_ = nullptr;
    QPointer<QTcpSocket> socket_;
};

}  // namespace keyvane
