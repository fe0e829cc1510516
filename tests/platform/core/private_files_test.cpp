// The data folder is its user's alone, whoever made it; a received file in it follows
// the umask as any download does.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/folders.h"
#include "support/tempdir.h"

namespace keyvane {
namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(PrivateFolder, IsCreatedAndKeptForTheOwnerOnly) {
    const mode_t mask = ::umask(022);
    test::TempDir dir;
    CreatePrivateFolder(dir.file("a/keyvane/"));
    EXPECT_EQ(ModeOf(dir.file("a")), 0700u);
    EXPECT_EQ(ModeOf(dir.file("a/keyvane")), 0700u);

    // One an earlier copy made with the umask is closed to others; what it holds stays.
    const std::string old = dir.file("old/");
    std::filesystem::create_directory(old);
    ::chmod(old.c_str(), 0755);
    WriteTextLines(old + "port.dat", {"7777"});
    CreatePrivateFolder(old);
    EXPECT_EQ(ModeOf(old), 0700u);
    EXPECT_EQ(ReadWholeFile(old + "port.dat"), "7777\r\n");
    EXPECT_EQ(ModeOf(old + "port.dat"), 0600u);
    ASSERT_TRUE(CreateReceivedFile(old + "received.bin"));
    EXPECT_EQ(ModeOf(old + "received.bin"), 0644u);

    EXPECT_THROW(CreatePrivateFolder(old + "port.dat"), FileError);
    ::umask(mask);
}

}  // namespace
}  // namespace keyvane
