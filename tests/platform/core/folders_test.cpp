// Creating the data folder, and the lock that keeps a second copy off its key files.
#include "platform/folders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "platform/files.h"
#include "support/tempdir.h"

namespace keyvane {
namespace {

TEST(DataFolder, IsCreatedWithItsParentsForItsOwnerAlone) {
    test::TempDir dir;
    const std::string folder = dir.file("share/keyvane/");
    CreateFolderChain(folder);
    CreateFolderChain(folder);  // there already: fine
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("share").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(IsWritableFolder(folder));
    WriteTextLines(dir.file("plain"), {"x"});
    EXPECT_THROW(CreateFolderChain(dir.file("plain/sub/")), FileError);
}

TEST(DataFolderLock, ExcludesASecondHolderUntilReleased) {
    test::TempDir dir;
    FolderLock first, second;
    ASSERT_TRUE(first.Take(dir.file(".keyvane.lock")));
    EXPECT_FALSE(second.Take(dir.file(".keyvane.lock")));
    first.Release();
    EXPECT_TRUE(second.Take(dir.file(".keyvane.lock")));
    EXPECT_THROW(first.Take(dir.file("missing/.keyvane.lock")), FileError);
}

TEST(FolderEntriesTest, SayWhichArePlainFilesThroughLinks) {
    test::TempDir dir;
    WriteTextLines(dir.file("a.txt"), {"x"});
    EXPECT_TRUE(MakeFolder(dir.file("sub")));
    EXPECT_FALSE(MakeFolder(dir.file("sub")));
    std::filesystem::create_symlink(dir.file("a.txt"), dir.file("l"));
    std::filesystem::create_symlink(dir.file("none"), dir.file("d"));
    std::vector<FolderEntry> got = FolderEntries(dir.path());
    std::sort(got.begin(), got.end(), [](auto& x, auto& y) { return x.name < y.name; });
    std::vector<std::pair<std::string, bool>> seen;
    for (const FolderEntry& e : got) seen.emplace_back(e.name, e.plain);
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, bool>>{
                        {"a.txt", true}, {"d", false}, {"l", true}, {"sub", false}}));
    EXPECT_TRUE(IsFolder(dir.file("sub")));
    EXPECT_FALSE(IsFolder(dir.file("a.txt")));
    EXPECT_TRUE(FolderEntries(dir.file("missing")).empty());
}

}  // namespace
}  // namespace keyvane
