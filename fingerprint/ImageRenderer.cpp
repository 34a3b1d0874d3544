// The image renderer: decoder choice by suffix (libjpeg for common JPEGs, libvips for the rest),
// the libvips decoder with shrink-on-load, sRGB conversion, premultiplied alpha and orientation.
#include "fingerprint/ImageRenderer.h"

#include "fingerprint/JpegDecoder.h"
#include "platform/vips/Vips.h"
#include "platform/log/Log.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>

namespace lumsift {
namespace {

// `text` in upper case, or in lower case.
std::string inCase(std::string_view text, bool upper) {
    std::string result(text);
    for (char& c : result) {
        const auto byte = static_cast<unsigned char>(c);
        c = static_cast<char>(upper ? std::toupper(byte) : std::tolower(byte));
    }
    return result;
}

// The libvips loaders for pictures. Others (CSV, matrix, raw data, native, PDF, SVG, slides,
// scientific formats) read files that are not photographs and are never used.
constexpr std::array<std::string_view, 9> kPictureLoaders = {"jpegload", "pngload",  "gifload",
                                                             "tiffload", "webpload", "heifload",
                                                             "jp2kload", "jxlload",  "ppmload"};

// BMP has no loader of its own in libvips; ImageMagick's reads it, for files that start "BM".
constexpr std::string_view kBmpLoader = "magickload";

bool isPictureLoader(std::string_view nickname) {
    return std::find(kPictureLoaders.begin(), kPictureLoaders.end(), nickname) !=
           kPictureLoaders.end();
}

void* collectSuffixes(void* item, void* a, void* /*b*/) {
    auto* suffixes = static_cast<std::vector<std::string>*>(a);
    const auto* objectClass = VIPS_OBJECT_CLASS(item);
    const auto* foreignClass = VIPS_FOREIGN_CLASS(item);
    if (objectClass->nickname == nullptr || !isPictureLoader(objectClass->nickname) ||
        foreignClass->suffs == nullptr)
        return nullptr;
    for (const char* const* suffix = foreignClass->suffs; *suffix != nullptr; ++suffix) {
        std::string_view text = *suffix;
        if (text.starts_with('.'))
            text.remove_prefix(1);
        const std::string lower = inCase(text, false);
        if (!lower.empty() &&
            std::find(suffixes->begin(), suffixes->end(), lower) == suffixes->end())
            suffixes->push_back(lower);
    }
    return nullptr;
}

bool startsWithBm(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    char magic[2] = {};
    return file.read(magic, 2) && magic[0] == 'B' && magic[1] == 'M';
}

// The nickname of the libvips loader that would read `path` ("jpegload"), or the reason.
std::optional<std::string> findLoader(const std::filesystem::path& path, std::string& error) {
    const char* name = vips_foreign_find_load(path.c_str());
    if (name == nullptr) {
        error = vips_error_buffer();
        vips_error_clear();
        return std::nullopt;
    }
    const char* nickname = vips_nickname_find(g_type_from_name(name));
    if (nickname == nullptr) {
        error = std::string("no loader nickname for ") + name;
        return std::nullopt;
    }
    return std::string(nickname);
}

vips::Result loadWith(const std::string& loader, const std::filesystem::path& path, int minSide) {
    const char* file = path.c_str();
    const auto failOn = VIPS_FAIL_ON_TRUNCATED;
    // Read top to bottom once: the picture streams through the conversions below.
    const auto streamed = VIPS_ACCESS_SEQUENTIAL;
    if (loader == "jpegload" && minSide > 0) {
        vips::Result header =
            vips::call([&](VipsImage** out) { return vips_jpegload(file, out, nullptr); });
        if (!header)
            return header;
        const int shrink =
            jpegShrink(header.image.get()->Xsize, header.image.get()->Ysize, minSide);
        return vips::call([&](VipsImage** out) {
            return vips_jpegload(file, out, "shrink", shrink, "fail_on", failOn, "access", streamed,
                                 nullptr);
        });
    }
    if (loader == "webpload" && minSide > 0) {
        vips::Result header =
            vips::call([&](VipsImage** out) { return vips_webpload(file, out, nullptr); });
        if (!header)
            return header;
        // Half a pixel over, so that the decoder's rounding never takes a side below minSide.
        const double scale = std::min(1.0, std::max((minSide + 0.5) / header.image.get()->Xsize,
                                                    (minSide + 0.5) / header.image.get()->Ysize));
        return vips::call([&](VipsImage** out) {
            return vips_webpload(file, out, "scale", scale, "fail_on", failOn, "access", streamed,
                                 nullptr);
        });
    }
    if (loader == "heifload" && minSide > 0) {
        // The stored thumbnail serves when it is large enough; it is decoded instead of the
        // full picture.
        vips::Result thumbnail = vips::call([&](VipsImage** out) {
            return vips_heifload(file, out, "thumbnail", TRUE, "fail_on", failOn, "access",
                                 streamed, nullptr);
        });
        if (thumbnail && thumbnail.image.get()->Xsize >= minSide &&
            thumbnail.image.get()->Ysize >= minSide)
            return thumbnail;
    }
    return vips::call([&](VipsImage** out) {
        return vips_call(loader.c_str(), file, out, "fail_on", failOn, "access", streamed, nullptr);
    });
}

// Replaces `image` by `op(image, &out)`; false (with libvips' message in `image.error`) when the
// operation fails.
template <class Op> bool then(vips::Result& image, Op&& op) {
    VipsImage* const in = image.image.get();
    image = vips::call([&](VipsImage** out) { return op(in, out); });
    return static_cast<bool>(image);
}

// The loaded image in sRGB as premultiplied R, G, B, A floats; box-shrunk to no less than
// `minSide` a side where the loader could not shrink it; decoded into memory, as stored.
vips::Result toRgbaFloat(vips::Result image, int minSide) {
    if (vips_image_get_typeof(image.image.get(), VIPS_META_ICC_NAME) != 0) {
        vips::Result managed = vips::profileToSrgb(image.image.get());
        if (managed)
            image = std::move(managed);
        else
            log::line("libvips: colour profile not applied: " + managed.error);
    }
    if (!then(image, [](VipsImage* in, VipsImage** out) {
            return vips_colourspace(in, out, VIPS_INTERPRETATION_sRGB, nullptr);
        }))
        return image;
    if (image.image.get()->BandFmt != VIPS_FORMAT_UCHAR &&
        !then(image, [](VipsImage* in, VipsImage** out) {
            return vips_cast(in, out, VIPS_FORMAT_UCHAR, nullptr);
        }))
        return image;
    if (image.image.get()->Bands < 3)
        return {vips::ImageRef(), "picture has fewer than three colour bands"};
    const bool hasAlpha = image.image.get()->Bands >= 4 && vips_image_hasalpha(image.image.get());
    const int bands = hasAlpha ? 4 : 3;
    if (image.image.get()->Bands != bands && !then(image, [bands](VipsImage* in, VipsImage** out) {
            return vips_extract_band(in, out, 0, "n", bands, nullptr);
        }))
        return image;
    // Premultiplied before any filtering, so that transparent pixels add no colour.
    if (hasAlpha && !then(image, [](VipsImage* in, VipsImage** out) {
            return vips_premultiply(in, out, nullptr);
        }))
        return image;
    if (!hasAlpha && !then(image, [](VipsImage* in, VipsImage** out) {
            return vips_bandjoin_const1(in, out, 255.0, nullptr);
        }))
        return image;
    if (image.image.get()->BandFmt != VIPS_FORMAT_FLOAT &&
        !then(image, [](VipsImage* in, VipsImage** out) {
            return vips_cast(in, out, VIPS_FORMAT_FLOAT, nullptr);
        }))
        return image;
    // Formats without shrink-on-load are box-shrunk while they stream in, so that a huge
    // picture never sits whole in memory.
    const int hshrink = boxShrink(image.image.get()->Xsize, minSide);
    const int vshrink = boxShrink(image.image.get()->Ysize, minSide);
    if ((hshrink > 1 || vshrink > 1) &&
        !then(image, [hshrink, vshrink](VipsImage* in, VipsImage** out) {
            return vips_shrink(in, out, hshrink, vshrink, nullptr);
        }))
        return image;
    // The one pass over the file happens here; decoding errors (truncation) surface now.
    return vips::adopt(vips_image_copy_memory(image.image.get()));
}

// The decoded image as a Picture.
Decoded toPicture(vips::Result loaded, int minSide) {
    const vips::Result image = toRgbaFloat(std::move(loaded), minSide);
    if (!image)
        return {std::nullopt, image.error};
    VipsImage* const in = image.image.get();
    if (in->Bands != 4 || in->BandFmt != VIPS_FORMAT_FLOAT)
        return {std::nullopt, "unexpected pixel layout"};
    const size_t samples = static_cast<size_t>(in->Xsize) * in->Ysize * 4;
    const auto* first = reinterpret_cast<const float*>(VIPS_IMAGE_ADDR(in, 0, 0));
    Picture stored(in->Xsize, in->Ysize, std::vector<float>(first, first + samples));
    return {std::move(stored).upright(vips_image_get_orientation(in)), {}};
}

class VipsDecoder final : public ImageDecoder {
public:
    std::vector<std::string> suffixes() const override {
        std::vector<std::string> found;
        vips_foreign_map("VipsForeignLoad", collectSuffixes, &found, nullptr);
        if (vips_type_find("VipsOperation", std::string(kBmpLoader).c_str()) != 0)
            found.emplace_back("bmp");
        return found;
    }

    Decoded decode(const std::filesystem::path& path, int minSide) const override {
        std::string error;
        const std::optional<std::string> loader = findLoader(path, error);
        if (!loader)
            return {std::nullopt, error};
        const bool bmp = *loader == kBmpLoader && startsWithBm(path);
        if (!isPictureLoader(*loader) && !bmp)
            return {std::nullopt, "not a picture format: " + *loader};
        vips::Result loaded = loadWith(*loader, path, minSide);
        if (!loaded)
            return {std::nullopt, loaded.error};
        return toPicture(std::move(loaded), minSide);
    }
};

struct DecoderEntry {
    std::unique_ptr<ImageDecoder> decoder;
    std::vector<std::string> suffixes;
};

// The decoders, in the order of precedence, with their suffixes asked once. Camera RAW (LibRaw)
// goes before libvips here, so that a RAW file whose TIFF structure libvips would also read gets
// its full development.
const std::vector<DecoderEntry>& decoders() {
    static const std::vector<DecoderEntry> list = [] {
        std::vector<DecoderEntry> made;
        auto add = [&made](std::unique_ptr<ImageDecoder> decoder) {
            std::vector<std::string> suffixes = decoder->suffixes();
            made.push_back({std::move(decoder), std::move(suffixes)});
        };
        // libjpeg directly for the common JPEGs; libvips for the rest of them and all else.
        auto general = std::make_unique<VipsDecoder>();
        add(std::make_unique<JpegDecoder>(*general));
        add(std::move(general));
        return made;
    }();
    return list;
}

const ImageDecoder* decoderFor(std::string_view suffix) {
    const std::string lower = inCase(suffix, false);
    for (const DecoderEntry& entry : decoders()) {
        if (std::find(entry.suffixes.begin(), entry.suffixes.end(), lower) != entry.suffixes.end())
            return entry.decoder.get();
    }
    return nullptr;
}

} // namespace

std::vector<std::string> readableImageTypes() {
    if (!vips::start())
        return {};
    static const std::vector<std::string> types = [] {
        std::vector<std::string> all;
        for (const DecoderEntry& entry : decoders()) {
            for (const std::string& suffix : entry.suffixes) {
                if (std::find(all.begin(), all.end(), suffix) != all.end())
                    continue;
                all.push_back(suffix);
                all.push_back(inCase(suffix, true));
            }
        }
        return all;
    }();
    return types;
}

std::string fileUrlText(const std::filesystem::path& path) {
    static constexpr std::string_view kKept = "-._~/!$&'()*+,;=:@";
    std::string text = "file://";
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    for (const unsigned char c : (ec ? path : absolute).string()) {
        if (std::isalnum(c) != 0 || kKept.find(static_cast<char>(c)) != std::string_view::npos) {
            text += static_cast<char>(c);
            continue;
        }
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", c);
        text += escaped;
    }
    return text;
}

Decoded decodePicture(const std::filesystem::path& path, int largestGrid) {
    if (!vips::start())
        return {std::nullopt, "libvips did not start"};
    const std::string name = path.filename().string();
    const auto dot = name.rfind('.');
    const ImageDecoder* decoder =
        dot == std::string::npos ? nullptr : decoderFor(std::string_view(name).substr(dot + 1));
    if (decoder == nullptr)
        return {std::nullopt, "no decoder for " + name};
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return {std::nullopt, "not a readable file"};
    return decoder->decode(path, largestGrid > 0 ? 2 * largestGrid : 0);
}

} // namespace lumsift
