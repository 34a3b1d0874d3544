// The load and the search end to end: a real library package of real pictures, the photo
// application's stand-in, and the keywords that end up in the library.
#include "engine/LumsiftForAperture.h"
#include "platform/scripting/LibraryApplication.h"
#include "platform/scripting/LibraryPackage.h"
#include "tests/engine/support/Recorders.h"
#include "tests/support/TestImages.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace lumsift {
namespace {

namespace fs = std::filesystem;
using scripting::ImportOptions;
using scripting::LibraryPackage;
using scripting::VersionRecord;
using testimages::Variant;
using ::testing::ElementsAre;

// A library package in a fresh folder, open in the stand-in, and the engine over it.
struct Library {
    Library() : package(dir / "Photos.aplibrary"), pictures(dir / "pictures") {
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        fs::create_directories(pictures);
        LibraryPackage::create(package);
        scripting::openLibrary(package);
        scripting::ScriptingRegistry::registerApplication(
            kApertureBundleIdentifier, [] { return scripting::makeLibraryApplication(); });
        setMainThread(main);
        engine.resetForTesting();
        engine.setAppDelegate(delegate);
    }
    std::vector<VersionRecord> import(const std::string& project,
                                      const std::vector<std::pair<int, Variant>>& photos) {
        std::vector<fs::path> files;
        for (const auto& [index, variant] : photos)
            files.push_back(testimages::writePhoto(
                pictures / ("p" + std::to_string(counter++) + ".jpg"), index, variant));
        ImportOptions options;
        options.project = project;
        return LibraryPackage::open(package).importFiles(files, options);
    }
    void load() {
        engine.loadLibrary(loadingPage);
        main->drain();
        engine.setApertureLibrary(package.string());
    }
    void analyse() {
        engine.analyseImages(loadingPage);
        main->drain();
    }
    void search() {
        engine.detectSimilar(resultsPage);
        main->drain();
    }
    // Every version's keywords as "name|parent", and its custom tags as "name=value".
    std::vector<std::string> state() {
        LibraryPackage library = LibraryPackage::open(package);
        std::vector<std::string> lines;
        for (const auto& version : library.versions()) {
            for (const auto& keyword : library.keywords(version.uuid))
                lines.push_back(version.uuid + " keyword " + keyword.name + "|" +
                                keyword.parentName);
            for (const auto& tag : library.customTags(version.uuid))
                lines.push_back(version.uuid + " tag " + tag.name + "=" + tag.value);
        }
        return lines;
    }
    std::vector<std::string> keywordsOf(const std::string& uuid) {
        std::vector<std::string> names;
        for (const auto& keyword : LibraryPackage::open(package).keywords(uuid))
            names.push_back(keyword.name + "|" + keyword.parentName);
        return names;
    }

    testimages::TempDir dir;
    fs::path package;
    fs::path pictures;
    int counter = 0;
    testing::EventLog events;
    std::shared_ptr<testing::QueueMainThread> main = std::make_shared<testing::QueueMainThread>();
    std::shared_ptr<testing::RecordingLoadingPage> loadingPage =
        std::make_shared<testing::RecordingLoadingPage>(events);
    std::shared_ptr<testing::RecordingResultsPage> resultsPage =
        std::make_shared<testing::RecordingResultsPage>(events);
    std::shared_ptr<testing::RecordingDelegate> delegate =
        std::make_shared<testing::RecordingDelegate>(events);
    LumsiftForAperture& engine = LumsiftForAperture::sharedLumsiftForAperture();
};

TEST(SearchEndToEnd, LoadsARealPackage) {
    Library lib;
    const auto trip = lib.import("Trip", {{0, Variant::Original}, {1, Variant::Original}});
    const auto home = lib.import("Home", {{2, Variant::Original}});
    LibraryPackage::open(lib.package).setCustomTag(trip[1].uuid, kTagPlus, "18446744073709551615");
    LibraryPackage::open(lib.package).setCustomTag(home[0].uuid, kTagPlain, "0");
    lib.loadingPage->algorithm = kAlgorithmPlus;
    lib.engine.switchSearchAlgorithm(kAlgorithmPlus);
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
    const auto copies = lib.import("Trip", {{0, Variant::Original},
                                            {0, Variant::Half},
                                            {0, Variant::Quality40},
                                            {0, Variant::QuarterTurn}});
    const auto others = lib.import(
        "Others", {{1, Variant::Original}, {2, Variant::Original}, {3, Variant::Original}});
    lib.load();
    lib.loadingPage->algorithm = kAlgorithmAll;
    lib.analyse();
    const auto before = lib.state();

    lib.engine.switchSearchAlgorithm(kAlgorithmPlus);
    LibraryPackage::open(lib.package).select(std::vector<std::string>{copies[0].uuid});
    lib.resultsPage->sensitivityValue = 10;
    lib.resultsPage->automatic = false;
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
    EXPECT_EQ(lib.state(), before);
}

} // namespace
} // namespace lumsift
