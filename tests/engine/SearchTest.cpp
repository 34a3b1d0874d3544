// The similarity search against the fake application: matches, keywords and their record, the
// single-target summary, rotations by analysis choice, progress and the posts around it all.
#include "platform/log/Log.h"
#include "tests/engine/support/EngineHarness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace lumsift {
namespace {

using testing::EngineHarness;
using Access = EngineHarness::Access;
using Strings = std::vector<std::string>;
using ::testing::ElementsAre;

constexpr uint64_t kTarget = 0xFF00;
// A fingerprint `d` bits away from kTarget (never 0).
uint64_t atDistance(int d) {
    return kTarget ^ ((uint64_t{1} << d) - 1);
}
const std::string kToolTip = "resultsView.setPerSensitivityToolTip=Images Found:";
std::string more(int n, int to) {
    return "resultsView.setMoreImagesText=" + std::to_string(n) +
           " more images will be found by relaxing the sensitivity to " + std::to_string(to) + ".";
}
std::string fewer(int n, int to) {
    return "resultsView.setLessImagesText=" + std::to_string(n) +
           " fewer images will be found by tightening the sensitivity to " + std::to_string(to) +
           ".";
}
std::string keyword(const std::string& id, const std::string& name) {
    return "addKeyword " + id + " " + name + " | ZUL Lumsift";
}

// A library of one project for searches of kind `code`. The analysis choice defaults to 2 so
// that no rotations are tried and distances are exactly as built.
struct SearchLibrary : EngineHarness {
    explicit SearchLibrary(int32_t code = kAlgorithmPlus, int32_t analysisChoice = kAlgorithmPro)
        : code(code) {
        giveDelegate();
        loadingPage->algorithm = analysisChoice;
        engine.switchSearchAlgorithm(code);
        project = app->addProject("Library");
    }
    // Adds an image whose fingerprint of the searched kind is `value` (nullopt: no tag).
    std::string add(std::optional<uint64_t> value, std::string id = {}) {
        if (id.empty())
            id = std::string("I").append(std::to_string(++count));
        app->addVersion(project, id);
        if (value)
            app->setCustomTag(id, tag(), std::to_string(*value));
        return id;
    }
    void addAtDistances(std::initializer_list<int> distances) {
        for (int d : distances)
            add(atDistance(d));
    }
    // Adds images by name at their distances from kTarget.
    void addNamed(std::initializer_list<std::pair<const char*, int>> named) {
        for (const auto& [id, d] : named)
            add(atDistance(d), id);
    }
    const char* tag() const {
        return code == kAlgorithmPlus ? kTagPlus : code == kAlgorithmPlain ? kTagPlain : kTagPro;
    }
    // Searches the loaded library for `targets`; loads it first unless `loaded`.
    void searchFor(Strings targets, int64_t sensitivity, bool automatic = false,
                   bool loaded = false) {
        if (!loaded)
            load();
        app->setSelection(std::move(targets));
        resultsPage->sensitivityValue = sensitivity;
        resultsPage->automatic = automatic;
        search();
    }
    Strings keywordsAdded() const { return app->callsStartingWith("addKeyword"); }
    bool saw(const std::string& event) const { return events.contains(event); }
    std::string similar() const { return resultsPage->similarLabel.value(); }

    int32_t code;
    std::string project;
    int count = 0;
};

TEST(Search, WorkedExamplesAtFixedSensitivity) {
    struct Case {
        int64_t sensitivity;
        std::string similar, looser, tighter;
        uint64_t lessValue, moreValue;
    };
    for (const Case& c :
         {Case{7, "3", more(3, 9), fewer(2, 2), 9, 2}, Case{15, "7", "", fewer(1, 9), 4, 9}}) {
        SearchLibrary lib;
        lib.add(kTarget, "T");
        lib.addAtDistances({2, 5, 5, 9, 9, 9, 12, 20, 30, 40, 50});
        lib.engine.setLessSensitiveValue(4); // left as it is without a looser value
        lib.searchFor({"T"}, c.sensitivity);
        SCOPED_TRACE(c.sensitivity);
        EXPECT_TRUE(lib.saw(kToolTip + "\n1 images @ sensitvity 2\n2 images @ sensitvity 5"
                                       "\n3 images @ sensitvity 9\n1 images @ sensitvity 12"));
        EXPECT_EQ(lib.events.startingWith("resultsView.setMoreImagesText"),
                  c.looser.empty() ? Strings{} : Strings{c.looser});
        EXPECT_EQ(lib.saw("resultsView.setMoreImagesEnabled=1"), !c.looser.empty());
        EXPECT_TRUE(lib.saw(c.tighter));
        EXPECT_TRUE(lib.saw("resultsView.setLessImagesEnabled=1"));
        EXPECT_EQ(lib.engine.lessSensitiveValue(), c.lessValue);
        EXPECT_EQ(lib.engine.moreSensitiveValue(), c.moreValue);
        EXPECT_EQ(lib.similar(), c.similar);
        EXPECT_EQ(lib.resultsPage->analysedLabel.value(), "1");
        EXPECT_EQ(lib.resultsPage->statusLabel.value(), "Retrieval Complete");
        EXPECT_EQ(lib.keywordsAdded().size(), std::stoul(c.similar) + 2);
        EXPECT_EQ(lib.main->runAndWaitCount(), 0u) << "the search never waits for the main thread";
    }
}

TEST(Search, AutomaticSensitivityLowersToTheNearestMatches) {
    SearchLibrary lib(kAlgorithmPlus);
    lib.add(kTarget, "T");
    lib.addAtDistances({12, 8, 10, 8, 5, 5, 30});
    lib.searchFor({"T"}, 3, true);
    EXPECT_THAT(lib.events.startingWith("resultsView.setSensitivity="),
                ElementsAre("resultsView.setSensitivity=10", "resultsView.setSensitivity=8",
                            "resultsView.setSensitivity=5"));
    EXPECT_EQ(lib.similar(), "2");
    EXPECT_THAT(lib.keywordsAdded(),
                ElementsAre(keyword("I5", "Lumsift T"), keyword("I6", "Lumsift T"),
                            keyword("T", "Lumsift Target"), keyword("T", "Lumsift T")));
    EXPECT_FALSE(lib.saw("resultsView.setLessImagesEnabled=1"));
    EXPECT_TRUE(lib.saw(more(2, 8)));
    EXPECT_EQ(lib.engine.lessSensitiveValue(), 8u);
    EXPECT_EQ(Access::similaritySensitivity(lib.engine), 5);

    // A Pro search starts at 15 and keeps it when nothing is near.
    SearchLibrary pro(kAlgorithmPro);
    pro.add(kTarget, "T");
    pro.addAtDistances({16, 40});
    pro.searchFor({"T"}, 3, true);
    EXPECT_EQ(pro.events.startingWith("resultsView.setSensitivity="),
              Strings{"resultsView.setSensitivity=15"});
    EXPECT_EQ(pro.similar(), "0");
}

TEST(Search, AutomaticSensitivityStartsAfreshForEachTarget) {
    // T1 finds A at 3; T2 (40 bits from T1) finds B at 8, which it misses if it starts from 3.
    constexpr uint64_t kSecond = 0xFFFFFFFF00000000;
    for (const int32_t code : {kAlgorithmPlus, kAlgorithmPlain, kAlgorithmPro}) {
        SCOPED_TRACE(code);
        const std::string start = code == kAlgorithmPro ? "15" : "10";
        SearchLibrary lib(code);
        lib.add(kTarget, "T1");
        lib.add(kSecond, "T2");
        lib.add(atDistance(3), "A");
        lib.add(kSecond ^ 0xFF, "B");
        lib.searchFor({"T1", "T2"}, 7, true);
        EXPECT_THAT(
            lib.events.startingWith("resultsView.setSensitivity="),
            ElementsAre("resultsView.setSensitivity=" + start, "resultsView.setSensitivity=3",
                        "resultsView.setSensitivity=" + start, "resultsView.setSensitivity=8"));
        EXPECT_THAT(lib.keywordsAdded(),
                    ElementsAre(keyword("A", "Lumsift T1"), keyword("T1", "Lumsift Target"),
                                keyword("T1", "Lumsift T1"), keyword("B", "Lumsift T2"),
                                keyword("T2", "Lumsift Target"), keyword("T2", "Lumsift T2")));
        EXPECT_EQ(lib.similar(), "2");
        EXPECT_EQ(Access::similaritySensitivity(lib.engine), 8);
    }
}

TEST(Search, EmptySelectionPostsReadyAndKeepsTheRecord) {
    SearchLibrary lib;
    lib.add(kTarget, "T");
    lib.load();
    Access::startRecord(lib.engine);
    lib.engine.addLumsfKeyword(lib.app->handle("T"), "Lumsift old");
    lib.engine.setLessSensitiveValue(3);
    lib.events.clear();
    lib.searchFor({}, 7, false, true);
    EXPECT_THAT(
        lib.events.events(),
        ElementsAre("delegate.disableNextView", "resultsView.specialMessagesLabel=",
                    "resultsView.setMoreImagesEnabled=0", "resultsView.setLessImagesEnabled=0",
                    "resultsView.specialMessagesLabel=No images were selected.  Select "
                    "the images you wish to search for in Aperture and try again.",
                    "delegate.enableNextView", "resultsView.enableStartSearchButton",
                    "resultsView.similarImagesLabel=Ready", "resultsView.analysedImagesLabel=Ready",
                    "resultsView.retrieveStatusLabel=Ready To Search"));
    EXPECT_THAT(*Access::taggedImageKeyword(lib.engine), ElementsAre("Lumsift old"));
    EXPECT_EQ(lib.engine.lessSensitiveValue(), 3u);
}

TEST(Search, SingleTargetWithThreeMatchesUpToTheSensitivityAddsFiveKeywords) {
    SearchLibrary lib;
    // C is at the sensitivity, a match; D one above, none.
    lib.addNamed({{"A", 1}, {"T", 0}, {"far", 30}, {"B", 2}, {"C", 7}, {"D", 8}});
    lib.app->setVersionName("T", "Beach");
    lib.searchFor({"T"}, 7);
    EXPECT_THAT(lib.keywordsAdded(),
                ElementsAre(keyword("A", "Lumsift Beach"), keyword("B", "Lumsift Beach"),
                            keyword("C", "Lumsift Beach"), keyword("T", "Lumsift Target"),
                            keyword("T", "Lumsift Beach")));
    EXPECT_THAT(*Access::taggedImageKeyword(lib.engine),
                ElementsAre("Lumsift Beach", "Lumsift Beach", "Lumsift Beach", "Lumsift Target",
                            "Lumsift Beach"));
    EXPECT_EQ(Access::taggedImages(lib.engine)->size(), 5u);
    // The end posts, in order, after Clear Keywords is enabled.
    const Strings events = lib.events.events();
    EXPECT_THAT(Strings(events.end() - 6, events.end()),
                ElementsAre("resultsView.setClearKeywordsEnabled=1",
                            "resultsView.similarImagesLabel=3", "resultsView.analysedImagesLabel=1",
                            "resultsView.retrieveStatusLabel=Retrieval Complete",
                            "resultsView.enableStartSearchButton", "delegate.enableNextView"));
}

TEST(Search, SuggestionsOnlyWhereTheyChangeTheCount) {
    // At sensitivity 0 only a looser value; four matches at one distance offer neither.
    SearchLibrary zero;
    zero.add(kTarget, "T");
    zero.addAtDistances({0, 4});
    zero.engine.setMoreSensitiveValue(6);
    zero.searchFor({"T"}, 0);
    EXPECT_TRUE(zero.saw(more(1, 4)));
    EXPECT_FALSE(zero.saw("resultsView.setLessImagesEnabled=1"));
    EXPECT_EQ(zero.engine.lessSensitiveValue(), 4u);
    EXPECT_EQ(zero.engine.moreSensitiveValue(), 6u);
    EXPECT_EQ(zero.similar(), "1");

    SearchLibrary same;
    same.add(kTarget, "T");
    same.addAtDistances({3, 3, 3, 3, 40});
    same.searchFor({"T"}, 7);
    EXPECT_TRUE(same.saw(kToolTip + "\n4 images @ sensitvity 3"));
    EXPECT_FALSE(same.saw("resultsView.setMoreImagesEnabled=1"));
    EXPECT_FALSE(same.saw("resultsView.setLessImagesEnabled=1"));
}

TEST(Search, TwoTargetsWithinEachOthersSensitivityAndAnImageNearBoth) {
    SearchLibrary lib;
    lib.addNamed({{"T1", 0}, {"T2", 2}, {"S", 1}, {"far", 40}}); // S is 1 from each target
    lib.searchFor({"T1", "T2"}, 5);
    EXPECT_THAT(lib.keywordsAdded(),
                ElementsAre(keyword("T2", "Lumsift T1"), keyword("S", "Lumsift T1"),
                            keyword("T1", "Lumsift Target"), keyword("T1", "Lumsift T1"),
                            keyword("T1", "Lumsift T2"), keyword("S", "Lumsift T2"),
                            keyword("T2", "Lumsift Target"), keyword("T2", "Lumsift T2")));
    EXPECT_EQ(lib.similar(), "4"); // S counts for each target
    EXPECT_EQ(lib.resultsPage->analysedLabel.value(), "2");
    EXPECT_TRUE(lib.events.startingWith(kToolTip).empty()) << "a summary for one target only";
}

TEST(Search, RotationsFollowTheLoadingPagesAnalysisChoice) {
    // The top row against the left-hand column: one quarter-turn apart, 14 bits unturned.
    // A choice of -1 stands for no loading page, which counts as 0.
    for (const int32_t code : {kAlgorithmPro, kAlgorithmPlus, kAlgorithmPlain})
        for (const int32_t choice : {0, 1, 2, 3, -1}) {
            const std::string expected = choice == kAlgorithmPro ? "14" : "0";
            SearchLibrary lib(code, choice);
            lib.add(0xFF, "T");
            lib.add(0x0101010101010101, "turned");
            lib.load();
            if (choice < 0)
                Access::setDataView(lib.engine, nullptr);
            lib.searchFor({"T"}, 15, false, true);
            EXPECT_TRUE(lib.saw(kToolTip + "\n1 images @ sensitvity " + expected))
                << "code " << code << " choice " << choice;
        }
}

TEST(Search, TargetMissingFromTheLoadOrWithNoImageLoadedIsReadFromItsTags) {
    SearchLibrary lib;
    lib.add(atDistance(2), "A");
    lib.load();
    // Added to the library after the load.
    lib.app->setCustomTag("new", kTagPlus, std::to_string(kTarget));
    lib.app->setCustomTag("new", kTagPlain, "999");
    lib.searchFor({"new"}, 3, false, true);
    EXPECT_THAT(lib.app->callsStartingWith("versionTag"),
                ElementsAre("versionTagValues new", "versionTagNames new"));
    EXPECT_EQ(lib.similar(), "1");
    EXPECT_EQ(lib.app->keywordsOf("A").size(), 1u);

    // With no image loaded, nothing is compared.
    SearchLibrary none;
    none.load();
    none.app->setCustomTag("T", kTagPlus, std::to_string(kTarget));
    none.searchFor({"T"}, 7, false, true);
    EXPECT_TRUE(none.saw("resultsView.progress.max=0"));
    EXPECT_TRUE(none.events.startingWith("resultsView.progress.value").empty());
    EXPECT_EQ(none.similar(), "0");
}

TEST(Search, LoadedTargetWithoutFingerprintOrTheOnlyImageFindsNothing) {
    SearchLibrary lib;
    lib.add(std::nullopt, "T");
    lib.addAtDistances({0, 1});
    lib.load();
    lib.app->setCustomTag("T", kTagPlus, std::to_string(kTarget)); // written after the load
    lib.searchFor({"T"}, 7, false, true);
    EXPECT_TRUE(lib.app->callsStartingWith("versionTag").empty());
    EXPECT_EQ(lib.similar(), "0");
    EXPECT_TRUE(lib.saw(kToolTip));
    EXPECT_EQ(lib.events.startingWith("resultsView.progress.value").back(),
              "resultsView.progress.value=3");
    EXPECT_FALSE(lib.saw("resultsView.setClearKeywordsEnabled=1"));
    ASSERT_NE(Access::taggedImages(lib.engine), nullptr);
    EXPECT_TRUE(Access::taggedImages(lib.engine)->empty()) << "an empty record, not absent";

    // The only image in the library has nothing to be compared with.
    SearchLibrary only;
    only.add(kTarget, "T");
    only.searchFor({"T"}, 15);
    EXPECT_EQ(only.similar(), "0");
    EXPECT_TRUE(only.saw(kToolTip));
}

TEST(Search, ProgressIsPostedAboutEveryHundredthAndAlwaysAtTheEnd) {
    SearchLibrary lib;
    lib.add(kTarget, "T");
    for (int i = 0; i < 1498; ++i)
        lib.add(atDistance(40));
    lib.add(kTarget, "T2");
    lib.searchFor({"T", "T2"}, 7);
    EXPECT_TRUE(lib.saw("resultsView.progress.max=3000"));
    const Strings posted = lib.events.startingWith("resultsView.progress.value=");
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

TEST(Search, FailedSelectionRequestGivesTheControlsBackAndSaysTheSearchStopped) {
    SearchLibrary lib;
    lib.add(kTarget, "T");
    lib.load();
    lib.app->failOn("selection");
    const log::Capture log;
    lib.searchFor({"T"}, 7, false, true);
    EXPECT_TRUE(lib.saw("resultsView.enableStartSearchButton"));
    EXPECT_TRUE(lib.saw("delegate.enableNextView"));
    EXPECT_EQ(lib.resultsPage->statusLabel.value(), "Search Stopped");
    EXPECT_TRUE(lib.resultsPage->messagesLabel.value().starts_with("The search stopped: "))
        << lib.resultsPage->messagesLabel.value();
    EXPECT_EQ(lib.similar(), "0");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.lines()[0].starts_with("LumsiftForAperture detectSimilar: FakeFailure"));
    EXPECT_EQ(Access::taggedImages(lib.engine), nullptr) << "the record is left as it was";
}

TEST(Search, FailurePartWayRecordsEveryKeywordWrittenAndEnablesClearKeywords) {
    // Either a request the application cannot answer or any other error, on the target's first
    // keyword, after its two matches have theirs.
    for (const std::exception_ptr& error :
         {std::make_exception_ptr(scripting::ScriptingError("LibraryLocked", "locked")),
          std::make_exception_ptr(std::bad_alloc())}) {
        SearchLibrary lib;
        lib.addNamed({{"T", 0}, {"A", 1}, {"B", 2}});
        lib.app->failWith("addKeyword", "T", error);
        lib.searchFor({"T"}, 7);
        EXPECT_THAT(*Access::taggedImageKeyword(lib.engine), ElementsAre("Lumsift T", "Lumsift T"));
        EXPECT_THAT(*Access::taggedImages(lib.engine),
                    ElementsAre(lib.app->handle("A"), lib.app->handle("B")));
        EXPECT_TRUE(lib.saw("resultsView.setClearKeywordsEnabled=1"));
        EXPECT_EQ(lib.similar(), "2");
        EXPECT_EQ(lib.resultsPage->analysedLabel.value(), "0");
        EXPECT_EQ(lib.resultsPage->statusLabel.value(), "Search Stopped");
        EXPECT_TRUE(lib.resultsPage->messagesLabel.value().starts_with("The search stopped: "));
        EXPECT_TRUE(lib.saw("resultsView.enableStartSearchButton"));
        EXPECT_TRUE(lib.saw("delegate.enableNextView"));
        EXPECT_TRUE(lib.engineLockIsFree());
    }
}

TEST(Search, StopRequestEndsTheSearchBeforeTheNextTarget) {
    SearchLibrary lib;
    lib.addNamed({{"T1", 0}, {"T2", 2}, {"S", 1}, {"far", 40}});
    lib.app->setRequestHook([&](const std::string& entry) {
        if (entry.starts_with("addKeyword T1 Lumsift T1"))
            lib.engine.requestStop();
    });
    lib.searchFor({"T1", "T2"}, 5);
    EXPECT_THAT(lib.keywordsAdded(),
                ElementsAre(keyword("T2", "Lumsift T1"), keyword("S", "Lumsift T1"),
                            keyword("T1", "Lumsift Target"), keyword("T1", "Lumsift T1")));
    EXPECT_EQ(Access::taggedImages(lib.engine)->size(), 4u);
    EXPECT_TRUE(lib.saw("resultsView.setClearKeywordsEnabled=1"));
    EXPECT_EQ(lib.resultsPage->statusLabel.value(), "Search Stopped");
    EXPECT_EQ(lib.similar(), "2");
    EXPECT_EQ(lib.resultsPage->analysedLabel.value(), "1");
    EXPECT_TRUE(lib.saw("resultsView.enableStartSearchButton"));
    EXPECT_FALSE(lib.engine.runUnderway());
}

TEST(Search, TakesItsListOnceAndFollowsTheKindChosenBefore) {
    SearchLibrary lib(kAlgorithmPlus);
    lib.add(kTarget, "T");
    lib.add(atDistance(1), "A");
    lib.app->setCustomTag("A", kTagPro, std::to_string(atDistance(9)));
    lib.app->setCustomTag("T", kTagPro, std::to_string(kTarget));
    lib.load();
    lib.engine.switchSearchAlgorithm(kAlgorithmPro);
    lib.searchFor({"T"}, 15, false, true);
    EXPECT_TRUE(lib.saw(kToolTip + "\n1 images @ sensitvity 9"));
}

} // namespace
} // namespace lumsift
