// The camera RAW decoder, over LibRaw: the largest embedded preview where it is large enough,
// else LibRaw's half-size development of the raw data; turned as the camera held it, in sRGB.
#pragma once

#include "fingerprint/ImageDecoder.h"

namespace lumsift {

class RawDecoder final : public ImageDecoder {
public:
    // "LibRaw".
    std::string_view name() const override;
    // The suffixes of the RAW formats that LibRaw reads ("nef", "cr2", "dng", ...).
    std::vector<std::string> suffixes() const override;

    // Passes on a file that LibRaw does not take for a RAW (a JPEG or a TIFF named .dng). Uses the
    // embedded preview that LibRaw finds largest when both its sides reach request.minSide (any
    // preview for 0), with the preview's own orientation and then the RAW's; a preview that does
    // not decode is logged and the raw data is developed instead, at half size (one pixel for each
    // 2 x 2 cell of the sensor; white balance as shot, sRGB, no brightening). A failure, with
    // LibRaw's or libjpeg's message, for a file that cannot be read, is cut short (before the end
    // of its raw data or of its preview), declares too many pixels, would need more than
    // limits::kMaxDecodeBytes to develop, or whose raw data LibRaw finds cut or corrupt, or leaves
    // partly undecoded without telling (junk where compressed data should be), or stores in a
    // JPEG of more than limits::kMaxJpegScans scans. A preview of too many scans is one that does
    // not decode.
    Decoded decode(const std::filesystem::path& path, const DecodeRequest& request) const override;
};

} // namespace lumsift
