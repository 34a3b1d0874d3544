// Tests of decoding a picture file for the grids, through the decoder choice: readable types,
// every format, shrink-on-load, orientation, colour profiles, the stretch to N x N and odd files.
#include "fingerprint/DecoderChoice.h"

#include "platform/log/Log.h"
#include "platform/vips/Vips.h"
#include "tests/support/HostileImages.h"
#include "tests/support/RawImages.h"
#include "tests/support/TestImages.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace lumsift {
namespace {

using namespace testimages;

const std::filesystem::path kData = LUMSIFT_TEST_DATA;

template <int N> using Grid = std::array<uint8_t, 4 * N * N>;

// `file` decoded for grids up to N and rendered N x N; throws when it does not decode.
template <int N> Grid<N> render(const std::filesystem::path& file) {
    const Decoded decoded = decodePicture(file, N);
    if (!decoded.picture)
        throw std::runtime_error("cannot decode " + file.string() + ": " + decoded.error);
    Grid<N> grid{};
    decoded.picture->render(N, grid);
    return grid;
}

// Writes `rgb` (3 bytes a pixel) with libvips in the format of the suffix, with an EXIF
// orientation unless it is 1.
std::filesystem::path writeRgb(const std::filesystem::path& file, const std::vector<uint8_t>& rgb,
                               int width, int height, int orientation = 1) {
    return writePicture(file, {rgb, width, height}, orientation);
}

// Left half red, right half blue; `quartered`, the bottom half green and yellow instead.
// Saturated, so that the filter's ringing at the edges is clipped.
std::vector<uint8_t> halves(int width, int height, bool quartered = false) {
    const uint8_t colours[4][3] = {{255, 0, 0}, {0, 0, 255}, {0, 255, 0}, {255, 255, 0}};
    std::vector<uint8_t> rgb;
    for (int i = 0; i < width * height; ++i) {
        const bool bottom = quartered && i / width >= height / 2;
        const uint8_t* colour = colours[(bottom ? 2 : 0) + (i % width >= width / 2)];
        rgb.insert(rgb.end(), colour, colour + 3);
    }
    return rgb;
}

TEST(DecoderChoice, ReadableTypesArePictureAndRawSuffixesInBothCases) {
    const std::vector<std::string> types = readableImageTypes();
    // Each type listed once, and its other case too.
    auto count = [&](const std::string& type) { return std::ranges::count(types, type); };
    for (std::string type : types) {
        const bool lower = std::islower(static_cast<unsigned char>(type[0])) != 0;
        std::transform(type.begin(), type.end(), type.begin(), lower ? ::toupper : ::tolower);
        EXPECT_EQ(count(type), 1) << type;
    }
    for (const char* type : {"jpg", "JPEG", "png", "gif", "tif", "TIFF", "webp", "ppm", "dng",
                             "NEF", "cr2", "CR3", "arw", "raf", "orf", "rw2", "pef", "raw"})
        EXPECT_EQ(count(type), 1) << type;
    // libvips' data formats are never read ("raw" is LibRaw's, for cameras that name RAWs so).
    for (const char* type : {"csv", "mat", "v", "vips", "pdf", "svg", "fits", "exr", ""})
        EXPECT_EQ(count(type), 0) << type;
}

TEST(DecoderChoice, ReadsEveryFormatAndStretchesWithoutCropping) {
    TempDir dir;
    const std::vector<std::string> types = readableImageTypes();
    // Rendered at its own size, the 8 x 8 picture comes out exactly.
    const auto expected = render<8>(writeRgb(dir / "reference.png", halves(8, 8), 8, 8));
    for (const std::string suffix :
         {"png", "gif", "tif", "ppm", "bmp", "jpg", "webp", "avif", "heic", "jp2", "jxl"}) {
        if (std::ranges::count(types, suffix) == 0)
            continue; // not installed here
        const bool lossless =
            std::string_view("png gif tif ppm bmp").find(suffix) != std::string_view::npos;
        // Wide and tall pictures alike fill the whole square: every row is half red, half blue.
        for (const auto& [width, height] : {std::pair{400, 100}, {100, 400}, {96, 64}}) {
            const auto grid = render<8>(
                writeRgb(dir / ("halves." + suffix), halves(width, height), width, height));
            for (int r = 0; r < 8; ++r)
                for (int c : {0, 1, 2, 5, 6, 7})
                    for (int k = 0; k < 4; ++k)
                        EXPECT_NEAR(grid[4 * (8 * r + c) + k], expected[4 * (8 * r + c) + k],
                                    lossless ? 2 : 55)
                            << suffix << " " << width << "x" << height << " row " << r << " column "
                            << c;
        }
    }
}

TEST(DecoderChoice, UniformColourStaysExact) {
    TempDir dir;
    for (const auto& [width, height] : {std::pair{1, 1}, {3, 2}, {1, 900}, {640, 480}}) {
        const auto grid = render<32>(writeSolid(dir / "solid.png", width, height, 12, 200, 77));
        for (size_t i = 0; i < grid.size(); ++i)
            ASSERT_EQ(grid[i], (std::array{12, 200, 77, 255}[i % 4])) << width << "x" << height;
    }
}

TEST(DecoderChoice, ShrinksToTwiceTheLargestGrid) {
    TempDir dir;
    struct Case {
        const char* name;
        int width, height, largestGrid, expectedWidth, expectedHeight;
    };
    const Case cases[] = {
        {"large.jpg", 1000, 800, 32, 125, 100}, // DCT-scaled 1/8: both sides still at least 64
        {"large.jpg", 1000, 800, 0, 1000, 800}, // no shrink asked for
        {"odd.jpg", 513, 511, 32, 65, 64},      // the scaled sides round up
        {"small.jpg", 100, 100, 32, 100, 100},  // 1/2 would leave 50
        // DCT-scaled 1/2 (the height may not go below 64), then the width box-shrunk by 15.
        {"strip.jpg", 2000, 200, 32, 67, 100},
        {"large.png", 1000, 800, 8, 16, 16},   // no shrink-on-load: box-shrunk by 62 and 50
        {"large.webp", 1000, 800, 32, 81, 64}, // scaled on load to just over 64 rows
    };
    for (const Case& c : cases) {
        const auto file = writeSolid(dir / c.name, c.width, c.height, 90, 90, 90);
        const Decoded decoded = decodePicture(file, c.largestGrid);
        ASSERT_TRUE(decoded.picture) << decoded.error;
        EXPECT_EQ(decoded.picture->width(), c.expectedWidth) << c.name;
        EXPECT_EQ(decoded.picture->height(), c.expectedHeight) << c.name;
    }
}

// What libvips' own autorotation shows for `file`, rendered 8 x 8.
Grid<8> renderedByVipsAutorot(const std::filesystem::path& file) {
    const vips::Result image = vips::adopt(vips_image_new_from_file(file.c_str(), nullptr));
    const vips::Result turned =
        vips::call([&](VipsImage** out) { return vips_autorot(image.image.get(), out, nullptr); });
    size_t size = 0;
    void* bytes = turned ? vips_image_write_to_memory(turned.image.get(), &size) : nullptr;
    if (bytes == nullptr)
        throw std::runtime_error("libvips cannot turn " + file.string());
    const VipsImage* in = turned.image.get();
    const Picture upright = Picture::fromBytes(std::span(static_cast<const uint8_t*>(bytes), size),
                                               in->Xsize, in->Ysize, in->Bands, 0, 1);
    g_free(bytes);
    Grid<8> grid{};
    upright.render(8, grid);
    return grid;
}

TEST(DecoderChoice, AppliesEveryOrientationAsLibvipsDoes) {
    TempDir dir;
    // A wide picture, its quarters' edges on whole blocks of every shrink.
    const std::vector<uint8_t> rgb = halves(128, 96, true);
    for (int orientation = 1; orientation <= 8; ++orientation) {
        for (const char* suffix : {"jpg", "png", "webp"}) {
            SCOPED_TRACE(std::string(suffix) + " orientation " + std::to_string(orientation));
            const auto file =
                writeRgb(dir / ("oriented" + std::to_string(orientation) + "." + suffix), rgb, 128,
                         96, orientation);
            const auto expected = renderedByVipsAutorot(file);
            const auto grid = render<8>(file);
            for (size_t i = 0; i < grid.size(); ++i)
                ASSERT_NEAR(grid[i], expected[i], 8) << "byte " << i;
        }
        // Orientations 5 to 8 exchange width and height.
        const Decoded decoded =
            decodePicture(dir / ("oriented" + std::to_string(orientation) + ".jpg"), 0);
        ASSERT_TRUE(decoded.picture) << decoded.error;
        EXPECT_EQ(decoded.picture->width(), orientation >= 5 ? 96 : 128);
        EXPECT_EQ(decoded.picture->height(), orientation >= 5 ? 128 : 96);
    }
}

TEST(DecoderChoice, ReadsAwkwardFilesAndAppliesColourProfiles) {
    // rgb8.png's colours converted to Display P3 and tagged so: their bytes differ, their colours
    // do not; in 16 bits a sample with an opaque alpha band: the same colours too.
    const auto reference = render<8>(kData / "rgb8.png");
    const log::Capture capture;
    for (const auto& [name, tolerance] :
         {std::pair{"p3.png", 6}, {"p3.jpg", 6}, {"rgba16.png", 1}}) {
        const auto grid = render<8>(kData / name);
        for (size_t i = 0; i < grid.size(); ++i)
            ASSERT_NEAR(grid[i], reference[i], tolerance) << name << " byte " << i;
    }
    EXPECT_TRUE(capture.lines().empty());
    // The untagged copy holds the same P3 bytes without the profile.
    const auto untagged = render<8>(kData / "p3-untagged.jpg");
    int differing = 0;
    for (size_t i = 0; i < untagged.size(); ++i)
        differing += std::abs(untagged[i] - reference[i]) > 6;
    EXPECT_GT(differing, 20);

    EXPECT_EQ(render<8>(kData / "cmyk.jpg")[3], 255);
    const auto grey = render<32>(kData / "grey16.png");
    for (size_t i = 0; i < grey.size(); i += 4) {
        ASSERT_EQ(grey[i], grey[i + 1]);
        ASSERT_EQ(grey[i], grey[i + 2]);
    }
    EXPECT_LT(grey[0], grey[4 * 32 * 31]); // the grey rises from top to bottom
    const auto pixel = render<32>(kData / "one-pixel.gif");
    EXPECT_EQ(pixel[4 * 500], pixel[0]);
    // Grey with alpha 128: grey colour samples, premultiplied to at most half.
    const auto greyAlpha = render<8>(kData / "grey-alpha.png");
    for (size_t i = 0; i < greyAlpha.size(); i += 4) {
        ASSERT_NEAR(greyAlpha[i + 3], 128, 1);
        ASSERT_EQ(greyAlpha[i], greyAlpha[i + 1]);
        ASSERT_LE(greyAlpha[i], greyAlpha[i + 3]);
    }
    const auto strip = render<32>(kData / "wide-strip.png");
    EXPECT_EQ(strip[4 * 5], strip[4 * (32 * 31 + 5)]); // every row the same
}

// A file that declares more pixels than a picture may have, or that its library would have to
// hold whole in more than the decode budget, is refused before its pixels are decoded: the
// process never grows by gigabytes.
TEST(DecoderChoice, RefusesDecompressionBombsBeforeDecoding) {
    TempDir dir;
    const std::string tooMany = "more than the 500 megapixels a picture may have";
    const std::string tooLarge = "MiB allowed";
    const std::pair<std::filesystem::path, std::string> bombs[] = {
        {writeGifBomb(dir / "screen.gif", 65535, 65535), tooMany},
        {writeGifBomb(dir / "just-over.gif", 23000, 23000), tooMany}, // 529 megapixels
        {writeGifBomb(dir / "held-whole.gif", 15000, 15000), tooLarge},
        {writeGifBomb(dir / "gif-named.jpg", 65535, 65535), tooMany},
        {writeJpegBomb(dir / "progressive.jpg", 65500, 65500, true), tooMany},
        {writeJpegBomb(dir / "baseline.jpg", 65500, 65500, false), tooMany},
        // 268 megapixels in several scans: 768 MiB of coefficients.
        {writeJpegBomb(dir / "coefficients.jpg", 16384, 16384, true), tooLarge},
        {writePngBomb(dir / "rows.png", 65535, 65535), tooMany},
        {writePngBomb(dir / "interlaced.png", 16000, 16000, true), tooLarge},
    };
    for (const auto& [file, reason] : bombs) {
        const Decoded decoded = decodePicture(file, 32);
        EXPECT_FALSE(decoded.picture) << file;
        EXPECT_NE(decoded.error.find(reason), std::string::npos) << file << ": " << decoded.error;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 300 * 1024) << "peak resident kilobytes";
}

// A JPEG of more scans than a decoder takes is refused wherever a JPEG is decoded: a file, a RAW's
// preview (whose raw data is developed instead) and a lossy DNG's data.
TEST(DecoderChoice, RefusesJpegsOfTooManyScans) {
    TempDir dir;
    const std::string refusal = "a JPEG of more than 256 scans";
    const Decoded file =
        decodePicture(writeJpegOfKind(dir / "scans.jpg", 1, JpegKind::ManyScans), 32);
    EXPECT_FALSE(file.picture);
    EXPECT_EQ(file.error, "libjpeg: " + refusal);

    const PhotoPixels photo = photoPixels(1);
    const log::Capture capture;
    const Decoded preview =
        decodePicture(writeDng(dir / "preview.dng", photo, {1, DngPreview::ManyScans, 0}), 32);
    EXPECT_TRUE(preview.picture) << preview.error;
    EXPECT_TRUE(capture.contains("LibRaw: the embedded preview does not decode (" + refusal +
                                 "): developing the raw data at half size"));

    const Decoded lossy =
        decodePicture(writeLossyDng(dir / "lossy.dng", photo, JpegKind::Baseline), 32);
    EXPECT_TRUE(lossy.picture) << lossy.error;
    const Decoded lossyScans =
        decodePicture(writeLossyDng(dir / "lossy-scans.dng", photo, JpegKind::ManyScans), 32);
    EXPECT_FALSE(lossyScans.picture);
    EXPECT_EQ(lossyScans.error, "LibRaw: " + refusal + " in the raw data");
}

// Every format refuses a file cut short, even by a byte after its last pixel.
TEST(DecoderChoice, RefusesTruncatedFilesInEveryFormat) {
    TempDir dir;
    const std::vector<std::string> types = readableImageTypes();
    const PhotoPixels photo = photoPixels(1);
    for (const std::string format : {"png", "png[interlace]", "gif", "tif", "tif[tile]", "webp",
                                     "heic", "avif", "jxl", "jp2", "ppm", "bmp"}) {
        const std::string suffix = format.substr(0, format.find('['));
        if (std::ranges::count(types, suffix) == 0)
            continue; // not installed here
        // libvips takes save options in brackets after the name.
        const auto file = writePicture(dir / ("photo." + format), photo);
        ASSERT_TRUE(decodePicture(file, 32).picture) << format;
        const auto size = std::filesystem::file_size(file);
        for (const std::uintmax_t keep :
             {size - 1, size - 2, size - 4, size - 13, size * 3 / 4, size / 2, size / 5}) {
            const auto cut = writeTruncatedCopy(file, dir / ("cut." + suffix), keep);
            const Decoded decoded = decodePicture(cut, 32);
            EXPECT_FALSE(decoded.picture) << format << " cut to " << keep << " of " << size;
        }
    }
}

// Cut anywhere, junk before the end marker, a marker in the middle of the data: refused, whatever
// the kind.
TEST(DecoderChoice, RefusesCutAndCorruptJpegsOfEveryKind) {
    TempDir dir;
    for (const JpegKind kind : kJpegKinds) {
        const std::string name(nameOf(kind));
        const auto good = writeJpegOfKind(dir / (name + ".jpg"), 2, kind);
        ASSERT_TRUE(decodePicture(good, 32).picture) << name;
        const auto size = std::filesystem::file_size(good);
        std::vector<std::filesystem::path> broken;
        for (const std::uintmax_t keep :
             {size - 1, size - 2, size - 3, size - 40, size * 3 / 4, size / 2, std::uintmax_t{700}})
            broken.push_back(writeTruncatedCopy(
                good, dir / (name + "-cut" + std::to_string(keep) + ".jpg"), keep));
        broken.push_back(writeJpegWithJunkAtTheEnd(good, dir / (name + "-junk.jpg"), 40));
        for (const auto at : {size / 2, size * 2 / 3, size - 100})
            broken.push_back(writeOverwrittenCopy(
                good, dir / (name + "-marker" + std::to_string(at) + ".jpg"), at, "\xFF\xD3"));
        for (const auto& file : broken) {
            const Decoded decoded = decodePicture(file, 32);
            EXPECT_FALSE(decoded.picture) << file;
            EXPECT_TRUE(decoded.error.starts_with("libjpeg: ")) << file << ": " << decoded.error;
        }
    }
}

} // namespace
} // namespace lumsift
