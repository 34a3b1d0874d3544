// Texts the engine shows and compares: counts as the labels print them, names in one Unicode
// normal form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumsift {

// `count` as the labels and log lines print it ("%lu"): unsigned decimal, a negative count
// wrapping as the conversion to unsigned long does.
inline std::string countText(uint64_t count) {
    return std::to_string(static_cast<unsigned long>(count));
}

// The not-analysed label: `loaded` minus `analysed`, or 0 when more images count as analysed than
// are loaded (selection runs count problem images again), never the wrap of a negative difference.
inline std::string notAnalysedText(int64_t loaded, int64_t analysed) {
    return countText(analysed > loaded ? 0 : static_cast<uint64_t>(loaded - analysed));
}

// `text` (UTF-8, borrowed) in Unicode normalisation form C, so that canonically equivalent texts
// compare equal byte for byte. Text that ICU cannot normalise is returned unchanged.
std::string nfc(std::string_view text);

} // namespace lumsift
