// keyvane-peer as a child process against a real main window over 127.0.0.1, both
// roles, and its command line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QRadioButton>
#include <QTime>
#include <csignal>
#include <filesystem>
#include <regex>

#include "peer/Options.h"
#include "peer/Terminal.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "support/loop_peer.h"
#include "support/plain_peer.h"
#include "support/tempdir.h"
#include "support/windows.h"

namespace keyvane::test {
namespace {

namespace fs = std::filesystem;
using peer::Action;

class PeerProcess {
  public:
    enum class Output { Read, Unread };  // Unread: a pipe whose reader is gone
    PeerProcess(const QStringList& args, const std::string& cwd, const std::string& winePrefix = {},
                Output output = Output::Read) {
        if (output == Output::Unread)
            p_.setChildProcessModifier([] {
                int fds[2];
                if (::pipe(fds) != 0) return;
                ::dup2(fds[1], STDOUT_FILENO);
                ::close(fds[0]);
                ::close(fds[1]);
            });
        auto env = QProcessEnvironment::systemEnvironment();
        if (!winePrefix.empty()) env.insert("WINEPREFIX", QString::fromStdString(winePrefix));
        p_.setProcessEnvironment(env);
        p_.setWorkingDirectory(QString::fromStdString(cwd));
        p_.start(KEYVANE_PEER_BIN, args);
    }
    ~PeerProcess() {
        if (p_.state() != QProcess::NotRunning) p_.kill();
        p_.waitForFinished(5000);
    }
    const std::string& Out() {
        out_ += p_.readAllStandardOutput().toStdString();
        return out_;
    }
    bool Said(const std::string& text) { return Out().find(text) != std::string::npos; }
    bool WaitFor(const std::string& text) {
        return WaitUntil([&] { return Said(text); });
    }
    // The exit status once it ended, -1 when it did not end in time or crashed.
    int Finish() {
        WaitUntil([&] { return p_.state() == QProcess::NotRunning; }, 30000);
        Out();
        err_ = p_.readAllStandardError().toStdString();
        if (p_.state() != QProcess::NotRunning || p_.exitStatus() != QProcess::NormalExit)
            return -1;
        return p_.exitCode();
    }
    const std::string& Err() const { return err_; }
    QProcess& proc() { return p_; }

  private:
    QProcess p_;
    std::string out_, err_;
};

TestWindow::Options OnPort(int port) {
    TestWindow::Options o;
    o.beforeStart = [port](const std::string& folder) {
        WriteTextLines(folder + "port.dat", {std::to_string(port)});
    };
    // Every reading of the clock is a new second: the window's pauses end at once.
    o.adjust = [](Platform& p) { p.TimeText = [n = 0]() mutable { return std::to_string(++n); }; };
    return o;
}

// A window that waits on 127.0.0.1.
void Listen(TestWindow& w) {
    w->sock().ListenAddress = "127.0.0.1";
    w.click("Command1");
}

// keyvane-peer connecting to a window on 127.0.0.1, with its folder, then `more`.
QStringList ConnectTo(int port, const std::string& folder, const QStringList& more) {
    return QStringList{"connect",   "127.0.0.1", "--port",   QString::number(port),
                       "--address", "127.0.0.1", "--folder", QString::fromStdString(folder)} +
           more;
}

bool Listed(TestWindow& w, const char* list, const std::string& line) {
    auto* l = w.find<QListWidget>(list);
    return l && !l->findItems(QString::fromStdString(line), Qt::MatchExactly).isEmpty();
}

// No key or working file of the cipher is left in a program folder.
bool Wiped(const std::string& folder) {
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string()[0] == 'k') return false;
    return true;
}

std::string KeyFileIn(const std::string& folder) {
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string().rfind("Key", 0) == 0) return ReadWholeFile(e.path());
    return "";
}

TEST(PeerProgram, WaitsForAWindowThatSendsFilesAndHangsUp) {
    InFolder here;
    TempDir work;
    const int port = FreePort();
    const std::string mine = RandomBytes(1500, 1);
    WriteFile(work.file("mine.bin"), mine);
    fs::create_directory(work.file("cwd"));
    PeerProcess peer(
        {"wait", "--port", QString::number(port), "--bind", "127.0.0.1", "--address", "127.0.0.1",
         "--folder", QString::fromStdString(work.file("app")), "--json", "--stay", "--key", "0012",
         "--chat", "h\xC3\xA9llo", "--send", QString::fromStdString(work.file("mine.bin"))},
        work.file("cwd"));
    ASSERT_TRUE(peer.WaitFor("\"type\":\"waiting\""));

    // The window's pause between a file's name and its first block, shortened to a fifth
    // of a second, still keeps the two in separate reads of the peer.
    TestWindow::Options o = OnPort(port);
    o.adjust = [](Platform& p) {
        p.TimeText = [] {
            return std::to_string(QTime::currentTime().msecsSinceStartOfDay() / 200);
        };
    };
    TestWindow win(o);
    win.find<QLineEdit>("txtConnect")->setText("127.0.0.1");
    win.click("Command2");
    ASSERT_TRUE(WaitUntil([&] { return Listed(win, "List1", "File received."); })) << peer.Out();
    EXPECT_TRUE(Listed(win, "List1", "Key=0012"));
    EXPECT_TRUE(Listed(win, "List2", "h\xC3\xA9llo"));
    EXPECT_TRUE(SameBytes(ReadWholeFile(win.file("Recv/mine.bin")), mine));

    win.find<QLineEdit>("txtChat")->setText("back");
    win.click("Command5");
    ASSERT_TRUE(peer.WaitFor("{\"type\":\"chat\",\"text\":\"back\",\"own\":false}"));
    win.find<QLineEdit>("txtKey")->setText("42");
    win.click("Command3");
    ASSERT_TRUE(peer.WaitFor("\"key\":\"42\""));
    // Around the block size, and one large file.
    const std::vector<size_t> sizes = {0, 999, 1000, 2500, 1234567};
    for (size_t n : sizes) {
        const std::string name = "f" + std::to_string(n);
        WriteFile(work.file(name), RandomBytes(n, 2));
        // The window's send ends with the peer's last "OK:", after the peer's line.
        ASSERT_TRUE(WaitUntil([&] { return !win->transfer().Busy(); }));
        win.openFileNames.push_back(work.file(name));
        win.click("flesend");
        ASSERT_TRUE(peer.WaitFor("\"type\":\"received\",\"text\":\"File received.\",\"file\":\"" +
                                 name + "\""))
            << peer.Out();
        EXPECT_TRUE(SameBytes(ReadWholeFile(work.file("app/Recv/" + name)), RandomBytes(n, 2)))
            << name;
    }
    win.click("fleext");
    EXPECT_EQ(peer.Finish(), 0) << peer.Out();
    EXPECT_TRUE(peer.Said("Your connection was terminated manually by the person."));
    EXPECT_EQ(KeyFileIn(work.file("cwd")), "42\r\n");
    EXPECT_TRUE(Wiped(work.file("app")));
    EXPECT_TRUE(win.messages.empty());
}

TEST(PeerProgram, ConnectsToAWindowSendsASystemSetAndHangsUpAfterARefusedKey) {
    InFolder here;
    TempDir work;
    fs::create_directories(work.file("wine/drive_c/Veltra/System"));
    WriteFile(work.file("wine/drive_c/Veltra/System/a.dat"), "system a");
    WriteFile(work.file("wine/drive_c/Veltra/System/LOG.DAT"), "log");
    const int port = FreePort();
    TestWindow win(OnPort(port));
    Listen(win);
    PeerProcess peer(
        ConnectTo(port, work.file("app"), {"--system", "5.5", "--chat", "bye", "--key", "12a"}),
        work.path(), work.file("wine"));
    EXPECT_EQ(peer.Finish(), 1) << peer.Out();
    const std::string out = peer.Out();
    // A window with fast transfers off: the link is plain, and says so before any action.
    EXPECT_NE(out.find("Connected\nNot encrypted: anyone on the network can read this "
                       "connection.\nSending System Files (1 to do)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("File Transferred.\nChat: <bye>\n"
                       "Keyvane: Key is invalid.  No characters allowed, only numeric digits.\n"),
              std::string::npos)
        << out;
    ASSERT_TRUE(WaitUntil([&] { return !win.messages.empty(); }));
    EXPECT_EQ(win.messages.back(), "Your connection was terminated manually by the person.  ");
    EXPECT_EQ(ReadWholeFile(win.file("Recv/a.dat")), "system a");
    EXPECT_FALSE(fs::exists(win.file("Recv/LOG.DAT")));
    EXPECT_TRUE(Listed(win, "List2", "bye"));
    EXPECT_TRUE(Wiped(work.file("app")));
}

TEST(PeerProgram, ConnectionLostDuringAnActionAndASignalEndWithHangUpAndWipe) {
    InFolder here;
    TempDir work;
    WriteFile(work.file("big.bin"), RandomBytes(100000, 3));
    const int port = FreePort();
    TestWindow win(OnPort(port));
    Listen(win);
    PeerProcess sender(
        ConnectTo(port, work.file("a"), {"--send", QString::fromStdString(work.file("big.bin"))}),
        work.path());
    // The sender pauses after announcing the file: the connection goes before a block.
    ASSERT_TRUE(WaitUntil([&] { return Listed(win, "List1", "Receiving File big.bin"); }));
    win->sock().Close();
    EXPECT_EQ(sender.Finish(), 3) << sender.Out();
    EXPECT_TRUE(sender.Said("Connection lost."));
    EXPECT_TRUE(Wiped(work.file("a")));

    win->sock().Close();
    Listen(win);
    // Nobody reads its output: writing it must not end the program unwiped.
    PeerProcess stayer(ConnectTo(port, work.file("b"), {"--stay"}), work.path(), {},
                       PeerProcess::Output::Unread);
    ASSERT_TRUE(WaitUntil([&] {
        return win.find<QListWidget>("List1")->findItems("Connected.", Qt::MatchExactly).size() ==
               2;
    }));
    ::kill(static_cast<pid_t>(stayer.proc().processId()), SIGTERM);
    EXPECT_EQ(stayer.Finish(), 0);
    ASSERT_TRUE(WaitUntil([&] { return !win.messages.empty(); }));
    EXPECT_EQ(win.messages.back(), "Your connection was terminated manually by the person.  ");
    EXPECT_TRUE(Wiped(work.file("b")));
}

// A peer of the eight messages only never gets an encrypted link: with --require-secure
// keyvane-peer hangs up before its first action, in both roles.
TEST(PeerProgram, RequireSecureSendsNothingToAPlainPeer) {
    InFolder here;
    TempDir work;
    PlainPeer host;
    const int port = host.Listen();
    PeerProcess client(ConnectTo(port, work.file("a"),
                                 {"--require-secure", "--json", "--chat", "secret", "--key", "12"}),
                       work.path());
    EXPECT_EQ(client.Finish(), 1) << client.Out();
    EXPECT_TRUE(client.Said("{\"type\":\"not_secure\",\"text\":\"Not encrypted: ")) << client.Out();
    EXPECT_TRUE(client.Said("{\"type\":\"message\",\"text\":\"Nothing was sent: "));
    ASSERT_TRUE(WaitUntil([&] { return host.peerHungUp || !host.Connected(); }));
    EXPECT_TRUE(host.chats.empty());
    EXPECT_TRUE(host.keys.empty());
    EXPECT_TRUE(host.oddReads.empty());
    EXPECT_TRUE(Wiped(work.file("a")));

    const int waitPort = FreePort();
    PeerProcess server(
        {"wait", "--port", QString::number(waitPort), "--bind", "127.0.0.1", "--address",
         "127.0.0.1", "--folder", QString::fromStdString(work.file("b")), "--require-secure",
         "--chat", "secret"},
        work.path());
    ASSERT_TRUE(server.WaitFor("Waiting for Connection"));
    PlainPeer guest;
    ASSERT_TRUE(guest.Connect(waitPort));
    EXPECT_EQ(server.Finish(), 1) << server.Out();
    EXPECT_TRUE(
        server.Said("Not encrypted: anyone on the network can read this connection.\n"
                    "Keyvane: Nothing was sent: "))
        << server.Out();
    ASSERT_TRUE(WaitUntil([&] { return guest.peerHungUp || !guest.Connected(); }));
    EXPECT_TRUE(guest.chats.empty());
    EXPECT_TRUE(Wiped(work.file("b")));
}

// The "secure" event's code and whether it was verified, from JSON lines.
std::vector<std::pair<std::string, bool>> Codes(const std::string& out) {
    static const std::regex event(
        "\\{\"type\":\"secure\",\"text\":\"[^\"]*\",\"code\":\"([0-9 "
        "]+)\",\"verified\":(true|false)\\}");
    std::vector<std::pair<std::string, bool>> codes;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), event);
         it != std::sregex_iterator(); ++it)
        codes.emplace_back((*it)[1], (*it)[2] == "true");
    return codes;
}

// Two keyvane-peers: the same code on both sides before any action, --trust pins the
// client for the next connection, and a client with another identity is turned away
// unless --trust accepts it.
TEST(PeerProgram, TwoPeersShowOneCodeAndTrustOnFirstUse) {
    InFolder here;
    TempDir work;
    struct Run {
        int host, client;
        std::string hostOut, clientOut;
    };
    const auto run = [&](const QStringList& hostMore) {
        const int port = FreePort();
        PeerProcess host(QStringList{"wait", "--port", QString::number(port), "--bind", "127.0.0.1",
                                     "--address", "127.0.0.1", "--folder",
                                     QString::fromStdString(work.file("h")), "--json", "--stay"} +
                             hostMore,
                         work.path());
        EXPECT_TRUE(host.WaitFor("\"type\":\"waiting\""));
        PeerProcess client(ConnectTo(port, work.file("c"), {"--json", "--chat", "hi"}),
                           work.path());
        Run r{};
        r.client = client.Finish();
        r.host = host.Finish();
        r.hostOut = host.Out();
        r.clientOut = client.Out();
        return r;
    };

    const Run first = run({"--trust"});
    EXPECT_EQ(first.host, 0) << first.hostOut;
    EXPECT_EQ(first.client, 0) << first.clientOut;
    const auto hostCodes = Codes(first.hostOut), clientCodes = Codes(first.clientOut);
    ASSERT_EQ(hostCodes.size(), 2u) << first.hostOut;  // then verified by --trust
    ASSERT_EQ(clientCodes.size(), 1u) << first.clientOut;
    EXPECT_EQ(hostCodes[0], std::make_pair(clientCodes[0].first, false));
    EXPECT_EQ(hostCodes[1], std::make_pair(clientCodes[0].first, true));
    EXPECT_FALSE(clientCodes[0].second);
    // Both showed the code before the chat line went out.
    EXPECT_LT(first.hostOut.find("\"type\":\"secure\""), first.hostOut.find("\"type\":\"chat\""));
    EXPECT_LT(first.clientOut.find("\"type\":\"secure\""),
              first.clientOut.find("\"type\":\"chat\""));

    const Run second = run({});
    EXPECT_EQ(second.host, 0) << second.hostOut;
    ASSERT_EQ(Codes(second.hostOut).size(), 1u) << second.hostOut;
    EXPECT_TRUE(Codes(second.hostOut)[0].second);
    EXPECT_FALSE(Codes(second.clientOut).at(0).second);  // the host was never trusted there

    fs::remove(work.file("c/identity.key"));
    const Run changed = run({});
    EXPECT_EQ(changed.host, 1) << changed.hostOut;
    EXPECT_NE(changed.hostOut.find("{\"type\":\"warning\",\"text\":\"Warning: this is not the "
                                   "person you trusted at 127.0.0.1 before"),
              std::string::npos)
        << changed.hostOut;
    EXPECT_NE(changed.hostOut.find("--trust accepts it"), std::string::npos);
    EXPECT_EQ(changed.hostOut.find("\"type\":\"chat\""), std::string::npos);
    EXPECT_TRUE(Wiped(work.file("h")));

    const Run accepted = run({"--trust"});
    EXPECT_EQ(accepted.host, 0) << accepted.hostOut;
    EXPECT_NE(accepted.hostOut.find("{\"type\":\"chat\",\"text\":\"hi\""), std::string::npos)
        << accepted.hostOut;
    ASSERT_EQ(Codes(accepted.hostOut).size(), 2u) << accepted.hostOut;
    EXPECT_TRUE(Codes(accepted.hostOut)[1].second);
}

TEST(PeerProgram, BadUsageAndUnreadableFilesGiveExitStatusAndMessage) {
    TempDir work;
    const std::vector<std::pair<QStringList, std::string>> usage = {
        {{}, "say wait or connect HOST"},
        {{"listen"}, "unknown command 'listen'"},
        {{"connect", "--port", "1"}, "connect needs the host's address"},
        {{"wait", "--port", "70000"}, "--port needs a number from 1 to 65535"},
        {{"wait", "--port"}, "--port needs a value"},
        {{"wait", "--system", "5.6"}, "--system takes"},
        {{"wait", "--hangup", "--chat", "x"}, "--chat comes after --hangup"},
        {{"wait", "--stay", "--hangup"}, "contradict"},
        {{"wait", "--frobnicate"}, "unknown option '--frobnicate'"},
        {{"wait", "--trust=yes"}, "--trust takes no value"},
    };
    for (const auto& [args, says] : usage) {
        PeerProcess p(args, work.path());
        EXPECT_EQ(p.Finish(), 2) << args.join(' ').toStdString();
        EXPECT_NE(p.Err().find(says), std::string::npos) << p.Err();
    }
    // Checked before anyone is connected; the missing file is not created.
    PeerProcess missing({"connect", "127.0.0.1", "--folder", QString::fromStdString(work.path()),
                         "--send", QString::fromStdString(work.file("nope"))},
                        work.path());
    EXPECT_EQ(missing.Finish(), 1);
    EXPECT_TRUE(missing.Said("Keyvane: Cannot send " + work.file("nope") +
                             ": No such file or directory\n"));
    EXPECT_FALSE(fs::exists(work.file("nope")));
    PeerProcess folder({"connect", "127.0.0.1", "--send", QString::fromStdString(work.path())},
                       work.path());
    EXPECT_EQ(folder.Finish(), 1);
    EXPECT_TRUE(folder.Said("not a plain file"));

    // A folder another running copy holds: refused, and its key files are left alone.
    TempDir held;
    FolderLock other;
    ASSERT_TRUE(other.Take(held.file(kFolderLockFile)));
    WriteTextLines(held.file("k1.bin"), {"the other copy's rotors"});
    WriteTextLines(work.file("k1.bin"), {"not ours either"});  // the working folder
    PeerProcess second({"wait", "--folder", QString::fromStdString(held.path())}, work.path());
    EXPECT_EQ(second.Finish(), 1);
    EXPECT_TRUE(second.Said("Keyvane is already running with its files in " + held.path()));
    EXPECT_EQ(ReadWholeFile(held.file("k1.bin")), "the other copy's rotors\r\n");
    EXPECT_EQ(ReadWholeFile(work.file("k1.bin")), "not ours either\r\n");

    // That copy gone without its wipe: the next one wipes its files before it waits, and
    // a folder it makes is its user's alone.
    other.Release();
    PeerProcess next({"wait", "--port", QString::number(FreePort()), "--bind", "127.0.0.1",
                      "--json", "--folder", QString::fromStdString(held.path())},
                     work.path());
    ASSERT_TRUE(next.WaitFor("\"type\":\"waiting\""));
    EXPECT_TRUE(Wiped(held.path()));
    PeerProcess fresh({"wait", "--port", QString::number(FreePort()), "--bind", "127.0.0.1",
                       "--json", "--folder", QString::fromStdString(work.file("new/data"))},
                      work.path());
    ASSERT_TRUE(fresh.WaitFor("\"type\":\"waiting\""));
    EXPECT_EQ(fs::status(work.file("new/data")).permissions() & fs::perms::all,
              fs::perms::owner_all);
}

TEST(PeerOptions, ActionsKeepTheirOrderAndSystemNamesTheirRows) {
    const auto p = peer::ParseArgs({"connect", "10.0.0.2", "--port=8080", "--system", "email",
                                    "--key", "1", "--require-secure", "--system=5.5.2=/opt/v",
                                    "--json", "--send", "f", "--trust", "--hangup"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.host, "10.0.0.2");
    EXPECT_EQ(p.options.port, "8080");
    EXPECT_TRUE(p.options.json);
    EXPECT_TRUE(p.options.requireSecure);
    EXPECT_TRUE(p.options.trust);
    const auto plain = peer::ParseArgs({"wait"});
    EXPECT_FALSE(plain.options.requireSecure || plain.options.trust);
    ASSERT_EQ(p.options.actions.size(), 5u);
    EXPECT_EQ(p.options.actions[0].row, 3);
    EXPECT_EQ(p.options.actions[1].kind, Action::Kind::Key);
    EXPECT_EQ(p.options.actions[2].row, 2);
    EXPECT_EQ(p.options.actions[2].productPath, "/opt/v/");
    EXPECT_EQ(p.options.actions[3].value, "f");
    EXPECT_EQ(p.options.actions[4].kind, Action::Kind::Hangup);
}

TEST(PeerTerminal, LatinTerminalsGetTheirOwnBytesAndUtf8StaysUtf8) {
    const peer::TerminalText latin("ISO-8859-15");
    EXPECT_EQ(latin.Out("h\xC3\xA9llo \xE2\x82\xAC \xE2\x84\xA2"), "h\xE9llo \xA4 ?");
    EXPECT_EQ(latin.In("h\xE9llo \xA4"), "h\xC3\xA9llo \xE2\x82\xAC");
    for (const char* kept : {"UTF-8", "ANSI_X3.4-1968"})
        EXPECT_EQ(peer::TerminalText(kept).Out("h\xC3\xA9llo"), "h\xC3\xA9llo");
}

}  // namespace
}  // namespace keyvane::test
