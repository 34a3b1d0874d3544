// The real program, started in child processes with a home of their own: a crash log it cannot
// report never stops a launch, and a later start brings the running window forward and ends.
#include "platform/defaults/UserDefaults.h"
#include "platform/plist/Plist.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>

using namespace std::chrono_literals;

namespace lumsift {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;

const fs::path kProgram = LUMSIFT_BINARY_DIR "/app/Lumsift";

class Launch : public ::testing::Test {
protected:
    fs::path socket() const { return home.runtime() / "org.lumsift.Lumsift.socket"; }
    fs::path crashLogs() const { return home.data() / "Logs/DiagnosticReports"; }

    // Starts `program`, its environment the home's and `extra` ("NAME=value"), and waits until
    // it holds the instance (or has ended). No instance may be running: the socket of one that
    // was killed is cleared first.
    std::unique_ptr<ChildProcess> startFirst(const fs::path& program, const fs::path& output,
                                             const std::vector<std::string>& extra = {}) {
        fs::remove(socket());
        std::vector<std::string> environment = home.environment();
        environment.insert(environment.end(), extra.begin(), extra.end());
        auto first = std::make_unique<ChildProcess>(program, environment, output);
        testing::waitUntil([&] { return fs::exists(socket()) || !first->running(); }, 30s);
        return first;
    }
    // Starts `program` once more and returns its wait status; -1 while it still runs after 30 s.
    int startAgain(const fs::path& program) {
        ChildProcess later(program, home.environment(), home.root() / "later.txt");
        return later.waitForExit(30s).value_or(-1);
    }
    // The lines of `output` that hold `text`.
    std::vector<std::string> linesWith(const fs::path& output, std::string_view text) const {
        std::istringstream lines(testimages::readBytes(output));
        std::vector<std::string> found;
        for (std::string line; std::getline(lines, line);)
            if (line.find(text) != std::string::npos)
                found.push_back(line);
        return found;
    }

    testing::PrivateHome home;
};

// Twice each: an address that is no URL, no address at all (an Info.plist without one), and
// the program as built when the build was given no address. The launch logs one line, goes on
// to its event loop without the report window, and leaves no new crash log behind for the next
// launch to trip over.
TEST_F(Launch, CrashLogThatCannotBeReportedNeverStopsTheLaunch) {
    const fs::path bin = home.root() / "bin";
    fs::create_directories(bin);
    fs::copy_file(kProgram, bin / "Lumsift");
    auto info = plist::Plist::readFile(kProgram.parent_path() / "Info.plist");
    ASSERT_TRUE(info);
    plist_dict_remove_item(info->get(), "KTWCrashReporterCrashSubmissionURL");
    std::ofstream(bin / "Info.plist") << info->toXml();

    const auto now = std::chrono::system_clock::now();
    UserDefaults::useFileForTesting(home.config() / "Lumsift/Lumsift.ini");
    UserDefaults::standard().setDate(now - 1h, "KTWCrashReporterLastCrashReportDate");
    fs::create_directories(crashLogs());
    std::ofstream(crashLogs() / "Lumsift_2024-01-01-120000_host.crash")
        << "Exception Type: SIGSEGV\n";
    home.handToOrdinaryUser();

    const std::string missing =
        "KTWCrashReporter error: Missing KTWCrashReporterCrashSubmissionURL: You must specify the "
        "URL for crash log submission as the KTWCrashReporterCrashSubmissionURL in either "
        "Info.plist or the user defaults!";
    const struct {
        fs::path program;
        const char* address; // none: not set
        std::string line;
    } cases[] = {
        {kProgram, "http://exa mple.com/ x",
         "KTWCrashReporter error: Invalid parameter not satisfying: nil != submissionURL"},
        {bin / "Lumsift", nullptr, missing},
        {kProgram, nullptr, missing},
    };
    // Every widget that is shown is marked for painting at once, in the log of Qt's painting:
    // a report window shown during the start-up is named there before the event loop runs.
    const std::vector<std::string> painting = {"QT_LOGGING_RULES=qt.widgets.painting=true"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        if (c.program == kProgram && !c.address && *LUMSIFT_BUILT_CRASH_SUBMISSION_URL != '\0') {
            std::cout << "[  SKIPPED ] the program as built: it was given a crash address\n";
            continue;
        }
        if (c.address)
            UserDefaults::standard().setString(c.address, "KTWCrashReporterCrashSubmissionURL");
        else
            UserDefaults::standard().removeObjectForKey("KTWCrashReporterCrashSubmissionURL");
        home.handToOrdinaryUser();
        const fs::path output = home.root() / "output.txt";
        fs::remove(output);
        for (int launch = 0; launch < 2; ++launch) {
            auto first = startFirst(c.program, output, painting);
            ASSERT_TRUE(first->running())
                << "ended with status " << first->waitForExit(0ms).value() << ":\n"
                << testimages::readBytes(output);
            EXPECT_EQ(startAgain(c.program), 0) << "the launch did not reach its event loop";
            EXPECT_TRUE(first->running());
            EXPECT_EQ(first->stop(SIGTERM), SIGTERM);
        }
        EXPECT_EQ(linesWith(output, c.line).size(), 2u)
            << ::testing::PrintToString(linesWith(output, "KTWCrashReporter error"));
        EXPECT_FALSE(linesWith(output, "name=\"MainWindow\"").empty()) << "no painting logged";
        EXPECT_TRUE(linesWith(output, "name=\"KTWCrashReporterWindow\"").empty())
            << "the report window was shown";
        EXPECT_EQ(std::distance(fs::directory_iterator(crashLogs()), {}), 1) << "a new crash log";
    }
}

// One instance per user: later starts ask the running one to bring its window forward and end.
// One that ended without tidying up (killed, or gone through exit after a move) leaves its lock
// and socket behind; the next start takes them over.
TEST_F(Launch, LaterStartBringsTheRunningWindowForwardAndEnds) {
    UserDefaults::useFileForTesting(home.config() / "Lumsift/Lumsift.ini");
    UserDefaults::standard().setString("https://crash-reports.lumsift.invalid/submit",
                                       "KTWCrashReporterCrashSubmissionURL");
    home.handToOrdinaryUser();
    const fs::path output = home.root() / "output.txt";
    auto first = startFirst(kProgram, output);
    ASSERT_TRUE(first->running()) << testimages::readBytes(output);
    EXPECT_EQ(startAgain(kProgram), 0);
    EXPECT_EQ(startAgain(kProgram), 0);
    EXPECT_TRUE(first->running());

    EXPECT_EQ(first->stop(SIGKILL), SIGKILL);
    ASSERT_TRUE(fs::exists(socket()));
    auto next = std::make_unique<ChildProcess>(kProgram, home.environment(), output);
    const fs::path lock = home.runtime() / "org.lumsift.Lumsift.lock";
    EXPECT_TRUE(testing::waitUntil(
        [&] {
            return !next->running() ||
                   testimages::readBytes(lock).starts_with(std::to_string(next->pid()) + "\n");
        },
        30s));
    ASSERT_TRUE(next->running()) << testimages::readBytes(output);
    EXPECT_EQ(startAgain(kProgram), 0);
}

} // namespace
} // namespace lumsift
