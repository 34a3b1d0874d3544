// The application delegate: start-up order, first page by SKIPSTARTSCREEN, the Next cycle and
// titles, the selection label on activation, alert sheets from worker threads and the
// read-access prompt.
#include "app/LumsiftAppDelegate.h"
#include "install/MoveEnvironment.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/log/Log.h"
#include "tests/app/AppHarness.h"
#include "tests/engine/support/EngineHarness.h"

#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QMessageBox>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

namespace lumsift::app {
namespace {

using testing::AppHarness;
using Access = LumsiftForApertureTestAccess;

QMessageBox* openAlert(QWidget* window) {
    for (QMessageBox* box : window->findChildren<QMessageBox*>())
        if (box->isVisible())
            return box;
    return nullptr;
}

// The page in the box: its content view's fixed first subview and then exactly this one.
QWidget* pageShown(const LumsiftAppDelegate& delegate) {
    const std::vector<QWidget*> subviews = delegate.box()->contentView()->subviews();
    return subviews.size() == 2 ? subviews[1] : nullptr;
}

// Calls `shown` when a window for `file` (its windowFilePath) is shown, while this lives.
class WindowShown final : public QObject {
public:
    WindowShown(const std::filesystem::path& file, std::function<void()> shown)
        : file_(QString::fromStdString(file.string())), shown_(std::move(shown)) {
        qApp->installEventFilter(this);
    }
    ~WindowShown() override { qApp->removeEventFilter(this); }
    // Closes every window for the file.
    void close() const {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (window->windowFilePath() == file_)
                window->close();
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            const auto* widget = static_cast<QWidget*>(watched);
            if (widget->isWindow() && widget->windowFilePath() == file_)
                shown_();
        }
        return false;
    }

private:
    QString file_;
    std::function<void()> shown_;
};

TEST(LumsiftAppDelegate, EngineHoldsTheDelegateBeforeTheFirstPageIsMade) {
    AppHarness h;
    // A load whose tag lists do not match alerts through the delegate: run one while the first
    // page is being made; the alert shows only if the engine holds the delegate by then.
    const std::string project = h.app->addProject("P");
    h.app->addVersion(project, "V1");
    h.app->setTagListMismatch(project, true);
    auto probe = std::make_shared<LoadingDataView>();
    h.ui = loadMainInterface();
    h.ui.delegate->setStartScreenViewController(new ViewController(
        [&] {
            h.engine.loadLibrary(probe->page());
            return std::make_unique<QWidget>();
        },
        h.ui.window.get()));
    h.ui.window->show();
    h.ui.delegate->applicationDidFinishLaunching();

    QMessageBox* alert = openAlert(h.ui.window.get());
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->text(), "ERROR");
}

// The start-up's order, each step seen as it happens: the crash check opens the report window
// for a new crash log, the move offer asks (and is declined), and only then does the engine
// hold the delegate, before the first page is made.
TEST(LumsiftAppDelegate, StartUpChecksForCrashesThenOffersTheMoveThenHandsTheEngineItself) {
    AppHarness h;
    // A bundle in Downloads named "Example", and a crash log of it newer than the last report.
    const std::filesystem::path bundle = h.folder() / "Downloads/Example.app";
    std::filesystem::create_directories(bundle / "Contents/MacOS");
    std::filesystem::create_directories(h.folder() / "opt");
    std::ofstream(bundle / "Contents/MacOS/Example") << "#!/bin/sh\n";
    std::ofstream(bundle / "Contents/Info.plist")
        << R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
           R"(<key>CFBundleName</key><string>Example</string>)"
           R"(<key>CFBundleExecutable</key><string>Example</string></dict></plist>)";
    const std::filesystem::path crashLog =
        h.folder() / "data/Logs/DiagnosticReports/Example_2024-05-01-101500_host.crash";
    std::filesystem::create_directories(crashLog.parent_path());
    std::ofstream(crashLog) << "Process: Example\n";
    UserDefaults::standard().setDate(std::chrono::system_clock::now() - std::chrono::hours(1),
                                     "KTWCrashReporterLastCrashReportDate");
    UserDefaults::standard().setBool(false, "moveToApplicationsFolderAlertSuppress");
    const Bundle saved = Bundle::main();
    Bundle::setMainForTesting(bundle, bundle / "Contents/MacOS/Example",
                              bundle / "Contents/Info.plist", bundle / "Contents/Resources");

    // Each step as it is seen, with whether the engine held the delegate by then.
    std::vector<std::string> steps;
    const auto seen = [&](const std::string& step) {
        steps.push_back(step + (Access::appDelegate(h.engine) ? ", engine has the delegate" : ""));
    };
    install::Environment environment = install::systemEnvironment();
    environment.userApplicationsFolders = {(h.folder() / "Applications").string()};
    environment.localApplicationsFolders = {(h.folder() / "opt").string()};
    environment.downloadsFolders = {(h.folder() / "Downloads").string()};
    environment.mountedDevice = [](const std::string&) { return std::optional<std::string>(); };
    environment.runAlert = [&](QMessageBox& offer) {
        seen("move offer: " + offer.text().toStdString());
    };
    environment.exitProcess = [](int status) { throw status; };
    WindowShown reportWindow(crashLog, [&] { seen("crash report window"); });
    h.ui = loadMainInterface();
    h.ui.delegate->setStartScreenViewController(new ViewController(
        [&] {
            seen("first page");
            return std::make_unique<QWidget>();
        },
        h.ui.window.get()));
    h.ui.window->show();
    {
        const install::ScopedEnvironment scoped(environment);
        h.ui.delegate->applicationDidFinishLaunching();
    }
    Bundle::setMainForTesting(saved.bundlePath(), saved.executablePath(), saved.infoPlistPath(),
                              saved.resourcePath());

    EXPECT_EQ(steps, (std::vector<std::string>{"crash report window",
                                               "move offer: Move to Applications folder?",
                                               "first page, engine has the delegate"}));
    reportWindow.close();
}

// No submission address anywhere: the crash check raises, the start-up logs it and goes on to
// the first page instead of ending the process.
TEST(LumsiftAppDelegate, CrashCheckThatRaisesIsLoggedAndTheStartUpGoesOn) {
    AppHarness h;
    UserDefaults::standard().removeObjectForKey("KTWCrashReporterCrashSubmissionURL");
    log::Capture log;
    h.launch();
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{
                  "KTWCrashReporter error: Missing KTWCrashReporterCrashSubmissionURL: "
                  "You must specify the URL for crash log submission as the "
                  "KTWCrashReporterCrashSubmissionURL in either Info.plist or the "
                  "user defaults!"});
    LumsiftAppDelegate& d = *h.ui.delegate;
    EXPECT_EQ(d.lumsiftForAperture(), &h.engine);
    EXPECT_EQ(d.currentViewController(), d.startScreenViewController());
    EXPECT_EQ(pageShown(d), d.startScreenViewController()->view());
}

// What a later start's request does to the window: restored from the task bar and shown.
TEST(MainInterface, BringToFrontRestoresAMinimisedWindow) {
    AppHarness h;
    h.launch();
    h.ui.window->showMinimized();
    bringToFront(*h.ui.window);
    EXPECT_FALSE(h.ui.window->isMinimized());
    EXPECT_TRUE(h.ui.window->isVisible());
}

// The icon drawn for Lumsift, in every size made from it, for the window and the alerts.
TEST(MainInterface, ApplicationIconComesFromTheBundlesResources) {
    AppHarness h;
    const Bundle built = Bundle::forExecutable(LUMSIFT_BINARY_DIR "/app/Lumsift");
    const Bundle saved = Bundle::main();
    Bundle::setMainForTesting(built.bundlePath(), built.executablePath(), built.infoPlistPath(),
                              built.resourcePath());
    h.launch();
    Bundle::setMainForTesting(saved.bundlePath(), saved.executablePath(), saved.infoPlistPath(),
                              saved.resourcePath());
    const QList<QSize> sizes = h.ui.window->windowIcon().availableSizes();
    for (const int size : {16, 32, 48, 256, 512})
        EXPECT_TRUE(sizes.contains(QSize(size, size))) << size;
    EXPECT_EQ(QApplication::windowIcon().availableSizes(), sizes);
}

TEST(LumsiftAppDelegate, FirstPageFollowsTheSkipKey) {
    for (const bool skip : {false, true}) {
        SCOPED_TRACE(skip);
        AppHarness h;
        h.addImages(3);
        if (skip)
            UserDefaults::standard().setBool(true, "SKIPSTARTSCREEN");
        h.launch();
        LumsiftAppDelegate& d = *h.ui.delegate;
        ViewController* first =
            skip ? d.loadingDataViewController() : d.startScreenViewController();
        ViewController* other =
            skip ? d.startScreenViewController() : d.loadingDataViewController();

        EXPECT_EQ(LumsiftAppDelegate::skipStartScreen(), skip);
        EXPECT_EQ(d.currentViewController(), first);
        EXPECT_EQ(pageShown(d), first->view());
        EXPECT_FALSE(other->isViewLoaded());
        EXPECT_EQ(d.nextButton()->text(), skip ? "Detect Similars" : "Load Library");
        if (skip) {
            // The load starts at once, and its enabling and disabling reach the Next button.
            LoadingDataView* page = d.loadingDataViewController()->loadingDataView();
            ASSERT_TRUE(AppHarness::waitUntilIdle(*page));
            EXPECT_EQ(page->totalImagesLabel()->stringValue(), "3");
            EXPECT_TRUE(d.nextButton()->isEnabled());
        }
        EXPECT_EQ(h.engine.dataLoaded(), skip);
        // A new skip setting is stored for the next launch and changes nothing now.
        LumsiftAppDelegate::setSkipStartScreen(!skip);
        EXPECT_EQ(UserDefaults::standard().boolForKey("SKIPSTARTSCREEN"), !skip);
        EXPECT_EQ(d.currentViewController(), first);
    }
}

TEST(LumsiftAppDelegate, NextCyclesThePagesWithTheirTitles) {
    AppHarness h;
    h.addImages(2);
    h.launch();
    LumsiftAppDelegate& d = *h.ui.delegate;
    const QRect bounds = d.box()->contentView()->rect();

    d.nextView();
    EXPECT_EQ(d.nextButton()->text(), "Detect Similars");
    EXPECT_EQ(pageShown(d), d.loadingDataViewController()->view());
    EXPECT_EQ(pageShown(d)->geometry(), bounds);
    LoadingDataView* loading = d.loadingDataViewController()->loadingDataView();
    ASSERT_TRUE(AppHarness::waitUntilIdle(*loading));
    EXPECT_FALSE(d.startScreenViewController()->view()->isVisible());

    d.nextView();
    EXPECT_EQ(d.currentViewController(), d.resultsViewController());
    EXPECT_EQ(d.nextButton()->text(), "Library Analysis");
    EXPECT_EQ(pageShown(d), d.resultsViewController()->view());

    loading->retrieveStatusLabel()->setStringValue("kept");
    d.nextView();
    EXPECT_EQ(d.currentViewController(), d.loadingDataViewController());
    EXPECT_EQ(d.nextButton()->text(), "Detect Similars");
    EXPECT_EQ(pageShown(d), loading);
    // No second wake: one load in all, and the page as it was left.
    AppHarness::processEvents();
    EXPECT_EQ(h.app->callsStartingWith("projects").size(), 1u);
    EXPECT_EQ(loading->retrieveStatusLabel()->stringValue(), "kept");
}

TEST(LumsiftAppDelegate, ActivationWritesTheSelectionCount) {
    AppHarness h;
    h.addImages(3);
    h.app->setSelection({"V0", "V2"});
    h.launch();
    QLabel* label = h.ui.delegate->selectedLabel();
    EXPECT_EQ(label->text(), ""); // the start-up leaves it to the first activation

    emit qGuiApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(label->text(), "2");
    h.app->setRunning(false);
    emit qGuiApp->applicationStateChanged(Qt::ApplicationInactive);
    EXPECT_EQ(label->text(), "2");
    emit qGuiApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(label->text(), "0");
}

// The photo application fails every request it is sent (it can still say whether it runs):
// each road from the window into it ends in the window, never in the event loop. Activation
// shows "0" as when the application is not running and alerts nothing; the search, the
// analysis and the reload stop with their own messages; Clear Keywords logs and alerts and
// keeps its keywords to try again; the analysis choice recounts from the loaded lists.
TEST(LumsiftAppDelegate, AFailingPhotoApplicationNeverEndsTheProcessOnAnyRoad) {
    AppHarness h;
    h.addImages(3, 2); // V0 and V1 carry the same plus fingerprint
    h.app->setSelection({"V0"});
    h.launch();
    LumsiftAppDelegate& d = *h.ui.delegate;
    QWidget* window = h.ui.window.get();
    // The text of the alert now open, closed with its OK; empty when none is open.
    const auto takeAlert = [&]() -> std::string {
        AppHarness::processEvents();
        QMessageBox* alert = openAlert(window);
        if (alert == nullptr)
            return {};
        const std::string title = alert->text().toStdString();
        QTest::mouseClick(alert->buttons().front(), Qt::LeftButton);
        EXPECT_TRUE(AppHarness::waitFor([&] { return openAlert(window) == nullptr; }));
        return title;
    };
    // A search that keywords V0 and V1, for Clear Keywords to remove.
    QTest::mouseClick(d.nextButton(), Qt::LeftButton);
    LoadingDataView* loading = d.loadingDataViewController()->loadingDataView();
    ASSERT_TRUE(AppHarness::waitUntilIdle(*loading));
    QTest::mouseClick(d.nextButton(), Qt::LeftButton);
    auto* results = static_cast<ResultsView*>(d.resultsViewController()->view());
    const auto search = [&] {
        QTest::mouseClick(results->startSearchButton(), Qt::LeftButton);
        return AppHarness::waitFor([&] { return results->startSearchButton()->isEnabled(); });
    };
    ASSERT_TRUE(search());
    AppHarness::processEvents();
    ASSERT_TRUE(results->clearKeywordsEnabled());

    for (const char* call :
         {"version", "projects", "selection", "exportVersions", "projectName", "projectVersionIds",
          "projectTagValues", "projectTagNames", "versionName", "versionHeight", "versionOnline",
          "versionOtherTag", "versionTagValues", "versionTagNames", "addCustomTag",
          "versionKeywords", "addKeyword", "deleteKeyword"})
        h.app->failOn(call);
    log::Capture log;

    // Activation.
    d.selectedLabel()->setText("1");
    emit qGuiApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(d.selectedLabel()->text(), "0");
    EXPECT_TRUE(log.contains(
        "LumsiftForAperture selectionCount: FakeFailure: injected failure of selection"));
    EXPECT_EQ(takeAlert(), "");

    // Clear Keywords: its own alert, and the keywords stay recorded.
    QTest::mouseClick(results->findChild<QPushButton*>("clearKeywordsButton"), Qt::LeftButton);
    EXPECT_EQ(takeAlert(), "ERROR");
    EXPECT_TRUE(results->clearKeywordsEnabled());

    // The start of a search.
    ASSERT_TRUE(search());
    AppHarness::processEvents();
    EXPECT_EQ(results->retrieveStatusLabel()->stringValue(), "Search Stopped");
    EXPECT_EQ(results->specialMessagesLabel()->stringValue(),
              "The search stopped: Aperture did not answer (injected failure of selection).");
    EXPECT_TRUE(d.nextButton()->isEnabled());

    // The analysis choice recounts what the last load read.
    QTest::mouseClick(d.nextButton(), Qt::LeftButton);
    QTest::mouseClick(loading->findChild<QRadioButton*>("algorithmPlus"), Qt::LeftButton);
    AppHarness::processEvents();
    EXPECT_EQ(loading->analysedImagesLabel()->stringValue(), "2");
    EXPECT_EQ(loading->notAnalysedImagesLabel()->stringValue(), "1");

    // An analysis of the selection.
    QTest::mouseClick(loading->analyseSelectionButton(), Qt::LeftButton); // the panel: Cancel
    ASSERT_TRUE(AppHarness::waitUntilIdle(*loading));
    EXPECT_EQ(takeAlert(), "ERROR");
    EXPECT_EQ(loading->retrieveStatusLabel()->stringValue(), "Analysis Stopped");

    // A reload.
    QTest::mouseClick(loading->reloadButton(), Qt::LeftButton);
    ASSERT_TRUE(AppHarness::waitUntilIdle(*loading));
    EXPECT_EQ(takeAlert(), "ERROR");
    EXPECT_TRUE(loading->reloadButton()->isEnabled());
    EXPECT_TRUE(window->isVisible());
}

TEST(LumsiftAppDelegate, AlertFromAWorkerReturnsOnceTheSheetIsUp) {
    AppHarness h;
    h.launch();
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        h.ui.delegate->showAlert("<b>IMG_1</b> was not found.", "Stale Library Data");
        returned = true;
    });
    ASSERT_TRUE(AppHarness::waitFor([&] { return returned.load(); }));
    worker.join();
    // Back on the worker while the sheet still waits for OK.
    QMessageBox* alert = openAlert(h.ui.window.get());
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->windowModality(), Qt::WindowModal);
    EXPECT_EQ(alert->text(), "Stale Library Data");
    EXPECT_EQ(alert->informativeText(), "<b>IMG_1</b> was not found.");
    EXPECT_EQ(alert->icon(), QMessageBox::Warning);
    // Image names are never read as markup.
    EXPECT_EQ(alert->textFormat(), Qt::PlainText);
    EXPECT_EQ(alert->findChild<QLabel*>("qt_msgbox_informativelabel")->textFormat(), Qt::PlainText);
    // The title is the bold first line, the message below it in the ordinary weight.
    EXPECT_TRUE(alert->findChild<QLabel*>("qt_msgbox_label")->font().bold());
    EXPECT_FALSE(alert->findChild<QLabel*>("qt_msgbox_informativelabel")->font().bold());
    ASSERT_EQ(alert->buttons().size(), 1);
    EXPECT_EQ(alert->buttons().front()->text(), "OK");

    alert->buttons().front()->click();
    EXPECT_TRUE(AppHarness::waitFor([&] { return openAlert(h.ui.window.get()) == nullptr; }));
}

TEST(LumsiftAppDelegate, ReadAccessPromptEndsAtCancelAndAsksForTheParentFolderAfterAnOpen) {
    AppHarness h;
    h.launch();
    log::Capture log;
    h.answerPanels({"", "/photos", "/b"});

    // Cancel ends the prompt: choosing an item grants nothing here, so it could not be escaped.
    h.ui.delegate->userSelectedFiles("/photos/Library.aplibrary");
    EXPECT_EQ(log.count("NSOpenPanel result = 0"), 1u);
    EXPECT_EQ(h.ui.delegate->userSelectedFilesCount(), 0u);
    h.ui.delegate->userSelectedFiles("/photos/Library.aplibrary");
    EXPECT_EQ(h.ui.delegate->userSelectedFilesCount(), 1u);
    h.ui.delegate->userSelectedFiles("/b/100%@ two.jpg");
    EXPECT_EQ(h.ui.delegate->userSelectedFilesCount(), 2u);

    const std::vector<OpenPanel> asked = h.askedPanels();
    ASSERT_EQ(asked.size(), 3u);
    for (const OpenPanel& panel : asked) {
        EXPECT_TRUE(panel.canChooseFiles());
        EXPECT_TRUE(panel.canChooseDirectories());
        EXPECT_TRUE(panel.allowedFileTypes().empty());
        EXPECT_EQ(panel.title(), "Read Access Required");
    }
    EXPECT_EQ(asked[0].message(), asked[1].message()) << "a cancelled prompt counts for nothing";
    EXPECT_EQ(asked[1].directoryURL(), "/photos");
    EXPECT_EQ(asked[1].message(), "Lumsift Requires read access to Library.aplibrary.\nPlease "
                                  "select it or it's parent folder and hit the Open button.");
    EXPECT_EQ(asked[2].directoryURL(), "/b");
    EXPECT_EQ(asked[2].message(),
              "Lumsift Requires read access to 100%@ two.jpg.\nThis is due to externally "
              "referenced images in your library.  To avoid being asked again please select the "
              "parent folder for all your externally referenced pictures.");
}

TEST(LumsiftAppDelegate, ClosingTheWindowDuringARunAsksAndStopsItAtTheNextImage) {
    AppHarness h;
    h.addImages(3);
    h.launch();
    LumsiftAppDelegate& d = *h.ui.delegate;
    QTest::mouseClick(d.nextButton(), Qt::LeftButton);
    LoadingDataView* loading = d.loadingDataViewController()->loadingDataView();
    ASSERT_TRUE(AppHarness::waitUntilIdle(*loading));
    // The analysis waits in V1's step until the test lets it go on.
    std::atomic<bool> reached{false};
    std::atomic<bool> goOn{false};
    const std::unique_ptr<std::atomic<bool>, void (*)(std::atomic<bool>*)> letGoAtTheEnd(
        &goOn, [](std::atomic<bool>* flag) { *flag = true; });
    h.app->setRequestHook([&](const std::string& entry) {
        if (entry != "versionHeight V1")
            return;
        reached = true;
        while (!goOn)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    QTest::mouseClick(loading->analyseButton(), Qt::LeftButton); // the package panel: Cancel
    ASSERT_TRUE(AppHarness::waitFor([&] { return reached.load(); }));
    const auto answer = [&](const char* button) {
        QMessageBox* question = openAlert(h.ui.window.get());
        ASSERT_NE(question, nullptr);
        EXPECT_EQ(question->text(), "Lumsift is still working.");
        for (QAbstractButton* b : question->buttons())
            if (b->text() == button)
                QTest::mouseClick(b, Qt::LeftButton);
    };

    // Continue: the window stays and the run goes on.
    EXPECT_FALSE(h.ui.window->close());
    answer("Continue");
    AppHarness::processEvents();
    EXPECT_TRUE(h.ui.window->isVisible());
    EXPECT_TRUE(h.engine.runUnderway());

    // Stop and Quit: V1's step ends whole, V2 is not begun, then the window closes.
    EXPECT_FALSE(h.ui.window->close());
    answer("Stop and Quit");
    goOn = true;
    ASSERT_TRUE(AppHarness::waitFor([&] { return !h.ui.window->isVisible(); }));
    EXPECT_FALSE(h.engine.runUnderway());
    EXPECT_EQ(h.app->customTag("V1", "LumsiftPro"), "0"); // no file to be had: a problem image
    EXPECT_TRUE(h.app->callsStartingWith("versionHeight V2").empty());
    EXPECT_EQ(loading->retrieveStatusLabel()->stringValue(), "Analysis Stopped");
}

TEST(LumsiftAppDelegate, ClosingTheWindowWithNoRunUnderwayAsksNothing) {
    AppHarness h;
    h.launch();
    EXPECT_TRUE(h.ui.window->close());
    EXPECT_EQ(openAlert(h.ui.window.get()), nullptr);
}

TEST(LumsiftAppDelegate, TheStartPagesSkipBoxStoresTheSetting) {
    AppHarness h;
    h.launch();
    auto* skip = h.ui.delegate->startScreenViewController()->view()->findChild<QCheckBox*>(
        "skipStartScreenCheckBox");
    ASSERT_NE(skip, nullptr);
    QTest::mouseClick(skip, Qt::LeftButton);
    EXPECT_TRUE(LumsiftAppDelegate::skipStartScreen());
    EXPECT_TRUE(UserDefaults::standard().boolForKey("SKIPSTARTSCREEN"));
    QTest::mouseClick(skip, Qt::LeftButton);
    EXPECT_FALSE(UserDefaults::standard().boolForKey("SKIPSTARTSCREEN"));
}

} // namespace
} // namespace lumsift::app
