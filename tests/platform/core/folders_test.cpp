// Creating the data folder and the lock that keeps a second copy off its key files.
#include "platform/folders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/files.h"
#include "support/tempdir.h"

namespace keyvane {
namespace {

using test::TempDir;

TEST(DataFolder, IsCreatedWithItsParentsForItsOwnerAlone) {
    TempDir dir;
    const std::string folder = dir.file("share/keyvane/");
    CreateFolderChain(folder);
    CreateFolderChain(folder);  // there already: fine
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(IsWritableFolder(folder));

    WriteTextLines(dir.file("plain"), {"x"});
    EXPECT_THROW(CreateFolderChain(dir.file("plain/sub/")), FileError);
    EXPECT_FALSE(IsWritableFolder(dir.file("missing/")));
}

TEST(DataFolderLock, ExcludesASecondHolderUntilReleased) {
    TempDir dir;
    const std::string path = dir.file(".keyvane.lock");
    FolderLock first, second;
    ASSERT_TRUE(first.Take(path));
    EXPECT_FALSE(second.Take(path));
    EXPECT_FALSE(second.Held());
    first.Release();
    EXPECT_TRUE(second.Take(path));
    {
        FolderLock third;
        EXPECT_FALSE(third.Take(path));
    }
    EXPECT_THROW(first.Take(dir.file("missing/.keyvane.lock")), FileError);
}

}  // namespace
}  // namespace keyvane
