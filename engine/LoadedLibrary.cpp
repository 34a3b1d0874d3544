// The loaded library's index-aligned lists and the search list that names one of them.
#include "engine/LoadedLibrary.h"

#include <cassert>

namespace lumsift {

void LoadedLibrary::startLoad() {
    allImages_ = {};
    allImageIDs_ = {};
    // The next analysis finds the new images' master paths.
    allImagePaths_ = {};
    forgetImageIndex();
    const std::lock_guard lock(listsMutex_);
    analysisMarks_ = {};
    allLumsiftClassicHahes_ = std::make_shared<FingerprintList>();
    allLumsiftPlusHahes_ = std::make_shared<FingerprintList>();
    allLumsiftProHahes_ = std::make_shared<FingerprintList>();
    if (searchListKind_)
        allLumsiftHahes_ = listFor(*searchListKind_);
}

void LoadedLibrary::appendImage(ImageVersion image, std::string identifier,
                                const FingerprintReading& stored) {
    // The load is the only writer of the list pointers, so it reads them without the lock.
    allImages_.push_back(std::move(image));
    allImageIDs_.push_back(std::move(identifier));
    allLumsiftClassicHahes_->push_back(stored[0]);
    allLumsiftPlusHahes_->push_back(stored[1]);
    allLumsiftProHahes_->push_back(stored[2]);
    imageIndexBuilt_ = false;
}

void LoadedLibrary::finishLoad() {
    // The lists stay as they are until the next load.
    allImages_.shrink_to_fit();
    allImageIDs_.shrink_to_fit();
    allLumsiftClassicHahes_->shrink_to_fit();
    allLumsiftPlusHahes_->shrink_to_fit();
    allLumsiftProHahes_->shrink_to_fit();
    forgetImageIndex();
}

void LoadedLibrary::reset() {
    allImages_.clear();
    allImageIDs_.clear();
    allImagePaths_.clear();
    forgetImageIndex();
    const std::lock_guard lock(listsMutex_);
    analysisMarks_.clear();
    allLumsiftHahes_.reset();
    searchListKind_.reset();
    allLumsiftPlusHahes_.reset();
    allLumsiftProHahes_.reset();
    allLumsiftClassicHahes_.reset();
}

void LoadedLibrary::forgetAnalysisMarks() {
    const std::lock_guard lock(listsMutex_);
    analysisMarks_.clear();
}

bool LoadedLibrary::markCountedAnalysed(std::size_t index) {
    return mark(index, kCountedAnalysed);
}

bool LoadedLibrary::markProblemImage(std::size_t index) {
    return mark(index, kProblemImage);
}

bool LoadedLibrary::mark(std::size_t index, uint8_t flag) {
    if (index >= allImages_.size())
        return false;
    const std::lock_guard lock(listsMutex_);
    if (analysisMarks_.size() <= index)
        analysisMarks_.resize(allImages_.size());
    const bool marked = (analysisMarks_[index] & flag) != 0;
    analysisMarks_[index] |= flag;
    return !marked;
}

void LoadedLibrary::setAllImagePaths(std::vector<std::string> paths) {
    assert(paths.size() == allImageIDs_.size());
    allImagePaths_ = std::move(paths);
}

std::shared_ptr<const FingerprintList> LoadedLibrary::allLumsiftPlusHahes() const {
    return fingerprintListFor(kAlgorithmPlus);
}

std::shared_ptr<const FingerprintList> LoadedLibrary::allLumsiftProHahes() const {
    return fingerprintListFor(kAlgorithmPro);
}

std::shared_ptr<const FingerprintList> LoadedLibrary::allLumsiftClassicHahes() const {
    return fingerprintListFor(kAlgorithmPlain);
}

std::shared_ptr<const FingerprintList> LoadedLibrary::fingerprintListFor(int32_t algorithm) const {
    const std::lock_guard lock(listsMutex_);
    return listFor(algorithm);
}

const std::shared_ptr<FingerprintList>& LoadedLibrary::listFor(int32_t algorithm) const {
    if (algorithm == kAlgorithmPlus)
        return allLumsiftPlusHahes_;
    if (algorithm == kAlgorithmPlain)
        return allLumsiftClassicHahes_;
    return allLumsiftProHahes_;
}

FingerprintReading LoadedLibrary::fingerprintsAt(std::size_t index) const {
    const std::lock_guard lock(listsMutex_);
    return readingAt(index);
}

FingerprintReading LoadedLibrary::readingAt(std::size_t index) const {
    const auto entryAt = [index](const std::shared_ptr<FingerprintList>& list) {
        return list && index < list->size() ? (*list)[index] : std::nullopt;
    };
    return {entryAt(allLumsiftClassicHahes_), entryAt(allLumsiftPlusHahes_),
            entryAt(allLumsiftProHahes_)};
}

namespace {

// Whether `reading` holds what counts as analysed for `choice` (see countsAsAnalysed).
bool analysedReading(const FingerprintReading& reading, int32_t choice) {
    const auto [plain, plus, pro] = reading;
    switch (choice) {
    case kAlgorithmPlain:
        return plain.has_value();
    case kAlgorithmPlus:
        return plus.has_value();
    case kAlgorithmPro:
        return pro.has_value();
    default:
        return plain && plus && pro;
    }
}

} // namespace

bool LoadedLibrary::countsAsAnalysed(std::size_t index, int32_t choice) const {
    return analysedReading(fingerprintsAt(index), choice);
}

int64_t LoadedLibrary::analysedCount(int32_t choice) const {
    const std::lock_guard lock(listsMutex_);
    int64_t analysed = 0;
    for (std::size_t i = 0; i < size(); ++i)
        analysed += analysedReading(readingAt(i), choice) ? 1 : 0;
    return analysed;
}

void LoadedLibrary::setFingerprint(std::size_t index, int32_t algorithm, FingerprintEntry value) {
    if (algorithm != kAlgorithmPlus && algorithm != kAlgorithmPro && algorithm != kAlgorithmPlain)
        return;
    const std::lock_guard lock(listsMutex_);
    const std::shared_ptr<FingerprintList>& list = listFor(algorithm);
    if (list && index < list->size())
        (*list)[index] = value;
}

std::optional<std::size_t> LoadedLibrary::indexOfImageID(const std::string& id) {
    if (!imageIndexBuilt_) {
        imageIndex_.clear();
        imageIndex_.reserve(allImageIDs_.size());
        for (std::size_t i = 0; i < allImageIDs_.size(); ++i)
            imageIndex_.emplace(allImageIDs_[i], i); // keeps the first of equal identifiers
        imageIndexBuilt_ = true;
    }
    const auto found = imageIndex_.find(id);
    if (found == imageIndex_.end())
        return std::nullopt;
    return found->second;
}

std::string LoadedLibrary::masterPathFor(const std::string& id) {
    const std::optional<std::size_t> index = indexOfImageID(id);
    if (!index || *index >= allImagePaths_.size())
        return {};
    return allImagePaths_[*index];
}

void LoadedLibrary::forgetImageIndex() {
    imageIndex_.clear();
    imageIndexBuilt_ = false;
}

void LoadedLibrary::switchSearchList(int32_t algorithm) {
    const std::lock_guard lock(listsMutex_);
    searchListKind_ = algorithm;
    allLumsiftHahes_ = listFor(algorithm);
}

std::shared_ptr<const FingerprintList> LoadedLibrary::allLumsiftHahes() const {
    const std::lock_guard lock(listsMutex_);
    return allLumsiftHahes_;
}

} // namespace lumsift
