// The application delegate: start-up order, first page by SKIPSTARTSCREEN, the Next cycle and
// titles, the selection label on activation, alert sheets from worker threads and the
// read-access prompt.
#include "app/LumsiftAppDelegate.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/log/Log.h"
#include "tests/app/AppHarness.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace lumsift::app {
namespace {

using testing::AppHarness;

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
    ASSERT_EQ(alert->buttons().size(), 1);
    EXPECT_EQ(alert->buttons().front()->text(), "OK");

    alert->buttons().front()->click();
    EXPECT_TRUE(AppHarness::waitFor([&] { return openAlert(h.ui.window.get()) == nullptr; }));
}

TEST(LumsiftAppDelegate, ReadAccessPromptRepeatsUntilOpenThenAsksForTheParentFolder) {
    AppHarness h;
    h.launch();
    log::Capture log;
    h.answerPanels({"", "", "/photos", "/b"});

    h.ui.delegate->userSelectedFiles("/photos/Library.aplibrary");
    EXPECT_EQ(log.count("NSOpenPanel result = 0"), 2u);
    EXPECT_EQ(h.ui.delegate->userSelectedFilesCount(), 1u);
    h.ui.delegate->userSelectedFiles("/b/100%@ two.jpg");
    EXPECT_EQ(h.ui.delegate->userSelectedFilesCount(), 2u);

    const std::vector<OpenPanel> asked = h.askedPanels();
    ASSERT_EQ(asked.size(), 4u);
    for (const OpenPanel& panel : asked) {
        EXPECT_TRUE(panel.canChooseFiles());
        EXPECT_TRUE(panel.canChooseDirectories());
        EXPECT_TRUE(panel.allowedFileTypes().empty());
        EXPECT_EQ(panel.title(), "Read Access Required");
    }
    for (const int retried : {0, 1}) // the same panel again after each Cancel
        EXPECT_EQ(asked[retried].message(), asked[2].message());
    EXPECT_EQ(asked[2].directoryURL(), "/photos");
    EXPECT_EQ(asked[2].message(), "Lumsift Requires read access to Library.aplibrary.\nPlease "
                                  "select it or it's parent folder and hit the Open button.");
    EXPECT_EQ(asked[3].directoryURL(), "/b");
    EXPECT_EQ(asked[3].message(),
              "Lumsift Requires read access to 100%@ two.jpg.\nThis is due to externally "
              "referenced images in your library.  To avoid being asked again please select the "
              "parent folder for all your externally referenced pictures.");
}

} // namespace
} // namespace lumsift::app
