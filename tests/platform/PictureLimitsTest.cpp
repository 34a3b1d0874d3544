// The bounds on pictures: the memory budget that decodes running at once share.
#include "platform/limits/PictureLimits.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace lumsift {
namespace {

using limits::DecodeMemory;
using limits::kMaxDecodeBytesAtOnce;

// Eight threads take reservations of which two fit at once, and one more takes more than the
// whole budget: no more than two hold at a time, the large one only alone, and one that asks for
// nothing goes ahead whoever holds what.
TEST(DecodeMemory, DecodesAtOnceStayWithinTheBudgetAndALargeOneGoesAlone) {
    std::atomic<int> holding{0};
    std::atomic<int> most{0};
    std::atomic<int> besideTheLargeOne{0};
    const auto hold = [&](int64_t bytes, bool large) {
        const DecodeMemory held(bytes);
        const int now = ++holding;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        if (large && now != 1)
            ++besideTheLargeOne;
        for (int spin = 0; spin < 200; ++spin)
            std::this_thread::yield();
        --holding;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int round = 0; round < 50; ++round)
                hold(kMaxDecodeBytesAtOnce / 3 + 1, false);
        });
    threads.emplace_back([&] {
        for (int round = 0; round < 10; ++round)
            hold(2 * kMaxDecodeBytesAtOnce, true);
    });
    {
        const DecodeMemory everything(kMaxDecodeBytesAtOnce);
        std::thread([] { const DecodeMemory nothing(0); }).join();
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_LE(most.load(), 2);
    EXPECT_EQ(besideTheLargeOne.load(), 0);
    EXPECT_EQ(holding.load(), 0);
}

} // namespace
} // namespace lumsift
