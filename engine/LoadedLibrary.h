// The library as last loaded: the image versions, their identifiers, their master paths and
// their three fingerprint lists, entry k of each belonging to the same version; and the search
// list, which names one of the three. Its operations keep the lists index-aligned: an image
// enters with its identifier and its stored fingerprints in one step, the master paths are set
// one per identifier, and a fingerprint is replaced in place.
//
// Threads: the load fills it on its worker while nothing else reads it (the pages keep an
// analysis or a search from starting meanwhile); the analysis and the search read it, and the
// analysis replaces fingerprints, under the engine lock. The search list is also chosen from
// the main thread at any time, so the list pointers are guarded here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/Fingerprints.h"
#include "platform/scripting/Aperture.h"

namespace lumsift {

using ImageVersion = scripting::ApertureImageVersion;

class LoadedLibrary {
public:
    LoadedLibrary() = default;
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    // --- The load ---
    // New empty lists in place of the old ones (master paths included); the search list moves
    // to the new list of its kind in the same step. A search that took the old list keeps it
    // until it ends.
    void startLoad();
    // Appends one image version (takes ownership) with its identifier and its stored
    // fingerprints. Caller: the load, after startLoad.
    void appendImage(ImageVersion image, std::string identifier, const FingerprintReading& stored);
    // The load is complete: the lists give back their growth slack.
    void finishLoad();
    // No lists and no search list, as before the first load.
    void reset();

    // --- Master paths ---
    // Replaces allImagePaths with `paths` (takes ownership). Caller guarantees one path per
    // identifier of allImageIDs, in its order ("" where none is known).
    void setAllImagePaths(std::vector<std::string> paths);

    // --- Reads (borrowed: valid until the next load or reset) ---
    std::size_t size() const { return allImages_.size(); }
    const std::vector<ImageVersion>& allImages() const { return allImages_; }
    const std::vector<std::string>& allImageIDs() const { return allImageIDs_; }
    // One master path per identifier as of the last setAllImagePaths; empty from the start of
    // each load until then.
    const std::vector<std::string>& allImagePaths() const { return allImagePaths_; }
    // The fingerprint lists of the current load (shared ownership of the list itself, not a
    // copy, so later replacements show); none before the first load. "Hahes" in these names and
    // in allLumsiftHahes is their given spelling, kept on purpose: do not correct it.
    std::shared_ptr<const FingerprintList> allLumsiftPlusHahes() const;
    std::shared_ptr<const FingerprintList> allLumsiftProHahes() const;
    std::shared_ptr<const FingerprintList> allLumsiftClassicHahes() const;
    // The list of `algorithm`'s kind: plus for 1, plain for 3, Pro for any other code.
    std::shared_ptr<const FingerprintList> fingerprintListFor(int32_t algorithm) const;
    // Entry `index` of the plain, plus and Pro lists; the null marker where a list has none.
    FingerprintReading fingerprintsAt(std::size_t index) const;
    // Whether the image at `index` counts as analysed for the analysis choice `choice`: it holds
    // a number (0 included) of the chosen kind for 1, 2 or 3, of all three kinds for any other
    // code. False for an index the lists do not hold.
    bool countsAsAnalysed(std::size_t index, int32_t choice) const;
    // The number of loaded images that count as analysed for `choice`, as above.
    int64_t analysedCount(int32_t choice) const;
    // Position of the first image whose identifier is `id`; nullopt when the load holds none.
    // Answered from a table made on first use after the identifiers change, so that an analysis
    // finds each image in constant time. Caller holds the engine lock, or no other thread uses
    // the engine.
    std::optional<std::size_t> indexOfImageID(const std::string& id);
    // The master path of the loaded image `id`; "" when none is known. Same caller as above.
    std::string masterPathFor(const std::string& id);

    // --- The analysis ---
    // Replaces entry `index` of the list of `algorithm` (1 plus, 2 Pro, 3 plain) with `value`;
    // another code, or an index that the lists do not hold, changes nothing.
    void setFingerprint(std::size_t index, int32_t algorithm, FingerprintEntry value);

    // --- What the analysis counted since the last recount ---
    // Each loaded image may be marked once as counted as analysed by an analysis step, and once
    // as a problem image, so that repeated runs in one load count no image twice. Every load and
    // every recount forgets the marks. Safe from any thread.
    void forgetAnalysisMarks();
    // Marks image `index`; false when it was marked already (or the load holds no such image).
    bool markCountedAnalysed(std::size_t index);
    bool markProblemImage(std::size_t index);

    // --- The search list ---
    // The search list becomes the list of `algorithm`'s kind (as fingerprintListFor) and moves
    // with every later load to the new list of that kind.
    void switchSearchList(int32_t algorithm);
    // The search list; none until the first switchSearchList.
    std::shared_ptr<const FingerprintList> allLumsiftHahes() const;

private:
    // The list of `algorithm`'s kind; caller holds listsMutex_.
    const std::shared_ptr<FingerprintList>& listFor(int32_t algorithm) const;
    // As fingerprintsAt; caller holds listsMutex_.
    FingerprintReading readingAt(std::size_t index) const;
    void forgetImageIndex();

    std::vector<ImageVersion> allImages_;
    std::vector<std::string> allImageIDs_;
    std::vector<std::string> allImagePaths_;
    // Guards the four list pointers and the search list's kind; held for no call out.
    mutable std::mutex listsMutex_;
    std::shared_ptr<FingerprintList> allLumsiftHahes_;
    // The kind the search list follows through loads; none until the first switch.
    std::optional<int32_t> searchListKind_;
    std::shared_ptr<FingerprintList> allLumsiftPlusHahes_;
    std::shared_ptr<FingerprintList> allLumsiftProHahes_;
    std::shared_ptr<FingerprintList> allLumsiftClassicHahes_;
    // Per image, kCountedAnalysed and kProblemImage; shorter than the lists until an image is
    // marked. Guarded by listsMutex_.
    enum : uint8_t { kCountedAnalysed = 1, kProblemImage = 2 };
    bool mark(std::size_t index, uint8_t flag);
    std::vector<uint8_t> analysisMarks_;
    // identifier -> first position, for indexOfImageID.
    std::unordered_map<std::string, std::size_t> imageIndex_;
    bool imageIndexBuilt_ = false;
};

} // namespace lumsift
