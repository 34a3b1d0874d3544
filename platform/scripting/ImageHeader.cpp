// Header-only image opening: libvips for pictures, LibRaw for camera RAW files; the picture is not
// decoded, only its header read.
#include "platform/scripting/ImageHeader.h"

#include <memory>
#include <mutex>

#include <libraw/libraw.h>
#include <vips/vips.h>

namespace lumsift::scripting {
namespace {

struct UnrefImage {
    void operator()(VipsImage* image) const { g_object_unref(image); }
};
// Owns one reference to a VipsImage.
using ImageHandle = std::unique_ptr<VipsImage, UnrefImage>;

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

void initVips() {
    static std::once_flag once;
    std::call_once(once, [] {
        // A second vips_init (the renderer's) is harmless: libvips starts once per process.
        if (vips_init("lumsift") != 0)
            vips_error_clear();
        // Cached loaders would keep files open long after a header was read.
        vips_cache_set_max(0);
    });
}

} // namespace

bool libvipsReadsImage(const std::filesystem::path& file) {
    initVips();
    const bool found = vips_foreign_find_load(file.c_str()) != nullptr;
    vips_error_clear();
    return found;
}

std::optional<ImageSize> readImageSize(const std::filesystem::path& file) {
    if (!libvipsReadsImage(file))
        return readRawSize(file);
    // A sequential open reads the header only; pixels would be decoded on first use.
    const ImageHandle image(
        vips_image_new_from_file(file.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, nullptr));
    vips_error_clear();
    if (!image)
        return std::nullopt;
    return ImageSize{vips_image_get_width(image.get()), vips_image_get_height(image.get())};
}

} // namespace lumsift::scripting
