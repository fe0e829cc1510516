#include "link/FastLink.h"

#include <algorithm>
#include <cctype>

#include "platform/files.h"

namespace keyvane::fast {

namespace {

constexpr size_t kProbeLength = 3 + 1 + kNonceDigits;

std::string Trimmed(std::string_view s) {
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    std::string out(s.substr(a, b - a));
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

size_t ControlLength(std::string_view tag) {
    if (tag == kProbe || tag == kAnswer) return kProbeLength;
    if (tag == kEnvelope) return 3 + kEnvelopeDigits;
    if (tag == kFileHead) return 3 + 32;
    if (tag == kResume) return 3 + 8;
    if (tag == kHash) return 3 + 64;
    return 0;
}

bool IsHex(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string Hex(uint64_t value, size_t digits) {
    std::string s(digits, '0');
    for (size_t i = digits; i-- > 0; value >>= 4) s[i] = "0123456789abcdef"[value & 15];
    return s;
}

std::optional<uint64_t> ParseHex(std::string_view digits) {
    if (digits.empty() || digits.size() > 16 || !IsHex(digits)) return std::nullopt;
    uint64_t v = 0;
    for (char c : digits) v = v << 4 | static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    return v;
}

std::string Probe(std::string_view nonce) {
    return std::string(kProbe) + kVersion + std::string(nonce);
}

std::string AnswerTo(std::string_view probe) {
    return std::string(kAnswer) + std::string(probe.substr(3));
}

std::string Envelope(std::string_view message) {
    return std::string(kEnvelope) + Hex(message.size(), kEnvelopeDigits) + std::string(message);
}

std::string FileHead(uint64_t length, uint64_t stamp) {
    return std::string(kFileHead) + Hex(length, 16) + Hex(stamp, 16);
}

std::string Resume(uint32_t blocks) {
    return std::string(kResume) + Hex(blocks, 8);
}

std::string HashMessage(std::string_view sha256Hex) {
    return std::string(kHash) + std::string(sha256Hex);
}

std::optional<FileOffer> ParseFileHead(std::string_view m) {
    if (m.size() != ControlLength(kFileHead) || m.substr(0, 3) != kFileHead) return std::nullopt;
    auto length = ParseHex(m.substr(3, 16)), stamp = ParseHex(m.substr(19, 16));
    if (!length || !stamp) return std::nullopt;
    return FileOffer{*length, *stamp};
}

namespace {

// The value of the line `name`=value in settings.dat (name in lower case; blanks and
// case do not matter); nothing when there is no such line or no readable file.
std::optional<std::string> Setting(const std::string& appFolder, std::string_view name) {
    std::string content;
    try {
        content = ReadWholeFile(appFolder + kSettingsFile);
    } catch (const FileError&) {
        return std::nullopt;
    }
    std::optional<std::string> value;
    size_t at = 0;
    while (at < content.size()) {
        size_t end = content.find('\n', at);
        if (end == std::string::npos) end = content.size();
        const std::string_view line = std::string_view(content).substr(at, end - at);
        at = end + 1;
        const size_t eq = line.find('=');
        if (eq != std::string_view::npos && Trimmed(line.substr(0, eq)) == name)
            value = Trimmed(line.substr(eq + 1));
    }
    return value;
}

}  // namespace

bool FastTransfersOn(const std::string& appFolder) {
    const auto v = Setting(appFolder, "fasttransfers");
    return !(v && (*v == "off" || *v == "0" || *v == "no" || *v == "false"));
}

bool SecureChannelOn(const std::string& appFolder) {
    const auto v = Setting(appFolder, "securechannel");
    return !(v && (*v == "off" || *v == "0" || *v == "no" || *v == "false"));
}

bool RequireSecureOn(const std::string& appFolder) {
    const auto v = Setting(appFolder, "requiresecure");
    return v && (*v == "on" || *v == "1" || *v == "yes" || *v == "true");
}

bool SendWindow::Acked(int64_t nowMs) {
    if (sentAt_.empty()) return false;
    const int64_t rtt = std::max<int64_t>(0, nowMs - sentAt_.front());
    sentAt_.pop_front();
    if (minRtt_ < 0 || rtt < minRtt_) minRtt_ = rtt;
    limit_ = std::min(limit_ + 1, kMaxWindow);
    return true;
}

}  // namespace keyvane::fast
