// The crash report window: its form, the upload to a local server and how the answer is judged.
#include "Shared Code/KTWCrashReporterWindowController.h"

#include "CrashReporterTestSupport.h"
#include "Shared Code/KTWCrashReporter.h"
#include "platform/log/Log.h"

#include <QMessageBox>
#include <QRegularExpression>
#include <QTest>

using namespace std::chrono_literals;

namespace lumsift {
namespace {

using Clock = std::chrono::system_clock;
constexpr const char* kNowhere = "http://127.0.0.1:9/";
const QString kFailed = "An error occurred while submitting the crash report. | The error was: ";
const QString kSucceeded = "The crash report was successfully submitted. | Thank you for taking "
                           "the time to help improve Lumsift!";
const QString kUnrecognized = kFailed + "Unrecognized response from the server";

class KTWCrashReporterWindowControllerTest : public test::CrashReporterFixture {
protected:
    void SetUp() override {
        test::CrashReporterFixture::SetUp();
        unsetenv("EMAIL");
        writeLog(logPath, logDate);
        setLastReportDate(Clock::now() - 1h);
    }
    std::shared_ptr<KTWCrashReporterWindowController>
    makeController(const std::string& url = kNowhere) {
        auto controller = std::make_shared<KTWCrashReporterWindowController>();
        controller->setCrashLogPath(QString::fromStdString(logPath.string()));
        controller->setSubmissionURL(QUrl(QString::fromStdString(url)));
        controller->window()->show();
        return controller;
    }
    // The sheet's title and message, once it shows; it is then dismissed, and the window with it.
    static QString dismissSheet(KTWCrashReporterWindowController& controller) {
        QMessageBox* sheet = nullptr;
        if (!QTest::qWaitFor(
                [&] { return (sheet = controller.window()->findChild<QMessageBox*>()) != nullptr; },
                20000))
            return QStringLiteral("no sheet");
        const QString text = sheet->text() + " | " + sheet->informativeText();
        sheet->button(QMessageBox::Ok)->click();
        EXPECT_FALSE(controller.window()->isVisible());
        return text;
    }

    const UserDefaults::Date logDate = Clock::now() - 10min + 123ns;
    const std::filesystem::path logPath = userLogs / "Lumsift_2024-01-01-120000_host.crash";
};

// Success, which moves the date to the log's and deletes it, exactly on "ok\n", whatever the
// status and however many pieces it comes in. The request of the first: headers and form.
TEST_F(KTWCrashReporterWindowControllerTest, OnlyTheAnswerOkLineSucceeds) {
    using Server = test::TestHttpServer;
    const struct {
        std::vector<QByteArray> pieces;
        QString sheet; // empty: the connection's own error
    } cases[] = {
        {Server::answer("ok\n"), kSucceeded},
        {Server::answer("ok\n", 500), kSucceeded},
        {{"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\n", "o", "k", "\n"},
         kSucceeded},
        {Server::answer("ok"), kUnrecognized},
        {Server::answer("OK\n"), kUnrecognized},
        {Server::answer("ok\r\n"), kUnrecognized},
        {Server::answer(""), kUnrecognized},
        {Server::answer("\xff\xfe"), kUnrecognized},
        {{}, {}},
    };
    const auto reported = *lastReportDate();
    QByteArray request;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pieces.empty() ? "dropped" : c.pieces.back().toStdString());
        writeLog(logPath, logDate);
        setLastReportDate(reported);
        Server server(c.pieces);
        auto controller = makeController(server.url());
        controller->reportButton()->click();
        EXPECT_FALSE(controller->reportButton()->isEnabled());
        const QString sheet = dismissSheet(*controller);
        const bool succeeded = c.sheet == kSucceeded;
        if (c.sheet.isEmpty())
            EXPECT_TRUE(sheet.startsWith(kFailed) && sheet != kUnrecognized) << sheet.toStdString();
        else
            EXPECT_EQ(sheet, c.sheet);
        EXPECT_EQ(std::filesystem::exists(logPath), !succeeded);
        EXPECT_EQ(lastReportDate(), succeeded ? logDate : reported);
        if (&c == cases) {
            ASSERT_EQ(server.requests.size(), 1u);
            request = server.requests.front();
        }
    }
    const QByteArray body = request.mid(request.indexOf("\r\n\r\n") + 4);
    EXPECT_TRUE(request.startsWith("POST /submit HTTP/1.1\r\n"));
    EXPECT_TRUE(request.contains("\r\nContent-Type: multipart/form-data; "
                                 "boundary=81e29ba4f957efe5916039f587fe3ed7\r\n"));
    EXPECT_TRUE(request.contains("\r\nUser-Agent: KTWCrashReporter\r\n"));
    EXPECT_EQ(request.count("Content-Length"), 1);
    EXPECT_TRUE(
        request.contains("\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n"));
    for (const char* part :
         {"name=\"crashLog\"; filename=\"Lumsift_2024-01-01-120000_host.crash\"\r\nContent-Type: "
          "application/octet-stream\r\n\r\nException Type: SIGSEGV\n\r\n",
          "name=\"applicationName\"\r\n", "name=\"applicationIdentifier\"\r\n",
          "\r\n\r\ncom.example.lumsift\r\n", "name=\"applicationVersion\"\r\n",
          "name=\"applicationShortVersion\"\r\n", "name=\"systemInformationIncluded\"\r\n"})
        EXPECT_TRUE(body.contains(part)) << part;
}

// A second response discards what the first delivered; after the success only later logs are
// new at the next launch. A log that cannot be deleted is logged, leaves the date, and succeeds.
TEST_F(KTWCrashReporterWindowControllerTest, SecondResponseRestartsTheAnswer) {
    log::Capture capture;
    writeLog("Lumsift_earlier.crash", logDate - 1s);
    auto controller = makeController();
    controller->connection_didReceiveResponse();
    controller->connection_didReceiveData("junk");
    controller->connection_didReceiveResponse();
    controller->connection_didReceiveData("o");
    controller->connection_didReceiveData("k\n");
    controller->connectionDidFinishLoading();
    ASSERT_EQ(lastReportDate(), logDate);
    controller->window()->close();
    KTWCrashReporter::checkForNewCrashes();
    EXPECT_TRUE(reportWindows().empty());
    const auto later = writeLog("Lumsift_later.crash", logDate + 1s);
    KTWCrashReporter::checkForNewCrashes();
    EXPECT_EQ(reportWindows(), std::vector<std::string>{later.string()});

    setLastReportDate(logDate - 1h);
    auto deleted = makeController(); // of the log the first success deleted
    deleted->connection_didReceiveData("ok\n");
    deleted->connectionDidFinishLoading();
    EXPECT_EQ(lastReportDate(), logDate - 1h);
    EXPECT_TRUE(capture.contains("KTWCrashReporter error: Unable to delete the submitted crash log "
                                 "(Lumsift_2024-01-01-120000_host.crash): No such file or "
                                 "directory"));
    EXPECT_EQ(dismissSheet(*deleted), kSucceeded);
}

TEST_F(KTWCrashReporterWindowControllerTest, FormFollowsTheSwitchesTheCommentsAndTheBundle) {
    setenv("EMAIL", "jo@example.com", 1);
    auto controller = makeController();
    auto form = controller->crashReportForm();
    EXPECT_EQ(form.value("systemInformationIncluded"), QVariant(true));
    EXPECT_TRUE(form.contains("machine") && form.contains("physicalMemory"));
    EXPECT_EQ(form.value("emailAddress"), QStringLiteral("jo@example.com"));
    EXPECT_FALSE(form.contains("comments"));
    EXPECT_EQ(form.value("applicationShortVersion"), QStringLiteral("1.2"));
    EXPECT_EQ(controller->window()->windowTitle(), "Crash Reporter: Lumsift (1.2)");
    EXPECT_EQ(controller->commentsTextView()->placeholderText(),
              "Please enter a description of the actions leading up to the crash.");

    UserDefaults::standard().setBool(false, "KTWCrashReporterIncludeAnonymousSystemInformation");
    UserDefaults::standard().setBool(false, "KTWCrashReporterIncludeEmailAddress");
    controller->commentsTextView()->setPlainText(" ");
    form = controller->crashReportForm();
    EXPECT_EQ(form.value("systemInformationIncluded"), QVariant(false));
    for (const char* fact : {"machine", "model", "physicalMemory", "busFrequency", "CPUFrequency",
                             "CPUFamily", "CPUType", "CPUSubtype", "numberOfCPUs", "physicalCPUs",
                             "logicalCPUs", "systemVersion", "systemBuildVersion", "emailAddress"})
        EXPECT_FALSE(form.contains(fact)) << fact;
    EXPECT_EQ(form.value("comments"), QStringLiteral(" "));

    unsetenv("EMAIL");
    UserDefaults::standard().setBool(true, "KTWCrashReporterIncludeEmailAddress");
    useBundle({{"CFBundleShortVersionString", ""}});
    auto other = makeController();
    EXPECT_FALSE(other->emailAddress());
    EXPECT_FALSE(other->crashReportForm().contains("emailAddress"));
    EXPECT_FALSE(other->crashReportForm().contains("applicationShortVersion"));
    EXPECT_EQ(other->window()->windowTitle(), "Crash Reporter: Lumsift");
}

// en_US by default; Info.plist's setting, and the user defaults' over it.
TEST_F(KTWCrashReporterWindowControllerTest, DateInTheReportingLocale) {
    auto controller = makeController();
    const auto expectDate = [&](const char* pattern) {
        const QString date = controller->crashReportForm().value("date").toString();
        EXPECT_TRUE(QRegularExpression(pattern).match(date).hasMatch()) << date.toStdString();
    };
    expectDate(R"(^[A-Z][a-z]{2} \d{1,2}, \d{4}, \d{1,2}:\d{2}:\d{2}[\s\x{202f}][AP]M$)");
    useBundle({{"KTWCrashReporterPreferredReportingLocale", "fr_FR"}});
    expectDate(R"(^\d{1,2} [^\d\s]+\.? \d{4}, \d{2}:\d{2}:\d{2}$)");
    UserDefaults::standard().setString("de_DE", "KTWCrashReporterPreferredReportingLocale");
    expectDate(R"(^\d{2}\.\d{2}\.\d{4}, \d{2}:\d{2}:\d{2}$)");
}

TEST_F(KTWCrashReporterWindowControllerTest, TabAndShiftTabMoveTheFocusAndInsertNothing) {
    auto controller = makeController();
    controller->window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(controller->window()));
    QPlainTextEdit* comments = controller->commentsTextView();
    comments->setFocus();
    QTest::keyClick(comments, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), controller->discardButton());
    comments->setFocus();
    QTest::keyClick(comments, Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_NE(QApplication::focusWidget(), comments);
    EXPECT_TRUE(comments->toPlainText().isEmpty());
    QTest::keyClick(comments, Qt::Key_A);
    EXPECT_EQ(comments->toPlainText(), "a");
}

// Both leave the date; ignore leaves the log, discard moves it to the Trash or logs why not.
TEST_F(KTWCrashReporterWindowControllerTest, IgnoreAndDiscard) {
    const auto reported = *lastReportDate();
    log::Capture capture;
    for (int run = 0; run < 3; ++run) { // ignore; discard; discard of a log no longer there
        auto controller = makeController();
        (run == 0 ? controller->ignoreButton() : controller->discardButton())->click();
        EXPECT_FALSE(controller->window()->isVisible());
        EXPECT_EQ(std::filesystem::exists(logPath), run == 0);
    }
    EXPECT_TRUE(std::filesystem::exists(userLibrary / "Trash/files" / logPath.filename()));
    EXPECT_EQ(lastReportDate(), reported);
    EXPECT_TRUE(
        capture.contains("KTWCrashReporter: Unable to create FSRef for file " + logPath.string()));
}

TEST_F(KTWCrashReporterWindowControllerTest, ClosingTheWindowReleasesTheController) {
    std::weak_ptr<KTWCrashReporterWindowController> weak;
    {
        auto controller = makeController();
        controller->setSelf_reference(controller);
        weak = controller;
    }
    ASSERT_FALSE(weak.expired());
    weak.lock()->window()->close();
    EXPECT_FALSE(weak.lock()->self_reference());
    EXPECT_TRUE(QTest::qWaitFor([&] { return weak.expired(); }));
}

// A server that never answers ends, once no byte has moved for the transfer timeout, in the
// failure sheet; the log and the date stay for the next launch. 60 s unless a test shortens it.
TEST_F(KTWCrashReporterWindowControllerTest, ServerThatNeverAnswersEndsInTheFailureSheet) {
    EXPECT_EQ(makeController()->transferTimeout(), 60s);
    const auto reported = *lastReportDate();
    test::TestHttpServer server({}, test::TestHttpServer::silent);
    auto controller = makeController(server.url());
    controller->setTransferTimeout(300ms);
    controller->reportButton()->click();
    EXPECT_EQ(dismissSheet(*controller), kFailed + "The request timed out.");
    ASSERT_EQ(server.requests.size(), 1u);
    EXPECT_TRUE(server.requests[0].contains("name=\"crashLog\""));
    EXPECT_TRUE(std::filesystem::exists(logPath));
    EXPECT_EQ(lastReportDate(), reported);
}

// An answer longer than a few bytes cannot be "ok\n": the upload stops reading it at a small limit
// and fails as any other answer would.
TEST_F(KTWCrashReporterWindowControllerTest, HugeAnswerIsCutShortAndFails) {
    test::TestHttpServer server({}, test::TestHttpServer::flooding);
    auto controller = makeController(server.url());
    controller->reportButton()->click();
    EXPECT_EQ(dismissSheet(*controller), kUnrecognized);
    EXPECT_GT(server.sent, 0);
    EXPECT_LT(server.sent, qint64{64} << 20);
    EXPECT_TRUE(std::filesystem::exists(logPath));
}

TEST_F(KTWCrashReporterWindowControllerTest, NilParametersBreakTheContract) {
    using Controller = KTWCrashReporterWindowController;
    EXPECT_EQ(test::brokenCondition(
                  [] { Controller::showWindowForCrashLogPath(QString(), QUrl(kNowhere)); }),
              "nil != crashLogPath");
    EXPECT_EQ(test::brokenCondition([] { Controller::showWindowForCrashLogPath("/x", QUrl()); }),
              "nil != submissionURL");
    EXPECT_TRUE(reportWindows().empty());
    EXPECT_EQ(test::brokenCondition([&] { makeController()->showSubmissionFailedSheet(nullptr); }),
              "nil != error");
}

} // namespace
} // namespace lumsift
