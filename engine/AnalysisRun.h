// One run of the library analysis once its set-up (Analysis.cpp) has the list: the selection
// pre-pass, the grid workers' plan, and each image's step (AnalysisRun.cpp). Private to the engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "engine/GridWorkers.h"
#include "engine/LumsiftForAperture.h"

namespace lumsift {

namespace analysis {

// Flags for plain, plus and Pro: the kinds a choice covers, or those an image needs.
using KindFlags = std::array<bool, 3>;
// Kinds (0 plain, 1 plus, 2 Pro) in the order their tags are written.
using KindOrder = std::array<std::size_t, 3>;
// One image's values while its step runs, and what preparing its file leaves.
struct ImageStep;
struct PreparedImage;

} // namespace analysis

// One run of analyseImages: its choice, its mode and its calculator, and the steps it takes
// for each image. Lives on the run's thread; borrows the engine and the calculator.
class LumsiftForAperture::AnalysisRun {
public:
    AnalysisRun(LumsiftForAperture& engine, int32_t choice, bool selectionMode,
                Lumsift& calculator);

    // The selection pre-pass, without the engine lock: the chosen kinds' stored fingerprints of
    // the selected images become "0", so that a selected image the run does not finish stays
    // marked for the next whole-library run. The engine's lists are not touched.
    void resetSelectedFingerprints(const std::vector<ImageVersion>& selection);
    // Plans the grid workers' jobs for the positions of `list` that they may take now: the master
    // read in place, where one is known, of each image that needs a fingerprint. Caller holds
    // the engine lock.
    void planAhead(const std::vector<ImageVersion>& list, GridWorkers& workers);
    // One image's step, at list position `i`, holding the engine lock; `ahead` is what a worker
    // prepared for it. False when the stale-library stop has ended the run. An error other than a
    // request the application could not answer passes out, with the lock released.
    bool analyseImage(const ImageVersion& image, std::size_t i, std::optional<PreparedGrids> ahead);
    // Images of this run whose fingerprints the library did not take.
    std::size_t unstoredImages() const { return unstored; }
    // Whether the library refused to reset the fingerprints of the image at list position `i`.
    bool resetRefusedAt(std::size_t i) const { return i < resetRefused.size() && resetRefused[i]; }

private:
    FingerprintReading workingValuesAt(std::size_t i) const;
    void fingerprintImage(analysis::ImageStep& step);
    analysis::PreparedImage prepareImage(const analysis::ImageStep& step);
    bool prepareGrids(const std::filesystem::path& file, const analysis::ImageStep& step);
    void computeAndStoreFingerprints(analysis::ImageStep& step);
    void markZeroHeightImage(analysis::ImageStep& step);
    void markProblemImage(analysis::ImageStep& step);
    void endAsFailedPreparation(analysis::ImageStep& step, const scripting::ScriptingError& error);
    void endAsNotStored(analysis::ImageStep& step, const scripting::ScriptingError& error);
    void writeFingerprintTag(const ImageVersion& image, std::size_t kind, uint64_t value);
    void writeFailedMarks(const ImageVersion& image, const analysis::KindFlags& kinds,
                          analysis::KindOrder order);
    void deleteIfExportedCopy(const analysis::ImageStep& step);
    bool isExportedCopy(const ImageVersion& image, const std::filesystem::path& file);
    std::optional<std::size_t> listIndexOf(const ImageVersion& image, std::size_t i);
    void storeNeededKinds(const analysis::ImageStep& step, std::size_t index);
    void countImage(const analysis::ImageStep& step, std::optional<std::size_t> index);
    bool countedAtTheRecount(std::optional<std::size_t> index) const;
    void postProgressValue(std::size_t value);
    void postAnalysedCounts();
    void staleLibraryStop();

    LumsiftForAperture& engine;
    const analysis::KindFlags chosen;
    const int32_t choice;
    const bool selectionMode;
    Lumsift& calculator;
    // The run reads masters in place only where the loading page named the library package.
    const bool mastersInPlace;
    std::size_t unstored = 0;
    // By selection position: the pre-pass could not write a reset for the image.
    std::vector<bool> resetRefused;
};

} // namespace lumsift
