// Files that test the decoders on what a photo library also holds: JPEGs of the kinds libvips
// does not write (arithmetic-coded, CMYK, progressive grey), decompression bombs that declare an
// enormous picture in a few bytes, and damaged copies of good files. Every function that writes
// throws std::runtime_error when it cannot.
#pragma once

#include "tests/support/TestImages.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace lumsift::testimages {

enum class JpegKind {
    Baseline,
    Progressive,
    Arithmetic,
    ArithmeticProgressive,
    Cmyk, // inverted, with an Adobe marker, as Adobe's applications write CMYK
    CmykProgressive,
    Grey,
    // Progressive, every coefficient of each component in two scans of its own (379 scans): valid,
    // but more scans than a decoder takes. Not among kJpegKinds.
    ManyScans,
};

inline constexpr JpegKind kJpegKinds[] = {JpegKind::Baseline,   JpegKind::Progressive,
                                          JpegKind::Arithmetic, JpegKind::ArithmeticProgressive,
                                          JpegKind::Cmyk,       JpegKind::CmykProgressive,
                                          JpegKind::Grey};

// A name for each kind ("arithmetic-progressive"), for file names and traces.
std::string_view nameOf(JpegKind kind);

// `picture` as the bytes of a JPEG of `kind` written with libjpeg at quality 90.
std::string jpegOfKind(const PhotoPixels& picture, JpegKind kind);

// Writes photo `index` (see TestImages.h) as a JPEG of `kind` with libjpeg at quality 90. Returns
// `file`.
std::filesystem::path writeJpegOfKind(const std::filesystem::path& file, int index, JpegKind kind);

// A 35-byte GIF whose screen and only frame declare `width` x `height` pixels, with one short
// block of image data. Returns `file`.
std::filesystem::path writeGifBomb(const std::filesystem::path& file, uint16_t width,
                                   uint16_t height);

// A 39 KB 4:2:0 colour JPEG that declares `width` x `height` pixels and holds the start of one
// scan of zero blocks, then its end marker: progressive, its decoder must keep every coefficient
// of the picture. Returns `file`.
std::filesystem::path writeJpegBomb(const std::filesystem::path& file, uint16_t width,
                                    uint16_t height, bool progressive);

// A PNG whose header declares `width` x `height` RGB pixels (`interlaced`: Adam7) with one
// compressed row of zeros. Returns `file`.
std::filesystem::path writePngBomb(const std::filesystem::path& file, uint32_t width,
                                   uint32_t height, bool interlaced = false);

// A copy of the JPEG `from` with `garbage` bytes of junk put before its end marker, where libjpeg
// finds them once the last scan is decoded. Returns `to`.
std::filesystem::path writeJpegWithJunkAtTheEnd(const std::filesystem::path& from,
                                                const std::filesystem::path& to, size_t garbage);

// A copy of the picture `from` whose header declares a width of 0 (`zeroWidth`) and a height of 0
// (`zeroHeight`) where it declared its own, each side kept unless asked: its start-of-frame (JPEG),
// first directory (TIFF, DNG), info header (BMP), frame header (lossy WebP, written in the simple
// layout), spatial-extent properties (HEIF, AVIF), or image header and size marker (JPEG 2000).
// Throws for another format, and for one whose header is not where it looks. Returns `to`.
std::filesystem::path writeZeroSideCopy(const std::filesystem::path& from,
                                        const std::filesystem::path& to, bool zeroWidth,
                                        bool zeroHeight);

// A copy of `from` with the bytes at `offset` replaced by `bytes`. Returns `to`.
std::filesystem::path writeOverwrittenCopy(const std::filesystem::path& from,
                                           const std::filesystem::path& to, size_t offset,
                                           std::string_view bytes);

} // namespace lumsift::testimages
