#include "support/fakes.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "link/FastLink.h"
#include "platform/files.h"

namespace keyvane::test {

FakeSock::FakeSock(Sock& real) : real_(&real) {
    real.ConnectionRequest = [this](intptr_t id) {
        if (ConnectionRequest) ConnectionRequest(id);
    };
    real.DataArrival = [this](int64_t) {
        const std::string bytes = real_->GetData();
        if (!bytes.empty()) Receive(bytes);
    };
    real.SendProgress = [this](int64_t s, int64_t r) {
        if (SendProgress) SendProgress(s, r);
    };
    real.Disconnected = [this] {
        if (Disconnected) Disconnected();
    };
}

FakeSock::~FakeSock() {
    if (!real_) return;
    real_->ConnectionRequest = nullptr;
    real_->DataArrival = nullptr;
    real_->SendProgress = nullptr;
    real_->Disconnected = nullptr;
}

void FakeSock::Listen() {
    ++listens;
    if (listenError) throw SockError(*listenError);
    if (!real_) {
        state = sckListening;
        return;
    }
    real_->LocalPort = LocalPort;
    real_->Listen();
}

void FakeSock::Connect(const std::string& host, const std::string& port) {
    connectHost = host;
    connectPort = port;
    if (real_)
        real_->Connect(host, port);
    else
        state = stateAfterConnect;
}

void FakeSock::Accept(intptr_t id) {
    accepted.push_back(id);
    if (real_)
        real_->Accept(id);
    else
        state = sckConnected;
}

void FakeSock::SendData(const std::string& bytes) {
    if (failSend || (!real_ && state != sckConnected)) throw SockError("broken");
    sent.push_back(bytes.substr(0, keep));
    sentSizes.push_back(bytes.size());
    if (real_) {
        real_->SendData(bytes);
    } else if (holdSends) {
        queued += bytes.size();
        peakQueued = std::max(peakQueued, queued);
    }
}

void FakeSock::Drain() {
    const size_t went = std::exchange(queued, 0);
    if (went > 0 && SendProgress) SendProgress(static_cast<int64_t>(went), 0);
}

void FakeSock::Close() {
    ++closes;
    if (real_)
        real_->Close();
    else
        state = sckClosed;
}

void FakeSock::Receive(const std::string& bytes) {
    const std::vector<std::string> reads = cut ? cut(bytes) : std::vector<std::string>{bytes};
    for (const std::string& r : reads) {
        incoming_ += r;
        if (DataArrival) DataArrival(static_cast<int64_t>(incoming_.size()));
    }
}

FakePlatform::FakePlatform() {
    p.MsgBox = [this](const std::string& t) { boxes.push_back(t); };
    p.TimeText = [this] { return time; };
    p.Sleep = [this](int) {
        ++sleeps;
        if (onSleep) onSleep();
    };
    p.DoEvents = [this] {
        ++doEvents;
        if (onDoEvents) onDoEvents();
    };
    p.MonotonicMs = [this] { return ms; };
    p.WaitForEvents = [this](int wait) {
        ++waits;
        ms += wait;
        if (onWait) onWait(wait);
    };
    p.EndProgram = [this] { ++ends; };
    p.LocalIP = [] { return std::string("127.0.0.1"); };
    p.After = [this](int wait, std::function<void()> fn) {
        ++timersStarted;
        timers.emplace_back(ms + std::max(wait, 0), std::move(fn));
    };
}

void FakePlatform::PassSeconds(int n) {
    for (int i = 0; i < n; ++i) {
        int h = 0, m = 0, sec = 0;
        std::sscanf(time.c_str(), "%d:%d:%d", &h, &m, &sec);
        const int next = (h * 3600 + m * 60 + sec + 1) % 86400;
        char text[16];
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", next / 3600, next / 60 % 60, next % 60);
        time = text;
        Advance(1000);
    }
}

void FakePlatform::Advance(int64_t by) {
    const int64_t until = ms + by;
    for (;;) {
        auto next =
            std::min_element(timers.begin(), timers.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
        if (next == timers.end() || next->first > until) break;
        ms = std::max(ms, next->first);
        auto fn = std::move(next->second);
        timers.erase(next);
        fn();
    }
    ms = until;
}

FakePeer::FakePeer() : FakePeer(Options{}) {}

FakePeer::FakePeer(const Options& options) {
    sdk.AppFolder = dir.path();
    if (!options.settings.empty()) WriteTextLines(dir.file("settings.dat"), options.settings);
    st.PortStr = "7777";
    session = std::make_unique<Session>(st, view, sdk, plat.p, sock);
    session->Attach(&files);
    if (options.transfer) {
        transfer = std::make_unique<FileTransfer>(*session, view, plat.p, sdk);
        transfer->SetReceiveFolder(dir.file("Recv/"));
        std::filesystem::create_directories(transfer->State().Recv);
    }
    switch (options.start) {
        case Start::None:
            break;
        case Start::Host:
            BecomeConnectedHost();
            break;
        case Start::Client:
            BecomeConnectedClient();
            break;
        case Start::FastClient:
            BecomeFastClient();
            break;
    }
}

void FakePeer::BecomeConnectedHost(const std::string& clientIP) {
    const int timers = plat.timersStarted;
    session->WaitForConnect();
    sock.ConnectionRequest(1);
    sock.Receive("IP:" + clientIP);
    connectTimers_ += plat.timersStarted - timers;
}

void FakePeer::BecomeConnectedClient() {
    const int timers = plat.timersStarted;
    view.connect = "10.0.0.1";
    sock.stateAfterConnect = Sock::sckConnected;
    session->Connect();
    connectTimers_ += plat.timersStarted - timers;
}

void FakePeer::BecomeFastClient() {
    BecomeConnectedClient();
    const int timers = plat.timersStarted;
    sock.Receive(fast::Probe("0123456789abcdef"));
    connectTimers_ += plat.timersStarted - timers;
}

std::string FakePeer::Encipher(std::string text) {
    sdk.EncryptString(text);
    return text;
}

std::string FakePeer::Decipher(std::string text) {
    sdk.DecryptString(text);
    return text;
}

int FakePeer::Sent(const std::string& m) const {
    return static_cast<int>(std::count(sock.sent.begin(), sock.sent.end(), m));
}

int FakePeer::Began(const std::string& m) const {
    return static_cast<int>(
        std::count_if(sock.sent.begin(), sock.sent.end(),
                      [&](const std::string& s) { return s.rfind(m, 0) == 0; }));
}

}  // namespace keyvane::test
