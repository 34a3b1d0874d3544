// The interface of a picture decoder: one decode of one file into a Picture, asked for by a
// DecodeRequest and answered by a Decoded. The decoders never know each other; the decoder
// choice orders them and hands a file on when a decoder passes it on.
#pragma once

#include "fingerprint/Picture.h"
#include "platform/limits/PictureLimits.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumsift {

// What the caller asks of one decode.
struct DecodeRequest {
    // Shrink on load, where the format allows it, to the smallest size that keeps both sides at
    // least this many pixels; 0: full size.
    int minSide = 0;
};

// What one decode gives: a picture; or no picture and the reason; or, passed on, neither.
struct [[nodiscard]] Decoded {
    std::optional<Picture> picture;
    // Why there is no picture, as the library that failed said it. Empty with a picture, and
    // when passed on.
    std::string error;
    // The decoder left the file to the next decoder: the file is not of its format, or needs what
    // this one does not do.
    bool passedOn = false;

    static Decoded of(Picture picture) { return {std::move(picture), {}, false}; }
    static Decoded failure(std::string why) { return {std::nullopt, std::move(why), false}; }
    static Decoded passOn() { return {std::nullopt, {}, true}; }
};

// A failure for a picture that declares `width` x `height` pixels when that is no pixel at all or
// more than limits::kMaxPicturePixels; nullopt when the picture may be decoded. Decoders ask it
// after reading the header and before decoding any pixel.
inline std::optional<Decoded> refuseOversized(int64_t width, int64_t height) {
    if (limits::pixelCountAllowed(width, height))
        return std::nullopt;
    const std::string declares = "the picture declares " + std::to_string(width) + " x " +
                                 std::to_string(height) + " pixels";
    if (width < 1 || height < 1)
        return Decoded::failure(declares + ", no pixel at all");
    return Decoded::failure(declares + ", more than the " +
                            std::to_string(limits::kMaxPicturePixels / 1'000'000) +
                            " megapixels a picture may have");
}

class ImageDecoder {
public:
    virtual ~ImageDecoder() = default;

    // The library that decodes, as its failures are told ("libjpeg"). Cannot fail.
    virtual std::string_view name() const = 0;

    // The file-name suffixes it reads, lower case, without the dot. Cannot fail; the caller
    // guarantees that libvips has started when the decoder uses it.
    virtual std::vector<std::string> suffixes() const = 0;

    // Decodes `path` once, as `request` asks, into an upright sRGB picture. Never throws. The
    // file's content decides, never its name: passed on for a file that is not of the decoder's
    // format, or of its format but needing another decoder; a failure, with the library's reason,
    // for a file that is missing or unreadable, truncated, corrupt (where its library can tell),
    // that declares too many pixels (refuseOversized) or would need more than
    // limits::kMaxDecodeBytes at once, or that its library cannot decode. A decoder keeps nothing
    // of its own between calls.
    virtual Decoded decode(const std::filesystem::path& path,
                           const DecodeRequest& request) const = 0;
};

} // namespace lumsift
