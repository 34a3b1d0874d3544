// The system log's capture and the user defaults' store.
#include "platform/defaults/UserDefaults.h"
#include "platform/log/Log.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

#include <thread>

namespace lumsift {
namespace {

TEST(Log, CaptureSeesLinesInOrderFromAnyThread) {
    log::Capture capture;
    log::line("first");
    std::thread([] { log::line("second"); }).join();
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"first", "second"}));
    EXPECT_TRUE(capture.contains("second"));
    EXPECT_EQ(capture.count("first"), 1u);
}

TEST(UserDefaults, ValuesSurviveReopeningAndRegisteredOnesFillGaps) {
    const testimages::TempDir dir;
    const auto file = dir / "defaults.ini";
    UserDefaults::useFileForTesting(file);
    auto& d = UserDefaults::standard();
    EXPECT_FALSE(d.boolForKey("SKIPSTARTSCREEN"));
    EXPECT_EQ(d.integerForKey("SELECTEDALGORITHM"), 0);
    d.registerDefaults({{"Flag", true}});
    EXPECT_TRUE(d.boolForKey("Flag"));
    d.setBool(false, "Flag");
    d.setInteger(-3, "SELECTEDALGORITHM");
    d.setString("http://127.0.0.1/x", "URL");
    const auto when = std::chrono::system_clock::now();
    d.setDate(when, "Date");

    UserDefaults::useFileForTesting(file);
    auto& again = UserDefaults::standard();
    EXPECT_FALSE(again.boolForKey("Flag"));
    EXPECT_EQ(again.integerForKey("SELECTEDALGORITHM"), -3);
    EXPECT_EQ(again.stringForKey("SELECTEDALGORITHM"), "-3");
    EXPECT_EQ(again.stringForKey("URL"), "http://127.0.0.1/x");
    EXPECT_EQ(again.dateForKey("Date"), when);
    EXPECT_FALSE(again.dateForKey("URL").has_value());
    again.removeObjectForKey("URL");
    EXPECT_FALSE(again.hasObjectForKey("URL"));
}

} // namespace
} // namespace lumsift
