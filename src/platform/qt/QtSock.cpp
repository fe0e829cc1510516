#include "platform/qt/QtSock.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/cp1252.h"
#include "platform/numbers.h"

namespace keyvane {

namespace {

// What is read and not yet taken stays within this, so a peer that floods the
// connection cannot make the program hold more.
constexpr size_t kReadLimit = 1 << 20;
constexpr size_t kChunk = 64 * 1024;  // one read
// A connection we let go of is cut after this long if it has not ended by then.
constexpr int kLingerMs = 5000;
constexpr auto kUnbuffered = QIODevice::ReadWrite | QIODevice::Unbuffered;

std::string PortError(int port, const std::string& why) {
    return "Unable to wait for a connection on port " + std::to_string(port) + ": " + why;
}

// Hands over accepted connections unbuffered, as our own are.
class Server : public QTcpServer {
  public:
    using QTcpServer::QTcpServer;

  protected:
    void incomingConnection(qintptr fd) override {
        auto* s = new QTcpSocket(this);
        if (s->setSocketDescriptor(fd, QAbstractSocket::ConnectedState, kUnbuffered)) {
            addPendingConnection(s);
        } else {
            delete s;
            ::close(static_cast<int>(fd));
        }
    }
};

// A connection we let go of: our side is shut, and what the peer still sends is read and
// dropped until it ends the connection too, so the peer sees an orderly end. Closing
// with data unread would reset the connection, and a reset can cost the peer the last
// messages we sent (the "XX:" of a hang-up).
class Linger : public QObject {
  public:
    Linger(int fd, QObject* parent)
        : QObject(parent), fd_(fd), notifier_(fd, QSocketNotifier::Read, this) {
        ::shutdown(fd_, SHUT_WR);
        connect(&notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });
        QTimer::singleShot(kLingerMs, this, [this] { deleteLater(); });
    }
    ~Linger() override {
        notifier_.setEnabled(false);
        ::close(fd_);
    }
    Linger(const Linger&) = delete;
    Linger& operator=(const Linger&) = delete;

  private:
    void Drain() {
        char buf[16384];
        for (;;) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0 || (n < 0 && errno == EINTR)) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            notifier_.setEnabled(false);  // ended, or broken
            deleteLater();
            return;
        }
    }
    int fd_;
    QSocketNotifier notifier_;
};

// Counts the DataArrival handlers running.
struct Depth {
    int& n;
    explicit Depth(int& count) : n(count) { ++n; }
    ~Depth() { --n; }
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
};

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
        server_ = new Server(this);
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
        // What came before the call was taken is announced to nobody: read it now.
        QMetaObject::invokeMethod(
            this,
            [this, s] {
                if (socket_ == s) OnReadyRead();
            },
            Qt::QueuedConnection);
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
    s->connectToHost(QString::fromStdString(Cp1252ToUtf8(host)), static_cast<quint16>(p),
                     kUnbuffered);
}

void QtSock::Adopt(QTcpSocket* s) {
    socket_ = s;
    failed_ = false;
    inbox_.clear();
    pullStopped_ = false;
    // Qt announces data that comes while a handler runs and lets events through (Pause)
    // by channelReadyRead only: readyRead is not repeated then.
    connect(s, &QTcpSocket::channelReadyRead, this, [this] { OnReadyRead(); });
    connect(s, &QTcpSocket::connected, this, &QtSock::OnConnected);
    connect(s, &QTcpSocket::disconnected, this, &QtSock::OnLost);
    connect(s, &QTcpSocket::errorOccurred, this, &QtSock::OnError);
    connect(s, &QTcpSocket::bytesWritten, this, [this, s](qint64 n) {
        if (socket_ == s && SendProgress) SendProgress(n, s->bytesToWrite());
    });
}

void QtSock::Release(QTcpSocket* s) {
    s->disconnect(this);
    if (s == socket_) inbox_.clear();
    if (s->state() == QAbstractSocket::UnconnectedState) {
        s->deleteLater();
        return;
    }
    if (s->state() != QAbstractSocket::ConnectedState) {
        s->abort();  // still being made: nothing went either way
        s->deleteLater();
        return;
    }
    // Once Qt holds nothing more to send, the connection goes to a Linger.
    auto handOver = [this, s] {
        const int fd = ::fcntl(static_cast<int>(s->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
        s->disconnect(this);
        s->abort();  // closes Qt's descriptor only: the copy keeps the connection
        s->deleteLater();
        if (fd >= 0) new Linger(fd, this);
    };
    if (s->bytesToWrite() == 0) return handOver();
    connect(s, &QTcpSocket::bytesWritten, this, [s, handOver] {
        if (s->bytesToWrite() == 0) handOver();
    });
    connect(s, &QTcpSocket::channelReadyRead, this, [s] {
        char buf[16384];
        while (s->read(buf, sizeof buf) > 0) {
        }
    });
    connect(s, &QTcpSocket::disconnected, this, [this, s] {
        s->disconnect(this);
        s->deleteLater();
    });
    QTimer::singleShot(kLingerMs, s, [this, s] {
        s->disconnect(this);
        s->abort();
        s->deleteLater();
    });
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
    if (!inbox_.empty()) RaiseDataArrival();
    if (socket_ == s && Disconnected) Disconnected();
}

// New data is read and handled at once. Data that comes while a handler runs waits for
// a queued call, so handlers still nest only where they let events through.
void QtSock::OnReadyRead() {
    if (!socket_) return;
    if (!Pull()) return OnLost();
    if (dispatching_ > 0)
        QueueArrival();
    else
        RaiseDataArrival();
}

bool QtSock::Pull() {
    if (!chunk_) chunk_ = std::make_unique<char[]>(kChunk);
    pullStopped_ = false;
    while (inbox_.size() < kReadLimit) {
        const auto want = static_cast<qint64>(std::min(kChunk, kReadLimit - inbox_.size()));
        const qint64 n = socket_->read(chunk_.get(), want);
        if (n < 0) return false;
        inbox_.append(chunk_.get(), static_cast<size_t>(n));
        if (n < want) return true;  // all there was
    }
    pullStopped_ = true;  // read again once GetData has made room
    return true;
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
    if (!s || inbox_.empty()) return;
    const size_t before = inbox_.size();
    Depth depth(dispatching_);
    if (DataArrival) DataArrival(static_cast<int64_t>(before));
    // Data that came in while the handler ran, and that no call handled yet.
    if (s && socket_ == s && !inbox_.empty() && inbox_.size() != before) QueueArrival();
}

void QtSock::SendData(const std::string& bytes) {
    if (!socket_ || socket_->state() != QAbstractSocket::ConnectedState)
        throw SockError("The connection is not open.");
    // Straight to the system while nothing waits in Qt's buffer, so the order holds: a
    // write through Qt turns its write notifier on and off and wakes the event loop
    // twice, for every block and every "OK:".
    size_t done = 0;
    int failure = 0;
    if (socket_->bytesToWrite() == 0) {
        const auto fd = static_cast<int>(socket_->socketDescriptor());
        while (fd >= 0 && done < bytes.size()) {
            const ssize_t n =
                ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                // A full system buffer: Qt takes the rest.
                if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) failure = errno;
                break;
            }
        }
    }
    if (done == bytes.size()) {
        if (SendProgress) SendProgress(static_cast<int64_t>(done), 0);
        return;
    }
    std::string why = failure != 0 ? std::strerror(failure) : "";
    if (failure == 0) {
        const auto rest = static_cast<qint64>(bytes.size() - done);
        if (socket_->write(bytes.data() + done, rest) == rest) {
            socket_->flush();  // out now, not at the next turn of the event loop
            return;
        }
        why = socket_->errorString().toStdString();
    }
    // The connection broke (the peer reset it). Unbuffered, Qt closes it without a signal
    // when its own write fails: end it here, so the loss is reported as Qt reports it.
    socket_->abort();
    throw SockError("Sending failed: " + why);
}

std::string QtSock::GetData() {
    if (pullStopped_) {
        pullStopped_ = false;
        QMetaObject::invokeMethod(
            this, [this] { OnReadyRead(); }, Qt::QueuedConnection);
    }
    return std::exchange(inbox_, {});
}

// A request being offered stays open: the handler closes the server and then accepts.
void QtSock::Close() {
    if (server_) server_->close();
    inbox_.clear();
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
