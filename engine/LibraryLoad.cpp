// The library load: reads every image version of every project, its identifier and its three
// stored fingerprints through the scripting interface, and reports on the loading page.
#include "engine/LumsiftForAperture.h"
#include "engine/Text.h"

#include "platform/log/Log.h"

namespace lumsift {

namespace {

constexpr const char* kSupportContact = "support@lumsift.app";

} // namespace

void LumsiftForAperture::stopLoadAtCommunicationProblem() {
    // The versions read past the last complete project leave the lists again, so that every
    // list keeps the projects read before the stop, index by index.
    const std::size_t complete = allLumsiftClassicHahes ? allLumsiftClassicHahes->size() : 0;
    if (allImages.size() > complete)
        allImages.resize(complete);
    if (allImageIDs.size() > complete)
        allImageIDs.resize(complete);
    forgetImageIndex();
    if (auto d = delegate())
        d->showAlert(std::string("A problem was encountered when communication with Aperture.  "
                                 "Please try reloading the library.  If the problem persists "
                                 "please contact ") +
                         kSupportContact,
                     "ERROR");
    postToDataView([](LoadingPage& p) {
        p.stopAnimation();
        p.enableAnalyseButton();
    });
}

void LumsiftForAperture::loadLibrary(std::shared_ptr<LoadingPage> page) {
    try {
        loadLibraryFrom(std::move(page));
    } catch (const scripting::ScriptingError& error) {
        // A request the application could not answer ends the load as unmatched answers do,
        // instead of ending the process on the load's thread.
        log::line("LumsiftForAperture loadLibrary: " + error.name() + ": " + error.reason());
        stopLoadAtCommunicationProblem();
    }
}

void LumsiftForAperture::loadLibraryFrom(std::shared_ptr<LoadingPage> page) {
    // 1. The page, the busy indicator, the flags.
    {
        std::lock_guard lock(fieldsMutex);
        dataView = page;
    }
    postToDataView([](LoadingPage& p) {
        if (auto* indicator = p.retrievProgressIndicator())
            indicator->setIndeterminate(true);
    });
    setDataLoaded(true);
    setApertureLibrary(std::nullopt);

    // 2. Nothing may start while the lists are rebuilt.
    postToDelegate([](AppDelegate& d) { d.disableNextView(); });
    postToDataView([](LoadingPage& p) {
        p.disableAnalyseButton();
        setText(p.retrieveStatusLabel(), "Retrieving Data From Aperture");
    });

    // 3.
    log::line("LumsiftForAperture loadLibrary");

    // 4. New lists; the search list moves with them in the same step.
    const std::vector<scripting::ApertureProject> projects = photoApplication->projects();
    allImages = {};
    allImageIDs = {};
    allLumsiftClassicHahes = std::make_shared<FingerprintList>();
    allLumsiftPlusHahes = std::make_shared<FingerprintList>();
    allLumsiftProHahes = std::make_shared<FingerprintList>();
    {
        std::lock_guard lock(fieldsMutex);
        if (searchListChosen)
            allLumsiftHahes = fingerprintListFor(searchUsing.load());
    }

    // 5.
    const auto projectCount = static_cast<double>(projects.size());
    postToDataView([projectCount](LoadingPage& p) {
        if (auto* indicator = p.retrievProgressIndicator()) {
            indicator->setMaxValue(projectCount);
            indicator->setIndeterminate(false);
            indicator->setDoubleValue(0);
        }
    });

    // 6. Project by project.
    double n = 1;
    for (const auto& project : projects) {
        postToDataView([n](LoadingPage& p) {
            if (auto* indicator = p.retrievProgressIndicator())
                indicator->setDoubleValue(n);
        });
        const std::size_t projectStart = allImages.size();
        std::vector<ImageVersion> versions = project.imageVersions();
        for (const auto& version : versions)
            allImageIDs.push_back(version.id());
        allImages.insert(allImages.end(), std::make_move_iterator(versions.begin()),
                         std::make_move_iterator(versions.end()));
        const std::size_t versionCount = allImages.size() - projectStart;

        const auto values = project.customTagValues();
        const auto names = project.customTagNames();
        // Lists that do not pair up (with each other, or with the versions) cannot be read
        // index by index.
        if (values.size() != names.size() || names.size() != versionCount) {
            stopLoadAtCommunicationProblem();
            return;
        }
        for (std::size_t i = 0; i < versionCount; ++i) {
            allLumsiftClassicHahes->push_back(storedFingerprint(names[i], values[i], kTagPlain));
            allLumsiftPlusHahes->push_back(storedFingerprint(names[i], values[i], kTagPlus));
            allLumsiftProHahes->push_back(storedFingerprint(names[i], values[i], kTagPro));
        }
        n += 1;
    }
    forgetImageIndex();
    // The lists stay as they are until the next load: give back the growth slack.
    allImages.shrink_to_fit();
    allImageIDs.shrink_to_fit();
    allLumsiftClassicHahes->shrink_to_fit();
    allLumsiftPlusHahes->shrink_to_fit();
    allLumsiftProHahes->shrink_to_fit();

    // 7.
    switchLumsiftAlgorithm();

    // 8.
    postToDataView([](LoadingPage& p) {
        p.stopAnimation();
        setText(p.retrieveStatusLabel(), "Data Collected");
        p.enableAnalyseButton();
    });
    postToDelegate([](AppDelegate& d) { d.enableNextView(); });

    // 9.
    log::line("Library Loaded.  " + std::to_string(allImages.size()) + " images.  " +
              countText(hashedImageCount()) + " already Lumsift'd.  " +
              countText(problemImageCount()) + " were not analyzable");
}

} // namespace lumsift
