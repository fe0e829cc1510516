#include "peer/ConsoleView.h"

#include <cstdint>

#include "link/Session.h"
#include "platform/cp1252.h"
#include "platform/files.h"

namespace keyvane::peer {

namespace {

std::string Quoted(const std::string& cp1252) {
    return JsonString(Cp1252ToUtf8(cp1252));
}

// The session's status lines for a settled link, which the security event carries.
const std::string kCompareLine = Session::kCompareLine;
const char* const kVerifiedLine = Session::kVerifiedLine;
const char* const kNotEncryptedLine = Session::kNotEncrypted;

}  // namespace

std::string JsonString(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string VisibleControls(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    const auto shown = [&out](unsigned c) {
        char buf[5];
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
    };
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0u;
        if ((c < 0x20 && c != '\n' && c != '\r') || c == 0x7F) {
            shown(c);
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080..U+009F
            shown(next);
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

ConsoleView::ConsoleView(std::FILE* out, std::FILE* progress, bool json, TerminalText term)
    : out_(out), progress_(progress), json_(json), term_(std::move(term)) {}

void ConsoleView::Emit(const char* type, const std::string& text,
                       const std::vector<Field>& fields) {
    // A progress line on the same terminal is ended first.
    if (progressShown_ && progress_ == stderr && out_ == stdout) DrawProgress(true);
    std::string line;
    if (json_) {
        line = std::string("{\"type\":\"") + type + "\",\"text\":" + Quoted(text);
        for (const auto& [name, value] : fields) line += ",\"" + name + "\":" + value;
        line += "}";
    } else {
        // One event, one line: the line ends inside a message become blanks.
        line = term_.Out(VisibleControls(Cp1252ToUtf8(text)));
        for (char& c : line)
            if (c == '\n' || c == '\r') c = ' ';
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
}

void ConsoleView::Message(const std::string& text) {
    if (json_)
        Emit("message", text);
    else
        Emit("message", "Keyvane: " + text);
}

void ConsoleView::Note(const char* type, const std::string& text) {
    Emit(type, text);
}

void ConsoleView::ShowSecurity(const LinkSecurity& s) {
    securityLine_.clear();
    if (s.state == LinkSecurity::State::None) return;
    settled = s;
    if (s.state == LinkSecurity::State::Plain) {
        securityLine_ = kNotEncryptedLine;
        Emit("not_secure", securityLine_);
        return;
    }
    securityLine_ = s.verified ? kVerifiedLine : kCompareLine + s.code;
    Emit("secure", securityLine_,
         {{"code", Quoted(s.code)}, {"verified", s.verified ? "true" : "false"}});
}

void ConsoleView::OnEvent(const ViewEvent& e) {
    using K = ViewEvent::Kind;
    switch (e.kind) {
        case K::FileSending:
            sending_ = Utf8ToCp1252(e.path);
            sendBytes_ = e.bytes;
            blocks_ = false;
            break;
        case K::FileReceiving:
            receiving_ = e;
            recvTimed_ = false;
            break;
        case K::FileReceived:
        case K::FileNotReceived:
            receiving_.reset();
            break;
        default:
            break;
    }
    pending_ = e;
    if (onEvent) onEvent(e);
}

void ConsoleView::UpdateChatList(const std::string& line) {
    const auto e = std::exchange(pending_, std::nullopt);
    const bool own = e && e->kind == ViewEvent::Kind::ChatSent;
    const bool came = e && e->kind == ViewEvent::Kind::ChatReceived;
    if (json_)
        Emit("chat", own || came ? e->text : line, {{"own", own ? "true" : "false"}});
    else
        Emit("chat", "Chat: " + line);
}

void ConsoleView::UpdateList(const std::string& line) {
    if (!securityLine_.empty() && line == securityLine_) return;  // shown as its event
    using K = ViewEvent::Kind;
    const auto e = std::exchange(pending_, std::nullopt);
    if (!e) return Emit("status", line);
    switch (e->kind) {
        case K::Waiting:
            return Emit("waiting", line, {{"port", Quoted(e->text)}});
        case K::Connecting:
            return Emit("connecting", line, {{"host", Quoted(e->text)}});
        case K::Connected:
            return Emit("connected", line, {{"peer", Quoted(e->text)}});
        case K::Lost:
            return Emit("lost", line);
        case K::KeyReceived:
            return Emit("key", line, {{"key", Quoted(e->text)}});
        case K::KeyWritten:
            return Emit("key_file", line, {{"file", Quoted(e->text)}});
        case K::KeySent:
            return Emit("key_sent", line);
        case K::SystemSet:
            return Emit("system_set", line, {{"count", std::to_string(e->count)}});
        case K::FileSending:
            return Emit("sending", line,
                        {{"path", Quoted(sending_)}, {"bytes", std::to_string(e->bytes)}});
        case K::FileSent: {
            const double secs =
                blocks_ ? std::chrono::duration<double>(Clock::now() - blocksFrom_).count() : 0.0;
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.6f", secs);
            return Emit("sent", line,
                        {{"path", Quoted(sending_)},
                         {"bytes", std::to_string(e->bytes)},
                         {"seconds", buf}});
        }
        case K::FileReceiving:
            return Emit("receiving", line,
                        {{"file", Quoted(e->text)}, {"path", JsonString(e->path)}});
        case K::FileReceived:
            if (e->verdict == ViewEvent::Verdict::Damaged) break;
            return Emit(
                "received", line,
                {{"file", Quoted(e->text)},
                 {"path", JsonString(e->path)},
                 {"verified", e->verdict == ViewEvent::Verdict::Verified ? "true" : "false"}});
        default:
            break;
    }
    Emit("status", line);
}

// The progress bar appears when the first block of a file has gone out: from then on
// the blocks are timed.
void ConsoleView::ShowProgress(bool visible) {
    if (visible) {
        blocks_ = true;
        blocksFrom_ = Clock::now();
        percent_ = 0;
    } else if (progressShown_) {
        DrawProgress(true);
    }
}

void ConsoleView::SetProgress(int percent) {
    const bool reached = percent == 100 && percent_ != 100;
    percent_ = percent;
    if (!progress_) return;
    const auto now = Clock::now();
    if (progressShown_ && !reached && now - drawn_ < std::chrono::milliseconds(200)) return;
    drawn_ = now;
    DrawProgress(false);
}

void ConsoleView::DrawProgress(bool final) {
    if (!progress_) return;
    if (final) {
        if (progressShown_) std::fputc('\n', progress_);
        progressShown_ = false;
        std::fflush(progress_);
        return;
    }
    const int64_t total = sendBytes_;
    const int64_t done = total * percent_ / 100;
    const double secs = std::chrono::duration<double>(Clock::now() - blocksFrom_).count();
    const double rate = secs > 0 ? static_cast<double>(done) / secs : 0;  // bytes a second
    const int64_t left = rate > 0 ? static_cast<int64_t>((total - done) / rate) : 0;
    std::string name = term_.Out(VisibleControls(Cp1252ToUtf8(sending_)));
    if (const size_t slash = name.find_last_of('/'); slash != std::string::npos)
        name = name.substr(slash + 1);
    std::string speed = "   -- MB/s  --:-- left";  // too early to say
    if (secs >= 0.1) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%6.2f MB/s  %2lld:%02lld left", rate / 1e6,
                      static_cast<long long>(left / 60), static_cast<long long>(left % 60));
        speed = buf;
    }
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3d%%", percent_);
    DrawLine(name + " " + pct + "  " + speed);
}

// A received file's length is not on the wire: its progress is what has been written.
void ConsoleView::BumpRecvBar() {
    if (!progress_ || !receiving_ || receiving_->path.empty()) return;
    const auto now = Clock::now();
    if (!recvTimed_) {
        recvTimed_ = true;
        recvFrom_ = now;
        return;
    }
    if (now - recvFrom_ < std::chrono::milliseconds(100)) return;  // too early to say
    if (progressShown_ && now - drawn_ < std::chrono::milliseconds(200)) return;
    drawn_ = now;
    double bytes = 0;
    try {
        bytes = static_cast<double>(ExistingFileLength(receiving_->path));
    } catch (const FileError&) {
        // not there yet, or gone
    }
    const double secs = std::chrono::duration<double>(now - recvFrom_).count();
    char buf[64];
    std::snprintf(buf, sizeof buf, "  %.2f MB received  %6.2f MB/s", bytes / 1e6,
                  secs > 0 ? bytes / secs / 1e6 : 0.0);
    DrawLine(term_.Out(VisibleControls(Cp1252ToUtf8(receiving_->text))) + buf);
}

void ConsoleView::DrawLine(const std::string& text) {
    std::fprintf(progress_, "\r%s\033[K", text.c_str());
    std::fflush(progress_);
    progressShown_ = true;
}

}  // namespace keyvane::peer
