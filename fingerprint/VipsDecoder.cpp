// The libvips decoder: the loader libvips picks for the file, limited to picture formats; the
// declared size and the memory of loaders that hold the whole picture checked first;
// shrink-on-load for JPEG, WebP and HEIF; then sRGB, premultiplied R, G, B, A floats, a box
// shrink, and one pass over the file into memory. Written with libvips' C++ binding, whose calls
// throw VError: decode() turns that into a failure in one place.
#include "fingerprint/VipsDecoder.h"

#include "fingerprint/JpegDecoder.h"
#include "platform/limits/PictureLimits.h"
#include "platform/vips/Vips.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
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

// Whether the file reaches the end its format marks: a PNG's IEND chunk, a GIF's trailer byte.
// libvips stops reading once it has the pixels, so a file cut after them would pass unseen.
// True for the other formats, whose loaders find a cut themselves.
bool reachesItsEnd(const std::string& loader, const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = file.tellg();
    if (loader == "gifload") {
        char last = 0;
        return size > 0 && file.seekg(size - 1).read(&last, 1) && last == ';';
    }
    if (loader != "pngload")
        return true;
    // Chunks follow the 8-byte signature: a 4-byte big-endian length, the type, the data and a
    // 4-byte checksum.
    for (std::streamoff at = 8; at + 12 <= size;) {
        unsigned char head[8] = {};
        if (!file.seekg(at).read(reinterpret_cast<char*>(head), 8))
            return false;
        if (std::string_view(reinterpret_cast<const char*>(head + 4), 4) == "IEND")
            return true;
        const uint32_t length = uint32_t{head[0]} << 24 | uint32_t{head[1]} << 16 |
                                uint32_t{head[2]} << 8 | uint32_t{head[3]};
        at += 12 + static_cast<std::streamoff>(length);
    }
    return false;
}

// The memory that `loader` holds at once to decode `image` (opened, not yet decoded), where it
// holds the whole picture; 0 where the picture streams through in rows or tiles. Measured with
// libvips 8.14: the GIF, HEIF, JPEG XL and ImageMagick loaders decode the whole frame and then
// convert it (about twice the decoded samples); OpenJPEG holds 32-bit samples (its tiles are not
// known here, so a tiled picture counts as one tile); an interlaced PNG is read whole, and a
// progressive JPEG keeps two bytes for each coefficient.
int64_t wholePictureBytes(const std::string& loader, const VImage& image) {
    const int64_t samples = int64_t{image.width()} * image.height() * image.bands();
    const int64_t sampleBytes = static_cast<int64_t>(vips_format_sizeof(image.format()));
    if (loader == "gifload" || loader == "heifload" || loader == "jxlload" || loader == kBmpLoader)
        return 2 * samples * sampleBytes;
    if (loader == "jp2kload")
        return 4 * samples;
    const bool interlaced = image.get_typeof("interlaced") != 0 && image.get_int("interlaced");
    if (loader == "pngload" && interlaced)
        return samples * sampleBytes;
    if (loader == "jpegload" && interlaced)
        return 2 * samples;
    return 0;
}

// Throws when decoding `image` with `loader` would take more than the decode budget.
void requireWithinBudget(const std::string& loader, const VImage& image) {
    const int64_t bytes = wholePictureBytes(loader, image);
    if (bytes <= limits::kMaxDecodeBytes)
        return;
    throw VError("a picture of " + std::to_string(image.width()) + " x " +
                 std::to_string(image.height()) + " pixels needs " + std::to_string(bytes >> 20) +
                 " MiB to decode with " + loader + ", more than the " +
                 std::to_string(limits::kMaxDecodeBytes >> 20) + " MiB allowed");
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
        if (thumbnail.width() >= minSide && thumbnail.height() >= minSide &&
            limits::pixelCountAllowed(thumbnail.width(), thumbnail.height()) &&
            wholePictureBytes("heifload", thumbnail) <= limits::kMaxDecodeBytes)
            return thumbnail;
    } catch (const VError&) {
        vips_error_clear(); // the full picture is loaded instead
    }
    return VImage();
}

// The picture at `path` opened with `loader` (`header`: opened without options, declaring its
// full size), shrunk on load to no less than `minSide` a side where the loader can; nothing is
// decoded yet. Throws when decoding it would take more than the decode budget.
VImage load(const std::string& loader, const std::filesystem::path& path, const VImage& header,
            int minSide) {
    const char* file = path.c_str();
    if (loader == "heifload" && minSide > 0) {
        // Decoding a large enough stored thumbnail is much cheaper than the full picture.
        if (VImage thumbnail = heifThumbnail(file, minSide); !thumbnail.is_null())
            return thumbnail;
    }
    requireWithinBudget(loader, header);
    if (loader == "jpegload" && minSide > 0) {
        const int shrink = jpegShrink(header.width(), header.height(), minSide);
        return VImage::jpegload(file, streamed()->set("shrink", shrink));
    }
    if (loader == "webpload" && minSide > 0) {
        // Half a pixel over, so that the decoder's rounding never takes a side below minSide.
        const double scale = std::min(
            1.0, std::max((minSide + 0.5) / header.width(), (minSide + 0.5) / header.height()));
        return VImage::webpload(file, streamed()->set("scale", scale));
    }
    VImage out;
    VImage::call(loader.c_str(), streamed()->set("filename", file)->set("out", &out));
    return out;
}

// The loaded image in sRGB as premultiplied R, G, B, A floats; box-shrunk to no less than
// `minSide` a side where the loader could not shrink it; decoded into memory, as stored.
VImage toRgbaFloat(VImage image, int minSide) {
    const vips::Result srgb = vips::toSrgb(image.get_image());
    if (!srgb)
        throw VError(srgb.error);
    image = VImage(srgb.image.get(), ::vips::NOSTEAL);
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

std::string_view VipsDecoder::name() const {
    return "libvips";
}

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
        // Opened, the header read: the declared size is checked before any pixel is decoded.
        VImage header;
        VImage::call(loader.c_str(),
                     VImage::option()->set("filename", path.c_str())->set("out", &header));
        const vips::Size declared = vips::declaredSize(path, header.get_image());
        if (auto refused = refuseOversized(declared.width, declared.height))
            return std::move(*refused);
        if (!reachesItsEnd(loader, path))
            return Decoded::failure("the file ends before its last " +
                                    std::string(loader == "gifload" ? "block" : "chunk"));
        // A picture over the decode limit is refused before it takes any.
        const int64_t wholeBytes = wholePictureBytes(loader, header);
        const limits::DecodeMemory held(wholeBytes <= limits::kMaxDecodeBytes ? wholeBytes : 0);
        const VImage loaded = load(loader, path, header, request.minSide);
        return toPicture(toRgbaFloat(loaded, request.minSide));
    } catch (const VError& error) {
        return Decoded::failure(messageOf(error));
    }
}

} // namespace lumsift
