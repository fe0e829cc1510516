// Two sessions of this program over 127.0.0.1 and the secure channel between them: the
// code both people compare, trust on first use, and the links that stay plain.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "link/FastLink.h"
#include "secure/Secure.h"
#include "support/delay_proxy.h"
#include "support/fakes.h"
#include "support/loop_peer.h"

namespace keyvane::test {
namespace {

namespace fs = std::filesystem;
using State = LinkSecurity::State;

bool Settled(LoopPeer& p) {
    return p.session->SecuritySettled() && p.session->Security().state != State::None;
}

// Connects the two and waits until both know how the link is protected.
void ConnectSettled(LoopPeer& host, LoopPeer& client) {
    ConnectPeers(host, client);
    ASSERT_TRUE(
        RunUntil([&] { return (Settled(host) && Settled(client)) || !client.st.IsConnected; }));
}

// A peer of this program that keeps `from`'s identity and confirmed peers.
void CopyTrust(const LoopPeer& from, LoopPeer& to) {
    for (const char* f : {secure::Identity::kFile, secure::TrustStore::kFile})
        if (fs::exists(from.sdk.AppFolder + f))
            fs::copy_file(from.sdk.AppFolder + f, to.sdk.AppFolder + f,
                          fs::copy_options::overwrite_existing);
}

TEST(SecureLink, AConfirmedPeerIsVerifiedLaterAndAChangedOneIsAskedAbout) {
    std::string firstCode;
    LoopPeer host(false, true), client(false, true);
    ConnectSettled(host, client);
    firstCode = host.session->Security().code;
    host.session->TrustPeer();
    client.session->TrustPeer();
    EXPECT_TRUE(host.session->Security().verified && client.session->Security().verified);

    // The same two installations again: verified at once, no code to compare.
    LoopPeer host2(false, true), client2(false, true);
    CopyTrust(host, host2);
    CopyTrust(client, client2);
    ConnectSettled(host2, client2);
    ASSERT_EQ(host2.session->Security().state, State::Secure);
    EXPECT_TRUE(host2.session->Security().verified && client2.session->Security().verified);
    EXPECT_TRUE(host2.view.HasStatus("Encrypted connection with a trusted person: verified."));
    EXPECT_TRUE(host2.confirmations.empty() && client2.confirmations.empty());

    // Someone else at the client's address: the host warns before anything is sent and,
    // told no, ends the connection.
    LoopPeer host3(false, true), stranger(false, true);
    CopyTrust(host, host3);
    host3.confirmAnswer = false;
    ConnectPeers(host3, stranger);
    ASSERT_TRUE(RunUntil([&] { return !host3.confirmations.empty(); }));
    EXPECT_NE(host3.confirmations[0].find("identity key has changed"), std::string::npos);
    ASSERT_TRUE(RunUntil([&] { return !host3.st.IsConnected && !stranger.st.IsConnected; }));
    EXPECT_TRUE(
        host3.view.HasStatus("The connection was ended: the other person's identity has changed."));
    EXPECT_FALSE(host3.session->Secure());
}

// While the host asks about a changed identity, what the peer sends waits unread; a
// peer that sends more than any honest one would ends the connection.
TEST(SecureLink, AFloodWhileAQuestionIsOpenEndsTheConnection) {
    LoopPeer host(false, true), client(false, true), stranger(false, true);
    ConnectSettled(host, client);
    host.session->TrustPeer();
    LoopPeer host2(false, true);
    CopyTrust(host, host2);
    host2.platform.ConfirmBox = [&](const std::string&) {
        // The stranger has settled on its side and talks on while the box is open.
        const std::string line(60000, 'x');
        for (int i = 0; i < 300 && stranger.st.IsConnected; ++i) {
            stranger.view.chatText = line;
            stranger.session->SendChatLine();
        }
        RunUntil([&] { return !host2.st.IsConnected; });
        return true;
    };
    ConnectPeers(host2, stranger);
    ASSERT_TRUE(RunUntil([&] { return !host2.st.IsConnected; }));
    EXPECT_TRUE(host2.view.HasStatus(
        "The connection was ended: the other side sent too much while a question about it was "
        "open."));
    EXPECT_TRUE(host2.view.chat.empty());
    EXPECT_FALSE(host2.session->Secure());
}

// A person confirmed before who comes back without encryption (here the host has the
// channel off; a dropped offer looks the same): asked about before anything is sent.
TEST(SecureLink, AConfirmedPeerBackPlainIsAskedAbout) {
    LoopPeer host(false, true), client(false, true);
    WriteTextLines(host.sdk.AppFolder + fast::kSettingsFile, {"SecureChannel=off"});
    secure::TrustStore(client.sdk.AppFolder).Pin("127.0.0.1", std::string(32, 'x'));
    client.confirmAnswer = false;
    ConnectPeers(host, client);
    ASSERT_TRUE(RunUntil([&] { return !client.st.IsConnected; }));
    ASSERT_FALSE(client.view.security.empty());
    EXPECT_EQ(client.view.security[0].state, State::Plain);
    ASSERT_EQ(client.confirmations.size(), 1u);
    EXPECT_NE(client.confirmations[0].find("not encrypted"), std::string::npos);
    EXPECT_TRUE(client.view.HasStatus("The connection was ended: it was not encrypted."));
    // Nothing but the address, the fast link's answer and the hang-up went out.
    for (const std::string& m : client.sock.sent)
        EXPECT_TRUE(m.rfind("IP:", 0) == 0 || m.rfind("XX:", 0) == 0 || m.rfind("KV!", 0) == 0)
            << m;
}

// A host that knows itself by another address than the one the client reached it by
// (a router's outside address, a second address): both still build the same key files.
TEST(SecureLink, BothSidesBuildTheKeyFilesFromTheHostsOwnAddress) {
    LoopPeer host(false, true), client(false, true);
    host.view.ip = "192.0.2.7";
    ConnectSettled(host, client);
    ASSERT_TRUE(host.session->Secure() && client.session->Secure());
    host.view.chatText = "readable both ways";
    host.session->SendChatLine();
    client.view.chatText = "and back";
    client.session->SendChatLine();
    ASSERT_TRUE(
        RunUntil([&] { return client.view.chat.size() == 2 && host.view.chat.size() == 2; }));
    EXPECT_EQ(client.view.chat[1], "readable both ways");
    EXPECT_EQ(host.view.chat[1], "and back");
}

// A file cut short waits for the peer that sent it: someone else offering the same
// name, length and time starts a file of its own.
TEST(SecureLink, AResumeBelongsToThePeerThatStartedTheFile) {
    ProxiedPair<DelayProxy> l(1);
    LoopPeer &host = l.host, &client = l.client;
    LoopPeer stranger(false, true);
    DelayProxy& proxy = *l.proxy;
    l.Connect();
    ASSERT_TRUE(RunUntil([&] { return Settled(host) && Settled(client); }));
    const std::string bytes = RandomBytes(300000, 12), path = client.dir.file("big.bin");
    WriteFile(path, bytes);
    proxy.CutAt(DelayProxy::kToTarget, 100000);
    client.transfer->SendFile(path, 0);
    ASSERT_TRUE(RunUntil(
        [&] { return host.view.HasStatus("The file big.bin was not received completely."); }));

    const std::string copy = stranger.dir.file("big.bin");
    WriteFile(copy, bytes);
    fs::last_write_time(copy, fs::last_write_time(path));
    host.session->WaitForConnect();
    stranger.ConnectTo(host.Port());
    ASSERT_TRUE(RunUntil([&] { return Settled(host) && Settled(stranger); }));
    stranger.transfer->SendFile(copy, 0);
    ASSERT_TRUE(
        RunUntil([&] { return stranger.view.HasStatus("File Transferred.") && host.Idle(); }));
    for (const std::string& line : host.view.status)
        EXPECT_EQ(line.rfind("Resuming", 0), std::string::npos) << line;
    EXPECT_TRUE(SameBytes(ReadWholeFile(host.Recv("big-2.bin")), bytes));
    EXPECT_LT(ReadWholeFile(host.Recv("big.bin")).size(), bytes.size());
}

// A client waits for the host's offer of the channel. What comes in the clear meanwhile
// could be anyone's: a plain link takes it, in order, once the wait is over; a client
// that requires encryption never shows it.
TEST(SecureLinkWait, MessagesInTheClearWaitUntilTheLinkHasSettled) {
    for (bool require : {false, true}) {
        // Fast transfers and the secure channel on.
        FakePeer::Options options{.settings = {}, .start = FakePeer::Start::Client};
        if (require) options.settings = {"RequireSecure=on"};
        FakePeer client(options);
        ASSERT_FALSE(client.session->SecuritySettled());
        client.sock.Receive("CT:" + client.Encipher("first"));
        client.sock.Receive("CT:" + client.Encipher("second"));
        EXPECT_TRUE(client.view.chat.empty()) << require;
        client.plat.Advance(Session::kProbeWaitMs - 1);
        EXPECT_TRUE(client.view.chat.empty()) << require;
        client.plat.Advance(1);
        EXPECT_TRUE(client.session->SecuritySettled());
        if (require) {
            EXPECT_TRUE(client.view.chat.empty());
            EXPECT_FALSE(client.st.IsConnected);
        } else {
            EXPECT_EQ(client.view.chat, (std::vector<std::string>{"first", "second"}));
        }
    }
}

}  // namespace
}  // namespace keyvane::test
