// The general decoder, over libvips: every picture format of the installed libvips loaders,
// shrunk on load where the loader allows it and box-shrunk while it streams in otherwise.
#pragma once

#include "fingerprint/ImageDecoder.h"

namespace lumsift {

class VipsDecoder final : public ImageDecoder {
public:
    // "libvips".
    std::string_view name() const override;
    // The suffixes of the loaders for pictures (JPEG, PNG, GIF, TIFF, WebP, HEIF/AVIF, JPEG 2000,
    // JPEG XL, PNM, and BMP through ImageMagick), never those of its data, document or scientific
    // formats. Empty when libvips has not started.
    std::vector<std::string> suffixes() const override;

    // Never passes a file on. A failure, with libvips' message, for a file that no picture loader
    // reads (also a BMP-named file that does not start "BM"), that is truncated (also a PNG cut
    // after its pixels, or a GIF without its trailer) or corrupt where its loader tells, that
    // declares too many pixels, whose loader would hold more than limits::kMaxDecodeBytes at
    // once, or that has fewer than three colour bands after conversion to sRGB. The caller
    // guarantees that libvips has started.
    Decoded decode(const std::filesystem::path& path, const DecodeRequest& request) const override;
};

} // namespace lumsift
