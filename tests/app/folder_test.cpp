// Opening a run's program folder, as the window and keyvane-peer both do it.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/StartUp.h"
#include "cipher/sdk.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "support/tempdir.h"

namespace keyvane::test {
namespace {

TEST(ProgramFolder, OneCopyAtATimeAndOnlyItTouchesKeyFiles) {
    TempDir dir;
    const std::string folder = dir.file("app/");
    CreateFolderChain(folder);
    WriteTextLines(folder + "k1.bin", {"a crashed run's"});
    SDK first;
    FolderLock firstLock;
    const FolderStart a = OpenProgramFolder(first, firstLock, folder, CreateFolderChain);
    EXPECT_TRUE(a.Ready());
    EXPECT_EQ(first.AppFolder, folder);
    EXPECT_FALSE(FileExists(folder + "k1.bin"));
    EXPECT_TRUE(std::filesystem::is_directory(folder + "Recv"));

    // A second copy on the same folder: the first one's key files stay.
    WriteTextLines(folder + "k1.bin", {"the first copy's"});
    SDK second;
    FolderLock secondLock;
    const FolderStart b = OpenProgramFolder(second, secondLock, folder, CreateFolderChain);
    EXPECT_TRUE(b.held);
    EXPECT_FALSE(b.Ready());
    EXPECT_TRUE(second.AppFolder.empty());  // its end wipes nothing
    EXPECT_TRUE(FileExists(folder + "k1.bin"));

    // A folder that cannot be made: no lock is tried there.
    SDK third;
    FolderLock thirdLock;
    const FolderStart c = OpenProgramFolder(third, thirdLock, dir.file("none/"),
                                            [](const std::string&) { throw FileError("full"); });
    ASSERT_TRUE(c.notMade);
    EXPECT_EQ(c.notMade->Reason(), "full");
    EXPECT_FALSE(c.held || c.lockUnknown);
    EXPECT_TRUE(third.AppFolder.empty());
}

TEST(ProgramFolder, APeersPortIsReadAndNeverWritten) {
    TempDir dir;
    EXPECT_EQ(ReadPort(dir.path()), "7777");
    EXPECT_FALSE(FileExists(dir.file("port.dat")));
    WriteTextLines(dir.file("port.dat"), {});
    EXPECT_EQ(ReadPort(dir.path()), "7777");
    EXPECT_EQ(ReadWholeFile(dir.file("port.dat")), "");
    WriteTextLines(dir.file("port.dat"), {" 8080", "9090"});
    EXPECT_EQ(ReadPort(dir.path()), " 8080");
}

}  // namespace
}  // namespace keyvane::test
