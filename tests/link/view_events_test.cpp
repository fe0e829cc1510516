// The session's events: each says what its status or chat line says, just before it.
#include <gtest/gtest.h>

#include "support/fakes.h"

namespace keyvane::test {
namespace {

using K = ViewEvent::Kind;

TEST(SessionEvents, HostSideComeWithTheirLines) {
    InFolder here;
    FakePeer host;
    host.BecomeConnectedHost("10.0.0.9");
    host.sock.Receive("KY:" + host.Encipher("0042"));
    host.sock.Receive("CT:" + host.Encipher("hi <x>"));
    host.view.key = "77";
    host.session->SendKey();
    host.view.chatText = "yo";
    host.session->SendChatLine();
    host.sock.Receive("XX:");

    std::vector<std::tuple<K, std::string, std::string>> seen;
    for (const auto& s : host.view.events) seen.emplace_back(s.event.kind, s.event.text, s.line);
    EXPECT_EQ(seen, (std::vector<std::tuple<K, std::string, std::string>>{
                        {K::Waiting, "7777", "Waiting for Connection"},
                        {K::Connected, "10.0.0.9", "Connected."},
                        {K::KeyReceived, "0042", "Key=0042"},
                        {K::KeyWritten, "Key143005.txt", "Key written to Key143005.txt"},
                        {K::ChatReceived, "hi <x>", "hi <x>"},
                        {K::KeySent, "77", "Sending Key..."},
                        {K::ChatSent, "yo", "<yo>"},
                        {K::PeerHungUp, "", ""},  // its text is a box
                    }));
}

TEST(SessionEvents, ClientConnectsAndLosesTheConnection) {
    FakePeer client;
    client.BecomeConnectedClient();
    client.sock.Disconnected();
    client.sock.Disconnected();  // gone already: said once
    ASSERT_EQ(client.view.events.size(), 3u);
    EXPECT_EQ(client.view.events[0].event.kind, K::Connecting);
    EXPECT_EQ(client.view.events[0].line, "Connecting...");
    EXPECT_EQ(client.view.Last(K::Connected).event.text, "10.0.0.1");
    EXPECT_EQ(client.view.Last(K::Connected).line, "Connected");
    EXPECT_EQ(client.view.Last(K::Lost).line, "Connection lost.");

    // Refused before anything went: no event claims a key went out.
    client.view.key = "12a";
    client.session->SendKey();
    EXPECT_EQ(client.view.Events(K::KeySent), 0);
}

}  // namespace
}  // namespace keyvane::test
