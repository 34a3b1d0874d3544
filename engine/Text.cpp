// Unicode normalisation of the names the engine compares, over ICU.
#include "engine/Text.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace lumsift {

std::string nfc(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status))
        return std::string(text);
    const icu::UnicodeString normalised =
        normalizer->normalize(icu::UnicodeString::fromUTF8(
                                  icu::StringPiece(text.data(), static_cast<int32_t>(text.size()))),
                              status);
    if (U_FAILURE(status))
        return std::string(text);
    std::string out;
    normalised.toUTF8String(out);
    return out;
}

} // namespace lumsift
