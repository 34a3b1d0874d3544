// The library analysis: computes the fingerprints the images lack, of the kinds chosen on the
// loading page, and stores each as a custom tag and in the engine's fingerprint lists.
#include <algorithm>
#include <array>
#include <string>

#include "engine/LumsiftForAperture.h"
#include "engine/Text.h"
#include "fingerprint/Lumsift.h"
#include "platform/log/Log.h"

namespace lumsift {
namespace {

// Kinds in the order the analysis computes and stores them, which is the order of a reading:
// plain, plus, Pro.
constexpr std::array<int32_t, 3> kKindCodes = {kAlgorithmPlain, kAlgorithmPlus, kAlgorithmPro};
constexpr std::size_t kPlain = 0;
constexpr std::size_t kPlus = 1;
constexpr std::size_t kPro = 2;
using KindFlags = std::array<bool, 3>;

// The kinds an analysis choice covers; none for a code outside 0 to 3.
KindFlags kindsOfChoice(int32_t choice) {
    switch (choice) {
    case kAlgorithmAll:
        return {true, true, true};
    case kAlgorithmPlus:
        return {false, true, false};
    case kAlgorithmPro:
        return {false, false, true};
    case kAlgorithmPlain:
        return {true, false, false};
    default:
        return {false, false, false};
    }
}

bool anyOf(const KindFlags& kinds) {
    return kinds[kPlain] || kinds[kPlus] || kinds[kPro];
}

FingerprintEntry entryAt(const std::shared_ptr<FingerprintList>& list, std::size_t index) {
    return list && index < list->size() ? (*list)[index] : std::nullopt;
}

void setEntryAt(const std::shared_ptr<FingerprintList>& list, std::size_t index,
                FingerprintEntry value) {
    if (list && index < list->size()) {
        (*list)[index] = value;
    }
}

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
    calculator = std::make_unique<Lumsift>();
    postToDelegate([](AppDelegate& d) { d.disableNextView(); });
    postToDataView([](LoadingPage& p) { p.disableAnalyseButton(); });
    const int32_t choice = page ? page->selectedAlgorithm() : 0;
    loadXmlData();
    const bool selectionMode = page && page->selectionMode();
    std::vector<ImageVersion> list;
    try {
        list = selectionMode ? photoApplication->selection() : allImages;
    } catch (const scripting::ScriptingError& error) {
        // Without a list there is nothing to analyse: give the controls back.
        log::line("Analysis stopped: the selection could not be read: " + error.reason());
        postToDataView([](LoadingPage& p) { p.enableAnalyseButton(); });
        postToDelegate([](AppDelegate& d) { d.enableNextView(); });
        return;
    }
    if (selectionMode) {
        resetSelectedFingerprints(list, choice);
    }
    const auto total = static_cast<double>(list.size());
    postToDataView([total](LoadingPage& p) {
        if (ProgressIndicator* progress = p.retrievProgressIndicator()) {
            progress->setIndeterminate(false);
            progress->setMaxValue(total);
        }
    });
    postToDataView([](LoadingPage& p) { setText(p.retrieveStatusLabel(), "Analysing Images"); });
    postToDelegate([](AppDelegate& d) { d.enableNextView(); });

    for (std::size_t i = 0; i < list.size(); ++i) {
        if (!analyseImage(list[i], i, selectionMode, choice, *calculator)) {
            return; // the assertion is released on the way out
        }
    }

    // Normal end.
    postToDataView([](LoadingPage& p) { setText(p.retrieveStatusLabel(), "Analysis Complete"); });
    notifications->deliver("Lumsift Library Analysis Complete!",
                           "Lumsift has successfully completed analysis of your library.", true);
    postToDataView([](LoadingPage& p) { p.enableAnalyseButton(); });
}

void LumsiftForAperture::resetSelectedFingerprints(const std::vector<ImageVersion>& selection,
                                                   int32_t choice) {
    // A selected image that the run does not finish then stays marked for the next
    // whole-library run.
    const KindFlags chosen = kindsOfChoice(choice);
    constexpr std::array<std::size_t, 3> kLookOrder = {kPro, kPlus, kPlain};
    for (const ImageVersion& image : selection) {
        try {
            const FingerprintReading r = retrieveLumsiftHash(image, choice);
            for (const std::size_t kind : kLookOrder) {
                if (chosen[kind] && r[kind] && *r[kind] != 0) {
                    saveLumsiftHash(image, 0, kKindCodes[kind]);
                }
            }
        } catch (const scripting::ScriptingError& error) {
            log::line("Analysis: the fingerprints of " + image.id() +
                      " could not be reset: " + error.reason());
        }
    }
}

bool LumsiftForAperture::analyseImage(const ImageVersion& image, std::size_t i, bool selectionMode,
                                      int32_t choice, Lumsift& calculator) {
    const std::lock_guard step(engineLock);
    const auto value = static_cast<double>(i + 1);
    postToDataView([value](LoadingPage& p) {
        if (ProgressIndicator* progress = p.retrievProgressIndicator()) {
            progress->setDoubleValue(value);
        }
    });
    const KindFlags chosen = kindsOfChoice(choice);
    const FingerprintReading start =
        selectionMode
            ? FingerprintReading{0, 0, 0}
            : FingerprintReading{entryAt(allLumsiftClassicHahes, i),
                                 entryAt(allLumsiftPlusHahes, i), entryAt(allLumsiftProHahes, i)};
    FingerprintReading working = start;
    KindFlags needed{};
    bool needsTaken = false;
    // Which kinds are computed; an image whose earlier try failed ("0") leaves the analysed
    // count once, and comes back into it when this step ends.
    const auto takeNeeds = [&] {
        needsTaken = true;
        bool anyFailed = false;
        for (std::size_t k = 0; k < 3; ++k) {
            needed[k] = chosen[k] && (!working[k] || *working[k] == 0);
            anyFailed = anyFailed || (chosen[k] && working[k] && *working[k] == 0);
        }
        if (anyFailed) {
            --_hashedImageCount;
        }
    };
    const auto saveZeros = [&](const KindFlags& kinds, std::array<std::size_t, 3> order) {
        for (const std::size_t k : order) {
            if (kinds[k]) {
                saveLumsiftHash(image, 0, kKindCodes[k]);
            }
        }
    };
    std::optional<std::filesystem::path> file;
    bool heightZero = false;
    try {
        heightZero = image.height() == 0;
        if (heightZero) {
            saveZeros({true, true, true}, {kPro, kPlus, kPlain});
            ++_problemImageCount;
            ++_hashedImageCount;
        } else {
            takeNeeds();
        }
        if (!heightZero && anyOf(needed)) {
            const std::optional<std::string> fileName = imageFileName(image);
            const bool usable = photoOnline(image) &&
                                calculator.supportedImageType(fileName.value_or("")) &&
                                (file = exportImage(image)).has_value();
            if (!usable) {
                saveZeros({true, true, true}, {kPlain, kPlus, kPro});
                ++_hashedImageCount;
                ++_problemImageCount;
            } else if (calculator.prepareImageData(*file, needed[kPlain] || needed[kPlus],
                                                   needed[kPro])) {
                // Plain before plus: plus then reads the grid the plain computation left.
                if (needed[kPlain]) {
                    working[kPlain] = calculator.calculateLumsift(false);
                    saveLumsiftHash(image, *working[kPlain], kAlgorithmPlain);
                }
                if (needed[kPlus]) {
                    working[kPlus] = calculator.calculateLumsift(true);
                    saveLumsiftHash(image, *working[kPlus], kAlgorithmPlus);
                }
                if (needed[kPro]) {
                    working[kPro] = calculator.calculateHashPro();
                    saveLumsiftHash(image, *working[kPro], kAlgorithmPro);
                }
                ++_hashedImageCount;
            } else {
                saveZeros(needed, {kPlain, kPlus, kPro});
                ++_hashedImageCount;
            }
        }
    } catch (const scripting::ScriptingError& error) {
        // The application failed us mid-step: the image ends as a failed preparation.
        log::line("Analysis: a request for image " + image.id() + " failed (" + error.name() +
                  "): " + error.reason());
        if (!needsTaken) {
            takeNeeds();
        }
        heightZero = false;
        working = start;
        try {
            saveZeros(needed, {kPlain, kPlus, kPro});
        } catch (const scripting::ScriptingError& again) {
            log::line("Analysis: the fingerprints of " + image.id() +
                      " could not be marked for computing: " + again.reason());
        }
        ++_hashedImageCount;
    }
    if (file && isExportedCopy(image, *file)) {
        helpers::deleteFile(file->string());
    }
    if (!heightZero) {
        std::size_t index = i;
        if (selectionMode) {
            const std::optional<std::size_t> found = indexOfImageID(image.id());
            if (!found) {
                staleLibraryStop();
                return false; // leaves the step: the engine lock is released
            }
            index = *found;
        }
        const std::array<std::shared_ptr<FingerprintList>*, 3> lists = {
            &allLumsiftClassicHahes, &allLumsiftPlusHahes, &allLumsiftProHahes};
        for (std::size_t k = 0; k < 3; ++k) {
            if (needed[k]) {
                setEntryAt(*lists[k], index, working[k]);
            }
        }
    }
    const int64_t hashed = hashedImageCount();
    const int64_t loaded = allImagesCount();
    postToDataView([hashed, loaded](LoadingPage& p) {
        setText(p.analysedImagesLabel(), countText(hashed));
        setText(p.notAnalysedImagesLabel(), notAnalysedText(loaded, hashed));
    });
    return true;
}

void LumsiftForAperture::staleLibraryStop() {
    if (const std::shared_ptr<AppDelegate> appDelegate = delegate()) {
        appDelegate->showAlert("An Image was not found in the library data loaded into Lumsift.  "
                               "If you've recently added images into Aperture you will need to "
                               "reload the library in Lumsift",
                               "Stale Library Data");
    }
    postToDataView([](LoadingPage& p) {
        setText(p.retrieveStatusLabel(), "Analysis Complete");
        setText(p.notAnalysedImagesLabel(), "Unknown");
        p.enableAnalyseButton();
    });
    postToDelegate([](AppDelegate& d) { d.enableNextView(); });
}

bool LumsiftForAperture::isExportedCopy(const ImageVersion& image,
                                        const std::filesystem::path& file) {
    // Where the library itself lies in the temporary folder, its masters hold the export
    // folder's path too: only a file other than the master read in place is a copy.
    if (file.string().find(exportFolder) == std::string::npos) {
        return false;
    }
    return masterPathFor(image.id()) != file.string();
}

} // namespace lumsift
