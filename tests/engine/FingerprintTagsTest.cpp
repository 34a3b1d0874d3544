// Stored fingerprint tags (save and read back) and the search keywords with their record.
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
    h.engine.saveLumsiftHash(image, 5, kAlgorithmAll);
    h.engine.saveLumsiftHash(image, 5, 4);
    h.engine.saveLumsiftHash(image, 5, -1);
    EXPECT_THAT(h.app->callsStartingWith("addCustomTag"),
                ElementsAre("addCustomTag V Lumsift 1", "addCustomTag V Lumsift+ 0",
                            "addCustomTag V LumsiftPro 9223372036854775809"));
}

TEST(FingerprintTags, AllBitsSetRoundTripsAsTwentyDigits) {
    EngineHarness h;
    const auto image = h.app->addVersion(h.app->addProject("P"), "V");
    h.engine.saveLumsiftHash(image, UINT64_MAX, kAlgorithmPlus);
    EXPECT_EQ(h.app->customTag("V", kTagPlus), "18446744073709551615");
    EXPECT_THAT(h.engine.retrieveLumsiftHash(image, kAlgorithmPlus),
                ElementsAre(kNull, FingerprintEntry(UINT64_MAX), kNull));
    // A later save of the same kind replaces the value.
    h.engine.saveLumsiftHash(image, 99, kAlgorithmPlus);
    EXPECT_THAT(h.engine.retrieveLumsiftHash(image, kAlgorithmAll),
                ElementsAre(kNull, FingerprintEntry(99), kNull));
}

TEST(FingerprintTags, ReadsOnlyTheKindsAskedFor) {
    EngineHarness h;
    const auto image = h.app->addVersion(h.app->addProject("P"), "V");
    h.app->setCustomTag("V", kTagPlus, "123");
    h.app->setCustomTag("V", kTagPro, "0");
    EXPECT_THAT(h.engine.retrieveLumsiftHash(image, kAlgorithmAll),
                ElementsAre(kNull, FingerprintEntry(123), FingerprintEntry(0)));
    EXPECT_THAT(h.engine.retrieveLumsiftHash(image, kAlgorithmPro),
                ElementsAre(kNull, kNull, FingerprintEntry(0)));
    EXPECT_THAT(h.engine.retrieveLumsiftHash(image, kAlgorithmPlain),
                ElementsAre(kNull, kNull, kNull));
    EXPECT_THAT(h.engine.retrieveLumsiftHash(image, 4), ElementsAre(kNull, kNull, kNull));
    EXPECT_THAT(h.engine.retrieveLumsiftHash(image, -1), ElementsAre(kNull, kNull, kNull));
    // Two requests: all values, then all names.
    EXPECT_THAT(h.app->callsStartingWith("versionTag"),
                ElementsAre("versionTagValues V", "versionTagNames V", "versionTagValues V",
                            "versionTagNames V", "versionTagValues V", "versionTagNames V",
                            "versionTagValues V", "versionTagNames V", "versionTagValues V",
                            "versionTagNames V"));
}

TEST(FingerprintTags, EmptyOrNonNumericTextReadsAsZero) {
    EngineHarness h;
    const auto image = h.app->addVersion(h.app->addProject("P"), "V");
    h.app->setCustomTag("V", kTagPlain, "");
    h.app->setCustomTag("V", kTagPlus, " 42 apples");
    h.app->setCustomTag("V", kTagPro, "apples");
    EXPECT_THAT(h.engine.retrieveLumsiftHash(image, kAlgorithmAll),
                ElementsAre(FingerprintEntry(0), FingerprintEntry(42), FingerprintEntry(0)));
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

TEST(FingerprintTags, RemovalWithoutRecordDeletesNothingAndDisablesClear) {
    EngineHarness h;
    h.app->addVersion(h.app->addProject("P"), "A");
    h.app->assignKeyword("A", "Lumsift A", kKeywordParent);
    h.engine.removeLumsfKeywords(*h.resultsPage);
    EXPECT_EQ(h.app->keywordsOf("A").size(), 1u);
    EXPECT_THAT(h.events.events(), ElementsAre("resultsView.setClearKeywordsEnabled=0"));
}

TEST(FingerprintTags, RemovalDeletesFirstKeywordOfThatNameWhateverItsParent) {
    EngineHarness h;
    const auto a = h.app->addVersion(h.app->addProject("P"), "A");
    h.app->assignKeyword("A", "Lumsift B", "Trips");
    Access::startRecord(h.engine);
    h.engine.addLumsfKeyword(a, "Lumsift B");
    h.engine.addLumsfKeyword(a, "Lumsift Target");
    h.engine.removeLumsfKeywords(*h.resultsPage);
    const auto left = h.app->keywordsOf("A");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].name, "Lumsift B");
    EXPECT_EQ(left[0].parent, kKeywordParent) << "the user's keyword listed first was deleted";
    EXPECT_EQ(Access::taggedImages(h.engine), nullptr);
    EXPECT_EQ(Access::taggedImageKeyword(h.engine), nullptr);
}

TEST(FingerprintTags, RemovalComparesCanonicallyEquivalentNamesEqual) {
    EngineHarness h;
    const auto a = h.app->addVersion(h.app->addProject("P"), "A");
    Access::startRecord(h.engine);
    // "Café" with a precomposed é in the record, decomposed (e + combining acute) in the
    // library; a name that differs in case stays.
    h.engine.addLumsfKeyword(a, "Lumsift Caf\xC3\xA9");
    h.app->clearCalls();
    h.app->assignKeyword("A", "lumsift Caf\xC3\xA9", "User");
    h.app->assignKeyword("A", "Lumsift Cafe\xCC\x81", "User");
    h.engine.removeLumsfKeywords(*h.resultsPage);
    const auto left = h.app->keywordsOf("A");
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].name, "lumsift Caf\xC3\xA9");
    EXPECT_EQ(left[1].name, "Lumsift Cafe\xCC\x81");
    EXPECT_EQ(left[1].parent, "User");
}

TEST(FingerprintTags, PairRecordedTwiceDeletesTwoAndMissingKeywordIsPassedOver) {
    EngineHarness h;
    const auto project = h.app->addProject("P");
    const auto a = h.app->addVersion(project, "A");
    const auto b = h.app->addVersion(project, "B");
    Access::startRecord(h.engine);
    h.engine.addLumsfKeyword(a, "Lumsift X");
    h.engine.addLumsfKeyword(a, "Lumsift X");
    h.engine.addLumsfKeyword(b, "Lumsift X");
    h.app->assignKeyword("A", "Lumsift X", "User");
    // The user removed B's keyword already.
    h.app->deleteKeyword("B", {h.app->keywordsOf("B")[0].uuid, "Lumsift X"});
    h.engine.removeLumsfKeywords(*h.resultsPage);
    EXPECT_TRUE(h.app->keywordsOf("B").empty());
    const auto left = h.app->keywordsOf("A");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].parent, "User");
}

} // namespace
} // namespace lumsift
