// The libvips decoder: the loader libvips picks for the file, limited to picture formats;
// shrink-on-load for JPEG, WebP and HEIF; then sRGB, premultiplied R, G, B, A floats, a box
// shrink, and one pass over the file into memory. Written with libvips' C++ binding, whose calls
// throw VError: decode() turns that into a failure in one place.
#include "fingerprint/VipsDecoder.h"

#include "fingerprint/JpegDecoder.h"
#include "platform/log/Log.h"
#include "platform/vips/Vips.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <string_view>

#include <vips/vips8>

namespace lumsift {
namespace {

using VImage = ::vips::VImage;
using VError = ::vips::VError;

// The libvips loaders for pictures. Others (CSV, matrix, raw data, native, PDF, SVG, slides,
// scientific formats) read files that are not photographs and are never used.
constexpr std::array<std::string_view, 9> kPictureLoaders = {"jpegload", "pngload",  "gifload",
                                                             "tiffload", "webpload", "heifload",
                                                             "jp2kload", "jxlload",  "ppmload"};

// BMP has no loader of its own in libvips; ImageMagick's reads it, for files that start "BM".
constexpr std::string_view kBmpLoader = "magickload";

bool isPictureLoader(std::string_view nickname) {
    return std::ranges::find(kPictureLoaders, nickname) != kPictureLoaders.end();
}

void* collectSuffixes(void* item, void* a, void* /*b*/) {
    auto* suffixes = static_cast<std::vector<std::string>*>(a);
    const auto* objectClass = VIPS_OBJECT_CLASS(item);
    const auto* foreignClass = VIPS_FOREIGN_CLASS(item);
    if (objectClass->nickname == nullptr || !isPictureLoader(objectClass->nickname) ||
        foreignClass->suffs == nullptr)
        return nullptr;
    for (const char* const* suffix = foreignClass->suffs; *suffix != nullptr; ++suffix) {
        std::string lower(std::string_view(*suffix).starts_with('.') ? *suffix + 1 : *suffix);
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!lower.empty() && std::ranges::find(*suffixes, lower) == suffixes->end())
            suffixes->push_back(lower);
    }
    return nullptr;
}

bool startsWithBm(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    char magic[2] = {};
    return file.read(magic, 2) && magic[0] == 'B' && magic[1] == 'M';
}

// The nickname of the libvips loader that would read `path` ("jpegload").
std::string loaderFor(const std::filesystem::path& path) {
    const char* name = vips_foreign_find_load(path.c_str());
    if (name == nullptr)
        throw VError();
    const char* nickname = vips_nickname_find(g_type_from_name(name));
    if (nickname == nullptr)
        throw VError(std::string("no loader nickname for ") + name);
    return nickname;
}

// The options of every full load: fail on a truncated file, and read it top to bottom once, so
// that the picture streams through the conversions below.
::vips::VOption* streamed() {
    return VImage::option()
        ->set("fail_on", VIPS_FAIL_ON_TRUNCATED)
        ->set("access", VIPS_ACCESS_SEQUENTIAL);
}

// The stored HEIF thumbnail when both its sides are at least `minSide`, else a null image.
VImage heifThumbnail(const char* file, int minSide) {
    try {
        VImage thumbnail = VImage::heifload(file, streamed()->set("thumbnail", true));
        if (thumbnail.width() >= minSide && thumbnail.height() >= minSide)
            return thumbnail;
    } catch (const VError&) {
        vips_error_clear(); // the full picture is loaded instead
    }
    return VImage();
}

// `path` opened with `loader`, shrunk on load to no less than `minSide` a side where the loader
// can; nothing is decoded yet.
VImage load(const std::string& loader, const std::filesystem::path& path, int minSide) {
    const char* file = path.c_str();
    if (loader == "jpegload" && minSide > 0) {
        const VImage header = VImage::jpegload(file);
        const int shrink = jpegShrink(header.width(), header.height(), minSide);
        return VImage::jpegload(file, streamed()->set("shrink", shrink));
    }
    if (loader == "webpload" && minSide > 0) {
        const VImage header = VImage::webpload(file);
        // Half a pixel over, so that the decoder's rounding never takes a side below minSide.
        const double scale = std::min(
            1.0, std::max((minSide + 0.5) / header.width(), (minSide + 0.5) / header.height()));
        return VImage::webpload(file, streamed()->set("scale", scale));
    }
    if (loader == "heifload" && minSide > 0) {
        // Decoding a large enough stored thumbnail is much cheaper than the full picture.
        if (VImage thumbnail = heifThumbnail(file, minSide); !thumbnail.is_null())
            return thumbnail;
    }
    VImage out;
    VImage::call(loader.c_str(), streamed()->set("filename", file)->set("out", &out));
    return out;
}

// The loaded image in sRGB as premultiplied R, G, B, A floats; box-shrunk to no less than
// `minSide` a side where the loader could not shrink it; decoded into memory, as stored.
VImage toRgbaFloat(VImage image, int minSide) {
    if (image.get_typeof(VIPS_META_ICC_NAME) != 0) {
        // A profile that cannot be applied leaves the colours as they are stored.
        const vips::Result managed = vips::profileToSrgb(image.get_image());
        if (managed)
            image = VImage(managed.image.get(), ::vips::NOSTEAL);
        else
            log::line("libvips: colour profile not applied: " + managed.error);
    }
    image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.format() != VIPS_FORMAT_UCHAR)
        image = image.cast(VIPS_FORMAT_UCHAR);
    if (image.bands() < 3)
        throw VError("picture has fewer than three colour bands");
    const bool hasAlpha = image.bands() >= 4 && image.has_alpha();
    const int bands = hasAlpha ? 4 : 3;
    if (image.bands() != bands)
        image = image.extract_band(0, VImage::option()->set("n", bands));
    // Premultiplied before any filtering, so that transparent pixels add no colour.
    image = hasAlpha ? image.premultiply() : image.bandjoin_const({255.0});
    if (image.format() != VIPS_FORMAT_FLOAT)
        image = image.cast(VIPS_FORMAT_FLOAT);
    // Formats without shrink-on-load are box-shrunk while they stream in, so that a huge
    // picture never sits whole in memory.
    const int hshrink = boxShrink(image.width(), minSide);
    const int vshrink = boxShrink(image.height(), minSide);
    if (hshrink > 1 || vshrink > 1)
        image = image.shrink(hshrink, vshrink);
    // The one pass over the file happens here; decoding errors (truncation) surface now.
    return image.copy_memory();
}

// Copies the pixels of `image` (in memory, premultiplied R, G, B, A floats) into an upright
// Picture.
Decoded toPicture(const VImage& image) {
    const auto* first = static_cast<const float*>(image.data());
    if (first == nullptr || image.bands() != 4 || image.format() != VIPS_FORMAT_FLOAT)
        return Decoded::failure("unexpected pixel layout");
    const size_t samples = static_cast<size_t>(image.width()) * image.height() * 4;
    Picture stored(image.width(), image.height(), std::vector<float>(first, first + samples));
    return Decoded::of(std::move(stored).upright(vips_image_get_orientation(image.get_image())));
}

// The message of `error` without trailing line breaks. Clears libvips' error buffer, which
// VError only copies.
std::string messageOf(const VError& error) {
    vips_error_clear();
    std::string message = error.what();
    while (!message.empty() && message.back() == '\n')
        message.pop_back();
    return message.empty() ? "libvips failed" : message;
}

} // namespace

std::vector<std::string> VipsDecoder::suffixes() const {
    std::vector<std::string> found;
    vips_foreign_map("VipsForeignLoad", collectSuffixes, &found, nullptr);
    if (vips_type_find("VipsOperation", std::string(kBmpLoader).c_str()) != 0)
        found.emplace_back("bmp");
    return found;
}

Decoded VipsDecoder::decode(const std::filesystem::path& path, const DecodeRequest& request) const {
    try {
        const std::string loader = loaderFor(path);
        if (!isPictureLoader(loader) && !(loader == kBmpLoader && startsWithBm(path)))
            return Decoded::failure("not a picture format: " + loader);
        return toPicture(toRgbaFloat(load(loader, path, request.minSide), request.minSide));
    } catch (const VError& error) {
        return Decoded::failure(messageOf(error));
    }
}

} // namespace lumsift
