#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/cp1252.h"
#include "platform/files.h"
#include "platform/numbers.h"
#include "support/hostile_names.h"
#include "support/tempdir.h"
#include "transfer/TransferRules.h"

namespace keyvane {
namespace {

TEST(TransferRules, SplitsLengthIntoBlocksAndRest) {
    EXPECT_EQ(SplitLength(0).nb, 0);
    EXPECT_EQ(SplitLength(0).rm, 0);
    EXPECT_EQ(SplitLength(999).nb, 0);
    EXPECT_EQ(SplitLength(999).rm, 999);
    EXPECT_EQ(SplitLength(1000).nb, 1);
    EXPECT_EQ(SplitLength(1000).rm, 0);
    EXPECT_EQ(SplitLength(2500).nb, 2);
    EXPECT_EQ(SplitLength(2500).rm, 500);
    EXPECT_EQ(SplitLength(int64_t{2147483647} * 1000 + 999).nb, 2147483647);
    EXPECT_THROW(SplitLength(int64_t{2147483648} * 1000), OverflowError);
}

TEST(TransferRules, ProgressDividesBeforeMultiplyingAndStopsAt100) {
    EXPECT_EQ(ProgressValue(1, 0), 100);
    // 2500 bytes: after block 1, block 2 and the rest.
    EXPECT_EQ(ProgressValue(1, 2), 50);
    EXPECT_EQ(ProgressValue(2, 2), 100);
    EXPECT_EQ(ProgressValue(3, 2), 100);
    EXPECT_EQ(ProgressValue(1, 3), 33);
    // 29 / 100 is a little under 0.29 in double precision.
    EXPECT_EQ(ProgressValue(29, 100), 28);
}

TEST(TransferRules, NumberedNamesGoBeforeTheLastExtensionAndStillFit) {
    EXPECT_EQ(NumberedName("a.txt", 1), "a.txt");
    EXPECT_EQ(NumberedName("a.txt", 2), "a-2.txt");
    EXPECT_EQ(NumberedName("a.tar.gz", 13), "a.tar-13.gz");
    EXPECT_EQ(NumberedName("README", 2), "README-2");
    EXPECT_EQ(NumberedName(".profile", 3), ".profile-3");
    // The longest name there is: its stem gives way, by whole characters.
    const std::string longest = std::string(251, 'x') + ".txt";
    EXPECT_EQ(NumberedName(longest, 12), std::string(248, 'x') + "-12.txt");
    const std::string wide = std::string(125, '\xE9') + ".txt";  // two bytes each in UTF-8
    EXPECT_EQ(NumberedName(wide, 2), std::string(124, '\xE9') + "-2.txt");
}

TEST(TransferRules, BareNameIsTheLastPathPartInWindows1252) {
    EXPECT_EQ(BareName("/home/u/report 2.txt"), "report 2.txt");
    EXPECT_EQ(BareName("plain.bin"), "plain.bin");
    EXPECT_EQ(BareName("/tmp/caf\xC3\xA9 \xE2\x82\xAC.txt"), "caf\xE9 \x80.txt");
    EXPECT_EQ(BareName("/tmp/\xE4\xB8\xAD.txt"), "?.txt");  // no Windows-1252 byte for it
}

TEST(TransferRules, HostileNamesStayInsideTheFolder) {
    for (const auto& c : test::HostileNames())
        EXPECT_EQ(SanitizeReceivedName(c.sent), c.kept) << c.sent;
}

TEST(TransferRules, LongNamesAreCutToWhatFileSystemsTakeKeepingTheExtension) {
    const std::string longName = std::string(300, '\xE9') + ".txt";  // 2 UTF-8 bytes each
    const std::string name = SanitizeReceivedName(longName);
    EXPECT_LE(Cp1252ToUtf8(name).size(), 255u);
    EXPECT_GE(Cp1252ToUtf8(name).size(), 253u);
    EXPECT_EQ(name.substr(name.size() - 4), ".txt");
    EXPECT_EQ(SanitizeReceivedName(std::string(255, 'a')), std::string(255, 'a'));
    // Characters of different widths: exactly the longest start that fits is kept.
    const std::string mixed = std::string(200, 'a') + std::string(30, '\x80') + ".txt";
    EXPECT_EQ(SanitizeReceivedName(mixed),
              std::string(200, 'a') + std::string(17, '\x80') + ".txt");
}

class ReceivedFile : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::string Read(const std::string& p) { return ReadWholeFile(p); }
    void Write(const std::string& p, const std::string& text) {
        TextWriter w(p);
        w.Write(text);
        w.Close();
    }
};

TEST_F(ReceivedFile, IsCreatedOnlyUnderAFreeNameAndNeverThroughALink) {
    Write(dir.file("a.txt"), "old");
    EXPECT_FALSE(CreateReceivedFile(dir.file("a.txt")));
    EXPECT_EQ(Read(dir.file("a.txt")), "old");
    Write(dir.file("outside"), "keep me");
    ASSERT_EQ(::symlink(dir.file("outside").c_str(), dir.file("sym").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()), 0);
    EXPECT_FALSE(CreateReceivedFile(dir.file("sym")));
    EXPECT_FALSE(CreateReceivedFile(dir.file("dangling")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("nowhere")));
    EXPECT_EQ(Read(dir.file("outside")), "keep me");
    EXPECT_TRUE(CreateReceivedFile(dir.file("b.txt")));
    EXPECT_EQ(Read(dir.file("b.txt")), "");
    ASSERT_EQ(::mkdir(dir.file("taken").c_str(), 0755), 0);
    EXPECT_FALSE(CreateReceivedFile(dir.file("taken")));
    EXPECT_THROW(CreateReceivedFile(dir.file("missing/x")), FileError);
}

}  // namespace
}  // namespace keyvane
