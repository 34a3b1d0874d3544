// The library analysis: computes the fingerprints the images lack, of the kinds chosen on the
// loading page, and stores each as a custom tag and in the engine's fingerprint lists. Here the
// run's set-up, its steps in list order and its ends; what a step does is in AnalysisRun.cpp.
#include <algorithm>
#include <string>
#include <thread>

#include "engine/AnalysisRun.h"
#include "engine/GridWorkers.h"
#include "engine/LumsiftForAperture.h"
#include "engine/Text.h"
#include "fingerprint/Lumsift.h"
#include "platform/log/Log.h"
#include "platform/notify/UserNotifications.h"
#include "platform/power/PowerAssertions.h"

namespace lumsift {
namespace {

// The list positions planned for the grid workers beyond the one the analysis waits for: a few
// per worker keep every worker busy, and memory stays flat in the number of images.
constexpr std::size_t kAheadPerWorker = 3;

// Holds the idle-sleep assertion of one run and releases it when the run ends, whichever way.
class AssertionHold {
public:
    AssertionHold(std::shared_ptr<PowerAssertions> power, std::string_view name)
        : power_(std::move(power)), id_(power_->createNoIdleSleepAssertion(name)) {}
    ~AssertionHold() {
        if (id_) {
            power_->release(*id_);
        }
    }
    AssertionHold(const AssertionHold&) = delete;
    AssertionHold& operator=(const AssertionHold&) = delete;

private:
    std::shared_ptr<PowerAssertions> power_;
    std::optional<uint32_t> id_;
};

} // namespace

void LumsiftForAperture::analyseImages(std::shared_ptr<LoadingPage> page) {
    // First in, last out: the run counts as underway until everything below is done.
    const UnderwayRun underway(runsUnderway);
    std::shared_ptr<PowerAssertions> power;
    std::shared_ptr<UserNotifications> notifications;
    {
        const std::lock_guard lock(fieldsMutex);
        if (!powerAssertions) {
            powerAssertions = makeSystemPowerAssertions();
        }
        if (!userNotifications) {
            userNotifications = makeSystemUserNotifications();
        }
        power = powerAssertions;
        notifications = userNotifications;
    }

    // Set-up. The calculator is declared before the assertion so that every way out releases
    // the assertion first and destroys the calculator after it.
    std::unique_ptr<Lumsift> calculator;
    AssertionHold assertion(power, "Lumsift analysis in progress");
    {
        const std::lock_guard lock(fieldsMutex);
        dataView = page;
    }
    try {
        calculator = std::make_unique<Lumsift>();
        analyseWith(*calculator, page, *notifications);
    } catch (const std::exception& error) {
        // Nothing leaves the run's thread: the run stops with its controls given back.
        stopAnalysis(std::string("Analysis stopped: ") + error.what(),
                     std::string("The analysis stopped: ") + error.what());
    }
}

void LumsiftForAperture::analyseWith(Lumsift& calculator, const std::shared_ptr<LoadingPage>& page,
                                     UserNotifications& notifications) {
    postToDelegate([](AppDelegate& d) { d.disableNextView(); });
    postToDataView([](LoadingPage& p) { p.disableAnalyseButton(); });
    const int32_t choice = page ? page->selectedAlgorithm() : 0;
    // Each run may ask for read access again.
    readAccessRefused = false;
    loadXmlData();
    const bool selectionMode = page && page->selectionMode();
    std::vector<ImageVersion> list;
    try {
        list = selectionMode ? photoApplication->selection() : loaded.allImages();
    } catch (const scripting::ScriptingError& error) {
        // Without a list there is nothing to analyse.
        stopAnalysis("Analysis stopped: the selection could not be read: " + error.reason(),
                     "The analysis stopped: the selection could not be read from Aperture (" +
                         error.reason() + ").");
        return;
    }
    AnalysisRun run(*this, choice, selectionMode, calculator);
    if (selectionMode) {
        run.resetSelectedFingerprints(list);
    }
    const auto total = static_cast<double>(list.size());
    postToDataView([total](LoadingPage& p) {
        if (ProgressIndicator* progress = p.retrievProgressIndicator()) {
            progress->setIndeterminate(false);
            progress->setMaxValue(total);
        }
    });
    postToDataView([](LoadingPage& p) { setText(p.retrieveStatusLabel(), "Analysing Images"); });
    // From here on the user may go to the results page and search while the run goes on.
    postToDelegate([](AppDelegate& d) { d.enableNextView(); });

    // The workers stop, and what they prepared is dropped, on every way out of the run: its
    // normal end, the stale-library stop, a stop request, an error passing out.
    const std::unique_ptr<GridWorkers> workers = startGridWorkers(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        // Between two images' steps, so that no image is left half-written.
        if (stopRequested) {
            stopAnalysis("Analysis stopped on request after " + countText(i) + " of " +
                             countText(list.size()) + " images",
                         std::nullopt);
            return;
        }
        std::optional<PreparedGrids> ahead;
        if (workers) {
            {
                const std::unique_lock lock = lockForStep();
                run.planAhead(list, *workers);
            }
            // Outside the lock: a search may run while the image is being decoded.
            ahead = workers->take(i);
        }
        if (!run.analyseImage(list[i], i, std::move(ahead))) {
            return;
        }
    }

    if (run.unstoredImages() > 0) {
        endWithFingerprintsNotStored(run.unstoredImages(), notifications);
        return;
    }
    // Normal end.
    postToDataView([](LoadingPage& p) { setText(p.retrieveStatusLabel(), "Analysis Complete"); });
    notifications.deliver("Lumsift Library Analysis Complete!",
                          "Lumsift has successfully completed analysis of your library.", true);
    postToDataView([](LoadingPage& p) { p.enableAnalyseButton(); });
}

std::unique_ptr<GridWorkers> LumsiftForAperture::startGridWorkers(std::size_t images) const {
    const unsigned asked = analysisWorkers();
    const unsigned count = asked > 0 ? asked : std::max(std::thread::hardware_concurrency(), 1u);
    if (count <= 1 || images <= 1) {
        return nullptr; // the steps prepare every image themselves
    }
    return std::make_unique<GridWorkers>(count, kAheadPerWorker * count);
}

// The whole list was handled but the library refused some images' tags: no success is claimed.
void LumsiftForAperture::endWithFingerprintsNotStored(std::size_t images,
                                                      UserNotifications& notifications) {
    const std::string message = "The fingerprints of " + countText(images) +
                                " images could not be stored in your library.  Analyse the "
                                "library again to store them.";
    postToDataView([](LoadingPage& p) { setText(p.retrieveStatusLabel(), "Analysis Incomplete"); });
    notifications.deliver("Lumsift Library Analysis Incomplete", message, true);
    if (const std::shared_ptr<AppDelegate> appDelegate = delegate()) {
        appDelegate->showAlert(message, "Analysis Incomplete");
    }
    postToDataView([](LoadingPage& p) { p.enableAnalyseButton(); });
}

void LumsiftForAperture::stopAnalysis(const std::string& logged,
                                      const std::optional<std::string>& shown) {
    log::line(logged);
    const std::shared_ptr<AppDelegate> appDelegate = delegate();
    if (shown && appDelegate) {
        appDelegate->showAlert(*shown, "ERROR");
    }
    postToDataView([](LoadingPage& p) {
        setText(p.retrieveStatusLabel(), "Analysis Stopped");
        p.enableAnalyseButton();
    });
    postToDelegate([](AppDelegate& d) { d.enableNextView(); });
}

} // namespace lumsift
