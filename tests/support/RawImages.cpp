// DNG files written with libtiff: the raw mosaic in the first IFD with the DNG tags that LibRaw
// needs, the JPEG preview in a sub-IFD; camera JPEGs and resized pictures through libvips.
#include "tests/support/RawImages.h"

#include "platform/vips/Vips.h"

#include <array>
#include <cmath>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <tiffio.h>

namespace lumsift::testimages {
namespace {

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

// `picture` as an image of libvips' (borrowing its pixels).
vips::Result imageOf(const PhotoPixels& picture) {
    if (!vips::start())
        throw std::runtime_error("libvips did not start");
    vips::Result image = vips::adopt(
        vips_image_new_from_memory(picture.rgb.data(), picture.rgb.size(), picture.width,
                                   picture.height, 3, VIPS_FORMAT_UCHAR));
    if (!image)
        throw std::runtime_error("wrapping a picture: " + image.error);
    return image;
}

// `picture` as JPEG bytes at `width` pixels wide.
std::string jpegBytes(const PhotoPixels& picture, int width) {
    const PhotoPixels scaled =
        resized(picture, width, std::max(1, picture.height * width / picture.width));
    const vips::Result image = imageOf(scaled);
    void* buffer = nullptr;
    size_t size = 0;
    if (vips_jpegsave_buffer(image.image.get(), &buffer, &size, "Q", 90, nullptr) != 0)
        throw std::runtime_error(std::string("writing a preview: ") + vips_error_buffer());
    std::string bytes(static_cast<const char*>(buffer), size);
    g_free(buffer);
    return bytes;
}

// The linear light of an 8-bit sRGB sample, from 0 to 1.
double linear(uint8_t sample) {
    const double v = sample / 255.0;
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

void must(int succeeded, const char* what) {
    if (succeeded != 1)
        throw std::runtime_error(std::string("libtiff: ") + what);
}

// Sets the tags of one picture of `width` x `height` in one strip: `samples` samples of `bits` a
// pixel, as `photometric` says, compressed by `compression`; the full picture or a preview.
void setPictureTags(TIFF* t, bool preview, int width, int height, int bits, int samples,
                    int compression, int photometric) {
    must(TIFFSetField(t, TIFFTAG_SUBFILETYPE, preview ? FILETYPE_REDUCEDIMAGE : 0), "subfile type");
    must(TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width), "width");
    must(TIFFSetField(t, TIFFTAG_IMAGELENGTH, height), "height");
    must(TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits), "bits");
    must(TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples), "samples");
    must(TIFFSetField(t, TIFFTAG_COMPRESSION, compression), "compression");
    must(TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric), "photometric");
    must(TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG), "planar");
    must(TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, height), "rows per strip");
}

// The DNG tags of every raw picture that LibRaw needs: the camera sees linear sRGB (its matrix
// from XYZ is sRGB's own, D65) and shot a neutral grey as equal values.
void setCameraTags(TIFF* t) {
    must(TIFFSetField(t, TIFFTAG_MAKE, "Lumsift"), "make");
    must(TIFFSetField(t, TIFFTAG_MODEL, "Test Camera"), "model");
    const uint8_t version[4] = {1, 4, 0, 0};
    must(TIFFSetField(t, TIFFTAG_DNGVERSION, version), "DNG version");
    must(TIFFSetField(t, TIFFTAG_UNIQUECAMERAMODEL, "Lumsift Test Camera"), "camera model");
    const float fromXyz[9] = {3.2404542f, -1.5371385f, -0.4985314f, -0.9692660f, 1.8760108f,
                              0.0415560f, 0.0556434f,  -0.2040259f, 1.0572252f};
    must(TIFFSetField(t, TIFFTAG_COLORMATRIX1, 9, fromXyz), "colour matrix");
    must(TIFFSetField(t, TIFFTAG_CALIBRATIONILLUMINANT1, 21), "illuminant");
    const float neutral[3] = {1, 1, 1};
    must(TIFFSetField(t, TIFFTAG_ASSHOTNEUTRAL, 3, neutral), "neutral");
}

// Sets the tags of a 16-bit RGGB mosaic of `width` x `height` in one strip, uncompressed unless
// told, and the DNG tags that LibRaw needs.
void setMosaicTags(TIFF* t, int width, int height, int orientation,
                   int compression = COMPRESSION_NONE) {
    setPictureTags(t, false, width, height, 16, 1, compression, PHOTOMETRIC_CFA);
    must(TIFFSetField(t, TIFFTAG_ORIENTATION, orientation), "orientation");
    setCameraTags(t);
    const uint16_t repeat[2] = {2, 2};
    must(TIFFSetField(t, TIFFTAG_CFAREPEATPATTERNDIM, repeat), "CFA repeat");
    const uint8_t rggb[4] = {0, 1, 1, 2};
    must(TIFFSetField(t, TIFFTAG_CFAPATTERN, 4, rggb), "CFA pattern");
    const uint32_t white = 65535;
    must(TIFFSetField(t, TIFFTAG_WHITELEVEL, 1, &white), "white level");
}

// A DNG file being written, its folder made; throws when it cannot be made.
std::unique_ptr<TIFF, TiffCloser> createTiff(const std::filesystem::path& file) {
    if (file.has_parent_path())
        std::filesystem::create_directories(file.parent_path());
    std::unique_ptr<TIFF, TiffCloser> tiff(TIFFOpen(file.c_str(), "w"));
    if (!tiff)
        throw std::runtime_error("cannot write " + file.string());
    return tiff;
}

} // namespace

std::filesystem::path writeDng(const std::filesystem::path& file, const PhotoPixels& picture,
                               const DngOptions& options) {
    const int w = picture.width & ~1; // whole 2 x 2 cells of the mosaic
    const int h = picture.height & ~1;
    const auto tiff = createTiff(file);
    TIFF* t = tiff.get();
    setMosaicTags(t, w, h, options.orientation);
    if (options.preview != DngPreview::None) {
        const uint64_t placeholder[1] = {0};
        must(TIFFSetField(t, TIFFTAG_SUBIFD, 1, placeholder), "sub-IFD");
    }
    // Red, green, green, blue: each sensor pixel keeps the light of its own colour.
    std::array<uint16_t, 256> light{};
    for (int v = 0; v < 256; ++v)
        light[static_cast<size_t>(v)] =
            static_cast<uint16_t>(std::lround(linear(static_cast<uint8_t>(v)) * 65535));
    std::vector<uint16_t> row(static_cast<size_t>(w));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int channel = (y % 2) + (x % 2); // 0 red, 1 green, 2 blue
            row[static_cast<size_t>(x)] =
                light[picture.rgb[(static_cast<size_t>(y) * picture.width + x) * 3 +
                                  static_cast<size_t>(channel)]];
        }
        if (TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0) != 1)
            throw std::runtime_error("libtiff: writing the mosaic");
    }
    must(TIFFWriteDirectory(t), "the raw IFD");
    if (options.preview == DngPreview::None)
        return file;

    const int previewWidth = options.previewWidth > 0 ? options.previewWidth : picture.width;
    const int previewHeight = std::max(1, picture.height * previewWidth / picture.width);
    std::string jpeg =
        options.preview == DngPreview::ManyScans
            ? jpegOfKind(resized(picture, previewWidth, previewHeight), JpegKind::ManyScans)
            : jpegBytes(picture, previewWidth);
    if (options.preview == DngPreview::BrokenJpeg)
        for (size_t i = jpeg.size() / 3; i < jpeg.size() / 3 + 64; ++i)
            jpeg[i] = static_cast<char>(i % 2 == 0 ? 0xFF : 0xD3); // markers where data should be
    setPictureTags(t, true, previewWidth, previewHeight, 8, 3, COMPRESSION_JPEG, PHOTOMETRIC_YCBCR);
    // The whole JPEG file is the one strip, as cameras and converters store previews.
    if (TIFFWriteRawStrip(t, 0, jpeg.data(), static_cast<tmsize_t>(jpeg.size())) < 0)
        throw std::runtime_error("libtiff: writing the preview");
    must(TIFFWriteDirectory(t), "the preview IFD");
    return file;
}

std::filesystem::path writeDngBomb(const std::filesystem::path& file, int width, int height) {
    const auto tiff = createTiff(file);
    setMosaicTags(tiff.get(), width, height, 1);
    std::vector<uint16_t> row(static_cast<size_t>(width));
    if (TIFFWriteScanline(tiff.get(), row.data(), 0, 0) != 1)
        throw std::runtime_error("libtiff: writing a row");
    must(TIFFWriteDirectory(tiff.get()), "the raw IFD");
    return file;
}

std::filesystem::path writeLossyDng(const std::filesystem::path& file, const PhotoPixels& picture,
                                    JpegKind kind) {
    const auto tiff = createTiff(file);
    TIFF* t = tiff.get();
    // Lossy JPEG (34892) of linear samples (LinearRaw, 34892 too), unknown to libtiff: the JPEG
    // is written as the strip it is.
    constexpr int kLossyJpeg = 34892, kLinearRaw = 34892;
    setPictureTags(t, false, picture.width, picture.height, 8, 3, kLossyJpeg, kLinearRaw);
    setCameraTags(t);
    std::string jpeg = jpegOfKind(picture, kind);
    if (TIFFWriteRawStrip(t, 0, jpeg.data(), static_cast<tmsize_t>(jpeg.size())) < 0)
        throw std::runtime_error("libtiff: writing the JPEG");
    must(TIFFWriteDirectory(t), "the raw IFD");
    return file;
}

std::filesystem::path writeDngWithJunkData(const std::filesystem::path& file, int width, int height,
                                           int compression, size_t bytes) {
    const auto tiff = createTiff(file);
    setMosaicTags(tiff.get(), width, height, 1, compression);
    std::mt19937 random(23);
    std::string junk(bytes, '\0');
    for (char& byte : junk)
        byte = static_cast<char>(random());
    if (TIFFWriteRawStrip(tiff.get(), 0, junk.data(), static_cast<tmsize_t>(junk.size())) < 0)
        throw std::runtime_error("libtiff: writing the junk");
    must(TIFFWriteDirectory(tiff.get()), "the raw IFD");
    return file;
}

std::filesystem::path writeCameraJpeg(const std::filesystem::path& file, const PhotoPixels& picture,
                                      int orientation) {
    const vips::Result image = imageOf(picture);
    if (orientation != 1)
        vips_image_set_int(image.image.get(), VIPS_META_ORIENTATION, orientation);
    // A JPEG whatever the name, so that tests can give it a RAW's.
    if (vips_jpegsave(image.image.get(), file.c_str(), "Q", 90, nullptr) != 0)
        throw std::runtime_error(std::string("writing ") + file.string() + ": " +
                                 vips_error_buffer());
    return file;
}

PhotoPixels resized(const PhotoPixels& picture, int width, int height) {
    if (width == picture.width && height == picture.height)
        return picture;
    const vips::Result image = imageOf(picture);
    const vips::Result scaled = vips::call([&](VipsImage** out) {
        return vips_resize(image.image.get(), out, static_cast<double>(width) / picture.width,
                           "vscale", static_cast<double>(height) / picture.height, nullptr);
    });
    size_t size = 0;
    void* bytes = scaled ? vips_image_write_to_memory(scaled.image.get(), &size) : nullptr;
    if (bytes == nullptr)
        throw std::runtime_error("resizing a picture");
    PhotoPixels result{{static_cast<uint8_t*>(bytes), static_cast<uint8_t*>(bytes) + size},
                       scaled.image.get()->Xsize,
                       scaled.image.get()->Ysize};
    g_free(bytes);
    return result;
}

} // namespace lumsift::testimages
