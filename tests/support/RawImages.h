// Camera RAW files for the tests and benchmarks, written with libtiff as DNGs: a 16-bit RGGB mosaic
// of a picture in linear light, with the camera's colours those of linear sRGB, an orientation,
// and an embedded JPEG preview or none; and the JPEG the camera would write beside it. Every
// function that writes throws std::runtime_error when it cannot.
#pragma once

#include "tests/support/HostileImages.h"
#include "tests/support/TestImages.h"

#include <filesystem>

namespace lumsift::testimages {

enum class DngPreview {
    None,
    Jpeg,       // a JPEG of the whole picture in a sub-IFD, as cameras embed it
    BrokenJpeg, // the same, its middle overwritten with junk (its length kept)
    ManyScans,  // the same in more scans than a decoder takes (JpegKind::ManyScans)
};

struct DngOptions {
    int orientation = 1; // EXIF orientation of the picture as stored on the sensor, 1 to 8
    DngPreview preview = DngPreview::Jpeg;
    int previewWidth = 0; // 0: the picture's own width; the height keeps the aspect
};

// Writes `picture` (as it lies on the sensor) as a DNG, making its folder. Returns `file`.
std::filesystem::path writeDng(const std::filesystem::path& file, const PhotoPixels& picture,
                               const DngOptions& options = {});

// Writes `picture` as a lossy DNG: three colours a pixel in linear light, stored as one JPEG of
// `kind` (Baseline or ManyScans), as converters write DNGs to save room. Returns `file`.
std::filesystem::path writeLossyDng(const std::filesystem::path& file, const PhotoPixels& picture,
                                    JpegKind kind);

// A DNG whose mosaic declares `width` x `height` pixels and holds one row of them. Returns `file`.
std::filesystem::path writeDngBomb(const std::filesystem::path& file, int width, int height);

// Writes `picture` as a lossy DNG: three colours a pixel in linear light, stored as one JPEG of
// `kind` (Baseline or ManyScans), as converters write DNGs to save room. Returns `file`.
std::filesystem::path writeLossyDng(const std::filesystem::path& file, const PhotoPixels& picture,
                                    JpegKind kind);

// A DNG whose mosaic declares `width` x `height` 16-bit pixels stored with TIFF `compression` (1:
// none, 7: lossless JPEG) and whose one strip holds `bytes` bytes of junk, the same on every call.
// Returns `file`.
std::filesystem::path writeDngWithJunkData(const std::filesystem::path& file, int width, int height,
                                           int compression, size_t bytes);

// Writes `picture` as the JPEG a camera saves beside its RAW: quality 90 with the EXIF
// `orientation`. Returns `file`.
std::filesystem::path writeCameraJpeg(const std::filesystem::path& file, const PhotoPixels& picture,
                                      int orientation);

// `picture` resized to `width` x `height` (stretched; a smooth enlargement when larger).
PhotoPixels resized(const PhotoPixels& picture, int width, int height);

} // namespace lumsift::testimages
