// Crash-log discovery: the address, the last-report date, the folder searched, the names that
// belong to this application, and the log of a real crash.
#include "Shared Code/KTWCrashReporter.h"

#include "CrashReporterTestSupport.h"
#include "platform/crashlog/CrashLogWriter.h"
#include "tests/support/ChildProcess.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <csignal>

using namespace std::chrono_literals;

namespace lumsift {
namespace {

using Clock = std::chrono::system_clock;
using Paths = std::vector<std::string>;
using KTWCrashReporterTest = test::CrashReporterFixture;

// No application object before the fork: the child must start from a quiet process.
class KTWCrashReporterAfterACrash : public test::CrashReporterFixture {
protected:
    KTWCrashReporterAfterACrash() { makeApplicationAtSetUp = false; }
};

TEST_F(KTWCrashReporterAfterACrash, OffersTheLogThatTheCrashLogWriterLeft) {
    setLastReportDate(Clock::now() - 1s);
    const testing::GuardedPage page;
    EXPECT_EQ(testing::signalOfChild([&] {
                  if (crashlog::installCrashLogWriter())
                      page.store();
              }),
              SIGSEGV);
    std::error_code ec;
    const std::vector<std::filesystem::path> logs{std::filesystem::directory_iterator(userLogs, ec),
                                                  {}};
    ASSERT_EQ(logs.size(), 1u);
    app.emplace(argc, argv);
    KTWCrashReporter::checkForNewCrashes();
    EXPECT_EQ(reportWindows(), Paths{logs.front().string()});
}

TEST_F(KTWCrashReporterTest, NoAddressAnywhereRaisesEvenWithoutLogs) {
    useBundle({{"KTWCrashReporterCrashSubmissionURL", ""}});
    try {
        KTWCrashReporter::checkForNewCrashes();
        FAIL();
    } catch (const NamedException& e) {
        EXPECT_EQ(e.name(), "Missing KTWCrashReporterCrashSubmissionURL");
        EXPECT_EQ(e.reason(), "You must specify the URL for crash log submission as the "
                              "KTWCrashReporterCrashSubmissionURL in either Info.plist or the "
                              "user defaults!");
    }
    EXPECT_FALSE(lastReportDate()); // nothing further ran
}

TEST_F(KTWCrashReporterTest, AddressInTheUserDefaultsWinsOverInfoPlist) {
    test::TestHttpServer server(test::TestHttpServer::answer("ok\n"));
    UserDefaults::standard().setString(server.url(), "KTWCrashReporterCrashSubmissionURL");
    setLastReportDate(Clock::now() - 1h);
    writeLog("Lumsift_a.crash", Clock::now());
    KTWCrashReporter::checkForNewCrashes();
    QWidget* window = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
        window = widget->objectName() == "KTWCrashReporterWindow" ? widget : window;
    ASSERT_NE(window, nullptr);
    window->findChild<QPushButton*>("reportButton")->click();
    // Until the sheet, so that the submission has ended before the application goes.
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return window->findChild<QMessageBox*>() != nullptr; }, 20000));
    EXPECT_EQ(server.requests.size(), 1u);
}

TEST_F(KTWCrashReporterTest, NoDateStoredStoresNowAndOffersNothing) {
    writeLog("Lumsift_old.crash", Clock::now() - 1h);
    const auto before = Clock::now();
    KTWCrashReporter::checkForNewCrashes();
    ASSERT_TRUE(lastReportDate());
    EXPECT_GE(*lastReportDate(), before);
    EXPECT_LE(*lastReportDate(), Clock::now());
    EXPECT_TRUE(reportWindows().empty());
}

// Of the new logs only the first in listing order is offered; discovery never moves the date.
TEST_F(KTWCrashReporterTest, EqualDateIsNotNewOneSecondLaterIsAndOnlyTheFirstIsOffered) {
    const auto reported = Clock::now() - 1h + 123456789ns;
    setLastReportDate(reported);
    writeLog("Lumsift_same.crash", reported);
    KTWCrashReporter::checkForNewCrashes();
    EXPECT_TRUE(reportWindows().empty());

    writeLog("Lumsift_later.crash", reported + 1s);
    writeLog("Lumsift_later2.crash", reported + 1s);
    const auto paths = KTWCrashReporter::crashLogPaths();
    ASSERT_EQ(paths.size(), 3u);
    const auto first = std::find_if(paths.begin(), paths.end(),
                                    [](const auto& path) { return !path.ends_with("same.crash"); });
    KTWCrashReporter::checkForNewCrashes();
    EXPECT_EQ(reportWindows(), Paths{*first});
    EXPECT_EQ(lastReportDate(), reported);
}

// The user's folder, even empty, hides the machine's; a file in its place does not. Names must
// begin with the bundle name exactly.
TEST_F(KTWCrashReporterTest, FolderSearchedAndNamesThatBelong) {
    EXPECT_TRUE(KTWCrashReporter::crashLogDirectories().empty());
    EXPECT_TRUE(KTWCrashReporter::crashLogPaths().empty());
    const auto log = writeLog(machineLogs / "Lumsift_m.crash", Clock::now());
    test::writeBytes(userLogs, "not a folder");
    EXPECT_EQ(KTWCrashReporter::crashLogDirectories(), Paths{machineLogs.string()});
    EXPECT_EQ(KTWCrashReporter::crashLogPaths(), Paths{log.string()});

    std::filesystem::remove(userLogs);
    std::filesystem::create_directories(userLogs);
    EXPECT_EQ(KTWCrashReporter::crashLogDirectories(), Paths{userLogs.string()});
    EXPECT_TRUE(KTWCrashReporter::crashLogPaths().empty());

    const auto other = writeLog("LumsiftHelper_1.crash", Clock::now());
    for (const char* name : {"lumsift_2.crash", "Other_3.crash", "nested/Lumsift_4.crash"})
        writeLog(name, Clock::now());
    const auto inside = writeLog("Lumsift.d/inner.crash", Clock::now());
    auto paths = KTWCrashReporter::crashLogPaths();
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (Paths{(userLogs / "Lumsift.d").string(), inside.string(), other.string()}));
}

TEST_F(KTWCrashReporterTest, AddressThatIsNoURLBreaksTheWindowsContract) {
    UserDefaults::standard().setString("http://exa mple.com/ x",
                                       "KTWCrashReporterCrashSubmissionURL");
    setLastReportDate(Clock::now() - 1h);
    writeLog("Lumsift_a.crash", Clock::now());
    EXPECT_EQ(test::brokenCondition([] { KTWCrashReporter::checkForNewCrashes(); }),
              "nil != submissionURL");
}

} // namespace
} // namespace lumsift
