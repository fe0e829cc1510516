#include "platform/qt/QtSock.h"

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/cp1252.h"
#include "platform/numbers.h"

namespace keyvane {

namespace {

// At most this much is held unread, so a peer that floods the connection cannot make
// the program hold more.
constexpr size_t kReadBufferSize = 1 << 20;
// One read takes at most this much.
constexpr size_t kReadChunk = 64 * 1024;
// A connection we closed with data still going out is cut after this long.
constexpr int kLingerMs = 5000;

std::string PortError(int port, const std::string& why) {
    return "Unable to wait for a connection on port " + std::to_string(port) + ": " + why;
}

bool TransientError(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

}  // namespace

// Hands over the descriptor of each connection it takes, instead of a QTcpSocket.
class QtSock::Listener : public QTcpServer {
  public:
    using QTcpServer::QTcpServer;
    std::function<void(int)> onIncoming;

  protected:
    void incomingConnection(qintptr fd) override {
        if (onIncoming)
            onIncoming(static_cast<int>(fd));
        else
            ::close(static_cast<int>(fd));
    }
};

// One connection on the system's socket, or the attempt to make one. What the system
// does not take at once waits in `out` and goes when the socket can take more.
class QtSock::Conn : public QObject {
  public:
    Conn(int descriptor, bool open, QObject* parent) : QObject(parent), fd(descriptor) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        writer = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        reader->setEnabled(open);
        writer->setEnabled(!open);  // a connection being made is done when writable
        connected = open;
        if (open) SetLowDelay();
    }
    ~Conn() override { CloseNow(); }

    void SetLowDelay() const {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    bool Open() const { return fd >= 0 && connected && !lost; }
    size_t Waiting() const { return out.size() - outAt; }

    // Sends what it can of `bytes` now; returns how much went, -1 when the connection
    // failed.
    ssize_t SendNow(const char* p, size_t n) const {
        size_t done = 0;
        while (done < n) {
            const ssize_t k = ::send(fd, p + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (k > 0)
                done += static_cast<size_t>(k);
            else if (k < 0 && errno == EINTR)
                continue;
            else if (k < 0 && TransientError(errno))
                break;
            else
                return -1;
        }
        return static_cast<ssize_t>(done);
    }
    // Sends from `out`; returns how much went, -1 when the connection failed.
    ssize_t SendWaiting() {
        const ssize_t k = SendNow(out.data() + outAt, Waiting());
        if (k > 0) outAt += static_cast<size_t>(k);
        if (Waiting() == 0) {
            out.clear();
            outAt = 0;
        } else if (outAt > out.size() / 2) {
            out.erase(0, outAt);
            outAt = 0;
        }
        writer->setEnabled(k >= 0 && Waiting() > 0);
        return k;
    }

    // Lets the connection finish on its own: what waits goes out first, and it is cut
    // after kLingerMs at the latest.
    void Linger() {
        reader->setEnabled(false);
        if (!Open() || Waiting() == 0) {
            deleteLater();
            return;
        }
        connect(writer, &QSocketNotifier::activated, this, [this] {
            if (SendWaiting() < 0 || Waiting() == 0) deleteLater();
        });
        writer->setEnabled(true);
        QTimer::singleShot(kLingerMs, this, [this] { deleteLater(); });
    }

    void CloseNow() {
        if (fd < 0) return;
        reader->setEnabled(false);
        writer->setEnabled(false);
        // Unread data would make the close a reset, which can cost the peer what we sent
        // last. A peer that keeps sending is not waited for.
        char sink[4096];
        for (int i = 0; i < 64 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
        }
        ::close(fd);
        fd = -1;
    }

    int fd;
    QSocketNotifier* reader = nullptr;
    QSocketNotifier* writer = nullptr;
    std::string in;   // read, not yet taken by GetData
    std::string out;  // waiting to go, from outAt
    size_t outAt = 0;
    bool connected = false;
    bool lost = false;
};

QtSock::QtSock(QObject* parent) : QObject(parent) {}

QtSock::~QtSock() {
    if (lookup_ >= 0) QHostInfo::abortHostLookup(lookup_);
    for (auto& [id, fd] : pending_) ::close(fd);
    delete conn_;  // lingering connections go with this object, as its children
}

int QtSock::State() const {
    if (server_ && server_->isListening()) return sckListening;
    if (lookup_ >= 0) return sckResolvingHost;
    if (conn_ && conn_->fd >= 0 && !conn_->lost)
        return conn_->connected ? sckConnected : sckConnecting;
    return failed_ ? sckError : sckClosed;
}

int QtSock::Descriptor() const {
    return conn_ ? conn_->fd : -1;
}

int64_t QtSock::RoundTripUs() const {
    if (!conn_ || !conn_->Open()) return -1;
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(conn_->fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return -1;
    // Nothing measured yet reads as 0.
    return info.tcpi_rtt > 0 ? static_cast<int64_t>(info.tcpi_rtt) : -1;
}

void QtSock::Listen() {
    if (server_ && server_->isListening())
        throw SockError("This side is already waiting for a connection on port " +
                        std::to_string(server_->serverPort()) + ".");
    const int state = State();
    if (state == sckConnected || state == sckConnecting || state == sckResolvingHost)
        throw SockError("A connection is open or being made; it must end first.");
    if (LocalPort < 1 || LocalPort > 65535)
        throw SockError(PortError(LocalPort, "a port is a number from 1 to 65535."));
    Release();
    failed_ = false;
    if (!server_) {
        server_ = new Listener(this);
        server_->onIncoming = [this](int fd) { OnIncoming(fd); };
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

void QtSock::OnIncoming(int fd) {
    const intptr_t id = nextRequest_++;
    pending_[id] = fd;
    if (ConnectionRequest) ConnectionRequest(id);
    auto it = pending_.find(id);
    if (it != pending_.end()) {  // not accepted: refused
        ::close(it->second);
        pending_.erase(it);
    }
}

void QtSock::Accept(intptr_t requestID) {
    auto it = pending_.find(requestID);
    if (it == pending_.end()) throw SockError("The connection request is no longer there.");
    const int fd = it->second;
    pending_.erase(it);
    Release();
    failed_ = false;
    // A peer that left before we took the call shows as the end of its data.
    Adopt(new Conn(fd, true, this));
}

void QtSock::Connect(const std::string& host, const std::string& port) {
    if (server_) server_->close();
    Release();
    failed_ = false;
    double p = RoundHalfEven(Val(port));
    if (host.empty() || p < 1 || p > 65535) {
        failed_ = true;
        return;
    }
    port_ = static_cast<quint16>(p);
    addresses_.clear();
    const QString name = QString::fromStdString(Cp1252ToUtf8(host));
    if (QHostAddress literal; literal.setAddress(name)) {
        addresses_.push_back(literal);
        TryNextAddress();
        return;
    }
    const uint64_t attempt = serial_;
    lookup_ = QHostInfo::lookupHost(name, this, [this, attempt](const QHostInfo& info) {
        if (attempt != serial_) return;
        lookup_ = -1;
        for (const QHostAddress& a : info.addresses()) addresses_.push_back(a);
        TryNextAddress();
    });
}

// Tries the addresses in turn until one answers; the attempt fails when none does.
void QtSock::TryNextAddress() {
    while (!addresses_.empty()) {
        const QHostAddress a = addresses_.front();
        addresses_.erase(addresses_.begin());
        sockaddr_storage sa{};
        socklen_t len = 0;
        if (a.protocol() == QAbstractSocket::IPv4Protocol) {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&sa);
            v4->sin_family = AF_INET;
            v4->sin_port = htons(port_);
            v4->sin_addr.s_addr = htonl(a.toIPv4Address());
            len = sizeof *v4;
        } else if (a.protocol() == QAbstractSocket::IPv6Protocol) {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&sa);
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(port_);
            const Q_IPV6ADDR bytes = a.toIPv6Address();
            std::memcpy(&v6->sin6_addr, bytes.c, sizeof bytes.c);
            bool numbered = false;
            v6->sin6_scope_id = a.scopeId().toUInt(&numbered);
            if (!numbered && !a.scopeId().isEmpty())
                v6->sin6_scope_id = ::if_nametoindex(a.scopeId().toLocal8Bit().constData());
            len = sizeof *v6;
        } else {
            continue;
        }
        const int fd = ::socket(sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 && errno != EINPROGRESS) {
            ::close(fd);
            continue;
        }
        Adopt(new Conn(fd, false, this));
        return;
    }
    failed_ = true;  // refused, unreachable or unknown
}

void QtSock::OnConnectDone(int error) {
    if (error != 0) {
        // Called from the attempt's own notifier: it goes once that is done.
        Conn* c = conn_;
        conn_ = nullptr;
        c->CloseNow();
        c->deleteLater();
        TryNextAddress();
        return;
    }
    conn_->connected = true;
    conn_->SetLowDelay();
    conn_->writer->setEnabled(false);  // nothing can have been sent before
    conn_->reader->setEnabled(true);
}

void QtSock::Adopt(Conn* c) {
    conn_ = c;
    connect(c->reader, &QSocketNotifier::activated, this, [this, c] {
        if (conn_ == c) OnReadable();
    });
    connect(c->writer, &QSocketNotifier::activated, this, [this, c] {
        if (conn_ != c) return;
        if (!c->connected) {
            int error = 0;
            socklen_t len = sizeof error;
            if (::getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
            OnConnectDone(error);
            return;
        }
        if (!SendMore(c)) OnLost();
    });
}

bool QtSock::SendMore(Conn* c) {
    const ssize_t k = c->SendWaiting();
    if (k > 0 && SendProgress) SendProgress(k, static_cast<int64_t>(c->Waiting()));
    return k >= 0;
}

void QtSock::Release() {
    if (lookup_ >= 0) QHostInfo::abortHostLookup(lookup_);
    lookup_ = -1;
    addresses_.clear();
    ++serial_;
    if (!conn_) return;
    Conn* c = conn_;
    conn_ = nullptr;
    QObject::disconnect(c->reader, nullptr, this, nullptr);
    QObject::disconnect(c->writer, nullptr, this, nullptr);
    c->Linger();
}

void QtSock::OnReadable() {
    Conn* c = conn_;
    if (c->in.size() >= kReadBufferSize) {
        c->reader->setEnabled(false);  // GetData turns it on again
        return;
    }
    char buf[kReadChunk];
    const ssize_t n =
        ::recv(c->fd, buf, std::min(sizeof buf, kReadBufferSize - c->in.size()), MSG_DONTWAIT);
    if (n < 0 && TransientError(errno)) return;
    if (n <= 0) {  // the peer closed, or the connection broke
        OnLost();
        return;
    }
    c->in.append(buf, static_cast<size_t>(n));
    // Data that comes while a handler runs and lets events through waits for a queued
    // call, so handlers nest only where they let events through.
    if (dispatching_ > 0) {
        QueueArrival();
        return;
    }
    const uint64_t sends = sends_;
    RaiseDataArrival();
    if (conn_ == c && sends_ != sends) AwaitReply(c);
}

// Only watches: what comes is read when the event loop, which then has no reason to
// sleep, hands it over, so timers and painting keep their turns.
void QtSock::AwaitReply(Conn* c) {
    if (ReplyWaitUs <= 0 || !c->Open() || c->Waiting() > 0 || !replyWait_.ShouldWait()) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(ReplyWaitUs);
    pollfd p{c->fd, POLLIN, 0};
    bool came = false;
    do {
        came = ::poll(&p, 1, 0) > 0;
    } while (!came && std::chrono::steady_clock::now() < until);
    replyWait_.Waited(came);
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
    Conn* c = conn_;
    if (!c || c->in.empty()) return;
    const uint64_t serial = serial_;
    const size_t before = c->in.size();
    ++dispatching_;
    struct Leave {
        int& n;
        ~Leave() { --n; }
    } leave{dispatching_};
    if (DataArrival) DataArrival(static_cast<int64_t>(before));
    // Data that came in while the handler ran, and that no call handled yet.
    if (serial == serial_ && conn_ == c && !c->in.empty() && c->in.size() != before) QueueArrival();
}

void QtSock::OnLost() {
    Conn* c = conn_;
    if (!c || c->lost) return;
    c->lost = true;
    c->reader->setEnabled(false);
    c->writer->setEnabled(false);
    const uint64_t serial = serial_;
    // What arrived before the end is handed over first ("XX:" right before a close).
    if (!c->in.empty()) RaiseDataArrival();
    if (serial != serial_ || conn_ != c) return;
    c->CloseNow();
    if (Disconnected) Disconnected();
}

void QtSock::SendData(const std::string& bytes) {
    Conn* c = conn_;
    if (!c || !c->Open()) throw SockError("The connection is not open.");
    if (c->Waiting() == 0) {
        const ssize_t k = c->SendNow(bytes.data(), bytes.size());
        if (k < 0) {
            // Reported as the loss it is, once this handler is done.
            QTimer::singleShot(0, this, [this, serial = serial_] {
                if (serial == serial_) OnLost();
            });
            return;
        }
        if (static_cast<size_t>(k) == bytes.size()) {
            ++sends_;
            if (SendProgress) SendProgress(k, 0);
            return;
        }
        c->out.assign(bytes, static_cast<size_t>(k));
    } else {
        c->out += bytes;
    }
    c->writer->setEnabled(true);
}

std::string QtSock::GetData() {
    if (!conn_) return {};
    std::string got;
    got.swap(conn_->in);
    if (conn_->Open()) conn_->reader->setEnabled(true);
    return got;
}

size_t QtSock::Queued() const {
    return conn_ ? conn_->Waiting() : 0;
}

// A request being offered stays open: the handler closes the server and then accepts.
void QtSock::Close() {
    if (server_) server_->close();
    Release();
    failed_ = false;
}

void QtSock::Flush(int timeoutMs) {
    Conn* c = conn_;
    if (!c) return;
    QDeadlineTimer deadline(timeoutMs);
    while (c->Open() && c->Waiting() > 0 && !deadline.hasExpired()) {
        pollfd p{c->fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(deadline.remainingTime())) <= 0) break;
        if (!SendMore(c)) break;
    }
}

}  // namespace keyvane
