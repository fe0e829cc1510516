// The working-file wipe. The fills are seen by stopping the wipe part way: a folder in
// place of one of the files makes that step fail, and the files before it stay behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "cipher/sdk.h"
#include "support/tempdir.h"

namespace keyvane {
namespace {

using test::TempDir;

const char* const kAll[] = {"k1.tcr", "k1.trs", "k1.bcr", "k1.brs", "k1.txt",
                            "k1.bin", "k2.txt", "k2.bin", "k3.txt", "k3.bin",
                            "k4.txt", "k4.bin", "k5.txt", "k5.bin", "k6.dat"};

void Put(const std::string& path, const std::string& content) {
    TextWriter w(path);
    w.Write(content);
    w.Close();
}

std::string Crosses() {
    std::string s;
    for (int i = 0; i < 20; ++i) s += "xxxxx\r\n";
    return s;
}

TEST(WipeTest, LeavesNoneOfTheFifteenFiles) {
    for (bool generated : {false, true}) {
        TempDir dir;
        SDK sdk;
        sdk.AppFolder = dir.path();
        if (generated) {
            sdk.BuildKeyFiles("192168111921681222");
            std::string text = "hello";
            sdk.EncryptString(text);
            Put(dir.file("k1.txt"), "old");
        }
        EXPECT_EQ(sdk.KeyFilesLeft(), generated);
        sdk.WipeKeyFiles();
        for (const char* name : kAll) EXPECT_FALSE(FileExists(dir.file(name))) << name;
        EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
        EXPECT_FALSE(sdk.KeyFilesLeft());
    }
    // Any one of them, left alone by a run that crashed, counts.
    for (const char* name : kAll) {
        TempDir dir;
        SDK sdk;
        sdk.AppFolder = dir.path();
        Put(dir.file(name), "left");
        EXPECT_TRUE(sdk.KeyFilesLeft()) << name;
    }
}

TEST(WipeTest, KeyAndWorkingFilesAreTheOwnersAlone) {
    const mode_t old = ::umask(022);
    TempDir dir;
    SDK sdk;
    sdk.AppFolder = dir.path();
    sdk.BuildKeyFiles("192168111921681222");
    std::string text = "hello";
    sdk.EncryptString(text);
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        struct stat st {};
        ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << e.path();
        ++files;
    }
    EXPECT_GE(files, 6);
    ::umask(old);
}

TEST(WipeTest, RotorFilesAreFilledWithAtSignsOrBlanksBeforeTheTablesExist) {
    for (bool tablesBuilt : {false, true}) {
        TempDir dir;
        SDK sdk;
        sdk.AppFolder = dir.path();
        if (tablesBuilt) sdk.LoadCipherTables();
        Put(dir.file("k1.bin"), std::string(256, 'r'));                               // short
        Put(dir.file("k1.brs"), std::string(20 * 256, 'r') + std::string(256, 'q'));  // long
        Put(dir.file("k1.tcr"), "t");
        std::filesystem::create_directory(dir.file("k2.txt"));  // step 3 fails
        EXPECT_THROW(sdk.WipeKeyFiles(), FileError);

        const char fill = tablesBuilt ? '@' : ' ';
        std::string want256, want151;
        for (int r = 0; r < 20; ++r) {
            want256 += std::string(256, fill);
            want151 += std::string(151, fill);
        }
        EXPECT_EQ(ReadWholeFile(dir.file("k1.bin")), want256);
        EXPECT_EQ(ReadWholeFile(dir.file("k1.brs")), want256 + std::string(256, 'q'));
        EXPECT_EQ(ReadWholeFile(dir.file("k1.tcr")), want151);
        // Missing ones were created empty and stay empty; later steps never ran.
        EXPECT_EQ(ReadWholeFile(dir.file("k1.bcr")), "");
        EXPECT_EQ(ReadWholeFile(dir.file("k1.trs")), "");
        EXPECT_FALSE(FileExists(dir.file("k2.bin")));
    }
}

TEST(WipeTest, SettingsFilesAreOverwrittenByTheirRules) {
    TempDir dir;
    SDK sdk;
    sdk.AppFolder = dir.path();
    sdk.BuildKeyFiles("123456789");
    Put(dir.file("k3.txt"), "something");
    Put(dir.file("k4.txt"), "");  // empty: deleted without being rewritten
    std::filesystem::remove(dir.file("k6.dat"));
    std::filesystem::create_directory(dir.file("k6.dat"));  // step 6 fails at its last file
    EXPECT_THROW(sdk.WipeKeyFiles(), FileError);

    EXPECT_EQ(ReadWholeFile(dir.file("k2.bin")), " 0  0 \r\n");
    EXPECT_EQ(ReadWholeFile(dir.file("k2.txt")), " 0  0 \r\n");
    const std::string blank = std::string(20, ' ') + std::string(80, '\0');
    EXPECT_EQ(ReadWholeFile(dir.file("k3.bin")), blank);
    EXPECT_EQ(ReadWholeFile(dir.file("k3.txt")), blank);
    EXPECT_EQ(ReadWholeFile(dir.file("k4.bin")), Crosses());
    EXPECT_EQ(ReadWholeFile(dir.file("k4.txt")), "");
    EXPECT_EQ(ReadWholeFile(dir.file("k5.bin")), Crosses());
    EXPECT_EQ(ReadWholeFile(dir.file("k5.txt")), Crosses());

    // After the wipe the string operations fail until keys are generated again.
    std::filesystem::remove(dir.file("k6.dat"));
    sdk.WipeKeyFiles();
    std::string text = "x";
    EXPECT_THROW(sdk.EncryptString(text), FileError);
}

TEST(WipeTest, K3BinIsBlankedEvenWhenK3TxtIsEmpty) {
    TempDir dir;
    SDK sdk;
    sdk.AppFolder = dir.path();
    sdk.BuildKeyFiles("123456789");
    const std::string blank = std::string(20, ' ') + std::string(80, '\0');
    ASSERT_NE(ReadWholeFile(dir.file("k3.bin")), blank);
    std::filesystem::create_directory(dir.file("k4.txt"));  // stop right after step 4
    EXPECT_THROW(sdk.WipeKeyFiles(), FileError);
    EXPECT_EQ(ReadWholeFile(dir.file("k3.bin")), blank);
    EXPECT_EQ(ReadWholeFile(dir.file("k3.txt")), "");

    // A longer one is blanked all through.
    Put(dir.file("k3.bin"), std::string(250, 'd'));
    EXPECT_THROW(sdk.WipeKeyFiles(), FileError);
    EXPECT_EQ(ReadWholeFile(dir.file("k3.bin")), blank + blank + blank);
}

}  // namespace
}  // namespace keyvane
