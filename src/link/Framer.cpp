#include "link/Framer.h"

#include <algorithm>
#include <array>

#include "link/FastLink.h"
#include "secure/Secure.h"

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

// Start of the complete block messages that end a read at `end`: the last one is a
// block of exactly 1004 bytes or a file end of at most 1006, each one before it a block
// of 1004 ending in "|". `end` when there are none; never before `from`.
size_t TrailingBlocks(std::string_view s, size_t from, size_t end) {
    if (end < from + 7 || s[end - 1] != '|') return end;
    size_t start = end;
    if (end >= from + Framer::kBlockMessage && s.substr(end - Framer::kBlockMessage, 3) == "FB:") {
        start = end - Framer::kBlockMessage;
    } else {
        size_t q = end > from + Framer::kMaxEndMessage ? end - Framer::kMaxEndMessage : from;
        for (; q + 7 <= end; ++q) {
            if (s.substr(q, kEnd.size()) == kEnd) {
                start = q;
                break;
            }
        }
    }
    while (start != end && start >= from + Framer::kBlockMessage && s[start - 1] == '|') {
        size_t prev = start - Framer::kBlockMessage;
        if (s.substr(prev, 3) != "FB:" || s.substr(prev, kEnd.size()) == kEnd) break;
        start = prev;
    }
    return start;
}

}  // namespace

bool IsTagAt(std::string_view s, size_t pos) {
    return pos + 3 <= s.size() && IsTag(s.substr(pos, 3));
}

void Framer::Feed(std::string_view read) {
    if (read.empty()) return;
    buf_.append(read);
    ends_.push_back(buf_.size());
    holdingEnd_ = releaseEnd_ = false;
}

std::string Framer::TakeRest() {
    std::string rest(View());
    Clear();
    return rest;
}

void Framer::Clear() {
    buf_.clear();
    head_ = 0;
    ends_.clear();
    readStart_ = true;
    holdingEnd_ = releaseEnd_ = false;
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
    readStart_ = false;
    holdingEnd_ = releaseEnd_ = false;
    while (!ends_.empty() && ends_.front() <= head_) {
        readStart_ = ends_.front() == head_;
        ends_.pop_front();
    }
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
            const bool control =
                ctx.probeWelcome || !ctx.answer.empty() || ctx.fast || ctx.awaitReveal;
            if (IsTagPrefix(v) || (control && std::string_view("KV").substr(0, v.size()) == v))
                return std::nullopt;  // the rest of the tag is on its way
            Consume(v.size());
            return std::nullopt;
        }
        bool wait = false, dropped = false;
        if (auto control = NextControl(ctx, &wait, &dropped)) return control;
        if (wait) return std::nullopt;
        if (dropped) continue;
        std::string_view tag = v.substr(0, 3);
        if (!IsTag(tag)) {
            // Up to the end of the first read only: one or two held bytes that began no
            // message after all must not take the next read down with them.
            Consume(BeforeAnswer(1, ReadEndAfter(0), ctx));
            continue;
        }
        if (tag == "OK:" || tag == "XX:") {
            std::string m(tag);
            Consume(3);
            return m;
        }
        if (tag == "FB:" && ctx.fileReceive) {
            auto m = NextBlock(&wait, ctx.endLength);
            if (m || wait) return m;
            continue;  // a broken file end was dropped
        }
        size_t end = BeforeAnswer(3, UnknownLengthEnd(tag, ctx), ctx);
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
    if (tag == "IP:" && readStart_) {
        size_t i = 3;
        while (i < end && IsAddressChar(v[i])) ++i;
        if (i < end && IsTagAt(v, i)) return i;
    }
    // Complete block messages at the end of the read.
    if (size_t blocks = TrailingBlocks(v, 3, end); blocks != end) return blocks;
    if (ctx.sendingFile && (tag == "KY:" || tag == "CT:") && end >= 6 &&
        v.substr(end - 3, 3) == "OK:")
        return end - 3;
    return end;
}

size_t Framer::BeforeAnswer(size_t from, size_t len, const Context& ctx) const {
    if (ctx.answer.empty() || len <= from) return len;
    const size_t at = View().substr(0, len).find(ctx.answer, from);
    return at == std::string_view::npos ? len : at;
}

std::optional<std::string> Framer::NextControl(const Context& ctx, bool* wait, bool* dropped) {
    std::string_view v = View();
    const std::string_view tag = v.substr(0, 3);
    const bool accepted = (tag == fast::kProbe && ctx.probeWelcome) ||
                          (tag == fast::kAnswer && !ctx.answer.empty()) ||
                          (tag == secure::kReveal && ctx.awaitReveal) ||
                          (ctx.fast && (tag == fast::kEnvelope || tag == fast::kFileHead ||
                                        tag == fast::kResume || tag == fast::kHash));
    if (!accepted) return std::nullopt;
    size_t len = fast::ControlLength(tag);
    // The probe's version decides its length; the awaited answer's version is ours.
    const char version = tag == fast::kProbe    ? (v.size() > 3 ? v[3] : '\0')
                         : tag == fast::kAnswer ? ctx.answer[3]
                                                : fast::kVersion;
    if (tag == secure::kReveal) len = secure::kRevealLength;
    if ((tag == fast::kProbe || tag == fast::kAnswer) && version == secure::kVersion)
        len = secure::kProbeLength;
    if (v.size() < std::max<size_t>(len, 4)) {
        *wait = true;
        return std::nullopt;
    }
    std::string_view body = v.substr(3, len - 3);
    bool sound = false;
    if (tag == fast::kProbe) {
        sound = (version == fast::kVersion || version == secure::kVersion) &&
                fast::IsHex(body.substr(1));
    } else if (tag == fast::kAnswer) {
        sound = v.substr(0, ctx.answer.size()) == ctx.answer &&
                fast::IsHex(v.substr(ctx.answer.size(), len - ctx.answer.size()));
    } else if (tag == fast::kEnvelope) {
        const auto n = fast::ParseHex(body);
        if (n && *n >= 3 && *n <= fast::kMaxEnvelope) {
            if (v.size() < len + *n) {
                *wait = true;
                return std::nullopt;
            }
            const std::string_view inner = v.substr(len, *n);
            const std::string_view innerTag = inner.substr(0, 3);
            len += *n;
            if (innerTag == "CT:" || innerTag == "KY:" || innerTag == "FL:") {
                std::string m(inner);
                Consume(len);
                return m;
            }
            // A sound envelope around anything else: dropped whole.
            Consume(len);
            *dropped = true;
            return std::nullopt;
        }
    } else {
        sound = fast::IsHex(body);
    }
    if (!sound) {
        // No control message after all: framed as any read that begins with no tag.
        Consume(BeforeAnswer(1, ReadEndAfter(0), ctx));
        *dropped = true;
        return std::nullopt;
    }
    std::string m(v.substr(0, len));
    Consume(len);
    return m;
}

std::optional<std::string> Framer::NextBlock(bool* wait, size_t endLength) {
    std::string_view v = View();
    *wait = true;
    if (v.size() < kEnd.size()) return std::nullopt;
    // A fast receive knows its closing message's length.
    if (endLength >= kEnd.size() && v.substr(0, kEnd.size()) == kEnd) {
        if (v.size() <= endLength) return std::nullopt;
        if (v[endLength] == '|') {
            std::string m(v.substr(0, endLength));
            Consume(endLength + 1);
            return m;
        }
    }
    if (v.substr(0, kEnd.size()) != kEnd) {
        if (v.size() < kBlockMessage) return std::nullopt;
        if (v[kBlockMessage - 1] != '|') {
            ++brokenBlocks_;
            Consume(ReadEndAfter(0));
            *wait = false;
            return std::nullopt;
        }
        std::string m(v.substr(0, kBlockMessage - 1));
        Consume(kBlockMessage);
        return m;
    }
    size_t limit = std::min(v.size(), kMaxEndMessage);
    size_t found = std::string_view::npos;
    for (size_t p = kEnd.size(); p < limit; ++p) {
        if (v[p] != '|' || !EndsRead(p + 1)) continue;
        if (p + 1 == kMaxEndMessage || IsTagAt(v, p + 1)) {
            found = p;
            break;
        }
        if (p + 1 == v.size()) {
            // The end, or a cut right after a "|" of the rest: the sender sends nothing
            // more until our "OK:", so whatever comes next decides.
            if (!releaseEnd_) {
                holdingEnd_ = true;
                return std::nullopt;
            }
            found = p;
            break;
        }
        // The next read went on without a tag: the "|" belonged to the rest.
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
