// Header-only image opening: libvips for pictures, LibRaw for camera RAW files; the picture is not
// decoded, only its header read.
#include "photolib/ImageHeader.h"

#include "platform/limits/PictureLimits.h"
#include "platform/vips/Vips.h"

#include <memory>

#include <libraw/libraw.h>

namespace lumsift::photolib {
namespace {

struct CloseRaw {
    void operator()(libraw_data_t* raw) const { libraw_close(raw); }
};
// Owns one LibRaw processor.
using RawHandle = std::unique_ptr<libraw_data_t, CloseRaw>;

// The size of a camera RAW file as developed (turned by its orientation), from its header.
std::optional<ImageSize> readRawSize(const std::filesystem::path& file) {
    const RawHandle raw(libraw_init(0));
    if (!raw || libraw_open_file(raw.get(), file.c_str()) != LIBRAW_SUCCESS)
        return std::nullopt;
    const auto& sizes = raw->sizes;
    if (sizes.width == 0 || sizes.height == 0)
        return std::nullopt;
    // Orientations 5 and 6 are quarter-turns: width and height change places.
    if (sizes.flip == 5 || sizes.flip == 6)
        return ImageSize{sizes.height, sizes.width};
    return ImageSize{sizes.width, sizes.height};
}

} // namespace

bool libvipsReadsImage(const std::filesystem::path& file) {
    vips::start();
    const bool found = vips_foreign_find_load(file.c_str()) != nullptr;
    vips_error_clear();
    return found;
}

std::optional<ImageSize> readImageSize(const std::filesystem::path& file) {
    if (!libvipsReadsImage(file))
        return readRawSize(file);
    // A sequential open reads the header only; pixels would be decoded on first use.
    const vips::Result opened = vips::adopt(
        vips_image_new_from_file(file.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, nullptr));
    if (!opened)
        return std::nullopt;
    const VipsImage* image = opened.image.get();
    return ImageSize{vips_image_get_width(image), vips_image_get_height(image)};
}

std::string sizeRefusal(const ImageSize& size) {
    if (limits::pixelCountAllowed(size.width, size.height))
        return {};
    return "declares " + std::to_string(size.width) + " x " + std::to_string(size.height) +
           " pixels; a picture may have from one pixel to " +
           std::to_string(limits::kMaxPicturePixels / 1'000'000) + " megapixels";
}

} // namespace lumsift::photolib
