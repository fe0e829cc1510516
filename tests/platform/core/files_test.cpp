// Random-access record files, text files and the item reader.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "support/tempdir.h"

namespace keyvane {
namespace {

using test::TempDir;

TEST(RecordFileTest, OpeningCreatesEmptyAndNeverTruncates) {
    TempDir dir;
    const std::string path = dir.file("r.bin");
    EXPECT_EQ(ProbeLength(path), 0);
    EXPECT_TRUE(FileExists(path));  // the probe leaves an empty file behind

    {
        TextWriter w(path);
        w.Write("abcdefghij");
        w.Close();
    }
    RecordFile f(path, 4);
    EXPECT_EQ(f.Length(), 10);
    EXPECT_EQ(f.Read(1), "abcd");
    EXPECT_EQ(f.Read(3), "ij");  // cut short at the end
    EXPECT_EQ(f.Read(4), "");
    f.Write(2, "XY");  // padded with blanks to the record length
    f.Close();
    EXPECT_EQ(ReadWholeFile(path), "abcdXY  ij");
}

TEST(RecordFileTest, WritingBeyondTheEndExtendsTheFile) {
    TempDir dir;
    RecordFile f(dir.file("r.bin"), 3);
    f.Write(3, "toolong");  // cut to the record length
    EXPECT_EQ(f.Length(), 9);
    EXPECT_EQ(f.Read(3), "too");
    EXPECT_EQ(f.Read(1), std::string(3, '\0'));
    f.WriteRaw(4, "zz");
    EXPECT_EQ(f.Length(), 11);
    EXPECT_THROW(f.Read(0), FileError);
}

TEST(RecordFileTest, FolderInPlaceOfAFileIsAnError) {
    TempDir dir;
    EXPECT_THROW(RecordFile(dir.path(), 10), FileError);
    EXPECT_THROW(ProbeLength(dir.file("missing/x.bin")), FileError);
}

TEST(TextFileTest, LinesEndWithCrLfAndAppendKeepsContent) {
    TempDir dir;
    const std::string path = dir.file("t.txt");
    WriteTextLines(path, {"one", "two"});
    {
        TextWriter w(path, TextWriter::Mode::Append);
        w.WriteLine("three");
        w.Close();
    }
    EXPECT_EQ(ReadWholeFile(path), "one\r\ntwo\r\nthree\r\n");
    EXPECT_EQ(ReadFirstLine(path), "one");
    WriteTextLines(path, {"new"});
    EXPECT_EQ(ReadWholeFile(path), "new\r\n");

    CopyFileReplacing(path, dir.file("copy.txt"));
    EXPECT_EQ(ReadWholeFile(dir.file("copy.txt")), "new\r\n");
    EXPECT_THROW(CopyFileReplacing(dir.file("none"), dir.file("copy.txt")), FileError);
    DeleteFileOrThrow(dir.file("copy.txt"));
    EXPECT_FALSE(FileExists(dir.file("copy.txt")));
    EXPECT_THROW(DeleteFileOrThrow(dir.file("copy.txt")), FileError);
}

// A replaced file is written over in place: nothing of the old one may stay behind.
TEST(TextFileTest, ReplacingLeavesOnlyTheNewText) {
    TempDir dir;
    const std::string path = dir.file("t.txt");
    const std::string longText(20000, 'x');  // past the writer's buffer
    WriteTextLines(path, {longText});
    WriteTextLines(path, {"short"});
    EXPECT_EQ(ReadWholeFile(path), "short\r\n");
    WriteTextLines(path, {longText, "y"});
    EXPECT_EQ(ReadWholeFile(path), longText + "\r\ny\r\n");
    {
        TextWriter w(path);
        w.Write("ab");
    }  // closed by the writer's end
    EXPECT_EQ(ReadWholeFile(path), "ab");
    WriteTextLines(path, {});
    EXPECT_EQ(ReadWholeFile(path), "");
}

TEST(ItemReaderTest, ItemsEndAtCommasAndLineEnds) {
    ItemReader in("  first, second item ,\"quoted, with comma\" tail\r\nlast\n\r\n7");
    EXPECT_EQ(in.NextItem(), "first");
    EXPECT_EQ(in.NextItem(), "second item ");
    EXPECT_EQ(in.NextItem(), "quoted, with comma");
    EXPECT_EQ(in.NextItem(), "last");
    EXPECT_EQ(in.NextItem(), "");  // an empty line is an empty item
    EXPECT_EQ(in.NextItem(), "7");
    EXPECT_TRUE(in.AtEnd());
    EXPECT_THROW(in.NextItem(), EndOfFileError);
}

TEST(ItemReaderTest, NumberItemsAlsoEndAtBlanks) {
    ItemReader in(" 20  2 \r\n 5,6\r\n");
    EXPECT_EQ(in.NextNumberItem(), "20");
    EXPECT_EQ(in.NextNumberItem(), "2");
    EXPECT_EQ(in.NextNumberItem(), "5");
    EXPECT_EQ(in.NextNumberItem(), "6");
    EXPECT_THROW(in.NextNumberItem(), EndOfFileError);
}

TEST(ItemReaderTest, TrailingBlanksAreNotAnItem) {
    ItemReader text("1,   ");
    EXPECT_EQ(text.NextItem(), "1");
    EXPECT_THROW(text.NextItem(), EndOfFileError);
    ItemReader number("1   ");
    EXPECT_EQ(number.NextNumberItem(), "1");
    EXPECT_THROW(number.NextNumberItem(), EndOfFileError);
}

TEST(ItemReaderTest, MissingFileIsAnError) {
    TempDir dir;
    EXPECT_THROW(ItemReader::FromFile(dir.file("none.txt")), FileError);
}

TEST(FileErrorTest, CarriesThePathAndTheReasonBesideTheMessage) {
    TempDir dir;
    const std::string missing = dir.file("none.bin");
    const std::string noSuchFile = std::strerror(ENOENT);
    try {
        RecordFile::OpenForReading(missing, 1);
        ADD_FAILURE() << "opened a missing file";
    } catch (const FileError& e) {
        EXPECT_EQ(std::string(e.what()), "cannot open " + missing + ": " + noSuchFile);
        EXPECT_EQ(e.Path(), missing);
        EXPECT_EQ(e.Reason(), noSuchFile);
    }
    const FileError own("the file became shorter while it was being sent");
    EXPECT_EQ(own.Reason(), own.what());
    EXPECT_EQ(own.Path(), "");
}

TEST(NewFileTest, IsWrittenOnlyUnderAFreeNameAndNeverThroughALink) {
    TempDir dir;
    EXPECT_TRUE(WriteNewFile(dir.file("k.txt"), "42\r\n"));
    EXPECT_FALSE(WriteNewFile(dir.file("k.txt"), "43"));
    EXPECT_EQ(ReadWholeFile(dir.file("k.txt")), "42\r\n");
    std::filesystem::create_symlink(dir.file("target"), dir.file("link.txt"));
    EXPECT_FALSE(WriteNewFile(dir.file("link.txt"), "x"));
    EXPECT_FALSE(FileExists(dir.file("target")));
    try {
        WriteNewFile(dir.file("missing/k.txt"), "x");
        ADD_FAILURE() << "wrote into a missing folder";
    } catch (const FileError& e) {
        // Key files are named to the user without their folder.
        EXPECT_EQ(std::string(e.what()),
                  "Unable to create k.txt (" + std::string(std::strerror(ENOENT)) + ")");
        EXPECT_EQ(e.Path(), dir.file("missing/k.txt"));
    }
}

}  // namespace
}  // namespace keyvane
