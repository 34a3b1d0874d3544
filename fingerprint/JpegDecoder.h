// The JPEG decoder: libjpeg-turbo directly, DCT-scaled on load, for the common photographs
// (YCbCr, RGB or grey); CMYK JPEGs and grey ones with a colour profile go to the general decoder.
#pragma once

#include "fingerprint/ImageRenderer.h"

#include <cstdint>
#include <span>

namespace lumsift {

class JpegDecoder final : public ImageDecoder {
public:
    // Borrows `fallback`, which must outlive this decoder: it reads the JPEGs that need colour
    // conversion beyond an RGB colour profile (CMYK, YCCK, grey with a profile).
    explicit JpegDecoder(const ImageDecoder& fallback) : fallback_(fallback) {}

    std::vector<std::string> suffixes() const override;
    // No picture (with libjpeg's message) for a file that is missing, not a JPEG, corrupt or
    // truncated.
    Decoded decode(const std::filesystem::path& path, int minSide) const override;

private:
    const ImageDecoder& fallback_;
};

// Largest JPEG DCT scale denominator (8, 4, 2, 1) that keeps both sides at least minSide; the
// scaled side is the full side divided and rounded up.
int jpegShrink(int width, int height, int minSide);

// The EXIF orientation (1 to 8) stored in the APP1 payload `exif` ("Exif\0\0" and a TIFF
// structure); 1 when there is none or the data is malformed. Borrows `exif`.
int exifOrientation(std::span<const uint8_t> exif);

} // namespace lumsift
