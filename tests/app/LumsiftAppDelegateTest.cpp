// The application delegate: start-up order, first page by SKIPSTARTSCREEN, the Next cycle and
// titles, the selection label on activation, alert sheets from worker threads, the read-access
// prompt and the web pages.
#include "app/LumsiftAppDelegate.h"
#include "app/LoadingDataViewController.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/log/Log.h"
#include "tests/app/AppHarness.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QMessageBox>
#include <QUrl>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace lumsift::app {
namespace {

using testing::AppHarness;
using testing::PanelAnswer;

// Records the addresses handed to the desktop services.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QStringList urls;
public slots:
    void open(const QUrl& url) { urls << url.toString(); }
};

QMessageBox* openAlert(QWidget* window) {
    for (QMessageBox* box : window->findChildren<QMessageBox*>()) {
        if (box->isVisible())
            return box;
    }
    return nullptr;
}

QWidget* pageShown(const LumsiftAppDelegate& delegate) {
    const std::vector<QWidget*> subviews = delegate.box()->contentView()->subviews();
    return subviews.size() == 2 ? subviews[1] : nullptr;
}

void addProjectWithImages(scripting::FakeApertureApplication& app, int count) {
    const std::string project = app.addProject("Holiday");
    for (int i = 0; i < count; ++i)
        app.addVersion(project, "V" + std::to_string(i));
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

TEST(LumsiftAppDelegate, WithoutSkipKeyTheStartPageShowsWithLoadLibrary) {
    AppHarness h;
    h.launch();
    LumsiftAppDelegate& d = *h.ui.delegate;

    EXPECT_EQ(d.currentViewController(), d.startScreenViewController());
    EXPECT_EQ(d.nextButton()->text(), "Load Library");
    EXPECT_EQ(d.box()->contentView()->subviews().size(), 2u);
    EXPECT_EQ(pageShown(d), d.startScreenViewController()->view());
    EXPECT_FALSE(d.loadingDataViewController()->isViewLoaded());
    EXPECT_FALSE(h.engine.dataLoaded());
    EXPECT_FALSE(LumsiftAppDelegate::skipStartScreen());
}

TEST(LumsiftAppDelegate, WithSkipKeyTheLoadingPageShowsAndLoadsAtOnce) {
    AppHarness h;
    addProjectWithImages(*h.app, 3);
    UserDefaults::standard().setBool(true, "SKIPSTARTSCREEN");
    h.launch();
    LumsiftAppDelegate& d = *h.ui.delegate;

    EXPECT_TRUE(LumsiftAppDelegate::skipStartScreen());
    EXPECT_EQ(d.currentViewController(), d.loadingDataViewController());
    EXPECT_EQ(d.nextButton()->text(), "Detect Similars");
    EXPECT_FALSE(d.startScreenViewController()->isViewLoaded());
    EXPECT_TRUE(AppHarness::waitFor([&] { return h.engine.dataLoaded(); }));
    EXPECT_EQ(pageShown(d), d.loadingDataViewController()->view());

    LoadingDataView* page = d.loadingDataViewController()->loadingDataView();
    ASSERT_TRUE(AppHarness::waitFor([&] { return !page->runUnderway(); }));
    EXPECT_EQ(page->totalImagesLabel()->stringValue(), "3");
    EXPECT_TRUE(d.nextButton()->isEnabled());
}

TEST(LumsiftAppDelegate, NextCyclesThePagesWithTheirTitles) {
    AppHarness h;
    addProjectWithImages(*h.app, 2);
    h.launch();
    LumsiftAppDelegate& d = *h.ui.delegate;
    const QRect bounds = d.box()->contentView()->rect();

    d.nextView();
    EXPECT_EQ(d.currentViewController(), d.loadingDataViewController());
    EXPECT_EQ(d.nextButton()->text(), "Detect Similars");
    EXPECT_EQ(pageShown(d), d.loadingDataViewController()->view());
    EXPECT_EQ(pageShown(d)->geometry(), bounds);
    LoadingDataView* loading = d.loadingDataViewController()->loadingDataView();
    ASSERT_TRUE(AppHarness::waitFor([&] { return !loading->runUnderway(); }));
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
    EXPECT_EQ(d.box()->contentView()->subviews().size(), 2u);
    // No second wake: one load in all, and the page as it was left.
    AppHarness::processEvents();
    EXPECT_EQ(h.app->callsStartingWith("projects").size(), 1u);
    EXPECT_EQ(loading->retrieveStatusLabel()->stringValue(), "kept");
}

TEST(LumsiftAppDelegate, ActivationWritesTheSelectionCount) {
    AppHarness h;
    addProjectWithImages(*h.app, 3);
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
        h.ui.delegate->showAlert("An Image was not found.", "Stale Library Data");
        returned = true;
    });
    ASSERT_TRUE(AppHarness::waitFor([&] { return returned.load(); }));
    worker.join();

    // Back on the worker while the sheet still waits for OK.
    QMessageBox* alert = openAlert(h.ui.window.get());
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->windowModality(), Qt::WindowModal);
    EXPECT_EQ(alert->text(), "Stale Library Data");
    EXPECT_EQ(alert->informativeText(), "An Image was not found.");
    EXPECT_EQ(alert->icon(), QMessageBox::Warning);
    ASSERT_EQ(alert->buttons().size(), 1);
    EXPECT_EQ(alert->buttons().front()->text(), "OK");

    alert->buttons().front()->click();
    EXPECT_TRUE(AppHarness::waitFor([&] { return openAlert(h.ui.window.get()) == nullptr; }));
}

TEST(LumsiftAppDelegate, AlertTextIsNeverReadAsMarkup) {
    AppHarness h;
    h.launch();
    h.ui.delegate->showAlert("<b>Holiday</b>", "<i>ERROR</i>");
    QMessageBox* alert = openAlert(h.ui.window.get());
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->textFormat(), Qt::PlainText);
    auto* informative = alert->findChild<QLabel*>("qt_msgbox_informativelabel");
    ASSERT_NE(informative, nullptr);
    EXPECT_EQ(informative->textFormat(), Qt::PlainText);
}

TEST(LumsiftAppDelegate, ReadAccessPromptRepeatsUntilOpen) {
    AppHarness h;
    h.launch();
    log::Capture log;
    h.answerPanels({{OpenPanel::kResponseCancel, {}},
                    {OpenPanel::kResponseCancel, {}},
                    {OpenPanel::kResponseOK, "/photos"}});

    h.ui.delegate->userSelectedFiles("/photos/Library.aplibrary");

    const auto asked = h.askedPanels();
    ASSERT_EQ(asked.size(), 3u);
    EXPECT_EQ(log.count("NSOpenPanel result = 0"), 2u);
    EXPECT_EQ(h.ui.delegate->userSelectedFilesCount(), 1u);
    for (const auto& panel : asked) {
        EXPECT_TRUE(panel.canChooseFiles);
        EXPECT_TRUE(panel.canChooseDirectories);
        EXPECT_TRUE(panel.allowedFileTypes.empty());
        EXPECT_EQ(panel.title, "Read Access Required");
        EXPECT_EQ(panel.directoryURL, "/photos");
        EXPECT_EQ(panel.message, "Lumsift Requires read access to Library.aplibrary.\nPlease "
                                 "select it or it's parent folder and hit the Open button.");
    }
}

TEST(LumsiftAppDelegate, LaterPromptsAskForTheParentOfReferencedImages) {
    AppHarness h;
    h.launch();
    h.answerPanels({{OpenPanel::kResponseOK, "/a"}, {OpenPanel::kResponseOK, "/b"}});
    h.ui.delegate->userSelectedFiles("/a/one.jpg");
    h.ui.delegate->userSelectedFiles("/b/100%@ two.jpg");

    const auto asked = h.askedPanels();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1].directoryURL, "/b");
    EXPECT_EQ(asked[1].message,
              "Lumsift Requires read access to 100%@ two.jpg.\nThis is due to externally "
              "referenced images in your library.  To avoid being asked again please select the "
              "parent folder for all your externally referenced pictures.");
    EXPECT_EQ(h.ui.delegate->userSelectedFilesCount(), 2u);
}

TEST(LumsiftAppDelegate, WebPagesOpenTheProductAndSupportPages) {
    AppHarness h;
    h.launch();
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("https", &recorder, "open");
    h.ui.delegate->moreInfoButton();
    h.ui.delegate->lumsiftWebpage();
    h.ui.delegate->techSupport();
    QDesktopServices::unsetUrlHandler("https");

    EXPECT_EQ(recorder.urls,
              QStringList({LumsiftAppDelegate::kProductPage, LumsiftAppDelegate::kProductPage,
                           LumsiftAppDelegate::kSupportPage}));
}

TEST(LumsiftAppDelegate, SkipSettingIsStoredForTheNextLaunch) {
    AppHarness h;
    h.launch();
    LumsiftAppDelegate::setSkipStartScreen(true);
    EXPECT_TRUE(UserDefaults::standard().boolForKey("SKIPSTARTSCREEN"));
    EXPECT_EQ(h.ui.delegate->currentViewController(), h.ui.delegate->startScreenViewController());
}

} // namespace
} // namespace lumsift::app

#include "LumsiftAppDelegateTest.moc"
