// Fast transfers between two Keyvane peers, negotiated on each connection.
//
// The wire's eight messages move one 1000-byte block per round trip. Between two
// Keyvane peers several blocks may be in flight; with any other peer, and whenever the
// question below gets no answer, every byte we send stays as it always was.
//
// Asking. Only the host asks, once per connection: right after the client's "IP:" has
// built the key files, when nothing of ours has been sent yet, it sends the probe
//   "KV?" "1" nonce          nonce: 16 random lower-case hex digits
// and holds back its own next message for up to kHoldBackMs, so the probe arrives in a
// read of its own: a peer that knows only the eight messages drops it without a trace
// (a probe glued to a message would take that message with it). A Keyvane client
// (with the setting on) answers
//   "KV!" "1" nonce          the same nonce
// and from then on counts the link as fast; the host does when that answer comes, even
// after the hold-back is over. A host that can run the secure channel asks with version
// "2" instead, whose probe and answer also carry the channel's first two handshake
// messages (secure/Secure.h); a client answers either version, a host awaits only its
// own, and a version-2 answer must come within the hold-back. Nothing a plain peer sends can be the
// answer: it would have to echo a nonce it cannot read as one. While an answer is awaited the
// host's framer also finds it at the end of a read that a chat line or key took up.
//
// On a fast link, and only there:
//   "KVM" length message     an envelope: 6 hex digits, then one "CT:", "KY:" or "FL:"
//                            message of that many bytes, so no read boundary matters.
//                            Chat, keys and file names always travel this way.
//   "KVF" length stamp       after an enveloped "FL:": the file's length and its
//                            modification time (16 hex digits each)
//   "KVR" blocks             the receiver's answer: how many whole blocks it already
//                            holds of that very file (8 hex digits; 0 starts afresh)
//   "KVH" sha256             before the closing "FB:RM:": the SHA-256 of the whole file
//                            (64 hex digits), checked by the receiver, which says
//                            "File received (verified)." or reports the mismatch
// The blocks themselves are unchanged ("FB:" 1000 enciphered bytes "|", "FB:RM:" rest
// "|", one "OK:" for each). The sender keeps up to SendWindow::Limit() blocks
// unacknowledged, and stops while the socket holds more than kMaxQueuedBytes it could not
// hand to the system yet, so memory stays flat whatever the receiver does. The receiver knows the
// file's length, so the closing message's length is known too and no read boundary is guessed. A
// file is finished on the sender's side when every message of it is acknowledged.
//
// Resume: a fast receive that ends early (lost connection, hang-up) keeps its partial
// file and a note (resume.dat in the data folder: name, length, stamp, and the name the
// file was saved under). When the same name, length and stamp are offered again, the
// receiver answers with the whole blocks it holds, the sender goes on from there, and
// the SHA-256 of the whole file, read back from disk, tells whether the joined file is
// the sent one.
//
// Neither side trusts the other's numbers: an offer longer than any file a sender of
// ours can count is refused, a "KVR" past the file's end starts it afresh, blocks past
// the announced length end the receive, and a sender whose offer gets no "KVR" gives up
// after FileTransfer::kAnswerWaitMs (and time to read back a partial file).
//
// The user switches all this off with the line "FastTransfers=off" in settings.dat in
// the program's data folder; then no probe is sent and none is answered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace keyvane::fast {

constexpr std::string_view kProbe = "KV?";
constexpr std::string_view kAnswer = "KV!";
constexpr std::string_view kEnvelope = "KVM";
constexpr std::string_view kFileHead = "KVF";
constexpr std::string_view kResume = "KVR";
constexpr std::string_view kHash = "KVH";
constexpr char kVersion = '1';
constexpr int kHoldBackMs = 1000;
constexpr size_t kNonceDigits = 16;
constexpr size_t kEnvelopeDigits = 6;
constexpr size_t kMaxEnvelope = size_t{1} << 20;

// Whole length of a control message of fixed size that starts with `tag`; the envelope's
// header ("KVM" and its digits) for "KVM"; 0 for anything else.
size_t ControlLength(std::string_view tag);
// True when `s` holds only lower-case hex digits.
bool IsHex(std::string_view s);

std::string Hex(uint64_t value, size_t digits);
// The value of hex digits; nothing when they are not all hex or do not fit.
std::optional<uint64_t> ParseHex(std::string_view digits);

// "KV?1" + nonce, and the answer to it ("KV!1" + the same nonce).
std::string Probe(std::string_view nonce);
std::string AnswerTo(std::string_view probe);
std::string Envelope(std::string_view message);
std::string FileHead(uint64_t length, uint64_t stamp);
std::string Resume(uint32_t blocks);
std::string HashMessage(std::string_view sha256Hex);

// A file offer from "KVF": nothing when the message is malformed.
struct FileOffer {
    uint64_t length = 0;
    uint64_t stamp = 0;
};
std::optional<FileOffer> ParseFileHead(std::string_view message);

// The setting: on unless settings.dat in `appFolder` holds the line FastTransfers=off
// (or 0, no, false; blanks and case do not matter). A missing or unreadable file is on.
bool FastTransfersOn(const std::string& appFolder);
// SecureChannel=off (or 0, no, false) in the same file: the secure channel is neither
// offered nor accepted, and a fast link stays plain. On when missing.
bool SecureChannelOn(const std::string& appFolder);
// RequireSecure=on (or 1, yes, true) in the same file: nothing is sent over a link that
// is not encrypted. Off when missing.
bool RequireSecureOn(const std::string& appFolder);
constexpr const char* kSettingsFile = "settings.dat";

// How many blocks may be unacknowledged. TCP's own congestion control already protects
// the network: the window only has to cover the bandwidth-delay product, so it grows by
// one block per acknowledgement (doubling every round trip) up to kMaxWindow and never
// shrinks when the round trip climbs, which it always does through a router's deep
// queue. A link slower than the window holds the sender back through the socket: the
// sender stops while the socket holds more than kMaxQueuedBytes of its own.
// It starts at 128 blocks: from 16, a link of 10 MB/s at 50 ms took five round trips to
// fill, a tenth of a 20 MB file's time. The socket's own start holds the first burst.
// Times are the caller's milliseconds; blocks are acknowledged in order.
class SendWindow {
  public:
    static constexpr size_t kMinWindow = 128;
    static constexpr size_t kMaxWindow = 1024;  // 1 MB in flight: 20 MB/s at 50 ms
    static constexpr size_t kMaxQueuedBytes = size_t{1} << 20;

    void Sent(int64_t nowMs) { sentAt_.push_back(nowMs); }
    // Acknowledges the oldest block in flight; false when none was.
    bool Acked(int64_t nowMs);
    size_t InFlight() const { return sentAt_.size(); }
    size_t Limit() const { return limit_; }
    bool CanSend() const { return sentAt_.size() < limit_; }
    int64_t MinRoundTripMs() const { return minRtt_; }

  private:
    std::deque<int64_t> sentAt_;
    size_t limit_ = kMinWindow;
    int64_t minRtt_ = -1;
};

}  // namespace keyvane::fast
