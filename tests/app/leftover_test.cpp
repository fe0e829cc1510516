// Key files that a run which never wiped left behind: gone before a new run starts,
// and gone when a run ends by a failure nobody caught.
#include <gtest/gtest.h>

#include <exception>
#include <filesystem>

#include "cipher/sdk.h"
#include "platform/files.h"
#include "platform/qt/Signals.h"
#include "support/tempdir.h"
#include "support/windows.h"

namespace keyvane::test {
namespace {

namespace fs = std::filesystem;

const char* const kLeft[] = {"k1.bcr", "k1.brs", "k1.bin", "k2.bin", "k3.bin", "k4.bin"};

bool AnyLeft(const std::string& folder) {
    SDK sdk;
    sdk.AppFolder = folder;
    return sdk.KeyFilesLeft();
}

TEST(LeftoverKeyFiles, AreWipedWhenTheWindowStarts) {
    TestWindow::Options o;
    std::string folder;
    o.beforeStart = [&](const std::string& f) {
        folder = f;
        for (const char* name : kLeft) WriteTextLines(f + name, {"the crashed run's rotors"});
    };
    TestWindow w(o);
    EXPECT_FALSE(AnyLeft(folder));
    EXPECT_TRUE(w.messages.empty());
    EXPECT_TRUE(FileExists(folder + "port.dat"));  // the rest of start-up went on

    // A wipe that cannot finish is said; the window still starts.
    TestWindow::Options blocked;
    blocked.beforeStart = [](const std::string& f) {
        WriteTextLines(f + "k1.bin", {"left"});
        fs::create_directory(f + "k5.bin");
    };
    TestWindow b(blocked);
    EXPECT_FALSE(b->Refused());
    ASSERT_EQ(b.messages.size(), 1u);
    EXPECT_EQ(b.messages[0].rfind("Key files left by an earlier run could not be wiped (", 0), 0u)
        << b.messages[0];
}

TEST(LeftoverKeyFilesDeathTest, AnUncaughtFailureWipesBeforeTheProgramEnds) {
    TempDir dir;
    SDK sdk;
    sdk.AppFolder = dir.path();
    sdk.BuildKeyFiles("192168111921681222");
    ASSERT_TRUE(sdk.KeyFilesLeft());
    EXPECT_DEATH(
        {
            WipeOnTerminate(dir.path());
            std::terminate();
        },
        "the key files were wiped");
    EXPECT_FALSE(AnyLeft(dir.path()));
}

}  // namespace
}  // namespace keyvane::test
