// What the secure channel keeps on disk: this installation's identity and the peers'
// identities the user confirmed.
#include <sodium.h>

#include <filesystem>
#include <stdexcept>

#include "platform/files.h"
#include "secure/Secure.h"
#include "secure/SecureUtil.h"

namespace keyvane::secure {

namespace {

FileError Unusable(const std::string& path, const std::string& name, const std::string& reason) {
    return FileError("Unable to use " + name + " (" + reason + ")", path, reason);
}

struct TrustLine {
    std::string addressText, identity;
};

std::optional<TrustLine> ParseLine(std::string_view line) {
    const size_t space = line.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    auto address = FromHex(line.substr(0, space));
    auto identity = FromHex(line.substr(space + 1));
    if (!address || !identity || identity->size() != crypto_sign_PUBLICKEYBYTES)
        return std::nullopt;
    return TrustLine{std::move(*address), std::move(*identity)};
}

}  // namespace

Identity Identity::LoadOrCreate(const std::string& folder) {
    const std::string path = folder + kFile;
    if (!Available()) throw Unusable(path, kFile, "libsodium cannot be used");
    // Twice: another copy of the program may create the file between our look and ours.
    for (int attempt = 0; attempt < 2; ++attempt) {
        Identity id;
        if (FileExists(path)) {
            const int64_t length = ExistingFileLength(path);
            if (length != static_cast<int64_t>(id.secret_.size()))
                throw Unusable(path, kFile,
                               "it holds " + std::to_string(length) + " bytes, not a key of 64");
            std::string data = ReadWholeFile(path);
            const bool whole = data.size() == id.secret_.size();
            if (whole) std::copy(data.begin(), data.end(), id.secret_.begin());
            sodium_memzero(data.data(), data.size());
            if (!whole) throw Unusable(path, kFile, "it changed while being read");
            // The second half is the public key of the first: a damaged file shows here
            // instead of as signatures no peer accepts.
            std::array<uint8_t, 32> pk{};
            std::array<uint8_t, 64> check{};
            crypto_sign_seed_keypair(pk.data(), check.data(), id.secret_.data());
            const bool sound = sodium_memcmp(check.data(), id.secret_.data(), check.size()) == 0;
            sodium_memzero(check.data(), check.size());
            if (!sound) throw Unusable(path, kFile, "it holds no valid key");
            return id;
        }
        std::array<uint8_t, 32> pk{};
        crypto_sign_keypair(pk.data(), id.secret_.data());
        if (WriteNewFile(path, AsText(id.secret_))) return id;
    }
    throw Unusable(path, kFile, "the name is taken by something that is no plain file");
}

Identity::~Identity() {
    sodium_memzero(secret_.data(), secret_.size());
}

Identity::Identity(Identity&& other) noexcept : secret_(other.secret_) {
    sodium_memzero(other.secret_.data(), other.secret_.size());
}

Identity& Identity::operator=(Identity&& other) noexcept {
    if (this != &other) {
        secret_ = other.secret_;
        sodium_memzero(other.secret_.data(), other.secret_.size());
    }
    return *this;
}

std::string Identity::PublicKey() const {
    std::array<uint8_t, crypto_sign_PUBLICKEYBYTES> pk{};
    crypto_sign_ed25519_sk_to_pk(pk.data(), secret_.data());
    return std::string(AsText(pk));
}

std::string Identity::Sign(std::string_view message) const {
    std::string sig(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(sig.data()), nullptr, Bytes(message),
                         message.size(), secret_.data());
    return sig;
}

std::vector<std::string> TrustStore::Lines() const {
    const std::string path = folder_ + kFile;
    if (!FileExists(path)) return {};
    const std::string content = ReadWholeFile(path);
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < content.size()) {
        size_t end = content.find('\n', at);
        if (end == std::string::npos) end = content.size();
        lines.push_back(content.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

TrustStore::Verdict TrustStore::Check(std::string_view addressText,
                                      std::string_view identity) const {
    bool addressSeen = false;
    for (const auto& line : Lines()) {
        const auto t = ParseLine(line);
        if (!t) continue;
        if (t->identity == identity) return Verdict::Trusted;
        if (t->addressText == addressText) addressSeen = true;
    }
    return addressSeen ? Verdict::Changed : Verdict::New;
}

bool TrustStore::KnownAddress(std::string_view addressText) const {
    for (const auto& line : Lines()) {
        const auto t = ParseLine(line);
        if (t && t->addressText == addressText) return true;
    }
    return false;
}

void TrustStore::Pin(std::string_view addressText, std::string_view identity) const {
    if (identity.size() != crypto_sign_PUBLICKEYBYTES)
        throw std::invalid_argument("an identity is 32 bytes");
    std::string content;
    // Lines we cannot read may be a later version's: they stay.
    for (const auto& line : Lines()) {
        const auto t = ParseLine(line);
        if (line.empty() || (t && t->addressText == addressText)) continue;
        content += line + "\n";
    }
    content += ToHex(addressText) + " " + ToHex(identity) + "\n";

    // Written aside and renamed over, so a failure half-way never loses the pins there.
    const std::string path = folder_ + kFile, aside = path + ".new";
    std::error_code ec;
    std::filesystem::remove(aside, ec);  // a leftover of a write that failed
    if (!WriteNewFile(aside, content))
        throw FileError("Unable to write " + std::string(kFile) + " (the name is taken)", path,
                        "the name is taken");
    std::filesystem::rename(aside, path, ec);
    if (ec) {
        const std::string reason = ec.message();
        std::filesystem::remove(aside, ec);
        throw FileError("Unable to write " + std::string(kFile) + " (" + reason + ")", path,
                        reason);
    }
}

}  // namespace keyvane::secure
