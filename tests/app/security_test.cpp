// How the main window shows the connection's protection: its caption and the command
// that trusts the peer.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>

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

}  // namespace
}  // namespace keyvane::test
