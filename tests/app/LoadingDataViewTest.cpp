// The loading and analysis page: wake, automatic load, the analysis choice and its default, the
// library-package panel once per load, and no second run from a click that comes too soon.
#include "app/LoadingDataView.h"
#include "platform/defaults/UserDefaults.h"
#include "tests/app/AppHarness.h"

#include <QRadioButton>

#include <gtest/gtest.h>

namespace lumsift::app {
namespace {

using testing::AppHarness;
using testing::PanelAnswer;

// Images V0.. in one project; the first `plusTagged` carry a plus fingerprint.
void addImages(scripting::FakeApertureApplication& app, int count, int plusTagged) {
    const std::string project = app.addProject("Holiday");
    for (int i = 0; i < count; ++i) {
        const std::string id = "V" + std::to_string(i);
        app.addVersion(project, id);
        if (i < plusTagged)
            app.setCustomTag(id, "Lumsift+", "12345");
    }
}

bool waitUntilIdle(const LoadingDataView& page) {
    return AppHarness::waitFor([&] { return !page.runUnderway(); });
}

// Wakes the page and waits for its automatic load to end.
void wakeAndLoad(LoadingDataView& page) {
    page.awakeFromNib();
    ASSERT_TRUE(waitUntilIdle(page));
}

std::string status(const LoadingDataView& page) {
    return page.retrieveStatusLabel()->stringValue();
}

TEST(LoadingDataView, FirstWakeLoadsWithZerosUntilTheLoadEnds) {
    AppHarness h;
    addImages(*h.app, 4, 1);
    LoadingDataView page;
    page.awakeFromNib();

    EXPECT_TRUE(page.retrievProgressIndicator()->isAnimating());
    EXPECT_EQ(page.totalImagesLabel()->stringValue(), "0");
    EXPECT_EQ(page.analysedImagesLabel()->stringValue(), "0");
    EXPECT_EQ(page.notAnalysedImagesLabel()->stringValue(), "0");
    EXPECT_FALSE(page.reloadButton()->isEnabled());
    EXPECT_TRUE(AppHarness::waitFor([&] { return h.engine.dataLoaded(); }));

    ASSERT_TRUE(waitUntilIdle(page));
    EXPECT_EQ(status(page), "Data Collected");
    EXPECT_EQ(page.totalImagesLabel()->stringValue(), "4");
    EXPECT_FALSE(page.retrievProgressIndicator()->isAnimating());
    EXPECT_TRUE(page.reloadButton()->isEnabled());
    EXPECT_TRUE(page.analyseButton()->isEnabled());
    EXPECT_TRUE(page.algorithmSelectionMatrix()->isEnabled());
}

TEST(LoadingDataView, WithoutStoredChoiceAllKindsAreChosenAndStored) {
    AppHarness h;
    LoadingDataView page;
    wakeAndLoad(page);
    EXPECT_EQ(page.selectedAlgorithm(), 0);
    EXPECT_TRUE(UserDefaults::standard().hasObjectForKey("SELECTEDALGORITHM"));
    EXPECT_EQ(UserDefaults::standard().integerForKey("SELECTEDALGORITHM"), 0);
    EXPECT_TRUE(page.findChild<QRadioButton*>("algorithmAll")->isChecked());
}

TEST(LoadingDataView, StoredChoiceIsRestoredAtWake) {
    AppHarness h;
    UserDefaults::standard().setInteger(2, "SELECTEDALGORITHM");
    LoadingDataView page;
    wakeAndLoad(page);
    EXPECT_EQ(page.selectedAlgorithm(), 2);
    EXPECT_TRUE(page.findChild<QRadioButton*>("algorithmPro")->isChecked());
}

TEST(LoadingDataView, ChoosingAKindStoresItAndRecounts) {
    AppHarness h;
    addImages(*h.app, 5, 2);
    LoadingDataView page;
    wakeAndLoad(page);

    page.findChild<QRadioButton*>("algorithmPlus")->click();
    EXPECT_EQ(page.selectedAlgorithm(), 1);
    EXPECT_EQ(UserDefaults::standard().integerForKey("SELECTEDALGORITHM"), 1);
    AppHarness::processEvents();
    EXPECT_EQ(page.analysedImagesLabel()->stringValue(), "2");
    EXPECT_EQ(page.notAnalysedImagesLabel()->stringValue(), "3");

    // The setter shows its value in the control too; a code without an entry checks none.
    page.setSelectedAlgorithm(3);
    EXPECT_TRUE(page.findChild<QRadioButton*>("algorithmPlain")->isChecked());
    page.setSelectedAlgorithm(7);
    EXPECT_FALSE(page.findChild<QRadioButton*>("algorithmPlain")->isChecked());
    EXPECT_EQ(UserDefaults::standard().integerForKey("SELECTEDALGORITHM"), 7);
}

TEST(LoadingDataView, PackagePanelIsAskedOncePerLoad) {
    AppHarness h;
    addImages(*h.app, 2, 0);
    const std::filesystem::path package = h.folder() / "Photos.aplibrary";
    LoadingDataView page;
    wakeAndLoad(page);

    h.answerPanels({{OpenPanel::kResponseOK, package}});
    page.analyseButton(nullptr);
    ASSERT_EQ(h.askedPanels().size(), 1u);
    const auto panel = h.askedPanels().front();
    EXPECT_TRUE(panel.canChooseFiles);
    EXPECT_FALSE(panel.canChooseDirectories);
    EXPECT_EQ(panel.allowedFileTypes, (std::vector<std::string>{"aplibrary", "photolibrary"}));
    EXPECT_EQ(panel.title, "Read Access Required");
    EXPECT_EQ(panel.message,
              "Lumsift requests read access to your Aperture Library.\nSelect it and hit the Open "
              "button.\nIf you don't know the location you may hit cancel,\nbut the speed at which "
              "Lumsift can analyze images will be severely hampered.");
    EXPECT_FALSE(panel.directoryURL.empty());
    EXPECT_EQ(h.engine.apertureLibrary(), package.string());
    ASSERT_TRUE(waitUntilIdle(page));
    EXPECT_EQ(status(page), "Analysis Complete");

    page.analyseButton(nullptr);
    ASSERT_TRUE(waitUntilIdle(page));
    EXPECT_EQ(h.askedPanels().size(), 1u);

    page.reloadButton(nullptr);
    ASSERT_TRUE(waitUntilIdle(page));
    page.analyseButton(nullptr);
    ASSERT_TRUE(waitUntilIdle(page));
    EXPECT_EQ(h.askedPanels().size(), 2u);
}

TEST(LoadingDataView, CancelledPanelStillAnalysesAndAsksAgainNextTime) {
    AppHarness h;
    addImages(*h.app, 2, 0);
    LoadingDataView page;
    wakeAndLoad(page);

    page.analyseSelectionButton(nullptr);
    EXPECT_TRUE(page.selectionMode());
    EXPECT_FALSE(h.engine.apertureLibrary().has_value());
    ASSERT_TRUE(waitUntilIdle(page));
    EXPECT_EQ(status(page), "Analysis Complete");

    page.analyseButton(nullptr);
    EXPECT_FALSE(page.selectionMode());
    ASSERT_TRUE(waitUntilIdle(page));
    EXPECT_EQ(h.askedPanels().size(), 2u);
}

TEST(LoadingDataView, ClickArrivingBeforeTheEngineDisablesStartsNoSecondRun) {
    AppHarness h;
    addImages(*h.app, 3, 0);
    LoadingDataView page;
    wakeAndLoad(page);
    h.app->clearCalls();

    // Two presses before any of the engine's posts has run.
    page.reloadButton(nullptr);
    page.reloadButton(nullptr);
    page.analyseButton(nullptr);
    EXPECT_FALSE(page.reloadButton()->isEnabled());
    EXPECT_FALSE(page.analyseButton()->isEnabled());
    EXPECT_FALSE(page.analyseSelectionButton()->isEnabled());
    EXPECT_FALSE(page.algorithmSelectionMatrix()->isEnabled());
    ASSERT_TRUE(waitUntilIdle(page));
    EXPECT_EQ(h.app->callsStartingWith("projects").size(), 1u);
    EXPECT_TRUE(h.askedPanels().empty());
    EXPECT_EQ(status(page), "Data Collected");
}

TEST(LoadingDataView, ReloadMakesTheIndicatorIndeterminateAndAnimated) {
    AppHarness h;
    addImages(*h.app, 1, 0);
    LoadingDataView page;
    wakeAndLoad(page);
    page.retrievProgressIndicator()->setIndeterminate(false);

    page.reloadButton(nullptr);
    EXPECT_TRUE(page.retrievProgressIndicator()->isIndeterminate());
    EXPECT_TRUE(page.retrievProgressIndicator()->isAnimating());
    ASSERT_TRUE(waitUntilIdle(page));
}

TEST(LoadingDataView, WithoutIndicatorTheWakeStartsNoLoad) {
    AppHarness h;
    LoadingDataView page;
    page.setRetrievProgressIndicator(nullptr);
    page.awakeFromNib();
    EXPECT_FALSE(h.engine.dataLoaded());
    EXPECT_FALSE(page.runUnderway());
}

TEST(LoadingDataView, MoreAnalysedThanLoadedShowsNoneLeftNotAWrappedCount) {
    AppHarness h;
    LoadingDataView page;
    wakeAndLoad(page);
    // Problem images counted again by selection runs can push the count past the library.
    h.engine.setHashedImageCount(3);
    page.analyseButton(nullptr);
    EXPECT_EQ(page.analysedImagesLabel()->stringValue(), "3");
    EXPECT_EQ(page.notAnalysedImagesLabel()->stringValue(), "0");
    ASSERT_TRUE(waitUntilIdle(page));
}

} // namespace
} // namespace lumsift::app
