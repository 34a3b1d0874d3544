// What one analysis run does with its list: resets the selected images' stored fingerprints, plans
// the grid workers' decodes, and takes each image's step: the height test, the file and its
// grids, the fingerprints or the "0" marks, then the lists and the counts.
#include <algorithm>
#include <array>
#include <string>

#include "engine/AnalysisRun.h"
#include "engine/Text.h"
#include "fingerprint/Lumsift.h"
#include "platform/log/Log.h"
#include "platform/vips/Vips.h"

namespace lumsift {
namespace analysis {
namespace {

// Kinds in the order the analysis computes and stores them, which is the order of a reading:
// plain, plus, Pro.
constexpr std::array<int32_t, 3> kKindCodes = {kAlgorithmPlain, kAlgorithmPlus, kAlgorithmPro};
constexpr std::size_t kPlain = 0;
constexpr std::size_t kPlus = 1;
constexpr std::size_t kPro = 2;
constexpr KindFlags kAllKinds = {true, true, true};
constexpr KindOrder kComputeOrder = {kPlain, kPlus, kPro};
constexpr KindOrder kProFirst = {kPro, kPlus, kPlain};

// The kinds an analysis choice covers; none for a code outside 0 to 3.
KindFlags kindsOfChoice(int32_t choice) {
    switch (choice) {
    case kAlgorithmAll:
        return kAllKinds;
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

// A chosen kind is needed when its working value is the null marker or 0.
KindFlags neededKinds(const KindFlags& chosen, const FingerprintReading& start) {
    KindFlags needed{};
    for (std::size_t k = 0; k < 3; ++k)
        needed[k] = chosen[k] && (!start[k] || *start[k] == 0);
    return needed;
}

// A tag write that the library refused. Raised only by the analysis' own writes, so that the
// step knows its fingerprints were not stored and writes nothing more for the image.
class TagNotStored : public scripting::ScriptingError {
public:
    using ScriptingError::ScriptingError;
};

} // namespace

// One image's values while its step runs.
struct ImageStep {
    ImageStep(const ImageVersion& image, const FingerprintReading& start, const KindFlags& chosen,
              std::optional<PreparedGrids> ahead, bool resetRefused)
        : image(image), start(start), working(start), needed(neededKinds(chosen, start)),
          ahead(std::move(ahead)), stored(!resetRefused) {
        for (std::size_t k = 0; k < 3; ++k)
            chosenZero = chosenZero || (chosen[k] && start[k] && *start[k] == 0);
    }

    const ImageVersion& image;
    // The working values the step began with: the lists' entries at the image's position, or
    // three 0 in selection mode.
    const FingerprintReading start;
    // Plain, plus and Pro as the step leaves them; the needed kinds go into the lists.
    FingerprintReading working;
    // The kinds computed for this image.
    const KindFlags needed;
    // The grids a worker prepared from the image's master, if it did.
    const std::optional<PreparedGrids> ahead;
    // A chosen kind held 0 (failed, or reset before): the image counted as analysed already.
    bool chosenZero = false;
    // A height of 0 makes a problem image whose lists stay as they are.
    bool heightZero = false;
    // Offline, of a type the calculator does not read, without a file, or of height 0.
    bool problem = false;
    // False once the library refused a tag written for the image, in the selection pre-pass or
    // in the step: its fingerprints are not stored, and nothing more is written for it.
    bool stored;
    // The file that was read: the master in place or a copy the application exported.
    std::optional<std::filesystem::path> file;

    // The step changes the counts: something was needed, or the image is of height 0.
    bool handled() const { return heightZero || anyOf(needed); }
};

// What preparing an image leaves for computing its fingerprints.
struct PreparedImage {
    // None for a problem image: offline, of a type the calculator does not read, or no file.
    std::optional<std::filesystem::path> file;
    // The grids of the needed kinds were made from the file (in the calculator).
    bool gridsReady = false;
};

} // namespace analysis

using namespace analysis;

LumsiftForAperture::AnalysisRun::AnalysisRun(LumsiftForAperture& engine, int32_t choice,
                                             bool selectionMode, Lumsift& calculator)
    : engine(engine), chosen(kindsOfChoice(choice)), choice(choice), selectionMode(selectionMode),
      calculator(calculator), mastersInPlace(!engine.apertureLibrary().value_or("").empty()) {}

void LumsiftForAperture::AnalysisRun::resetSelectedFingerprints(
    const std::vector<ImageVersion>& selection) {
    resetRefused.assign(selection.size(), false);
    for (std::size_t i = 0; i < selection.size(); ++i) {
        const ImageVersion& image = selection[i];
        try {
            const FingerprintReading r = engine.retrieveLumsiftHash(image, choice);
            for (const std::size_t kind : kProFirst) {
                if (chosen[kind] && r[kind] && *r[kind] != 0) {
                    writeFingerprintTag(image, kind, 0);
                }
            }
        } catch (const scripting::ScriptingError& error) {
            // A refused write (the library stays locked, say) ends the image's writes here, so
            // that its step does not wait for the library a second time.
            resetRefused[i] = dynamic_cast<const TagNotStored*>(&error) != nullptr;
            log::line("Analysis: the fingerprints of " + image.id() +
                      " could not be reset: " + error.reason());
        }
    }
}

void LumsiftForAperture::AnalysisRun::planAhead(const std::vector<ImageVersion>& list,
                                                GridWorkers& workers) {
    const std::size_t limit = std::min(list.size(), workers.planLimit());
    for (std::size_t p = workers.nextToPlan(); p < limit; ++p) {
        const KindFlags needed = neededKinds(chosen, workingValuesAt(p));
        std::string path = mastersInPlace && anyOf(needed) && !resetRefusedAt(p)
                               ? engine.loaded.masterPathFor(list[p].id())
                               : std::string();
        if (path.empty()) {
            workers.plan(std::nullopt);
            continue;
        }
        workers.plan(GridJob{std::move(path), needed[kPlain] || needed[kPlus], needed[kPro]});
    }
}

bool LumsiftForAperture::AnalysisRun::analyseImage(const ImageVersion& image, std::size_t i,
                                                   std::optional<PreparedGrids> ahead) {
    const std::unique_lock step = engine.lockForStep();
    postProgressValue(i + 1);
    ImageStep s(image, workingValuesAt(i), chosen, std::move(ahead), resetRefusedAt(i));
    try {
        fingerprintImage(s);
    } catch (const TagNotStored& error) {
        endAsNotStored(s, error);
    } catch (const scripting::ScriptingError& error) {
        endAsFailedPreparation(s, error);
    }
    deleteIfExportedCopy(s);
    const std::optional<std::size_t> index = listIndexOf(image, i);
    if (!s.heightZero) {
        if (!index) {
            staleLibraryStop();
            return false; // leaves the step: the engine lock is released
        }
        storeNeededKinds(s, *index);
    }
    countImage(s, index);
    postAnalysedCounts();
    return true;
}

// Whole-library mode starts from what the lists hold; selection mode from three 0, so that
// every chosen kind of a selected image is computed afresh.
FingerprintReading LumsiftForAperture::AnalysisRun::workingValuesAt(std::size_t i) const {
    if (selectionMode) {
        return FingerprintReading{0, 0, 0};
    }
    return engine.loaded.fingerprintsAt(i);
}

// The height test, the file and its grids, then the fingerprints or the "0" marks. A
// ScriptingError passes out where it arises.
void LumsiftForAperture::AnalysisRun::fingerprintImage(ImageStep& s) {
    if (s.image.height() == 0) {
        markZeroHeightImage(s);
        return;
    }
    // An image whose reset was refused keeps its reading: nothing is prepared or written for it.
    if (!anyOf(s.needed) || !s.stored) {
        return;
    }
    const PreparedImage prepared = prepareImage(s);
    s.file = prepared.file;
    if (!prepared.file) {
        markProblemImage(s);
        return;
    }
    if (prepared.gridsReady) {
        computeAndStoreFingerprints(s);
        return;
    }
    // A file that does not decode marks only the needed kinds; it is no problem image.
    writeFailedMarks(s.image, s.needed, kComputeOrder);
}

// Prepare the file and its grids: a file is had only for an online image of a type the
// calculator reads (its master in place, else a copy the application exports), tested in that
// order; from it one decoding makes the 8 x 8 grid when plain or plus is needed and the 32 x 32
// grid when Pro is. A ScriptingError passes out.
PreparedImage LumsiftForAperture::AnalysisRun::prepareImage(const ImageStep& s) {
    const std::optional<std::string> fileName = engine.imageFileName(s.image);
    if (!engine.photoOnline(s.image) || !calculator.supportedImageType(fileName.value_or(""))) {
        return {};
    }
    PreparedImage prepared{engine.exportImage(s.image)};
    if (prepared.file) {
        prepared.gridsReady = prepareGrids(*prepared.file, s);
    }
    return prepared;
}

// The grids of the needed kinds in the calculator. A worker's grids serve when it read this
// very file, unchanged since: its logged lines are written now, where preparing would have
// written them. Otherwise the file is prepared here, with libvips to this thread alone so that
// its messages are this file's.
bool LumsiftForAperture::AnalysisRun::prepareGrids(const std::filesystem::path& file,
                                                   const ImageStep& s) {
    const bool eightX8 = s.needed[kPlain] || s.needed[kPlus];
    const bool thirty2x32 = s.needed[kPro];
    if (!s.ahead || !s.ahead->fitsFile(file.string(), eightX8, thirty2x32)) {
        const vips::ExclusiveUse alone;
        return calculator.prepareImageData(file, eightX8, thirty2x32);
    }
    for (const std::string& line : s.ahead->loggedLines) {
        log::line(line);
    }
    if (!s.ahead->prepared) {
        return false;
    }
    if (eightX8) {
        calculator.grid8() = s.ahead->grid8;
    }
    if (thirty2x32) {
        calculator.grid32() = s.ahead->grid32;
    }
    calculator.setAlphaFirst(s.ahead->alphaFirst);
    return true;
}

// Computes the needed fingerprints from the prepared grids and stores each as soon as it is
// computed. Plain before plus: the plain computation leaves the 8 x 8 grid grey and the plus
// one reads the grid as it finds it, so a plus computed with a plain comes from its greys.
void LumsiftForAperture::AnalysisRun::computeAndStoreFingerprints(ImageStep& s) {
    if (s.needed[kPlain]) {
        s.working[kPlain] = calculator.calculateLumsift(false);
        writeFingerprintTag(s.image, kPlain, *s.working[kPlain]);
    }
    if (s.needed[kPlus]) {
        s.working[kPlus] = calculator.calculateLumsift(true);
        writeFingerprintTag(s.image, kPlus, *s.working[kPlus]);
    }
    if (s.needed[kPro]) {
        s.working[kPro] = calculator.calculateHashPro();
        writeFingerprintTag(s.image, kPro, *s.working[kPro]);
    }
}

// A height of 0 makes a problem image: every kind is marked, whatever the choice.
void LumsiftForAperture::AnalysisRun::markZeroHeightImage(ImageStep& s) {
    s.heightZero = true;
    s.problem = true;
    if (s.stored) {
        writeFailedMarks(s.image, kAllKinds, kProFirst);
    }
}

// An image without a readable file is a problem image: every kind is marked, also those
// outside the choice, while the lists keep theirs until the next load.
void LumsiftForAperture::AnalysisRun::markProblemImage(ImageStep& s) {
    s.problem = true;
    writeFailedMarks(s.image, kAllKinds, kComputeOrder);
}

// The application failed a request mid-step: the image ends as a failed preparation. Its needed
// kinds are marked "0" as far as the application takes the writes, and the lists get the
// working values the step began with.
void LumsiftForAperture::AnalysisRun::endAsFailedPreparation(
    ImageStep& s, const scripting::ScriptingError& error) {
    log::line("Analysis: a request for image " + s.image.id() + " failed (" + error.name() +
              "): " + error.reason());
    s.heightZero = false;
    s.problem = false;
    s.working = s.start;
    try {
        writeFailedMarks(s.image, s.needed, kComputeOrder);
    } catch (const scripting::ScriptingError& again) {
        log::line("Analysis: the fingerprints of " + s.image.id() +
                  " could not be marked for computing: " + again.reason());
        s.stored = false;
    }
}

// The library refused one of the image's tags. Nothing more is written for the image (another
// write would only wait for the library again), it is not counted as analysed, and the lists
// keep the working values the step began with.
void LumsiftForAperture::AnalysisRun::endAsNotStored(ImageStep& s,
                                                     const scripting::ScriptingError& error) {
    log::line("Analysis: the fingerprints of " + s.image.id() + " could not be stored (" +
              error.name() + "): " + error.reason());
    s.stored = false;
    s.working = s.start;
}

// Every tag the analysis writes goes through here. A refused write passes out as TagNotStored.
void LumsiftForAperture::AnalysisRun::writeFingerprintTag(const ImageVersion& image,
                                                          std::size_t kind, uint64_t value) {
    try {
        engine.saveLumsiftHash(image, value, kKindCodes[kind]);
    } catch (const scripting::ScriptingError& error) {
        throw TagNotStored(error.name(), error.reason());
    }
}

// "0" for each of `kinds`, in `order`.
void LumsiftForAperture::AnalysisRun::writeFailedMarks(const ImageVersion& image,
                                                       const KindFlags& kinds, KindOrder order) {
    for (const std::size_t k : order) {
        if (kinds[k]) {
            writeFingerprintTag(image, k, 0);
        }
    }
}

// An exported copy is deleted at once, whether its grids were made or not; a master read in
// place never is.
void LumsiftForAperture::AnalysisRun::deleteIfExportedCopy(const ImageStep& s) {
    if (s.file && isExportedCopy(s.image, *s.file)) {
        helpers::deleteFile(s.file->string());
    }
}

bool LumsiftForAperture::AnalysisRun::isExportedCopy(const ImageVersion& image,
                                                     const std::filesystem::path& file) {
    // Where the library itself lies in the temporary folder, its masters hold the export
    // folder's path too: only a file other than the master read in place is a copy.
    if (file.string().find(engine.exportFolder) == std::string::npos) {
        return false;
    }
    return engine.loaded.masterPathFor(image.id()) != file.string();
}

// The image's position in the lists: its place in the run's list in whole-library mode, else
// the first loaded image of its identifier; none when the current load does not hold it.
std::optional<std::size_t> LumsiftForAperture::AnalysisRun::listIndexOf(const ImageVersion& image,
                                                                        std::size_t i) {
    if (!selectionMode) {
        return i;
    }
    return engine.loaded.indexOfImageID(image.id());
}

// The needed kinds take their working values; the other kinds are not touched.
void LumsiftForAperture::AnalysisRun::storeNeededKinds(const ImageStep& s, std::size_t index) {
    for (std::size_t k = 0; k < 3; ++k) {
        if (s.needed[k]) {
            engine.loaded.setFingerprint(index, kKindCodes[k], s.working[k]);
        }
    }
}

// The counts of one handled image at list position `index` (none for an image the load does
// not hold). The analysed count: an image leaves it when it was in it (a chosen kind held 0, it
// is of height 0 and the last recount counted it, or a step since the last recount counted it)
// and enters it when its tags were stored, so that no image is counted twice and a repeated run
// gives the same figures. The problem count: each image once since the last recount.
void LumsiftForAperture::AnalysisRun::countImage(const ImageStep& s,
                                                 std::optional<std::size_t> index) {
    if (!s.handled()) {
        return;
    }
    if (s.problem && index && engine.loaded.markProblemImage(*index)) {
        ++engine._problemImageCount;
    }
    if (!s.stored) {
        ++unstored;
        return;
    }
    const bool countedBefore =
        s.heightZero ? countedAtTheRecount(index) : s.chosenZero || !anyOf(s.needed);
    const bool countedByAStep = index && !engine.loaded.markCountedAnalysed(*index);
    if (!countedBefore && !countedByAStep) {
        ++engine._hashedImageCount;
    }
}

// Whether the last recount counted the loaded image at `index`, as it read the lists; the lists
// keep a height-0 image's entries, and selection mode's working values (three 0) do not tell.
// An image the load does not hold is in no count and is not counted.
bool LumsiftForAperture::AnalysisRun::countedAtTheRecount(std::optional<std::size_t> index) const {
    return !index || engine.loaded.countsAsAnalysed(*index, choice);
}

void LumsiftForAperture::AnalysisRun::postProgressValue(std::size_t value) {
    const auto progressValue = static_cast<double>(value);
    engine.postToDataView([progressValue](LoadingPage& p) {
        if (ProgressIndicator* progress = p.retrievProgressIndicator()) {
            progress->setDoubleValue(progressValue);
        }
    });
}

void LumsiftForAperture::AnalysisRun::postAnalysedCounts() {
    const int64_t hashed = engine.hashedImageCount();
    const int64_t loaded = engine.allImagesCount();
    engine.postToDataView([hashed, loaded](LoadingPage& p) {
        setText(p.analysedImagesLabel(), countText(hashed));
        setText(p.notAnalysedImagesLabel(), notAnalysedText(loaded, hashed));
    });
}

// A selected image that the current load does not hold: its tags are written, but it has no
// place in the lists, so the run ends here with an alert that asks for a reload.
void LumsiftForAperture::AnalysisRun::staleLibraryStop() {
    if (const std::shared_ptr<AppDelegate> appDelegate = engine.delegate()) {
        appDelegate->showAlert("An Image was not found in the library data loaded into Lumsift.  "
                               "If you've recently added images into Aperture you will need to "
                               "reload the library in Lumsift",
                               "Stale Library Data");
    }
    engine.postToDataView([](LoadingPage& p) {
        setText(p.retrieveStatusLabel(), "Analysis Complete");
        setText(p.notAnalysedImagesLabel(), "Unknown");
        p.enableAnalyseButton();
    });
    engine.postToDelegate([](AppDelegate& d) { d.enableNextView(); });
}

} // namespace lumsift
