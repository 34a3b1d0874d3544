// Reads an image file's size from its header, without decoding the picture (libvips; LibRaw for
// camera RAW files).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace lumsift::photolib {

struct ImageSize {
    int64_t width = 0;
    int64_t height = 0;
};

// True when libvips has a loader for the file (it looks at the file's first bytes), or LibRaw
// takes it for a camera RAW file. False for a missing or unreadable file or one that is not an
// image.
bool readsImage(const std::filesystem::path& file);

// The width and height stored in the file's header, for a camera RAW file as it is shown (after its
// orientation); nullopt when neither libvips nor LibRaw can open the file as an image. A file with
// a RAW suffix is asked of LibRaw first. Thread-safe.
std::optional<ImageSize> readImageSize(const std::filesystem::path& file);

// Why a picture of `size` is not taken into a library: it declares no pixel, or more than a picture
// may have (limits::kMaxPicturePixels; a decompression bomb or a damaged header). Empty when it
// is taken. Cannot fail.
std::string sizeRefusal(const ImageSize& size);

} // namespace lumsift::photolib
