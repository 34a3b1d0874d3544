// The JPEG decoder over libjpeg-turbo: header, DCT-scaled decode into R, G, B bytes, colour
// profile (applied by libvips on the small result), EXIF orientation. libjpeg reports errors by a
// jump back into the phase that called it; each phase is a function that holds nothing but C data,
// so the jump skips no destructor.
#include "fingerprint/JpegDecoder.h"

#include "platform/log/Log.h"
#include "platform/vips/Vips.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <jerror.h>
#include <jpeglib.h>

namespace lumsift {
namespace {

struct ErrorManager {
    jpeg_error_mgr pub; // first: libjpeg hands back a pointer to it
    std::jmp_buf jump;
    bool truncated = false;
    char message[JMSG_LENGTH_MAX] = {};
};

[[noreturn]] void onError(j_common_ptr info) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

// Warnings go on; those of a file that ends early mark it truncated.
void onMessage(j_common_ptr info, int level) {
    if (level >= 0)
        return;
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    const int code = info->err->msg_code;
    if (code != JWRN_JPEG_EOF && code != JWRN_HIT_MARKER)
        return;
    errors->truncated = true;
    (*info->err->format_message)(info, errors->message);
}

// Owns an open file.
class File {
public:
    // Takes ownership of `file` (may be null).
    explicit File(FILE* file) : file_(file) {}
    ~File() {
        if (file_ != nullptr)
            std::fclose(file_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    FILE* get() const { return file_; }

private:
    FILE* file_;
};

// Owns a libjpeg decompressor once created, with its error manager.
class Decompressor {
public:
    Decompressor() {
        info.err = jpeg_std_error(&errors.pub);
        errors.pub.error_exit = onError;
        errors.pub.emit_message = onMessage;
    }
    ~Decompressor() {
        if (created)
            jpeg_destroy_decompress(&info);
    }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;

    jpeg_decompress_struct info{};
    ErrorManager errors;
    bool created = false;
};

// Reads the header, keeping the APP1 (EXIF) and APP2 (colour profile) markers.
bool readHeader(Decompressor& d, FILE* file) {
    if (setjmp(d.errors.jump) != 0)
        return false;
    jpeg_create_decompress(&d.info);
    d.created = true;
    jpeg_stdio_src(&d.info, file);
    jpeg_save_markers(&d.info, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&d.info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&d.info, TRUE);
    return true;
}

// Asks for R, G, B at 1/denominator and works out the output size.
bool plan(Decompressor& d, int denominator) {
    if (setjmp(d.errors.jump) != 0)
        return false;
    d.info.out_color_space = JCS_RGB;
    d.info.scale_num = 1;
    d.info.scale_denom = static_cast<unsigned>(denominator);
    jpeg_calc_output_dimensions(&d.info);
    return true;
}

// Decodes every scanline into `pixels` (output_height rows of 3 x output_width bytes).
bool decodeInto(Decompressor& d, uint8_t* pixels) {
    if (setjmp(d.errors.jump) != 0)
        return false;
    jpeg_start_decompress(&d.info);
    const size_t stride = static_cast<size_t>(d.info.output_width) * 3;
    while (d.info.output_scanline < d.info.output_height) {
        JSAMPROW rows[16];
        const JDIMENSION left = d.info.output_height - d.info.output_scanline;
        const JDIMENSION batch = std::min<JDIMENSION>(left, 16);
        for (JDIMENSION i = 0; i < batch; ++i)
            rows[i] = pixels + stride * (d.info.output_scanline + i);
        jpeg_read_scanlines(&d.info, rows, batch);
    }
    jpeg_finish_decompress(&d.info);
    return true;
}

bool startsWith(const jpeg_saved_marker_ptr marker, std::string_view prefix) {
    return marker->data_length >= prefix.size() &&
           std::memcmp(marker->data, prefix.data(), prefix.size()) == 0;
}

// Owns a buffer that libjpeg allocated with malloc.
class MallocBuffer {
public:
    MallocBuffer() = default;
    ~MallocBuffer() { std::free(data); }
    MallocBuffer(const MallocBuffer&) = delete;
    MallocBuffer& operator=(const MallocBuffer&) = delete;
    JOCTET* data = nullptr;
    unsigned int size = 0;
};

// Reads the embedded colour profile, if any (assembled from its APP2 chunks).
bool readIccProfile(Decompressor& d, MallocBuffer& profile) {
    if (setjmp(d.errors.jump) != 0)
        return false;
    jpeg_read_icc_profile(&d.info, &profile.data, &profile.size);
    return true;
}

// Converts the R, G, B bytes in `pixels` from the colour space of `profile` to sRGB. Returns
// empty, or why the profile could not be applied (libvips' message; `pixels` unchanged then).
std::string convertToSrgb(std::vector<uint8_t>& pixels, int width, int height,
                          std::span<const uint8_t> profile) {
    if (!vips::start())
        return "libvips did not start";
    const vips::Result image = vips::adopt(vips_image_new_from_memory(
        pixels.data(), pixels.size(), width, height, 3, VIPS_FORMAT_UCHAR));
    if (!image)
        return image.error;
    vips_image_set_blob_copy(image.image.get(), VIPS_META_ICC_NAME, profile.data(), profile.size());
    const vips::Result srgb = vips::profileToSrgb(image.image.get());
    if (!srgb)
        return srgb.error;
    if (srgb.image.get()->Bands != 3 || srgb.image.get()->BandFmt != VIPS_FORMAT_UCHAR)
        return "colour profile gave an unexpected layout";
    size_t size = 0;
    void* converted = vips_image_write_to_memory(srgb.image.get(), &size);
    const bool fits = converted != nullptr && size == pixels.size();
    if (fits)
        std::memcpy(pixels.data(), converted, size);
    g_free(converted);
    if (fits)
        return "";
    vips_error_clear();
    return "converted pixels not read back";
}

constexpr std::string_view kExif("Exif\0\0", 6);
constexpr std::string_view kIccProfile("ICC_PROFILE\0", 12);

} // namespace

int jpegShrink(int width, int height, int minSide) {
    for (int shrink : {8, 4, 2}) {
        if ((width + shrink - 1) / shrink >= minSide && (height + shrink - 1) / shrink >= minSide)
            return shrink;
    }
    return 1;
}

int exifOrientation(std::span<const uint8_t> exif) {
    if (exif.size() < kExif.size() + 8 || std::memcmp(exif.data(), kExif.data(), kExif.size()) != 0)
        return 1;
    const std::span<const uint8_t> tiff = exif.subspan(kExif.size());
    const bool little = tiff[0] == 'I' && tiff[1] == 'I';
    if (!little && !(tiff[0] == 'M' && tiff[1] == 'M'))
        return 1;
    auto read = [&](size_t at, size_t bytes) -> std::optional<uint32_t> {
        if (at > tiff.size() || bytes > tiff.size() - at)
            return std::nullopt;
        uint32_t value = 0;
        for (size_t i = 0; i < bytes; ++i)
            value |= static_cast<uint32_t>(tiff[at + i]) << (8 * (little ? i : bytes - 1 - i));
        return value;
    };
    const auto magic = read(2, 2);
    const auto ifd = read(4, 4);
    if (magic != 42u || !ifd)
        return 1;
    const auto entries = read(*ifd, 2);
    if (!entries)
        return 1;
    for (uint32_t i = 0; i < *entries; ++i) {
        const size_t entry = static_cast<size_t>(*ifd) + 2 + 12 * static_cast<size_t>(i);
        const auto tag = read(entry, 2);
        if (!tag)
            return 1;
        if (*tag != 0x0112)
            continue;
        const auto type = read(entry + 2, 2);
        const auto value = read(entry + 8, 2);
        if (type != 3u || !value || *value < 1 || *value > 8)
            return 1;
        return static_cast<int>(*value);
    }
    return 1;
}

std::vector<std::string> JpegDecoder::suffixes() const {
    return {"jpg", "jpeg", "jpe"};
}

Decoded JpegDecoder::decode(const std::filesystem::path& path, const DecodeRequest& request) const {
    const File file(std::fopen(path.c_str(), "rb"));
    if (file.get() == nullptr)
        return Decoded::failure(std::string("cannot open: ") + std::strerror(errno));
    // The content decides, whatever the name: a JPEG starts with its start-of-image marker.
    unsigned char start[2] = {};
    if (std::fread(start, 1, 2, file.get()) != 2 || start[0] != 0xFF || start[1] != 0xD8)
        return Decoded::passOn();
    std::rewind(file.get());
    Decompressor d;
    if (!readHeader(d, file.get()))
        return Decoded::failure(d.errors.message);

    // Colour conversion beyond an RGB profile (CMYK, YCCK) is the general decoder's.
    if (d.info.jpeg_color_space == JCS_CMYK || d.info.jpeg_color_space == JCS_YCCK ||
        (d.info.num_components != 1 && d.info.num_components != 3))
        return Decoded::passOn();
    int orientation = 1;
    bool hasProfile = false;
    for (jpeg_saved_marker_ptr marker = d.info.marker_list; marker != nullptr;
         marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 2 && startsWith(marker, kIccProfile))
            hasProfile = true;
        if (marker->marker == JPEG_APP0 + 1 && startsWith(marker, kExif))
            orientation = exifOrientation(std::span(marker->data, marker->data_length));
    }
    // A grey profile needs grey pixels: those JPEGs are the general decoder's too.
    if (hasProfile && d.info.num_components != 3)
        return Decoded::passOn();
    MallocBuffer profile;
    if (hasProfile && !readIccProfile(d, profile))
        return Decoded::failure(d.errors.message);

    const int width = static_cast<int>(d.info.image_width);
    const int height = static_cast<int>(d.info.image_height);
    const int minSide = request.minSide;
    if (!plan(d, minSide > 0 ? jpegShrink(width, height, minSide) : 1))
        return Decoded::failure(d.errors.message);
    const int w = static_cast<int>(d.info.output_width);
    const int h = static_cast<int>(d.info.output_height);
    if (w < 1 || h < 1)
        return Decoded::failure("JPEG without pixels");
    std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * 3);
    if (!decodeInto(d, pixels.data()) || d.errors.truncated)
        return Decoded::failure(d.errors.message);
    // Colour management runs on the scaled-down pixels, where it costs little.
    if (profile.data != nullptr) {
        const std::string error =
            convertToSrgb(pixels, w, h, std::span(profile.data, profile.size));
        if (!error.empty())
            log::line("libvips: colour profile not applied: " + error);
    }
    return Decoded::of(Picture::fromBytes(pixels, w, h, 3, minSide, orientation));
}

} // namespace lumsift
