// Engine operations on detached threads: an error that leaves the work is logged, not fatal.
#include "app/Background.h"
#include "platform/log/Log.h"
#include "tests/app/AppHarness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace lumsift::app {
namespace {

TEST(Background, AnErrorLeavingTheWorkIsLoggedAndTheProcessGoesOn) {
    log::Capture log;
    std::atomic<bool> ran{false};
    startInBackground("loadLibrary", [&] {
        ran = true;
        throw std::runtime_error("database is locked");
    });
    ASSERT_TRUE(testing::AppHarness::waitFor(
        [&] { return log.contains("loadLibrary ended with an error: database is locked"); }));
    EXPECT_TRUE(ran.load());
}

} // namespace
} // namespace lumsift::app
