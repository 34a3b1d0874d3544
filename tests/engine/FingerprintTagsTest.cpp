// Stored fingerprint tags (save and read back) and the search keywords with their record.
#include "platform/log/Log.h"
#include "tests/engine/support/EngineHarness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace lumsift {
namespace {

using testing::EngineHarness;
using Access = LumsiftForApertureTestAccess;
using ::testing::ElementsAre;

const FingerprintEntry kNull = std::nullopt;

TEST(FingerprintTags, SavesUnsignedDecimalTextUnderTheKindsName) {
    EngineHarness h;
    const auto image = h.app->addVersion(h.app->addProject("P"), "V");
    h.engine.saveLumsiftHash(image, 1, kAlgorithmPlain);
    h.engine.saveLumsiftHash(image, 0, kAlgorithmPlus);
    h.engine.saveLumsiftHash(image, (1ull << 63) + 1, kAlgorithmPro);
    for (const int32_t none : std::initializer_list<int32_t>{kAlgorithmAll, 4, -1})
        h.engine.saveLumsiftHash(image, 5, none);
    EXPECT_THAT(h.app->callsStartingWith("addCustomTag"),
                ElementsAre("addCustomTag V Lumsift 1", "addCustomTag V Lumsift+ 0",
                            "addCustomTag V LumsiftPro 9223372036854775809"));
    // 2^64 - 1 round trips as twenty digits; a later save of a kind replaces its value.
    h.engine.saveLumsiftHash(image, UINT64_MAX, kAlgorithmPlus);
    EXPECT_EQ(h.app->customTag("V", kTagPlus), "18446744073709551615");
    EXPECT_THAT(h.engine.retrieveLumsiftHash(image, kAlgorithmPlus),
                ElementsAre(kNull, FingerprintEntry(UINT64_MAX), kNull));
}

TEST(FingerprintTags, ReadsOnlyTheKindsAskedForAsStrtoullDoes) {
    EngineHarness h;
    const auto image = h.app->addVersion(h.app->addProject("P"), "V");
    h.app->setCustomTag("V", kTagPlain, "");
    h.app->setCustomTag("V", kTagPlus, " 42 apples");
    h.app->setCustomTag("V", kTagPro, "apples");
    const FingerprintReading all{0, 42, 0};
    for (const auto& [code, reading] :
         std::vector<std::pair<int32_t, FingerprintReading>>{{kAlgorithmAll, all},
                                                             {kAlgorithmPlain, {0, kNull, kNull}},
                                                             {kAlgorithmPlus, {kNull, 42, kNull}},
                                                             {kAlgorithmPro, {kNull, kNull, 0}},
                                                             {4, {}},
                                                             {-1, {}}})
        EXPECT_EQ(h.engine.retrieveLumsiftHash(image, code), reading) << "code " << code;
    // Two requests each: all values, then all names.
    EXPECT_THAT(h.app->callsStartingWith("versionTag"),
                ::testing::Each(::testing::AnyOf("versionTagValues V", "versionTagNames V")));
    EXPECT_EQ(h.app->callsStartingWith("versionTag").size(), 12u);
    EXPECT_EQ(h.app->callsStartingWith("versionTag")[0], "versionTagValues V");
}

TEST(FingerprintTags, AddedKeywordsAreRecordedInOrder) {
    EngineHarness h;
    const auto project = h.app->addProject("P");
    const auto a = h.app->addVersion(project, "A");
    const auto b = h.app->addVersion(project, "B");
    // Without a record the keyword is still added, but nothing is recorded.
    h.engine.addLumsfKeyword(a, "Lumsift early");
    EXPECT_EQ(Access::taggedImages(h.engine), nullptr);
    Access::startRecord(h.engine);
    h.engine.addLumsfKeyword(b, "Lumsift A");
    h.engine.addLumsfKeyword(b, "Lumsift A");
    h.engine.addLumsfKeyword(a, "Lumsift Target");
    EXPECT_THAT(*Access::taggedImageKeyword(h.engine),
                ElementsAre("Lumsift A", "Lumsift A", "Lumsift Target"));
    EXPECT_THAT(*Access::taggedImages(h.engine), ElementsAre(b, b, a));
    EXPECT_THAT(h.app->callsStartingWith("addKeyword"),
                ElementsAre("addKeyword A Lumsift early | ZUL Lumsift",
                            "addKeyword B Lumsift A | ZUL Lumsift",
                            "addKeyword B Lumsift A | ZUL Lumsift",
                            "addKeyword A Lumsift Target | ZUL Lumsift"));
}

TEST(FingerprintTags, RemovalDeletesTheFirstKeywordOfThatNameUnderZulLumsift) {
    EngineHarness h;
    const auto project = h.app->addProject("P");
    const auto a = h.app->addVersion(project, "A");
    const auto b = h.app->addVersion(project, "B");
    // Without a record nothing is deleted; Clear Keywords is disabled all the same.
    h.app->assignKeyword("A", "Lumsift B", "Trips");
    h.engine.removeLumsfKeywords(*h.resultsPage);
    EXPECT_EQ(h.app->keywordsOf("A").size(), 1u);
    EXPECT_THAT(h.events.events(), ElementsAre("resultsView.setClearKeywordsEnabled=0"));

    // The user's keywords of the recorded names, under another parent or none, listed before
    // and after the search's own: only the search's are deleted.
    Access::startRecord(h.engine);
    h.app->assignKeyword("B", "Lumsift X", "");
    h.engine.addLumsfKeyword(a, "Lumsift B");
    h.engine.addLumsfKeyword(a, "Lumsift Target");
    // A pair recorded twice deletes two; B's keyword the user removed already is passed over.
    h.engine.addLumsfKeyword(a, "Lumsift X");
    h.engine.addLumsfKeyword(a, "Lumsift X");
    h.engine.addLumsfKeyword(b, "Lumsift X");
    h.app->assignKeyword("A", "Lumsift X", "User");
    h.app->deleteKeyword("B", h.app->keywordsOf("B")[1]);
    h.engine.removeLumsfKeywords(*h.resultsPage);
    const auto parentOf = [](const scripting::ApertureKeyword& k) { return k.name + "|" + k.parent; };
    std::vector<std::string> left;
    for (const auto& keyword : h.app->keywordsOf("A"))
        left.push_back(parentOf(keyword));
    EXPECT_THAT(left, ElementsAre("Lumsift B|Trips", "Lumsift X|User"));
    ASSERT_EQ(h.app->keywordsOf("B").size(), 1u);
    EXPECT_EQ(parentOf(h.app->keywordsOf("B")[0]), "Lumsift X|");
    EXPECT_EQ(Access::taggedImages(h.engine), nullptr);
    EXPECT_EQ(Access::taggedImageKeyword(h.engine), nullptr);
}

TEST(FingerprintTags, RemovalThatTheApplicationCannotAnswerKeepsWhatWasNotRemoved) {
    EngineHarness h;
    h.giveDelegate();
    const auto project = h.app->addProject("P");
    const auto a = h.app->addVersion(project, "A");
    const auto b = h.app->addVersion(project, "B");
    const auto c = h.app->addVersion(project, "C");
    Access::startRecord(h.engine);
    h.engine.addLumsfKeyword(a, "Lumsift T");
    h.engine.addLumsfKeyword(b, "Lumsift T");
    h.engine.addLumsfKeyword(c, "Lumsift Target");
    h.app->failOn("versionKeywords", "B");
    const log::Capture log;
    h.engine.removeLumsfKeywords(*h.resultsPage);

    EXPECT_TRUE(h.app->keywordsOf("A").empty());
    EXPECT_EQ(h.app->keywordsOf("B").size(), 1u);
    EXPECT_THAT(*Access::taggedImageKeyword(h.engine), ElementsAre("Lumsift T", "Lumsift Target"));
    EXPECT_THAT(*Access::taggedImages(h.engine), ElementsAre(b, c));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.lines()[0].starts_with("LumsiftForAperture removeLumsfKeywords: FakeFailure"));
    const auto alerts = h.events.startingWith("delegate.showAlert=ERROR|");
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_NE(alerts[0].find("2 keywords were not removed"), std::string::npos) << alerts[0];
    // Clear Keywords stays usable for what is left, and a later removal finishes the job.
    EXPECT_EQ(h.events.startingWith("resultsView.setClearKeywordsEnabled"),
              std::vector<std::string>{"resultsView.setClearKeywordsEnabled=1"});
    h.app->clearFailures();
    h.engine.removeLumsfKeywords(*h.resultsPage);
    EXPECT_TRUE(h.app->keywordsOf("B").empty());
    EXPECT_TRUE(h.app->keywordsOf("C").empty());
    EXPECT_EQ(Access::taggedImages(h.engine), nullptr);
    EXPECT_EQ(h.events.startingWith("resultsView.setClearKeywordsEnabled").back(),
              "resultsView.setClearKeywordsEnabled=0");
}

TEST(FingerprintTags, RemovalComparesCanonicallyEquivalentNamesEqual) {
    EngineHarness h;
    const auto a = h.app->addVersion(h.app->addProject("P"), "A");
    Access::startRecord(h.engine);
    // "Café" with a precomposed é in the record; the library holds it under "ZUL Lumsift"
    // decomposed (e + combining acute) and in other case. The decomposed one goes; the one that
    // differs in case stays.
    h.engine.addLumsfKeyword(a, "Lumsift Caf\xC3\xA9");
    h.app->deleteKeyword("A", h.app->keywordsOf("A")[0]);
    h.app->assignKeyword("A", "lumsift Caf\xC3\xA9", kKeywordParent);
    h.app->assignKeyword("A", "Lumsift Cafe\xCC\x81", kKeywordParent);
    h.engine.removeLumsfKeywords(*h.resultsPage);
    const auto left = h.app->keywordsOf("A");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].name, "lumsift Caf\xC3\xA9");
}

} // namespace
} // namespace lumsift
