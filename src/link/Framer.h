// Turns the reads of the socket into the peer's messages.
//
// The messages carry no length and only the block messages a terminator, so where a
// message ends is the receiver's guess. The sender side never changes: every message
// still goes out exactly as it is. On receipt:
//
// - A message starts with its three-character tag, compared exactly (case matters).
//   A read whose first three bytes are no tag is dropped up to the end of that read.
//   One or two bytes left at the end of the buffer that could begin a tag wait for the
//   next read, so a tag cut in two still counts.
// - "OK:" and "XX:" are always exactly three bytes; whatever follows in the same read is
//   framed as the next message ("OK:" with trailing text is still an "OK:").
// - "IP:", "KY:", "CT:" and "FL:" (and an "FB:" outside file-receive mode) run to the end
//   of the read that holds their tag, as the peer sends one message per read. Three
//   exceptions split a read that plainly holds two messages:
//     * the dotted address of an "IP:" that begins a read ends where a tag follows its
//       digits and dots (once per read: each address costs a new set of key files);
//     * complete block messages at the very end of the read ("FB:" with exactly 1000
//       bytes and "|", the last one possibly "FB:RM:" of at most 1006 bytes ending in
//       "|") are messages of their own, so a chat line or a file name that arrives just
//       before a block does not swallow it;
//     * while this side is sending a file, an "OK:" at the end of an enciphered "KY:" or
//       "CT:" read is the receiver's acknowledgement and is split off, so the transfer
//       does not stall.
//   Other coalesced messages cannot be told apart from enciphered text: two chat lines
//   in one read arrive as one line. A message split over two reads is cut at the end of
//   the first read (a long chat line shows its first part); the rest starts with no tag
//   and is dropped.
// - In file-receive mode an "FB:" block is assembled by its length: exactly 1004 bytes,
//   the last of which is the terminator, however the reads cut it. 1004 bytes that do
//   not end in "|" are no block: the read they began in is dropped, and the reads after
//   it are framed as usual, so the stream is back in step at the next read that begins
//   with a tag. "FB:RM:" ends at the
//   first "|" that is followed by a tag, or that ends a read where the next read does
//   not begin with a tag, within 1006 bytes. Its enciphered rest may hold "|" anywhere,
//   and TCP may cut the message right after one: a "|" that ends everything held so
//   far, short of 1006 bytes, is held (HoldingEnd) until more arrives or the caller
//   gives up waiting (ReleaseEnd). Anything else that arrives between two blocks ("CT:",
//   "KY:", "XX:", ...) is framed as above.
//
// Memory stays bounded: at most one read is held beyond the message being assembled,
// a message of unknown length is cut at kMaxMessage, and an "FB:RM:" that finds no end
// within 1006 bytes is dropped.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace keyvane {

class Framer {
  public:
    static constexpr size_t kBlockMessage = 1004;   // "FB:" + 1000 bytes + "|"
    static constexpr size_t kMaxEndMessage = 1006;  // "FB:RM:" + 999 bytes + "|"
    static constexpr size_t kMaxMessage = size_t{1} << 20;

    struct Context {
        constexpr Context(bool receiving = false, bool sending = false)
            : fileReceive(receiving), sendingFile(sending) {}
        bool fileReceive = false;  // ClientRecv: block messages are assembled by length
        bool sendingFile = false;  // FileInProgress: an "OK:" is awaited
        // Fast transfers (link/FastLink.h). A client that may answer takes "KV?" as a
        // message; a host awaiting `answer` takes exactly those bytes, also where a
        // message of unknown length would have swallowed them; a fast link takes the
        // envelope (handed out as the message inside) and the file messages.
        bool probeWelcome = false;
        std::string_view answer;
        bool fast = false;
        // A client that answered a version-2 probe takes the host's reveal ("KVK").
        bool awaitReveal = false;
        // The length of the closing "FB:RM:" message of a fast receive, without its
        // "|"; 0 when it is not known.
        size_t endLength = 0;
    };

    // Adds one read.
    void Feed(std::string_view read);
    // The next complete message, or nothing until more data arrives. Block messages come
    // without their terminator. Call again after handling a message: the context may
    // have changed with it.
    std::optional<std::string> Next(Context ctx);
    // Everything held and not yet handed out, which is no longer framed here (the
    // secure channel's stream begins in it); the framer is then empty.
    std::string TakeRest();
    // Forgets everything held (the connection is gone).
    void Clear();
    // Next() is holding a file end whose "|" ends all bytes held: the rest of it may
    // still be on its way. Cleared by the next read.
    bool HoldingEnd() const { return holdingEnd_; }
    // Nothing more came in time: the held file end ends at its "|".
    void ReleaseEnd() { releaseEnd_ = true; }
    // Block positions so far that held no block (their 1004th byte was no "|"): the
    // stream fell out of step there, and the read the block began in was dropped.
    size_t BrokenBlocks() const { return brokenBlocks_; }
    // Bytes held and not yet handed out.
    size_t Pending() const { return buf_.size() - head_; }

  private:
    std::string_view View() const { return std::string_view(buf_).substr(head_); }
    // Length of the read that holds offset `pos` of View(), measured from its start.
    size_t ReadEndAfter(size_t pos) const;
    bool EndsRead(size_t len) const;  // a read ended after len bytes of View()
    void Consume(size_t n);
    std::optional<std::string> NextBlock(bool* wait, size_t endLength);
    size_t UnknownLengthEnd(std::string_view tag, Context ctx) const;
    // A control message of a fast link at the head: handed out, waited for (`wait`), or
    // nothing when the head is none (then it is framed as usual).
    std::optional<std::string> NextControl(const Context& ctx, bool* wait, bool* dropped);
    // `len` cut short where the awaited answer begins within it.
    size_t BeforeAnswer(size_t from, size_t len, const Context& ctx) const;

    std::string buf_;
    size_t head_ = 0;          // bytes of buf_ already handed out
    std::deque<size_t> ends_;  // offsets in buf_ where a read ended, ascending
    bool readStart_ = true;    // head_ is where a read began
    bool holdingEnd_ = false;
    bool releaseEnd_ = false;
    size_t brokenBlocks_ = 0;
};

// True when the first three bytes of `s` at `pos` are one of the seven tags.
bool IsTagAt(std::string_view s, size_t pos);

}  // namespace keyvane
