#include "support/record_proxy.h"

#include <QHostAddress>
#include <utility>

namespace keyvane::test {

ProxyLink::ProxyLink(int hostPort) : hostPort_(hostPort) {
    connect(&server_, &QTcpServer::newConnection, this, &ProxyLink::OnNewConnection);
    server_.listen(QHostAddress::LocalHost, 0);
    port_ = server_.serverPort();
}

ProxyLink::~ProxyLink() {
    for (QTcpSocket* s : {client_.data(), host_.data()})
        if (s) s->abort();
}

void ProxyLink::OnNewConnection() {
    QTcpSocket* c = server_.nextPendingConnection();
    if (!c) return;
    if (client_) {  // one connection at a time
        c->abort();
        c->deleteLater();
        return;
    }
    client_ = c;
    c->setParent(this);
    auto* h = new QTcpSocket(this);
    host_ = h;
    for (QTcpSocket* s : {c, h}) s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(c, &QTcpSocket::readyRead, this, [this] { Read(kToHost); });
    connect(h, &QTcpSocket::readyRead, this, [this] { Read(kToClient); });
    // A side that closes is passed on after what it sent.
    connect(c, &QTcpSocket::disconnected, this, [this] {
        Read(kToHost);
        HangUp();
    });
    connect(h, &QTcpSocket::disconnected, this, [this] {
        Read(kToClient);
        HangUp();
    });
    // What the client sends before the host answers waits in the client's socket.
    connect(h, &QTcpSocket::connected, this, [this] {
        hostUp_ = true;
        Read(kToHost);
    });
    h->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(hostPort_));
}

void ProxyLink::Read(Direction d) {
    QTcpSocket* from = d == kToHost ? client_.data() : host_.data();
    if (ending_ || !hostUp_ || !from || from->bytesAvailable() == 0) return;
    const QByteArray got = from->readAll();
    Take(d, std::string(got.constData(), static_cast<size_t>(got.size())));
}

void ProxyLink::Write(Direction d, const std::string& bytes) {
    QTcpSocket* to = d == kToHost ? host_.data() : client_.data();
    if (ending_ || !to || bytes.empty()) return;
    to->write(bytes.data(), static_cast<qint64>(bytes.size()));
    log_[d] += bytes;
}

void ProxyLink::Cut() {
    ending_ = true;
    for (QTcpSocket* s : {client_.data(), host_.data()})
        if (s) s->abort();
}

void ProxyLink::HangUp() {
    ending_ = true;
    for (QTcpSocket* s : {client_.data(), host_.data()})
        if (s) s->disconnectFromHost();
}

// --- RecordProxy --------------------------------------------------------------------

void RecordProxy::Take(Direction d, std::string bytes) {
    Dir& q = dir_[d];
    q.seen += bytes;
    if (q.streamAt == std::string::npos) {
        // The client's stream follows its answer, the host's its reveal.
        const std::string_view marker = d == kToHost ? "KV!2" : secure::kReveal;
        const size_t length = d == kToHost ? secure::kProbeLength : secure::kRevealLength;
        const size_t at = q.seen.find(marker);
        if (at != std::string::npos && q.seen.size() >= at + length) q.streamAt = at + length;
    }
    const size_t clearEnd = std::min(q.seen.size(), q.streamAt);
    if (q.next < clearEnd) {
        std::string read = q.seen.substr(q.next, clearEnd - q.next);
        q.next = clearEnd;
        Write(d, onClear ? onClear(d, read) : read);
    }
    if (q.streamAt == std::string::npos) return;
    const size_t header = q.streamAt + secure::kHeaderBytes;
    if (q.next < header && q.seen.size() >= header) {
        Write(d, q.seen.substr(q.next, header - q.next));
        q.next = header;
    }
    while (q.next >= header && q.seen.size() - q.next >= 3 && Connected()) {
        const auto* p = reinterpret_cast<const unsigned char*>(q.seen.data() + q.next);
        const size_t length = size_t{p[0]} << 16 | size_t{p[1]} << 8 | p[2];
        if (q.seen.size() - q.next < 3 + length) break;
        const std::string record = q.seen.substr(q.next, 3 + length);
        q.next += 3 + length;
        const size_t index = q.records++;
        Write(d, onRecord ? onRecord(d, index, record) : record);
        if (index == q.cutAfter) Cut();
        if (index == q.hangUpAfter) HangUp();
    }
}

// --- MitmProxy ----------------------------------------------------------------------

MitmProxy::MitmProxy(int hostPort)
    : ProxyLink(hostPort), identity_(secure::Identity::LoadOrCreate(dir_.path())) {}

std::string MitmProxy::CodeWithHost() const {
    return withHost_ && withHost_->Done() ? withHost_->Code() : std::string();
}

std::string MitmProxy::CodeWithClient() const {
    return withClient_ && withClient_->Done() ? withClient_->Code() : std::string();
}

void MitmProxy::Take(Direction d, std::string bytes) {
    buf_[d] += bytes;
    if (d == kToHost)
        FromClient();
    else
        FromHost();
}

void MitmProxy::FromClient() {
    std::string& b = buf_[kToHost];
    if (open_[kToHost]) return Relay(kToHost);
    if (!withClient_) {
        // "IP:" goes on as it is; then we are the host the client meets.
        if (b.size() < 4 || b.compare(0, 3, "IP:") != 0) return;
        address_ = b.substr(3);
        Write(kToHost, std::exchange(b, {}));
        withClient_ = std::make_unique<secure::Handshake>(secure::Handshake::Role::Host, address_);
        Write(kToClient, withClient_->Probe("0123456789abcdef"));
        return;
    }
    if (b.size() < secure::kProbeLength) return;
    const auto reveal = withClient_->Reveal(b.substr(0, secure::kProbeLength));
    b.erase(0, secure::kProbeLength);
    if (!reveal) return Cut();
    Write(kToClient, *reveal);
    seal_[kToClient] = std::make_unique<secure::Sealer>(withClient_->SendKey());
    Write(kToClient, seal_[kToClient]->Header() + seal_[kToClient]->Seal(secure::Hello(
                                                      identity_, *withClient_, "127.0.0.1")));
    open_[kToHost] = std::make_unique<secure::Opener>(withClient_->ReceiveKey());
    Relay(kToHost);
}

void MitmProxy::FromHost() {
    std::string& b = buf_[kToClient];
    if (open_[kToClient]) return Relay(kToClient);
    if (!withHost_) {
        // The host's probe: we answer it as the client.
        if (b.size() < secure::kProbeLength) return;
        withHost_ = std::make_unique<secure::Handshake>(secure::Handshake::Role::Client, address_);
        const auto answer = withHost_->Answer(b.substr(0, secure::kProbeLength));
        b.erase(0, secure::kProbeLength);
        if (!answer) return Cut();
        Write(kToHost, *answer);
        return;
    }
    if (b.size() < secure::kRevealLength) return;
    const bool finished = withHost_->Finish(b.substr(0, secure::kRevealLength));
    b.erase(0, secure::kRevealLength);
    if (!finished) return Cut();
    seal_[kToHost] = std::make_unique<secure::Sealer>(withHost_->SendKey());
    Write(kToHost, seal_[kToHost]->Header() +
                       seal_[kToHost]->Seal(secure::Hello(identity_, *withHost_, address_)));
    open_[kToClient] = std::make_unique<secure::Opener>(withHost_->ReceiveKey());
    Relay(kToClient);
}

void MitmProxy::Relay(Direction d) {
    std::vector<std::string> records;
    const auto result = open_[d]->Feed(std::exchange(buf_[d], {}), records);
    for (size_t i = 0; i < records.size(); ++i) {
        if (!helloSkipped_[d]) {  // the sender's hello is for us; the receiver got ours
            helloSkipped_[d] = true;
            continue;
        }
        seen[d].push_back(records[i]);
        if (!seal_[d]) return Cut();  // nothing honest comes before both handshakes
        const bool last = i + 1 == records.size();
        Write(d, seal_[d]->Seal(records[i], last && result == secure::Opener::Result::Ended));
    }
    if (result == secure::Opener::Result::Broken) Cut();
}

}  // namespace keyvane::test
