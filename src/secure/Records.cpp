// The encrypted stream of each direction: a secretstream header, then length-prefixed
// records.
#include <sodium.h>

#include <algorithm>
#include <stdexcept>

#include "secure/Secure.h"
#include "secure/SecureUtil.h"

namespace keyvane::secure {

namespace {

constexpr size_t kAbytes = crypto_secretstream_xchacha20poly1305_ABYTES;
constexpr size_t kLengthBytes = 3;
constexpr size_t kMaxCipher = kMaxRecordText + kAbytes;
static_assert(kHeaderBytes == crypto_secretstream_xchacha20poly1305_HEADERBYTES);
static_assert(kRecordOverhead == kLengthBytes + kAbytes);
static_assert(kMaxCipher < (size_t{1} << 24));

}  // namespace

struct Sealer::State {
    crypto_secretstream_xchacha20poly1305_state st;
    std::array<uint8_t, kHeaderBytes> header;
    ~State() { sodium_memzero(&st, sizeof st); }
};

Sealer::Sealer(const Key& key) : s_(std::make_unique<State>()) {
    if (!Available()) throw std::runtime_error("libsodium cannot be used");
    crypto_secretstream_xchacha20poly1305_init_push(&s_->st, s_->header.data(), key.data());
}

Sealer::~Sealer() = default;

std::string Sealer::Header() const {
    return std::string(AsText(s_->header));
}

std::string Sealer::Seal(std::string_view text, bool final) {
    if (ended_) throw std::logic_error("sealing after the stream's final record");
    const size_t count = std::max<size_t>(1, (text.size() + kMaxRecordText - 1) / kMaxRecordText);
    std::string out;
    out.reserve(text.size() + count * kRecordOverhead);
    for (size_t i = 0; i < count; ++i) {
        const std::string_view part = text.substr(i * kMaxRecordText, kMaxRecordText);
        const size_t len = part.size() + kAbytes;
        out += static_cast<char>(len >> 16);
        out += static_cast<char>(len >> 8 & 0xff);
        out += static_cast<char>(len & 0xff);
        const size_t at = out.size();
        out.resize(at + len);
        const uint8_t tag = final && i + 1 == count
                                ? crypto_secretstream_xchacha20poly1305_TAG_FINAL
                                : crypto_secretstream_xchacha20poly1305_TAG_MESSAGE;
        crypto_secretstream_xchacha20poly1305_push(
            &s_->st, reinterpret_cast<unsigned char*>(out.data() + at), nullptr, Bytes(part),
            part.size(), nullptr, 0, tag);
    }
    if (final) ended_ = true;
    return out;
}

struct Opener::State {
    crypto_secretstream_xchacha20poly1305_state st;
    Key key;  // until the header comes
    ~State() {
        sodium_memzero(&st, sizeof st);
        sodium_memzero(key.data(), key.size());
    }
};

Opener::Opener(const Key& key) : s_(std::make_unique<State>()) {
    if (!Available()) throw std::runtime_error("libsodium cannot be used");
    s_->key = key;
}

Opener::~Opener() = default;

Opener::Result Opener::Feed(std::string_view bytes, std::vector<std::string>& records) {
    if (result_ == Result::Ended && !bytes.empty()) result_ = Result::Broken;
    if (result_ != Result::More) return result_;

    auto broken = [&] {
        buf_.clear();
        buf_.shrink_to_fit();
        result_ = Result::Broken;
        return result_;
    };
    // One unit (the header, then each record) at a time. A unit that lies whole in
    // `bytes` is opened where it is; only one split over reads is copied, so no more than
    // one record is ever held.
    while (!bytes.empty()) {
        size_t need;
        if (!headerRead_) {
            need = kHeaderBytes;
        } else {
            std::array<uint8_t, kLengthBytes> len{};
            const size_t fromBuf = std::min(buf_.size(), kLengthBytes);
            std::copy_n(buf_.begin(), fromBuf, len.begin());
            const size_t fromBytes = std::min(kLengthBytes - fromBuf, bytes.size());
            std::copy_n(bytes.begin(), fromBytes, len.begin() + fromBuf);
            if (fromBuf + fromBytes < kLengthBytes) {
                buf_.append(bytes);
                return result_;
            }
            const size_t cipher = size_t{len[0]} << 16 | size_t{len[1]} << 8 | len[2];
            if (cipher < kAbytes || cipher > kMaxCipher) return broken();
            need = kLengthBytes + cipher;
        }

        std::string_view unit;
        if (buf_.empty() && bytes.size() >= need) {
            unit = bytes.substr(0, need);
            bytes.remove_prefix(need);
        } else {
            const size_t take = std::min(need - buf_.size(), bytes.size());
            if (buf_.capacity() < need) buf_.reserve(need);
            buf_.append(bytes.substr(0, take));
            bytes.remove_prefix(take);
            if (buf_.size() < need) return result_;
            unit = buf_;
        }

        if (!headerRead_) {
            const int rc = crypto_secretstream_xchacha20poly1305_init_pull(&s_->st, Bytes(unit),
                                                                           s_->key.data());
            sodium_memzero(s_->key.data(), s_->key.size());
            buf_.clear();
            if (rc != 0) return broken();
            headerRead_ = true;
            continue;
        }
        const std::string_view cipher = unit.substr(kLengthBytes);
        std::string plain(cipher.size() - kAbytes, '\0');
        unsigned long long plainLen = 0;
        uint8_t tag = 0;
        if (crypto_secretstream_xchacha20poly1305_pull(
                &s_->st, reinterpret_cast<unsigned char*>(plain.data()), &plainLen, &tag,
                Bytes(cipher), cipher.size(), nullptr, 0) != 0)
            return broken();
        buf_.clear();
        records.push_back(std::move(plain));
        if (tag == crypto_secretstream_xchacha20poly1305_TAG_FINAL) {
            buf_.shrink_to_fit();
            result_ = bytes.empty() ? Result::Ended : Result::Broken;
            return result_;
        }
    }
    return result_;
}

}  // namespace keyvane::secure
