// Stand-ins for the window, the socket, the platform and file transfer, so the link and
// transfer logic run without a window (and, if a test wants, without a network), and a
// test can read what the user would have seen; and one side of a connection built of
// them, whose other side the test plays.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cipher/sdk.h"
#include "link/FileChannel.h"
#include "link/HeadlessView.h"
#include "link/MainState.h"
#include "link/Session.h"
#include "platform/platform.h"
#include "platform/sock.h"
#include "support/tempdir.h"
#include "transfer/FileTransfer.h"

namespace keyvane::test {

// Records every line and value the logic shows; `onLine` and `onProgress` let a test
// act at a given moment.
class FakeView : public HeadlessView {
  public:
    FakeView() { ip = "127.0.0.1"; }

    std::vector<std::string> status, chat;  // List1 and the chat list, in order
    std::vector<int> progress;              // every value the bar was set to
    bool sendEnabled = false, progressVisible = false, hourglass = false;
    int sentBars = 0, recvBars = 0;
    std::function<void(const std::string&)> onLine;
    std::function<void(int)> onProgress;

    void UpdateList(const std::string& line) override {
        status.push_back(line);
        LineAfterEvent(line);
        if (onLine) onLine(line);
    }
    void UpdateChatList(const std::string& line) override {
        chat.push_back(line);
        LineAfterEvent(line);
    }
    void SetSendButtonsEnabled(bool e) override { sendEnabled = e; }
    void ShowProgress(bool v) override { progressVisible = v; }
    void SetProgress(int percent) override {
        progress.push_back(percent);
        if (onProgress) onProgress(percent);
    }
    void SetHourglass(bool b) override { hourglass = b; }
    void BumpSentBar() override { ++sentBars; }
    void BumpRecvBar() override { ++recvBars; }
    void ShowSecurity(const LinkSecurity& s) override { security.push_back(s); }
    std::vector<LinkSecurity> security;  // every change shown, in order

    // Every event, with the status or chat line that came right after it ("" when
    // another event came first, or nothing yet).
    struct Seen {
        ViewEvent event;
        std::string line;
    };
    std::vector<Seen> events;
    void OnEvent(const ViewEvent& e) override {
        events.push_back({e, {}});
        lineDue_ = true;
    }
    int Events(ViewEvent::Kind kind) const {
        return static_cast<int>(std::count_if(
            events.begin(), events.end(), [kind](const Seen& s) { return s.event.kind == kind; }));
    }
    // The last event of `kind`; a test asserts there is one first.
    const Seen& Last(ViewEvent::Kind kind) const {
        auto it = std::find_if(events.rbegin(), events.rend(),
                               [kind](const Seen& s) { return s.event.kind == kind; });
        return it != events.rend() ? *it : none_;
    }

    bool HasStatus(const std::string& line) const { return Count(line) > 0; }
    int Count(const std::string& line) const {
        return static_cast<int>(std::count(status.begin(), status.end(), line));
    }

  private:
    void LineAfterEvent(const std::string& line) {
        if (lineDue_) events.back().line = line;
        lineDue_ = false;
    }
    bool lineDue_ = false;
    Seen none_{{ViewEvent::Kind::Waiting, "(none)"}, "(none)"};
};

// A socket that records what the logic does with it. Made alone, the test plays the
// peer: it sets the state and hands in the peer's bytes with Receive. Made over a real
// socket, it passes everything through and still records and cuts.
class FakeSock : public Sock {
  public:
    FakeSock() = default;
    explicit FakeSock(Sock& real);
    ~FakeSock() override;
    FakeSock(const FakeSock&) = delete;
    FakeSock& operator=(const FakeSock&) = delete;

    // Alone only: the state, and what Listen, Connect and SendData do.
    int state = sckClosed;
    int stateAfterConnect = sckConnecting;
    std::optional<std::string> listenError;
    bool failSend = false;
    // Alone: while set, what is sent stays queued, as when the peer reads nothing, until
    // Drain hands it to the "system".
    bool holdSends = false;
    size_t queued = 0, peakQueued = 0;

    std::vector<std::string> sent;  // every message, cut to `keep` bytes
    std::vector<size_t> sentSizes;
    size_t keep = std::string::npos;
    std::vector<intptr_t> accepted;
    std::string connectHost, connectPort;
    int closes = 0, flushes = 0, listens = 0;
    // Cuts what arrives into the reads the logic gets; unset: one read.
    std::function<std::vector<std::string>(const std::string& bytes)> cut;

    int State() const override { return real_ ? real_->State() : state; }
    void Listen() override;
    void Connect(const std::string& host, const std::string& port) override;
    void Accept(intptr_t id) override;
    void SendData(const std::string& bytes) override;
    std::string GetData() override { return std::exchange(incoming_, {}); }
    size_t Queued() const override { return real_ ? real_->Queued() : queued; }
    // Alone: the queued bytes go, and SendProgress says so.
    void Drain();
    void Close() override;
    void Flush(int ms) override {
        ++flushes;
        if (real_) real_->Flush(ms);
    }
    int64_t roundTripUs = -1;  // alone: the round trip it reports
    int64_t RoundTripUs() const override { return real_ ? real_->RoundTripUs() : roundTripUs; }

    // The peer's bytes arrive, even none: a test may play a read that brings nothing.
    void Receive(const std::string& bytes);

  private:
    Sock* real_ = nullptr;
    std::string incoming_;
};

// Platform hooks that answer at once and remember what was asked.
struct FakePlatform {
    Platform p;
    std::vector<std::string> boxes;
    std::string time = "14:30:05";
    std::function<void()> onSleep;  // e.g. moves the clock
    std::function<void()> onDoEvents;
    std::function<void(int)> onWait;
    int sleeps = 0, doEvents = 0, waits = 0, ends = 0;
    int timersStarted = 0;  // every After, due or not
    int64_t ms = 0;         // the steady clock: only a wait or Advance moves it
    // Timers started through After, by when they are due; a test runs them with Advance.
    std::vector<std::pair<int64_t, std::function<void()>>> timers;

    FakePlatform();
    // Moves the clock on by `by` ms, running each timer as its time comes, in order.
    void Advance(int64_t by);
    // Runs the timers due now and those they start for now, nothing later.
    void RunDueTimers() { Advance(0); }
    // For each of `n` seconds: the time of day moves on by one second, then the clock by
    // a second's worth of timers (a pause sees each change).
    void PassSeconds(int n = 1);
};

// A file receiver whose handlers a test sets one by one; unset ones drop the message.
struct HookedReceiver : FileReceiver {
    std::function<void(const std::string&)> fl, fb;
    std::function<void()> ok, lost, broken;
    bool receiving = false;  // file-receive mode, as the framer is told

    void OnFL(const std::string& payload) override {
        if (fl) fl(payload);
    }
    void OnFB(const std::string& message) override {
        if (fb) fb(message);
    }
    void OnOK() override {
        if (ok) ok();
    }
    void OnConnectionLost() override {
        if (lost) lost();
    }
    void OnBrokenBlock() override {
        if (broken) broken();
    }
    bool Receiving() const override { return receiving; }
};

// One side of a connection over a fake socket, with its own program folder; the test
// plays the other side, whose key files are the same.
struct FakePeer {
    enum class Start { None, Host, Client, FastClient };
    struct Options {
        // settings.dat; none at all: the defaults, a fast link with the secure channel.
        std::vector<std::string> settings{"FastTransfers=off"};
        // A file transfer, receiving into Recv/, takes the file messages from `files`.
        bool transfer = false;
        Start start = Start::None;
    };

    FakePeer();
    explicit FakePeer(const Options& options);

    TempDir dir;
    MainState st;
    FakeView view;
    SDK sdk;
    FakePlatform plat;
    FakeSock sock;
    HookedReceiver files;
    std::unique_ptr<Session> session;
    std::unique_ptr<FileTransfer> transfer;

    // A host that accepted a client at `clientIP` and built its key files.
    void BecomeConnectedHost(const std::string& clientIP = "10.0.0.2");
    // A client that connected to 10.0.0.1 and built its key files.
    void BecomeConnectedClient();
    // A client whose link the host's probe made fast.
    void BecomeFastClient();

    std::string Encipher(std::string text);
    std::string Decipher(std::string text);
    // A block, and a file's closing message, as a sender of `plain` sends them.
    std::string Block(const std::string& plain) { return "FB:" + Encipher(plain) + "|"; }
    std::string End(const std::string& rest) { return "FB:RM:" + Encipher(rest) + "|"; }

    // Messages sent that are `m`, and those that begin with it.
    int Sent(const std::string& m) const;
    int Began(const std::string& m) const;
    std::string Recv(const std::string& name) const { return transfer->State().Recv + name; }
    // Timers started other than while connecting.
    int TimersStarted() const { return plat.timersStarted - connectTimers_; }

  private:
    int connectTimers_ = 0;
};

}  // namespace keyvane::test
