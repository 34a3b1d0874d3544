// The analysis end to end: a real library package of real pictures, the photo application's
// stand-in, the engine's load and analysis, and what ends up in the library and on disk.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "engine/LumsiftForAperture.h"
#include "fingerprint/Lumsift.h"
#include "platform/scripting/LibraryApplication.h"
#include "platform/scripting/LibraryPackage.h"
#include "tests/engine/AnalysisSupport.h"
#include "tests/engine/support/Recorders.h"
#include "tests/support/TestImages.h"

namespace lumsift {
namespace {

namespace fs = std::filesystem;
using scripting::ImportOptions;
using scripting::LibraryPackage;
using scripting::VersionRecord;
using testimages::Variant;
using testing::AsUnprivilegedReader;
using testing::EventLog;
using Strings = std::vector<std::string>;

// A library package in a fresh folder, open in the stand-in, and the engine over it.
struct Library {
    Library() : package(dir / "Photos.aplibrary"), pictures(dir / "pictures") {
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        fs::create_directories(pictures);
        LibraryPackage::create(package);
        scripting::openLibrary(package);
        setMainThread(main);
        engine.resetForTesting();
        engine.setAppDelegate(delegate);
        engine.setPowerAssertions(std::make_shared<testing::RecordingPower>(events));
        engine.setUserNotifications(std::make_shared<testing::RecordingNotifications>(events));
    }
    // Writes the pictures as files of unique names and imports them; returns their versions.
    std::vector<VersionRecord> import(const std::vector<std::pair<int, Variant>>& photos,
                                      bool reference = false) {
        std::vector<fs::path> files;
        for (const auto& [index, variant] : photos) {
            const std::string name =
                "p" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".jpg";
            files.push_back(testimages::writePhoto(pictures / name, index, variant));
        }
        ImportOptions options;
        options.project = "Trip";
        options.reference = reference;
        return LibraryPackage::open(package).importFiles(files, options);
    }
    void sql(const std::string& statement) {
        LibraryPackage::open(package).connection().exec(statement);
    }
    // Loads the library; then names the package as the loading page does before a run, unless
    // `withPackage` is false (no master is then known, and every image is exported).
    void load(bool withPackage = true) {
        engine.loadLibrary(page);
        main->drain();
        if (withPackage) {
            engine.setApertureLibrary(package.string());
        }
    }
    void analyse(int32_t choice = kAlgorithmAll) {
        page->algorithm = choice;
        engine.analyseImages(page);
        main->drain();
    }
    std::map<std::string, std::string> tags(const std::string& uuid) {
        std::map<std::string, std::string> byName;
        for (const auto& tag : LibraryPackage::open(package).customTags(uuid)) {
            byName[tag.name] = tag.value;
        }
        return byName;
    }
    uint64_t fingerprint(const std::string& uuid, const char* kind) {
        return fingerprintFromText(tags(uuid).at(kind));
    }

    testimages::TempDir dir;
    fs::path package;
    fs::path pictures;
    int counter = 0;
    EventLog events;
    std::shared_ptr<testing::QueueMainThread> main = std::make_shared<testing::QueueMainThread>();
    std::shared_ptr<testing::RecordingLoadingPage> page =
        std::make_shared<testing::RecordingLoadingPage>(events);
    std::shared_ptr<testing::RecordingDelegate> delegate =
        std::make_shared<testing::RecordingDelegate>(events);
    LumsiftForAperture& engine = LumsiftForAperture::sharedLumsiftForAperture();
};

const std::map<std::string, std::string> kAllFailed = {
    {"Lumsift", "0"}, {"Lumsift+", "0"}, {"LumsiftPro", "0"}};

// Files in the export folder whose names start with `stem` (the copies and sidecars of a
// version), waiting a while for the sidecar deletion that runs on a thread of its own.
Strings exportedFiles(const std::string& stem) {
    Strings found;
    for (int attempt = 0; attempt < 300; ++attempt) {
        found.clear();
        for (const auto& entry : fs::directory_iterator(fs::temp_directory_path())) {
            if (entry.path().filename().string().starts_with(stem)) {
                found.push_back(entry.path().string());
            }
        }
        if (found.empty()) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return found;
}

TEST(AnalysisEndToEnd, WholeLibraryOfPicturesAndProblemFiles) {
    Library lib;
    const auto managed = lib.import({{0, Variant::Original},
                                     {0, Variant::Half},
                                     {0, Variant::Quality40},
                                     {0, Variant::QuarterTurn},
                                     {1, Variant::Original},
                                     {2, Variant::Original},
                                     {3, Variant::Original}, // unreadable
                                     {1, Variant::Half},     // unsupported type
                                     {2, Variant::Half}});   // height 0
    const auto referenced = lib.import({{3, Variant::Half}, {2, Variant::Quality40}}, true);
    const VersionRecord& unreadable = managed[6];
    fs::remove(referenced[1].masterPath); // offline
    lib.sql("update RKMaster set fileName='scan.xyz' where uuid='" + managed[7].masterUuid +
            "';"
            "update RKMaster set height=0 where uuid='" +
            managed[8].masterUuid + "';");
    chmod(unreadable.masterPath.c_str(), 0);
    // The user grants read access when asked.
    lib.delegate->onUserSelectedFiles = [&](const std::string&) {
        chmod(unreadable.masterPath.c_str(), 0644);
    };
    lib.load();
    {
        const AsUnprivilegedReader reader;
        lib.analyse();
    }

    // Every picture that can be read is fingerprinted from its own file.
    for (const VersionRecord& v : {managed[0], managed[1], managed[4], managed[5], referenced[0]}) {
        Lumsift calculator;
        ASSERT_TRUE(calculator.prepareImageData(v.masterPath, true, true));
        EXPECT_EQ(lib.fingerprint(v.uuid, kTagPlain), calculator.calculateLumsift(false));
        EXPECT_EQ(lib.fingerprint(v.uuid, kTagPlus), calculator.calculateLumsift(true));
        EXPECT_EQ(lib.fingerprint(v.uuid, kTagPro), calculator.calculateHashPro());
    }
    // The resized and recompressed copies stay near the original; another picture does not.
    const uint64_t original = lib.fingerprint(managed[0].uuid, kTagPro);
    EXPECT_LE(Lumsift::hammingDistance(original, lib.fingerprint(managed[1].uuid, kTagPro), false),
              10);
    EXPECT_LE(Lumsift::hammingDistance(original, lib.fingerprint(managed[2].uuid, kTagPro), false),
              10);
    EXPECT_GT(Lumsift::hammingDistance(original, lib.fingerprint(managed[5].uuid, kTagPro), false),
              10);
    EXPECT_NE(lib.fingerprint(managed[3].uuid, kTagPro), 0u);

    // The unreadable master asks for the whole package, then is read in place.
    EXPECT_EQ(lib.events.startingWith("delegate.userSelectedFiles"),
              Strings{"delegate.userSelectedFiles=" + lib.package.string()});
    EXPECT_NE(lib.fingerprint(unreadable.uuid, kTagPlain), 0u);
    // Masters read in place stay, also those below the temporary folder.
    for (const VersionRecord& v : {managed[0], managed[4], unreadable, referenced[0]}) {
        EXPECT_TRUE(fs::exists(v.masterPath)) << v.masterPath;
    }

    EXPECT_EQ(lib.tags(managed[7].uuid), kAllFailed);    // type not accepted
    EXPECT_EQ(lib.tags(managed[8].uuid), kAllFailed);    // height 0
    EXPECT_EQ(lib.tags(referenced[1].uuid), kAllFailed); // offline
    EXPECT_EQ(lib.engine.problemImageCount(), 3);
    EXPECT_EQ(lib.engine.hashedImageCount(), 11);
    EXPECT_TRUE(lib.events.contains("dataView.notAnalysedImagesLabel=0"));
    EXPECT_EQ(lib.events.count(testing::kCompleteNotification), 1u);
    EXPECT_EQ(lib.events.count("power.release=7"), 1u);
}

TEST(AnalysisEndToEnd, ExportedCopiesAndSidecarsAreDeletedAfterReading) {
    Library lib;
    const auto versions = lib.import({{1, Variant::Original}, {2, Variant::Half}});
    lib.load(false);
    lib.analyse();
    for (const VersionRecord& v : versions) {
        Lumsift calculator;
        ASSERT_TRUE(calculator.prepareImageData(v.masterPath, true, true));
        EXPECT_EQ(lib.fingerprint(v.uuid, kTagPlain), calculator.calculateLumsift(false));
        EXPECT_TRUE(exportedFiles(v.name).empty()) << v.name;
        EXPECT_TRUE(fs::exists(v.masterPath));
    }
}

TEST(AnalysisEndToEnd, SecondWholeLibraryRunComputesNothing) {
    Library lib;
    const auto versions = lib.import({{0, Variant::Original}, {1, Variant::QuarterTurn}});
    lib.load();
    lib.analyse();
    const auto first = lib.tags(versions[0].uuid);
    ASSERT_EQ(first.size(), 3u);

    lib.load();
    LibraryPackage observer = LibraryPackage::open(lib.package);
    const int64_t before = observer.dataVersion();
    lib.events.clear();
    lib.analyse();
    EXPECT_EQ(observer.dataVersion(), before); // nothing written
    EXPECT_EQ(lib.tags(versions[0].uuid), first);
    EXPECT_EQ(lib.events.startingWith("dataView.analysedImagesLabel"),
              (Strings{"dataView.analysedImagesLabel=2", "dataView.analysedImagesLabel=2"}));
    EXPECT_TRUE(lib.events.contains("dataView.retrieveStatusLabel=Analysis Complete"));
}

TEST(AnalysisEndToEnd, SelectionWithAnImageAddedAfterTheLoad) {
    Library lib;
    const auto loaded = lib.import({{0, Variant::Original}, {1, Variant::Original}});
    lib.load();
    lib.analyse(kAlgorithmPlus);
    const std::string oldPlus = lib.tags(loaded[1].uuid).at(kTagPlus);
    const auto added = lib.import({{2, Variant::Original}});
    LibraryPackage::open(lib.package)
        .select(Strings{loaded[0].uuid, added[0].uuid, loaded[1].uuid});
    lib.page->selectionOnly = true;
    lib.events.clear();
    lib.analyse(kAlgorithmPlus);

    EXPECT_NE(lib.fingerprint(loaded[0].uuid, kTagPlus), 0u); // computed again
    EXPECT_NE(lib.fingerprint(added[0].uuid, kTagPlus), 0u);  // its tags are written
    EXPECT_EQ(lib.tags(loaded[1].uuid).at(kTagPlus), "0");    // as the pre-pass left it
    EXPECT_NE(oldPlus, "0");
    EXPECT_TRUE(lib.events.contains("dataView.notAnalysedImagesLabel=Unknown"));
    EXPECT_EQ(lib.events.startingWith("delegate.showAlert").size(), 1u);
    EXPECT_EQ(lib.events.count(testing::kCompleteNotification), 0u);
    EXPECT_EQ(lib.events.count("power.release=7"), 1u);
}

} // namespace
} // namespace lumsift
