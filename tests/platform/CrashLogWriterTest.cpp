// The crash-log writer: a child process that really crashes leaves a log in the user's crash-log
// folder, named for the bundle, and still dies of its signal.
#include "platform/crashlog/CrashLogWriter.h"

#include "platform/bundle/Bundle.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <sstream>

namespace lumsift {
namespace {

using testing::signalOfChild;

class CrashLogWriterTest : public ::testing::Test {
protected:
    // A bundle without Info.plist: the logs are named for the executable, "Lumsift".
    void SetUp() override {
        setenv("XDG_DATA_HOME", folder.path().c_str(), 1);
        Bundle::setMainForTesting(folder.path(), folder / "Lumsift", folder / "Info.plist",
                                  folder.path());
    }
    // Installs the writer in a child, runs `crash` there; the signal the child died of.
    template <typename Crash> static int crashChild(Crash crash) {
        return signalOfChild([&] {
            if (crashlog::installCrashLogWriter())
                crash();
        });
    }
    std::vector<std::filesystem::path> logs() const {
        std::error_code ec;
        return {std::filesystem::directory_iterator(folder / "Logs/DiagnosticReports", ec), {}};
    }

    testimages::TempDir folder;
};

TEST_F(CrashLogWriterTest, SegmentationFaultLeavesANamedLogWithABacktrace) {
    const testing::GuardedPage page;
    ASSERT_NE(page.address(), MAP_FAILED);
    EXPECT_EQ(crashChild([&] { page.store(); }), SIGSEGV);

    ASSERT_EQ(logs().size(), 1u);
    const auto log = logs().front();
    EXPECT_TRUE(std::regex_match(log.filename().string(),
                                 std::regex(R"(Lumsift_\d{4}-\d{2}-\d{2}-\d{6}_[^_/]+\.crash)")))
        << log;
    const std::string written = testimages::readBytes(log);
    EXPECT_NE(written.find("Exception Type:  SIGSEGV (signal 11)\n"), std::string::npos) << written;
    std::ostringstream address;
    address << "Fault Address:   0x" << std::hex << reinterpret_cast<uintptr_t>(page.address())
            << "\n";
    EXPECT_NE(written.find(address.str()), std::string::npos) << written;
    EXPECT_NE(written.find("\nBacktrace:\n"), std::string::npos);
    EXPECT_GT(written.size(), written.find("\nBacktrace:\n") + 20); // some frames
}

// Crashes in the same second get logs of their own.
TEST_F(CrashLogWriterTest, AbortAndSignalsAreLoggedAndStillEndTheProcess) {
    EXPECT_EQ(crashChild([] { std::abort(); }), SIGABRT);
    ASSERT_EQ(logs().size(), 1u);
    EXPECT_NE(testimages::readBytes(logs().front()).find("Exception Type:  SIGABRT (signal 6)\n"),
              std::string::npos);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(crashChild([] { raise(SIGBUS); }), SIGBUS);
    EXPECT_EQ(logs().size(), 3u);
}

} // namespace
} // namespace lumsift
