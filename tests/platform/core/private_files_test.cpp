// Who may read what the program leaves on disk: its own files and its data folder are
// the user's alone, whatever the umask; a received file follows the umask.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/folders.h"
#include "support/tempdir.h"

namespace keyvane {
namespace {

namespace fs = std::filesystem;

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// The usual umask while a test runs.
struct Umask022 {
    Umask022() : old(::umask(022)) {}
    ~Umask022() { ::umask(old); }
    mode_t old;
};

TEST(OwnFiles, AreCreatedForTheOwnerOnly) {
    Umask022 mask;
    test::TempDir dir;
    RecordFile(dir.file("k1.bin"), 256).Write(1, "rotor");
    TextWriter text(dir.file("k2.bin"));
    text.WriteLine("20 7");
    text.Close();
    TextWriter append(dir.file("k6.dat"), TextWriter::Mode::Append);
    append.WriteLine("xxxxx");
    append.Close();
    ASSERT_TRUE(WriteNewFile(dir.file("Key120000.txt"), "42\r\n"));
    for (const char* name : {"k1.bin", "k2.bin", "k6.dat", "Key120000.txt"})
        EXPECT_EQ(ModeOf(dir.file(name)), 0600u) << name;
    // Appending and replacing keep what they write as before.
    TextWriter more(dir.file("k6.dat"), TextWriter::Mode::Append);
    more.WriteLine("yyyyy");
    more.Close();
    EXPECT_EQ(ReadWholeFile(dir.file("k6.dat")), "xxxxx\r\nyyyyy\r\n");
    TextWriter again(dir.file("k2.bin"));
    again.WriteLine("0");
    again.Close();
    EXPECT_EQ(ReadWholeFile(dir.file("k2.bin")), "0\r\n");

    CreateEmptyReplacing(dir.file("received.bin"));
    EXPECT_EQ(ModeOf(dir.file("received.bin")), 0644u);
    // A folder in the way is reported, not written into.
    fs::create_directory(dir.file("taken"));
    EXPECT_THROW(TextWriter(dir.file("taken")), FileError);
}

TEST(PrivateFolder, IsCreatedAndKeptForTheOwnerOnly) {
    Umask022 mask;
    test::TempDir dir;
    const std::string fresh = dir.file("a/b/keyvane/");
    CreatePrivateFolder(fresh);
    EXPECT_EQ(ModeOf(dir.file("a")), 0700u);
    EXPECT_EQ(ModeOf(dir.file("a/b/keyvane")), 0700u);

    // One an earlier copy made with the umask is closed to others; what it holds stays.
    const std::string old = dir.file("old");
    fs::create_directory(old);
    ::chmod(old.c_str(), 0755);
    WriteTextLines(old + "/port.dat", {"7777"});
    CreatePrivateFolder(old);
    EXPECT_EQ(ModeOf(old), 0700u);
    EXPECT_EQ(ReadWholeFile(old + "/port.dat"), "7777\r\n");

    WriteTextLines(dir.file("file"), {"x"});
    EXPECT_THROW(CreatePrivateFolder(dir.file("file")), FileError);
}

}  // namespace
}  // namespace keyvane
