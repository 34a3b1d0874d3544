// The engine object: one instance, init once, the switches, the recount, the small operations.
#include "tests/engine/support/EngineHarness.h"

#include <gtest/gtest.h>

namespace lumsift {
namespace {

using testing::EngineHarness;
using Access = LumsiftForApertureTestAccess;

TEST(LumsiftForAperture, OneInstanceInitialisedOnce) {
    EngineHarness h;
    const int runs = Access::initRuns();
    LumsiftForAperture& again = LumsiftForAperture::sharedLumsiftForAperture();
    EXPECT_EQ(&again, &h.engine);
    EXPECT_EQ(Access::initRuns(), runs);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(Access::photoApplication(h.engine), h.app);
    EXPECT_FALSE(Access::exportFolder(h.engine).empty());
    EXPECT_NE(Access::help(h.engine), nullptr);
    EXPECT_FALSE(h.engine.dataLoaded());
}

} // namespace
} // namespace lumsift
