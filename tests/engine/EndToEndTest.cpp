// The engine end to end: a real library package of real pictures, the photo application's
// stand-in, the engine's load, analysis and search, and what ends up in the library and on disk.
#include "engine/MainThread.h"
#include "fingerprint/Lumsift.h"
#include "photolib/LibraryApplication.h"
#include "photolib/LibraryPackage.h"
#include "platform/log/Log.h"
#include "platform/vips/Vips.h"
#include "tests/engine/support/EngineHarness.h"
#include "tests/support/HostileImages.h"
#include "tests/support/RawImages.h"
#include "tests/support/TestImages.h"

#include <algorithm>
#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace lumsift {
namespace {

namespace fs = std::filesystem;
using photolib::VersionRecord;
using enum testimages::Variant;
using testing::kCompleteNotification;
using Strings = std::vector<std::string>;
using ::testing::ElementsAre;

// A real library package in a fresh folder, open in the photo application's stand-in, and the
// engine over it with recording pages, delegate, idle-sleep assertions and notifications.
struct Library : testing::RecordedEngine {
    Library() : RecordedEngine(photolib::makeLibraryApplication) {
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        photolib::LibraryPackage::create(package);
        photolib::openLibrary(package);
        giveDelegate();
        recordSystem();
    }
    // Writes the pictures (test photo index, variant) under names unique to this process (the
    // exported copies share the temporary folder) and imports them into `project`.
    std::vector<VersionRecord>
    import(const std::vector<std::pair<int, testimages::Variant>>& photos, bool reference = false,
           const std::string& project = "Trip") {
        std::vector<fs::path> files;
        for (const auto& [index, variant] : photos) {
            std::string name = "p";
            name += std::to_string(getpid()) + "-" + std::to_string(counter++) + ".jpg";
            files.push_back(testimages::writePhoto(dir / name, index, variant));
        }
        photolib::ImportOptions options;
        options.project = project;
        options.reference = reference;
        return library().importFiles(files, options).imported;
    }
    // Imports `files` as they are into `project`.
    std::vector<VersionRecord> importFiles(const std::vector<fs::path>& files,
                                           const std::string& project = "Trip") {
        photolib::ImportOptions options;
        options.project = project;
        return library().importFiles(files, options).imported;
    }
    photolib::LibraryPackage library() const { return photolib::LibraryPackage::open(package); }
    // Loads the library; then names the package as the loading page does before a run, unless
    // `withPackage` is false (no master is then known, and every image is exported).
    void load(bool withPackage = true) {
        engine.loadLibrary(loadingPage);
        main->drain();
        if (withPackage)
            engine.setApertureLibrary(package.string());
    }
    void analyse(int32_t choice = kAlgorithmAll) {
        loadingPage->algorithm = choice;
        engine.analyseImages(loadingPage);
        main->drain();
    }
    std::map<std::string, std::string> tags(const std::string& uuid) const {
        std::map<std::string, std::string> byName;
        for (const auto& tag : library().customTags(uuid))
            byName[tag.name] = tag.value;
        return byName;
    }
    uint64_t fingerprint(const std::string& uuid, const char* kind) const {
        return fingerprintFromText(tags(uuid).at(kind));
    }
    // The version's keywords as "name|parent".
    Strings keywordsOf(const std::string& uuid) const {
        Strings names;
        for (const auto& keyword : library().keywords(uuid))
            names.push_back(keyword.name + "|" + keyword.parentName);
        return names;
    }

    testimages::TempDir dir;
    fs::path package = dir / "Photos.aplibrary";
    int counter = 0;
};

const std::map<std::string, std::string> kAllFailed = {
    {"Lumsift", "0"}, {"Lumsift+", "0"}, {"LumsiftPro", "0"}};

// The three fingerprints stored for `v` are those of its own master file.
void expectFingerprintsOfItsFile(const Library& lib, const VersionRecord& v) {
    Lumsift calculator;
    ASSERT_TRUE(calculator.prepareImageData(v.masterPath, true, true));
    EXPECT_EQ(lib.fingerprint(v.uuid, kTagPlain), calculator.calculateLumsift(false)) << v.name;
    EXPECT_EQ(lib.fingerprint(v.uuid, kTagPlus), calculator.calculateLumsift(true)) << v.name;
    EXPECT_EQ(lib.fingerprint(v.uuid, kTagPro), calculator.calculateHashPro()) << v.name;
}

// True once no file in `folder` has a name starting with `stem` (the copies and sidecars of a
// version); the sidecar deletion runs on a thread of its own.
bool exportsGone(const fs::path& folder, const std::string& stem) {
    for (int attempt = 0; attempt < 300; ++attempt) {
        bool found = false;
        for (const auto& entry : fs::directory_iterator(folder))
            found = found || entry.path().filename().string().starts_with(stem);
        if (!found)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(AnalysisEndToEnd, WholeLibraryOfPicturesAndProblemFiles) {
    Library lib;
    // The last three are made unreadable, of an unsupported type, and of height 0.
    const auto managed = lib.import({{0, Original},
                                     {0, Half},
                                     {0, Quality40},
                                     {0, QuarterTurn},
                                     {1, Original},
                                     {2, Original},
                                     {3, Original},
                                     {1, Half},
                                     {2, Half}});
    const auto referenced = lib.import({{3, Half}, {2, Quality40}}, true);
    const VersionRecord& unreadable = managed[6];
    fs::remove(referenced[1].masterPath); // offline
    lib.library().connection().exec(
        "update RKMaster set fileName='scan.xyz' where uuid='" + managed[7].masterUuid +
        "'; update RKMaster set height=0 where uuid='" + managed[8].masterUuid + "';");
    chmod(unreadable.masterPath.c_str(), 0);
    // The user grants read access when asked.
    lib.delegate->onUserSelectedFiles = [&](const std::string&) {
        chmod(unreadable.masterPath.c_str(), 0644);
    };
    lib.load();
    {
        const testing::AsUnprivilegedReader reader;
        lib.analyse();
    }

    for (const VersionRecord& v :
         {managed[0], managed[1], managed[4], managed[5], unreadable, referenced[0]})
        expectFingerprintsOfItsFile(lib, v);
    // The resized and recompressed copies stay near the original; another picture does not.
    const uint64_t original = lib.fingerprint(managed[0].uuid, kTagPro);
    const auto distance = [&](const VersionRecord& v) {
        return Lumsift::hammingDistance(original, lib.fingerprint(v.uuid, kTagPro), false);
    };
    EXPECT_LE(distance(managed[1]), 10);
    EXPECT_LE(distance(managed[2]), 10);
    EXPECT_GT(distance(managed[5]), 10);
    EXPECT_NE(lib.fingerprint(managed[3].uuid, kTagPro), 0u);

    // The unreadable master asks for the whole package. Masters read in place stay, also those
    // below the temporary folder.
    EXPECT_EQ(lib.events.startingWith("delegate.userSelectedFiles"),
              Strings{"delegate.userSelectedFiles=" + lib.package.string()});
    for (const VersionRecord& v : {managed[0], managed[4], unreadable, referenced[0]})
        EXPECT_TRUE(fs::exists(v.masterPath)) << v.masterPath;

    EXPECT_EQ(lib.tags(managed[7].uuid), kAllFailed);    // type not accepted
    EXPECT_EQ(lib.tags(managed[8].uuid), kAllFailed);    // height 0
    EXPECT_EQ(lib.tags(referenced[1].uuid), kAllFailed); // offline
    EXPECT_EQ(lib.engine.problemImageCount(), 3);
    EXPECT_EQ(lib.engine.hashedImageCount(), 11);
    EXPECT_TRUE(lib.events.contains("dataView.notAnalysedImagesLabel=0"));
    EXPECT_EQ(lib.events.count(kCompleteNotification), 1u);
    EXPECT_EQ(lib.events.count("power.release=7"), 1u);
}

TEST(AnalysisEndToEnd, ExportedCopiesAreDeletedAfterReadingAndASecondRunComputesNothing) {
    Library lib;
    const auto versions = lib.import({{1, Original}, {2, QuarterTurn}});
    lib.load(false); // every image is exported
    lib.analyse();
    for (const VersionRecord& v : versions) {
        expectFingerprintsOfItsFile(lib, v);
        EXPECT_TRUE(exportsGone(LumsiftForApertureTestAccess::exportFolder(lib.engine), v.name))
            << v.name;
        EXPECT_TRUE(fs::exists(v.masterPath));
    }
    const auto first = lib.tags(versions[0].uuid);

    lib.load();
    photolib::LibraryPackage observer = lib.library();
    const int64_t before = observer.dataVersion();
    lib.events.clear();
    lib.analyse();
    EXPECT_EQ(observer.dataVersion(), before); // nothing written
    EXPECT_EQ(lib.tags(versions[0].uuid), first);
    EXPECT_EQ(lib.events.startingWith("dataView.analysedImagesLabel"),
              (Strings{"dataView.analysedImagesLabel=2", "dataView.analysedImagesLabel=2"}));
    EXPECT_TRUE(lib.events.contains("dataView.retrieveStatusLabel=Analysis Complete"));
}

// The package that photolib makes, read as the engine reads it beside the scripting interface:
// the engine's own database query finds every master where photolib put it, managed and
// referenced; without the database, ApertureData.xml gives the managed ones.
TEST(MasterFilesEndToEnd, EngineFindsTheMastersOfAPackageThatPhotolibMade) {
    Library lib;
    std::vector<VersionRecord> versions = lib.import({{0, Original}, {1, Original}});
    versions.push_back(lib.import({{2, Original}}, true, "Elsewhere").front());
    lib.load();
    Strings uuids, masters;
    for (const VersionRecord& v : versions) {
        uuids.push_back(v.uuid);
        masters.push_back(v.masterPath.string());
    }
    ASSERT_EQ(LumsiftForApertureTestAccess::allImageIDs(lib.engine), uuids);

    const log::Capture capture;
    EXPECT_TRUE(lib.engine.loadApertureDataSqlite());
    EXPECT_EQ(LumsiftForApertureTestAccess::allImagePaths(lib.engine), masters);
    fs::remove_all(lib.package / "Database");
    lib.engine.loadXmlData();
    EXPECT_EQ(LumsiftForApertureTestAccess::allImagePaths(lib.engine),
              (Strings{masters[0], masters[1], ""}));
    EXPECT_EQ(capture.lines(), Strings{"Masters: 2  Previews: 1  UnIdentified: 0"});
}

// Runs posted work at once, on the posting thread, so that a report acts in the middle of the
// step that makes it.
struct InlineMainThread : MainThread {
    void post(std::function<void()> work) override { work(); }
    void runAndWait(std::function<void()> work) override { work(); }
};

// A loading page whose progress indicator runs `onValue` with each value before recording it.
struct HookedLoadingPage : testing::RecordingLoadingPage {
    struct HookedProgress : testing::RecordingControl {
        using RecordingControl::RecordingControl;
        void setDoubleValue(double value) override {
            if (onValue)
                onValue(value);
            RecordingControl::setDoubleValue(value);
        }
        std::function<void(double)> onValue;
    };
    using RecordingLoadingPage::RecordingLoadingPage;
    ProgressIndicator* retrievProgressIndicator() override { return &hooked; }
    HookedProgress hooked{log, "dataView.progress"};
};

std::size_t threadsOfThisProcess() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

// One library with every kind of image an analysis meets, analysed by the steps alone (one
// worker) and again, from the same files, with workers preparing ahead (the default): the pages,
// the delegate, the notifications, the log and the library see the same run.
TEST(AnalysisEndToEnd, SerialAndParallelRunsRecordTheSameAndLeaveTheSameLibrary) {
    using namespace testimages;
    Library lib;
    setMainThread(std::make_shared<InlineMainThread>());
    const auto page = std::make_shared<HookedLoadingPage>(lib.events);
    lib.loadingPage = page;
    auto versions = lib.import({{0, Original},
                                {1, Original},
                                {2, Half},
                                {3, Original},
                                {0, Half},
                                {1, Half},
                                {2, Original},
                                {3, Half},
                                {0, Quality40},
                                {1, Quality40},
                                {2, Quality40},
                                {3, Quality40},
                                {0, QuarterTurn},
                                {1, QuarterTurn},
                                {2, QuarterTurn}});
    const fs::path png = writePhoto(lib.dir / ("shown-" + std::to_string(getpid()) + ".png"), 1,
                                    Original, Format::Png);
    const fs::path cutPng = writePhoto(lib.dir / ("cut-" + std::to_string(getpid()) + ".png"), 2,
                                       Original, Format::Png);
    for (const VersionRecord& v : lib.importFiles({png, cutPng}))
        versions.push_back(v);
    const auto master = [&](std::size_t i) { return versions[i].masterPath; };
    writeBytes(master(1), "this is no picture"); // undecodable
    writeTruncatedCopy(master(2), master(2).string() + ".cut", 2000);
    fs::rename(master(2).string() + ".cut", master(2)); // cut JPEG
    writeTruncatedCopy(master(16), master(16).string() + ".cut", fs::file_size(master(16)) - 20);
    fs::rename(master(16).string() + ".cut", master(16)); // cut PNG
    fs::remove(master(4));                                // offline
    fs::rename(master(5), master(5).string() + ".xyz");   // master's type
    const auto sql = [&](const std::string& set, std::size_t i) {
        lib.library().connection().exec("update RKMaster set " + set + " where uuid='" +
                                        versions[i].masterUuid + "'");
    };
    sql("imagePath = imagePath || '.xyz'", 5);
    sql("fileName = 'scan.xyz'", 6); // type not accepted
    sql("height = 0", 7);
    const VersionRecord& unreadable = versions[8]; // exported, read access not granted
    const VersionRecord& replaced = versions[10];  // another picture once the step begins
    const fs::path pristine = lib.dir / "pristine.aplibrary";
    fs::copy(lib.package, pristine, fs::copy_options::recursive);

    struct Run {
        Strings events;
        Strings logged;
        Strings library;
    };
    const auto analyse = [&](unsigned workers) {
        fs::remove_all(lib.package);
        fs::copy(pristine, lib.package, fs::copy_options::recursive);
        chmod(unreadable.masterPath.c_str(), 0);
        lib.engine.setAnalysisWorkers(workers);
        lib.load();
        const auto& ids = LumsiftForApertureTestAccess::allImageIDs(lib.engine);
        const auto position = std::ranges::find(ids, replaced.uuid) - ids.begin();
        const std::size_t threadsBefore = threadsOfThisProcess();
        std::size_t threadsDuring = 0;
        page->hooked.onValue = [&](double value) {
            threadsDuring = std::max(threadsDuring, threadsOfThisProcess());
            if (static_cast<long>(value) == position + 1)
                writePhoto(replaced.masterPath, 3);
        };
        Run run;
        {
            const log::Capture capture;
            lib.events.clear();
            const testing::AsUnprivilegedReader reader;
            lib.analyse();
            run.logged = capture.lines();
        }
        page->hooked.onValue = nullptr;
        run.events = lib.events.events();
        for (const VersionRecord& v : lib.library().versions()) {
            for (const auto& tag : lib.library().customTags(v.uuid))
                run.library.push_back(v.uuid + " " + tag.name + "=" + tag.value);
            for (const std::string& keyword : lib.keywordsOf(v.uuid))
                run.library.push_back(v.uuid + " keyword " + keyword);
        }
        // The master replaced after its look-up gave its new picture's fingerprints.
        expectFingerprintsOfItsFile(lib, replaced);
        const unsigned cores = std::thread::hardware_concurrency();
        if (workers == 0 && cores > 1) {
            EXPECT_GE(threadsDuring, threadsBefore + cores) << "the default prepares on every core";
        }
        return run;
    };
    const Run serial = analyse(1);
    const Run parallel = analyse(0);

    EXPECT_EQ(parallel.events, serial.events);
    EXPECT_EQ(parallel.logged, serial.logged);
    EXPECT_EQ(parallel.library, serial.library);
    // What the awkward images left, the same in both runs.
    EXPECT_EQ(lib.tags(versions[4].uuid), kAllFailed); // offline
    EXPECT_EQ(lib.tags(versions[6].uuid), kAllFailed); // type not accepted
    EXPECT_EQ(lib.tags(versions[7].uuid), kAllFailed); // height 0
    for (const std::size_t failed : {1, 2, 5, 16})
        EXPECT_EQ(lib.tags(versions[failed].uuid), kAllFailed) << versions[failed].name;
    const auto loggedOnce = [&](const std::string& text) {
        return std::ranges::count(serial.logged, text) == 1;
    };
    EXPECT_TRUE(loggedOnce("Image type not supported: " + master(5).string() + ".xyz"));
    for (const std::size_t failed : {1, 2, 16})
        EXPECT_TRUE(loggedOnce("Couldn't load image: " + fileUrlText(master(failed))))
            << versions[failed].name;
    EXPECT_EQ(std::ranges::count(serial.events, kCompleteNotification), 1);
    expectFingerprintsOfItsFile(lib, versions[15]);
    if (geteuid() == 0) // read from the exported copy; otherwise the application cannot read it
        expectFingerprintsOfItsFile(lib, unreadable);
}

TEST(SearchEndToEnd, LoadsARealPackage) {
    Library lib;
    const auto trip = lib.import({{0, Original}, {1, Original}});
    const auto home = lib.import({{2, Original}}, false, "Home");
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
    const auto copies = lib.import({{0, Original}, {0, Half}, {0, Quality40}, {0, QuarterTurn}});
    const auto others = lib.import({{1, Original}, {2, Original}, {3, Original}}, false, "Others");
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

TEST(SearchEndToEnd, ClearKeywordsLeavesTheUsersKeywordsOfTheSameName) {
    Library lib;
    const auto copies = lib.import({{0, Original}, {0, Half}, {0, Quality40}});
    lib.load();
    lib.analyse();
    const std::string name = "Lumsift " + copies[0].name;
    // The user's own keywords of the search's names: one listed before the search's keyword,
    // one after it, and one without a parent.
    lib.library().addKeyword(copies[1].uuid, name, "Mine");
    lib.engine.switchSearchAlgorithm(kAlgorithmPlus);
    lib.library().select(std::vector<std::string>{copies[0].uuid});
    lib.resultsPage->sensitivityValue = 10;
    lib.search();
    lib.library().addKeyword(copies[2].uuid, name, "Mine");
    lib.library().addKeyword(copies[0].uuid, "Lumsift Target", "");
    ASSERT_THAT(lib.keywordsOf(copies[1].uuid), ElementsAre(name + "|Mine", name + "|ZUL Lumsift"));

    lib.engine.removeLumsfKeywords(*lib.resultsPage);
    EXPECT_THAT(lib.keywordsOf(copies[0].uuid), ElementsAre("Lumsift Target|"));
    EXPECT_THAT(lib.keywordsOf(copies[1].uuid), ElementsAre(name + "|Mine"));
    EXPECT_THAT(lib.keywordsOf(copies[2].uuid), ElementsAre(name + "|Mine"));
}

// `file` as libvips shows it, in sRGB, written as the PNG `png`. Returns `png`.
fs::path shownByLibvips(const fs::path& file, const fs::path& png) {
    const vips::Result image = vips::adopt(vips_image_new_from_file(file.c_str(), nullptr));
    const vips::Result srgb = image ? vips::toSrgb(image.image.get()) : vips::Result{};
    if (!srgb || vips_image_write_to_file(srgb.image.get(), png.c_str(), nullptr) != 0)
        throw std::runtime_error("libvips cannot show " + file.string());
    return png;
}

// The formats photographers hold, each read as a viewer shows it: the stored fingerprints are
// those of the file, and near those of the same picture as a plain PNG (for the greyscale JPEG,
// its grey; for the CMYK JPEG, its colours through libvips' CMYK profile; for the animated GIF,
// its first frame).
TEST(AnalysisEndToEnd, EveryFormatPhotographersHoldIsReadAsShown) {
    using namespace testimages;
    Library lib;
    const PhotoPixels photo = photoPixels(1);
    PhotoPixels grey = photo;
    for (size_t i = 0; i < grey.rgb.size(); i += 3)
        std::fill_n(
            &grey.rgb[i], 3,
            static_cast<uint8_t>(
                (grey.rgb[i] * 299 + grey.rgb[i + 1] * 587 + grey.rgb[i + 2] * 114) / 1000));
    const PhotoPixels other = resized(photoPixels(2), photo.width, photo.height);
    const fs::path in = lib.dir / "formats";
    fs::create_directories(in);
    const std::vector<std::pair<fs::path, fs::path>> files = {
        // The file, and the PNG that shows the same.
        {writePicture(in / "photo.heic", photo), writePicture(in / "photo.png", photo)},
        {writePicture(in / "photo.avif", photo), in / "photo.png"},
        {writePicture(in / "photo.jxl", photo), in / "photo.png"},
        {writePicture(in / "photo16.tif", photo, 1, true), in / "photo.png"},
        {writePicture(in / "photo16.png", photo, 1, true), in / "photo.png"},
        {writeJpegOfKind(in / "cmyk.jpg", 1, JpegKind::Cmyk),
         shownByLibvips(in / "cmyk.jpg", in / "cmyk.png")},
        {writeJpegOfKind(in / "progressive.jpg", 1, JpegKind::Progressive), in / "photo.png"},
        {writeJpegOfKind(in / "grey.jpg", 1, JpegKind::Grey), writePicture(in / "grey.png", grey)},
        {writeAnimatedGif(in / "animated.gif", {photo, other}), in / "photo.png"},
        {writeDng(in / "camera.dng", photo, {1, DngPreview::Jpeg}), in / "photo.png"},
    };
    std::vector<fs::path> masters;
    for (const auto& [file, shown] : files)
        masters.push_back(file);
    const auto versions = lib.importFiles(masters);
    const auto unrelated = lib.importFiles({writePicture(in / "other.png", other)}, "Others");
    lib.load();
    lib.analyse();
    EXPECT_EQ(lib.engine.problemImageCount(), 0);
    Lumsift calculator;
    for (size_t i = 0; i < versions.size(); ++i) {
        const VersionRecord& v = versions[i];
        expectFingerprintsOfItsFile(lib, v);
        ASSERT_TRUE(calculator.prepareImageData(files[i].second, true, true));
        const std::array<uint64_t, 3> shown = {calculator.calculateLumsift(false),
                                               calculator.calculateLumsift(true),
                                               calculator.calculateHashPro()};
        const std::array<const char*, 3> kinds = {kTagPlain, kTagPlus, kTagPro};
        for (int k = 0; k < 3; ++k)
            EXPECT_LE(Lumsift::hammingDistance(lib.fingerprint(v.uuid, kinds[k]), shown[k], false),
                      6)
                << v.name << " " << kinds[k];
    }

    // A search from the first finds every other format of the same photograph, and not the
    // unrelated picture.
    lib.engine.switchSearchAlgorithm(kAlgorithmPlus);
    lib.library().select(std::vector<std::string>{versions[0].uuid});
    lib.resultsPage->sensitivityValue = 8;
    lib.search();
    const std::string keyword = "Lumsift " + versions[0].name + "|ZUL Lumsift";
    for (size_t i = 1; i < versions.size(); ++i)
        EXPECT_THAT(lib.keywordsOf(versions[i].uuid), ElementsAre(keyword)) << versions[i].name;
    EXPECT_TRUE(lib.keywordsOf(unrelated.at(0).uuid).empty());
}

// RAW masters, with and without a preview and turned as the camera was held, are imported with
// their size as shown, analysed, and found by a search beside the camera's own JPEG.
TEST(SearchEndToEnd, FindsRawMastersBesideTheirCameraJpeg) {
    using namespace testimages;
    Library lib;
    const PhotoPixels photo = photoPixels(0);
    const fs::path in = lib.dir / "card";
    const auto shots = lib.importFiles({
        writeDng(in / "IMG_0001.DNG", photo, {6, DngPreview::Jpeg}),
        writeDng(in / "IMG_0001-developed.dng", photo, {6, DngPreview::None}),
        writeDng(in / "IMG_0001-broken.dng", photo, {6, DngPreview::BrokenJpeg}),
        writeCameraJpeg(in / "IMG_0001.JPG", photo, 6),
    });
    const auto others = lib.importFiles({writeDng(in / "IMG_0002.dng", photoPixels(1), {1}),
                                         writeDng(in / "IMG_0003.dng", photoPixels(3), {8})},
                                        "Others");
    for (std::size_t i = 0; i < 3; ++i) { // the RAWs, as shown: turned a quarter
        EXPECT_EQ(shots[i].width, photo.height) << shots[i].name;
        EXPECT_EQ(shots[i].height, photo.width) << shots[i].name;
    }
    lib.load();
    lib.analyse();
    EXPECT_EQ(lib.engine.problemImageCount(), 0);
    EXPECT_EQ(lib.engine.hashedImageCount(), 6);
    for (const VersionRecord& v : shots)
        expectFingerprintsOfItsFile(lib, v);

    lib.engine.switchSearchAlgorithm(kAlgorithmPro);
    lib.library().select(std::vector<std::string>{shots[0].uuid});
    lib.resultsPage->sensitivityValue = 6;
    lib.search();
    const std::string keyword = "Lumsift " + shots[0].name + "|ZUL Lumsift";
    for (std::size_t i = 1; i < shots.size(); ++i)
        EXPECT_THAT(lib.keywordsOf(shots[i].uuid), ElementsAre(keyword)) << shots[i].name;
    EXPECT_THAT(lib.keywordsOf(shots[0].uuid), ElementsAre("Lumsift Target|ZUL Lumsift", keyword));
    for (const auto& other : others)
        EXPECT_TRUE(lib.keywordsOf(other.uuid).empty()) << other.name;
}

} // namespace
} // namespace lumsift
