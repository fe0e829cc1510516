// The string operations on a caller's own buffer, as the transfer path calls them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>

#include "cipher/key_state.h"
#include "cipher/sdk.h"
#include "cipher/wide_machine.h"
#include "support/tempdir.h"

namespace {
// Allocations made by this thread, so a test can tell that a call made none.
thread_local long t_allocations = 0;
}  // namespace

void* operator new(std::size_t n) {
    ++t_allocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace keyvane {
namespace {

using test::KeyState;
using test::RandomText;
using test::TempDir;

// A buffer goes through the same machine as a string, on both dispatch paths, for
// lengths around the batch widths and for the empty buffer (which still restores k1.bcr).
TEST(BlockTest, BlocksMatchTheStringOperations) {
    std::mt19937 rng(31);
    struct Restore {
        ~Restore() { AllowWideMachine(true); }
    } restore;
    TempDir dir;
    SDK viaString, viaBlock;
    const KeyState ks = KeyState::Random(rng);
    ks.Install(dir.path(), viaString);
    ks.Install(dir.path(), viaBlock);
    const std::string rotors = ReadWholeFile(dir.file("k1.brs"));
    for (bool wide : {true, false}) {
        AllowWideMachine(wide);
        for (size_t n : {0, 1, 63, 64, 65, 255, 256, 257, 1000, 4097}) {
            SCOPED_TRACE(std::to_string(n) + (wide ? " wide" : " narrow"));
            const std::string plain = RandomText(rng, n);
            std::string expected = plain;
            viaString.EncryptString(expected);
            std::vector<char> block(plain.begin(), plain.end());
            viaBlock.EncryptBlock(block.data(), block.size());
            ASSERT_EQ(std::string(block.begin(), block.end()), expected);
            viaBlock.DecryptBlock(block.data(), block.size());
            ASSERT_EQ(std::string(block.begin(), block.end()), plain);
        }
        // The working rotors changed on disk count once and are restored.
        TextWriter w(dir.file("k1.bcr"));
        w.Write(rotors.substr(256) + rotors.substr(0, 256));
        w.Close();
        char empty = 'x';
        viaBlock.EncryptBlock(&empty, 0);
        EXPECT_EQ(empty, 'x');
        EXPECT_EQ(ReadWholeFile(dir.file("k1.bcr")), rotors);
    }
}

// On key files that did not change, a block costs the transform and no allocation.
TEST(BlockTest, UnchangedKeysCostNoAllocation) {
    std::mt19937 rng(32);
    TempDir dir;
    SDK sdk;
    KeyState::Random(rng).Install(dir.path(), sdk);
    std::string block = RandomText(rng, SDK::kBlockLength);
    for (int i = 0; i < 3; ++i) sdk.EncryptBlock(block.data(), block.size());
    const long before = t_allocations;
    ASSERT_GT(before, 0);  // the count works: reading the key files allocated
    for (int i = 0; i < 100; ++i) {
        sdk.EncryptBlock(block.data(), block.size());
        sdk.DecryptBlock(block.data(), block.size());
    }
    EXPECT_EQ(t_allocations, before);
}

}  // namespace
}  // namespace keyvane
