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

// Two windows with fast transfers on: both captions carry the same code, the menu
// command pins the peer, after which the caption says verified, and the caption is its
// own again when the link ends.
TEST(WindowSecurity, TwoWindowsShowOneCodeAndTheMenuCommandTrustsThePeer) {
    const int port = FreePort();
    TestWindow::Options o;
    o.fastTransfers = true;
    o.beforeStart = [port](const std::string& folder) {
        WriteTextLines(folder + "port.dat", {std::to_string(port)});
    };
    TestWindow host(o), client(o);
    EXPECT_EQ(host->windowTitle(), "Veltra Encryption Keyvane");
    EXPECT_FALSE(host.find<QAction>("fletrust")->isEnabled());
    // The File menu keeps its items in their order; the new command sits after Send File.
    QStringList names;
    for (QAction* a : host.find<QMenu>("fle")->actions()) names << a->objectName();
    EXPECT_EQ(names, QStringList({"flesend", "fletrust", "flediv1", "fleext"}));

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
    // What a plain link shows; nothing there to trust.
    host->ShowSecurity({LinkSecurity::State::Plain, "", false});
    EXPECT_EQ(host->windowTitle(), "Veltra Encryption Keyvane - Not encrypted");
    EXPECT_FALSE(host.find<QAction>("fletrust")->isEnabled());
}

}  // namespace
}  // namespace keyvane::test
