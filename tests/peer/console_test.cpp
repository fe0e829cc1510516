// What keyvane-peer prints for a peer's text.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "peer/ConsoleView.h"

namespace keyvane::peer {
namespace {

// Everything the view wrote while `run` drove it.
std::string Printed(bool json, const std::function<void(ConsoleView&)>& run) {
    char* buf = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&buf, &size);
    {
        ConsoleView view(out, nullptr, json, TerminalText("UTF-8"));
        run(view);
    }
    std::fclose(out);
    std::string s(buf, size);
    std::free(buf);
    return s;
}

// One chat line and one status line.
std::string Printed(bool json, const std::string& cp1252) {
    return Printed(json, [&](ConsoleView& view) {
        view.UpdateChatList(cp1252);
        view.UpdateList("Key=" + cp1252);
    });
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
    return Printed(json, [](ConsoleView& view) {
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
    });
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

// Each event with the line that follows it: one line of its type, fields from the event.
TEST(PeerConsole, AnEventAndItsLineAreOneLine) {
    using K = ViewEvent::Kind;
    const auto run = [](ConsoleView& v) {
        v.OnEvent({K::Connected, "10.0.0.9"});
        v.UpdateList("Connected.");
        v.OnEvent({K::KeyReceived, "042"});
        v.UpdateList("Key=042");
        v.OnEvent({.kind = K::SystemSet, .count = 12});
        v.UpdateList("Sending System Files (12 to do)");
        v.OnEvent({K::FileSending, {}, "/d/caf\xc3\xa9.bin", 2500});
        v.UpdateList("Sending /d/caf\xe9.bin...");
        v.OnEvent({K::FileSent, {}, "/d/caf\xc3\xa9.bin", 2500});
        v.UpdateList("File Transferred.");
        v.OnEvent({K::FileReceived, "r.bin", "/in/r.bin", 7, 0, ViewEvent::Verdict::Verified});
        v.UpdateList("File received (verified).");
        v.OnEvent({K::FileReceived, "d.bin", "/in/d.bin", 7, 0, ViewEvent::Verdict::Damaged});
        v.UpdateList("File damaged: d.bin differs from the file that was sent.");
        v.OnEvent({K::ChatSent, "<hi>"});
        v.UpdateChatList("<<hi>>");
        // An event without a line of its own claims none that comes later.
        v.OnEvent({K::PeerHungUp});
        v.UpdateChatList("<b>");
        v.OnEvent({K::FileNotSent, {}, "/d/x", 1});
        v.UpdateList("Connection lost.");
    };
    EXPECT_EQ(
        Printed(true, run),
        "{\"type\":\"connected\",\"text\":\"Connected.\",\"peer\":\"10.0.0.9\"}\n"
        "{\"type\":\"key\",\"text\":\"Key=042\",\"key\":\"042\"}\n"
        "{\"type\":\"system_set\",\"text\":\"Sending System Files (12 to do)\",\"count\":12}\n"
        "{\"type\":\"sending\",\"text\":\"Sending /d/caf\xc3\xa9.bin...\",\"path\":\"/d/"
        "caf\xc3\xa9.bin\",\"bytes\":2500}\n"
        "{\"type\":\"sent\",\"text\":\"File Transferred.\",\"path\":\"/d/caf\xc3\xa9.bin\","
        "\"bytes\":2500,\"seconds\":0.000000}\n"
        "{\"type\":\"received\",\"text\":\"File received (verified).\",\"file\":\"r.bin\","
        "\"path\":\"/in/r.bin\",\"verified\":true}\n"
        "{\"type\":\"status\",\"text\":\"File damaged: d.bin differs from the file that was "
        "sent.\"}\n"
        "{\"type\":\"chat\",\"text\":\"<hi>\",\"own\":true}\n"
        "{\"type\":\"chat\",\"text\":\"<b>\",\"own\":false}\n"
        "{\"type\":\"status\",\"text\":\"Connection lost.\"}\n");
    // Text lines are the lines as the window shows them.
    const std::string text = Printed(false, run);
    EXPECT_NE(text.find("\nChat: <<hi>>\nChat: <b>\n"), std::string::npos) << text;
    EXPECT_EQ(text.rfind("Connected.\nKey=042\n", 0), 0u) << text;
}

}  // namespace
}  // namespace keyvane::peer
