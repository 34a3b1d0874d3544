// The similarity search: compares the stored fingerprint of each selected image with every
// loaded image's, keywords the matches and the target, and reports counts, progress and, for a
// single target, a summary of the distances with a tighter and a looser suggestion.
#include "engine/LumsiftForAperture.h"
#include "engine/Text.h"

#include "fingerprint/Lumsift.h"
#include "platform/log/Log.h"

#include <algorithm>

namespace lumsift {

namespace {

constexpr int64_t kMaxSensitivity = 15;
// Compared images per distance 0 to 15, match or not.
using Histogram = std::array<uint64_t, kMaxSensitivity + 1>;

// The target's entry in a reading of its custom tags: plus for 1, plain for 3, Pro otherwise.
FingerprintEntry readingEntryFor(const FingerprintReading& reading, int32_t code) {
    if (code == kAlgorithmPlus)
        return reading[1];
    if (code == kAlgorithmPlain)
        return reading[0];
    return reading[2];
}

// Posts the indicator value for comparison `value` of `total`: at most about every hundredth of
// the range and always the last one, so that a large library does not flood the main thread.
class ProgressThrottle {
public:
    explicit ProgressThrottle(uint64_t total)
        : total_(total), step_(std::max<uint64_t>(1, total / 100)) {}
    // True when `value` (increasing) should be posted.
    bool due(uint64_t value) {
        if (value != total_ && value < next_)
            return false;
        next_ = value + step_;
        return true;
    }

private:
    uint64_t total_;
    uint64_t step_;
    uint64_t next_ = 1;
};

// One target's side of its comparisons.
struct Target {
    // "Lumsift <name>", given to the target and to each of its matches.
    std::string keyword;
    std::string identifier;
    // Its stored fingerprint of the searched kind; it finds nothing without one.
    FingerprintEntry entry;
};

// What comparing one target with the loaded images finds.
struct TargetMatches {
    // In the order found.
    std::vector<ImageVersion> matches;
    Histogram hist{};
};

// "Images Found:", then one line per distance at which images were compared. The text spells
// "sensitvity" so on purpose: do not correct it.
std::string toolTipText(const Histogram& hist) {
    std::string toolTip = "Images Found:";
    for (std::size_t d = 0; d < hist.size(); ++d)
        if (hist[d] > 0)
            toolTip.append("\n")
                .append(countText(hist[d]))
                .append(" images @ sensitvity ")
                .append(countText(d));
    return toolTip;
}

// The tighter sensitivity: the largest distance below `s` with images at it and at least one
// image between it and `s`; none when `s` is 0 or no distance qualifies.
std::optional<int64_t> tighterSensitivity(const Histogram& hist, const Histogram& cum, int64_t s) {
    for (int64_t d = s - 1; d >= 0; --d)
        if (hist[d] != 0 && cum[d] != 0 && cum[d] != cum[s])
            return d;
    return std::nullopt;
}

// The looser sensitivity: the first distance above `s` at which an image lies; none at 15 or
// when no image lies above `s`.
std::optional<int64_t> looserSensitivity(const Histogram& cum, int64_t s) {
    for (int64_t d = s + 1; d <= kMaxSensitivity; ++d)
        if (cum[d] != cum[s])
            return d;
    return std::nullopt;
}

} // namespace

// One run of detectSimilar: the page it reports to, the code and the search list it took at
// its start, the scale of its progress and the total of its matches, with its steps. Lives on
// the search's thread; borrows the engine.
class LumsiftForAperture::SimilaritySearch {
public:
    SimilaritySearch(LumsiftForAperture& engine, std::shared_ptr<ResultsPage> page)
        : engine(engine), page(std::move(page)) {}

    // The whole search, from the page's values to the counts; an error passes out (a request
    // the application could not answer, or any other), leaving the lock free and what was
    // keyworded before it keyworded and recorded.
    void run();
    // The search ended at an error (`logged`, `shown` on the page): the counts of what was done,
    // the buttons back, Clear Keywords for what was keyworded, and a line that says the search
    // stopped.
    void endStopped(const std::string& logged, const std::string& shown);

private:
    // Start, without the lock: the page's sensitivity and automatic flag, the Next button
    // disabled, the selection taken, the message line cleared and both suggestions disabled.
    // The selection, in the application's order; a ScriptingError passes out.
    std::vector<ImageVersion> start();
    // Nothing selected: the message, the buttons back and "Ready"; nothing else changes.
    void endWithoutSelection();
    // For `targets` selected images, without the lock: the code and the search list for the
    // whole search, the progress scale and a new record of added keywords.
    void setUp(uint64_t targets);
    // The comparison, holding the engine lock for all targets, released on every way out. False
    // when a stop request ended it before a target. A ScriptingError passes out; what was
    // keyworded before it stays keyworded and recorded.
    bool compareAllTargets(const std::vector<ImageVersion>& selection);
    // The counts, "Retrieval Complete" and the buttons back.
    void end();
    Target takeTarget(const ImageVersion& target);
    TargetMatches compareWithLoadedImages(const Target& target, uint64_t k);
    void keywordMatchesAndTarget(const ImageVersion& target, const std::string& keyword,
                                 const std::vector<ImageVersion>& matches);
    void postSummary(const Histogram& hist);
    void enableClearKeywordsIfKeyworded();

    LumsiftForAperture& engine;
    const std::shared_ptr<ResultsPage> page;
    int32_t code = 0;
    std::shared_ptr<const FingerprintList> searchList;
    // The sensitivity each target starts from when it is chosen automatically.
    int64_t startValue = 0;
    // S targets; N loaded images compared with each.
    uint64_t S = 0;
    std::size_t N = 0;
    ProgressThrottle progress{0};
    // Taken when the comparison starts: the automatic flag, and the loading page whose analysis
    // choice decides on rotations.
    bool automatic = false;
    std::shared_ptr<LoadingPage> choicePage;
    // Matches keyworded so far, and targets whose keywording is done.
    uint64_t total = 0;
    uint64_t targetsDone = 0;
};

void LumsiftForAperture::detectSimilar(std::shared_ptr<ResultsPage> page) {
    const UnderwayRun underway(runsUnderway);
    SimilaritySearch search(*this, std::move(page));
    try {
        search.run();
    } catch (const scripting::ScriptingError& error) {
        search.endStopped(error.name() + ": " + error.reason(),
                          "Aperture did not answer (" + error.reason() + ").");
    } catch (const std::exception& error) {
        search.endStopped(error.what(), error.what());
    }
}

void LumsiftForAperture::SimilaritySearch::run() {
    const std::vector<ImageVersion> selection = start();
    if (selection.empty()) {
        endWithoutSelection();
        return;
    }
    setUp(selection.size());
    if (!compareAllTargets(selection)) {
        endStopped("stopped on request after " + countText(targetsDone) + " of " +
                       countText(S) + " selected images",
                   "Lumsift is quitting.");
        return;
    }
    end();
}

std::vector<ImageVersion> LumsiftForAperture::SimilaritySearch::start() {
    engine._similaritySensitivity = page ? page->sensitivity() : 0;
    engine._autoSensitive = page ? page->autoSensitive() : false;
    engine.postToDelegate([](AppDelegate& d) { d.disableNextView(); });
    std::vector<ImageVersion> selection = engine.getSelection();
    engine.postToResults(page, [](ResultsPage& p) {
        setText(p.specialMessagesLabel(), "");
        p.setMoreImagesEnabled(false);
        p.setLessImagesEnabled(false);
    });
    return selection;
}

void LumsiftForAperture::SimilaritySearch::endWithoutSelection() {
    engine.postToResults(page, [](ResultsPage& p) {
        setText(p.specialMessagesLabel(), "No images were selected.  Select the images you "
                                          "wish to search for in Aperture and try again.");
    });
    engine.postToDelegate([](AppDelegate& d) { d.enableNextView(); });
    engine.postToResults(page, [](ResultsPage& p) {
        p.enableStartSearchButton();
        setText(p.similarImagesLabel(), "Ready");
        setText(p.analysedImagesLabel(), "Ready");
        setText(p.retrieveStatusLabel(), "Ready To Search");
    });
}

void LumsiftForAperture::SimilaritySearch::setUp(uint64_t targets) {
    // The code and the search list first: the progress scale depends on the list. A change of
    // the page's search choice while the search runs applies from the next search.
    code = engine.searchUsing.load();
    searchList = engine.loaded.allLumsiftHahes();
    startValue = code == kAlgorithmPro ? 15 : 10;
    // N: the loaded images the search really compares. The lists are of one length after every
    // load; the search list is read only within its own length all the same.
    N = std::min(engine.loaded.size(), searchList ? searchList->size() : std::size_t{0});
    S = targets;
    const uint64_t progressMax = S * N;
    progress = ProgressThrottle(progressMax);

    engine.postToResults(page, [progressMax](ResultsPage& p) {
        if (auto* indicator = p.retrievProgressIndicator()) {
            indicator->setIndeterminate(false);
            indicator->setMaxValue(static_cast<double>(progressMax));
        }
        setText(p.retrieveStatusLabel(), "Analysing Images");
    });
    // A new record: the previous search's pairs are dropped.
    engine.taggedImages = std::make_unique<std::vector<ImageVersion>>();
    engine.taggedImageKeyword = std::make_unique<std::vector<std::string>>();
}

bool LumsiftForAperture::SimilaritySearch::compareAllTargets(
    const std::vector<ImageVersion>& selection) {
    // So no step of an analysis runs during the comparisons and the keywording.
    const std::unique_lock lock = engine.lockForSearch();
    automatic = engine._autoSensitive.load();
    choicePage = engine.loadingPage();
    uint64_t k = 0;
    for (const ImageVersion& target : selection) {
        // Between two targets, so that no target is left half-keyworded.
        if (engine.stopRequested)
            return false;
        const Target t = takeTarget(target);
        const TargetMatches found = compareWithLoadedImages(t, k);
        if (!found.matches.empty())
            keywordMatchesAndTarget(target, t.keyword, found.matches);
        if (S == 1)
            postSummary(found.hist);
        targetsDone += 1;
        k += 1;
    }
    return true;
}

// A target that the current load holds takes its entry from the search list, whatever that
// holds: its custom tags are not consulted. Another (added after the load) is read from its tags.
Target LumsiftForAperture::SimilaritySearch::takeTarget(const ImageVersion& target) {
    Target t;
    t.keyword = "Lumsift " + target.name();
    t.identifier = engine.imageUniqueId(target);
    // A walk, not the analysis' look-up table: a search looks up a few targets, and building the
    // table would cost more than the walks.
    const std::vector<std::string>& allImageIDs = engine.loaded.allImageIDs();
    const auto found = std::find(allImageIDs.begin(), allImageIDs.end(), t.identifier);
    if (found == allImageIDs.end()) {
        t.entry = readingEntryFor(engine.retrieveLumsiftHash(target, code), code);
        return t;
    }
    const auto i = static_cast<std::size_t>(found - allImageIDs.begin());
    if (searchList && i < searchList->size())
        t.entry = (*searchList)[i];
    return t;
}

// Compares the target with loaded images 0 .. N-1, as `k`-th target of the search. Skipped: the
// target itself, and any pair without a fingerprint on either side (null marker or 0). With a
// fixed sensitivity the matches are every image up to it; with automatic sensitivity every
// image at the least distance found, when that is at most the start value.
TargetMatches LumsiftForAperture::SimilaritySearch::compareWithLoadedImages(const Target& target,
                                                                            uint64_t k) {
    TargetMatches found;
    if (automatic) {
        engine._similaritySensitivity = startValue;
        const int64_t value = startValue;
        engine.postToResults(page, [value](ResultsPage& p) { p.setSensitivity(value); });
    }
    // The sensitivity in force, kept in step with _similaritySensitivity.
    int64_t sensitivity = engine._similaritySensitivity.load();
    const bool targetUsable = target.entry.has_value() && *target.entry != 0;
    // The loop reads locals only: members would be read again after every call out.
    const bool lowersSensitivity = automatic;
    LoadingPage* const analysisPage = choicePage.get();
    const FingerprintEntry* const entries = searchList ? searchList->data() : nullptr;
    const std::vector<ImageVersion>& allImages = engine.loaded.allImages();
    const std::vector<std::string>& allImageIDs = engine.loaded.allImageIDs();
    const std::size_t n = N;
    ProgressThrottle throttle = progress;
    for (std::size_t j = 0; j < n; ++j) {
        // The progress advances for skipped images too.
        const uint64_t value = k * n + 1 + j;
        if (throttle.due(value))
            engine.postToResults(page, [value](ResultsPage& p) {
                if (auto* indicator = p.retrievProgressIndicator())
                    indicator->setDoubleValue(static_cast<double>(value));
            });
        const FingerprintEntry& imageEntry = entries[j];
        if (!targetUsable || !imageEntry.has_value() || *imageEntry == 0)
            continue;
        // The loading page's analysis choice, afresh for each comparison: rotations unless it
        // is 2, whatever kind is searched.
        const bool rotations = !analysisPage || analysisPage->selectedAlgorithm() != kAlgorithmPro;
        const int64_t d = Lumsift::hammingDistance(*target.entry, *imageEntry, rotations);
        // An image this far counts nowhere, so the skip by identifier is only looked at for
        // nearer ones (a string comparison per image would cost more than the distance).
        if (d > std::max(kMaxSensitivity, sensitivity) || allImageIDs[j] == target.identifier)
            continue;
        if (d <= kMaxSensitivity)
            found.hist[d] += 1;
        // A closer distance lowers the automatic threshold and restarts the matches, so only
        // the closest images remain.
        if (lowersSensitivity && d < sensitivity) {
            sensitivity = d;
            engine._similaritySensitivity = d;
            found.matches.clear();
            engine.postToResults(page, [d](ResultsPage& p) { p.setSensitivity(d); });
        }
        if (d <= sensitivity)
            found.matches.push_back(allImages[j]);
    }
    progress = throttle;
    return found;
}

// Each match gets the target's keyword, then the target gets "Lumsift Target" and its keyword;
// each keyword added is recorded (addLumsfKeyword) so that Clear Keywords can remove it.
void LumsiftForAperture::SimilaritySearch::keywordMatchesAndTarget(
    const ImageVersion& target, const std::string& keyword,
    const std::vector<ImageVersion>& matches) {
    for (const ImageVersion& match : matches) {
        engine.addLumsfKeyword(match, keyword);
        total += 1;
    }
    engine.addLumsfKeyword(target, "Lumsift Target");
    engine.addLumsfKeyword(target, keyword);
}

// The single-target summary: the tool tip from the target's distance histogram, and the
// tighter and looser suggestions around the sensitivity in force. A suggestion that does not
// exist leaves its control disabled and its text and engine value as they were.
void LumsiftForAperture::SimilaritySearch::postSummary(const Histogram& hist) {
    Histogram cum{};
    uint64_t running = 0;
    for (std::size_t d = 0; d < hist.size(); ++d)
        cum[d] = running += hist[d];
    // The automatic value when automatic sensitivity is on (kept within the counters' range).
    const int64_t s = std::clamp<int64_t>(engine._similaritySensitivity.load(), 0, kMaxSensitivity);
    const std::optional<int64_t> t = tighterSensitivity(hist, cum, s);
    const std::optional<int64_t> r = looserSensitivity(cum, s);

    engine.postToResults(page, [toolTip = toolTipText(hist)](ResultsPage& p) {
        p.setPerSensitivityToolTip(toolTip);
    });
    if (r || t)
        engine.postToResults(page, [](ResultsPage& p) { setText(p.specialMessagesLabel(), ""); });
    if (r) {
        const std::string text = countText(hist[*r]) +
                                 " more images will be found by relaxing the sensitivity to " +
                                 countText(*r) + ".";
        engine.postToResults(page, [text](ResultsPage& p) {
            p.setMoreImagesEnabled(true);
            p.setMoreImagesText(text);
        });
        // The looser value goes into lessSensitiveValue, which the more-images control applies.
        engine.setLessSensitiveValue(*r);
    }
    if (t) {
        const std::string text = countText(cum[s] - cum[*t]) +
                                 " fewer images will be found by tightening the sensitivity to " +
                                 countText(*t) + ".";
        engine.postToResults(page, [text](ResultsPage& p) {
            p.setLessImagesEnabled(true);
            p.setLessImagesText(text);
        });
        engine.setMoreSensitiveValue(*t);
    }
}

// Whatever this search wrote is in the record (each keyword is recorded as it is added), so a
// record that is not empty is work for Clear Keywords.
void LumsiftForAperture::SimilaritySearch::enableClearKeywordsIfKeyworded() {
    if (engine.taggedImages && !engine.taggedImages->empty())
        engine.postToResults(page, [](ResultsPage& p) { p.setClearKeywordsEnabled(true); });
}

void LumsiftForAperture::SimilaritySearch::endStopped(const std::string& logged,
                                                      const std::string& shown) {
    log::line("LumsiftForAperture detectSimilar: " + logged);
    enableClearKeywordsIfKeyworded();
    engine.postToResults(page, [total = total, done = targetsDone,
                                message = "The search stopped: " + shown](ResultsPage& p) {
        setText(p.specialMessagesLabel(), message);
        setText(p.similarImagesLabel(), countText(total));
        setText(p.analysedImagesLabel(), countText(done));
        setText(p.retrieveStatusLabel(), "Search Stopped");
        p.enableStartSearchButton();
    });
    engine.postToDelegate([](AppDelegate& d) { d.enableNextView(); });
}

void LumsiftForAperture::SimilaritySearch::end() {
    enableClearKeywordsIfKeyworded();
    engine.postToResults(page, [total = total, S = S](ResultsPage& p) {
        setText(p.similarImagesLabel(), countText(total));
        setText(p.analysedImagesLabel(), countText(S));
        setText(p.retrieveStatusLabel(), "Retrieval Complete");
        p.enableStartSearchButton();
    });
    engine.postToDelegate([](AppDelegate& d) { d.enableNextView(); });
}

} // namespace lumsift
