// The engine object: one instance, init once, the switches, the recount, the small operations.
#include "tests/engine/support/EngineHarness.h"

#include "platform/log/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace lumsift {
namespace {

using testing::EngineHarness;
using Access = LumsiftForApertureTestAccess;
using ::testing::ElementsAre;

TEST(LumsiftForAperture, OneInstanceInitialisedOnce) {
    EngineHarness h;
    const int runs = Access::initRuns();
    LumsiftForAperture& again = LumsiftForAperture::sharedLumsiftForAperture();
    EXPECT_EQ(&again, &h.engine);
    EXPECT_EQ(Access::initRuns(), runs);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(Access::photoApplication(h.engine), h.app);
    EXPECT_FALSE(Access::exportFolder(h.engine).empty());
    EXPECT_NE(Access::help(h.engine), nullptr);
    EXPECT_FALSE(h.engine.dataLoaded());
}

TEST(LumsiftForAperture, SearchSwitchPicksTheListOfTheKind) {
    EngineHarness h;
    h.addImage(h.app->addProject("P"), "A", 1, 2, 3);
    h.load();
    const std::vector<std::pair<int32_t, std::shared_ptr<FingerprintList>>> cases = {
        {1, Access::plusList(h.engine)},
        {3, Access::plainList(h.engine)},
        {2, Access::proList(h.engine)},
        {7, Access::proList(h.engine)}};
    for (const auto& [code, list] : cases) {
        h.engine.switchSearchAlgorithm(code);
        EXPECT_EQ(Access::searchUsing(h.engine), code);
        EXPECT_EQ(Access::searchList(h.engine), list) << "code " << code;
    }
}

TEST(LumsiftForAperture, SearchListFollowsAReloadWithoutANewSwitch) {
    EngineHarness h;
    EXPECT_EQ(Access::searchList(h.engine), nullptr);
    // Chosen before any load: the first load's list becomes the search list.
    h.engine.switchSearchAlgorithm(kAlgorithmPlain);
    h.addImage(h.app->addProject("P"), "A", 11, 12, 13);
    h.load();
    ASSERT_NE(Access::searchList(h.engine), nullptr);
    EXPECT_EQ(Access::searchList(h.engine), Access::plainList(h.engine));
    const auto first = Access::searchList(h.engine);
    h.app->setCustomTag("A", kTagPlain, "21");
    h.load();
    EXPECT_NE(Access::searchList(h.engine), first);
    EXPECT_EQ(Access::searchList(h.engine), Access::plainList(h.engine));
    EXPECT_EQ((*Access::searchList(h.engine))[0], FingerprintEntry(21));
}

TEST(LumsiftForAperture, NoSearchListUntilAKindIsChosen) {
    EngineHarness h;
    h.addImage(h.app->addProject("P"), "A", 11, 12, 13);
    h.load();
    EXPECT_EQ(Access::searchList(h.engine), nullptr);
}

TEST(LumsiftForAperture, RecountBeforeFirstLoadPostsNothing) {
    EngineHarness h;
    h.engine.setHashedImageCount(5);
    h.engine.setProblemImageCount(2);
    h.engine.switchLumsiftAlgorithm();
    EXPECT_EQ(h.main->postCount(), 0u);
    EXPECT_EQ(h.engine.hashedImageCount(), 0);
    EXPECT_EQ(h.engine.problemImageCount(), 0);
    EXPECT_EQ(h.engine.allImagesCount(), 0);
}

TEST(LumsiftForAperture, RecountForEachChoice) {
    EngineHarness h;
    const auto project = h.app->addProject("P");
    h.addImage(project, "all", 1, 2, 3);
    h.addImage(project, "noPlus", 1, std::nullopt, 3);
    h.addImage(project, "plusOnly", std::nullopt, 0, std::nullopt); // "0": failed, analysed
    h.load();
    const std::vector<std::tuple<int32_t, int64_t>> cases = {
        {kAlgorithmAll, 1}, {kAlgorithmPlus, 2}, {kAlgorithmPlain, 2}, {kAlgorithmPro, 2}};
    for (const auto& [choice, analysed] : cases) {
        h.loadingPage->algorithm = choice;
        h.events.clear();
        h.engine.setProblemImageCount(4);
        h.engine.switchLumsiftAlgorithm();
        h.main->drain();
        EXPECT_EQ(h.engine.hashedImageCount(), analysed) << "choice " << choice;
        EXPECT_EQ(h.engine.problemImageCount(), 0);
        EXPECT_EQ(h.engine.allImagesCount(), 3);
        EXPECT_THAT(h.events.events(),
                    ElementsAre("dataView.totalImagesLabel=3",
                                "dataView.analysedImagesLabel=" + std::to_string(analysed),
                                "dataView.notAnalysedImagesLabel=" + std::to_string(3 - analysed)))
            << "choice " << choice;
    }
}

TEST(LumsiftForAperture, SelectionCountAsksNothingWhileNotRunning) {
    EngineHarness h;
    h.app->setSelection({"A", "B"});
    EXPECT_EQ(h.engine.selectionCount(), 2);
    h.app->setRunning(false);
    h.app->clearCalls();
    EXPECT_EQ(h.engine.selectionCount(), 0);
    EXPECT_THAT(h.app->calls(), ElementsAre("isRunning"));
    EXPECT_FALSE(h.engine.photoApplicationIsRunning());
}

TEST(LumsiftForAperture, SmallOperationsForwardToTheApplication) {
    EngineHarness h;
    const auto image = h.app->addVersion(h.app->addProject("P"), "V", "Beach");
    h.app->setOnline("V", false);
    EXPECT_EQ(h.engine.imageUniqueId(image), "V");
    EXPECT_EQ(h.engine.imageFileName(image), "Beach.jpg");
    EXPECT_FALSE(h.engine.photoOnline(image));
    EXPECT_EQ(h.engine.getVersion(), "3.6");
    h.app->setSelection({"V"});
    const auto selection = h.engine.getSelection();
    ASSERT_EQ(selection.size(), 1u);
    EXPECT_EQ(selection[0], image);
    h.app->removeOtherTag("V", "FileName");
    EXPECT_EQ(h.engine.imageFileName(image), std::nullopt);
    h.app->failOn("versionOnline");
    EXPECT_THROW(h.engine.photoOnline(image), scripting::ScriptingError);
}

TEST(LumsiftForAperture, VersionCheck) {
    EngineHarness h;
    h.giveDelegate();
    log::Capture capture;
    h.app->setVersionText("3.6.1");
    EXPECT_FALSE(h.engine.versionCheck(true));
    EXPECT_TRUE(capture.contains("Aperture Version 3.6.1"));
    h.app->setVersionText("3");
    EXPECT_FALSE(h.engine.versionCheck(true));
    EXPECT_TRUE(h.events.events().empty());

    h.app->setVersionText("4.0");
    EXPECT_TRUE(h.engine.versionCheck(true));
    h.app->setVersionText("beta");
    EXPECT_TRUE(h.engine.versionCheck(true));
    h.app->failOn("version");
    EXPECT_TRUE(h.engine.versionCheck(true));
    EXPECT_THAT(h.events.events(),
                ElementsAre("delegate.showAlert=Unsupported Version|This version of Lumsift is "
                            "compatible with Aperture Versions 3.x.y only.",
                            "delegate.showAlert=Unsupported Version|This version of Lumsift is "
                            "compatible with Aperture Versions 3.x.y only.",
                            "delegate.showAlert=Error|A serious error has occurred in retrieving "
                            "the current Aperture version number.\nFakeFailure\ninjected failure "
                            "of version"));
}

TEST(LumsiftForAperture, ReportsWithoutADelegateAreDropped) {
    EngineHarness h;
    h.app->setVersionText("2.1");
    EXPECT_TRUE(h.engine.versionCheck(true));
    h.addImage(h.app->addProject("P"), "A", 1, 2, 3);
    h.load(false);
    EXPECT_TRUE(h.events.startingWith("delegate.").empty());
    EXPECT_TRUE(h.events.contains("dataView.retrieveStatusLabel=Data Collected"));
}

TEST(LumsiftForAperture, LibraryPathProperty) {
    EngineHarness h;
    EXPECT_EQ(h.engine.apertureLibrary(), std::nullopt);
    h.engine.setApertureLibrary("/p/Lib.aplibrary");
    EXPECT_EQ(h.engine.apertureLibrary(), "/p/Lib.aplibrary");
}

} // namespace
} // namespace lumsift
