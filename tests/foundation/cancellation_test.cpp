#include "foundation/cancellation.h"

#include <gtest/gtest.h>

#include <thread>

using renewix::Cancellation;

TEST(CancellationTest, ClosersRunOnceWhileRegisteredAndAtOnceAfterTheFact) {
    Cancellation cancellation;
    int kept = 0, dropped = 0, late = 0;
    auto keep = cancellation.OnCancel([&] { ++kept; });
    {
        auto drop = cancellation.OnCancel([&] { ++dropped; });
    }
    EXPECT_FALSE(cancellation.Cancelled());
    // From another thread, as the user's Cancel comes, and a second time.
    std::thread([&] { cancellation.Cancel(); }).join();
    cancellation.Cancel();
    EXPECT_TRUE(cancellation.Cancelled());
    EXPECT_EQ(kept, 1);
    EXPECT_EQ(dropped, 0);
    // Something that starts after the cancel is stopped before it blocks.
    auto after = cancellation.OnCancel([&] { ++late; });
    EXPECT_EQ(late, 1);
}
