// The load and the search end to end: a real library package of real pictures, the photo
// application's stand-in, and the keywords that end up in the library.
#include "tests/engine/support/LibraryFixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace lumsift {
namespace {

using testimages::Variant;
using Library = testing::LibraryFixture;
using ::testing::ElementsAre;

TEST(SearchEndToEnd, LoadsARealPackage) {
    Library lib;
    const auto trip = lib.import({{0, Variant::Original}, {1, Variant::Original}});
    const auto home = lib.import({{2, Variant::Original}}, false, "Home");
    lib.library().setCustomTag(trip[1].uuid, kTagPlus, "18446744073709551615");
    lib.library().setCustomTag(home[0].uuid, kTagPlain, "0");
    lib.loadingPage->algorithm = kAlgorithmPlus;
    lib.load();

    EXPECT_EQ(lib.engine.allImagesCount(), 3);
    EXPECT_EQ(lib.engine.hashedImageCount(), 1);
    EXPECT_TRUE(lib.events.contains("dataView.progress.max=2"));
    EXPECT_TRUE(lib.events.contains("dataView.retrieveStatusLabel=Data Collected"));
    EXPECT_TRUE(lib.events.contains("delegate.enableNextView"));
    lib.loadingPage->algorithm = kAlgorithmPlain;
    lib.engine.switchLumsiftAlgorithm();
    EXPECT_EQ(lib.engine.hashedImageCount(), 1) << "a stored \"0\" counts as analysed";
}

TEST(SearchEndToEnd, FindsTheCopiesOfAnOriginalAndRemovesTheKeywordsAgain) {
    Library lib;
    const auto copies = lib.import({{0, Variant::Original},
                                    {0, Variant::Half},
                                    {0, Variant::Quality40},
                                    {0, Variant::QuarterTurn}});
    const auto others = lib.import(
        {{1, Variant::Original}, {2, Variant::Original}, {3, Variant::Original}}, false, "Others");
    lib.load();
    lib.analyse();
    const auto keywordsAndTags = [&] {
        std::vector<std::string> lines;
        for (const auto& version : lib.library().versions()) {
            for (const auto& keyword : lib.keywordsOf(version.uuid))
                lines.push_back(version.uuid + " keyword " + keyword);
            for (const auto& [name, value] : lib.tags(version.uuid))
                lines.push_back(version.uuid + " tag " + name + "=" + value);
        }
        return lines;
    };
    const auto before = keywordsAndTags();

    lib.engine.switchSearchAlgorithm(kAlgorithmPlus);
    lib.library().select(std::vector<std::string>{copies[0].uuid});
    lib.resultsPage->sensitivityValue = 10;
    lib.search();

    const std::string keyword = "Lumsift " + copies[0].name + "|ZUL Lumsift";
    for (std::size_t i = 1; i < copies.size(); ++i)
        EXPECT_THAT(lib.keywordsOf(copies[i].uuid), ElementsAre(keyword)) << "copy " << i;
    EXPECT_THAT(lib.keywordsOf(copies[0].uuid), ElementsAre("Lumsift Target|ZUL Lumsift", keyword));
    for (const auto& other : others)
        EXPECT_TRUE(lib.keywordsOf(other.uuid).empty()) << other.name;
    EXPECT_EQ(lib.resultsPage->similarLabel.value(), "3");
    EXPECT_TRUE(lib.events.contains("resultsView.setClearKeywordsEnabled=1"));

    lib.engine.removeLumsfKeywords(*lib.resultsPage);
    EXPECT_EQ(keywordsAndTags(), before);
}

} // namespace
} // namespace lumsift
