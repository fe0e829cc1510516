// Folders kept in memory: every file call on a path directly in one works on its files
// with the same rules as on disk, and nothing reaches the disk.
#include "support/memory_files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/folders.h"
#include "support/tempdir.h"

namespace keyvane {
namespace {

using test::TempDir;

TEST(MemoryFolderTest, FileCallsWorkInMemoryAsOnDiskAndOnlyThere) {
    TempDir disk;
    const std::string folder = disk.file("mem/");
    std::filesystem::create_directory(folder);
    {
        MemoryFolder mem(folder);
        const std::string path = folder + "r.bin";
        EXPECT_EQ(ProbeLength(path), 0);  // a probe leaves an empty file, as on disk
        EXPECT_TRUE(FileExists(path));
        RecordFile f(path, 4);
        f.Write(3, "XY");  // beyond the end: the gap reads as zero bytes
        f.WriteRaw(1, "ab");
        EXPECT_EQ(f.Length(), 12);
        EXPECT_EQ(f.Read(3), "XY  ");
        EXPECT_EQ(f.Read(4), "");
        f.Close();
        EXPECT_EQ(ReadWholeFile(path), std::string("ab\0\0\0\0\0\0XY  ", 12));

        WriteTextLines(folder + "t.txt", {"one"});
        TextWriter(folder + "t.txt", TextWriter::Mode::Append).WriteLine("two");
        EXPECT_EQ(ReadFirstLine(folder + "t.txt"), "one");
        EXPECT_EQ(ReadWholeFile(folder + "t.txt"), "one\r\ntwo\r\n");
        EXPECT_FALSE(WriteNewFile(folder + "t.txt", "x"));
        EXPECT_TRUE(WriteNewFile(folder + "n.txt", "x"));
        EXPECT_EQ(ExistingFileLength(folder + "n.txt"), 1);
        DeleteFileOrThrow(folder + "n.txt");
        EXPECT_THROW(DeleteFileOrThrow(folder + "n.txt"), FileError);
        EXPECT_THROW(ReadWholeFile(folder + "n.txt"), FileError);
        EXPECT_THROW(RecordFile::OpenForReading(folder + "n.txt", 1), FileError);
        EXPECT_NE(WhyUnreadable(folder + "n.txt"), "");
        EXPECT_EQ(FolderEntries(folder).size(), 2u);

        // A subfolder and the folder's neighbours are on disk.
        std::filesystem::create_directory(folder + "sub");
        WriteTextLines(folder + "sub/d.txt", {"disk"});
        WriteTextLines(disk.file("d.txt"), {"disk"});
        EXPECT_TRUE(std::filesystem::exists(folder + "sub/d.txt"));
        EXPECT_TRUE(std::filesystem::exists(disk.file("d.txt")));
        EXPECT_FALSE(std::filesystem::exists(path));
        EXPECT_EQ(mem.Snapshot().size(), 2u);
    }
    EXPECT_FALSE(FileExists(folder + "t.txt"));  // unmounted: the disk again
}

TEST(MemoryFolderTest, EveryChangeGivesANewStampAndRestoreKeepsSameBytes) {
    MemoryFolder mem("/nowhere/mem/");
    const std::string path = "/nowhere/mem/k.bin";
    EXPECT_FALSE(StampOfPlainFile(path));
    WriteTextLines(path, {"abc"});
    const FileStamp first = *StampOfPlainFile(path);
    EXPECT_TRUE(first.exact);
    WriteTextLines(path, {"abd"});  // same size, at once
    const FileStamp second = *StampOfPlainFile(path);
    EXPECT_NE(second, first);
    DeleteFileOrThrow(path);
    WriteTextLines(path, {"abd"});
    EXPECT_NE(*StampOfPlainFile(path), second);  // made anew: another file

    const MemoryFolder::Contents before = mem.Snapshot();
    const FileStamp kept = *StampOfPlainFile(path);
    WriteTextLines("/nowhere/mem/other.txt", {"x"});
    const uint64_t changes = mem.Changes();
    mem.Restore(before);
    EXPECT_GT(mem.Changes(), changes);
    EXPECT_EQ(mem.Snapshot(), before);
    EXPECT_EQ(*StampOfPlainFile(path), kept);
}

}  // namespace
}  // namespace keyvane
