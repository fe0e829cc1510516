// The command-line tool, run in-process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>

#include "cipher/key_state.h"
#include "cipher/sdk.h"
#include "support/tempdir.h"
#include "tools/cipher_tool.h"

namespace keyvane {
namespace {

using test::TempDir;

struct Result {
    int rc;
    std::string out, err;
};

// Runs the tool over `input` in one piece and collects what it writes.
Result Tool(std::vector<std::string> args, const std::string& input = "") {
    Result r;
    bool read = false;
    size_t at = 0;
    ToolStreams io;
    io.read = [&](char* into, size_t room) {
        read = true;
        const size_t n = std::min(room, input.size() - at);
        std::memcpy(into, input.data() + at, n);
        at += n;
        return n;
    };
    io.write = [&](std::string_view piece) { r.out.append(piece); };
    r.rc = RunCipherTool(args, io, r.err);
    const bool transforms = !args.empty() && (args[0] == "encrypt" || args[0] == "decrypt");
    if (!transforms) {
        EXPECT_FALSE(read) << "only encrypt and decrypt read the input";
    }
    return r;
}

const std::string kSeed = "2129229211211921921212";

TEST(CipherToolTest, SeedKeygenAndTransformsMatchTheModule) {
    EXPECT_EQ(Tool({"seed", "192.0.2.10", "192.0.2.20"}).out, kSeed + "\n");

    TempDir dir;
    const std::string folder = dir.path().substr(0, dir.path().size() - 1);  // no trailing "/"
    ASSERT_EQ(Tool({"keygen", kSeed, folder}).rc, 0);
    TempDir ref;
    SDK sdk;
    sdk.AppFolder = ref.path();
    sdk.BuildKeyFiles(kSeed);
    EXPECT_EQ(ReadWholeFile(dir.file("k1.bin")), ReadWholeFile(ref.file("k1.bin")));

    const std::string plain("chat line\0\r\n\xff", 13);
    std::string expected = plain;
    sdk.EncryptString(expected);  // same process, schedule of a live connection
    const Result enc = Tool({"encrypt", dir.path(), kSeed}, plain);
    ASSERT_EQ(enc.rc, 0) << enc.err;
    EXPECT_EQ(enc.out, expected);
    EXPECT_EQ(Tool({"decrypt", folder, kSeed}, enc.out).out, plain);

    // Without a seed the schedule is all zeros, as in a program that never generated keys.
    SDK fresh;
    fresh.AppFolder = ref.path();
    std::string noSchedule = plain;
    fresh.EncryptString(noSchedule);
    EXPECT_EQ(Tool({"encrypt", folder}, plain).out, noSchedule);

    EXPECT_EQ(Tool({"wipe", folder}).rc, 0);
    EXPECT_FALSE(FileExists(dir.file("k1.bin")));
}

// The tool goes through a long input a piece at a time; the result must be the one
// string operation over the whole, however the reads cut it.
TEST(CipherToolTest, PiecesComeOutAsOneStringOperation) {
    TempDir dir;
    std::mt19937 rng(7);
    const std::string plain = test::RandomText(rng, 150'000);
    SDK sdk;
    sdk.AppFolder = dir.path();
    sdk.BuildKeyFiles(kSeed);
    std::string expected = plain;
    sdk.EncryptString(expected);
    EXPECT_EQ(Tool({"encrypt", dir.path(), kSeed}, plain).out, expected);

    // Reads of at most 999 bytes, as a pipe may give them.
    size_t at = 0;
    std::string out, err;
    ToolStreams io;
    io.read = [&](char* into, size_t room) {
        const size_t n = std::min({room, size_t{999}, expected.size() - at});
        std::memcpy(into, expected.data() + at, n);
        at += n;
        return n;
    };
    io.write = [&](std::string_view piece) { out.append(piece); };
    ASSERT_EQ(RunCipherTool({"decrypt", dir.path(), kSeed}, io, err), 0) << err;
    EXPECT_EQ(out, plain);

    // A write that fails while the machine works on the next piece ends the run; what
    // went out before stays out and is right.
    at = 0;
    out.clear();
    io.write = [&](std::string_view piece) {
        if (!out.empty()) throw std::runtime_error("disk full");
        out.append(piece);
    };
    EXPECT_EQ(RunCipherTool({"decrypt", dir.path(), kSeed}, io, err), 1);
    EXPECT_NE(err.find("disk full"), std::string::npos) << err;
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out, plain.substr(0, out.size()));
    io.write = [&](std::string_view piece) { out.append(piece); };

    // A key state the machine cannot run with writes nothing at all.
    TextWriter w(dir.file("k2.bin"));
    w.WriteLine(" 20 0 ");
    w.Close();
    at = 0;
    out.clear();
    EXPECT_EQ(RunCipherTool({"decrypt", dir.path()}, io, err), 1);
    EXPECT_EQ(out, "");
}

TEST(CipherToolTest, BadInputGivesOneLineAndStatus1) {
    TempDir dir;
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"seed", "1.2.3.4"},
        {"keygen", "", dir.path()},
        {"keygen", std::string(74, '3'), dir.path()},
        {"keygen", "123", dir.path() + "missing"},
        {"encrypt", dir.path()},  // no key files
        {"decrypt", dir.path(), "1", "extra"},
        {"wipe"},
    };
    for (const auto& args : bad) {
        const Result r = Tool(args, "text");
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.out, "");
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.rfind("keyvane-cipher: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
    // A short k4.bin: reported, nothing written out.
    ASSERT_EQ(Tool({"keygen", "123456789", dir.path()}).rc, 0);
    TextWriter w(dir.file("k4.bin"));
    w.WriteLine(" 2 ");
    w.Close();
    const Result r = Tool({"encrypt", dir.path()}, "text");
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("k4.bin"), std::string::npos) << r.err;
}

TEST(CipherToolTest, HelpNamesEveryCommand) {
    const Result r = Tool({"--help"});
    EXPECT_EQ(r.rc, 0);
    for (const char* word : {"seed", "keygen", "encrypt", "decrypt", "wipe"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

}  // namespace
}  // namespace keyvane
