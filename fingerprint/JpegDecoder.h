// The JPEG decoder: libjpeg-turbo, DCT-scaled on load, for every JPEG (grey, YCbCr, RGB, CMYK and
// YCCK; Huffman or arithmetic coded; baseline or progressive). Refuses those that are damaged.
#pragma once

#include "fingerprint/ImageDecoder.h"

#include <cstdint>
#include <span>

namespace lumsift {

class JpegDecoder final : public ImageDecoder {
public:
    // "libjpeg".
    std::string_view name() const override;
    // "jpg", "jpeg", "jpe".
    std::vector<std::string> suffixes() const override;

    // Passes on a file that does not start as a JPEG does, whatever its name. A failure, with
    // libjpeg's message, for a file that is missing, cut short or corrupt (libjpeg warns of made-up
    // data), that declares too many pixels, is read in several scans and would need more than
    // limits::kMaxDecodeBytes for its coefficients, has more than limits::kMaxJpegScans scans
    // (the scans beyond are not decoded), or whose colours libvips cannot convert to
    // sRGB (CMYK, or a grey colour profile). Any other colour profile that cannot be applied is
    // logged and the colours are kept as stored.
    Decoded decode(const std::filesystem::path& path, const DecodeRequest& request) const override;
};

// Decodes the JPEG `jpeg` (borrowed; a preview embedded in another file, say) as
// JpegDecoder::decode decodes a file: the same picture, the same failures; a failure too for bytes
// that do not start as a JPEG does.
Decoded decodeJpegBytes(std::span<const uint8_t> jpeg, const DecodeRequest& request);

// Largest JPEG DCT scale denominator (8, 4, 2, 1) that keeps both sides at least minSide; the
// scaled side is the full side divided and rounded up.
int jpegShrink(int width, int height, int minSide);

// The EXIF orientation (1 to 8) stored in the APP1 payload `exif` ("Exif\0\0" and a TIFF
// structure); 1 when there is none or the data is malformed. Borrows `exif`.
int exifOrientation(std::span<const uint8_t> exif);

} // namespace lumsift
