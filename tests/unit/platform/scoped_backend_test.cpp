#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/backends.h"
#include "platform/clock.h"

namespace {

TEST(ScopedBackend, AnInnerScopePutsBackTheOuterBackendForThreadsThatOutliveIt)
{
    platform::VirtualClock outer(1000);
    platform::VirtualClock inner(5);
    platform::IClock& before = platform::Clock();
    std::atomic<bool> innerEnded{false};
    std::atomic<std::uint32_t> seenAfter{0};
    std::thread thread;
    {
        platform::ScopedClock useOuter(outer);
        {
            platform::ScopedClock useInner(inner);
            EXPECT_EQ(&platform::Clock(), &inner);
            thread = std::thread([&] {
                while (!innerEnded) std::this_thread::yield();
                // Asked afresh after the inner scope ended: the outer clock.
                seenAfter = platform::Clock().TickCount();
            });
        }
        EXPECT_EQ(&platform::Clock(), &outer);
        innerEnded = true;
        thread.join();
        EXPECT_EQ(seenAfter, outer.TickCount());
    }
    EXPECT_EQ(&platform::Clock(), &before);
}

}  // namespace
