// The main window's logic: the connection and its end, the receive dispatcher, key and
// chat sending. It owns the connection's state (MainState), works on the window's view
// and can be driven by tests without a window. File transfer reaches it only through
// FileChannel and gets its messages through FileReceiver.
//
// The wire: one TCP stream of tagged messages, one byte per character, no lengths.
//   "IP:" address     client to host, once, right after connecting; plain
//   "KY:" key         enciphered digits
//   "CT:" line        enciphered chat line
//   "FL:" name        opens a file; plain bare name
//   "FB:" block "|"   enciphered 1000 bytes of the file
//   "FB:RM:" rest "|" enciphered 0..999 last bytes; closes the file
//   "OK:"             receiver to sender, once per "FB:" and "FB:RM:"
//   "XX:"             hang-up; the sender closes right after
// Every payload is enciphered alone from the same key state; tags, "RM:" and "|" never
// are. Reads carry no boundaries: Framer finds the messages in them. Between two Keyvane
// peers a negotiated fast link adds a few messages of its own (link/FastLink.h).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cipher/sdk.h"
#include "link/FileChannel.h"
#include "link/Framer.h"
#include "link/MainState.h"
#include "link/MainView.h"
#include "platform/platform.h"
#include "platform/sock.h"
#include "secure/Secure.h"

namespace keyvane {

class Session final : public FileChannel {
  public:
    // Takes over the socket's events (ConnectionRequest, DataArrival, SendProgress,
    // Disconnected).
    Session(MainState& st, MainView& view, SDK& sdk, Platform& platform, Sock& sock);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    static constexpr int kConnectPolls = 2500;
    static constexpr int kConnectPollMs = 2;  // between two polls of a connection attempt
    static constexpr int kHangUpFlushMs = 3000;
    // How long a file end whose last read ended on a "|" waits for more of itself: long
    // enough for one lost segment to be sent again (the sender's retransmission timeout,
    // 200 ms and more, plus the trip), so kEndWaitMinMs plus twice the round trip,
    // at most kEndWaitMaxMs. The round trip is the socket's measure, else the longest
    // gap between the blocks of this file (one block per round trip), else nothing.
    static constexpr int kEndWaitMinMs = 400;
    static constexpr int kEndWaitMaxMs = 2000;
    // A received key is 1 to kMaxKeyDigits digits. Up to kKeyBurst keys are saved at
    // once, then one per kKeyRefillMs.
    static constexpr size_t kMaxKeyDigits = 64;
    static constexpr int64_t kKeyBurst = 10;
    static constexpr int64_t kKeyRefillMs = 1000;
    int64_t EndWaitMs() const;
    // How long a Keyvane client waits for the host's probe before it counts the link as
    // plain (the host probes right after "IP:"), plus twice the round trip, at most
    // kProbeWaitMaxMs; how long each later step of the handshake may take.
    static constexpr int kProbeWaitMs = 1500;
    static constexpr int kProbeWaitMaxMs = 5000;
    static constexpr int kHandshakeStepMs = 10000;
    static constexpr const char* kNotEncrypted =
        "Not encrypted: anyone on the network can read this connection.";
    static constexpr const char* kCompareLine =
        "Encrypted connection. Compare this code with the other person: ";
    static constexpr const char* kVerifiedLine =
        "Encrypted connection with a trusted person: verified.";
    static constexpr const char* kNothingSent =
        "Nothing was sent: this connection is not encrypted, and encryption is required.  "
        "The connection was ended.";

    // Buttons and menu commands.
    void WaitForConnect();  // Command1
    void Connect();         // Command2
    void SendKey();         // Command3
    void SendChatLine();    // Command5 and Enter in txtChat
    void Exit();            // File > Exit
    void CloseMain();       // the main window is closing

    // Builds the key files for this connection and enables the three Send buttons.
    void GenerateKeys();
    // The same from our address text and the peer's.
    void GenerateKeys(const std::string& peerAddress);
    // The key files were built for the connection now open: only then is anything
    // enciphered for the peer.
    bool KeysReady() const override { return keysReady_ && st_.IsConnected; }

    // Socket events.
    void OnConnectionRequest(intptr_t requestID);
    void OnDataArrival();
    void OnDisconnected();

    // Sends one message; on failure reports "You are not connected.", marks the side
    // not connected and returns false. While the host's probe may still be on its own
    // in the peer's read (FastLink.h), or the link's security has not settled, the
    // message is held back and goes, in order, as soon as it may.
    bool Send(const std::string& message) override;
    // Messages are held back (see Send).
    bool Holding() const override { return !held_.empty() || HeldBack(); }
    // A connection attempt is polling for the connected state.
    bool Connecting() const { return connectTimer_.Pending(); }
    bool SendFramed(const std::string& message) override;
    bool Fast() const override { return fast_ && KeysReady(); }
    int64_t NowMs() const override;
    size_t SendQueued() const override { return sock_.Queued() + outbox_.size(); }

    // Shows a message box; while one of ours is open, the text goes to the status list
    // instead, so a peer cannot pile up boxes.
    void Notify(const std::string& text) override;
    // Shows a message box even while one of ours is open (the last word before the
    // program ends).
    void ShowBox(const std::string& text);

    // The program has ended (Exit, the window closed, a hang-up on a client): events
    // are no longer handled.
    bool Ended() const { return ended_; }

    // --- the secure channel (secure/Secure.h) ---------------------------------------
    // How this connection is protected; State::None until it has settled.
    LinkSecurity Security() const;
    // Settled: the link is known to be plain or secure (with the peer's identity
    // checked), or the connection is gone (or never came). Actions wait for this.
    bool SecuritySettled() const;
    bool Secure() const override;
    std::string PeerIdentity() const override;
    // The user confirmed that both codes match: the peer's identity is pinned for its
    // address, and later connections from it show as verified.
    void TrustPeer();
    // Nothing is sent over a link that is not encrypted; such a link is ended at once.
    // On by RequireSecure=on in settings.dat, or forced by the caller.
    void SetRequireSecure(bool on) { requireSecureForced_ = on; }
    // Asked before anything of ours is sent when the peer's identity is not the one
    // confirmed for its address (changedIdentity), or when a peer confirmed before comes
    // back without encryption. False ends the connection. Unset: the platform's
    // ConfirmBox.
    std::function<bool(const std::string& text, bool changedIdentity)> ConfirmRisk;

    // Bytes of the peer's held back for a message not yet complete.
    size_t PendingBytes() const { return framer_.Pending(); }

    // File messages go to `receiver` (none: they are dropped).
    void Attach(FileReceiver* receiver) override { files_ = receiver; }

  private:
    // Puts `text` into WorkText, enciphers it and sends it behind `tag`; says why when
    // it cannot (not connected, key files unusable, the send failed).
    bool SendEnciphered(const std::string& tag, const std::string& text, const char* what);

    // Runs a socket event's handler; what it throws is reported in the status list and
    // goes no further.
    template <class F>
    void Guarded(const F& handler);
    // Hands on every complete message the framer holds.
    void DispatchReady();
    // The framer holds a file end that may go on: until more of it arrives or the wait
    // is over, then it is taken as it is.
    void WaitForEndOfFile();
    void EndOfFileWaitOver();
    // One poll of a connection attempt; the next follows on a timer.
    void PollConnect();
    void Connected();
    void NoteBlock();
    // The fast link's state starts afresh with each connection.
    void ResetFast();
    void SendProbe();
    void OnProbe(const std::string& probe);
    // Nothing of ours may go yet: the host's probe is held back alone, or the link has
    // not settled.
    bool HeldBack() const;
    // Runs `send` now, or once nothing is held back any more, after what waits before it.
    void WhenClear(std::function<void()> send);
    // Sends what waits, in order, while nothing holds it back.
    void Release();
    // What waits will never go: the connection ended.
    void DropHeld();
    bool SendNow(const std::string& message);
    void SendKeyNow(const std::string& key);
    void SendChatLineNow(const std::string& line);
    // Sends bytes as they are (the handshake, and what the channel has sealed).
    bool SendRaw(const std::string& bytes);
    // On a fast link, what a socket event's handlers send goes out together when the
    // event is done: one record and one write for many blocks or "OK:"s.
    template <class F>
    void Batched(const F& handler);
    bool FlushOutbox();

    // The secure channel. Host: the answer to its probe; client: a version-2 probe and
    // the host's reveal.
    // Host: offers the channel with the probe; false when it cannot be offered.
    bool OfferSecure(const std::string& clientAddress);
    std::string NewNonce() const;
    void OnAnswer(const std::string& answer);
    void AnswerSecure(const std::string& probe);
    void OnReveal(const std::string& reveal);
    // The handshake is done: our stream starts (header, hello) and what the framer
    // holds is the start of the peer's.
    void StartStreams();
    void FeedSecure(const std::string& bytes);
    void DrainInbox();
    void OnPeerHello(const std::string& record);
    void SettleSecure();
    void SettlePlain();
    // The pending step's time is over: plain where nothing began, failed where it did.
    void CheckSecurityDeadline();
    void SetSecurityDeadline(int64_t ms);
    bool AskRisk(const std::string& text, bool changedIdentity);
    bool LoadIdentity();
    // The setting allows the channel, libsodium works and we have our identity.
    bool SecureOn();
    // The handshake or a record failed: nothing more is read or sent on this
    // connection.
    void FailSecure(const std::string& line);
    // Ends the connection without a hang-up message, as if the peer had gone.
    void DropConnection();
    // The connection went (or was dropped): what was going either way ends.
    void ConnectionGone();
    // Hangs up ourselves, by the user's choice or a rule of ours.
    void EndConnection();
    void ResetSecure();
    Framer::Context FramerContext() const;
    void Dispatch(const std::string& message);
    void OnIP(const std::string& payload);
    void OnKY(const std::string& payload);
    void OnCT(const std::string& payload);
    // A received "KY:" or "CT:" payload deciphered; nothing when it cannot be, and the
    // status list says why.
    std::optional<std::string> Deciphered(const std::string& payload, const char* what);
    // Whether one more received key may be saved now.
    bool TakeKeyToken();
    void OnXX();
    // Sends "XX:" and closes; failures are ignored (the program is ending anyway). When
    // the host's probe is still held back alone, the hang-up follows when the hold-back
    // is over: at once for a program that is ending, on a timer otherwise.
    void HangUp();
    void SendHangUp();
    // A hang-up still waiting for the hold-back goes now.
    void FinishHangUp();
    void WipeKeyFiles(bool report);
    void End();

    MainState& st_;
    MainView& view_;
    SDK& sdk_;
    Platform& platform_;
    Sock& sock_;
    FileReceiver* files_ = nullptr;
    Framer framer_;
    bool ended_ = false;
    bool boxOpen_ = false;
    OneShot endTimer_{platform_};      // a held file end waits for the rest of itself
    OneShot connectTimer_{platform_};  // the next poll of a connection attempt
    int polls_ = 0;
    std::string connectingTo_;                // the address of the attempt
    OneShot holdTimer_{platform_};            // the host's hold-back after its probe is over
    OneShot hangUpTimer_{platform_};          // our hang-up follows the probe after the hold-back
    std::deque<std::function<void()>> held_;  // sends held back, in order
    bool keysReady_ = false;
    int64_t lastBlockMs_ = -1;  // when the latest block of the file being received came
    int64_t longestGapMs_ = -1;
    bool fastOn_ = false;  // the setting, read when this connection began
    bool fast_ = false;
    bool probed_ = false;
    std::string awaitedAnswer_;  // host: the answer its probe asks for
    int64_t holdUntilMs_ = -1;   // host: its next message waits until then
    // The clock the saved keys have used up: a key is saved while it lags now by at
    // least kKeyRefillMs, and it never lags by more than kKeyBurst of them.
    int64_t keyTokenMs_ = INT64_MIN / 2;
    bool keysThrottled_ = false;
    bool requireSecureForced_ = false;

    // The secure channel of this connection.
    enum class Sec : uint8_t { Idle, Pending, Secure, Plain };
    Sec sec_ = Sec::Idle;
    bool requireSecure_ = false;  // for this connection
    bool asking_ = false;         // a warning about the peer is open
    bool broken_ = false;         // a record failed: the connection ends
    bool flooded_ = false;        // too much came while a question was open
    std::string sentAddress_;     // client: the address text its "IP:" carried
    std::optional<secure::Identity> identity_;
    std::unique_ptr<secure::Handshake> hs_;
    std::unique_ptr<secure::Sealer> sealer_;
    std::unique_ptr<secure::Opener> opener_;
    std::deque<std::string> inbox_;  // records opened, not yet handed on
    // Fast link: messages sent while an event is handled, not yet written (plain text
    // for the channel to seal, or the bytes themselves without it).
    std::string outbox_;
    int batching_ = 0;
    static constexpr size_t kMaxBatch = secure::kMaxRecordText;
    size_t inboxBytes_ = 0;
    // Messages that came in the clear while the link had not settled.
    std::vector<std::string> heldPlain_;
    static constexpr size_t kMaxHeldPlain = 256;
    static constexpr size_t kMaxHeldBytes = size_t{16} << 20;
    size_t heldPlainBytes_ = 0;
    bool draining_ = false;
    bool helloSeen_ = false;
    std::string peerIdentity_;
    bool verified_ = false;
    int64_t secDeadlineMs_ = -1;
    OneShot secTimer_;
};

// Writes a received key to "Key" + HHMMSS + ".txt" in `folder` (or the next free name
// "Key" + HHMMSS + "-2.txt", "-3", ...), never replacing a file. Returns the name used
// (without the folder); throws FileError when the key cannot be written.
std::string WriteKeyFile(const std::string& folder, const std::string& hhmmss,
                         const std::string& key);

}  // namespace keyvane
