// The JPEG decoder over libjpeg-turbo: header, limits, DCT-scaled decode into grey, R, G, B or
// C, M, Y, K bytes, colour conversion to sRGB (by libvips on the small result), EXIF orientation.
// libjpeg reports errors by a jump back into the phase that called it; each phase is a function
// that holds nothing but C data, so the jump skips no destructor.
#include "fingerprint/JpegDecoder.h"

#include "platform/jpeg/JpegScans.h"
#include "platform/limits/PictureLimits.h"
#include "platform/vips/Vips.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

// jpeglib.h first: the message codes of jerror.h depend on what it configures.
#include <jpeglib.h>

#include <jerror.h>

namespace lumsift {
namespace {

struct ErrorManager {
    jpeg_error_mgr pub; // first: libjpeg hands back a pointer to it
    std::jmp_buf jump;
    bool damaged = false;
    char message[JMSG_LENGTH_MAX] = {};
};

// The warnings by which libjpeg says that the compressed data is cut short or corrupt (it then
// goes on with made-up data); the others (an unknown JFIF version, say) leave the picture whole.
constexpr std::array kDamagedData = {
    JWRN_JPEG_EOF,    JWRN_HIT_MARKER,      JWRN_HUFF_BAD_CODE,  JWRN_ARITH_BAD_CODE,
    JWRN_MUST_RESYNC, JWRN_EXTRANEOUS_DATA, JWRN_NOT_SEQUENTIAL, JWRN_BOGUS_PROGRESSION};

[[noreturn]] void onError(j_common_ptr info) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

// Warnings go on; the first of a damaged stream marks it, with its message.
void onMessage(j_common_ptr info, int level) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    if (level >= 0 || errors->damaged ||
        std::ranges::find(kDamagedData, info->err->msg_code) == kDamagedData.end())
        return;
    errors->damaged = true;
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
    jpeg::ScanLimit scans;
    bool created = false;
};

// Where libjpeg reads: an open file (borrowed), else bytes in memory (borrowed).
struct Source {
    FILE* file = nullptr;
    std::span<const uint8_t> bytes;
};

// Reads the header, keeping the APP1 (EXIF) and APP2 (colour profile) markers. libjpeg may take
// no more than the decode budget: a progressive picture whose coefficients need more becomes an
// error instead of an allocation of gigabytes; the scans beyond limits::kMaxJpegScans are cut off.
bool readHeader(Decompressor& d, const Source& source) {
    if (setjmp(d.errors.jump) != 0)
        return false;
    jpeg_create_decompress(&d.info);
    d.created = true;
    d.info.mem->max_memory_to_use = limits::kMaxDecodeBytes;
    d.scans.watch(&d.info);
    if (source.file != nullptr)
        jpeg_stdio_src(&d.info, source.file);
    else
        jpeg_mem_src(&d.info, source.bytes.data(), static_cast<unsigned long>(source.bytes.size()));
    jpeg_save_markers(&d.info, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&d.info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&d.info, TRUE);
    return true;
}

// Asks for `colours` at 1/denominator and works out the output size.
bool plan(Decompressor& d, J_COLOR_SPACE colours, int denominator) {
    if (setjmp(d.errors.jump) != 0)
        return false;
    d.info.out_color_space = colours;
    d.info.scale_num = 1;
    d.info.scale_denom = static_cast<unsigned>(denominator);
    jpeg_calc_output_dimensions(&d.info);
    return true;
}

// Decodes every scanline into `pixels` (output_height rows of output_components x output_width
// bytes).
bool decodeInto(Decompressor& d, uint8_t* pixels) {
    if (setjmp(d.errors.jump) != 0)
        return false;
    jpeg_start_decompress(&d.info);
    const size_t stride = static_cast<size_t>(d.info.output_width) * d.info.output_components;
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

// The memory that libjpeg holds for a picture read in several scans (progressive, or one scan a
// component): every DCT coefficient of every component, two bytes each.
int64_t coefficientBytes(const jpeg_decompress_struct& info) {
    int64_t bytes = 0;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& component = info.comp_info[c];
        bytes += int64_t{component.width_in_blocks} * component.height_in_blocks * DCTSIZE2 *
                 static_cast<int64_t>(sizeof(JCOEF));
    }
    return bytes;
}

// The decoded `pixels` (width x height, `bands` bytes a pixel: grey, or C, M, Y, K as `ink`) with
// the colour profile `profile` (may be empty) as R, G, B bytes in sRGB, converted by libvips; or
// the reason it failed. Borrows both.
struct Converted {
    std::vector<uint8_t> rgb;
    std::string error;
};
Converted convertToSrgb(std::span<const uint8_t> pixels, int width, int height, int bands, bool ink,
                        std::span<const uint8_t> profile) {
    if (!vips::start())
        return {{}, "libvips did not start"};
    const vips::Result image = vips::adopt(vips_image_new_from_memory(
        pixels.data(), pixels.size(), width, height, bands, VIPS_FORMAT_UCHAR));
    if (!image)
        return {{}, image.error};
    image.image.get()->Type = ink          ? VIPS_INTERPRETATION_CMYK
                              : bands == 1 ? VIPS_INTERPRETATION_B_W
                                           : VIPS_INTERPRETATION_sRGB;
    if (!profile.empty())
        vips_image_set_blob_copy(image.image.get(), VIPS_META_ICC_NAME, profile.data(),
                                 profile.size());
    const vips::Result srgb = vips::toSrgb(image.image.get());
    if (!srgb)
        return {{}, srgb.error};
    if (srgb.image.get()->Bands != 3)
        return {{}, "colour conversion gave " + std::to_string(srgb.image.get()->Bands) + " bands"};
    size_t size = 0;
    void* converted = vips_image_write_to_memory(srgb.image.get(), &size);
    if (converted == nullptr)
        return {{}, vips::adopt(nullptr).error};
    Converted result{{static_cast<uint8_t*>(converted), static_cast<uint8_t*>(converted) + size},
                     {}};
    g_free(converted);
    return result;
}

constexpr std::string_view kExif("Exif\0\0", 6);
constexpr std::string_view kIccProfile("ICC_PROFILE\0", 12);

// Decodes the JPEG at `source` as JpegDecoder::decode describes.
Decoded decodeJpeg(const Source& source, const DecodeRequest& request) {
    Decompressor d;
    if (!readHeader(d, source))
        return Decoded::failure(d.errors.message);

    // Limits first, before anything is decoded.
    const int width = static_cast<int>(d.info.image_width);
    const int height = static_cast<int>(d.info.image_height);
    if (auto refused = refuseOversized(width, height))
        return std::move(*refused);
    if (jpeg_has_multiple_scans(&d.info) && coefficientBytes(d.info) > limits::kMaxDecodeBytes)
        return Decoded::failure("a picture of " + std::to_string(width) + " x " +
                                std::to_string(height) + " pixels in several scans needs " +
                                std::to_string(coefficientBytes(d.info) >> 20) +
                                " MiB to decode, more than the " +
                                std::to_string(limits::kMaxDecodeBytes >> 20) + " MiB allowed");

    // A picture read in several scans holds its coefficients until it is decoded.
    const limits::DecodeMemory held(jpeg_has_multiple_scans(&d.info) ? coefficientBytes(d.info)
                                                                     : 0);

    // Grey, YCbCr or RGB, and CMYK or YCCK (printers' JPEGs, inverted where an Adobe marker says
    // so, as Adobe's applications write them).
    const bool ink = d.info.jpeg_color_space == JCS_CMYK || d.info.jpeg_color_space == JCS_YCCK;
    const int components = d.info.num_components;
    if (ink ? components != 4 : components != 1 && components != 3)
        return Decoded::failure("a JPEG of " + std::to_string(d.info.num_components) +
                                " colour components");
    int orientation = 1;
    bool hasProfile = false;
    for (jpeg_saved_marker_ptr marker = d.info.marker_list; marker != nullptr;
         marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 2 && startsWith(marker, kIccProfile))
            hasProfile = true;
        if (marker->marker == JPEG_APP0 + 1 && startsWith(marker, kExif))
            orientation = exifOrientation(std::span(marker->data, marker->data_length));
    }
    MallocBuffer profile;
    if (hasProfile && !readIccProfile(d, profile))
        return Decoded::failure(d.errors.message);
    // Grey is decoded as grey only where a grey profile must be applied to it.
    const bool grey = d.info.num_components == 1 && profile.data != nullptr;
    const J_COLOR_SPACE colours = ink ? JCS_CMYK : grey ? JCS_GRAYSCALE : JCS_RGB;

    const int minSide = request.minSide;
    if (!plan(d, colours, minSide > 0 ? jpegShrink(width, height, minSide) : 1))
        return Decoded::failure(d.errors.message);
    const int w = static_cast<int>(d.info.output_width);
    const int h = static_cast<int>(d.info.output_height);
    const int bands = d.info.output_components;
    if (w < 1 || h < 1)
        return Decoded::failure("JPEG without pixels");
    std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * bands);
    if (!decodeInto(d, pixels.data()) || d.errors.damaged || d.scans.exceeded())
        return Decoded::failure(d.scans.exceeded() ? jpeg::tooManyScans() : d.errors.message);
    if (ink && d.info.saw_Adobe_marker)
        for (uint8_t& sample : pixels)
            sample = static_cast<uint8_t>(255 - sample);
    // Colour management runs on the scaled-down pixels, where it costs little.
    if (ink || profile.data != nullptr) {
        Converted converted =
            convertToSrgb(pixels, w, h, bands, ink, std::span(profile.data, profile.size));
        if (!converted.error.empty())
            return Decoded::failure("colours not converted to sRGB: " + converted.error);
        pixels = std::move(converted.rgb);
    }
    return Decoded::of(Picture::fromBytes(pixels, w, h, 3, minSide, orientation));
}

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

std::string_view JpegDecoder::name() const {
    return "libjpeg";
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
    return decodeJpeg({file.get(), {}}, request);
}

Decoded decodeJpegBytes(std::span<const uint8_t> jpeg, const DecodeRequest& request) {
    if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return Decoded::failure("not a JPEG");
    return decodeJpeg({nullptr, jpeg}, request);
}

} // namespace lumsift
