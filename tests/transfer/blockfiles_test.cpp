// Reading and writing a transfer's file many blocks at a time gives the bytes that
// reading and writing each block alone gave, and a writer never loses a block it holds.
#include "transfer/BlockFiles.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/sha256.h"
#include "support/fakes.h"
#include "support/tempdir.h"

namespace keyvane {
namespace {

using test::TempDir;

TEST(BlockReader, GivesEveryRecordAsTheFileHoldsIt) {
    TempDir dir;
    const std::string content =
        test::RandomBytes(130'500, 1);  // two windows and a part, a short last record
    TextWriter w(dir.file("f.bin"));
    w.Write(content);
    w.Close();
    BlockReader in(dir.file("f.bin"), 1000);
    for (int64_t r = 1; r <= 131; ++r)
        ASSERT_EQ(in.Read(r), content.substr(static_cast<size_t>(r - 1) * 1000, 1000)) << r;
    EXPECT_EQ(in.Read(132), "");
    // Back to an earlier window, and a record far past the end.
    EXPECT_EQ(in.Read(3), content.substr(2000, 1000));
    EXPECT_EQ(in.Read(100000), "");
    EXPECT_THROW(BlockReader(dir.file("missing.bin"), 1000), FileError);
}

TEST(BlockWriter, EveryBlockReachesTheFileHoweverTheWriterEnds) {
    TempDir dir;
    std::string blocks;
    for (int i = 0; i < 70; ++i) blocks += test::RandomBytes(1000, 10 + i);
    const std::string rest = test::RandomBytes(321, 99);
    // Closed after the rest: the file is the blocks and the rest.
    {
        BlockWriter out(dir.file("closed.bin"), 1000);
        for (int r = 1; r <= 70; ++r) out.Write(r, blocks.substr((r - 1) * 1000, 1000));
        out.WriteRaw(71, rest);
        out.Close();
    }
    EXPECT_EQ(ReadWholeFile(dir.file("closed.bin")), blocks + rest);
    // Destroyed without a close (a receive that ended early): every block is there.
    {
        BlockWriter out(dir.file("dropped.bin"), 1000);
        for (int r = 1; r <= 70; ++r) out.Write(r, blocks.substr((r - 1) * 1000, 1000));
    }
    EXPECT_EQ(ReadWholeFile(dir.file("dropped.bin")), blocks);
    // Short records are padded, and a record out of order lands in its place.
    {
        BlockWriter out(dir.file("order.bin"), 1000);
        out.Write(1, "a");
        out.Write(3, "c");
        out.Write(2, "b");
        out.Close();
    }
    const std::string pad(999, ' ');
    EXPECT_EQ(ReadWholeFile(dir.file("order.bin")), "a" + pad + "b" + pad + "c" + pad);
}

TEST(BlockWriter, AFailedWriteIsReportedAndNotRepeated) {
    BlockWriter out("/dev/full", 1000);
    for (int r = 1; r < BlockWriter::kBlocks; ++r) out.Write(r, "x");
    EXPECT_THROW(out.Write(BlockWriter::kBlocks, "x"), FileError);
    // What failed is not held: the next blocks and the close try only what is new.
    out.Write(BlockWriter::kBlocks + 1, "y");
    EXPECT_THROW(out.Close(), FileError);
}

// Without timers a partial file is hashed in one go; a block short of whole is an error.
TEST(StepHasher, HashesWholeBlocksOnlyWithOrWithoutTimers) {
    TempDir dir;
    const int64_t blocks = StepHasher::kStepBlocks + 1;
    const std::string bytes = test::RandomBytes(static_cast<size_t>(blocks) * 1000 + 500, 3);
    TextWriter w(dir.file("f.bin"));
    w.Write(bytes);
    w.Close();
    for (bool timers : {true, false}) {
        test::FakePlatform plat;
        if (!timers) plat.p.After = nullptr;
        StepHasher h(plat.p);
        Sha256 sha;
        std::vector<std::string> done;  // the digest, or why not
        for (int64_t n : {blocks, blocks + 1}) {
            h.Start(dir.file("f.bin"), n, sha, [&](const std::string& error) {
                done.push_back(error.empty() ? sha.HexDigest() : error);
            });
            EXPECT_EQ(h.Running(), timers);
            plat.RunDueTimers();
        }
        EXPECT_EQ(done,
                  (std::vector<std::string>{Sha256::Hex(bytes.substr(0, bytes.size() - 500)),
                                            "the file became shorter while it was being read"}));
    }
}

}  // namespace
}  // namespace keyvane
