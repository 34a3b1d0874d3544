// The similarity search against the fake application: matches, keywords and their record, the
// single-target summary, rotations by analysis choice, progress and the posts around it all.
#include "tests/engine/support/EngineHarness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

namespace lumsift {
namespace {

using testing::EngineHarness;
using Access = LumsiftForApertureTestAccess;
using ::testing::ElementsAre;

constexpr uint64_t kTarget = 0xFF00;
// A fingerprint `d` bits away from kTarget (never 0).
uint64_t atDistance(int d) {
    return kTarget ^ ((uint64_t{1} << d) - 1);
}

// A library of one project for searches of kind `code`. The analysis choice defaults to 2 so
// that no rotations are tried and distances are exactly as built.
struct SearchLibrary {
    explicit SearchLibrary(int32_t code = kAlgorithmPlus, int32_t analysisChoice = kAlgorithmPro)
        : code(code) {
        h.giveDelegate();
        h.loadingPage->algorithm = analysisChoice;
        h.engine.switchSearchAlgorithm(code);
        project = h.app->addProject("Library");
    }
    // Adds an image whose fingerprint of the searched kind is `value` (nullopt: no tag).
    std::string add(std::optional<uint64_t> value, std::string id = {}) {
        if (id.empty())
            id = "I" + std::to_string(++count);
        h.app->addVersion(project, id);
        if (value)
            h.app->setCustomTag(id,
                                code == kAlgorithmPlus    ? kTagPlus
                                : code == kAlgorithmPlain ? kTagPlain
                                                          : kTagPro,
                                std::to_string(*value));
        return id;
    }
    void addAtDistances(std::initializer_list<int> distances) {
        for (int d : distances)
            add(atDistance(d));
    }
    void searchFor(std::vector<std::string> targets, int64_t sensitivity, bool automatic = false) {
        h.load();
        h.app->setSelection(std::move(targets));
        h.resultsPage->sensitivityValue = sensitivity;
        h.resultsPage->automatic = automatic;
        h.search();
    }
    std::vector<std::string> keywordsAdded() const {
        return h.app->callsStartingWith("addKeyword");
    }

    EngineHarness h;
    int32_t code;
    std::string project;
    int count = 0;
};

TEST(Search, WorkedExampleFixedSensitivitySeven) {
    SearchLibrary lib;
    lib.add(kTarget, "T");
    lib.addAtDistances({2, 5, 5, 9, 9, 9, 12, 20, 30, 40, 50});
    lib.searchFor({"T"}, 7);
    auto& events = lib.h.events;
    EXPECT_TRUE(events.contains("resultsView.setPerSensitivityToolTip=Images Found:"
                                "\n1 images @ sensitvity 2\n2 images @ sensitvity 5"
                                "\n3 images @ sensitvity 9\n1 images @ sensitvity 12"));
    EXPECT_TRUE(events.contains("resultsView.setMoreImagesText=3 more images will be found by "
                                "relaxing the sensitivity to 9."));
    EXPECT_TRUE(events.contains("resultsView.setLessImagesText=2 fewer images will be found by "
                                "tightening the sensitivity to 2."));
    EXPECT_TRUE(events.contains("resultsView.setMoreImagesEnabled=1"));
    EXPECT_TRUE(events.contains("resultsView.setLessImagesEnabled=1"));
    EXPECT_EQ(lib.h.engine.lessSensitiveValue(), 9u);
    EXPECT_EQ(lib.h.engine.moreSensitiveValue(), 2u);
    EXPECT_EQ(lib.h.resultsPage->similarLabel.value(), "3");
    EXPECT_EQ(lib.h.resultsPage->analysedLabel.value(), "1");
    EXPECT_EQ(lib.h.resultsPage->statusLabel.value(), "Retrieval Complete");
    EXPECT_EQ(lib.keywordsAdded().size(), 5u);
    EXPECT_EQ(lib.h.main->runAndWaitCount(), 0u) << "the search never waits for the main thread";
}

TEST(Search, WorkedExampleFixedSensitivityFifteen) {
    SearchLibrary lib;
    lib.add(kTarget, "T");
    lib.addAtDistances({2, 5, 5, 9, 9, 9, 12, 20, 30, 40, 50});
    lib.h.engine.setLessSensitiveValue(4);
    lib.searchFor({"T"}, 15);
    EXPECT_EQ(lib.h.resultsPage->similarLabel.value(), "7");
    EXPECT_FALSE(lib.h.events.contains("resultsView.setMoreImagesEnabled=1"));
    EXPECT_TRUE(lib.h.events.startingWith("resultsView.setMoreImagesText").empty());
    EXPECT_EQ(lib.h.engine.lessSensitiveValue(), 4u) << "no looser value: left as it was";
    EXPECT_TRUE(lib.h.events.contains("resultsView.setLessImagesText=1 fewer images will be "
                                      "found by tightening the sensitivity to 9."));
    EXPECT_EQ(lib.h.engine.moreSensitiveValue(), 9u);
}

TEST(Search, WorkedExampleAutomaticWithPlusKind) {
    SearchLibrary lib(kAlgorithmPlus);
    lib.add(kTarget, "T");
    lib.addAtDistances({12, 8, 10, 8, 5, 5, 30});
    lib.searchFor({"T"}, 3, true);
    EXPECT_THAT(lib.h.events.startingWith("resultsView.setSensitivity="),
                ElementsAre("resultsView.setSensitivity=10", "resultsView.setSensitivity=8",
                            "resultsView.setSensitivity=5"));
    EXPECT_EQ(lib.h.resultsPage->similarLabel.value(), "2");
    EXPECT_THAT(lib.keywordsAdded(), ElementsAre("addKeyword I5 Lumsift T | ZUL Lumsift",
                                                 "addKeyword I6 Lumsift T | ZUL Lumsift",
                                                 "addKeyword T Lumsift Target | ZUL Lumsift",
                                                 "addKeyword T Lumsift T | ZUL Lumsift"));
    EXPECT_FALSE(lib.h.events.contains("resultsView.setLessImagesEnabled=1"));
    EXPECT_TRUE(lib.h.events.contains("resultsView.setMoreImagesText=2 more images will be "
                                      "found by relaxing the sensitivity to 8."));
    EXPECT_EQ(lib.h.engine.lessSensitiveValue(), 8u);
    EXPECT_EQ(Access::similaritySensitivity(lib.h.engine), 5);
    EXPECT_TRUE(Access::autoSensitive(lib.h.engine));
}

TEST(Search, AutomaticStartsAtFifteenForProAndKeepsItWhenNothingIsNear) {
    SearchLibrary lib(kAlgorithmPro);
    lib.add(kTarget, "T");
    lib.addAtDistances({16, 40});
    lib.searchFor({"T"}, 3, true);
    EXPECT_THAT(lib.h.events.startingWith("resultsView.setSensitivity="),
                ElementsAre("resultsView.setSensitivity=15"));
    EXPECT_EQ(lib.h.resultsPage->similarLabel.value(), "0");
}

TEST(Search, EmptySelectionPostsReadyAndKeepsTheRecord) {
    SearchLibrary lib;
    lib.add(kTarget, "T");
    lib.h.load();
    Access::startRecord(lib.h.engine);
    lib.h.engine.addLumsfKeyword(lib.h.app->handle("T"), "Lumsift old");
    lib.h.engine.setLessSensitiveValue(3);
    lib.h.events.clear();
    lib.h.app->setSelection({});
    lib.h.search();
    EXPECT_THAT(
        lib.h.events.events(),
        ElementsAre("delegate.disableNextView", "resultsView.specialMessagesLabel=",
                    "resultsView.setMoreImagesEnabled=0", "resultsView.setLessImagesEnabled=0",
                    "resultsView.specialMessagesLabel=No images were selected.  Select "
                    "the images you wish to search for in Aperture and try again.",
                    "delegate.enableNextView", "resultsView.enableStartSearchButton",
                    "resultsView.similarImagesLabel=Ready", "resultsView.analysedImagesLabel=Ready",
                    "resultsView.retrieveStatusLabel=Ready To Search"));
    ASSERT_NE(Access::taggedImageKeyword(lib.h.engine), nullptr);
    EXPECT_THAT(*Access::taggedImageKeyword(lib.h.engine), ElementsAre("Lumsift old"));
    EXPECT_EQ(lib.h.engine.lessSensitiveValue(), 3u);
}

TEST(Search, DistanceEqualToSensitivityMatchesOneAboveDoesNot) {
    SearchLibrary lib;
    lib.add(kTarget, "T");
    lib.add(atDistance(4), "at");
    lib.add(atDistance(5), "above");
    lib.searchFor({"T"}, 4);
    EXPECT_THAT(lib.keywordsAdded(), ::testing::Contains("addKeyword at Lumsift T | ZUL Lumsift"));
    EXPECT_EQ(lib.h.app->keywordsOf("above").size(), 0u);
    EXPECT_EQ(lib.h.resultsPage->similarLabel.value(), "1");
}

TEST(Search, SingleTargetWithThreeMatchesAddsFiveKeywordsInOrder) {
    SearchLibrary lib;
    lib.add(atDistance(1), "A");
    lib.add(kTarget, "T");
    lib.add(atDistance(30), "far");
    lib.add(atDistance(2), "B");
    lib.add(atDistance(3), "C");
    lib.h.app->setVersionName("T", "Beach");
    lib.searchFor({"T"}, 7);
    EXPECT_THAT(lib.keywordsAdded(), ElementsAre("addKeyword A Lumsift Beach | ZUL Lumsift",
                                                 "addKeyword B Lumsift Beach | ZUL Lumsift",
                                                 "addKeyword C Lumsift Beach | ZUL Lumsift",
                                                 "addKeyword T Lumsift Target | ZUL Lumsift",
                                                 "addKeyword T Lumsift Beach | ZUL Lumsift"));
    EXPECT_THAT(*Access::taggedImageKeyword(lib.h.engine),
                ElementsAre("Lumsift Beach", "Lumsift Beach", "Lumsift Beach", "Lumsift Target",
                            "Lumsift Beach"));
    EXPECT_EQ(Access::taggedImages(lib.h.engine)->size(), 5u);
    EXPECT_EQ(lib.h.resultsPage->similarLabel.value(), "3");
    EXPECT_EQ(lib.h.resultsPage->analysedLabel.value(), "1");
    // The end posts, in order, after Clear Keywords is enabled.
    const auto events = lib.h.events.events();
    EXPECT_THAT(std::vector(events.end() - 6, events.end()),
                ElementsAre("resultsView.setClearKeywordsEnabled=1",
                            "resultsView.similarImagesLabel=3", "resultsView.analysedImagesLabel=1",
                            "resultsView.retrieveStatusLabel=Retrieval Complete",
                            "resultsView.enableStartSearchButton", "delegate.enableNextView"));
}

TEST(Search, SensitivityZeroOffersOnlyALooserValue) {
    SearchLibrary lib;
    lib.add(kTarget, "T");
    lib.addAtDistances({0, 4});
    lib.h.engine.setMoreSensitiveValue(6);
    lib.searchFor({"T"}, 0);
    EXPECT_TRUE(lib.h.events.contains("resultsView.setMoreImagesText=1 more images will be found "
                                      "by relaxing the sensitivity to 4."));
    EXPECT_FALSE(lib.h.events.contains("resultsView.setLessImagesEnabled=1"));
    EXPECT_EQ(lib.h.engine.lessSensitiveValue(), 4u);
    EXPECT_EQ(lib.h.engine.moreSensitiveValue(), 6u);
    EXPECT_EQ(lib.h.resultsPage->similarLabel.value(), "1");
}

TEST(Search, FourMatchesAtOneDistanceMakeNoSuggestion) {
    SearchLibrary lib;
    lib.add(kTarget, "T");
    lib.addAtDistances({3, 3, 3, 3, 40});
    lib.searchFor({"T"}, 7);
    EXPECT_TRUE(lib.h.events.contains(
        "resultsView.setPerSensitivityToolTip=Images Found:\n4 images @ sensitvity 3"));
    EXPECT_FALSE(lib.h.events.contains("resultsView.setMoreImagesEnabled=1"));
    EXPECT_FALSE(lib.h.events.contains("resultsView.setLessImagesEnabled=1"));
}

TEST(Search, TwoTargetsWithinEachOthersSensitivity) {
    SearchLibrary lib;
    lib.add(kTarget, "T1");
    lib.add(atDistance(2), "T2");
    lib.add(atDistance(40), "far");
    lib.searchFor({"T1", "T2"}, 5);
    EXPECT_THAT(lib.keywordsAdded(), ElementsAre("addKeyword T2 Lumsift T1 | ZUL Lumsift",
                                                 "addKeyword T1 Lumsift Target | ZUL Lumsift",
                                                 "addKeyword T1 Lumsift T1 | ZUL Lumsift",
                                                 "addKeyword T1 Lumsift T2 | ZUL Lumsift",
                                                 "addKeyword T2 Lumsift Target | ZUL Lumsift",
                                                 "addKeyword T2 Lumsift T2 | ZUL Lumsift"));
    EXPECT_EQ(lib.h.resultsPage->similarLabel.value(), "2");
    EXPECT_EQ(lib.h.resultsPage->analysedLabel.value(), "2");
    EXPECT_TRUE(lib.h.events.startingWith("resultsView.setPerSensitivityToolTip").empty());
    EXPECT_FALSE(lib.h.events.contains("resultsView.setMoreImagesEnabled=1"));
}

TEST(Search, ImageNearTwoTargetsIsCountedTwice) {
    SearchLibrary lib;
    lib.add(atDistance(1), "T1");
    lib.add(atDistance(3), "T2");
    lib.add(kTarget, "shared");
    lib.searchFor({"T1", "T2"}, 3);
    const auto shared = lib.h.app->keywordsOf("shared");
    ASSERT_EQ(shared.size(), 2u);
    EXPECT_EQ(shared[0].name, "Lumsift T1");
    EXPECT_EQ(shared[1].name, "Lumsift T2");
    // T1 and T2 lie 2 apart: each matches the other too.
    EXPECT_EQ(lib.h.resultsPage->similarLabel.value(), "4");
}

TEST(Search, RotationsFollowTheLoadingPagesAnalysisChoice) {
    // The top row against the left-hand column: one quarter-turn apart, 14 bits unturned.
    const uint64_t row = 0xFF, column = 0x0101010101010101;
    for (const auto& [code, choice, expected] :
         std::vector<std::tuple<int32_t, int32_t, std::string>>{{kAlgorithmPro, 0, "0"},
                                                                {kAlgorithmPro, 1, "0"},
                                                                {kAlgorithmPro, 3, "0"},
                                                                {kAlgorithmPro, 2, "14"},
                                                                {kAlgorithmPlus, 2, "14"},
                                                                {kAlgorithmPlain, 2, "14"},
                                                                {kAlgorithmPlus, 0, "0"}}) {
        SearchLibrary lib(code, choice);
        lib.add(row, "T");
        lib.add(column, "turned");
        lib.searchFor({"T"}, 15);
        EXPECT_TRUE(lib.h.events.contains("resultsView.setPerSensitivityToolTip=Images Found:\n1 "
                                          "images @ sensitvity " +
                                          expected))
            << "code " << code << " choice " << choice;
    }
}

TEST(Search, WithoutALoadingPageTheChoiceCountsAsZeroAndRotationsAreTried) {
    SearchLibrary lib(kAlgorithmPro, kAlgorithmPro);
    lib.add(0xFF, "T");
    lib.add(0x0101010101010101, "turned");
    lib.h.load();
    Access::setDataView(lib.h.engine, nullptr);
    lib.h.app->setSelection({"T"});
    lib.h.resultsPage->sensitivityValue = 0;
    lib.h.search();
    EXPECT_EQ(lib.h.resultsPage->similarLabel.value(), "1");
}

TEST(Search, TargetMissingFromTheLoadIsReadFromItsTags) {
    SearchLibrary lib;
    lib.add(atDistance(2), "A");
    lib.h.load();
    // Added to the library after the load.
    lib.h.app->setCustomTag("new", kTagPlus, std::to_string(kTarget));
    lib.h.app->setCustomTag("new", kTagPlain, "999");
    lib.h.app->setSelection({"new"});
    lib.h.resultsPage->sensitivityValue = 3;
    lib.h.search();
    EXPECT_THAT(lib.h.app->callsStartingWith("versionTag"),
                ElementsAre("versionTagValues new", "versionTagNames new"));
    EXPECT_EQ(lib.h.resultsPage->similarLabel.value(), "1");
    EXPECT_EQ(lib.h.app->keywordsOf("A").size(), 1u);
}

TEST(Search, LoadedTargetWithoutFingerprintFindsNothingAndKeepsProgress) {
    SearchLibrary lib;
    lib.add(std::nullopt, "T");
    lib.addAtDistances({0, 1});
    lib.h.load();
    lib.h.app->setCustomTag("T", kTagPlus, std::to_string(kTarget)); // written after the load
    lib.h.app->setSelection({"T"});
    lib.h.search();
    EXPECT_TRUE(lib.h.app->callsStartingWith("versionTag").empty());
    EXPECT_EQ(lib.h.resultsPage->similarLabel.value(), "0");
    EXPECT_TRUE(lib.h.events.contains("resultsView.setPerSensitivityToolTip=Images Found:"));
    EXPECT_EQ(lib.h.resultsPage->progress.doubleValue(), 3);
    EXPECT_FALSE(lib.h.events.contains("resultsView.setClearKeywordsEnabled=1"));
    ASSERT_NE(Access::taggedImages(lib.h.engine), nullptr);
    EXPECT_TRUE(Access::taggedImages(lib.h.engine)->empty()) << "an empty record, not absent";
}

TEST(Search, OnlyImageInTheLibraryComparesNothing) {
    SearchLibrary lib;
    lib.add(kTarget, "T");
    lib.searchFor({"T"}, 15);
    EXPECT_EQ(lib.h.resultsPage->similarLabel.value(), "0");
    EXPECT_TRUE(lib.h.events.contains("resultsView.setPerSensitivityToolTip=Images Found:"));
}

TEST(Search, NoLoadedImages) {
    SearchLibrary lib;
    lib.h.load();
    lib.h.app->setCustomTag("T", kTagPlus, std::to_string(kTarget));
    lib.h.app->setSelection({"T"});
    lib.h.search();
    EXPECT_TRUE(lib.h.events.contains("resultsView.progress.max=0"));
    EXPECT_TRUE(lib.h.events.startingWith("resultsView.progress.value").empty());
    EXPECT_EQ(lib.h.resultsPage->similarLabel.value(), "0");
}

TEST(Search, ProgressIsPostedAboutEveryHundredthAndAlwaysAtTheEnd) {
    SearchLibrary lib;
    lib.add(kTarget, "T");
    for (int i = 0; i < 1498; ++i)
        lib.add(atDistance(40));
    lib.add(kTarget, "T2");
    lib.searchFor({"T", "T2"}, 7);
    EXPECT_TRUE(lib.h.events.contains("resultsView.progress.max=3000"));
    const auto posted = lib.h.events.startingWith("resultsView.progress.value=");
    EXPECT_LE(posted.size(), 102u);
    EXPECT_GE(posted.size(), 50u);
    double last = 0;
    for (const auto& event : posted) {
        const double value = std::stod(event.substr(event.find('=') + 1));
        EXPECT_GT(value, last);
        last = value;
    }
    EXPECT_EQ(last, 3000);
}

TEST(Search, LockIsReleasedWhenARequestFails) {
    SearchLibrary lib;
    lib.add(kTarget, "T");
    lib.add(atDistance(1), "A");
    lib.h.app->failOn("addKeyword");
    lib.searchFor({"T"}, 7);
    bool locked = false;
    std::thread other([&] {
        auto& lock = Access::engineLock(lib.h.engine);
        locked = lock.try_lock();
        if (locked)
            lock.unlock();
    });
    other.join();
    EXPECT_TRUE(locked);
    EXPECT_TRUE(lib.h.events.contains("resultsView.enableStartSearchButton"));
    EXPECT_TRUE(lib.h.events.contains("delegate.enableNextView"));
}

TEST(Search, TakesItsListOnceAndFollowsTheKindChosenBefore) {
    SearchLibrary lib(kAlgorithmPlus);
    lib.add(kTarget, "T");
    lib.add(atDistance(1), "A");
    lib.h.app->setCustomTag("A", kTagPro, std::to_string(atDistance(9)));
    lib.h.app->setCustomTag("T", kTagPro, std::to_string(kTarget));
    lib.h.load();
    lib.h.engine.switchSearchAlgorithm(kAlgorithmPro);
    lib.h.app->setSelection({"T"});
    lib.h.resultsPage->sensitivityValue = 15;
    lib.h.search();
    EXPECT_TRUE(lib.h.events.contains(
        "resultsView.setPerSensitivityToolTip=Images Found:\n1 images @ sensitvity 9"));
}

} // namespace
} // namespace lumsift
