// The engine's words for stored fingerprints: the algorithm codes with their tag names, one
// stored entry, a list of entries (one per loaded image) and a reading of one image's three.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace lumsift {

// One stored fingerprint: a number (0 = fingerprinting failed or waits to be redone) or the null
// marker (no tag).
using FingerprintEntry = std::optional<uint64_t>;
// One entry per loaded image, in the order of allImages.
using FingerprintList = std::vector<FingerprintEntry>;
// A reading of an image's stored fingerprints: plain, plus, Pro.
using FingerprintReading = std::array<FingerprintEntry, 3>;

// Algorithm codes.
enum : int32_t { kAlgorithmAll = 0, kAlgorithmPlus = 1, kAlgorithmPro = 2, kAlgorithmPlain = 3 };
inline constexpr const char* kTagPlain = "Lumsift";
inline constexpr const char* kTagPlus = "Lumsift+";
inline constexpr const char* kTagPro = "LumsiftPro";

} // namespace lumsift
