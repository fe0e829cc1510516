#include "link/Session.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <random>

#include "keys/seed.h"
#include "link/FastLink.h"
#include "link/Guard.h"
#include "platform/cp1252.h"
#include "platform/files.h"
#include "platform/numbers.h"

namespace keyvane {

namespace {

bool IsDigits(const std::string& s) {
    for (unsigned char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string Digits(const std::string& timeText) {
    std::string d;
    for (char c : timeText)
        if (c != ':') d += c;
    return d;
}

}  // namespace

std::string WriteKeyFile(const std::string& folder, const std::string& hhmmss,
                         const std::string& key) {
    constexpr int kMaxNames = 10000;
    const std::string data = key + "\r\n";
    for (int n = 1; n <= kMaxNames; ++n) {
        std::string name = "Key" + hhmmss + (n == 1 ? "" : "-" + std::to_string(n)) + ".txt";
        if (WriteNewFile(folder + name, data)) return name;
    }
    throw FileError("Unable to find a free name for Key" + hhmmss + ".txt");
}

Session::Session(MainState& state, MainView& mainView, SDK& cipher, Platform& plat, Sock& socket)
    : st_(state), view_(mainView), sdk_(cipher), platform_(plat), sock_(socket), secTimer_(plat) {
    sock_.ConnectionRequest = [this](intptr_t id) { Guarded([&] { OnConnectionRequest(id); }); };
    sock_.DataArrival = [this](int64_t) {
        Guarded([this] { Batched([this] { OnDataArrival(); }); });
    };
    sock_.SendProgress = [this](int64_t, int64_t) {
        if (ended_) return;
        view_.BumpSentBar();
        if (files_) Guarded([this] { Batched([this] { files_->OnSendRoom(); }); });
    };
    sock_.Disconnected = [this] { Guarded([this] { OnDisconnected(); }); };
}

template <class F>
void Session::Guarded(const F& handler) {
    Guard(handler, [this](const std::string& what) {
        try {
            view_.UpdateList("An unexpected error was caught: " + what);
        } catch (...) {
        }
    });
}

template <class F>
void Session::Batched(const F& handler) {
    ++batching_;
    struct Leave {
        Session& s;
        ~Leave() {
            // Each level sends what it queued: a handler that lets events through runs
            // nested ones, and what they queue must not wait for it.
            --s.batching_;
            try {
                s.FlushOutbox();
            } catch (...) {
                // A failure to send shows as the connection's loss.
            }
        }
    } leave{*this};
    handler();
}

bool Session::FlushOutbox() {
    if (outbox_.empty()) return true;
    std::string out;
    out.swap(outbox_);
    // A connection that went is reported where it went, not once per batch.
    if (ended_ || sock_.State() != Sock::sckConnected) return false;
    bool sent = false;
    if (!sealer_) {
        sent = SendRaw(out);
    } else if (!sealer_->Ended()) {
        std::string sealed;
        try {
            sealed = sealer_->Seal(out);
        } catch (const std::exception&) {
            return false;
        }
        sent = SendRaw(sealed);
    }
    // The buffer serves the next batch, which then need not grow it again.
    out.clear();
    if (outbox_.empty() && out.capacity() <= 2 * kMaxBatch) outbox_.swap(out);
    return sent;
}

Session::~Session() {
    sock_.ConnectionRequest = nullptr;
    sock_.DataArrival = nullptr;
    sock_.SendProgress = nullptr;
    sock_.Disconnected = nullptr;
}

void Session::Notify(const std::string& text) {
    if (boxOpen_) {
        view_.UpdateList(text);
        return;
    }
    ShowBox(text);
}

void Session::ShowBox(const std::string& text) {
    FlushOutbox();  // the box may stay open long
    const bool was = boxOpen_;
    boxOpen_ = true;
    try {
        platform_.MsgBox(text);
    } catch (...) {
        boxOpen_ = was;
        throw;
    }
    boxOpen_ = was;
}

// --- connecting ---------------------------------------------------------------------

void Session::WaitForConnect() {
    if (ended_) return;
    double port = RoundHalfEven(Val(st_.PortStr));
    sock_.LocalPort = (port >= 0 && port <= 65535) ? static_cast<int>(port) : -1;
    try {
        sock_.Listen();
    } catch (const SockError& e) {
        Notify(e.what());
        return;
    }
    view_.OnEvent({ViewEvent::Kind::Waiting, st_.PortStr});
    view_.UpdateList("Waiting for Connection");
    st_.role = Role::Host;
}

void Session::OnConnectionRequest(intptr_t requestID) {
    if (ended_) return;
    FinishHangUp();  // to the connection before, which the socket's close ends
    try {
        if (sock_.State() != Sock::sckClosed) sock_.Close();
        sock_.Accept(requestID);
    } catch (const SockError& e) {
        view_.UpdateList(e.what());
        return;
    }
    framer_.Clear();
    ResetFast();
    // A new peer: nothing goes out enciphered until its "IP:" has built the key files,
    // and what was going to or coming from the one before ends here.
    keysReady_ = false;
    if (files_) files_->OnConnectionLost();
    st_.IsConnected = true;
    view_.SetSendButtonsEnabled(false);
}

void Session::Connect() {
    if (ended_) return;
    std::string host = view_.ConnectText();
    if (host.empty()) {
        Notify("Missing IP Address.");
        return;
    }
    // Whatever the socket was doing ends here, an open connection included, and with it
    // the files going either way: the next peer must not get the rest of one, nor add
    // to the other.
    st_.IsConnected = false;
    keysReady_ = false;
    view_.SetSendButtonsEnabled(false);
    FinishHangUp();
    try {
        sock_.Close();
    } catch (const SockError&) {
    }
    framer_.Clear();
    ResetFast();
    if (files_) files_->OnConnectionLost();
    try {
        sock_.Connect(host, st_.PortStr);
    } catch (const SockError&) {
        // The attempt failed at once; the poll below sees the socket's error state.
    }
    connectingTo_ = host;
    view_.OnEvent({ViewEvent::Kind::Connecting, host});
    view_.UpdateList("Connecting...");
    // Polled on a short timer, so an attempt that nobody answers lasts about five seconds
    // and one that succeeds ends as soon as the connection is up. A refused or
    // impossible attempt ends at once.
    polls_ = 0;
    PollConnect();
}

void Session::PollConnect() {
    if (ended_) return;
    if (sock_.State() == Sock::sckConnected) return Connected();
    if (polls_ >= kConnectPolls || sock_.State() == Sock::sckError) {
        Notify("Unable to Connect.  Check your IP address and/or port and try again.");
        return;
    }
    ++polls_;
    const bool timed =
        connectTimer_.Start(kConnectPollMs, [this] { Guarded([this] { PollConnect(); }); });
    // Without timers nothing can change the socket's state: the attempt is over.
    if (!timed) {
        polls_ = kConnectPolls;
        PollConnect();
    }
}

void Session::Connected() {
    framer_.Clear();
    ResetFast();
    fastOn_ = fast::FastTransfersOn(sdk_.AppFolder);  // a host that asks is answered
    st_.role = Role::Client;
    sentAddress_ = view_.IPText();
    if (!Send("IP:" + sentAddress_)) return;
    GenerateKeys();
    st_.IsConnected = true;
    view_.OnEvent({ViewEvent::Kind::Connected, connectingTo_});
    view_.UpdateList("Connected");
    // Nothing of ours goes out until the host has offered the secure channel or had
    // time to.
    requireSecure_ = requireSecureForced_ || fast::RequireSecureOn(sdk_.AppFolder);
    sec_ = Sec::Pending;
    if (!fastOn_ || !SecureOn()) return SettlePlain();
    const int64_t rtt = std::max<int64_t>(sock_.RoundTripUs(), 0) / 1000;
    SetSecurityDeadline(NowMs() + std::min<int64_t>(kProbeWaitMs + 2 * rtt, kProbeWaitMaxMs));
}

void Session::GenerateKeys() {
    GenerateKeys(view_.ConnectText());
}

void Session::GenerateKeys(const std::string& peerAddress) {
    keysReady_ = false;
    try {
        std::string combined = CombinedAddressText(st_.IsHost(), view_.IPText(), peerAddress);
        sdk_.BuildKeyFiles(ConnectionSeed(combined));
    } catch (const std::exception& e) {
        Notify(std::string("The key files for this connection could not be built.  ") + e.what());
        return;
    }
    keysReady_ = true;
    view_.SetSendButtonsEnabled(true);
}

// --- sending ------------------------------------------------------------------------

bool Session::Send(const std::string& message) {
    if (ended_) return false;
    if (sec_ == Sec::Pending && asking_ && st_.IsConnected) {
        // A warning about the peer is open: nothing goes out before it is answered.
        view_.UpdateList("Nothing was sent: first answer the question about this connection.");
        return false;
    }
    if (Holding()) {
        WhenClear([this, message] { SendNow(message); });
        return true;
    }
    return SendNow(message);
}

bool Session::SendNow(const std::string& message) {
    if (ended_) return false;
    if (sealer_) {
        if (sealer_->Ended()) return false;
    } else if (requireSecure_ && st_.IsConnected) {
        Notify(kNothingSent);
        return false;
    }
    if (fast_ && batching_ > 0 && sock_.State() == Sock::sckConnected) {
        // Whole messages to a record: a longer batch goes out first.
        if (outbox_.size() + message.size() > kMaxBatch && !FlushOutbox()) return false;
        outbox_ += message;
        return true;
    }
    if (!FlushOutbox()) return false;
    return SendRaw(sealer_ ? sealer_->Seal(message) : message);
}

bool Session::HeldBack() const {
    if (ended_ || !st_.IsConnected) return false;
    return (holdUntilMs_ >= 0 && NowMs() < holdUntilMs_) || sec_ == Sec::Pending;
}

void Session::WhenClear(std::function<void()> send) {
    if (!Holding()) return send();
    held_.push_back(std::move(send));
    if (holdUntilMs_ >= 0 && !holdTimer_.Pending()) {
        const int64_t left = std::max<int64_t>(holdUntilMs_ - NowMs(), 0);
        holdTimer_.Start(static_cast<int>(left), [this] {
            Guarded([this] {
                holdUntilMs_ = -1;
                Release();
            });
        });
    }
    // The settling of the link releases the rest (SettlePlain, SettleSecure).
}

void Session::Release() {
    while (!held_.empty() && !HeldBack() && !ended_) {
        auto send = std::move(held_.front());
        held_.pop_front();
        send();
    }
}

void Session::DropHeld() {
    if (held_.empty()) return;
    held_.clear();
    if (!ended_) Notify(kNotConnected);
}

bool Session::SendRaw(const std::string& bytes) {
    if (ended_) return false;
    // What waits in the outbox was sent first.
    if (!outbox_.empty() && !FlushOutbox()) return false;
    if (sock_.State() == Sock::sckConnected) {
        try {
            sock_.SendData(bytes);
            return true;
        } catch (const SockError&) {
        }
    }
    st_.IsConnected = false;
    Notify(kNotConnected);
    return false;
}

bool Session::SendFramed(const std::string& message) {
    return Send(fast_ ? fast::Envelope(message) : message);
}

bool Session::SendEnciphered(const std::string& tag, const std::string& text, const char* what) {
    if (!KeysReady()) {
        Notify(kNotConnected);
        return false;
    }
    sdk_.WorkText = text;
    try {
        sdk_.EncryptString(sdk_.WorkText);
    } catch (const std::exception& e) {
        Notify(std::string("The ") + what + " could not be enciphered.  " + e.what());
        return false;
    }
    return SendFramed(tag + sdk_.WorkText);
}

void Session::SendKey() {
    if (ended_) return;
    std::string key = view_.KeyText();
    if (key.empty()) {
        Notify("Key is missing.");
        return;
    }
    if (!IsDigits(key)) {
        Notify("Key is invalid.  No characters allowed, only numeric digits.");
        return;
    }
    // Enciphered when it goes: a client's key files may still change as the link settles.
    WhenClear([this, key] { SendKeyNow(key); });
}

void Session::SendKeyNow(const std::string& key) {
    if (!SendEnciphered("KY:", key, "key")) return;
    view_.OnEvent({ViewEvent::Kind::KeySent, key});
    view_.UpdateList("Sending Key...");
}

void Session::SendChatLine() {
    if (ended_) return;
    std::string line = view_.ChatText();
    if (line.empty()) return;
    WhenClear([this, line] { SendChatLineNow(line); });
}

void Session::SendChatLineNow(const std::string& line) {
    // A line that cannot go out stays in the field and is not echoed.
    if (!SendEnciphered("CT:", line, "chat line")) return;
    view_.OnEvent({ViewEvent::Kind::ChatSent, line});
    view_.UpdateChatList("<" + line + ">");
    view_.SetChatText("");
}

// --- receiving ----------------------------------------------------------------------

void Session::OnDataArrival() {
    if (ended_) {
        sock_.GetData();
        return;
    }
    const std::string data = sock_.GetData();
    view_.BumpRecvBar();
    // One read can carry many blocks: they share one look at the key folder.
    SDK::OneLook look(sdk_);
    if (opener_)
        FeedSecure(data);
    else
        framer_.Feed(data);
    DispatchReady();
    if (flooded_) {
        FailSecure(
            "The connection was ended: the other side sent too much while a question "
            "about it was open.");
        return;
    }
    if (broken_) {
        FailSecure(
            "The connection was ended: a message from the other side failed its integrity "
            "check (it was changed or damaged on the way).");
        return;
    }
    WaitForEndOfFile();
}

void Session::DispatchReady() {
    // A handler that shows a box lets events through and so may come back here for later
    // reads; the framer hands out every message once, in order.
    while (!ended_) {
        const size_t broken = framer_.BrokenBlocks();
        auto message = framer_.Next(FramerContext());
        if (framer_.BrokenBlocks() != broken && files_) files_->OnBrokenBlock();
        if (!message) break;
        Dispatch(*message);
    }
}

int64_t Session::NowMs() const {
    if (platform_.MonotonicMs) return platform_.MonotonicMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A file's blocks come one per round trip; the pieces of one message come closer
// together than that.
void Session::NoteBlock() {
    const int64_t now = NowMs();
    if (lastBlockMs_ >= 0) longestGapMs_ = std::max(longestGapMs_, now - lastBlockMs_);
    lastBlockMs_ = now;
}

int64_t Session::EndWaitMs() const {
    const int64_t rttUs = sock_.RoundTripUs();
    const int64_t roundTrip =
        rttUs >= 0 ? (rttUs + 999) / 1000 : std::max<int64_t>(longestGapMs_, 0);
    return std::min<int64_t>(kEndWaitMinMs + 2 * roundTrip, kEndWaitMaxMs);
}

void Session::WaitForEndOfFile() {
    if (ended_ || !framer_.HoldingEnd()) {
        endTimer_.Stop();
        return;
    }
    // A read that arrives during the wait leaves the wait already running as it is.
    if (endTimer_.Pending()) return;
    if (!endTimer_.Start(static_cast<int>(EndWaitMs()),
                         [this] { Guarded([this] { EndOfFileWaitOver(); }); }))
        EndOfFileWaitOver();  // no timers: nothing more can come meanwhile
}

void Session::EndOfFileWaitOver() {
    if (ended_ || !framer_.HoldingEnd()) return;
    framer_.ReleaseEnd();
    DispatchReady();
}

Framer::Context Session::FramerContext() const {
    // What the framer needs of a transfer, the transfer says.
    const bool receiving = files_ && files_->Receiving();
    Framer::Context ctx(receiving, files_ && files_->AwaitingOK());
    ctx.probeWelcome = st_.IsClient() && fastOn_ && !fast_ && !hs_;
    ctx.awaitReveal = st_.IsClient() && hs_ && !sealer_ && sec_ == Sec::Pending;
    ctx.answer = awaitedAnswer_;
    ctx.fast = fast_;
    if (fast_ && receiving) ctx.endLength = files_->EndLength();
    return ctx;
}

void Session::Dispatch(const std::string& m) {
    std::string tag = m.substr(0, 3);
    std::string payload = m.size() > 3 ? m.substr(3) : std::string();
    // Anyone on the path can build the key files and forge these. Until the link has
    // settled they wait: a channel that comes drops them, a plain link takes them in
    // order. Where encryption is required they are never taken.
    const bool content = tag == "KY:" || tag == "CT:" || tag == "FL:" || tag == "FB:" ||
                         tag == "OK:" || tag == "XX:";
    if (content && !opener_ && sec_ == Sec::Pending) {
        // Bounded: a flood in the clear while we wait is dropped, not kept.
        if (heldPlain_.size() < kMaxHeldPlain && heldPlainBytes_ + m.size() <= kMaxHeldBytes) {
            heldPlainBytes_ += m.size();
            heldPlain_.push_back(m);
        }
        return;
    }
    if (content && !opener_ && requireSecure_ && tag != "XX:") return;
    if (tag == "IP:") {
        OnIP(payload);
    } else if (tag == "KY:") {
        OnKY(payload);
    } else if (tag == "CT:") {
        OnCT(payload);
    } else if (tag == "FL:") {
        lastBlockMs_ = longestGapMs_ = -1;
        if (files_) files_->OnFL(payload);
    } else if (tag == "FB:") {
        if (files_ && files_->Receiving() && m.compare(3, 3, "RM:") != 0) NoteBlock();
        if (files_) files_->OnFB(m);
    } else if (tag == "OK:") {
        if (files_) files_->OnOK();
    } else if (tag == "XX:") {
        OnXX();
    } else if (tag == fast::kProbe) {
        OnProbe(m);
    } else if (tag == fast::kAnswer) {
        OnAnswer(m);
    } else if (tag == secure::kReveal) {
        OnReveal(m);
    } else if (files_) {
        files_->OnControl(m);
    }
}

// --- fast link ----------------------------------------------------------------------

void Session::ResetFast() {
    fastOn_ = fast_ = probed_ = false;
    awaitedAnswer_.clear();
    holdUntilMs_ = -1;
    holdTimer_.Stop();
    DropHeld();
    ResetSecure();
}

std::string Session::NewNonce() const {
    std::string nonce(fast::kNonceDigits, '0');
    std::random_device fallback;
    for (char& c : nonce) {
        const uint32_t d = platform_.SystemRandom ? platform_.SystemRandom(16) : fallback() % 16;
        c = "0123456789abcdef"[d];
    }
    return nonce;
}

void Session::SendProbe() {
    const std::string probe = fast::Probe(NewNonce());
    probed_ = true;
    if (!SendRaw(probe)) return;
    awaitedAnswer_ = fast::AnswerTo(probe);
    holdUntilMs_ = NowMs() + fast::kHoldBackMs;
}

void Session::OnProbe(const std::string& probe) {
    if (fast_) return;  // the framer takes a probe only while one may be answered
    if (probe[3] == secure::kVersion) return AnswerSecure(probe);
    // A host that offers no secure channel: the link is plain, and fast.
    SettlePlain();
    if (ended_ || !st_.IsConnected) return;
    if (!SendRaw(fast::AnswerTo(probe))) return;
    fast_ = true;
    view_.UpdateList("Fast transfers on with this peer.");
}

void Session::OnIP(const std::string& payload) {
    sdk_.WorkText = payload;
    view_.SetConnectText(sdk_.WorkText);
    GenerateKeys();
    view_.OnEvent({ViewEvent::Kind::Connected, payload});
    view_.UpdateList("Connected.");
    // Asked once per connection, before anything else of ours has gone out.
    if (st_.IsHost() && !probed_ && KeysReady() && sec_ == Sec::Idle) {
        fastOn_ = fast::FastTransfersOn(sdk_.AppFolder);
        requireSecure_ = requireSecureForced_ || fast::RequireSecureOn(sdk_.AppFolder);
        sec_ = Sec::Pending;
        if (fastOn_ && OfferSecure(payload)) return;
        if (fastOn_) SendProbe();
        SettlePlain();
    }
}

std::optional<std::string> Session::Deciphered(const std::string& payload, const char* what) {
    sdk_.WorkText = payload;
    try {
        sdk_.DecryptString(sdk_.WorkText);
    } catch (const std::exception& e) {
        view_.UpdateList(std::string("A received ") + what +
                         " could not be deciphered: " + e.what());
        return std::nullopt;
    }
    return sdk_.WorkText;
}

void Session::OnKY(const std::string& payload) {
    const auto deciphered = Deciphered(payload, "key");
    if (!deciphered) return;
    const std::string& key = *deciphered;
    if (key.empty() || key.size() > kMaxKeyDigits || !IsDigits(key)) {
        view_.UpdateList("A received key was refused: a key is 1 to " +
                         std::to_string(kMaxKeyDigits) + " digits.");
        return;
    }
    if (!TakeKeyToken()) {
        if (!keysThrottled_)
            view_.UpdateList("Keys are arriving too fast; further keys are not saved for now.");
        keysThrottled_ = true;
        return;
    }
    keysThrottled_ = false;
    std::string name, failure;
    const std::string stamp = Digits(platform_.TimeText());
    try {
        try {
            name = WriteKeyFile("", stamp, key);
        } catch (const FileError&) {
            // A working folder this user may not write (an installed program started
            // from "/"): the data folder takes the key, and the status line names it.
            name = Utf8ToCp1252(sdk_.AppFolder) + WriteKeyFile(sdk_.AppFolder, stamp, key);
        }
    } catch (const std::exception& e) {
        failure = e.what();
    }
    view_.OnEvent({ViewEvent::Kind::KeyReceived, key});
    view_.UpdateList("Key=" + key);
    if (failure.empty()) {
        view_.OnEvent({ViewEvent::Kind::KeyWritten, name});
        view_.UpdateList("Key written to " + name);
    } else {
        Notify("The received key could not be saved.  " + failure);
    }
}

bool Session::TakeKeyToken() {
    // A person sends a key now and then; a peer that sends thousands would fill the disk.
    const int64_t now = NowMs();
    keyTokenMs_ = std::max(keyTokenMs_, now - kKeyBurst * kKeyRefillMs);
    if (now - keyTokenMs_ < kKeyRefillMs) return false;
    keyTokenMs_ += kKeyRefillMs;
    return true;
}

void Session::OnCT(const std::string& payload) {
    const auto line = Deciphered(payload, "chat line");
    if (!line) return;
    view_.OnEvent({ViewEvent::Kind::ChatReceived, *line});
    view_.UpdateChatList(*line);
}

void Session::OnXX() {
    // A hang-up counts once: a repeat (or one before the handshake) has nothing to end.
    if (!st_.IsConnected) return;
    st_.IsConnected = false;
    // What was going either way cannot go on.
    if (files_) files_->OnConnectionLost();
    const bool client = st_.IsClient();
    if (client) {
        try {
            sock_.Close();
        } catch (const std::exception&) {
        }
    }
    view_.OnEvent({ViewEvent::Kind::PeerHungUp});
    std::string text = "Your connection was terminated manually by the person.  ";
    if (client) text += "The program will now terminate.";
    // A client ends right after: its box shows even over one already open, or the user
    // would never learn why the program went.
    if (client)
        ShowBox(text);
    else
        Notify(text);
    if (client) {
        ended_ = true;
        sdk_.WorkText.clear();
        WipeKeyFiles(true);
        End();
    }
}

void Session::OnDisconnected() {
    if (ended_) return;
    ConnectionGone();
}

void Session::ConnectionGone() {
    framer_.Clear();
    ResetFast();
    const bool was = st_.IsConnected;
    st_.IsConnected = false;
    if (was) {
        view_.OnEvent({ViewEvent::Kind::Lost});
        view_.UpdateList("Connection lost.");
    }
    if (files_) files_->OnConnectionLost();
}

// --- ending -------------------------------------------------------------------------

void Session::HangUp() {
    if (!st_.IsConnected) return FinishHangUp();
    FlushOutbox();
    st_.IsConnected = false;
    held_.clear();
    const int64_t left = holdUntilMs_ >= 0 ? holdUntilMs_ - NowMs() : 0;
    holdUntilMs_ = -1;
    // The probe still stands alone in the peer's read: the hang-up follows it there once
    // the hold-back is over. A program that is ending has no events left: it sleeps.
    if (left > 0 && !ended_ &&
        hangUpTimer_.Start(static_cast<int>(left), [this] { Guarded([this] { SendHangUp(); }); }))
        return;
    if (left > 0 && platform_.Sleep) platform_.Sleep(static_cast<int>(left));
    SendHangUp();
}

void Session::FinishHangUp() {
    if (!hangUpTimer_.Pending()) return;
    hangUpTimer_.Stop();
    SendHangUp();
}

void Session::SendHangUp() {
    try {
        // Inside the channel the hang-up ends our stream: without it the peer counts the
        // connection as lost.
        sock_.SendData(sealer_ && !sealer_->Ended() ? sealer_->Seal("XX:", true)
                                                    : std::string("XX:"));
        sock_.Flush(kHangUpFlushMs);  // the hang-up must reach the peer before the close
    } catch (const std::exception&) {
    }
    try {
        sock_.Close();
    } catch (const std::exception&) {
    }
}

void Session::WipeKeyFiles(bool report) {
    try {
        sdk_.WipeKeyFiles();
    } catch (const std::exception& e) {
        if (report) Notify(std::string("The key files could not be wiped.  ") + e.what());
    }
}

void Session::End() {
    if (platform_.EndProgram) platform_.EndProgram();
}

void Session::Exit() {
    if (ended_) return;
    ended_ = true;
    HangUp();
    sdk_.WorkText.clear();
    WipeKeyFiles(true);
    End();
}

void Session::CloseMain() {
    if (ended_) return;
    ended_ = true;
    try {
        HangUp();
        sdk_.WorkText.clear();
    } catch (...) {
    }
    WipeKeyFiles(false);
}

// --- secure channel -----------------------------------------------------------------

namespace {

constexpr size_t kMaxHelloAddress = 255;

}  // namespace

LinkSecurity Session::Security() const {
    LinkSecurity s;
    if (sec_ == Sec::Plain) s.state = LinkSecurity::State::Plain;
    if (sec_ == Sec::Secure && hs_) {
        s.state = LinkSecurity::State::Secure;
        s.code = hs_->Code();
        s.verified = verified_;
    }
    return s;
}

bool Session::SecuritySettled() const {
    if (ended_) return true;
    if (Connecting()) return false;
    return sec_ != Sec::Pending || !st_.IsConnected;
}

bool Session::Secure() const {
    return sec_ == Sec::Secure && sealer_ != nullptr;
}

std::string Session::PeerIdentity() const {
    return Secure() ? peerIdentity_ : std::string();
}

void Session::TrustPeer() {
    if (!Secure() || peerIdentity_.empty()) {
        Notify("There is no encrypted connection whose code you could confirm.");
        return;
    }
    try {
        secure::TrustStore(sdk_.AppFolder).Pin(view_.ConnectText(), peerIdentity_);
    } catch (const std::exception& e) {
        Notify("The other person's identity could not be saved.  " + Utf8ToCp1252(e.what()));
        return;
    }
    verified_ = true;
    view_.ShowSecurity(Security());
    view_.UpdateList(
        "You confirmed the code: later connections from this person show as verified.");
}

void Session::ResetSecure() {
    const bool shown = sec_ != Sec::Idle;
    sec_ = Sec::Idle;
    requireSecure_ = asking_ = broken_ = flooded_ = helloSeen_ = verified_ = false;
    hs_.reset();
    sealer_.reset();
    opener_.reset();
    outbox_.clear();
    inbox_.clear();
    inboxBytes_ = 0;
    heldPlain_.clear();
    heldPlainBytes_ = 0;
    peerIdentity_.clear();
    secDeadlineMs_ = -1;
    secTimer_.Stop();
    if (shown) view_.ShowSecurity({});
}

bool Session::SecureOn() {
    return fast::SecureChannelOn(sdk_.AppFolder) && secure::Available() && LoadIdentity();
}

bool Session::LoadIdentity() {
    if (identity_) return true;
    try {
        identity_.emplace(secure::Identity::LoadOrCreate(sdk_.AppFolder));
        return true;
    } catch (const std::exception& e) {
        view_.UpdateList(
            "Encryption is not available: this installation's identity key could "
            "not be read or made (" +
            Utf8ToCp1252(e.what()) + ").");
        return false;
    }
}

bool Session::OfferSecure(const std::string& clientAddress) {
    if (!SecureOn()) return false;
    hs_ = std::make_unique<secure::Handshake>(secure::Handshake::Role::Host, clientAddress);
    const std::string probe = hs_->Probe(NewNonce());
    probed_ = true;
    if (!SendRaw(probe)) return true;
    // The answer begins with the probe's tag, version and nonce; the framer looks for them.
    awaitedAnswer_ = std::string(fast::kAnswer) + probe.substr(3, 1 + secure::kNonceDigits);
    holdUntilMs_ = NowMs() + fast::kHoldBackMs;
    SetSecurityDeadline(holdUntilMs_);
    return true;
}

void Session::OnAnswer(const std::string& answer) {
    // The framer hands out only the very answer awaited.
    awaitedAnswer_.clear();
    holdUntilMs_ = -1;
    if (!hs_) {
        fast_ = true;
        view_.UpdateList("Fast transfers on with this peer.");
        Release();
        return;
    }
    if (sec_ != Sec::Pending) return;
    const auto reveal = hs_->Reveal(answer);
    if (!reveal) {
        FailSecure(
            "The encrypted connection could not be set up: the other side's answer "
            "was malformed.  The connection was ended.");
        return;
    }
    if (!SendRaw(*reveal)) return;
    StartStreams();
}

void Session::AnswerSecure(const std::string& probe) {
    // Unanswered, the probe leaves the link plain when the wait for it is over.
    if (sec_ != Sec::Pending || hs_ || !SecureOn()) return;
    hs_ = std::make_unique<secure::Handshake>(secure::Handshake::Role::Client, sentAddress_);
    const auto answer = hs_->Answer(probe);
    if (!answer) {
        hs_.reset();
        return;
    }
    if (!SendRaw(*answer)) return;
    SetSecurityDeadline(NowMs() + kHandshakeStepMs);
}

void Session::OnReveal(const std::string& reveal) {
    if (!hs_ || sealer_ || sec_ != Sec::Pending) return;
    if (!hs_->Finish(reveal)) {
        FailSecure(
            "The encrypted connection could not be set up: the other side's key is "
            "not the one it announced, so someone may be interfering.  The "
            "connection was ended.");
        return;
    }
    StartStreams();
}

void Session::StartStreams() {
    fast_ = true;
    view_.UpdateList("Fast transfers on with this peer.");
    sealer_ = std::make_unique<secure::Sealer>(hs_->SendKey());
    opener_ = std::make_unique<secure::Opener>(hs_->ReceiveKey());
    // The host's own address text: the client builds the key files from it, whichever
    // address it reached the host by.
    const std::string own =
        (st_.IsHost() ? view_.IPText() : sentAddress_).substr(0, kMaxHelloAddress);
    const std::string out = sealer_->Header() + sealer_->Seal(secure::Hello(*identity_, *hs_, own));
    const std::string rest = framer_.TakeRest();
    SetSecurityDeadline(NowMs() + kHandshakeStepMs);
    if (!SendRaw(out)) return;
    if (!rest.empty()) FeedSecure(rest);
}

void Session::FeedSecure(const std::string& bytes) {
    std::vector<std::string> records;
    if (opener_->Feed(bytes, records) == secure::Opener::Result::Broken) broken_ = true;
    for (std::string& r : records) {
        inboxBytes_ += r.size();
        inbox_.push_back(std::move(r));
    }
    DrainInbox();
    // Records wait only while a question about the peer is open; an honest peer sends at
    // most a window of blocks meanwhile.
    if (inboxBytes_ > kMaxHeldBytes) flooded_ = true;
}

void Session::DrainInbox() {
    // A warning opened from here lets events through: what arrives meanwhile waits its
    // turn, so messages keep their order.
    if (draining_) return;
    draining_ = true;
    while (!inbox_.empty() && opener_ && !ended_) {
        std::string record = std::move(inbox_.front());
        inbox_.pop_front();
        inboxBytes_ -= record.size();
        if (helloSeen_)
            framer_.Feed(record);  // one record, one read: it holds whole messages
        else
            OnPeerHello(record);
    }
    draining_ = false;
}

void Session::OnPeerHello(const std::string& record) {
    const auto hello = secure::CheckHello(record, *hs_);
    if (!hello) {
        FailSecure(
            "The encrypted connection could not be set up: the other side's identity "
            "could not be checked.  The connection was ended.");
        return;
    }
    helloSeen_ = true;
    peerIdentity_ = hello->identity;
    // Both sides build the key files from the same two address texts.
    if (st_.IsClient()) GenerateKeys(hello->addressText);
    SettleSecure();
}

void Session::SettleSecure() {
    secTimer_.Stop();
    secDeadlineMs_ = -1;
    const std::string address = view_.ConnectText();
    auto verdict = secure::TrustStore::Verdict::New;
    try {
        verdict = secure::TrustStore(sdk_.AppFolder).Check(address, peerIdentity_);
    } catch (const std::exception&) {
        // Unreadable: nobody counts as confirmed.
    }
    verified_ = verdict == secure::TrustStore::Verdict::Trusted;
    if (!heldPlain_.empty())
        view_.UpdateList(
            "Messages that came unencrypted before the encrypted connection were "
            "ignored.");
    heldPlain_.clear();
    heldPlainBytes_ = 0;
    const std::string code = hs_->Code();
    view_.ShowSecurity({LinkSecurity::State::Secure, code, verified_});
    view_.UpdateList(verified_ ? std::string(kVerifiedLine) : kCompareLine + code);
    if (verdict == secure::TrustStore::Verdict::Changed) {
        const bool go =
            AskRisk("Warning: this is not the person you trusted at " + address +
                        " before: their identity key has changed.  Someone may be listening in "
                        "between.  Compare this code with the other person before you go on: " +
                        code + "\n\nGo on with this connection?",
                    true);
        if (ended_ || !opener_) return;  // the connection went meanwhile
        if (!go) {
            view_.UpdateList("The connection was ended: the other person's identity has changed.");
            EndConnection();
            return;
        }
    }
    sec_ = Sec::Secure;
    Release();
}

void Session::SettlePlain() {
    if (sec_ != Sec::Pending) return;
    secTimer_.Stop();
    secDeadlineMs_ = -1;
    hs_.reset();
    if (awaitedAnswer_.size() > 3 && awaitedAnswer_[3] == secure::kVersion) awaitedAnswer_.clear();
    // Shown for the connection's whole length, not as a line that scrolls away.
    view_.ShowSecurity({LinkSecurity::State::Plain, {}, false});
    if (requireSecure_) {
        Notify(kNothingSent);
        EndConnection();
        return;
    }
    const std::string address = view_.ConnectText();
    bool known = false;
    try {
        known = secure::TrustStore(sdk_.AppFolder).KnownAddress(address);
    } catch (const std::exception&) {
    }
    if (known) {
        const bool go = AskRisk(
            "Warning: you trusted the person at " + address +
                " before, but this connection is not encrypted.  Someone may have switched "
                "encryption off on the way, and anyone on the network can read it.\n\nGo on "
                "without encryption?",
            false);
        if (ended_ || !st_.IsConnected || sec_ != Sec::Pending) return;
        if (!go) {
            view_.UpdateList("The connection was ended: it was not encrypted.");
            EndConnection();
            return;
        }
    }
    sec_ = Sec::Plain;
    // Ours first: they were sent before what came meanwhile was taken.
    Release();
    // What came meanwhile, in the order it came; a handler may end the connection.
    std::vector<std::string> held;
    held.swap(heldPlain_);
    heldPlainBytes_ = 0;
    for (const std::string& m : held) {
        if (ended_ || !st_.IsConnected) break;
        Dispatch(m);
    }
}

bool Session::AskRisk(const std::string& text, bool changedIdentity) {
    FlushOutbox();
    asking_ = true;
    bool go = false;
    try {
        if (ConfirmRisk)
            go = ConfirmRisk(text, changedIdentity);
        else if (platform_.ConfirmBox)
            go = platform_.ConfirmBox(text);
    } catch (...) {
        asking_ = false;
        throw;
    }
    asking_ = false;
    return go;
}

void Session::SetSecurityDeadline(int64_t ms) {
    secDeadlineMs_ = ms;
    secTimer_.Start(static_cast<int>(std::clamp<int64_t>(ms - NowMs(), 0, INT32_MAX)), [this] {
        Guarded([this] {
            // A timer may come a little early: it is set again for the rest.
            if (secDeadlineMs_ >= 0 && NowMs() < secDeadlineMs_)
                SetSecurityDeadline(secDeadlineMs_);
            else
                CheckSecurityDeadline();
        });
    });
}

void Session::CheckSecurityDeadline() {
    if (sec_ != Sec::Pending || asking_ || secDeadlineMs_ < 0 || NowMs() < secDeadlineMs_) return;
    // No answer to the host's probe, no probe, or no reveal: nothing was set up, and the
    // link is plain. Keys agreed but no hello: the peer stopped half-way.
    if (!sealer_) return SettlePlain();
    FailSecure(
        "The encrypted connection could not be set up: the other side did not finish "
        "it in time.  The connection was ended.");
}

void Session::FailSecure(const std::string& line) {
    view_.UpdateList(line);
    DropConnection();
}

void Session::DropConnection() {
    try {
        sock_.Close();
    } catch (const std::exception&) {
    }
    ConnectionGone();
}

void Session::EndConnection() {
    HangUp();
    framer_.Clear();
    ResetFast();
    if (files_) files_->OnConnectionLost();
}

}  // namespace keyvane
