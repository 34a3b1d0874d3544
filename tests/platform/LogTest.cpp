// The system log's capture and the user defaults' store.
#include "platform/defaults/UserDefaults.h"
#include "platform/log/Log.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

// A hold keeps what its own thread writes, and what is added to it from elsewhere, in order and
// away from the log until taken; other threads' lines go to the log meanwhile.
TEST(Log, AHoldKeepsItsThreadsLinesUntilTheyAreTaken) {
    log::Capture capture;
    EXPECT_EQ(log::Hold::current(), nullptr);
    {
        log::Hold hold;
        EXPECT_EQ(log::Hold::current(), &hold);
        EXPECT_TRUE(hold.empty());
        log::line("held 1");
        std::thread([&hold] {
            EXPECT_EQ(log::Hold::current(), nullptr);
            log::line("another thread's");
            hold.add("added for the hold");
        }).join();
        log::line("held 2");
        EXPECT_EQ(capture.lines(), (std::vector<std::string>{"another thread's"}));
        EXPECT_EQ(hold.take(),
                  (std::vector<std::string>{"held 1", "added for the hold", "held 2"}));
        EXPECT_TRUE(hold.empty());
        log::line("never taken");
    }
    EXPECT_EQ(log::Hold::current(), nullptr);
    log::line("after");
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"another thread's", "after"}));
}

// A thread that is never joined (libvips' workers are such) can log while the process exits and
// destroys its statics: the log must still be whole then. This handler, registered before the
// log's first use, runs after the log's statics would have been destroyed, and waits there for
// more lines from such a thread.
std::atomic<bool> waitForLinesAtExit = false;
std::atomic<int> linesLogged = 0;

void waitForMoreLines() {
    if (!waitForLinesAtExit)
        return;
    const int before = linesLogged;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (linesLogged < before + 100)
        if (std::chrono::steady_clock::now() > deadline)
            std::_Exit(3); // the thread stopped logging
}
const bool exitHandlerRegistered = std::atexit(waitForMoreLines) == 0;

TEST(Log, ThreadLoggingWhileTheProcessExitsFindsTheLogWhole) {
    ASSERT_TRUE(exitHandlerRegistered);
    const pid_t child = fork();
    if (child == 0) {
        const log::Capture capture; // exit() leaves the stack alone: stays installed
        waitForLinesAtExit = true;
        std::thread([] {
            for (;;) {
                log::line("still running");
                ++linesLogged;
            }
        }).detach();
        std::exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
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
