// How large a picture may be for us to read it: the bounds that keep a hostile or damaged file (a
// decompression bomb: a few bytes that declare a picture of billions of pixels, or a JPEG of
// countless scans) from taking the memory and time of the whole machine. The decoders and the
// photo-library stand-in's import check a file against them before any pixel is decoded.
#pragma once

#include <cstdint>

namespace lumsift::limits {

// The most pixels (width x height, as the file declares them) that a picture may have: 500
// megapixels. The largest camera sensors give about 150 megapixels and their multi-shot modes
// 400; stitched panoramas of a few hundred megapixels are real. A file that declares more is
// refused as damaged rather than decoded.
inline constexpr int64_t kMaxPicturePixels = 500'000'000;

// The most memory one decode may ask for where its library holds the whole picture (or a
// progressive JPEG's coefficients) at once: 512 MiB. Decoders that stream the picture through a
// shrink need far less; this bounds the others, so that no single picture takes more than a few
// hundred megabytes.
inline constexpr int64_t kMaxDecodeBytes = int64_t{512} << 20;

// The most scans a JPEG may have. A scan costs a pass over every block of the components it
// holds, however little data it carries, so a small file of thousands of tiny scans keeps a
// decoder busy for minutes. Encoders write one scan (baseline), one a component, or about ten
// (libjpeg's progression; mozjpeg's optimised scripts a few more); even a script that sends every
// coefficient of three components in a scan of its own stays under 200. A file with more is
// refused as hostile or damaged.
inline constexpr int kMaxJpegScans = 256;

// True when a picture of `width` x `height` has at least one pixel and no more than
// kMaxPicturePixels. Cannot fail; any values may be passed.
constexpr bool pixelCountAllowed(int64_t width, int64_t height) {
    return width >= 1 && height >= 1 && width <= kMaxPicturePixels / height;
}

} // namespace lumsift::limits
