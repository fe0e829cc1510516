// Where a copy keeps its data and help page, its command line, and a second copy that
// finds the folder taken.
#include <gtest/gtest.h>

#include <set>

#include "app/CommandLine.h"
#include "help/Help.h"
#include "help/frmBrowser.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "support/windows.h"

namespace keyvane::test {
namespace {

TEST(AppFoldersChoice, PortableInstalledAndReadOnly) {
    std::set<std::string> files, writable;
    auto choose = [&](const std::string& program) {
        return ChooseAppFolders(
            program, "/home/u/.local/share/keyvane/",
            [&](const std::string& f) { return writable.count(f) > 0; },
            [&](const std::string& f) { return files.count(f) > 0; });
    };

    // A copy in its own folder, which the user may write: everything stays there.
    files = {"/opt/kv/overview.htm"};
    writable = {"/opt/kv/"};
    AppFolders f = choose("/opt/kv/");
    EXPECT_EQ(f.data, "/opt/kv/");
    EXPECT_EQ(f.helpPage, "/opt/kv/overview.htm");
    EXPECT_FALSE(f.installed);

    // The same copy, read-only: data per user, help where it is.
    writable.clear();
    f = choose("/opt/kv/");
    EXPECT_EQ(f.data, "/home/u/.local/share/keyvane/");
    EXPECT_EQ(f.helpPage, "/opt/kv/overview.htm");

    // Installed under a prefix: per user even for one who may write bin/ (root).
    files = {"/usr/share/keyvane/overview.htm"};
    writable = {"/usr/bin/"};
    f = choose("/usr/bin/");
    EXPECT_TRUE(f.installed);
    EXPECT_EQ(f.data, "/home/u/.local/share/keyvane/");
    EXPECT_EQ(f.helpPage, "/usr/share/keyvane/overview.htm");

    // No help page anywhere: the portable layout (the viewer says the page is missing).
    files.clear();
    EXPECT_EQ(choose("/usr/bin/").data, "/usr/bin/");
}

TEST(CommandLineOptions, OnlyHelpAndVersionAlone) {
    EXPECT_EQ(ParseCommandLine({}), CommandLine::Window);
    EXPECT_EQ(ParseCommandLine({"--help"}), CommandLine::Help);
    EXPECT_EQ(ParseCommandLine({"--version"}), CommandLine::Version);
    EXPECT_EQ(ParseCommandLine({"-h"}), CommandLine::Wrong);
    EXPECT_EQ(ParseCommandLine({""}), CommandLine::Wrong);
    EXPECT_EQ(ParseCommandLine({"--help", "--version"}), CommandLine::Wrong);
}

TEST(SecondCopy, SaysSoAndLeavesTheFirstCopysFilesAlone) {
    FolderLock first;
    TestWindow::Options o;
    std::string folder;
    o.beforeStart = [&](const std::string& f) {
        folder = f;
        ASSERT_TRUE(first.Take(f + ".keyvane.lock"));
        WriteTextLines(f + "k2.bin", {" 20  7 "});
    };
    {
        TestWindow w(o);
        EXPECT_TRUE(w->Refused());
        ASSERT_EQ(w.messages.size(), 1u);
        EXPECT_NE(w.messages[0].find("already running"), std::string::npos);
        EXPECT_NE(w.messages[0].find(folder), std::string::npos);
        EXPECT_FALSE(FileExists(folder + "port.dat"));
        w->close();  // no wipe: the first copy's key files stay
        EXPECT_EQ(ReadWholeFile(folder + "k2.bin"), " 20  7 \r\n");
    }

    TestWindow alone;
    EXPECT_FALSE(alone->Refused());
    EXPECT_TRUE(alone.messages.empty());
    FolderLock other;
    EXPECT_FALSE(other.Take(alone.file(".keyvane.lock")));  // held while it runs
}

TEST(HelpPage, IsFoundWhereItWasInstalled) {
    TestWindow w;
    TempDir share;
    WriteTextLines(share.file("overview.htm"), {"<html><body><h1>Installed</h1></body></html>"});
    w->SetHelpPage(share.file("overview.htm"));
    bool ran = false;
    OnNextModal([&](QWidget* modal) {
        ran = true;
        auto* b = dynamic_cast<frmBrowser*>(modal);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->address(), HelpUrl(share.file("overview.htm")));
        EXPECT_TRUE(b->pageFound());
        modal->close();
    });
    w.click("hlp");
    EXPECT_TRUE(ran);
    EXPECT_EQ(HelpPath, share.file("overview.htm"));
}

}  // namespace
}  // namespace keyvane::test
