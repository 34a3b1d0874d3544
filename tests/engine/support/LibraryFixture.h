// The end-to-end set-up: a real library package in a fresh folder, open in the photo
// application's stand-in, and the engine over it with recording pages, delegate, idle-sleep
// assertions and notifications.
#pragma once

#include "engine/LumsiftForAperture.h"
#include "platform/scripting/LibraryApplication.h"
#include "platform/scripting/LibraryPackage.h"
#include "tests/engine/support/Recorders.h"
#include "tests/support/TestImages.h"

#include <cstdlib>
#include <map>
#include <unistd.h>

namespace lumsift::testing {

struct LibraryFixture {
    using Photos = std::vector<std::pair<int, testimages::Variant>>;

    LibraryFixture() : package(dir / "Photos.aplibrary"), pictures(dir / "pictures") {
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        std::filesystem::create_directories(pictures);
        scripting::LibraryPackage::create(package);
        scripting::openLibrary(package);
        scripting::ScriptingRegistry::registerApplication(
            kApertureBundleIdentifier, [] { return scripting::makeLibraryApplication(); });
        setMainThread(main);
        engine.resetForTesting();
        engine.setAppDelegate(delegate);
        engine.setPowerAssertions(std::make_shared<RecordingPower>(events));
        engine.setUserNotifications(std::make_shared<RecordingNotifications>(events));
    }
    // Writes the pictures (test photo index, variant) under names unique to this process (the
    // exported copies share the temporary folder) and imports them into `project`.
    std::vector<scripting::VersionRecord> import(const Photos& photos, bool reference = false,
                                                 const std::string& project = "Trip") {
        std::vector<std::filesystem::path> files;
        for (const auto& [index, variant] : photos)
            files.push_back(
                testimages::writePhoto(pictures / ("p" + std::to_string(getpid()) + "-" +
                                                   std::to_string(counter++) + ".jpg"),
                                       index, variant));
        scripting::ImportOptions options;
        options.project = project;
        options.reference = reference;
        return library().importFiles(files, options);
    }
    scripting::LibraryPackage library() const { return scripting::LibraryPackage::open(package); }
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
    void search() {
        engine.detectSimilar(resultsPage);
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
    std::vector<std::string> keywordsOf(const std::string& uuid) const {
        std::vector<std::string> names;
        for (const auto& keyword : library().keywords(uuid))
            names.push_back(keyword.name + "|" + keyword.parentName);
        return names;
    }

    testimages::TempDir dir;
    std::filesystem::path package;
    std::filesystem::path pictures;
    int counter = 0;
    EventLog events;
    std::shared_ptr<QueueMainThread> main = std::make_shared<QueueMainThread>();
    std::shared_ptr<RecordingLoadingPage> loadingPage =
        std::make_shared<RecordingLoadingPage>(events);
    std::shared_ptr<RecordingResultsPage> resultsPage =
        std::make_shared<RecordingResultsPage>(events);
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>(events);
    LumsiftForAperture& engine = LumsiftForAperture::sharedLumsiftForAperture();
};

} // namespace lumsift::testing
