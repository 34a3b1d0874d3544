// Stored fingerprints as custom tags on image versions, and the search keywords under
// "ZUL Lumsift" with the engine's record of the keywords the last search added.
#include "engine/LumsiftForAperture.h"
#include "engine/Text.h"

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
    const std::size_t recorded = taggedImages && taggedImageKeyword
                                     ? std::min(taggedImages->size(), taggedImageKeyword->size())
                                     : 0;
    for (std::size_t i = 0; i < recorded; ++i) {
        const ImageVersion& image = (*taggedImages)[i];
        const std::string wanted = nfc((*taggedImageKeyword)[i]);
        for (const auto& keyword : image.keywords()) {
            if (nfc(keyword.name) != wanted)
                continue;
            image.deleteKeyword(keyword);
            break;
        }
    }
    taggedImages.reset();
    taggedImageKeyword.reset();
    page.setClearKeywordsEnabled(false);
}

} // namespace lumsift
