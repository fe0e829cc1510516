// Fixed answers that do not come from the code under test: seeds worked out by hand from
// the derivation rules, the fixed k2.bin line, and hashes of k1.bin and of a short
// ciphertext taken once from the literal machine. A change to any rule shows up here
// even when both peers of a test would change alike.
#include <gtest/gtest.h>

#include <sstream>

#include "cipher/literal_machine.h"
#include "cipher/sdk.h"
#include "keys/seed.h"
#include "platform/files.h"
#include "platform/sha256.h"
#include "support/tempdir.h"

namespace keyvane {
namespace {

std::string Sha256Hex(const std::string& s) {
    return Sha256::Hex(s);
}
using test::TempDir;

struct Vector {
    const char* host;
    const char* client;
    const char* seed;
    int32_t keyNumbers;
    const char* k1Sha;
    const char* cipherSha;
};

// The plain text: every byte value once, then a chat line, so the schedule turns.
std::string PlainText() {
    std::string s;
    for (int c = 0; c < 256; ++c) s += static_cast<char>(c);
    return s + "Hello from the waiting side\r\n";
}

// The literal machine, loaded from the key files as they lie on disk.
test::LiteralMachine LiteralFrom(const std::string& folder, const SDK& sdk) {
    test::LiteralMachine m;
    const std::string bcr = ReadWholeFile(folder + "k1.bcr");
    for (int k = 1; k <= 20; ++k) m.Rotor[k] = bcr.substr((k - 1) * 256, 256);
    const std::string k3 = ReadWholeFile(folder + "k3.bin");
    for (int k = 1; k <= 20; ++k) m.RotorUp[k] = k3[k - 1] == 'D' ? 0 : 1;
    std::istringstream k4(ReadWholeFile(folder + "k4.bin"));
    for (int k = 1; k <= 20; ++k) {
        int step = 0;
        k4 >> step;
        m.StepSize[k] = step < 1 ? 1 : step;
    }
    m.PassCount = 2;
    m.ReorderTable = sdk.ReorderTable;
    m.ResetSchedule();
    return m;
}

TEST(KnownAnswerTest, AddressPairsGiveFixedSeedsKeyFilesAndCiphertext) {
    const Vector vectors[] = {
        // D = 1922119222 (10 digits); parts 192, 1, 2, 1, 192, 1, 2, 2.
        {"192.0.2.10", "192.0.2.20", "2129229211211921921212", 15092,
         "851598ea090e94c40a1c218678491bad760b107fa4d756c54cb96de040147b63",
         "a822e641ed92ed0721a2576a9ce785683d5f4a4b5be0ffb138ba8970248fed00"},
        // D = 1921681119216812 (16 digits); parts 192, 168, 1, 1, 192, 168, 1, 2.
        {"192.168.1.10", "192.168.1.20", "21198261162891111168192192121681", 21945,
         "2156b372ed0dd2ca994ea6f6d9913e815e858d7e3bfdd11b494b9861e3802254",
         "60fc3f0e2b6d2ff5578f70a979ebcffd80999f0a6caec9a6569bdea74ec92419"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.host);
        const std::string seed = ConnectionSeed(CombinedAddressText(true, v.host, v.client));
        EXPECT_EQ(seed, v.seed);
        EXPECT_EQ(ConnectionSeed(CombinedAddressText(false, v.client, v.host)), v.seed);

        TempDir dir;
        SDK sdk;
        sdk.AppFolder = dir.path();
        sdk.BuildKeyFiles(seed);
        EXPECT_EQ(sdk.KeyNumberCount, v.keyNumbers);
        EXPECT_EQ(ReadWholeFile(dir.file("k2.bin")), " 20  2 \r\n");
        EXPECT_EQ(Sha256Hex(ReadWholeFile(dir.file("k1.bin"))), v.k1Sha);

        const std::string plain = PlainText();
        auto literal = LiteralFrom(dir.path(), sdk);
        const std::string byLiteral = literal.Encrypt(plain);
        std::string byFast = plain;
        sdk.EncryptString(byFast);
        EXPECT_EQ(byFast, byLiteral);
        EXPECT_EQ(Sha256Hex(byLiteral), v.cipherSha);
    }
}

TEST(KnownAnswerTest, Sha256MatchesItsPublishedVectors) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits the first padded block.
    EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // Fed in uneven pieces, as a file's blocks and its rest arrive.
    Sha256 pieces;
    const std::string million(1000000, 'a');
    for (size_t at = 0, n = 1; at < million.size(); at += n, n = n % 97 + 13)
        pieces.Update(std::string_view(million).substr(at, n));
    EXPECT_EQ(pieces.HexDigest(),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // A digest starts the next hash afresh.
    pieces.Update("abc");
    EXPECT_EQ(pieces.HexDigest(), Sha256Hex("abc"));
}

}  // namespace
}  // namespace keyvane
