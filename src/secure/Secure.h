// The secure channel between two Keyvane peers, built from libsodium alone.
//
// Offered by the host's probe of version 2 (link/FastLink.h), which also carries the
// host's commitment to its key; three messages in the clear, then one encrypted stream
// per direction:
//   host   -> client  "KV?2" nonce commitment   nonce: 16 hex digits; commitment: 64 hex
//                                               digits, the hash of the host's public key
//   client -> host    "KV!2" nonce key          the client's public key (64 hex digits)
//   host   -> client  "KVK" key                 the host's public key, revealed
// The host commits before it sees the client's key and reveals after, so a man in the
// middle fixes both of its keys before it learns either honest one: its codes with the
// two sides then agree by chance only (one in a million).
//
// Keys: fresh X25519 pairs for each connection (crypto_kx). The transcript hash
// (crypto_generichash) covers the client's address text as its "IP:" carried it and the
// three messages whole (nonce, versions, both keys). Each direction's key is the
// generic hash of the transcript keyed with crypto_kx's session key for it; the code both
// people compare is six digits from another hash of the transcript.
//
// Each direction is then one crypto_secretstream_xchacha20poly1305 stream: its 24-byte
// header, then records of a 3-byte big-endian length and that many bytes of ciphertext.
// A record holds at most kMaxRecordText bytes of plain text: whole messages, a longer
// one split over several. The first record of each stream is its sender's hello
// (identity key, signature over the transcript, address text); an orderly end carries
// the FINAL tag.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keyvane::secure {

constexpr char kVersion = '2';
constexpr std::string_view kReveal = "KVK";
constexpr size_t kNonceDigits = 16;
constexpr size_t kKeyDigits = 64;
constexpr size_t kProbeLength = 3 + 1 + kNonceDigits + kKeyDigits;  // "KV?2"... and "KV!2"...
constexpr size_t kRevealLength = 3 + kKeyDigits;
constexpr size_t kHeaderBytes = 24;         // crypto_secretstream_xchacha20poly1305_HEADERBYTES
constexpr size_t kRecordOverhead = 3 + 17;  // length, and the stream's ABYTES
constexpr size_t kMaxRecordText = 65536;
constexpr size_t kMaxAddressText = 255;  // longer in a hello is refused

// Sets libsodium up; false when it cannot be used (then no channel is offered or
// accepted). Safe to call often.
bool Available();

using Key = std::array<uint8_t, 32>;

// 16 random lower-case hex digits for a probe.
std::string NewNonce();

// The handshake of one connection. Secrets are wiped when it goes.
class Handshake {
  public:
    enum class Role { Host, Client };
    // `addressText`: the client's own address text, as its "IP:" carried it.
    Handshake(Role role, std::string addressText);
    // The same with this side's key pair made from `seed`, so a test can fix it.
    Handshake(Role role, std::string addressText, const Key& seed);
    ~Handshake();
    Handshake(const Handshake&) = delete;
    Handshake& operator=(const Handshake&) = delete;

    // Host, first: the probe that offers the channel. `nonce` is 16 lower-case hex digits.
    // Any other nonce, or a step out of order, fails the handshake and gives "".
    std::string Probe(std::string_view nonce);
    // Client: its answer to a probe of version 2; nothing when the probe is malformed.
    std::optional<std::string> Answer(std::string_view probe);
    // Host: takes the client's answer and returns its reveal; nothing when the answer is
    // no sound one (the handshake has failed).
    std::optional<std::string> Reveal(std::string_view answer);
    // Client: takes the host's reveal; false when it does not match the commitment or
    // the key exchange fails.
    bool Finish(std::string_view reveal);

    bool Done() const { return done_; }
    bool Failed() const { return failed_; }
    Role Side() const { return role_; }
    // After Done: this side's sending and receiving keys, the transcript hash, and the
    // code both people compare ("482 913").
    const Key& SendKey() const { return send_; }
    const Key& ReceiveKey() const { return receive_; }
    const Key& Transcript() const { return transcript_; }
    std::string Code() const;  // "" before Done

  private:
    bool Fail();
    bool Derive(const std::string& reveal, const std::array<uint8_t, 32>& peerKey);

    Role role_;
    std::string addressText_;
    std::string probe_, answer_;
    std::array<uint8_t, 32> publicKey_{}, secretKey_{};
    Key send_{}, receive_{}, transcript_{};
    bool done_ = false, failed_ = false;
};

// The six digits of a transcript, as two groups of three: "482 913".
std::string CodeOf(const Key& transcript);

// One direction out: the stream's header first, then records.
class Sealer {
  public:
    explicit Sealer(const Key& key);
    ~Sealer();
    Sealer(const Sealer&) = delete;
    Sealer& operator=(const Sealer&) = delete;
    // The header; sent once, before the first record.
    std::string Header() const;
    // `text` as records (one per kMaxRecordText bytes, at least one); `final` puts the
    // FINAL tag on the last. Nothing may be sealed after a final record.
    std::string Seal(std::string_view text, bool final = false);
    bool Ended() const { return ended_; }

  private:
    struct State;
    std::unique_ptr<State> s_;
    bool ended_ = false;
};

// One direction in.
class Opener {
  public:
    enum class Result {
        More,   // every complete record was opened; the rest waits for more bytes
        Ended,  // the FINAL record came (bytes after it are Broken)
        Broken  // a record failed its check, or the stream is malformed: nothing more
    };
    explicit Opener(const Key& key);
    ~Opener();
    Opener(const Opener&) = delete;
    Opener& operator=(const Opener&) = delete;
    // Adds bytes; appends the plain text of each record opened to `records`, one entry
    // per record, in order. Once Broken or Ended, nothing more is opened.
    Result Feed(std::string_view bytes, std::vector<std::string>& records);
    bool Ended() const { return result_ == Result::Ended; }
    bool Broken() const { return result_ == Result::Broken; }
    // Bytes held for a record not yet complete (never more than one record).
    size_t Pending() const { return buf_.size(); }

  private:
    struct State;
    std::unique_ptr<State> s_;
    std::string buf_;
    bool headerRead_ = false;
    Result result_ = Result::More;
};

// This installation's long-term identity: an Ed25519 key pair in identity.key in the
// data folder (the 64-byte secret key, made 0600 on first use).
class Identity {
  public:
    static constexpr const char* kFile = "identity.key";
    // Loads the key, or makes and saves one; throws FileError when neither works.
    static Identity LoadOrCreate(const std::string& folder);
    ~Identity();
    Identity(Identity&&) noexcept;
    Identity& operator=(Identity&&) noexcept;
    Identity(const Identity&) = delete;
    Identity& operator=(const Identity&) = delete;
    std::string PublicKey() const;                     // 32 bytes
    std::string Sign(std::string_view message) const;  // 64 bytes

  private:
    Identity() = default;
    std::array<uint8_t, 64> secret_{};
};

// The hello that opens each stream: the sender's identity key, its signature over the
// handshake's transcript and role, and its address text (the host's own, which the
// client then builds the key files from; the client's repeats its "IP:"). Throws
// std::logic_error before the handshake is done.
std::string Hello(const Identity& me, const Handshake& hs, std::string_view addressText);
struct PeerHello {
    std::string identity;  // 32 bytes
    std::string addressText;
};
// The peer's hello, checked against the transcript and the peer's role; nothing when it
// is malformed or its signature fails.
std::optional<PeerHello> CheckHello(std::string_view record, const Handshake& hs);

// Identities the user has confirmed: trusted.dat in the data folder, one line per peer,
// "address-text-in-hex identity-in-hex". Written 0600.
class TrustStore {
  public:
    static constexpr const char* kFile = "trusted.dat";
    explicit TrustStore(std::string folder) : folder_(std::move(folder)) {}
    enum class Verdict {
        New,      // neither this identity nor this address was confirmed
        Trusted,  // this identity was confirmed
        Changed   // another identity was confirmed for this address, this one never
    };
    // A missing file confirms nothing; one that is there but cannot be read throws
    // FileError rather than passing a changed identity off as new.
    Verdict Check(std::string_view addressText, std::string_view identity) const;
    // Some identity was confirmed for this address.
    bool KnownAddress(std::string_view addressText) const;
    // Confirms `identity` for `addressText` (replacing another for the same address);
    // throws FileError when the file cannot be written.
    void Pin(std::string_view addressText, std::string_view identity) const;

  private:
    std::vector<std::string> Lines() const;
    std::string folder_;
};

std::string ToHex(std::string_view bytes);

}  // namespace keyvane::secure
