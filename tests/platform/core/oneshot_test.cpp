#include <gtest/gtest.h>

#include <memory>

#include "support/fakes.h"

namespace keyvane {
namespace {

TEST(OneShot, FiresOnceReplacesAndCancels) {
    test::FakePlatform fp;
    int fired = 0;
    {
        OneShot t(fp.p);
        ASSERT_TRUE(t.Start(100, [&] { fired += 1; }));
        t.Start(50, [&] { fired += 10; });  // replaces the first
        EXPECT_TRUE(t.Pending());
        fp.Advance(49);
        EXPECT_EQ(fired, 0);
        fp.Advance(1);
        EXPECT_EQ(fired, 10);
        EXPECT_FALSE(t.Pending());
        fp.Advance(100);
        EXPECT_EQ(fired, 10);  // the replaced shot never runs

        t.Start(10, [&] { fired += 100; });
        t.Stop();
        fp.Advance(20);
        EXPECT_EQ(fired, 10);

        // A shot may start the next one, and the owner may go before it is due.
        t.Start(5, [&] { t.Start(5, [&] { fired += 1000; }); });
        fp.Advance(5);
        EXPECT_TRUE(t.Pending());
    }
    fp.Advance(100);
    EXPECT_EQ(fired, 10);
}

TEST(OneShot, WithoutTimersNothingIsStarted) {
    Platform bare;
    OneShot t(bare);
    EXPECT_FALSE(t.Start(1, [] {}));
    EXPECT_FALSE(t.Pending());
}

}  // namespace
}  // namespace keyvane
