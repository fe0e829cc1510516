// The string operations around the machine: loading the tables, the key files they
// read and restore, and what happens when a key file is missing or corrupt.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "cipher/key_state.h"
#include "cipher/sdk.h"
#include "support/memory_files.h"
#include "support/tempdir.h"

namespace keyvane {
namespace {

using test::KeyState;
using test::TempDir;

void Put(const std::string& path, const std::string& content) {
    TextWriter w(path);
    w.Write(content);
    w.Close();
}

TEST(LoadCipherTablesTest, MissingSettingsGiveDefaultsAndEmptyFiles) {
    TempDir dir;
    SDK sdk;
    sdk.AppFolder = dir.path();
    EXPECT_TRUE(sdk.AtFill151.empty());
    sdk.LoadCipherTables();
    sdk.LoadCipherTables();  // twice is the same as once
    EXPECT_EQ(ReadWholeFile(dir.file("k3.bin")), "");
    EXPECT_EQ(ReadWholeFile(dir.file("k4.bin")), "");
    const std::array<int16_t, 21> up = {0, 0, 1, 1, 0, 1, 0, 0, 1, 1, 1,
                                        0, 0, 1, 1, 0, 0, 1, 0, 1, 0};
    EXPECT_EQ(sdk.RotorUp, up);
    for (int k = 1; k <= 20; ++k) EXPECT_EQ(sdk.StepSize[k], 1);
    EXPECT_EQ(sdk.AtFill151, std::string(151, '@'));
    EXPECT_EQ(sdk.AtFill256, std::string(256, '@'));
    EXPECT_EQ(sdk.ReorderIndex, 1);
    EXPECT_EQ(sdk.ReorderThreshold, 0);  // no key generation yet
}

TEST(LoadCipherTablesTest, OnlyCapitalDTurnsDownAndStepItemsAreLenient) {
    TempDir dir;
    SDK sdk;
    sdk.AppFolder = dir.path();
    Put(dir.file("k3.bin"), "DdD UUUUUUUUUUUUUUU" + std::string("x"));  // 20 letters, short record
    Put(dir.file("k4.bin"),
        "0\r\n-3\r\nabc\r\n2.5\r\n3.5\r\n 1 2 "
        "\r\n7,8\r\n\"9\"\r\n300\r\n1,1,1,1,1,1,1,1,1,1,1\r\n");
    sdk.LoadCipherTables();
    EXPECT_EQ(sdk.RotorUp[1], 0);
    EXPECT_EQ(sdk.RotorUp[2], 1);  // lower-case d
    EXPECT_EQ(sdk.RotorUp[3], 0);
    EXPECT_EQ(sdk.RotorUp[4], 1);  // blank
    const std::vector<int16_t> steps(sdk.StepSize.begin() + 1, sdk.StepSize.begin() + 10);
    EXPECT_EQ(steps, (std::vector<int16_t>{1, 1, 1, 2, 4, 12, 7, 8, 9}));
    EXPECT_EQ(sdk.StepSize[10], 300);  // loaded as it is; the string operations refuse it
}

TEST(LoadCipherTablesTest, ShortOrOverflowingStepFileFails) {
    TempDir dir;
    SDK sdk;
    sdk.AppFolder = dir.path();
    Put(dir.file("k4.bin"), " 2 \r\n 3 \r\n");
    EXPECT_THROW(sdk.LoadCipherTables(), EndOfFileError);
    Put(dir.file("k4.bin"), "40000\r\n");
    EXPECT_THROW(sdk.LoadCipherTables(), OverflowError);
}

class StringOpsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::mt19937 rng(11);
        keys = KeyState::Random(rng);
        keys.Install(dir.path(), sdk);
    }
    std::string Bcr() const { return ReadWholeFile(dir.file("k1.bcr")); }
    std::string Brs() const { return ReadWholeFile(dir.file("k1.brs")); }
    std::string Encrypt(std::string text) {
        sdk.EncryptString(text);
        return text;
    }
    // What a new instance makes of `plain` with the files as they are now, in a folder
    // of its own.
    std::string Expected(const std::string& plain) const {
        TempDir copy;
        for (const char* name : {"k1.bcr", "k1.brs", "k2.bin", "k3.bin", "k4.bin"})
            Put(copy.file(name), ReadWholeFile(dir.file(name)));
        SDK other;
        other.AppFolder = copy.path();
        other.ReorderTable = sdk.ReorderTable;
        std::string t = plain;
        other.EncryptString(t);
        return t;
    }
    static std::string RotateRecords(const std::string& s) {
        return s.substr(256) + s.substr(0, 256);
    }

    TempDir dir;
    SDK sdk;
    KeyState keys;
};

TEST_F(StringOpsTest, EmptyTextStaysEmptyButTheRotorFileIsRestored) {
    Put(dir.file("k1.bcr"), Brs().substr(256) + Brs().substr(0, 256));  // still valid rotors
    std::string text;
    sdk.EncryptString(text);
    EXPECT_EQ(text, "");
    EXPECT_EQ(Bcr(), Brs());
}

TEST_F(StringOpsTest, ChangedWorkingRotorFileCountsOnceThenIsRestored) {
    std::string normal = "same text";
    sdk.EncryptString(normal);
    Put(dir.file("k1.bcr"), Brs().substr(256) + Brs().substr(0, 256));
    std::string changed = "same text";
    sdk.EncryptString(changed);
    EXPECT_NE(changed, normal);
    EXPECT_EQ(Bcr(), Brs());
    std::string again = "same text";
    sdk.EncryptString(again);
    EXPECT_EQ(again, normal);
}

// Unchanged key files are not read again, but a file rewritten with the same size
// must be seen by the next call, also when both the first read and the rewrite are
// old enough for the file's stamp to be trusted.
TEST_F(StringOpsTest, KeyFilesRewrittenWithTheSameSizeAreSeenByTheNextCall) {
    // A stamp is trusted once the clock is well past it. Waiting makes the calls below
    // run on kept copies; on a file system that keeps whole seconds every call reads
    // the files instead, and every expectation holds as well.
    auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); };
    std::mt19937 rng(4);
    const std::string plain = test::RandomText(rng, 64);
    auto encrypt = [&] { return Encrypt(plain); };
    auto expected = [&] { return Expected(plain); };
    auto rotateRecords = RotateRecords;

    settle();
    const std::string normal = encrypt();
    ASSERT_EQ(encrypt(), normal);

    std::string k3 = ReadWholeFile(dir.file("k3.bin"));
    k3[0] = k3[0] == 'D' ? 'U' : 'D';
    const std::string k4 = ReadWholeFile(dir.file("k4.bin"));
    const size_t line = k4.find("\r\n") + 2;
    const std::string saved = Brs();
    const std::string k2 = ReadWholeFile(dir.file("k2.bin"));
    Put(dir.file("k2.bin"), PrintNumber(20) + PrintNumber(keys.passCount % 3 + 1) + "\r\n");
    Put(dir.file("k3.bin"), k3);
    Put(dir.file("k4.bin"), k4.substr(line) + k4.substr(0, line));
    Put(dir.file("k1.brs"), rotateRecords(saved));
    ASSERT_EQ(ReadWholeFile(dir.file("k2.bin")).size(), k2.size());
    settle();
    // This call runs on the new settings and the old working rotors, then restores
    // the working rotors from the new saved copy.
    const std::string changed = expected();
    EXPECT_NE(changed, normal);
    EXPECT_EQ(encrypt(), changed);
    EXPECT_TRUE(Bcr() == rotateRecords(saved));
    EXPECT_EQ(encrypt(), expected());

    // The working rotors alone, rewritten long after they were read.
    settle();
    const std::string before = encrypt();
    Put(dir.file("k1.bcr"), rotateRecords(Bcr()));
    settle();
    const std::string once = expected();
    EXPECT_NE(once, before);
    EXPECT_EQ(encrypt(), once);
    EXPECT_TRUE(Bcr() == Brs());
    EXPECT_EQ(encrypt(), before);

    // Rewritten right after a call that trusted every kept copy: the next call, moments
    // later, must still see it.
    settle();
    encrypt();
    ASSERT_EQ(encrypt(), before);
    Put(dir.file("k1.bcr"), rotateRecords(Bcr()));
    EXPECT_EQ(encrypt(), once);
}

// Files written moments ago are kept once read while the folder is watched; a rewrite
// with the same size right after must still be seen, and so must one that only a key
// build's look at the folder noticed.
TEST_F(StringOpsTest, FreshKeyFilesRewrittenAtOnceAreSeen) {
    const std::string plain = "a text for files that were just written";
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(Encrypt(plain), Encrypt(plain));
        Put(dir.file("k1.bcr"), RotateRecords(Bcr()));
        const std::string once = Expected(plain);
        EXPECT_EQ(Encrypt(plain), once) << round;
        Put(dir.file("k1.brs"), RotateRecords(Brs()));
        EXPECT_EQ(Encrypt(plain), Expected(plain)) << round;
    }
    const std::string k2 = ReadWholeFile(dir.file("k2.bin"));
    Encrypt(plain);
    Put(dir.file("k2.bin"), PrintNumber(20) + PrintNumber(keys.passCount % 3 + 1) + "\r\n");
    ASSERT_EQ(ReadWholeFile(dir.file("k2.bin")).size(), k2.size());
    sdk.BuildKeyNumbers("123456789");
    EXPECT_EQ(Encrypt(plain), Expected(plain));
}

// Key files kept in memory give the same bytes and ciphertexts as on disk, and a
// rewrite is seen at once, without the wait a file system's clock needs.
TEST(MemoryKeyFilesTest, SameBytesAsOnDiskAndRewritesSeenAtOnce) {
    TempDir disk;
    SDK onDisk, inMemory;
    onDisk.AppFolder = disk.path();
    inMemory.AppFolder = disk.file("mem/");
    MemoryFolder mem(inMemory.AppFolder);
    onDisk.BuildKeyFiles("192168111921681222");
    inMemory.BuildKeyFiles("192168111921681222");
    for (const auto& [name, bytes] : mem.Snapshot())
        EXPECT_EQ(bytes, ReadWholeFile(disk.file(name))) << name;
    EXPECT_FALSE(std::filesystem::exists(inMemory.AppFolder));

    auto encrypt = [](SDK& sdk, std::string t) {
        sdk.EncryptString(t);
        return t;
    };
    const std::string plain = "the same text in both";
    const std::string brs = ReadWholeFile(inMemory.File("k1.brs"));
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(encrypt(inMemory, plain), encrypt(onDisk, plain)) << round;
        // The working rotors count once, then are restored from k1.brs.
        Put(inMemory.File("k1.bcr"), brs.substr(256) + brs.substr(0, 256));
        EXPECT_NE(encrypt(inMemory, plain), encrypt(onDisk, plain)) << round;
    }
    EXPECT_EQ(ReadWholeFile(inMemory.File("k1.bcr")), brs);
}

// One instance pointed at another folder works with that folder's key files, and
// with the first folder's again when pointed back.
// A copy of the module (the fuzzer keeps one to start every input from) has a folder
// watch of its own: ending the copy must not blind the original to a change.
TEST_F(StringOpsTest, ACopyWatchesTheFolderOnItsOwn) {
    // Old enough stamps let the calls below run on kept copies of the files.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::string first = "same text";
    sdk.EncryptString(first);
    {
        SDK copy = sdk;
        std::string t = "same text";
        copy.EncryptString(t);
        EXPECT_EQ(t, first);
        SDK assigned;
        assigned = sdk;
        t = "same text";
        assigned.EncryptString(t);
        EXPECT_EQ(t, first);
    }
    Put(dir.file("k1.brs"), Brs().substr(256) + Brs().substr(0, 256));
    Put(dir.file("k1.bcr"), Brs());
    std::string changed = "same text";
    sdk.EncryptString(changed);
    EXPECT_NE(changed, first);
}

TEST_F(StringOpsTest, AnotherFolderBringsItsOwnKeys) {
    TempDir other;
    std::mt19937 rng(8);
    const KeyState otherKeys = KeyState::Random(rng);
    SDK fresh;
    otherKeys.Install(other.path(), fresh);
    const auto table = sdk.ReorderTable;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // stamps old enough to keep
    auto encrypt = [](SDK& s) {
        std::string t = "a text for two folders";
        s.EncryptString(t);
        return t;
    };
    const std::string here = encrypt(sdk);
    const std::string there = encrypt(fresh);
    ASSERT_NE(here, there);
    sdk.AppFolder = other.path();
    sdk.ReorderTable = fresh.ReorderTable;
    EXPECT_EQ(encrypt(sdk), there);
    sdk.AppFolder = dir.path();
    sdk.ReorderTable = table;
    EXPECT_EQ(encrypt(sdk), here);
}

TEST_F(StringOpsTest, ControlCharactersAreOrdinaryCharacters) {
    const std::string plain("\0\r\nFB:RM:\0", 10);
    std::string text = plain;
    sdk.EncryptString(text);
    EXPECT_EQ(text.size(), plain.size());
    sdk.DecryptString(text);
    EXPECT_EQ(text, plain);
}

// Each corruption must be reported, leave the text alone and never hang or crash.
TEST_F(StringOpsTest, CorruptKeyFilesFailAndLeaveTheTextUnchanged) {
    const std::string good = ReadWholeFile(dir.file("k1.brs"));
    std::string notPermutation = good;
    notPermutation[5 * 256 + 17] = notPermutation[5 * 256 + 18];
    const std::string k2 = ReadWholeFile(dir.file("k2.bin"));
    const std::string k4 = ReadWholeFile(dir.file("k4.bin"));

    struct Case {
        const char* what;
        std::function<void()> spoil;
        std::function<void(std::string&)> run;  // expects the right exception
    };
    auto expect = [&](auto exceptionTag) {
        using E = decltype(exceptionTag);
        return [this](std::string& t) {
            EXPECT_THROW(sdk.EncryptString(t), E);
            EXPECT_THROW(sdk.DecryptString(t), E);
            EXPECT_THROW(sdk.EncryptBlock(t.data(), t.size()), E);
        };
    };
    const std::vector<Case> cases = {
        {"missing k2.bin", [&] { DeleteFileOrThrow(dir.file("k2.bin")); }, expect(FileError(""))},
        {"empty k2.bin", [&] { Put(dir.file("k2.bin"), ""); }, expect(EndOfFileError(""))},
        {"rotor count overflow", [&] { Put(dir.file("k2.bin"), " 40000  2 \r\n"); },
         expect(OverflowError(""))},
        {"pass count 0", [&] { Put(dir.file("k2.bin"), " 20  0 \r\n"); }, expect(CipherError(""))},
        {"pass count 40000", [&] { Put(dir.file("k2.bin"), " 20  40000 \r\n"); },
         expect(CipherError(""))},
        {"short k1.bcr", [&] { Put(dir.file("k1.bcr"), good.substr(0, 19 * 256 + 100)); },
         expect(CipherError(""))},
        {"missing k1.bcr", [&] { DeleteFileOrThrow(dir.file("k1.bcr")); }, expect(CipherError(""))},
        {"rotor not a permutation", [&] { Put(dir.file("k1.bcr"), notPermutation); },
         expect(CipherError(""))},
        {"step size 300", [&] { Put(dir.file("k4.bin"), " 300 \r\n" + k4); },
         expect(CipherError(""))},
        {"short k4.bin", [&] { Put(dir.file("k4.bin"), " 2 \r\n 3 \r\n"); },
         expect(EndOfFileError(""))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.spoil();
        std::string text = "secret text";
        c.run(text);
        EXPECT_EQ(text, "secret text");
        // Repair for the next case.
        Put(dir.file("k1.bcr"), good);
        Put(dir.file("k2.bin"), k2);
        Put(dir.file("k4.bin"), k4);
    }
    std::string text = "secret text";
    EXPECT_NO_THROW(sdk.EncryptString(text));
}

TEST_F(StringOpsTest, MissingSavedRotorFileFailsAfterTheTextIsDone) {
    DeleteFileOrThrow(dir.file("k1.brs"));
    std::string text = "abc";
    EXPECT_THROW(sdk.EncryptString(text), FileError);
    EXPECT_NE(text, "abc");
    EXPECT_EQ(text.size(), 3u);
}

TEST_F(StringOpsTest, ErrorMessagesAreOneLineAndNameTheFile) {
    Put(dir.file("k2.bin"), " 20  0 \r\n");
    std::string text = "x";
    try {
        sdk.EncryptString(text);
        FAIL() << "no error";
    } catch (const CipherError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("k2.bin"), std::string::npos) << what;
        EXPECT_EQ(what.find('\n'), std::string::npos) << what;
    }
}

}  // namespace
}  // namespace keyvane
