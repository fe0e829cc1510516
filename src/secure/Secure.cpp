// The handshake, the code people compare, and the hellos that bind identities to it.
#include "secure/Secure.h"

#include <sodium.h>

#include <cstdio>
#include <stdexcept>

#include "secure/SecureUtil.h"

namespace keyvane::secure {

namespace {

// Labels keep each hash and signature to its own purpose: a transcript hash can never
// stand in for a code or a hello's signed text.
constexpr std::string_view kTranscriptLabel = "Keyvane secure channel 2";
constexpr std::string_view kCodeLabel = "Keyvane secure channel 2 code";
constexpr std::string_view kHelloLabel = "Keyvane secure channel 2 hello";
constexpr std::string_view kProbePrefix = "KV?2";
constexpr std::string_view kAnswerPrefix = "KV!2";

Key HashOf(std::string_view bytes) {
    Key out{};
    crypto_generichash(out.data(), out.size(), Bytes(bytes), bytes.size(), nullptr, 0);
    return out;
}

void AddField(crypto_generichash_state& st, std::string_view field) {
    uint8_t len[8];
    uint64_t n = field.size();
    for (auto& b : len) {
        b = static_cast<uint8_t>(n & 0xff);
        n >>= 8;
    }
    crypto_generichash_update(&st, len, sizeof len);
    crypto_generichash_update(&st, Bytes(field), field.size());
}

// `prefix` nonce key-digits, each part of its fixed length and lower-case hex.
bool WellFormed(std::string_view msg, std::string_view prefix) {
    return msg.size() == kProbeLength && msg.substr(0, prefix.size()) == prefix &&
           IsLowerHex(msg.substr(prefix.size()));
}

std::string SignedText(char role, const Handshake& hs, std::string_view addressText) {
    std::string text(kHelloLabel);
    text += role;
    text.append(reinterpret_cast<const char*>(hs.Transcript().data()), hs.Transcript().size());
    text += addressText;
    return text;
}

char RoleByte(Handshake::Role role) {
    return role == Handshake::Role::Host ? 'H' : 'C';
}

}  // namespace

bool Available() {
    static const bool ok = sodium_init() >= 0;
    return ok;
}

std::string NewNonce() {
    Available();  // the generator is ready after sodium_init
    uint8_t raw[kNonceDigits / 2];
    randombytes_buf(raw, sizeof raw);
    return ToHex(std::string_view(reinterpret_cast<const char*>(raw), sizeof raw));
}

std::string ToHex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

bool IsLowerHex(std::string_view s) {
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::optional<std::string> FromHex(std::string_view hex) {
    if (hex.size() % 2 != 0 || !IsLowerHex(hex)) return std::nullopt;
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    std::string out(hex.size() / 2, '\0');
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    return out;
}

Handshake::Handshake(Role role, std::string addressText)
    : role_(role), addressText_(std::move(addressText)) {
    if (!Available()) {
        failed_ = true;
        return;
    }
    crypto_kx_keypair(publicKey_.data(), secretKey_.data());
}

Handshake::Handshake(Role role, std::string addressText, const Key& seed)
    : role_(role), addressText_(std::move(addressText)) {
    if (!Available()) {
        failed_ = true;
        return;
    }
    crypto_kx_seed_keypair(publicKey_.data(), secretKey_.data(), seed.data());
}

Handshake::~Handshake() {
    sodium_memzero(secretKey_.data(), secretKey_.size());
    sodium_memzero(send_.data(), send_.size());
    sodium_memzero(receive_.data(), receive_.size());
}

bool Handshake::Fail() {
    failed_ = true;
    done_ = false;
    sodium_memzero(secretKey_.data(), secretKey_.size());
    sodium_memzero(send_.data(), send_.size());
    sodium_memzero(receive_.data(), receive_.size());
    return false;
}

std::string Handshake::Probe(std::string_view nonce) {
    if (failed_ || role_ != Role::Host || !probe_.empty() || nonce.size() != kNonceDigits ||
        !IsLowerHex(nonce)) {
        Fail();
        return {};
    }
    const Key commitment = HashOf(AsText(publicKey_));
    probe_ = std::string(kProbePrefix) + std::string(nonce) + ToHex(AsText(commitment));
    return probe_;
}

std::optional<std::string> Handshake::Answer(std::string_view probe) {
    if (failed_ || role_ != Role::Client || !probe_.empty() || !WellFormed(probe, kProbePrefix)) {
        Fail();
        return std::nullopt;
    }
    probe_ = probe;
    answer_ = std::string(kAnswerPrefix) + probe_.substr(kProbePrefix.size(), kNonceDigits) +
              ToHex(AsText(publicKey_));
    return answer_;
}

std::optional<std::string> Handshake::Reveal(std::string_view answer) {
    const size_t at = kAnswerPrefix.size();
    if (failed_ || role_ != Role::Host || probe_.empty() || !answer_.empty() ||
        !WellFormed(answer, kAnswerPrefix) ||
        answer.substr(at, kNonceDigits) != std::string_view(probe_).substr(at, kNonceDigits)) {
        Fail();
        return std::nullopt;
    }
    answer_ = answer;
    std::array<uint8_t, 32> clientKey{};
    const std::string raw = *FromHex(answer.substr(at + kNonceDigits));
    std::copy(raw.begin(), raw.end(), clientKey.begin());
    std::string reveal = std::string(kReveal) + ToHex(AsText(publicKey_));
    if (!Derive(reveal, clientKey)) return std::nullopt;
    return reveal;
}

bool Handshake::Finish(std::string_view reveal) {
    if (failed_ || done_ || role_ != Role::Client || answer_.empty() ||
        reveal.size() != kRevealLength || reveal.substr(0, kReveal.size()) != kReveal)
        return Fail();
    const auto hostKey = FromHex(reveal.substr(kReveal.size()));
    if (!hostKey) return Fail();
    const Key hash = HashOf(*hostKey);
    const auto commitment =
        FromHex(std::string_view(probe_).substr(kProbePrefix.size() + kNonceDigits));
    if (sodium_memcmp(hash.data(), commitment->data(), hash.size()) != 0) return Fail();
    std::array<uint8_t, 32> serverKey{};
    std::copy(hostKey->begin(), hostKey->end(), serverKey.begin());
    return Derive(std::string(reveal), serverKey);
}

bool Handshake::Derive(const std::string& reveal, const std::array<uint8_t, 32>& peerKey) {
    crypto_generichash_state st;
    crypto_generichash_init(&st, nullptr, 0, transcript_.size());
    crypto_generichash_update(&st, Bytes(kTranscriptLabel), kTranscriptLabel.size());
    for (std::string_view field : {std::string_view(addressText_), std::string_view(probe_),
                                   std::string_view(answer_), std::string_view(reveal)})
        AddField(st, field);
    crypto_generichash_final(&st, transcript_.data(), transcript_.size());

    Key rx{}, tx{};
    const int kx = role_ == Role::Host
                       ? crypto_kx_server_session_keys(rx.data(), tx.data(), publicKey_.data(),
                                                       secretKey_.data(), peerKey.data())
                       : crypto_kx_client_session_keys(rx.data(), tx.data(), publicKey_.data(),
                                                       secretKey_.data(), peerKey.data());
    if (kx == 0) {
        crypto_generichash(send_.data(), send_.size(), transcript_.data(), transcript_.size(),
                           tx.data(), tx.size());
        crypto_generichash(receive_.data(), receive_.size(), transcript_.data(), transcript_.size(),
                           rx.data(), rx.size());
    }
    sodium_memzero(rx.data(), rx.size());
    sodium_memzero(tx.data(), tx.size());
    // The session's keys are all that is needed from here on.
    sodium_memzero(secretKey_.data(), secretKey_.size());
    if (kx != 0) return Fail();
    done_ = true;
    return true;
}

std::string Handshake::Code() const {
    return done_ ? CodeOf(transcript_) : std::string();
}

std::string CodeOf(const Key& transcript) {
    std::string text(kCodeLabel);
    text += AsText(transcript);
    const Key hash = HashOf(text);
    uint64_t n = 0;
    for (int i = 7; i >= 0; --i) n = n << 8 | hash[static_cast<size_t>(i)];
    const unsigned v = static_cast<unsigned>(n % 1000000);
    char out[8];
    std::snprintf(out, sizeof out, "%03u %03u", v / 1000, v % 1000);
    return out;
}

std::string Hello(const Identity& me, const Handshake& hs, std::string_view addressText) {
    if (!hs.Done()) throw std::logic_error("hello before the handshake is done");
    return me.PublicKey() + me.Sign(SignedText(RoleByte(hs.Side()), hs, addressText)) +
           std::string(addressText);
}

std::optional<PeerHello> CheckHello(std::string_view record, const Handshake& hs) {
    constexpr size_t kFixed = crypto_sign_PUBLICKEYBYTES + crypto_sign_BYTES;
    if (!hs.Done() || record.size() < kFixed || record.size() - kFixed > kMaxAddressText)
        return std::nullopt;
    const std::string_view identity = record.substr(0, crypto_sign_PUBLICKEYBYTES);
    const std::string_view signature = record.substr(crypto_sign_PUBLICKEYBYTES, crypto_sign_BYTES);
    const std::string_view addressText = record.substr(kFixed);
    const char peerRole = RoleByte(hs.Side() == Handshake::Role::Host ? Handshake::Role::Client
                                                                      : Handshake::Role::Host);
    const std::string text = SignedText(peerRole, hs, addressText);
    if (crypto_sign_verify_detached(Bytes(signature), Bytes(text), text.size(), Bytes(identity)) !=
        0)
        return std::nullopt;
    return PeerHello{std::string(identity), std::string(addressText)};
}

}  // namespace keyvane::secure
