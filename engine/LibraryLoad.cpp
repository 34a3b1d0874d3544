// The library load: reads every image version of every project, its identifier and its three
// stored fingerprints through the scripting interface, and reports on the loading page.
#include "engine/LumsiftForAperture.h"
#include "engine/Text.h"

#include "platform/log/Log.h"

namespace lumsift {

namespace {

// Reads one project's versions, identifiers and stored fingerprints and appends them to
// `loaded`. False, with nothing appended, when the application's tag lists do not pair up (with
// each other, or with the versions), since they cannot then be read index by index. A
// ScriptingError passes out, also with nothing appended.
bool appendProject(LoadedLibrary& loaded, const scripting::ApertureProject& project) {
    std::vector<ImageVersion> versions = project.imageVersions();
    const auto values = project.customTagValues();
    const auto names = project.customTagNames();
    if (values.size() != names.size() || names.size() != versions.size())
        return false;
    for (std::size_t i = 0; i < versions.size(); ++i) {
        std::string identifier = versions[i].id();
        loaded.appendImage(std::move(versions[i]), std::move(identifier),
                           {storedFingerprint(names[i], values[i], kTagPlain),
                            storedFingerprint(names[i], values[i], kTagPlus),
                            storedFingerprint(names[i], values[i], kTagPro)});
    }
    return true;
}

} // namespace

void LumsiftForAperture::stopLoadAtCommunicationProblem() {
    std::string contact;
    {
        std::lock_guard lock(fieldsMutex);
        contact = supportContact;
    }
    if (auto d = delegate())
        d->showAlert("A problem was encountered when communication with Aperture.  Please try "
                     "reloading the library.  If the problem persists please contact " +
                         contact,
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
    } catch (const std::exception& error) {
        // Any other error too: the page's controls come back.
        log::line("LumsiftForAperture loadLibrary: " + std::string(error.what()));
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
    loaded.startLoad();

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
        if (!appendProject(loaded, project)) {
            stopLoadAtCommunicationProblem();
            return;
        }
        n += 1;
    }
    loaded.finishLoad();

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
    log::line("Library Loaded.  " + std::to_string(loaded.allImages().size()) + " images.  " +
              countText(hashedImageCount()) + " already Lumsift'd.  " +
              countText(problemImageCount()) + " were not analyzable");
}

} // namespace lumsift
