// The library load: order of its posts, reading of tag texts, the stop at unmatched tag lists.
#include "tests/engine/support/EngineHarness.h"

#include "platform/log/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace lumsift {
namespace {

using testing::EngineHarness;
using Access = LumsiftForApertureTestAccess;
using ::testing::ElementsAre;

const std::string kCommunicationAlert =
    "delegate.showAlert=ERROR|A problem was encountered when communication with Aperture.  "
    "Please try reloading the library.  If the problem persists please contact "
    "https://example.com/support";

TEST(LibraryLoad, PostsInOrderAndCountsProjects) {
    EngineHarness h;
    h.giveDelegate();
    for (int p = 1; p <= 3; ++p)
        h.addImage(h.app->addProject("Project"), std::string("V").append(std::to_string(p)), 1,
                   std::nullopt, 2);
    const log::Capture capture;
    h.engine.loadLibrary(h.loadingPage);
    EXPECT_GT(h.main->pending(), 0u) << "controls change only on the main thread";
    h.main->drain();
    EXPECT_THAT(h.events.events(),
                ElementsAre("dataView.progress.indeterminate=1", "delegate.disableNextView",
                            "dataView.disableAnalyseButton",
                            "dataView.retrieveStatusLabel=Retrieving Data From Aperture",
                            "dataView.progress.max=3", "dataView.progress.indeterminate=0",
                            "dataView.progress.value=0", "dataView.progress.value=1",
                            "dataView.progress.value=2", "dataView.progress.value=3",
                            "dataView.totalImagesLabel=3", "dataView.analysedImagesLabel=0",
                            "dataView.notAnalysedImagesLabel=3", "dataView.stopAnimation",
                            "dataView.retrieveStatusLabel=Data Collected",
                            "dataView.enableAnalyseButton", "delegate.enableNextView"));
    EXPECT_THAT(capture.lines(), ElementsAre("LumsiftForAperture loadLibrary",
                                             "Library Loaded.  3 images.  0 already Lumsift'd.  "
                                             "0 were not analyzable"));
    EXPECT_TRUE(h.engine.dataLoaded());
    EXPECT_THAT(Access::allImageIDs(h.engine), ElementsAre("V1", "V2", "V3"));
    EXPECT_EQ(h.main->runAndWaitCount(), 0u);

    // A library without versions, or without projects, ends normally too: its log line, and
    // the Next button enabled last.
    for (const int projects : {1, 0}) {
        SCOPED_TRACE(projects);
        EngineHarness empty;
        empty.giveDelegate();
        if (projects == 1)
            empty.app->addProject("No versions");
        const log::Capture emptyLog;
        empty.load(false);
        EXPECT_TRUE(Access::plainList(empty.engine)->empty());
        EXPECT_TRUE(empty.events.contains("dataView.progress.max=" + std::to_string(projects)));
        EXPECT_TRUE(empty.events.contains("dataView.retrieveStatusLabel=Data Collected"));
        EXPECT_EQ(empty.events.events().back(), "delegate.enableNextView");
        EXPECT_EQ(empty.events.count("delegate.enableNextView"), 1u);
        EXPECT_THAT(emptyLog.lines(),
                    ElementsAre("LumsiftForAperture loadLibrary",
                                "Library Loaded.  0 images.  0 already Lumsift'd.  "
                                "0 were not analyzable"));
    }
}

TEST(LibraryLoad, ReadsTagTextsAsStrtoullAndAbsentTagsAsNull) {
    EngineHarness h;
    const auto project = h.app->addProject("Texts");
    const std::vector<std::pair<std::string, uint64_t>> texts = {
        {"  42", 42},
        {"42abc", 42},
        {"42", 42},
        {"", 0},
        {"abc", 0},
        {"0", 0},
        {"18446744073709551615", UINT64_MAX},
        {"99999999999999999999999", UINT64_MAX},
        {"9223372036854775809", 9223372036854775809ull}};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const auto id = std::string("T").append(std::to_string(i));
        h.app->addVersion(project, id);
        h.app->setCustomTag(id, "Other", "x");
        h.app->setCustomTag(id, kTagPlus, texts[i].first);
    }
    h.addImage(project, "all", 1, 2, 3);
    h.load();
    const std::size_t n = texts.size();
    ASSERT_EQ(Access::plusList(h.engine)->size(), n + 1);
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_EQ(Access::entries(h.engine, i),
                  (FingerprintReading{std::nullopt, texts[i].second, std::nullopt}))
            << "text '" << texts[i].first << "'";
    EXPECT_EQ(Access::entries(h.engine, n), (FingerprintReading{1, 2, 3}));
}

TEST(LibraryLoad, UnmatchedTagListsOrAFailedRequestStopWithListsRealigned) {
    // Unmatched lists, a request the application cannot answer, any other error.
    for (const int road : {0, 1, 2}) {
        SCOPED_TRACE(road);
        const bool failedRequest = road > 0;
        EngineHarness h;
        h.giveDelegate();
        // The contact is the one the delegate gives.
        h.engine.setSupportContact("https://example.com/support");
        h.addImage(h.app->addProject("One"), "A", 1, 1, 1);
        const auto bad = h.app->addProject("Two");
        h.addImage(bad, "B1", 2, 2, 2);
        h.addImage(bad, "B2", 3, 3, 3);
        h.addImage(h.app->addProject("Three"), "C", 4, 4, 4);
        if (road == 1)
            h.app->failOn("projectTagNames", bad);
        else if (road == 2)
            h.app->failWith("projectTagNames", bad, std::make_exception_ptr(std::bad_alloc()));
        else
            h.app->setTagListMismatch(bad, true);
        const log::Capture capture;

        h.engine.loadLibrary(h.loadingPage);
        // The alert is shown directly by the worker, before the queued posts run.
        EXPECT_EQ(h.events.startingWith("delegate.showAlert="),
                  std::vector<std::string>{kCommunicationAlert});
        h.events.clear();
        h.main->drain();
        const auto events = h.events.events();
        ASSERT_GE(events.size(), 3u);
        EXPECT_THAT(std::vector(events.end() - 3, events.end()),
                    ElementsAre("dataView.progress.value=2", "dataView.stopAnimation",
                                "dataView.enableAnalyseButton"));
        EXPECT_FALSE(h.events.contains("delegate.enableNextView"));
        EXPECT_FALSE(h.events.contains("dataView.retrieveStatusLabel=Data Collected"));
        EXPECT_TRUE(h.events.startingWith("dataView.totalImagesLabel").empty()) << "no recount";
        // No "Library Loaded" line; a failed request logs its error.
        EXPECT_EQ(capture.lines().size(), failedRequest ? 2u : 1u);
        EXPECT_EQ(capture.lines().front(), "LumsiftForAperture loadLibrary");
        EXPECT_TRUE(h.engine.dataLoaded());
        // The failing project's versions are dropped: every list holds project One only.
        EXPECT_THAT(Access::allImageIDs(h.engine), ElementsAre("A"));
        EXPECT_EQ(Access::allImages(h.engine).size(), 1u);
        EXPECT_EQ(Access::plainList(h.engine)->size(), 1u);
        EXPECT_EQ(Access::plusList(h.engine)->size(), 1u);
        EXPECT_EQ(Access::proList(h.engine)->size(), 1u);
    }
}

TEST(LibraryLoad, ReloadForgetsLibraryPathAndRereadsTags) {
    EngineHarness h;
    h.loadingPage->algorithm = kAlgorithmPlus;
    const auto project = h.app->addProject("P");
    h.app->addVersion(project, "A");
    h.app->addVersion(project, "B");
    h.load();
    EXPECT_EQ(h.engine.hashedImageCount(), 0);
    h.engine.setApertureLibrary("/photos/Library.aplibrary");
    // What an analysis leaves in the library.
    h.app->setCustomTag("A", kTagPlus, "77");
    h.app->setCustomTag("B", kTagPlus, "0");
    h.engine.setProblemImageCount(1);
    h.load(false);
    EXPECT_EQ(h.engine.apertureLibrary(), std::nullopt);
    EXPECT_EQ(h.engine.hashedImageCount(), 2);
    EXPECT_EQ(h.engine.problemImageCount(), 0);
    EXPECT_TRUE(h.events.contains("dataView.analysedImagesLabel=2"));
}

} // namespace
} // namespace lumsift
