// What keyvane-peer prints for a peer's text.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "peer/ConsoleView.h"

namespace keyvane::peer {
namespace {

// Everything the view wrote for one chat line and one status line.
std::string Printed(bool json, const std::string& cp1252) {
    char* buf = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&buf, &size);
    {
        MainState st;
        ConsoleView view(st, out, nullptr, json, TerminalText("UTF-8"));
        view.UpdateChatList(cp1252);
        view.UpdateList("Key=" + cp1252);
    }
    std::fclose(out);
    std::string s(buf, size);
    std::free(buf);
    return s;
}

TEST(PeerConsole, APeersControlCharactersCannotReachTheTerminal) {
    // A screen clear, a title change ended by BEL, DEL, and the C1 CSI (byte 0x9D of
    // Windows-1252 is U+009D, an operating system command on some terminals).
    const std::string hostile =
        "a\x1b[2J\x1b]0;x\x07\x7f\x9d"
        "b\tc\xe9";
    EXPECT_EQ(Printed(false, hostile),
              "Chat: a\\x1b[2J\\x1b]0;x\\x07\\x7f\\x9db\\x09c\xc3\xa9\n"
              "Key=a\\x1b[2J\\x1b]0;x\\x07\\x7f\\x9db\\x09c\xc3\xa9\n");
    // JSON already escapes them its own way; nothing changes there.
    const std::string json = Printed(true,
                                     "a\x1b"
                                     "b");
    EXPECT_NE(json.find("\"a\\u001bb\""), std::string::npos);
    EXPECT_EQ(json.find('\x1b'), std::string::npos);
    // Line ends inside an event still become blanks; other text is untouched.
    EXPECT_EQ(Printed(false, "x\r\ny \\x41 \x80"),
              "Chat: x  y \\x41 \xe2\x82\xac\nKey=x  y \\x41 \xe2\x82\xac\n");
}

// What the view prints for each way a link settles, with the session's own status line
// for it before the next connection's.
std::string Settled(bool json) {
    char* buf = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&buf, &size);
    {
        MainState st;
        ConsoleView view(st, out, nullptr, json, TerminalText("UTF-8"));
        using S = LinkSecurity::State;
        view.ShowSecurity({S::Secure, "482 913", false});
        view.UpdateList("Encrypted connection. Compare this code with the other person: 482 913");
        view.ShowSecurity({S::None, "", false});
        EXPECT_EQ(view.settled.code, "482 913");  // still known once the link ended
        view.ShowSecurity({S::Secure, "000 017", true});
        view.UpdateList("Encrypted connection with a trusted person: verified.");
        view.ShowSecurity({S::None, "", false});
        view.ShowSecurity({S::Plain, "", false});
        view.UpdateList("Not encrypted: anyone on the network can read this connection.");
        EXPECT_EQ(view.settled.state, S::Plain);
        view.ShowSecurity({S::None, "", false});
        // With the link ended, the same line is a status line again.
        view.UpdateList("Not encrypted: anyone on the network can read this connection.");
    }
    std::fclose(out);
    std::string s(buf, size);
    std::free(buf);
    return s;
}

TEST(PeerConsole, ASettledLinkIsOneEventWithItsCodeAndNoneEndsIt) {
    EXPECT_EQ(Settled(true),
              "{\"type\":\"secure\",\"text\":\"Encrypted connection. Compare this code with the "
              "other person: 482 913\",\"code\":\"482 913\",\"verified\":false}\n"
              "{\"type\":\"secure\",\"text\":\"Encrypted connection with a trusted person: "
              "verified.\",\"code\":\"000 017\",\"verified\":true}\n"
              "{\"type\":\"not_secure\",\"text\":\"Not encrypted: anyone on the network can read "
              "this connection.\"}\n"
              "{\"type\":\"status\",\"text\":\"Not encrypted: anyone on the network can read "
              "this connection.\"}\n");
    EXPECT_EQ(Settled(false),
              "Encrypted connection. Compare this code with the other person: 482 913\n"
              "Encrypted connection with a trusted person: verified.\n"
              "Not encrypted: anyone on the network can read this connection.\n"
              "Not encrypted: anyone on the network can read this connection.\n");
}

}  // namespace
}  // namespace keyvane::peer
