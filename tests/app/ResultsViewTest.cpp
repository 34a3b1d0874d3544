// The search and results page: the search choice and its codes, the wake values, the bindings
// between properties and controls, the suggestions, and starting and clearing.
#include "app/ResultsView.h"
#include "platform/defaults/UserDefaults.h"
#include "tests/app/AppHarness.h"
#include "tests/engine/support/EngineHarness.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QProgressBar>
#include <QRadioButton>
#include <QSlider>
#include <QTest>

#include <gtest/gtest.h>

#include <optional>

namespace lumsift::app {
namespace {

using testing::AppHarness;
using testing::text;
using Access = LumsiftForApertureTestAccess;

template <typename Widget> Widget* child(const ResultsView& page, const char* name) {
    return page.findChild<Widget*>(name);
}

QSlider* slider(const ResultsView& page) {
    return child<QSlider>(page, "sensitivitySlider");
}

TEST(ResultsView, WakeSearchesTheStoredRowsKindWritesTheRowBackAndSetsTheStartValues) {
    struct Case {
        std::optional<int64_t> stored;
        int32_t code;
        const char* entry; // the entry checked; none for rows past the three
    };
    const Case cases[] = {{std::nullopt, 1, "searchPlus"},
                          {1, 2, "searchPro"},
                          {2, 3, "searchPlain"},
                          {3, 2, nullptr},
                          {42, 2, nullptr},
                          {-1, 2, nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored.value_or(-99));
        AppHarness h;
        if (c.stored)
            UserDefaults::standard().setInteger(*c.stored, "SELECTEDSEARCHALGORITHM");
        ResultsView page;
        page.awakeFromNib();
        EXPECT_EQ(page.selectedSearchAlgorithm(), static_cast<uint64_t>(c.stored.value_or(0)));
        EXPECT_EQ(Access::searchUsing(h.engine), c.code);
        EXPECT_TRUE(UserDefaults::standard().hasObjectForKey("SELECTEDSEARCHALGORITHM"));
        EXPECT_EQ(UserDefaults::standard().integerForKey("SELECTEDSEARCHALGORITHM"),
                  c.stored.value_or(0));
        for (const char* entry : {"searchPlus", "searchPro", "searchPlain"})
            EXPECT_EQ(child<QRadioButton>(page, entry)->isChecked(),
                      c.entry != nullptr && std::string(entry) == c.entry)
                << entry;
        // The wake's other values, whatever the row.
        EXPECT_EQ(text(page.analysedImagesLabel()), "Ready");
        EXPECT_EQ(text(page.similarImagesLabel()), "Ready");
        EXPECT_EQ(text(page.retrieveStatusLabel()), "Ready To Search");
        EXPECT_EQ(page.sensitivity(), 7);
        EXPECT_EQ(slider(page)->value(), 7);
        EXPECT_TRUE(page.autoSensitive());
        EXPECT_TRUE(child<QCheckBox>(page, "autoSensitiveCheckBox")->isChecked());
        EXPECT_FALSE(page.clearKeywordsEnabled());
        for (const char* control : {"clearKeywordsButton", "moreImagesButton", "lessImagesButton"})
            EXPECT_FALSE(child<QPushButton>(page, control)->isEnabled()) << control;
        EXPECT_EQ(page.perSensitivityToolTip(), "");
        EXPECT_TRUE(page.startSearchButton()->isEnabled());
    }
}

TEST(ResultsView, ControlsAndPropertiesFollowEachOther) {
    AppHarness h;
    ResultsView page;
    page.awakeFromNib();
    // A chosen row sends its code and is stored; the same row set again still reaches the engine.
    child<QRadioButton>(page, "searchPro")->click();
    EXPECT_EQ(page.selectedSearchAlgorithm(), 1u);
    EXPECT_EQ(Access::searchUsing(h.engine), 2);
    EXPECT_EQ(UserDefaults::standard().integerForKey("SELECTEDSEARCHALGORITHM"), 1);
    child<QRadioButton>(page, "searchPlain")->click();
    EXPECT_EQ(Access::searchUsing(h.engine), 3);
    EXPECT_EQ(UserDefaults::standard().integerForKey("SELECTEDSEARCHALGORITHM"), 2);
    h.engine.switchSearchAlgorithm(1);
    page.setSelectedSearchAlgorithm(2);
    EXPECT_EQ(Access::searchUsing(h.engine), 3);

    slider(page)->setValue(11);
    EXPECT_EQ(page.sensitivity(), 11);
    page.page()->setSensitivity(4);
    EXPECT_EQ(slider(page)->value(), 4);
    EXPECT_EQ(page.page()->sensitivity(), 4);

    child<QCheckBox>(page, "autoSensitiveCheckBox")->click();
    EXPECT_FALSE(page.autoSensitive());
    EXPECT_FALSE(page.page()->autoSensitive());

    page.page()->setMoreImagesText("14 images at 9");
    page.page()->setMoreImagesEnabled(true);
    EXPECT_EQ(child<QPushButton>(page, "moreImagesButton")->text(), "14 images at 9");
    EXPECT_TRUE(child<QPushButton>(page, "moreImagesButton")->isEnabled());
    page.page()->setLessImagesEnabled(true);
    EXPECT_TRUE(child<QPushButton>(page, "lessImagesButton")->isEnabled());
    page.page()->setClearKeywordsEnabled(true);
    EXPECT_TRUE(child<QPushButton>(page, "clearKeywordsButton")->isEnabled());
    page.page()->setPerSensitivityToolTip("0: 1\n3: <2>");
    EXPECT_EQ(page.perSensitivityToolTip(), "0: 1\n3: <2>");
    EXPECT_EQ(slider(page)->toolTip(), "0: 1<br>3: &lt;2&gt;");
}

TEST(ResultsView, SuggestionControlsSetTheOfferedThresholdAndTurnAutomaticOff) {
    AppHarness h;
    ResultsView page;
    page.awakeFromNib();
    h.engine.setLessSensitiveValue(12);
    h.engine.setMoreSensitiveValue(3);

    page.page()->setMoreImagesEnabled(true);
    child<QPushButton>(page, "moreImagesButton")->click();
    EXPECT_FALSE(page.autoSensitive());
    EXPECT_EQ(page.sensitivity(), 12);

    page.setAutoSensitive(true);
    page.lessImagesButton(nullptr);
    EXPECT_FALSE(page.autoSensitive());
    EXPECT_EQ(page.sensitivity(), 3);
    EXPECT_EQ(slider(page)->value(), 3);
}

TEST(ResultsView, SearchBeforeAnyLoadStartsNothingAndClearingResetsOnlyTheLabels) {
    AppHarness h;
    ResultsView page;
    page.awakeFromNib();
    page.setSensitivity(5);
    page.page()->setPerSensitivityToolTip("0: 1");
    page.setClearKeywordsEnabled(true);

    page.nextView(nullptr);
    AppHarness::processEvents();
    EXPECT_FALSE(page.startSearchButton()->isEnabled());
    EXPECT_FALSE(page.clearKeywordsEnabled());
    EXPECT_EQ(text(page.analysedImagesLabel()), "Processing");
    EXPECT_EQ(text(page.similarImagesLabel()), "Processing");
    EXPECT_TRUE(h.app->callsStartingWith("selection").empty());

    page.retrieveStatusLabel()->setStringValue("Retrieval Complete");
    page.specialMessagesLabel()->setStringValue("No images were selected.");
    page.setClearKeywordsEnabled(true);
    page.clearKeywords(nullptr);
    EXPECT_EQ(text(page.analysedImagesLabel()), "Ready");
    EXPECT_EQ(text(page.similarImagesLabel()), "Ready");
    EXPECT_EQ(text(page.retrieveStatusLabel()), "Ready To Search");
    EXPECT_EQ(text(page.specialMessagesLabel()), "");
    EXPECT_FALSE(page.clearKeywordsEnabled());
    EXPECT_EQ(page.sensitivity(), 5);
    EXPECT_EQ(page.perSensitivityToolTip(), "0: 1");
}

TEST(ResultsView, ClearingThatThePhotoApplicationCannotAnswerAlertsAndKeepsThePageUsable) {
    AppHarness h;
    h.addImages(2);
    h.launch();
    auto* page = static_cast<ResultsView*>(h.ui.delegate->resultsViewController()->view());
    page->show();
    Access::startRecord(h.engine);
    h.engine.addLumsfKeyword(h.app->handle("V0"), "Lumsift V1");
    page->page()->setClearKeywordsEnabled(true);
    auto* clear = child<QPushButton>(*page, "clearKeywordsButton");
    h.app->failOn("versionKeywords");

    QTest::mouseClick(clear, Qt::LeftButton);
    QMessageBox* alert = nullptr;
    for (QMessageBox* box : h.ui.window->findChildren<QMessageBox*>())
        alert = box->isVisible() ? box : alert;
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->text(), "ERROR");
    alert->buttons().front()->click();
    EXPECT_TRUE(clear->isEnabled());
    EXPECT_EQ(h.app->keywordsOf("V0").size(), 1u);

    h.app->clearFailures();
    QTest::mouseClick(clear, Qt::LeftButton);
    EXPECT_TRUE(h.app->keywordsOf("V0").empty());
    EXPECT_FALSE(clear->isEnabled());
    EXPECT_EQ(text(page->retrieveStatusLabel()), "Ready To Search");
}

TEST(ResultsView, SearchFromItsButtonShowsItsProgressOnTheBarAndAStillBarWithNothingToCompare) {
    for (const int images : {0, 3}) {
        SCOPED_TRACE(images);
        AppHarness h;
        h.addImages(images, images);
        h.app->setSelection({"V0"});
        h.launch();
        LumsiftAppDelegate& d = *h.ui.delegate;
        QTest::mouseClick(d.nextButton(), Qt::LeftButton);
        ASSERT_TRUE(AppHarness::waitUntilIdle(*d.loadingDataViewController()->loadingDataView()));
        QTest::mouseClick(d.nextButton(), Qt::LeftButton);
        auto* page = static_cast<ResultsView*>(d.resultsViewController()->view());
        auto* bar = child<QProgressBar>(*page, "retrievProgressIndicator");

        QTest::mouseClick(page->startSearchButton(), Qt::LeftButton);
        EXPECT_FALSE(page->startSearchButton()->isEnabled());
        ASSERT_TRUE(AppHarness::waitFor([&] { return page->startSearchButton()->isEnabled(); }));
        AppHarness::processEvents();
        EXPECT_EQ(text(page->retrieveStatusLabel()), "Retrieval Complete");
        // One target against the loaded images; with none, a still, empty bar.
        EXPECT_FALSE(bar->minimum() == 0 && bar->maximum() == 0);
        EXPECT_EQ(bar->maximum(), images > 0 ? images : 1);
        EXPECT_EQ(bar->value(), images);
        EXPECT_EQ(text(page->similarImagesLabel()), images > 0 ? "2" : "0");
    }
}

} // namespace
} // namespace lumsift::app
