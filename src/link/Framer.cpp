#include "link/Framer.h"

#include <algorithm>
#include <array>

namespace keyvane {

namespace {

constexpr std::array<std::string_view, 7> kTags = {"IP:", "KY:", "CT:", "FL:", "FB:", "OK:", "XX:"};
constexpr std::string_view kEnd = "FB:RM:";

bool IsTag(std::string_view t) {
    return std::find(kTags.begin(), kTags.end(), t) != kTags.end();
}

bool IsTagPrefix(std::string_view s) {
    for (std::string_view t : kTags)
        if (t.substr(0, s.size()) == s) return true;
    return false;
}

bool IsAddressChar(char c) {
    return (c >= '0' && c <= '9') || c == '.';
}

// Length of a complete block message that starts at `q` and ends exactly at `end`.
bool IsWholeBlock(std::string_view s, size_t q, size_t end) {
    if (end - q < 7 || s[end - 1] != '|' || s.substr(q, 3) != "FB:") return false;
    if (s.substr(q, kEnd.size()) == kEnd) return end - q <= Framer::kMaxEndMessage;
    return end - q == Framer::kBlockMessage;
}

}  // namespace

bool IsTagAt(std::string_view s, size_t pos) {
    return pos + 3 <= s.size() && IsTag(s.substr(pos, 3));
}

void Framer::Feed(std::string_view read) {
    if (read.empty()) return;
    buf_.append(read);
    ends_.push_back(buf_.size());
}

void Framer::Clear() {
    buf_.clear();
    head_ = 0;
    ends_.clear();
}

size_t Framer::ReadEndAfter(size_t pos) const {
    for (size_t e : ends_)
        if (e > head_ + pos) return e - head_;
    return Pending();
}

bool Framer::EndsRead(size_t len) const {
    return std::binary_search(ends_.begin(), ends_.end(), head_ + len);
}

void Framer::Consume(size_t n) {
    head_ += n;
    while (!ends_.empty() && ends_.front() <= head_) ends_.pop_front();
    if (head_ == buf_.size()) {
        Clear();
    } else if (head_ > 4096 && head_ > buf_.size() / 2) {
        // Keep the held bytes small without moving them on every message.
        buf_.erase(0, head_);
        for (size_t& e : ends_) e -= head_;
        head_ = 0;
    }
}

std::optional<std::string> Framer::Next(Context ctx) {
    for (;;) {
        std::string_view v = View();
        if (v.empty()) return std::nullopt;
        if (v.size() < 3) {
            if (IsTagPrefix(v)) return std::nullopt;  // the rest of the tag is on its way
            Consume(v.size());
            return std::nullopt;
        }
        std::string_view tag = v.substr(0, 3);
        if (!IsTag(tag)) {
            // Up to the end of the first read only: one or two held bytes that began no
            // message after all must not take the next read down with them.
            Consume(ReadEndAfter(0));
            continue;
        }
        if (tag == "OK:" || tag == "XX:") {
            std::string m(tag);
            Consume(3);
            return m;
        }
        if (tag == "FB:" && ctx.fileReceive) {
            bool wait = false;
            auto m = NextBlock(&wait);
            if (m || wait) return m;
            continue;  // a broken file end was dropped
        }
        size_t end = UnknownLengthEnd(tag, ctx);
        std::string m(v.substr(0, std::min(end, kMaxMessage)));
        if (tag == "FB:" && m.size() > 3 && m.back() == '|') m.pop_back();
        Consume(end);
        return m;
    }
}

size_t Framer::UnknownLengthEnd(std::string_view tag, Context ctx) const {
    std::string_view v = View();
    size_t end = ReadEndAfter(2);
    if (tag == "FB:") return end;
    if (tag == "IP:") {
        size_t i = 3;
        while (i < end && IsAddressChar(v[i])) ++i;
        if (i < end && IsTagAt(v, i)) return i;
    }
    // A complete block message at the end of the read.
    if (end >= 3 + kBlockMessage && IsWholeBlock(v, end - kBlockMessage, end))
        return end - kBlockMessage;
    if (end >= 3 + 7 && v[end - 1] == '|') {
        size_t from = end > 3 + kMaxEndMessage ? end - kMaxEndMessage : 3;
        for (size_t q = from; q + 7 <= end; ++q)
            if (v.substr(q, kEnd.size()) == kEnd) return q;
    }
    if (ctx.sendingFile && (tag == "KY:" || tag == "CT:") && end >= 6 &&
        v.substr(end - 3, 3) == "OK:")
        return end - 3;
    return end;
}

std::optional<std::string> Framer::NextBlock(bool* wait) {
    std::string_view v = View();
    *wait = true;
    if (v.size() < kEnd.size()) return std::nullopt;
    if (v.substr(0, kEnd.size()) != kEnd) {
        if (v.size() < kBlockMessage) return std::nullopt;
        // The 1004th byte is the terminator, whatever it holds.
        std::string m(v.substr(0, kBlockMessage - 1));
        Consume(kBlockMessage);
        return m;
    }
    size_t limit = std::min(v.size(), kMaxEndMessage);
    size_t found = std::string_view::npos;
    for (size_t p = kEnd.size(); p < limit; ++p) {
        if (v[p] == '|' && EndsRead(p + 1)) {
            found = p;
            break;
        }
    }
    if (found == std::string_view::npos) {
        // The read went on after the end: a message of its own follows the "|".
        for (size_t p = kEnd.size(); p < limit; ++p) {
            if (v[p] == '|' && IsTagAt(v, p + 1)) {
                found = p;
                break;
            }
        }
    }
    if (found != std::string_view::npos) {
        std::string m(v.substr(0, found));
        Consume(found + 1);
        return m;
    }
    if (v.size() < kMaxEndMessage) return std::nullopt;
    // No end within the longest possible file end: not a message.
    Consume(kMaxEndMessage);
    *wait = false;
    return std::nullopt;
}

}  // namespace keyvane
