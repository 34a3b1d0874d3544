// The search and results page: the search choice and its codes, the wake values, the bindings
// between properties and controls, the suggestions, and starting and clearing.
#include "app/ResultsView.h"
#include "platform/defaults/UserDefaults.h"
#include "tests/app/AppHarness.h"
#include "tests/engine/support/EngineHarness.h"

#include <QCheckBox>
#include <QRadioButton>
#include <QSlider>

#include <gtest/gtest.h>

namespace lumsift::app {
namespace {

using testing::AppHarness;
using Access = LumsiftForApertureTestAccess;

QPushButton* button(const ResultsView& page, const char* name) {
    return page.findChild<QPushButton*>(name);
}

TEST(ResultsView, RowsMapToAlgorithmCodes) {
    EXPECT_EQ(ResultsView::algorithmForRow(0), 1);
    EXPECT_EQ(ResultsView::algorithmForRow(1), 2);
    EXPECT_EQ(ResultsView::algorithmForRow(2), 3);
    EXPECT_EQ(ResultsView::algorithmForRow(3), 2);
    EXPECT_EQ(ResultsView::algorithmForRow(1000), 2);
    EXPECT_EQ(ResultsView::algorithmForRow(static_cast<uint64_t>(-1)), 2);
}

TEST(ResultsView, WakeWithoutStoredRowSearchesPlusAndStoresRowZero) {
    AppHarness h;
    ResultsView page;
    page.awakeFromNib();
    EXPECT_EQ(page.selectedSearchAlgorithm(), 0u);
    EXPECT_EQ(Access::searchUsing(h.engine), 1);
    EXPECT_TRUE(UserDefaults::standard().hasObjectForKey("SELECTEDSEARCHALGORITHM"));
    EXPECT_EQ(UserDefaults::standard().integerForKey("SELECTEDSEARCHALGORITHM"), 0);
    EXPECT_TRUE(page.findChild<QRadioButton*>("searchPlus")->isChecked());
}

TEST(ResultsView, WakeSetsReadyLabelsSensitivitySevenAndAutomatic) {
    AppHarness h;
    ResultsView page;
    page.awakeFromNib();
    EXPECT_EQ(page.analysedImagesLabel()->stringValue(), "Ready");
    EXPECT_EQ(page.similarImagesLabel()->stringValue(), "Ready");
    EXPECT_EQ(page.retrieveStatusLabel()->stringValue(), "Ready To Search");
    EXPECT_EQ(page.sensitivity(), 7);
    EXPECT_EQ(page.findChild<QSlider*>("sensitivitySlider")->value(), 7);
    EXPECT_TRUE(page.autoSensitive());
    EXPECT_TRUE(page.findChild<QCheckBox*>("autoSensitiveCheckBox")->isChecked());
    EXPECT_FALSE(page.clearKeywordsEnabled());
    EXPECT_FALSE(button(page, "clearKeywordsButton")->isEnabled());
    EXPECT_FALSE(button(page, "moreImagesButton")->isEnabled());
    EXPECT_FALSE(button(page, "lessImagesButton")->isEnabled());
    EXPECT_EQ(page.perSensitivityToolTip(), "");
    EXPECT_TRUE(page.startSearchButton()->isEnabled());
}

TEST(ResultsView, ChosenRowsSendTheirCodesAndAreStored) {
    AppHarness h;
    ResultsView page;
    page.awakeFromNib();

    page.findChild<QRadioButton*>("searchPro")->click();
    EXPECT_EQ(page.selectedSearchAlgorithm(), 1u);
    EXPECT_EQ(Access::searchUsing(h.engine), 2);
    EXPECT_EQ(UserDefaults::standard().integerForKey("SELECTEDSEARCHALGORITHM"), 1);

    page.findChild<QRadioButton*>("searchPlain")->click();
    EXPECT_EQ(Access::searchUsing(h.engine), 3);
    EXPECT_EQ(UserDefaults::standard().integerForKey("SELECTEDSEARCHALGORITHM"), 2);

    // Setting the same row again still reaches the engine.
    h.engine.switchSearchAlgorithm(1);
    page.setSelectedSearchAlgorithm(2);
    EXPECT_EQ(Access::searchUsing(h.engine), 3);
}

TEST(ResultsView, StoredRowsWithoutAnEntrySearchProAndAreWrittenBackUnchanged) {
    for (const int64_t stored : {int64_t{3}, int64_t{42}, int64_t{-1}}) {
        AppHarness h;
        UserDefaults::standard().setInteger(stored, "SELECTEDSEARCHALGORITHM");
        ResultsView page;
        page.awakeFromNib();
        EXPECT_EQ(page.selectedSearchAlgorithm(), static_cast<uint64_t>(stored));
        EXPECT_EQ(Access::searchUsing(h.engine), 2) << stored;
        EXPECT_EQ(UserDefaults::standard().integerForKey("SELECTEDSEARCHALGORITHM"), stored);
        for (const char* row : {"searchPlus", "searchPro", "searchPlain"})
            EXPECT_FALSE(page.findChild<QRadioButton*>(row)->isChecked()) << row;
    }
}

TEST(ResultsView, ControlsAndPropertiesFollowEachOther) {
    AppHarness h;
    ResultsView page;
    page.awakeFromNib();

    page.findChild<QSlider*>("sensitivitySlider")->setValue(11);
    EXPECT_EQ(page.sensitivity(), 11);
    page.page()->setSensitivity(4);
    EXPECT_EQ(page.findChild<QSlider*>("sensitivitySlider")->value(), 4);
    EXPECT_EQ(page.page()->sensitivity(), 4);

    page.findChild<QCheckBox*>("autoSensitiveCheckBox")->click();
    EXPECT_FALSE(page.autoSensitive());
    EXPECT_FALSE(page.page()->autoSensitive());

    page.page()->setMoreImagesText("14 images at 9");
    page.page()->setMoreImagesEnabled(true);
    EXPECT_EQ(button(page, "moreImagesButton")->text(), "14 images at 9");
    EXPECT_TRUE(button(page, "moreImagesButton")->isEnabled());
    page.page()->setLessImagesEnabled(true);
    EXPECT_TRUE(button(page, "lessImagesButton")->isEnabled());
    page.page()->setClearKeywordsEnabled(true);
    EXPECT_TRUE(button(page, "clearKeywordsButton")->isEnabled());
    page.page()->setPerSensitivityToolTip("0: 1\n3: <2>");
    EXPECT_EQ(page.perSensitivityToolTip(), "0: 1\n3: <2>");
    EXPECT_EQ(page.findChild<QSlider*>("sensitivitySlider")->toolTip(), "0: 1<br>3: &lt;2&gt;");
}

TEST(ResultsView, SuggestionControlsSetTheOfferedThresholdAndTurnAutomaticOff) {
    AppHarness h;
    ResultsView page;
    page.awakeFromNib();
    h.engine.setLessSensitiveValue(12);
    h.engine.setMoreSensitiveValue(3);

    page.page()->setMoreImagesEnabled(true);
    button(page, "moreImagesButton")->click();
    EXPECT_FALSE(page.autoSensitive());
    EXPECT_EQ(page.sensitivity(), 12);

    page.setAutoSensitive(true);
    page.lessImagesButton(nullptr);
    EXPECT_FALSE(page.autoSensitive());
    EXPECT_EQ(page.sensitivity(), 3);
    EXPECT_EQ(page.findChild<QSlider*>("sensitivitySlider")->value(), 3);
}

TEST(ResultsView, SearchBeforeAnyLoadStartsNothingAndStaysDisabled) {
    AppHarness h;
    ResultsView page;
    page.awakeFromNib();
    page.setClearKeywordsEnabled(true);

    page.nextView(nullptr);
    AppHarness::processEvents();
    EXPECT_FALSE(page.startSearchButton()->isEnabled());
    EXPECT_FALSE(page.clearKeywordsEnabled());
    EXPECT_EQ(page.analysedImagesLabel()->stringValue(), "Processing");
    EXPECT_EQ(page.similarImagesLabel()->stringValue(), "Processing");
    EXPECT_TRUE(h.app->callsStartingWith("selection").empty());
}

TEST(ResultsView, ClearingResetsTheLabelsAndKeepsTheSettings) {
    AppHarness h;
    ResultsView page;
    page.awakeFromNib();
    page.setSensitivity(5);
    page.page()->setPerSensitivityToolTip("0: 1");
    page.analysedImagesLabel()->setStringValue("1");
    page.similarImagesLabel()->setStringValue("4");
    page.retrieveStatusLabel()->setStringValue("Retrieval Complete");
    page.specialMessagesLabel()->setStringValue("No images were selected.");
    page.setClearKeywordsEnabled(true);

    page.clearKeywords(nullptr);
    EXPECT_EQ(page.analysedImagesLabel()->stringValue(), "Ready");
    EXPECT_EQ(page.similarImagesLabel()->stringValue(), "Ready");
    EXPECT_EQ(page.retrieveStatusLabel()->stringValue(), "Ready To Search");
    EXPECT_EQ(page.specialMessagesLabel()->stringValue(), "");
    EXPECT_FALSE(page.clearKeywordsEnabled());
    EXPECT_EQ(page.sensitivity(), 5);
    EXPECT_EQ(page.perSensitivityToolTip(), "0: 1");
}

} // namespace
} // namespace lumsift::app
