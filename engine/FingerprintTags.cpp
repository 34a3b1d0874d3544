// Stored fingerprints as custom tags on image versions, and the search keywords under
// "ZUL Lumsift" with the engine's record of the keywords the last search added.
#include "engine/LumsiftForAperture.h"
#include "engine/Text.h"
#include "platform/log/Log.h"

#include <algorithm>

namespace lumsift {

namespace {

// The tag name of a kind; nullptr for a code that names no single kind.
const char* tagNameFor(int32_t algorithm) {
    switch (algorithm) {
    case kAlgorithmPlus:
        return kTagPlus;
    case kAlgorithmPro:
        return kTagPro;
    case kAlgorithmPlain:
        return kTagPlain;
    default:
        return nullptr;
    }
}

} // namespace

FingerprintEntry storedFingerprint(const std::vector<std::string>& names,
                                   const std::vector<std::string>& values, std::string_view name) {
    // A linear look-up: an image carries a handful of tags, and the load does this for every
    // image.
    FingerprintEntry entry;
    const std::size_t paired = std::min(names.size(), values.size());
    for (std::size_t t = 0; t < paired; ++t)
        if (names[t] == name)
            entry = fingerprintFromText(values[t]);
    return entry;
}

void LumsiftForAperture::saveLumsiftHash(const ImageVersion& image, uint64_t hashVal,
                                         int32_t algorithm) {
    const char* name = tagNameFor(algorithm);
    if (name == nullptr)
        return;
    image.addCustomTag(name, std::to_string(hashVal));
}

FingerprintReading LumsiftForAperture::retrieveLumsiftHash(const ImageVersion& image,
                                                           int32_t algorithm) {
    const std::vector<std::string> values = image.customTagValues();
    const std::vector<std::string> names = image.customTagNames();

    const auto lookUp = [&](std::string_view name) {
        return storedFingerprint(names, values, name);
    };

    FingerprintReading reading{};
    const int32_t code = algorithm; // a negative code names no kind
    if (code == kAlgorithmAll || code == kAlgorithmPlain)
        reading[0] = lookUp(kTagPlain);
    if (code == kAlgorithmAll || code == kAlgorithmPlus)
        reading[1] = lookUp(kTagPlus);
    if (code == kAlgorithmAll || code == kAlgorithmPro)
        reading[2] = lookUp(kTagPro);
    return reading;
}

void LumsiftForAperture::addLumsfKeyword(const ImageVersion& image, const std::string& keyword) {
    image.addKeyword(keyword, kKeywordParent);
    // An absent record records nothing.
    if (!taggedImages || !taggedImageKeyword)
        return;
    taggedImageKeyword->push_back(keyword);
    taggedImages->push_back(image);
}

void LumsiftForAperture::removeLumsfKeywords(ResultsPage& page) {
    // Pairs are taken from the front as they are done, so that what a failure leaves in the
    // record is exactly what was not removed.
    const auto recorded = [this] {
        return taggedImages && taggedImageKeyword
                   ? std::min(taggedImages->size(), taggedImageKeyword->size())
                   : std::size_t{0};
    };
    std::size_t removed = 0;
    try {
        for (; removed < recorded(); ++removed)
            removeRecordedKeyword((*taggedImages)[removed], (*taggedImageKeyword)[removed]);
    } catch (const scripting::ScriptingError& error) {
        taggedImages->erase(taggedImages->begin(), taggedImages->begin() + removed);
        taggedImageKeyword->erase(taggedImageKeyword->begin(),
                                  taggedImageKeyword->begin() + removed);
        log::line("LumsiftForAperture removeLumsfKeywords: " + error.name() + ": " +
                  error.reason());
        if (const auto d = delegate())
            d->showAlert("A problem was encountered when communicating with Aperture while "
                         "removing keywords (" +
                             error.reason() + ").  " + countText(recorded()) +
                             " keywords were not removed; use Clear Keywords again to remove "
                             "them.",
                         "ERROR");
        page.setClearKeywordsEnabled(true);
        return;
    }
    taggedImages.reset();
    taggedImageKeyword.reset();
    page.setClearKeywordsEnabled(false);
}

// Deletes the first keyword of `image` whose name is `name` and which sits under "ZUL Lumsift":
// a keyword of that name that the user made elsewhere is never the search's. Names compare
// after NFC normalisation. A ScriptingError passes out.
void LumsiftForAperture::removeRecordedKeyword(const ImageVersion& image, const std::string& name) {
    const std::string wanted = nfc(name);
    for (const auto& keyword : image.keywords()) {
        if (keyword.parent != kKeywordParent || nfc(keyword.name) != wanted)
            continue;
        image.deleteKeyword(keyword);
        return;
    }
}

} // namespace lumsift
