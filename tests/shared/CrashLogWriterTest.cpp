// The crash-log writer: a child process that really crashes leaves a log that the next launch's
// discovery offers, and still dies of its signal.
#include "platform/crashlog/CrashLogWriter.h"

#include "CrashReporterTestSupport.h"
#include "Shared Code/KTWCrashReporter.h"

#include <csignal>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace lumsift {
namespace {

class CrashLogWriterTest : public test::CrashReporterFixture {
protected:
    // No application object before the fork: the child must start from a quiet process.
    CrashLogWriterTest() { makeApplicationAtSetUp = false; }

    // Runs `crash` in a child that installed the writer; returns the signal it died of (0 when it
    // did not die of one).
    template <typename Crash> static int crashChild(Crash crash) {
        const pid_t child = fork();
        if (child == 0) {
            if (crashlog::installCrashLogWriter())
                crash();
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    std::vector<std::filesystem::path> logs() const {
        std::error_code ec;
        return {std::filesystem::directory_iterator(userLogs, ec), {}};
    }
    static std::string text(const std::filesystem::path& log) {
        std::ifstream in(log, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
};

TEST_F(CrashLogWriterTest, SegmentationFaultLeavesALogThatTheNextLaunchOffers) {
    setLastReportDate(std::chrono::system_clock::now() - 1s);
    EXPECT_EQ(crashChild([] {
                  volatile int* volatile nowhere = nullptr;
                  *nowhere = 1;
              }),
              SIGSEGV);

    ASSERT_EQ(logs().size(), 1u);
    const auto log = logs().front();
    EXPECT_TRUE(std::regex_match(log.filename().string(),
                                 std::regex(R"(Lumsift_\d{4}-\d{2}-\d{2}-\d{6}_[^_/]+\.crash)")))
        << log;
    const std::string written = text(log);
    EXPECT_NE(written.find("Exception Type:  SIGSEGV (signal 11)\n"), std::string::npos) << written;
    EXPECT_NE(written.find("Fault Address:   0x0\n"), std::string::npos) << written;
    EXPECT_NE(written.find("\nBacktrace:\n"), std::string::npos);
    EXPECT_GT(written.size(), written.find("\nBacktrace:\n") + 20); // some frames
    app.emplace(argc, argv);
    KTWCrashReporter::checkForNewCrashes();
    EXPECT_EQ(reportWindows(), std::vector<std::string>{log.string()});
}

// Crashes in the same second get logs of their own.
TEST_F(CrashLogWriterTest, AbortAndSignalsAreLoggedAndStillEndTheProcess) {
    EXPECT_EQ(crashChild([] { std::abort(); }), SIGABRT);
    ASSERT_EQ(logs().size(), 1u);
    EXPECT_NE(text(logs().front()).find("Exception Type:  SIGABRT (signal 6)\n"),
              std::string::npos);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(crashChild([] { raise(SIGBUS); }), SIGBUS);
    EXPECT_EQ(logs().size(), 3u);
}

} // namespace
} // namespace lumsift
