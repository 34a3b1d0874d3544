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

} // namespace

void LumsiftForAperture::detectSimilar(std::shared_ptr<ResultsPage> page) {
    // Start: no lock held.
    // 1.
    _similaritySensitivity = page ? page->sensitivity() : 0;
    _autoSensitive = page ? page->autoSensitive() : false;
    // 2.
    postToDelegate([](AppDelegate& d) { d.disableNextView(); });
    // 3.
    const std::vector<ImageVersion> selection = getSelection();
    // 4., 5.
    postToResults(page, [](ResultsPage& p) {
        setText(p.specialMessagesLabel(), "");
        p.setMoreImagesEnabled(false);
        p.setLessImagesEnabled(false);
    });
    // 6.
    if (selection.empty()) {
        postToResults(page, [](ResultsPage& p) {
            setText(p.specialMessagesLabel(), "No images were selected.  Select the images you "
                                              "wish to search for in Aperture and try again.");
        });
        postToDelegate([](AppDelegate& d) { d.enableNextView(); });
        postToResults(page, [](ResultsPage& p) {
            p.enableStartSearchButton();
            setText(p.similarImagesLabel(), "Ready");
            setText(p.analysedImagesLabel(), "Ready");
            setText(p.retrieveStatusLabel(), "Ready To Search");
        });
        return;
    }

    // 10. (taken here: the progress scale of step 7 depends on it) The code and the search list,
    // once for the whole search.
    const int32_t code = searchUsing.load();
    std::shared_ptr<const FingerprintList> searchList;
    {
        std::lock_guard lock(fieldsMutex);
        searchList = allLumsiftHahes;
    }
    const int64_t startValue = code == kAlgorithmPro ? 15 : 10;
    // N: the loaded images the search really compares. The lists are of one length after every
    // load; the search list is read only within its own length all the same.
    const std::size_t N = std::min(
        {allImages.size(), allImageIDs.size(), searchList ? searchList->size() : std::size_t{0}});
    const uint64_t S = selection.size();
    const uint64_t progressMax = S * N;

    // 7., 8.
    postToResults(page, [progressMax](ResultsPage& p) {
        if (auto* indicator = p.retrievProgressIndicator()) {
            indicator->setIndeterminate(false);
            indicator->setMaxValue(static_cast<double>(progressMax));
        }
        setText(p.retrieveStatusLabel(), "Analysing Images");
    });
    // 9.
    taggedImages = std::make_unique<std::vector<ImageVersion>>();
    taggedImageKeyword = std::make_unique<std::vector<std::string>>();

    // Matches of the targets keyworded so far; any means Clear Keywords has work.
    uint64_t total = 0;
    try {
        // Comparison: the engine lock for all targets, released on every way out.
        std::lock_guard engine(engineLock);
        ProgressThrottle progress(progressMax);
        const std::shared_ptr<LoadingPage> choicePage = loadingPage();
        const bool automatic = _autoSensitive.load();
        uint64_t k = 0;
        for (const ImageVersion& target : selection) {
            // 11.
            const std::string keyword = "Lumsift " + target.name();
            const std::string identifier = imageUniqueId(target);
            FingerprintEntry targetEntry;
            // A walk, not the analysis' look-up table: a search looks up a few targets, and
            // building the table would cost more than the walks.
            const auto found = std::find(allImageIDs.begin(), allImageIDs.end(), identifier);
            if (found != allImageIDs.end()) {
                const auto i = static_cast<std::size_t>(found - allImageIDs.begin());
                if (searchList && i < searchList->size())
                    targetEntry = (*searchList)[i];
            } else {
                targetEntry = readingEntryFor(retrieveLumsiftHash(target, code), code);
            }

            // 12.
            std::vector<ImageVersion> matches;
            std::array<uint64_t, 16> hist{};
            if (automatic) {
                _similaritySensitivity = startValue;
                postToResults(page, [startValue](ResultsPage& p) { p.setSensitivity(startValue); });
            }

            // 13. The sensitivity in force, kept in step with _similaritySensitivity.
            int64_t sensitivity = _similaritySensitivity.load();
            const bool targetUsable = targetEntry.has_value() && *targetEntry != 0;
            for (std::size_t j = 0; j < N; ++j) {
                const uint64_t value = k * N + 1 + j;
                if (progress.due(value))
                    postToResults(page, [value](ResultsPage& p) {
                        if (auto* indicator = p.retrievProgressIndicator())
                            indicator->setDoubleValue(static_cast<double>(value));
                    });
                const FingerprintEntry& imageEntry = (*searchList)[j];
                if (!targetUsable || !imageEntry.has_value() || *imageEntry == 0)
                    continue;
                // The loading page's analysis choice, afresh for each comparison: rotations
                // unless it is 2.
                const bool rotations =
                    !choicePage || choicePage->selectedAlgorithm() != kAlgorithmPro;
                const int64_t d = Lumsift::hammingDistance(*targetEntry, *imageEntry, rotations);
                // An image this far counts nowhere, so the skip by identifier is only looked at
                // for nearer ones (a string comparison per image would cost more than the
                // distance).
                if (d > std::max(kMaxSensitivity, sensitivity) || allImageIDs[j] == identifier)
                    continue;
                if (d <= kMaxSensitivity)
                    hist[d] += 1;
                if (automatic && d < sensitivity) {
                    sensitivity = d;
                    _similaritySensitivity = d;
                    matches.clear();
                    postToResults(page, [d](ResultsPage& p) { p.setSensitivity(d); });
                }
                if (d <= sensitivity)
                    matches.push_back(allImages[j]);
            }

            // 14.
            // (A lowered sensitivity empties the list only to add the match that lowered it.)
            if (!matches.empty()) {
                for (const ImageVersion& match : matches)
                    addLumsfKeyword(match, keyword);
                addLumsfKeyword(target, "Lumsift Target");
                addLumsfKeyword(target, keyword);
                total += matches.size();
            }

            // 15.
            if (S == 1)
                postSummary(page, hist);
            // 16.
            k += 1;
        }
        // 17. The lock is released here.
    } catch (const scripting::ScriptingError& error) {
        // A request the application could not answer ends the search; the page gets its search
        // and Next buttons back (and Clear Keywords for what was keyworded) instead of the
        // process ending on this thread.
        log::line("LumsiftForAperture detectSimilar: " + error.name() + ": " + error.reason());
        if (total > 0)
            postToResults(page, [](ResultsPage& p) { p.setClearKeywordsEnabled(true); });
        postToResults(page, [](ResultsPage& p) { p.enableStartSearchButton(); });
        postToDelegate([](AppDelegate& d) { d.enableNextView(); });
        return;
    }

    // End: no lock held.
    // 18.
    if (total > 0)
        postToResults(page, [](ResultsPage& p) { p.setClearKeywordsEnabled(true); });
    // 19.
    postToResults(page, [total, S](ResultsPage& p) {
        setText(p.similarImagesLabel(), countText(total));
        setText(p.analysedImagesLabel(), countText(S));
        setText(p.retrieveStatusLabel(), "Retrieval Complete");
        p.enableStartSearchButton();
    });
    postToDelegate([](AppDelegate& d) { d.enableNextView(); });
}

void LumsiftForAperture::postSummary(const std::shared_ptr<ResultsPage>& page,
                                     const std::array<uint64_t, 16>& hist) {
    // 1. The tool tip.
    std::string toolTip = "Images Found:";
    for (std::size_t d = 0; d < hist.size(); ++d)
        if (hist[d] > 0)
            toolTip.append("\n")
                .append(countText(hist[d]))
                .append(" images @ sensitvity ")
                .append(countText(d));

    // 2. Cumulative counts and the sensitivity in force (kept within the counters' range).
    std::array<uint64_t, 16> cum{};
    uint64_t running = 0;
    for (std::size_t d = 0; d < hist.size(); ++d)
        cum[d] = running += hist[d];
    const int64_t s = std::clamp<int64_t>(_similaritySensitivity.load(), 0, kMaxSensitivity);

    // 3. Tighter: the largest distance below s with images at it and some between it and s.
    std::optional<int64_t> t;
    for (int64_t d = s - 1; d >= 0 && !t; --d)
        if (hist[d] != 0 && cum[d] != 0 && cum[d] != cum[s])
            t = d;
    // 4. Looser: the first distance above s at which an image lies.
    std::optional<int64_t> r;
    for (int64_t d = s + 1; d <= kMaxSensitivity && !r; ++d)
        if (cum[d] != cum[s])
            r = d;

    // 5.
    postToResults(page, [toolTip](ResultsPage& p) { p.setPerSensitivityToolTip(toolTip); });
    // 6.
    if (r || t)
        postToResults(page, [](ResultsPage& p) { setText(p.specialMessagesLabel(), ""); });
    // 7.
    if (r) {
        const std::string text = countText(hist[*r]) +
                                 " more images will be found by relaxing the sensitivity to " +
                                 countText(*r) + ".";
        postToResults(page, [text](ResultsPage& p) {
            p.setMoreImagesEnabled(true);
            p.setMoreImagesText(text);
        });
        setLessSensitiveValue(*r);
    }
    // 8.
    if (t) {
        const std::string text = countText(cum[s] - cum[*t]) +
                                 " fewer images will be found by tightening the sensitivity to " +
                                 countText(*t) + ".";
        postToResults(page, [text](ResultsPage& p) {
            p.setLessImagesEnabled(true);
            p.setLessImagesText(text);
        });
        setMoreSensitiveValue(*t);
    }
}

} // namespace lumsift
