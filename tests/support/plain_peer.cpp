#include "support/plain_peer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTimer>

#include "keys/seed.h"

namespace keyvane::test {

namespace {
constexpr const char* kIP = "127.0.0.1";
constexpr size_t kBlock = 1000;
}  // namespace

PlainPeer::PlainPeer(Mode mode, int pauseMs) : mode_(mode), pauseMs_(pauseMs) {
    sdk_.AppFolder = dir_.path();
}

PlainPeer::~PlainPeer() {
    if (sock_) {
        sock_->disconnect();
        sock_->abort();
    }
}

bool PlainPeer::Connected() const {
    return sock_ && sock_->state() == QAbstractSocket::ConnectedState;
}

bool PlainPeer::Flushed() const {
    return !sock_ || sock_->bytesToWrite() == 0;
}

int PlainPeer::Listen(int port) {
    host_ = true;
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
        QTcpSocket* s = server_.nextPendingConnection();
        if (!s) return;
        if (sock_) {
            s->abort();
            return;
        }
        s->setParent(nullptr);
        Adopt(s);
    });
    if (!server_.listen(QHostAddress::LocalHost, static_cast<quint16>(port))) return 0;
    return server_.serverPort();
}

bool PlainPeer::Connect(int port, int timeoutMs) {
    host_ = false;
    auto* s = new QTcpSocket;
    Adopt(s);
    s->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    QElapsedTimer t;
    t.start();
    while (s->state() != QAbstractSocket::ConnectedState && !disconnected &&
           t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    if (s->state() != QAbstractSocket::ConnectedState) return false;
    Write(std::string("IP:") + kIP);
    BuildKeys(kIP, kIP, false);
    return true;
}

void PlainPeer::Adopt(QTcpSocket* s) {
    sock_.reset(s);
    s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QObject::connect(s, &QTcpSocket::readyRead, [this] { OnRead(); });
    QObject::connect(s, &QTcpSocket::disconnected, [this] {
        if (mode_ == Mode::Raw && sock_->isOpen()) OnRead();  // what came with the end
        disconnected = true;
    });
}

void PlainPeer::BuildKeys(const std::string& hostIP, const std::string& clientIP, bool host) {
    const std::string own = host ? hostIP : clientIP, other = host ? clientIP : hostIP;
    sdk_.BuildKeyFiles(ConnectionSeed(CombinedAddressText(host, own, other)));
    keyed_ = true;
}

std::string PlainPeer::Cipher(std::string text, bool encipher) {
    if (text.empty()) return text;
    if (encipher)
        sdk_.EncryptString(text);
    else
        sdk_.DecryptString(text);
    return text;
}

void PlainPeer::Write(const std::string& bytes) {
    if (!Connected()) return;
    sock_->write(bytes.data(), static_cast<qint64>(bytes.size()));
    sock_->flush();
}

void PlainPeer::OnRead() {
    const QByteArray b = sock_->readAll();
    std::string data(b.constData(), static_cast<size_t>(b.size()));
    received += data;
    if (data.empty() || mode_ == Mode::Raw) return;
    if (receiving_) {
        if (data.back() != '|') {
            recvBuffer_ += data;
            return;
        }
        data.pop_back();
        data = recvBuffer_ + data;
        recvBuffer_.clear();
    }
    Take(data);
}

void PlainPeer::Take(const std::string& m) {
    const std::string tag = m.substr(0, 3), payload = m.size() > 3 ? m.substr(3) : "";
    static const char* kTags[] = {"IP:", "KY:", "CT:", "FL:", "FB:", "OK:", "XX:"};
    bool known = false;
    for (const char* t : kTags) known = known || tag == t;
    if (!known) {
        Odd(m);
        return;
    }
    // Fixed-size messages that came with more are two messages in one read.
    if ((tag == "OK:" || tag == "XX:") && !payload.empty()) Odd(m);
    tags.push_back(tag);
    if (tag == "IP:") {
        if (!host_) return Odd(m);
        BuildKeys(kIP, payload, true);
    } else if (tag == "KY:") {
        keys.push_back(Cipher(payload, false));
    } else if (tag == "CT:") {
        chats.push_back(Cipher(payload, false));
    } else if (tag == "FL:") {
        recvName_ = payload;
        recvData_.clear();
        receiving_ = true;
    } else if (tag == "FB:") {
        if (!receiving_) return Odd(m);
        if (payload.compare(0, 3, "RM:") == 0) {
            const std::string rest = payload.substr(3);
            if (rest.size() >= kBlock) Odd(m);
            recvData_ += Cipher(rest, false);
            files[recvName_] = recvData_;
            receiving_ = false;
        } else {
            if (payload.size() != kBlock) Odd(m);
            recvData_ += Cipher(payload, false);
        }
        Write("OK:");
    } else if (tag == "OK:") {
        if (sending_ && sending_->started) SendNextBlock();
    } else if (tag == "XX:") {
        peerHungUp = true;
        if (!host_) sock_->close();
    }
}

void PlainPeer::SendKey(const std::string& digits) {
    Write("KY:" + Cipher(digits, true));
}

void PlainPeer::SendChat(const std::string& line) {
    Write("CT:" + Cipher(line, true));
}

void PlainPeer::SendFile(const std::string& name, const std::string& bytes) {
    sending_ = std::make_unique<Outgoing>();
    sending_->bytes = bytes;
    Write("FL:" + name);
    QTimer::singleShot(pauseMs_, [this] {
        if (!sending_) return;
        sending_->started = true;
        SendNextBlock();
    });
}

void PlainPeer::SendNextBlock() {
    Outgoing& o = *sending_;
    const size_t left = o.bytes.size() - o.next;
    if (left >= kBlock) {
        Write("FB:" + Cipher(o.bytes.substr(o.next, kBlock), true) + "|");
        o.next += kBlock;
        return;
    }
    // The rest, and the file is done: the "OK:" that follows finds nothing to send.
    Write("FB:RM:" + Cipher(o.bytes.substr(o.next), true) + "|");
    sending_.reset();
    ++filesSent;
}

void PlainPeer::HangUp() {
    Write("XX:");
    if (sock_) sock_->close();
}

void PlainPeer::HalfClose() {
    if (sock_) sock_->disconnectFromHost();
}

void PlainPeer::Reset() {
    if (sock_) sock_->abort();
}

}  // namespace keyvane::test
