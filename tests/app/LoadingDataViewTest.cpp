// The loading and analysis page: wake, automatic load, the analysis choice and its default, the
// library-package panel once per load, and no second run from a click that comes too soon.
#include "app/LoadingDataView.h"
#include "platform/defaults/UserDefaults.h"
#include "tests/app/AppHarness.h"
#include "tests/support/SavedEnvironment.h"

#include <QProgressBar>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace lumsift::app {
namespace {

using testing::AppHarness;
using testing::text;

// Wakes the page and waits for its automatic load to end.
bool wokenAndLoaded(LoadingDataView& page) {
    page.awakeFromNib();
    return AppHarness::waitUntilIdle(page);
}

// The enabled states of the four controls that start a run or change the analysis choice.
std::vector<bool> runControls(const LoadingDataView& page) {
    return {page.analyseButton()->isEnabled(), page.analyseSelectionButton()->isEnabled(),
            page.reloadButton()->isEnabled(), page.algorithmSelectionMatrix()->isEnabled()};
}

bool checked(const LoadingDataView& page, const char* entry) {
    return page.findChild<QRadioButton*>(entry)->isChecked();
}

TEST(LoadingDataView, FirstWakeLoadsWithZerosUntilTheLoadEnds) {
    AppHarness h;
    h.addImages(4, 1);
    LoadingDataView page;
    page.awakeFromNib();

    EXPECT_TRUE(page.retrievProgressIndicator()->isAnimating());
    EXPECT_EQ(text(page.totalImagesLabel()), "0");
    EXPECT_EQ(text(page.analysedImagesLabel()), "0");
    EXPECT_EQ(text(page.notAnalysedImagesLabel()), "0");
    EXPECT_EQ(runControls(page), std::vector<bool>(4, false));
    EXPECT_TRUE(AppHarness::waitFor([&] { return h.engine.dataLoaded(); }));

    ASSERT_TRUE(AppHarness::waitUntilIdle(page));
    EXPECT_EQ(text(page.retrieveStatusLabel()), "Data Collected");
    EXPECT_EQ(text(page.totalImagesLabel()), "4");
    EXPECT_FALSE(page.retrievProgressIndicator()->isAnimating());
    EXPECT_EQ(runControls(page), std::vector<bool>(4, true));
    // No stored choice: all kinds, and the key written with it.
    EXPECT_EQ(page.selectedAlgorithm(), 0);
    EXPECT_TRUE(checked(page, "algorithmAll"));
    EXPECT_TRUE(UserDefaults::standard().hasObjectForKey("SELECTEDALGORITHM"));
    EXPECT_EQ(UserDefaults::standard().integerForKey("SELECTEDALGORITHM"), 0);
}

TEST(LoadingDataView, WakeWithoutIndicatorStartsNoLoad) {
    AppHarness h;
    LoadingDataView page;
    page.setRetrievProgressIndicator(nullptr);
    page.awakeFromNib();
    EXPECT_FALSE(h.engine.dataLoaded());
    EXPECT_FALSE(page.runUnderway());
}

TEST(LoadingDataView, StoredChoiceIsRestoredAndAChosenKindStoredAndRecounted) {
    AppHarness h;
    h.addImages(5, 2);
    UserDefaults::standard().setInteger(2, "SELECTEDALGORITHM");
    LoadingDataView page;
    ASSERT_TRUE(wokenAndLoaded(page));
    EXPECT_EQ(page.selectedAlgorithm(), 2);
    EXPECT_TRUE(checked(page, "algorithmPro"));

    page.findChild<QRadioButton*>("algorithmPlus")->click();
    EXPECT_EQ(page.selectedAlgorithm(), 1);
    EXPECT_EQ(UserDefaults::standard().integerForKey("SELECTEDALGORITHM"), 1);
    AppHarness::processEvents();
    EXPECT_EQ(text(page.analysedImagesLabel()), "2");
    EXPECT_EQ(text(page.notAnalysedImagesLabel()), "3");
    // The setter shows its value in the control too; a code without an entry checks none.
    page.setSelectedAlgorithm(3);
    EXPECT_TRUE(checked(page, "algorithmPlain"));
    page.setSelectedAlgorithm(7);
    EXPECT_FALSE(checked(page, "algorithmPlain"));
    EXPECT_EQ(UserDefaults::standard().integerForKey("SELECTEDALGORITHM"), 7);
}

TEST(LoadingDataView, PackagePanelIsAskedOncePerLoadAndCancelStillAnalyses) {
    AppHarness h;
    h.addImages(2);
    const std::filesystem::path package = h.folder() / "Photos.aplibrary";
    LoadingDataView page;
    ASSERT_TRUE(wokenAndLoaded(page));
    // Each step: the action, then how many panels have been asked by its end.
    const auto analyse = [&](void (LoadingDataView::*action)(QObject*), size_t asked) {
        (page.*action)(nullptr);
        ASSERT_TRUE(AppHarness::waitUntilIdle(page));
        EXPECT_EQ(h.askedPanels().size(), asked);
        EXPECT_EQ(text(page.retrieveStatusLabel()), "Analysis Complete");
    };

    h.answerPanels({"", package});
    analyse(&LoadingDataView::analyseSelectionButton, 1); // Cancel: analysed all the same
    EXPECT_TRUE(page.selectionMode());
    EXPECT_FALSE(h.engine.apertureLibrary().has_value());
    analyse(&LoadingDataView::analyseButton, 2); // asked again, and Open
    EXPECT_FALSE(page.selectionMode());
    EXPECT_EQ(h.engine.apertureLibrary(), package.string());
    analyse(&LoadingDataView::analyseButton, 2); // not asked while the load's package holds

    page.retrievProgressIndicator()->setIndeterminate(false);
    page.reloadButton(nullptr);
    EXPECT_TRUE(page.retrievProgressIndicator()->isIndeterminate());
    EXPECT_TRUE(page.retrievProgressIndicator()->isAnimating());
    ASSERT_TRUE(AppHarness::waitUntilIdle(page));
    analyse(&LoadingDataView::analyseButton, 3);

    const OpenPanel panel = h.askedPanels().front();
    EXPECT_TRUE(panel.canChooseFiles());
    EXPECT_FALSE(panel.canChooseDirectories());
    EXPECT_EQ(panel.allowedFileTypes(), (std::vector<std::string>{"aplibrary", "photolibrary"}));
    EXPECT_EQ(panel.title(), "Read Access Required");
    EXPECT_EQ(panel.message(),
              "Lumsift requests read access to your Aperture Library.\nSelect it and hit the Open "
              "button.\nIf you don't know the location you may hit cancel,\nbut the speed at which "
              "Lumsift can analyze images will be severely hampered.");
    EXPECT_FALSE(panel.directoryURL().empty());
}

// The package panel starts in the user's Pictures folder: the one the user's folder settings
// name, else Pictures in the home folder.
TEST(LoadingDataView, PackagePanelStartsInThePicturesFolder) {
    const lumsift::testing::SavedEnvironment saved{"HOME", "XDG_CONFIG_HOME"};
    for (const char* named : {"", "Bilder"}) {
        SCOPED_TRACE(named);
        AppHarness h;
        h.addImages(1);
        const std::filesystem::path home = h.folder() / "home";
        std::filesystem::path pictures = home / "Pictures";
        std::filesystem::create_directories(home / ".config");
        if (*named != '\0') {
            pictures = home / named;
            std::ofstream(home / ".config/user-dirs.dirs")
                << "XDG_PICTURES_DIR=\"$HOME/" << named << "\"\n";
        }
        std::filesystem::create_directories(pictures);
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);

        LoadingDataView page;
        ASSERT_TRUE(wokenAndLoaded(page));
        QTest::mouseClick(page.analyseButton(), Qt::LeftButton);
        ASSERT_TRUE(AppHarness::waitUntilIdle(page));
        ASSERT_EQ(h.askedPanels().size(), 1u);
        EXPECT_EQ(h.askedPanels().front().directoryURL(), pictures);
    }
}

TEST(LoadingDataView, ClickArrivingBeforeTheEngineDisablesStartsNoSecondRun) {
    AppHarness h;
    h.addImages(3);
    LoadingDataView page;
    ASSERT_TRUE(wokenAndLoaded(page));
    h.app->clearCalls();
    // Problem images counted again by selection runs can push the count past the library: the
    // counts then show none left, not a wrapped difference.
    h.engine.setHashedImageCount(5);
    // Presses before any of the engine's posts has run.
    page.analyseButton(nullptr);
    EXPECT_EQ(text(page.analysedImagesLabel()), "5");
    EXPECT_EQ(text(page.notAnalysedImagesLabel()), "0");
    page.reloadButton(nullptr);
    page.analyseSelectionButton(nullptr);
    EXPECT_FALSE(page.selectionMode());
    EXPECT_EQ(runControls(page), std::vector<bool>(4, false));
    ASSERT_TRUE(AppHarness::waitUntilIdle(page));
    EXPECT_TRUE(h.app->callsStartingWith("projects").empty());
    EXPECT_EQ(h.askedPanels().size(), 1u);
    EXPECT_EQ(text(page.retrieveStatusLabel()), "Analysis Complete");
}

// Whether the bar shows Qt's endless busy animation.
bool busy(const QProgressBar& bar) {
    return bar.minimum() == 0 && bar.maximum() == 0;
}

TEST(LoadingDataView, TheBarRunsWhileLoadingShowsTheRunsProgressAndStaysStillWithNothingToDo) {
    for (const int images : {0, 3}) {
        SCOPED_TRACE(images);
        AppHarness h;
        if (images > 0) {
            h.addImages(2);
            h.app->addVersion(h.app->addProject("Second"), "W");
        }
        LoadingDataView page;
        auto* bar = page.findChild<QProgressBar*>("retrievProgressIndicator");
        page.awakeFromNib();
        EXPECT_TRUE(busy(*bar));
        ASSERT_TRUE(AppHarness::waitUntilIdle(page));
        // Two projects read: 2 of 2. No project: a still, empty bar.
        EXPECT_FALSE(busy(*bar));
        EXPECT_EQ(bar->value(), images > 0 ? 2 : bar->minimum());
        EXPECT_EQ(bar->maximum(), images > 0 ? 2 : 1);

        QTest::mouseClick(page.analyseButton(), Qt::LeftButton);
        ASSERT_TRUE(AppHarness::waitUntilIdle(page));
        EXPECT_FALSE(busy(*bar));
        EXPECT_EQ(bar->value(), images);
        EXPECT_EQ(bar->maximum(), images > 0 ? 3 : 1);
    }
}

TEST(LoadingDataView, EachAnalyseButtonStartsItsOwnKindOfRun) {
    AppHarness h;
    h.addImages(2);
    h.app->setSelection({"V1"});
    LoadingDataView page;
    ASSERT_TRUE(wokenAndLoaded(page));
    h.app->clearCalls();
    QTest::mouseClick(page.analyseSelectionButton(), Qt::LeftButton);
    ASSERT_TRUE(AppHarness::waitUntilIdle(page));
    EXPECT_TRUE(page.selectionMode());
    EXPECT_EQ(h.app->callsStartingWith("selection").size(), 1u);
    EXPECT_EQ(h.app->callsStartingWith("versionHeight"), std::vector<std::string>{"versionHeight V1"});

    h.app->clearCalls();
    QTest::mouseClick(page.analyseButton(), Qt::LeftButton);
    ASSERT_TRUE(AppHarness::waitUntilIdle(page));
    EXPECT_FALSE(page.selectionMode());
    EXPECT_TRUE(h.app->callsStartingWith("selection").empty());
    EXPECT_EQ(h.app->callsStartingWith("versionHeight").size(), 2u);
}

} // namespace
} // namespace lumsift::app
