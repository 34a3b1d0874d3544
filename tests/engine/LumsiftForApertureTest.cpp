// The engine object: one instance, init once, the switches, the recount, the small operations.
#include "tests/engine/support/EngineHarness.h"

#include "platform/log/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace lumsift {
namespace {

using testing::EngineHarness;
using Access = EngineHarness::Access;
using Strings = std::vector<std::string>;
using ::testing::ElementsAre;

TEST(LumsiftForAperture, SearchListFollowsTheSwitchAndEveryReload) {
    EngineHarness h;
    h.addImage(h.app->addProject("P"), "A", 11, 12, 13);
    h.load();
    EXPECT_EQ(Access::searchList(h.engine), nullptr) << "none until a kind is chosen";
    for (const auto& [code, list] :
         std::vector<std::pair<int32_t, std::shared_ptr<const FingerprintList>>>{
             {1, Access::plusList(h.engine)},
             {2, Access::proList(h.engine)},
             {7, Access::proList(h.engine)},
             {3, Access::plainList(h.engine)}}) {
        h.engine.switchSearchAlgorithm(code);
        EXPECT_EQ(Access::searchUsing(h.engine), code);
        EXPECT_EQ(Access::searchList(h.engine), list) << "code " << code;
    }
    // A reload without a new switch: the search list is the new plain list.
    const auto first = Access::searchList(h.engine);
    h.app->setCustomTag("A", kTagPlain, "21");
    h.load();
    EXPECT_NE(Access::searchList(h.engine), first);
    EXPECT_EQ(Access::searchList(h.engine), Access::plainList(h.engine));
    EXPECT_EQ((*Access::searchList(h.engine))[0], FingerprintEntry(21));
}

TEST(LumsiftForAperture, RecountForEachChoice) {
    EngineHarness h;
    h.engine.setHashedImageCount(5);
    h.engine.switchLumsiftAlgorithm(); // before any load: zero counts, no page to post to
    EXPECT_EQ(h.main->postCount(), 0u);
    EXPECT_EQ(h.engine.hashedImageCount(), 0);

    const auto project = h.app->addProject("P");
    h.addImage(project, "all", 1, 2, 3);
    h.addImage(project, "noPlus", 1, std::nullopt, 3);
    h.addImage(project, "plusOnly", std::nullopt, 0, std::nullopt); // "0": failed, analysed
    h.load();
    for (const auto& [choice, analysed] : std::vector<std::pair<int32_t, int>>{
             {kAlgorithmAll, 1}, {kAlgorithmPlus, 2}, {kAlgorithmPlain, 2}, {kAlgorithmPro, 2}}) {
        h.loadingPage->algorithm = choice;
        h.events.clear();
        h.engine.setProblemImageCount(4);
        h.engine.switchLumsiftAlgorithm();
        h.main->drain();
        EXPECT_EQ(h.engine.problemImageCount(), 0);
        EXPECT_EQ(h.engine.allImagesCount(), 3);
        EXPECT_THAT(h.events.events(),
                    ElementsAre("dataView.totalImagesLabel=3",
                                "dataView.analysedImagesLabel=" + std::to_string(analysed),
                                "dataView.notAnalysedImagesLabel=" + std::to_string(3 - analysed)))
            << "choice " << choice;
    }
}

TEST(LumsiftForAperture, OneInstanceInitialisedOnceAndItsSmallOperations) {
    EngineHarness h;
    EXPECT_EQ(&LumsiftForAperture::sharedLumsiftForAperture(), &h.engine);
    EXPECT_EQ(Access::initRuns(), 1);
    EXPECT_EQ(Access::photoApplication(h.engine), h.app);
    EXPECT_FALSE(Access::exportFolder(h.engine).empty());
    EXPECT_FALSE(h.engine.dataLoaded());
    // The small operations pass absent answers and errors on.
    const auto image = h.app->addVersion(h.app->addProject("P"), "V", "Beach");
    EXPECT_EQ(h.engine.imageFileName(image), "Beach.jpg");
    h.app->removeOtherTag("V", "FileName");
    EXPECT_EQ(h.engine.imageFileName(image), std::nullopt);
    h.app->failOn("versionOnline");
    EXPECT_THROW(h.engine.photoOnline(image), scripting::ScriptingError);
    h.app->setSelection({"V"});
    EXPECT_EQ(h.engine.selectionCount(), 1);
    // Except the selection count, asked at every activation: a selection that cannot be read
    // counts 0, logged.
    h.app->failOn("selection");
    {
        const log::Capture capture;
        EXPECT_EQ(h.engine.selectionCount(), 0);
        EXPECT_THAT(capture.lines(), ElementsAre("LumsiftForAperture selectionCount: FakeFailure: "
                                                 "injected failure of selection"));
    }
    h.app->clearFailures();
    // While the application is not running, the selection is not asked for.
    h.app->setRunning(false);
    h.app->clearCalls();
    EXPECT_EQ(h.engine.selectionCount(), 0);
    EXPECT_THAT(h.app->calls(), ElementsAre("isRunning"));
}

TEST(LumsiftForAperture, VersionCheck) {
    const std::string unsupported = "delegate.showAlert=Unsupported Version|This version of "
                                    "Lumsift is compatible with Aperture Versions 3.x.y only.";
    for (const auto& [version, alert] : std::vector<std::pair<std::string, std::string>>{
             {"3.6.1", ""}, {"3", ""}, {"4.0", unsupported}, {"beta", unsupported}}) {
        EngineHarness h;
        h.giveDelegate();
        const log::Capture capture;
        h.app->setVersionText(version);
        EXPECT_EQ(h.engine.versionCheck(true), !alert.empty()) << version;
        EXPECT_EQ(h.events.events(), alert.empty() ? Strings{} : Strings{alert}) << version;
        EXPECT_TRUE(capture.contains("Aperture Version " + version));
    }
    // Without a delegate the alert is dropped, and so are the load's reports to it.
    EngineHarness h;
    h.app->setVersionText("2.1");
    EXPECT_TRUE(h.engine.versionCheck(true));
    h.addImage(h.app->addProject("P"), "A", 1, 2, 3);
    h.load(false);
    EXPECT_TRUE(h.events.startingWith("delegate.").empty());
    EXPECT_TRUE(h.events.contains("dataView.retrieveStatusLabel=Data Collected"));
    h.events.clear();
    h.giveDelegate();
    h.app->failOn("version");
    EXPECT_TRUE(h.engine.versionCheck(true));
    EXPECT_THAT(h.events.events(),
                ElementsAre("delegate.showAlert=Error|A serious error has occurred in retrieving "
                            "the current Aperture version number.\nFakeFailure\ninjected failure "
                            "of version"));
}

} // namespace
} // namespace lumsift
