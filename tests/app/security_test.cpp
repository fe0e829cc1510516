// How the main window shows the connection's protection: its caption and the command
// that trusts the peer.
#include <gtest/gtest.h>

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <regex>

#include "platform/files.h"
#include "secure/Secure.h"
#include "support/windows.h"

namespace keyvane::test {
namespace {

using State = LinkSecurity::State;

TEST(WindowSecurity, CaptionAndTrustCommandFollowTheLinkAndEndAsDesigned) {
    TestWindow w;
    auto* trust = w.find<QAction>("fletrust");
    ASSERT_TRUE(trust);
    EXPECT_EQ(w->windowTitle(), "Veltra Encryption Keyvane");
    EXPECT_FALSE(trust->isEnabled());

    const struct {
        LinkSecurity security;
        const char* caption;
        bool canTrust;
    } steps[] = {
        {{State::Secure, "482 913", false},
         "Veltra Encryption Keyvane - Encrypted, code 482 913",
         true},
        {{State::Secure, "482 913", true},
         "Veltra Encryption Keyvane - Encrypted, verified",
         false},
        {{State::None, "", false}, "Veltra Encryption Keyvane", false},
        {{State::Plain, "", false}, "Veltra Encryption Keyvane - Not encrypted", false},
        {{State::None, "", false}, "Veltra Encryption Keyvane", false},
    };
    for (const auto& s : steps) {
        w->ShowSecurity(s.security);
        EXPECT_EQ(w->windowTitle().toStdString(), s.caption);
        EXPECT_EQ(trust->isEnabled(), s.canTrust) << s.caption;
    }

    // The File menu keeps its items in their order; the new command sits after Send File.
    auto* file = w.find<QMenu>("fle");
    ASSERT_TRUE(file);
    QStringList names;
    for (QAction* a : file->actions()) names << a->objectName();
    EXPECT_EQ(names, QStringList({"flesend", "fletrust", "flediv1", "fleext"}));
}

// Two windows with fast transfers on: both captions carry the same code, and the menu
// command pins the peer, after which the caption says verified.
TEST(WindowSecurity, TwoWindowsShowOneCodeAndTheMenuCommandTrustsThePeer) {
    const int port = FreePort();
    TestWindow::Options o;
    o.fastTransfers = true;
    o.beforeStart = [port](const std::string& folder) {
        WriteTextLines(folder + "port.dat", {std::to_string(port)});
    };
    TestWindow host(o), client(o);
    const auto connect = [&] {
        host->sock().ListenAddress = "127.0.0.1";
        host.click("Command1");
        client.find<QLineEdit>("txtConnect")->setText("127.0.0.1");
        client.click("Command2");
        return WaitUntil([&] {
            return host->windowTitle().contains("Encrypted") &&
                   client->windowTitle().contains("Encrypted");
        });
    };
    ASSERT_TRUE(connect());
    const std::string caption = client->windowTitle().toStdString();
    EXPECT_TRUE(std::regex_match(
        caption, std::regex("Veltra Encryption Keyvane - Encrypted, code [0-9]{3} [0-9]{3}")))
        << caption;
    EXPECT_EQ(host->windowTitle().toStdString(), caption);
    ASSERT_TRUE(host.find<QAction>("fletrust")->isEnabled());

    host.click("fletrust");
    EXPECT_EQ(host->windowTitle(), "Veltra Encryption Keyvane - Encrypted, verified");
    EXPECT_FALSE(host.find<QAction>("fletrust")->isEnabled());
    EXPECT_TRUE(FileExists(host.file(secure::TrustStore::kFile)));
    EXPECT_EQ(client->windowTitle().toStdString(), caption);  // the client trusts nobody yet

    // The client leaves; the host's caption ends with the connection.
    client.click("fleext");
    ASSERT_TRUE(WaitUntil([&] { return host->windowTitle() == "Veltra Encryption Keyvane"; }));
    EXPECT_FALSE(host.find<QAction>("fletrust")->isEnabled());
}

}  // namespace
}  // namespace keyvane::test
