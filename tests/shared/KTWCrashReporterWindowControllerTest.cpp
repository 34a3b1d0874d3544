// The crash report window: the form it builds from the user defaults, the upload to a local
// server and how each answer is judged, the sheets, ignore, discard and the Tab keys.
#include "Shared Code/KTWCrashReporterWindowController.h"

#include "CrashReporterTestSupport.h"
#include "Shared Code/KTWCrashReporter.h"
#include "Shared Code/KTWExceptions.h"
#include "platform/log/Log.h"

#include <QMessageBox>
#include <QRegularExpression>
#include <QTest>

using namespace std::chrono_literals;

namespace lumsift {
namespace {

using Clock = std::chrono::system_clock;
constexpr const char* kBoundary = "81e29ba4f957efe5916039f587fe3ed7";
const char* const kFacts[] = {
    "machine",     "model",         "physicalMemory",    "busFrequency", "CPUFrequency",
    "CPUFamily",   "CPUType",       "CPUSubtype",        "numberOfCPUs", "physicalCPUs",
    "logicalCPUs", "systemVersion", "systemBuildVersion"};

class KTWCrashReporterWindowControllerTest : public test::CrashReporterFixture {
protected:
    void SetUp() override {
        test::CrashReporterFixture::SetUp();
        unsetenv("EMAIL");
        logDate = Clock::now() - 10min + 123ns;
        logPath = writeLog("Lumsift_2024-01-01-120000_host.crash", logDate);
        setLastReportDate(Clock::now() - 1h);
    }
    std::shared_ptr<KTWCrashReporterWindowController> makeController(const std::string& url) {
        auto controller = std::make_shared<KTWCrashReporterWindowController>();
        controller->setCrashLogPath(QString::fromStdString(logPath.string()));
        controller->setSubmissionURL(QUrl(QString::fromStdString(url)));
        controller->window()->show();
        return controller;
    }
    // Sends the report to a server answering with `pieces`; returns the sheet's informative text.
    QString sendTo(test::TestHttpServer& server) {
        auto controller = makeController(server.url());
        controller->reportButton()->click();
        EXPECT_FALSE(controller->reportButton()->isEnabled());
        QMessageBox* sheet = nullptr;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return (sheet = controller->window()->findChild<QMessageBox*>()) != nullptr; },
            20000));
        if (sheet == nullptr)
            return QStringLiteral("no sheet");
        const QString text = sheet->text() + " | " + sheet->informativeText();
        sheet->button(QMessageBox::Ok)->click();
        EXPECT_FALSE(controller->window()->isVisible()); // the sheet's end hides the window
        return text;
    }
    static std::map<std::string, test::FormPart> sentForm(const test::TestHttpServer& server) {
        if (server.requests().empty())
            return {};
        const QByteArray request = server.requests().front();
        return test::parseForm(request.mid(request.indexOf("\r\n\r\n") + 4), kBoundary);
    }

    UserDefaults::Date logDate;
    std::filesystem::path logPath;
};

const QString kSucceeded = QStringLiteral("The crash report was successfully submitted. | Thank "
                                          "you for taking the time to help improve Lumsift!");
const QString kUnrecognized = QStringLiteral("An error occurred while submitting the crash "
                                             "report. | The error was: Unrecognized response "
                                             "from the server");

TEST_F(KTWCrashReporterWindowControllerTest, OkAnswerMovesTheDateToTheLogsAndDeletesIt) {
    test::TestHttpServer server(test::TestHttpServer::answer("ok\n"));
    EXPECT_EQ(sendTo(server), kSucceeded);
    EXPECT_EQ(lastReportDate(), logDate);
    EXPECT_FALSE(std::filesystem::exists(logPath));

    ASSERT_EQ(server.requests().size(), 1u);
    const QByteArray request = server.requests().front();
    const QByteArray body = request.mid(request.indexOf("\r\n\r\n") + 4);
    EXPECT_TRUE(request.startsWith("POST /submit HTTP/1.1\r\n"));
    EXPECT_TRUE(request.contains(
        "\r\nContent-Type: multipart/form-data; boundary=" + QByteArray(kBoundary) + "\r\n"));
    EXPECT_TRUE(request.contains("\r\nUser-Agent: KTWCrashReporter\r\n"));
    EXPECT_EQ(request.count("Content-Length"), 1);
    EXPECT_TRUE(
        request.contains("\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n"));
    const auto form = sentForm(server);
    EXPECT_EQ(form.at("crashLog").content, "Exception Type: SIGSEGV\n");
    EXPECT_NE(form.at("crashLog").headers.find("filename=\"Lumsift_2024-01-01-120000_host.crash\""),
              std::string::npos);
    EXPECT_EQ(form.at("applicationName").content, "Lumsift");
    EXPECT_EQ(form.at("applicationIdentifier").content, "com.example.lumsift");
    EXPECT_EQ(form.at("applicationVersion").content, "42");
    EXPECT_EQ(form.at("applicationShortVersion").content, "1.2");
    EXPECT_EQ(form.at("systemInformationIncluded").content, "1");
}

TEST_F(KTWCrashReporterWindowControllerTest, OkWithStatus500IsSuccess) {
    test::TestHttpServer server(test::TestHttpServer::answer("ok\n", 500));
    EXPECT_EQ(sendTo(server), kSucceeded);
    EXPECT_EQ(lastReportDate(), logDate);
}

TEST_F(KTWCrashReporterWindowControllerTest, AnythingButOkLineIsUnrecognized) {
    const auto reported = *lastReportDate();
    for (const QByteArray& answer : {QByteArray("ok"), QByteArray("OK\n"), QByteArray("ok\r\n"),
                                     QByteArray(""), QByteArray("\xff\xfe")}) {
        test::TestHttpServer server(test::TestHttpServer::answer(answer));
        EXPECT_EQ(sendTo(server), kUnrecognized) << answer.toStdString();
        EXPECT_TRUE(std::filesystem::exists(logPath));
        EXPECT_EQ(lastReportDate(), reported);
    }
}

TEST_F(KTWCrashReporterWindowControllerTest, AnswerInPiecesIsJoined) {
    test::TestHttpServer server(
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\n", "o", "k", "\n"});
    EXPECT_EQ(sendTo(server), kSucceeded);
}

TEST_F(KTWCrashReporterWindowControllerTest, DroppedConnectionShowsTheConnectionsError) {
    const auto reported = *lastReportDate();
    test::TestHttpServer server({});
    const QString text = sendTo(server);
    EXPECT_TRUE(text.startsWith("An error occurred while submitting the crash report. | The "
                                "error was: "))
        << text.toStdString();
    EXPECT_NE(text, kUnrecognized);
    EXPECT_TRUE(std::filesystem::exists(logPath));
    EXPECT_EQ(lastReportDate(), reported);
}

TEST_F(KTWCrashReporterWindowControllerTest, SecondResponseDiscardsWhatTheFirstDelivered) {
    auto controller = makeController("http://127.0.0.1:9/");
    controller->connection_didReceiveResponse();
    controller->connection_didReceiveData("junk");
    controller->connection_didReceiveResponse();
    controller->connection_didReceiveData("o");
    controller->connection_didReceiveData("k\n");
    controller->connectionDidFinishLoading();
    EXPECT_EQ(lastReportDate(), logDate);
}

TEST_F(KTWCrashReporterWindowControllerTest, AfterASuccessOnlyLaterLogsAreNew) {
    const auto earlier = writeLog("Lumsift_earlier.crash", logDate - 1s);
    auto controller = makeController("http://127.0.0.1:9/");
    controller->connection_didReceiveResponse();
    controller->connection_didReceiveData("ok\n");
    controller->connectionDidFinishLoading();
    ASSERT_EQ(lastReportDate(), logDate);
    controller->window()->close();

    KTWCrashReporter::checkForNewCrashes();
    EXPECT_TRUE(reportWindows().empty());
    const auto later = writeLog("Lumsift_later.crash", logDate + 1s);
    KTWCrashReporter::checkForNewCrashes();
    ASSERT_EQ(reportWindows().size(), 1u);
    EXPECT_EQ(reportWindows().front()->windowFilePath().toStdString(), later.string());
}

TEST_F(KTWCrashReporterWindowControllerTest, LogThatCannotBeDeletedIsLoggedAndStillSucceeds) {
    log::Capture capture;
    auto controller = makeController("http://127.0.0.1:9/");
    std::filesystem::remove(logPath);
    const auto reported = *lastReportDate();
    controller->connection_didReceiveData("ok\n");
    controller->connectionDidFinishLoading();
    EXPECT_EQ(lastReportDate(), reported); // no modification date to store
    EXPECT_TRUE(capture.contains("KTWCrashReporter error: Unable to delete the submitted crash log "
                                 "(Lumsift_2024-01-01-120000_host.crash): No such file or "
                                 "directory"));
    QMessageBox* sheet = nullptr;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return (sheet = controller->window()->findChild<QMessageBox*>()) != nullptr; }));
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->text(), "The crash report was successfully submitted.");
}

TEST_F(KTWCrashReporterWindowControllerTest, SystemInformationSwitch) {
    auto controller = makeController("http://127.0.0.1:9/");
    auto form = controller->crashReportForm();
    EXPECT_EQ(form.value("systemInformationIncluded"), QVariant(true));
    EXPECT_TRUE(form.contains("machine"));
    EXPECT_TRUE(form.contains("physicalMemory"));

    UserDefaults::standard().setBool(false, "KTWCrashReporterIncludeAnonymousSystemInformation");
    form = controller->crashReportForm();
    EXPECT_EQ(form.value("systemInformationIncluded"), QVariant(false));
    for (const char* fact : kFacts)
        EXPECT_FALSE(form.contains(fact)) << fact;
}

TEST_F(KTWCrashReporterWindowControllerTest, EmailAddressSwitch) {
    setenv("EMAIL", "jo@example.com", 1);
    auto controller = makeController("http://127.0.0.1:9/");
    EXPECT_EQ(controller->emailAddress(), QStringLiteral("jo@example.com"));
    EXPECT_EQ(controller->crashReportForm().value("emailAddress"),
              QStringLiteral("jo@example.com"));
    UserDefaults::standard().setBool(false, "KTWCrashReporterIncludeEmailAddress");
    EXPECT_FALSE(controller->crashReportForm().contains("emailAddress"));

    unsetenv("EMAIL");
    UserDefaults::standard().setBool(true, "KTWCrashReporterIncludeEmailAddress");
    auto withoutAddress = makeController("http://127.0.0.1:9/");
    EXPECT_FALSE(withoutAddress->emailAddress());
    EXPECT_FALSE(withoutAddress->crashReportForm().contains("emailAddress"));
}

TEST_F(KTWCrashReporterWindowControllerTest, CommentsAreSentUnlessEmpty) {
    auto controller = makeController("http://127.0.0.1:9/");
    EXPECT_FALSE(controller->crashReportForm().contains("comments"));
    controller->commentsTextView()->setPlainText(" ");
    EXPECT_EQ(controller->crashReportForm().value("comments"), QStringLiteral(" "));
}

TEST_F(KTWCrashReporterWindowControllerTest, TitleAndFieldsWithoutShortVersion) {
    auto keys = test::applicationKeys("");
    keys.erase("CFBundleShortVersionString");
    test::useBundle(scratch.path() / "bundle", keys);
    auto controller = makeController("http://127.0.0.1:9/");
    EXPECT_EQ(controller->window()->windowTitle(), "Crash Reporter: Lumsift");
    EXPECT_FALSE(controller->crashReportForm().contains("applicationShortVersion"));
    EXPECT_EQ(makeController("http://127.0.0.1:9/")->commentsTextView()->placeholderText(),
              "Please enter a description of the actions leading up to the crash.");

    test::useBundle(scratch.path() / "bundle", test::applicationKeys(""));
    EXPECT_EQ(makeController("http://127.0.0.1:9/")->window()->windowTitle(),
              "Crash Reporter: Lumsift (1.2)");
}

TEST_F(KTWCrashReporterWindowControllerTest, DateInTheReportingLocale) {
    auto controller = makeController("http://127.0.0.1:9/");
    const QRegularExpression english(
        R"(^[A-Z][a-z]{2} \d{1,2}, \d{4}, \d{1,2}:\d{2}:\d{2}[\s\x{202f}][AP]M$)");
    EXPECT_TRUE(english.match(controller->crashReportForm().value("date").toString()).hasMatch())
        << controller->crashReportForm().value("date").toString().toStdString();

    auto keys = test::applicationKeys("");
    keys["KTWCrashReporterPreferredReportingLocale"] = "fr_FR";
    test::useBundle(scratch.path() / "bundle", keys);
    const QRegularExpression french(R"(^\d{1,2} [^\d\s]+\.? \d{4}, \d{2}:\d{2}:\d{2}$)");
    EXPECT_TRUE(french.match(controller->crashReportForm().value("date").toString()).hasMatch())
        << controller->crashReportForm().value("date").toString().toStdString();

    UserDefaults::standard().setString("de_DE", "KTWCrashReporterPreferredReportingLocale");
    const QRegularExpression german(R"(^\d{2}\.\d{2}\.\d{4}, \d{2}:\d{2}:\d{2}$)");
    EXPECT_TRUE(german.match(controller->crashReportForm().value("date").toString()).hasMatch())
        << controller->crashReportForm().value("date").toString().toStdString();
}

TEST_F(KTWCrashReporterWindowControllerTest, TabAndShiftTabMoveTheFocusAndInsertNothing) {
    auto controller = makeController("http://127.0.0.1:9/");
    QWidget* window = controller->window();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
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

TEST_F(KTWCrashReporterWindowControllerTest, IgnoreLeavesTheLogAndTheDate) {
    const auto reported = *lastReportDate();
    auto controller = makeController("http://127.0.0.1:9/");
    controller->ignoreButton()->click();
    EXPECT_FALSE(controller->window()->isVisible());
    EXPECT_TRUE(std::filesystem::exists(logPath));
    EXPECT_EQ(lastReportDate(), reported);
}

TEST_F(KTWCrashReporterWindowControllerTest, DiscardMovesTheLogToTheTrash) {
    const auto reported = *lastReportDate();
    auto controller = makeController("http://127.0.0.1:9/");
    controller->discardButton()->click();
    EXPECT_FALSE(controller->window()->isVisible());
    EXPECT_FALSE(std::filesystem::exists(logPath));
    EXPECT_TRUE(std::filesystem::exists(userLibrary() / "Trash/files" / logPath.filename()));
    EXPECT_EQ(lastReportDate(), reported);

    log::Capture capture;
    auto missing = makeController("http://127.0.0.1:9/");
    missing->discardButton()->click();
    EXPECT_TRUE(
        capture.contains("KTWCrashReporter: Unable to create FSRef for file " + logPath.string()));
    EXPECT_FALSE(missing->window()->isVisible());
}

TEST_F(KTWCrashReporterWindowControllerTest, ClosingTheWindowReleasesTheController) {
    std::weak_ptr<KTWCrashReporterWindowController> weak;
    {
        auto controller = makeController("http://127.0.0.1:9/");
        controller->setSelf_reference(controller);
        weak = controller;
    }
    ASSERT_FALSE(weak.expired());
    weak.lock()->window()->close();
    EXPECT_FALSE(weak.lock()->self_reference());
    EXPECT_TRUE(QTest::qWaitFor([&] { return weak.expired(); }));
}

TEST_F(KTWCrashReporterWindowControllerTest, NilParametersBreakTheContract) {
    try {
        KTWCrashReporterWindowController::showWindowForCrashLogPath(QString(), QUrl("http://x/"));
        FAIL();
    } catch (const InvalidParameterException& e) {
        EXPECT_STREQ(e.what(), "Invalid parameter not satisfying: nil != crashLogPath");
    }
    try {
        KTWCrashReporterWindowController::showWindowForCrashLogPath("/x", QUrl());
        FAIL();
    } catch (const InvalidParameterException& e) {
        EXPECT_EQ(e.condition(), "nil != submissionURL");
    }
    EXPECT_TRUE(reportWindows().empty());
    try {
        makeController("http://127.0.0.1:9/")->showSubmissionFailedSheet(nullptr);
        FAIL();
    } catch (const InvalidParameterException& e) {
        EXPECT_EQ(e.condition(), "nil != error");
    }
}

} // namespace
} // namespace lumsift
