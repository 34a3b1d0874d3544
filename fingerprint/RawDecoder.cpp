// The RAW decoder: LibRaw opens the file and finds its preview; the preview is decoded as a JPEG
// (or taken as the bitmap it is), else the raw data is developed at half size. The preview costs
// a JPEG decode at reduced scale; a development reads and demosaics the whole sensor.
#include "fingerprint/RawDecoder.h"

#include "fingerprint/JpegDecoder.h"
#include "platform/limits/PictureLimits.h"
#include "platform/log/Log.h"
#include "platform/raw/Raw.h"

#include <memory>
#include <span>

namespace lumsift {
namespace {

struct ClearImage {
    void operator()(libraw_processed_image_t* image) const { LibRaw::dcraw_clear_mem(image); }
};
// Owns an image that LibRaw made in memory.
using ProcessedImage = std::unique_ptr<libraw_processed_image_t, ClearImage>;

// The embedded preview, decoded as `request` asks, before the RAW's own orientation; a failure
// when there is none that decodes.
Decoded decodePreview(raw::Processor& raw, const DecodeRequest& request) {
    if (const raw::Status unpacked = raw::statusOf(raw.get().unpack_thumb()); !unpacked)
        return Decoded::failure(unpacked.message);
    const libraw_thumbnail_t& preview = raw.data().thumbnail;
    const auto bytes = std::span(reinterpret_cast<const uint8_t*>(preview.thumb), preview.tlength);
    if (preview.tformat == LIBRAW_THUMBNAIL_JPEG)
        return decodeJpegBytes(bytes, request);
    const size_t expected = size_t{preview.twidth} * preview.theight * 3;
    if (preview.tformat != LIBRAW_THUMBNAIL_BITMAP || preview.tcolors != 3 || expected == 0 ||
        bytes.size() < expected)
        return Decoded::failure("a preview of a kind not read here");
    return Decoded::of(Picture::fromBytes(bytes.first(expected), preview.twidth, preview.theight, 3,
                                          request.minSide, 1));
}

// The raw data developed at half size, turned by the RAW's orientation.
Decoded developHalfSize(raw::Processor& raw, const DecodeRequest& request) {
    const libraw_image_sizes_t& sizes = raw.data().sizes;
    // The raw data (16 bits a sample), the half-size image (four 16-bit channels) and the result.
    const int64_t halfPixels = int64_t{sizes.width / 2} * (sizes.height / 2);
    const int64_t bytes = int64_t{sizes.raw_width} * sizes.raw_height * 2 + halfPixels * (8 + 3);
    if (bytes > limits::kMaxDecodeBytes)
        return Decoded::failure("developing " + std::to_string(sizes.raw_width) + " x " +
                                std::to_string(sizes.raw_height) + " sensor pixels needs " +
                                std::to_string(bytes >> 20) + " MiB, more than the " +
                                std::to_string(limits::kMaxDecodeBytes >> 20) + " MiB allowed");
    const limits::DecodeMemory held(bytes);
    libraw_output_params_t& params = raw.data().params;
    params.half_size = 1;
    params.use_camera_wb = 1;
    params.output_color = 1; // sRGB
    params.output_bps = 8;
    params.gamm[0] = 1 / 2.4; // sRGB's curve, not dcraw's BT.709 one
    params.gamm[1] = 12.92;
    params.no_auto_bright = 1; // the exposure as recorded
    if (const raw::Status unpacked = raw.unpack(); !unpacked)
        return Decoded::failure(unpacked.message);
    if (const raw::Status developed = raw::statusOf(raw.get().dcraw_process()); !developed)
        return Decoded::failure(developed.message);
    if (raw.dataErrors() > 0)
        return Decoded::failure("the raw data is cut short or corrupt");
    int code = LIBRAW_SUCCESS;
    const ProcessedImage image(raw.get().dcraw_make_mem_image(&code));
    if (!image)
        return Decoded::failure(raw::statusOf(code).message);
    if (image->type != LIBRAW_IMAGE_BITMAP || image->colors != 3 || image->bits != 8 ||
        image->width < 1 || image->height < 1)
        return Decoded::failure("the developed image has an unexpected layout");
    // LibRaw has turned the image by the RAW's orientation already.
    const auto pixels =
        std::span<const uint8_t>(image->data, size_t{image->width} * image->height * 3);
    return Decoded::of(
        Picture::fromBytes(pixels, image->width, image->height, 3, request.minSide, 1));
}

} // namespace

std::string_view RawDecoder::name() const {
    return "LibRaw";
}

std::vector<std::string> RawDecoder::suffixes() const {
    const auto raw = raw::suffixes();
    return {raw.begin(), raw.end()};
}

Decoded RawDecoder::decode(const std::filesystem::path& path, const DecodeRequest& request) const {
    raw::Processor raw;
    const raw::Status opened = raw.open(path, static_cast<unsigned>(limits::kMaxDecodeBytes >> 20));
    if (opened.code == LIBRAW_FILE_UNSUPPORTED)
        return Decoded::passOn();
    if (!opened)
        return Decoded::failure(opened.message);
    const libraw_image_sizes_t& sizes = raw.data().sizes;
    if (auto refused = refuseOversized(sizes.raw_width, sizes.raw_height))
        return std::move(*refused);
    if (!raw.reachesItsData(path))
        return Decoded::failure("the file ends before its raw data or its preview does");

    // Where the header tells the preview's size, one too small is not even unpacked.
    const libraw_thumbnail_t& preview = raw.data().thumbnail;
    const bool tooSmall = preview.twidth > 0 && preview.theight > 0 &&
                          (preview.twidth < request.minSide || preview.theight < request.minSide);
    if (preview.tlength > 0 && !tooSmall) {
        Decoded decoded = decodePreview(raw, request);
        const bool largeEnough = decoded.picture && decoded.picture->width() >= request.minSide &&
                                 decoded.picture->height() >= request.minSide;
        if (largeEnough)
            return Decoded::of(
                std::move(*decoded.picture).upright(raw::orientationOfFlip(sizes.flip)));
        if (!decoded.picture)
            log::line("LibRaw: the embedded preview does not decode (" + decoded.error +
                      "): developing the raw data at half size");
    }
    return developHalfSize(raw, request);
}

} // namespace lumsift
