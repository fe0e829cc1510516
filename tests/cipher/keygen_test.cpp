// Key-file generation: the number sequence, the rotor files, the settings files and
// the reorder schedule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "cipher/sdk.h"
#include "keys/seed.h"
#include "support/tempdir.h"

namespace keyvane {
namespace {

using test::TempDir;

const char* const kFiles[] = {"k1.bin", "k1.brs", "k1.bcr", "k2.bin",
                              "k3.bin", "k4.bin", "k5.bin", "k6.dat"};

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

int32_t CountFor(const std::string& seed) {
    TempDir dir;
    SDK sdk;
    sdk.AppFolder = dir.path();
    sdk.BuildKeyNumbers(seed);
    return sdk.KeyNumberCount;
}

TEST(KeyNumbersTest, SequenceLengthFollowsTheDoubledSeed) {
    EXPECT_EQ(CountFor("12345678"), 21945);              // doubled twice, to 32
    EXPECT_EQ(CountFor("123456789"), 12320);             // doubled once, to 18
    EXPECT_EQ(CountFor(Repeat("123456789", 2)), 12320);  // 18 stays
    EXPECT_EQ(CountFor(Repeat("123456", 8)), 32855);     // 48, the longest address seed
    EXPECT_EQ(CountFor(Repeat("1", 73)), 50000);         // exactly fills the sequence
    EXPECT_EQ(CountFor("7"), 21945);                     // doubled to 32
}

TEST(KeyNumbersTest, RepeatedDigitsAreSpreadByTheCleanUp) {
    TempDir dir;
    SDK sdk;
    sdk.AppFolder = dir.path();
    sdk.BuildKeyNumbers(std::string(16, '1'));
    EXPECT_EQ(sdk.KeyNumberCount, 21945);
    const std::vector<int16_t> start(sdk.KeyNumbers.begin() + 1, sdk.KeyNumbers.begin() + 6);
    EXPECT_EQ(start, (std::vector<int16_t>{11, 13, 11, 13, 11}));
    const auto first = sdk.KeyNumbers.begin() + 1;
    const auto last = first + sdk.KeyNumberCount;
    EXPECT_GE(*std::min_element(first, last), 11);
    EXPECT_LE(*std::max_element(first, last), 151);
    // Nothing written beyond the sequence.
    EXPECT_TRUE(std::all_of(last, sdk.KeyNumbers.end(), [](int16_t v) { return v == 0; }));
}

TEST(KeyNumbersTest, UnusableSeedsFailBeforeAnyFileIsWritten) {
    TempDir dir;
    SDK sdk;
    sdk.AppFolder = dir.path();
    EXPECT_THROW(sdk.BuildKeyFiles(""), CipherError);
    EXPECT_THROW(sdk.BuildKeyFiles(std::string(74, '5')), CipherError);
    for (const char* name : {"k1.bin", "k3.bin", "k4.bin"})
        EXPECT_FALSE(FileExists(dir.file(name)));
}

// Seeds from the command line may hold anything; the result must still be a usable key.
TEST(KeyNumbersTest, SeedsWithOtherCharactersStillGiveValidRotors) {
    for (const std::string seed : {"0000000000", "host.example", "\xff\x01 ,\""}) {
        TempDir dir;
        SDK sdk;
        sdk.AppFolder = dir.path();
        ASSERT_NO_THROW(sdk.BuildKeyFiles(seed)) << seed;
        const std::string k1 = ReadWholeFile(dir.file("k1.bin"));
        ASSERT_EQ(k1.size(), 5120u);
        for (int r = 0; r < 20; ++r) {
            std::string rec = k1.substr(r * 256, 256);
            std::sort(rec.begin(), rec.end(), [](char a, char b) {
                return static_cast<unsigned char>(a) < static_cast<unsigned char>(b);
            });
            for (int c = 0; c < 256; ++c) ASSERT_EQ(static_cast<unsigned char>(rec[c]), c);
        }
        std::string text = "round trip";
        sdk.EncryptString(text);
        sdk.DecryptString(text);
        EXPECT_EQ(text, "round trip");
    }
    TempDir dir;
    SDK sdk;
    sdk.AppFolder = dir.path();
    sdk.BuildKeyNumbers("0000000000");
    EXPECT_EQ(sdk.KeyNumbers[1], 0);  // entry 1 escapes the clean-up; exchanges wrap it
    EXPECT_EQ(sdk.KeyNumbers[2], 2);  // equal to its predecessor: raised by 2
}

TEST(KeyFilesTest, EqualSeedsGiveIdenticalFilesThatReadEachOther) {
    const std::string seed = ConnectionSeed(CombinedAddressText(true, "192.0.2.10", "192.0.2.20"));
    TempDir a, b;
    SDK host, client;
    host.AppFolder = a.path();
    client.AppFolder = b.path();
    host.BuildKeyFiles(seed);
    client.BuildKeyFiles(seed);
    for (const char* name : kFiles)
        EXPECT_EQ(ReadWholeFile(a.file(name)), ReadWholeFile(b.file(name))) << name;
    EXPECT_EQ(host.ReorderTable, client.ReorderTable);
    EXPECT_EQ(host.KeyNumbers, client.KeyNumbers);

    const std::string k1 = ReadWholeFile(a.file("k1.bin"));
    EXPECT_EQ(k1.size(), 5120u);
    EXPECT_EQ(ReadWholeFile(a.file("k1.brs")), k1);
    EXPECT_EQ(ReadWholeFile(a.file("k1.bcr")), k1);

    std::string line = "hello, peer\r\n";
    host.EncryptString(line);
    EXPECT_NE(line, "hello, peer\r\n");
    client.DecryptString(line);
    EXPECT_EQ(line, "hello, peer\r\n");

    // Another seed gives other rotors.
    TempDir c;
    SDK other;
    other.AppFolder = c.path();
    other.BuildKeyFiles(ConnectionSeed(CombinedAddressText(true, "192.0.2.10", "192.0.2.21")));
    EXPECT_NE(ReadWholeFile(c.file("k1.bin")), k1);
}

// The numbers of the last seed are kept; building it again must still give exactly
// the files and numbers of a first build, whatever happened in between.
TEST(KeyFilesTest, BuildingASeedAgainGivesTheFilesOfAFirstBuild) {
    const std::string seed = ConnectionSeed(CombinedAddressText(true, "192.0.2.10", "192.0.2.20"));
    TempDir fresh, dir;
    SDK first, again;
    first.AppFolder = fresh.path();
    first.BuildKeyFiles(seed);
    again.AppFolder = dir.path();
    for (const std::string& s : {seed, std::string("7"), seed, seed}) {
        // Files gone or changed, and numbers overwritten, since the last build.
        if (FileExists(dir.file("k5.bin"))) DeleteFileOrThrow(dir.file("k5.bin"));
        TextWriter w(dir.file("k1.bin"));
        w.Write(std::string(5120, 'x'));
        w.Close();
        again.KeyNumbers[5] = 1234;
        again.BuildKeyFiles(s);
    }
    for (const char* name : kFiles)
        EXPECT_EQ(ReadWholeFile(dir.file(name)), ReadWholeFile(fresh.file(name))) << name;
    ASSERT_EQ(again.KeyNumberCount, first.KeyNumberCount);
    EXPECT_TRUE(std::equal(first.KeyNumbers.begin(),
                           first.KeyNumbers.begin() + first.KeyNumberCount + 1,
                           again.KeyNumbers.begin()));
    EXPECT_EQ(again.RotorRecord, first.RotorRecord);
    EXPECT_EQ(again.ReorderTable, first.ReorderTable);
}

// The rotors shuffled the literal way: the whole permutation really turns left by one
// after every second exchange.
std::string LiteralRotors(const SDK& sdk) {
    std::string perm(256, '\0');
    for (int i = 0; i < 256; ++i) perm[static_cast<size_t>(i)] = static_cast<char>(i);
    std::string out;
    int32_t cursor = 0;
    auto next = [&] {
        if (++cursor > sdk.KeyNumberCount) cursor = 1;
        return static_cast<size_t>(((sdk.KeyNumbers[static_cast<size_t>(cursor)] - 1) % 256 + 256) %
                                   256);
    };
    for (int exchange = 1; exchange <= 20 * 1000; ++exchange) {
        const size_t a = next();
        std::swap(perm[a], perm[next()]);
        if (exchange % 2 == 0) std::rotate(perm.begin(), perm.begin() + 1, perm.end());
        if (exchange % 1000 == 0) out += perm;
    }
    return out;
}

TEST(KeyFilesTest, RotorsMatchTheLiteralShuffle) {
    for (const std::string seed : {"1", "192168001005127000000001", "987654321987654321"}) {
        TempDir dir;
        SDK sdk;
        sdk.AppFolder = dir.path();
        sdk.BuildKeyFiles(seed);
        const std::string k1 = ReadWholeFile(dir.file("k1.bin"));
        EXPECT_TRUE(k1 == LiteralRotors(sdk)) << seed;
        EXPECT_TRUE(sdk.RotorRecord == k1.substr(19 * 256)) << seed;
    }
}

TEST(KeyFilesTest, ExistingLongerFilesAreOverwrittenNotTruncated) {
    TempDir dir;
    {
        TextWriter w(dir.file("k1.brs"));
        w.Write(std::string(6000, 'z'));
        w.Close();
    }
    SDK sdk;
    sdk.AppFolder = dir.path();
    sdk.BuildKeyFiles("123456789");
    const std::string brs = ReadWholeFile(dir.file("k1.brs"));
    ASSERT_EQ(brs.size(), 6000u);
    EXPECT_EQ(brs.substr(0, 5120), ReadWholeFile(dir.file("k1.bin")));
    EXPECT_EQ(brs.substr(5120), std::string(880, 'z'));
}

TEST(RotorSettingsTest, SettingsFilesFollowTheKeyNumbers) {
    TempDir dir;
    SDK sdk;
    sdk.AppFolder = dir.path();
    for (int j = 1; j <= 120; ++j) sdk.KeyNumbers[j] = 11;
    sdk.KeyNumbers[20] = 45;  // exactly 45 turns down
    sdk.KeyNumbers[21] = 46;  // above 45 turns up
    sdk.KeyNumbers[40] = 75;  // figure 3
    sdk.KeyNumbers[41] = 151;
    sdk.KeyNumbers[60] = 99;  // first digit 9: figure 5
    sdk.KeyNumbers[80] = 75;  // wide 12
    sdk.KeyNumbers[90] = 99;  // wide 14
    sdk.KeyNumberCount = 120;
    sdk.WriteRotorSettings();

    EXPECT_EQ(ReadWholeFile(dir.file("k2.bin")), std::string(" 20  2 \r\n"));
    EXPECT_EQ(sdk.PassCount, 2);

    const std::string k3 = ReadWholeFile(dir.file("k3.bin"));
    ASSERT_EQ(k3.size(), 100u);
    EXPECT_EQ(k3.substr(0, 20), "DUDDDDDDDDDDDDDDDDDD");
    auto figure = [&](int k) {
        float f;
        std::memcpy(&f, k3.data() + 20 + 4 * (k - 1), 4);
        return f;
    };
    EXPECT_EQ(figure(1), 3.0f);
    EXPECT_EQ(figure(2), 2.0f);
    EXPECT_EQ(figure(20), 2.0f);
    EXPECT_EQ(sdk.RotorUp[1], 0);
    EXPECT_EQ(sdk.RotorUp[2], 1);

    EXPECT_EQ(ReadWholeFile(dir.file("k4.bin")), " 5 \r\n" + Repeat(" 2 \r\n", 19));
    EXPECT_EQ(ReadWholeFile(dir.file("k5.bin")), " 12 \r\n" + Repeat(" 21 \r\n", 9));
    EXPECT_EQ(ReadWholeFile(dir.file("k6.dat")), " 14 \r\n" + Repeat(" 21 \r\n", 9));

    // The settings written here are what the string operations read back.
    sdk.LoadCipherTables();
    EXPECT_EQ(sdk.RotorUp[1], 0);
    EXPECT_EQ(sdk.RotorUp[2], 1);
    EXPECT_EQ(sdk.StepSize[1], 5);
    EXPECT_EQ(sdk.StepSize[2], 2);
}

std::array<int32_t, 201> TableFor(const std::string& code) {
    SDK sdk;
    sdk.BuildReorderTable(code);
    return sdk.ReorderTable;
}

TEST(RotorSettingsTest, ReorderCodeComesFromTheProductOfEntries20And21) {
    auto tableAfter = [](int a, int b) {
        TempDir dir;
        SDK sdk;
        sdk.AppFolder = dir.path();
        for (int j = 1; j <= 100; ++j) sdk.KeyNumbers[j] = 30;
        sdk.KeyNumbers[20] = static_cast<int16_t>(a);
        sdk.KeyNumbers[21] = static_cast<int16_t>(b);
        sdk.KeyNumberCount = 100;
        sdk.WriteRotorSettings();
        return sdk.ReorderTable;
    };
    EXPECT_EQ(tableAfter(11, 11), TableFor("121"));
    EXPECT_EQ(tableAfter(100, 10), TableFor("011"));   // 1000 -> 1 -> 11
    EXPECT_EQ(tableAfter(111, 18), TableFor("999"));   // 1998 -> 999
    EXPECT_EQ(tableAfter(111, 9), TableFor("999"));    // 999 stays
    EXPECT_EQ(tableAfter(151, 151), TableFor("823"));  // 22801 - 22 * 999
}

TEST(RotorSettingsTest, ReorderTableKnownEntries) {
    const auto w = TableFor("010");  // the 0 digits count as 10
    EXPECT_EQ(w[0], 0);
    EXPECT_EQ(w[1], 10);  // exactly 10 stays 10
    EXPECT_EQ(w[2], 11);  // 1 lifted by 10
    EXPECT_EQ(w[3], 10);
    EXPECT_EQ(w[4], 21);
    EXPECT_EQ(w[9], 16);
    const std::vector<int32_t> loop3(w.begin() + 21, w.begin() + 28);
    EXPECT_EQ(loop3, (std::vector<int32_t>{25, 31, 33, 19, 22, 20, 18}));
    EXPECT_EQ(w[200], 20);  // W(55) + 1

    const auto small = TableFor("123");
    EXPECT_EQ(small[1], 11);
    EXPECT_EQ(small[4], 16);
    EXPECT_EQ(small[11], 13);
    EXPECT_EQ(small[16], 15);
}

TEST(RotorSettingsTest, EveryCodeGivesEntriesBetween10And50) {
    for (int x = 10; x <= 999; ++x) {
        const std::string padded = "00" + std::to_string(x);
        const auto w = TableFor(padded.substr(padded.size() - 3));
        ASSERT_EQ(w[0], 0) << x;
        for (int i = 1; i <= 200; ++i) {
            ASSERT_GE(w[i], 10) << x << " entry " << i;
            ASSERT_LE(w[i], 50) << x << " entry " << i;
        }
    }
    SDK sdk;
    EXPECT_THROW(sdk.BuildReorderTable("1a3"), CipherError);
}

}  // namespace
}  // namespace keyvane
