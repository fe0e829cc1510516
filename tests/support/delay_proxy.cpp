#include "support/delay_proxy.h"

#include <QHostAddress>
#include <QMetaObject>
#include <algorithm>

namespace keyvane::test {

namespace {
// Pieces of at most this size keep a capped link's pacing smooth.
constexpr size_t kPiece = 4096;
}  // namespace

DelayProxy::DelayProxy(int targetPort, int oneWayMs, double bytesPerSecond, int64_t queueBytes)
    : targetPort_(targetPort),
      delayUs_(int64_t{oneWayMs} * 1000),
      rate_(bytesPerSecond),
      queueLimit_(queueBytes) {
    clock_.start();
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &DelayProxy::Release);
    connect(&server_, &QTcpServer::newConnection, this, &DelayProxy::OnNewConnection);
    server_.listen(QHostAddress::LocalHost, 0);
    port_ = server_.serverPort();
}

DelayProxy::~DelayProxy() {
    if (client_) client_->abort();
    if (target_) target_->abort();
}

void DelayProxy::OnNewConnection() {
    QTcpSocket* c = server_.nextPendingConnection();
    if (!c) return;
    if (client_ && !ending_) {  // one connection at a time
        c->abort();
        c->deleteLater();
        return;
    }
    // A new connection after the last one ended starts a fresh link.
    for (QTcpSocket* old : {client_.data(), target_.data()})
        if (old) old->deleteLater();
    dir_ = {};
    ending_ = targetUp_ = false;
    client_ = c;
    c->setParent(this);
    auto* t = new QTcpSocket(this);
    target_ = t;
    for (QTcpSocket* s : {c, t}) {
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // Qt's own buffer would be a queue without bound in front of ours.
        if (queueLimit_ > 0) s->setReadBufferSize(queueLimit_);
    }
    connect(c, &QTcpSocket::readyRead, this, [this, c] { Take(kToTarget, c); });
    connect(t, &QTcpSocket::readyRead, this, [this, t] { Take(kFromTarget, t); });
    // An end that closes is passed on once what it sent before has been delivered.
    connect(c, &QTcpSocket::disconnected, this, [this] { CloseWhenDrained(kToTarget); });
    connect(t, &QTcpSocket::disconnected, this, [this] { CloseWhenDrained(kFromTarget); });
    connect(t, &QTcpSocket::errorOccurred, this, [this, t] {
        if (t->state() != QAbstractSocket::ConnectedState && !ending_) Cut();  // never reached
    });
    // What the client sends before the target answers waits in the client's socket.
    connect(t, &QTcpSocket::connected, this, [this, c] {
        targetUp_ = true;
        Take(kToTarget, c);
    });
    t->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(targetPort_));
}

void DelayProxy::Take(Direction d, QTcpSocket* from) {
    if (ending_ || !targetUp_ || !from) return;
    Dir& q = dir_[d];
    qint64 room = from->bytesAvailable();
    const int64_t now = NowUs();
    if (queueLimit_ > 0) room = std::min<qint64>(room, queueLimit_ - Backlog(d, now));
    if (room <= 0) return;
    const QByteArray got = from->read(room);
    for (qsizetype at = 0; at < got.size(); at += static_cast<qsizetype>(kPiece)) {
        const auto n = std::min<qsizetype>(static_cast<qsizetype>(kPiece), got.size() - at);
        int64_t sent = now;
        if (rate_ > 0) {
            q.linkFreeUs = std::max(q.linkFreeUs, now) + static_cast<int64_t>(n * 1e6 / rate_);
            sent = q.linkFreeUs;
        }
        q.queue.push_back(
            {std::string(got.constData() + at, static_cast<size_t>(n)), sent + delayUs_});
    }
    q.peakQueued = std::max(q.peakQueued, Backlog(d, now));
    Arm();
}

int64_t DelayProxy::Backlog(Direction d, int64_t nowUs) const {
    if (rate_ <= 0) return 0;
    return static_cast<int64_t>(
        static_cast<double>(std::max<int64_t>(0, dir_[d].linkFreeUs - nowUs)) * rate_ / 1e6);
}

void DelayProxy::CloseWhenDrained(Direction d) {
    if (ending_) return;
    dir_[d].closing = true;
    if (Drained(d)) HangUp();
}

QTcpSocket* DelayProxy::Source(int d) const {
    return d == kToTarget ? client_.data() : target_.data();
}

bool DelayProxy::Drained(Direction d) const {
    const QTcpSocket* from = Source(d);
    return dir_[d].queue.empty() && (!from || from->bytesAvailable() == 0);
}

void DelayProxy::Arm() {
    int64_t next = -1;
    const auto consider = [&next](int64_t us) {
        if (next < 0 || us < next) next = us;
    };
    for (int d = 0; d < 2; ++d) {
        const Dir& q = dir_[d];
        if (!q.queue.empty()) consider(q.queue.front().dueUs);
        // A full queue takes more from the sender once a piece's room is free.
        const QTcpSocket* from = Source(d);
        if (queueLimit_ > 0 && rate_ > 0 && from && from->bytesAvailable() > 0)
            consider(q.linkFreeUs -
                     static_cast<int64_t>(static_cast<double>(std::max<int64_t>(
                                              queueLimit_ - static_cast<int64_t>(kPiece), 0)) *
                                          1e6 / rate_));
    }
    if (next < 0) return;
    const int64_t waitMs = std::max<int64_t>(0, (next - NowUs() + 999) / 1000);
    timer_.start(static_cast<int>(waitMs));
}

void DelayProxy::Release() {
    const int64_t now = NowUs();
    for (int d = 0; d < 2 && !ending_; ++d) {
        Dir& q = dir_[d];
        while (!ending_ && !q.queue.empty() && q.queue.front().dueUs <= now) {
            std::string bytes = std::move(q.queue.front().bytes);
            q.queue.pop_front();
            Deliver(static_cast<Direction>(d), std::move(bytes));
        }
        // Room again in a bounded queue: what waited in the sender's socket comes in.
        if (!ending_ && queueLimit_ > 0) Take(static_cast<Direction>(d), Source(d));
        if (!ending_ && q.closing && Drained(static_cast<Direction>(d))) HangUp();
    }
    if (!ending_) Arm();
}

void DelayProxy::Deliver(Direction d, std::string bytes) {
    Dir& q = dir_[d];
    QTcpSocket* to = d == kToTarget ? target_.data() : client_.data();
    if (!to) return;
    const uint64_t start = q.delivered, end = start + bytes.size();
    if (q.flipAt >= start && q.flipAt < end) bytes[q.flipAt - start] ^= static_cast<char>(0xFF);
    const uint64_t stop = std::min(q.cutAt, q.hangUpAt);
    if (stop < end) bytes.resize(stop > start ? stop - start : 0);
    to->write(bytes.data(), static_cast<qint64>(bytes.size()));
    q.delivered += bytes.size();
    if (keepLog) q.log += bytes;
    if (q.delivered == q.cutAt) {
        Cut();
    } else if (q.delivered == q.hangUpAt) {
        HangUp();
    }
}

void DelayProxy::Cut() {
    ending_ = true;
    timer_.stop();
    for (QTcpSocket* s : {client_.data(), target_.data()})
        if (s) s->abort();
}

void DelayProxy::HangUp() {
    ending_ = true;
    timer_.stop();
    for (QTcpSocket* s : {client_.data(), target_.data()})
        if (s) s->disconnectFromHost();
}

ProxyThread::ProxyThread(int targetPort, int oneWayMs, double bytesPerSecond, int64_t queueBytes) {
    thread_.start();
    // Made in its thread, so its sockets and timers belong to that thread's loop.
    auto* holder = new QObject;
    holder->moveToThread(&thread_);
    QMetaObject::invokeMethod(
        holder,
        [this, holder, targetPort, oneWayMs, bytesPerSecond, queueBytes] {
            proxy_ = new DelayProxy(targetPort, oneWayMs, bytesPerSecond, queueBytes);
            proxy_->keepLog = false;
            port_ = proxy_->Port();
            delete holder;
        },
        Qt::BlockingQueuedConnection);
}

ProxyThread::~ProxyThread() {
    if (proxy_) {
        QMetaObject::invokeMethod(
            proxy_, [this] { delete proxy_; }, Qt::BlockingQueuedConnection);
    }
    thread_.quit();
    thread_.wait();
}

}  // namespace keyvane::test
