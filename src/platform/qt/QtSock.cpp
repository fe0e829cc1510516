#include "platform/qt/QtSock.h"

#include <sys/socket.h>

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTimer>
#include <cerrno>

#include "platform/cp1252.h"
#include "platform/numbers.h"

namespace keyvane {

namespace {

// A read is at most this large, so a peer that floods the connection cannot make the
// program hold more than this much unread.
constexpr qint64 kReadBufferSize = 1 << 20;
// A connection we closed with data still going out is cut after this long.
constexpr int kLingerMs = 5000;

std::string PortError(int port, const std::string& why) {
    return "Unable to wait for a connection on port " + std::to_string(port) + ": " + why;
}

}  // namespace

QtSock::QtSock(QObject* parent) : QObject(parent) {}

QtSock::~QtSock() {
    if (socket_) socket_->disconnect(this);
    for (auto& [id, s] : pending_)
        if (s) s->disconnect(this);
}

int QtSock::State() const {
    if (server_ && server_->isListening()) return sckListening;
    if (!socket_) return failed_ ? sckError : sckClosed;
    switch (socket_->state()) {
        case QAbstractSocket::HostLookupState:
            return sckResolvingHost;
        case QAbstractSocket::ConnectingState:
            return sckConnecting;
        case QAbstractSocket::ConnectedState:
            return sckConnected;
        case QAbstractSocket::ClosingState:
            return sckClosing;
        case QAbstractSocket::BoundState:
            return sckOpen;
        default:
            return failed_ ? sckError : sckClosed;
    }
}

int QtSock::ListeningPort() const {
    return server_ && server_->isListening() ? server_->serverPort() : 0;
}

void QtSock::Listen() {
    if (server_ && server_->isListening())
        throw SockError("This side is already waiting for a connection on port " +
                        std::to_string(server_->serverPort()) + ".");
    if (socket_ && socket_->state() != QAbstractSocket::UnconnectedState)
        throw SockError("A connection is open or being made; it must end first.");
    if (LocalPort < 1 || LocalPort > 65535)
        throw SockError(PortError(LocalPort, "a port is a number from 1 to 65535."));
    if (socket_) {
        Release(socket_);
        socket_ = nullptr;
    }
    connected_ = false;
    failed_ = false;
    if (!server_) {
        server_ = new QTcpServer(this);
        connect(server_, &QTcpServer::newConnection, this, &QtSock::OnNewConnection);
    }
    QHostAddress address = ListenAddress.empty()
                               ? QHostAddress(QHostAddress::Any)
                               : QHostAddress(QString::fromStdString(ListenAddress));
    if (!server_->listen(address, static_cast<quint16>(LocalPort))) {
        if (server_->serverError() == QAbstractSocket::AddressInUseError)
            throw SockError(PortError(LocalPort, "the port is in use by another program."));
        if (server_->serverError() == QAbstractSocket::SocketAccessError)
            throw SockError(PortError(LocalPort, "this user may not use that port."));
        throw SockError(PortError(LocalPort, server_->errorString().toStdString() + "."));
    }
}

void QtSock::OnNewConnection() {
    while (server_ && server_->hasPendingConnections()) {
        QTcpSocket* s = server_->nextPendingConnection();
        if (!s) break;
        // Ours from now on: closing the server must not take it along.
        s->setParent(this);
        intptr_t id = nextRequest_++;
        pending_[id] = s;
        if (ConnectionRequest) ConnectionRequest(id);
        auto it = pending_.find(id);
        if (it != pending_.end()) {  // not accepted: refused
            if (it->second) {
                it->second->abort();
                it->second->deleteLater();
            }
            pending_.erase(it);
        }
    }
}

void QtSock::Accept(intptr_t requestID) {
    auto it = pending_.find(requestID);
    if (it == pending_.end() || !it->second)
        throw SockError("The connection request is no longer there.");
    QTcpSocket* s = it->second;
    pending_.erase(it);
    if (socket_) Release(socket_);
    Adopt(s);
    connected_ = s->state() == QAbstractSocket::ConnectedState;
    if (connected_) {
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (s->bytesAvailable() > 0) QueueArrival();
    } else {
        // The peer left before we took the call.
        QTimer::singleShot(0, this, [this, s] {
            if (socket_ == s && Disconnected) Disconnected();
        });
    }
}

void QtSock::Connect(const std::string& host, const std::string& port) {
    if (server_) server_->close();
    if (socket_) Release(socket_);
    socket_ = nullptr;
    connected_ = false;
    failed_ = false;
    double p = RoundHalfEven(Val(port));
    if (host.empty() || p < 1 || p > 65535) {
        failed_ = true;
        return;
    }
    auto* s = new QTcpSocket(this);
    Adopt(s);
    s->connectToHost(QString::fromStdString(Cp1252ToUtf8(host)), static_cast<quint16>(p));
}

void QtSock::Adopt(QTcpSocket* s) {
    socket_ = s;
    failed_ = false;
    s->setReadBufferSize(kReadBufferSize);
    connect(s, &QTcpSocket::channelReadyRead, this, &QtSock::OnChannelReadyRead);
    connect(s, &QTcpSocket::connected, this, &QtSock::OnConnected);
    connect(s, &QTcpSocket::disconnected, this, &QtSock::OnLost);
    connect(s, &QTcpSocket::errorOccurred, this, &QtSock::OnError);
    connect(s, &QTcpSocket::bytesWritten, this, [this, s](qint64 n) {
        if (socket_ == s && SendProgress) SendProgress(n, s->bytesToWrite());
    });
}

void QtSock::Release(QTcpSocket* s) {
    s->disconnect(this);
    if (s->state() == QAbstractSocket::UnconnectedState) {
        s->deleteLater();
        return;
    }
    QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
    s->disconnectFromHost();  // what is still queued goes out first
    if (s->state() != QAbstractSocket::UnconnectedState)
        QTimer::singleShot(kLingerMs, s, [s] { s->abort(); });
}

void QtSock::OnConnected() {
    if (!socket_ || sender() != socket_) return;
    connected_ = true;
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

void QtSock::OnError() {
    if (!socket_ || sender() != socket_) return;
    if (!connected_) {
        failed_ = true;  // the attempt failed: refused, unreachable, unknown host
        return;
    }
    if (socket_->state() == QAbstractSocket::UnconnectedState) OnLost();
}

void QtSock::OnLost() {
    QPointer<QTcpSocket> s = socket_;
    if (!s || !connected_) return;
    connected_ = false;
    // What arrived before the end is handed over first ("XX:" right before a close).
    if (s->bytesAvailable() > 0) RaiseDataArrival();
    if (socket_ == s && Disconnected) Disconnected();
}

// New data is handled at once. Qt announces data that comes while a handler runs and
// lets events through (Pause) by channelReadyRead only (readyRead is not repeated
// then); such data waits for a queued call, so handlers still nest only where they
// let events through, as before.
void QtSock::OnChannelReadyRead(int) {
    if (dispatching_ > 0)
        QueueArrival();
    else
        RaiseDataArrival();
}

void QtSock::QueueArrival() {
    if (arrivalQueued_) return;
    arrivalQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            arrivalQueued_ = false;
            RaiseDataArrival();
        },
        Qt::QueuedConnection);
}

void QtSock::RaiseDataArrival() {
    QPointer<QTcpSocket> s = socket_;
    if (!s) return;
    qint64 before = s->bytesAvailable();
    if (before <= 0) return;
    struct Depth {
        int& n;
        explicit Depth(int& count) : n(count) { ++n; }
        ~Depth() { --n; }
        Depth(const Depth&) = delete;
        Depth& operator=(const Depth&) = delete;
    } depth(dispatching_);
    if (DataArrival) DataArrival(before);
    // Data that came in while the handler ran, and that no call handled yet.
    if (s && socket_ == s && s->bytesAvailable() > 0 && s->bytesAvailable() != before)
        QueueArrival();
}

void QtSock::SendData(const std::string& bytes) {
    if (!socket_ || socket_->state() != QAbstractSocket::ConnectedState)
        throw SockError("The connection is not open.");
    // Straight to the system while nothing waits in Qt's buffer, so the order holds: a
    // write through Qt turns its write notifier on and off and wakes the event loop
    // twice, for every block and every "OK:".
    size_t done = 0;
    if (socket_->bytesToWrite() == 0) {
        const auto fd = static_cast<int>(socket_->socketDescriptor());
        while (fd >= 0 && done < bytes.size()) {
            const ssize_t n =
                ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else
                break;  // the system's buffer is full, or the send failed: Qt takes the rest
        }
    }
    if (done == bytes.size()) {
        if (SendProgress) SendProgress(static_cast<int64_t>(done), 0);
        return;
    }
    const auto rest = static_cast<qint64>(bytes.size() - done);
    qint64 n = socket_->write(bytes.data() + done, rest);
    if (n != rest) throw SockError("Sending failed: " + socket_->errorString().toStdString());
    socket_->flush();  // out now, not at the next turn of the event loop
}

std::string QtSock::GetData() {
    if (!socket_) return {};
    QByteArray b = socket_->readAll();
    return std::string(b.constData(), static_cast<size_t>(b.size()));
}

// A request being offered stays open: the handler closes the server and then accepts.
void QtSock::Close() {
    if (server_) server_->close();
    if (socket_) Release(socket_);
    socket_ = nullptr;
    connected_ = false;
    failed_ = false;
}

void QtSock::Flush(int timeoutMs) {
    QPointer<QTcpSocket> s = socket_;
    if (!s) return;
    QDeadlineTimer deadline(timeoutMs);
    s->flush();
    while (s && s->state() == QAbstractSocket::ConnectedState && s->bytesToWrite() > 0 &&
           !deadline.hasExpired()) {
        if (!s->waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) break;
    }
}

}  // namespace keyvane
