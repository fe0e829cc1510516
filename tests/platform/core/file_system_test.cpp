// The file system behind the file calls: one put in the disk's place gets every call,
// a failing write is reported and not taken for success, and text gathered before it
// is written reaches the file whole and in order.
#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/files.h"
#include "support/memory_files.h"
#include "support/tempdir.h"

namespace keyvane {
namespace {

using test::TempDir;

// The disk, but a full one once `full` is set: every write fails as the system's would.
class FullDisk final : public FileSystem {
  public:
    bool full = false;
    int opened = 0;

    OpenFile Open(const std::string& path, Mode how) override {
        ++opened;
        const OpenFile f = disk_.Open(path, how);
        return {this, f.handle};
    }
    int64_t Length(int h, const std::string& p) override { return disk_.Length(h, p); }
    size_t ReadAt(int h, char* out, size_t n, int64_t at, const std::string& p) override {
        return disk_.ReadAt(h, out, n, at, p);
    }
    void WriteAt(int h, std::string_view d, int64_t at, const std::string& p) override {
        Check(p);
        disk_.WriteAt(h, d, at, p);
    }
    void WriteNext(int h, std::string_view d, const std::string& p) override {
        Check(p);
        disk_.WriteNext(h, d, p);
    }
    void Close(int h, const std::string& p, const char* what) override { disk_.Close(h, p, what); }
    bool Exists(const std::string& p) override { return disk_.Exists(p); }
    int64_t ExistingLength(const std::string& p) override { return disk_.ExistingLength(p); }
    std::string ReadWhole(const std::string& p) override { return disk_.ReadWhole(p); }
    void Delete(const std::string& p) override { disk_.Delete(p); }
    void Truncate(const std::string& p, int64_t n) override { disk_.Truncate(p, n); }
    std::optional<FileStamp> Stamp(const std::string& p) override { return disk_.Stamp(p); }
    uint64_t ModificationTime(const std::string& p) override { return disk_.ModificationTime(p); }
    std::string WhyUnreadable(const std::string& p) override { return disk_.WhyUnreadable(p); }
    bool CreateNew(const std::string& p, std::string_view d, bool own) override {
        if (full) throw FileError("Unable to write (" + Reason() + ")", p, Reason());
        return disk_.CreateNew(p, d, own);
    }
    std::vector<FolderEntry> Entries(const std::string& f) override { return disk_.Entries(f); }

  private:
    static std::string Reason() { return std::strerror(ENOSPC); }
    void Check(const std::string& p) const {
        if (full) throw FileError("cannot write " + p + ": " + Reason(), p, Reason());
    }
    FileSystem& disk_ = DiskFiles();
};

TEST(FileSystemTest, OnePutInPlaceGetsEveryCallUntilItGoes) {
    TempDir dir;
    const std::string path = dir.file("a.txt");
    FullDisk fake;
    std::optional<RecordFile> r;
    {
        UseFileSystem use(fake);
        EXPECT_EQ(&Files(), &fake);
        WriteTextLines(path, {"one"});
        r.emplace(path, 5);
        r->WriteRaw(2, "two");
        EXPECT_EQ(fake.opened, 2);
        {
            // A folder in memory over it: other paths still go to the fake, not the disk.
            MemoryFolder mem(dir.file("mem/"));
            EXPECT_TRUE(WriteNewFile(dir.file("mem/m.txt"), "m"));
            EXPECT_EQ(ProbeLength(path), 8);
            EXPECT_EQ(fake.opened, 3);
        }
        EXPECT_EQ(&Files(), &fake);
    }
    EXPECT_EQ(&Files(), &DiskFiles());
    // A file stays with the file system that opened it.
    fake.full = true;
    EXPECT_THROW(r->WriteRaw(1, "x"), FileError);
    r->Close();
    EXPECT_EQ(ReadWholeFile(path), "one\r\ntwo");
    EXPECT_FALSE(FileExists(dir.file("mem/m.txt")));
}

TEST(FileSystemTest, AFailedWriteIsReportedOnceAndNeverAsSuccess) {
    TempDir dir;
    FullDisk fake;
    UseFileSystem use(fake);
    fake.full = true;
    // A short text file is written at Close: the failure must show there.
    {
        TextWriter w(dir.file("k3.bin"));
        w.WriteLine("1");
        EXPECT_THROW(w.Close(), FileError);
        EXPECT_NO_THROW(w.Close());
        EXPECT_THROW(w.Write("x"), FileError);
    }
    EXPECT_THROW(WriteTextLines(dir.file("k4.bin"), {"1", "2"}), FileError);
    EXPECT_THROW(WriteNewFile(dir.file("k5.bin"), "x"), FileError);
    RecordFile r(dir.file("r.bin"), 4);
    EXPECT_THROW(r.Write(1, "abcd"), FileError);
    // A writer dropped without Close must not throw from its destructor.
    EXPECT_NO_THROW({
        TextWriter w(dir.file("k6.bin"));
        w.Write("lost");
    });
}

TEST(FileSystemTest, TextWrittenInPiecesOfAnySizeArrivesWholeAndInOrder) {
    TempDir dir;
    const std::string path = dir.file("t.txt");
    std::string expected;
    {
        TextWriter w(path);
        // Around and well beyond what is gathered before a write.
        for (size_t n : {1u, 8190u, 3u, 20000u, 8192u, 0u, 7u}) {
            const std::string piece(n, static_cast<char>('a' + n % 26));
            w.WriteLine(piece);
            expected += piece + "\r\n";
        }
        w.Close();
    }
    EXPECT_EQ(ReadWholeFile(path), expected);
    TextWriter(path, TextWriter::Mode::Append).Write("end");  // destructor writes it
    EXPECT_EQ(ReadWholeFile(path), expected + "end");
}

}  // namespace
}  // namespace keyvane
