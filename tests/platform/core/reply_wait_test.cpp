// When to watch for a peer's answer before letting the event loop sleep.
#include <gtest/gtest.h>

#include "platform/ReplyWait.h"

namespace keyvane {
namespace {

// Answers in time keep the watch; answers that stop coming in time rest it, and it tries
// again after the rest, resting at once if the peer is still slow.
TEST(ReplyWait, RestsAfterMissesInARowAndTriesAgainLater) {
    ReplyWait w;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(w.ShouldWait());
        // Misses short of the limit, broken by an answer in time, never rest it.
        w.Waited(i % ReplyWait::kMisses == ReplyWait::kMisses - 1);
    }
    for (int i = 0; i < ReplyWait::kMisses; ++i) {
        ASSERT_TRUE(w.ShouldWait());
        w.Waited(false);
    }
    for (int i = 0; i < ReplyWait::kRest; ++i) EXPECT_FALSE(w.ShouldWait()) << i;
    EXPECT_TRUE(w.ShouldWait());
    w.Waited(false);  // still slow: one miss rests it again
    for (int i = 0; i < ReplyWait::kRest; ++i) EXPECT_FALSE(w.ShouldWait()) << i;
    EXPECT_TRUE(w.ShouldWait());
    w.Waited(true);  // quick again: it takes the whole run of misses to rest it
    for (int i = 0; i < ReplyWait::kMisses - 1; ++i) {
        ASSERT_TRUE(w.ShouldWait());
        w.Waited(false);
    }
    EXPECT_TRUE(w.ShouldWait());
}

}  // namespace
}  // namespace keyvane
