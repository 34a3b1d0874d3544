// Header-only image opening: libvips for pictures, LibRaw for camera RAW files; the picture is not
// decoded, only its header read.
#include "photolib/ImageHeader.h"

#include "platform/limits/PictureLimits.h"
#include "platform/raw/Raw.h"
#include "platform/vips/Vips.h"

namespace lumsift::photolib {
namespace {

// The size of a camera RAW file as developed (turned by its orientation), from its header; nullopt
// when LibRaw does not read it.
std::optional<ImageSize> readRawSize(const std::filesystem::path& file) {
    raw::Processor raw;
    if (!raw.open(file, static_cast<unsigned>(limits::kMaxDecodeBytes >> 20)))
        return std::nullopt;
    const auto& sizes = raw.data().sizes;
    if (sizes.width == 0 || sizes.height == 0)
        return std::nullopt;
    // Orientations 5 to 8 are quarter-turns: width and height change places.
    if (raw::orientationOfFlip(sizes.flip) >= 5)
        return ImageSize{sizes.height, sizes.width};
    return ImageSize{sizes.width, sizes.height};
}

// True when libvips has a loader for the file.
bool libvipsReadsImage(const std::filesystem::path& file) {
    vips::start();
    const bool found = vips_foreign_find_load(file.c_str()) != nullptr;
    vips_error_clear();
    return found;
}

// The size libvips reads from the file's header; nullopt when no libvips loader opens it.
std::optional<ImageSize> readPictureSize(const std::filesystem::path& file) {
    if (!libvipsReadsImage(file))
        return std::nullopt;
    // A sequential open reads the header only; pixels would be decoded on first use.
    const vips::Result opened = vips::adopt(
        vips_image_new_from_file(file.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, nullptr));
    if (!opened)
        return std::nullopt;
    const vips::Size declared = vips::declaredSize(file, opened.image.get());
    return ImageSize{declared.width, declared.height};
}

} // namespace

bool readsImage(const std::filesystem::path& file) {
    return libvipsReadsImage(file) || readRawSize(file).has_value();
}

std::optional<ImageSize> readImageSize(const std::filesystem::path& file) {
    // A RAW file is often a TIFF too, whose first picture libvips would read: its small preview.
    const std::string suffix = file.extension().string();
    if (!suffix.empty() && raw::isRawSuffix(std::string_view(suffix).substr(1))) {
        if (auto size = readRawSize(file))
            return size;
        return readPictureSize(file);
    }
    if (auto size = readPictureSize(file))
        return size;
    return readRawSize(file);
}

std::string sizeRefusal(const ImageSize& size) {
    if (limits::pixelCountAllowed(size.width, size.height))
        return {};
    return "declares " + std::to_string(size.width) + " x " + std::to_string(size.height) +
           " pixels; a picture may have from one pixel to " +
           std::to_string(limits::kMaxPicturePixels / 1'000'000) + " megapixels";
}

} // namespace lumsift::photolib
