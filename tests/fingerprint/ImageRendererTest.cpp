// Tests of the image renderer: readable types, shrink-on-load, orientation, colour conversion,
// the stretch to N x N and odd files.
#include "fingerprint/ImageRenderer.h"

#include "fingerprint/Vips.h"
#include "platform/log/Log.h"
#include "tests/support/TestImages.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace lumsift {
namespace {

using namespace testimages;

const std::filesystem::path kData = LUMSIFT_TEST_DATA;

template <int N> using Grid = std::array<uint8_t, 4 * N * N>;

template <int N> Grid<N> render(const std::filesystem::path& file, int largestGrid = N) {
    const Decoded decoded = decodePicture(file, largestGrid);
    if (!decoded.picture)
        throw std::runtime_error("cannot decode " + file.string() + ": " + decoded.error);
    Grid<N> grid{};
    decoded.picture->render(N, grid);
    return grid;
}

// Writes an image made of `rgb` pixels (3 bytes each) with libvips, optionally with an EXIF
// orientation.
std::filesystem::path writeRgb(const std::filesystem::path& file, const std::vector<uint8_t>& rgb,
                               int width, int height, int orientation = 0) {
    vips::start();
    vips::Result image = vips::call([&](VipsImage** out) {
        *out = vips_image_new_from_memory_copy(rgb.data(), rgb.size(), width, height, 3,
                                               VIPS_FORMAT_UCHAR);
        return *out == nullptr ? -1 : 0;
    });
    if (orientation != 0) {
        image =
            vips::call([&](VipsImage** out) { return vips_copy(image.image.get(), out, nullptr); });
        vips_image_set_int(image.image.get(), VIPS_META_ORIENTATION, orientation);
    }
    if (!image || vips_image_write_to_file(image.image.get(), file.c_str(), nullptr) != 0)
        throw std::runtime_error("cannot write " + file.string());
    return file;
}

// Left half red and right half blue.
std::vector<uint8_t> redBlue(int width, int height) {
    std::vector<uint8_t> rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool left = x < width / 2;
            rgb.insert(rgb.end(), {uint8_t(left ? 255 : 0), 0, uint8_t(left ? 0 : 255)});
        }
    return rgb;
}

bool near(int a, int b, int tolerance = 2) {
    return std::abs(a - b) <= tolerance;
}

TEST(ImageRenderer, ReadableTypesArePictureSuffixesInBothCases) {
    const std::vector<std::string> types = readableImageTypes();
    auto has = [&](const std::string& type) {
        return std::find(types.begin(), types.end(), type) != types.end();
    };
    for (const std::string& type : types) {
        std::string lower = type;
        std::string upper = type;
        std::transform(type.begin(), type.end(), lower.begin(), ::tolower);
        std::transform(type.begin(), type.end(), upper.begin(), ::toupper);
        EXPECT_TRUE(has(lower) && has(upper)) << type;
    }
    for (const char* type : {"jpg", "jpeg", "png", "gif", "tif", "tiff", "webp", "ppm"})
        EXPECT_TRUE(has(type)) << type;
    for (const char* type : {"csv", "mat", "v", "vips", "raw", "pdf", "svg", "fits", "exr"})
        EXPECT_FALSE(has(type)) << type;
    EXPECT_EQ(std::count(types.begin(), types.end(), "jpg"), 1);
}

TEST(ImageRenderer, FileUrlEscapesWhatAUrlPathCannotHold) {
    EXPECT_EQ(fileUrlText("/photos/My Cat #1.jpg"), "file:///photos/My%20Cat%20%231.jpg");
    EXPECT_EQ(fileUrlText("/a/%b.png"), "file:///a/%25b.png");
    EXPECT_EQ(fileUrlText("/\xC3\xA9t\xC3\xA9.jpg"), "file:///%C3%A9t%C3%A9.jpg");
}

TEST(ImageRenderer, StretchesTheWholePictureWithoutCropping) {
    TempDir dir;
    // Wide and tall pictures alike fill the whole square: the left half stays red, the right
    // half blue, in every row.
    for (const auto& [width, height] : {std::pair{400, 100}, {100, 400}, {333, 333}}) {
        const auto file = writeRgb(dir / "halves.png", redBlue(width, height), width, height);
        const auto grid = render<8>(file);
        for (int r = 0; r < 8; ++r) {
            for (int c : {0, 1, 2, 5, 6, 7}) {
                const uint8_t* pixel = &grid[4 * (8 * r + c)];
                EXPECT_TRUE(near(pixel[0], c < 4 ? 255 : 0)) << width << "x" << height << " " << c;
                EXPECT_TRUE(near(pixel[2], c < 4 ? 0 : 255)) << width << "x" << height << " " << c;
                EXPECT_EQ(pixel[3], 255);
            }
        }
    }
}

TEST(ImageRenderer, ReadsEveryPictureFormat) {
    TempDir dir;
    const std::vector<std::string> types = readableImageTypes();
    for (const char* suffix :
         {"jpg", "png", "gif", "tif", "webp", "avif", "heic", "jp2", "jxl", "ppm", "bmp"}) {
        if (std::find(types.begin(), types.end(), suffix) == types.end())
            continue; // not installed here
        const auto file =
            writeRgb(dir / (std::string("halves.") + suffix), redBlue(96, 64), 96, 64);
        const auto grid = render<8>(file);
        for (int r = 0; r < 8; ++r) {
            const uint8_t* left = &grid[4 * (8 * r)];
            const uint8_t* right = &grid[4 * (8 * r + 7)];
            EXPECT_TRUE(left[0] > 200 && left[2] < 60) << suffix;
            EXPECT_TRUE(right[0] < 60 && right[2] > 200) << suffix;
        }
    }
}

TEST(ImageRenderer, AppliesAnEmbeddedColourProfile) {
    TempDir dir;
    vips::start();
    const auto plain = writeRgb(dir / "plain.png", redBlue(96, 64), 96, 64);
    // The same pixels tagged with the sRGB profile: the profile is applied, nothing changes much.
    vips::Result tagged = vips::call([&](VipsImage** out) {
        *out = vips_image_new_from_file(plain.c_str(), nullptr);
        return *out == nullptr ? -1 : 0;
    });
    ASSERT_TRUE(tagged);
    ASSERT_TRUE(tagged = vips::call([&](VipsImage** out) {
                    return vips_icc_transform(tagged.image.get(), out, "srgb", "input_profile",
                                              "srgb", nullptr);
                }));
    ASSERT_NE(vips_image_get_typeof(tagged.image.get(), VIPS_META_ICC_NAME), 0u);
    const auto file = dir / "tagged.png";
    ASSERT_EQ(vips_image_write_to_file(tagged.image.get(), file.c_str(), nullptr), 0);
    const auto expected = render<8>(plain);
    const log::Capture capture;
    const auto grid = render<8>(file);
    for (const std::string& line : capture.lines())
        EXPECT_EQ(line.find("colour profile not applied"), std::string::npos) << line;
    for (size_t i = 0; i < grid.size(); ++i)
        EXPECT_TRUE(near(grid[i], expected[i], 3)) << i;
}

TEST(ImageRenderer, UniformColourStaysExact) {
    TempDir dir;
    for (const auto& [width, height] : {std::pair{1, 1}, {3, 2}, {1, 900}, {640, 480}}) {
        const auto file = writeSolid(dir / "solid.png", width, height, 12, 200, 77);
        const auto grid = render<32>(file);
        for (size_t i = 0; i < grid.size(); i += 4) {
            ASSERT_EQ(grid[i], 12) << width << "x" << height;
            ASSERT_EQ(grid[i + 1], 200);
            ASSERT_EQ(grid[i + 2], 77);
            ASSERT_EQ(grid[i + 3], 255);
        }
    }
}

TEST(ImageRenderer, ShrinksToTwiceTheLargestGrid) {
    TempDir dir;
    const auto file = writeSolid(dir / "large.jpg", 1000, 800, 90, 90, 90);
    Decoded decoded = decodePicture(file, 32);
    ASSERT_TRUE(decoded.picture) << decoded.error;
    EXPECT_EQ(decoded.picture->width(), 125); // DCT-scaled 1/8: both sides still at least 64
    EXPECT_EQ(decoded.picture->height(), 100);

    // DCT-scaled 1/2 (the height may not go below 64), then the width box-shrunk by 15.
    const auto strip = writeSolid(dir / "strip.jpg", 2000, 200, 90, 90, 90);
    decoded = decodePicture(strip, 32);
    ASSERT_TRUE(decoded.picture) << decoded.error;
    EXPECT_EQ(decoded.picture->width(), 67); // 1000 / 15, rounded
    EXPECT_EQ(decoded.picture->height(), 100);

    // No shrink-on-load in PNG: box-shrunk as it streams in.
    const auto png = writeSolid(dir / "large.png", 1000, 800, 90, 90, 90);
    decoded = decodePicture(png, 8);
    ASSERT_TRUE(decoded.picture) << decoded.error;
    EXPECT_EQ(decoded.picture->width(), 16);  // 1000 / 62
    EXPECT_EQ(decoded.picture->height(), 16); // 800 / 50

    decoded = decodePicture(file, 0);
    ASSERT_TRUE(decoded.picture) << decoded.error;
    EXPECT_EQ(decoded.picture->width(), 1000);
}

TEST(ImageRenderer, ShrinksWebpOnLoad) {
    TempDir dir;
    const auto file = writeSolid(dir / "large.webp", 1000, 800, 90, 90, 90);
    const Decoded decoded = decodePicture(file, 32);
    ASSERT_TRUE(decoded.picture) << decoded.error;
    EXPECT_GE(decoded.picture->height(), 64);
    EXPECT_GE(decoded.picture->width(), 64);
    EXPECT_LT(decoded.picture->width(), 1000);
}

TEST(ImageRenderer, TurnsPicturesUprightByTheirOrientation) {
    TempDir dir;
    // Stored turned anticlockwise with orientation 6 ("turn clockwise to show"): shown upright,
    // red on the left.
    const int width = 120;
    const int height = 80;
    const std::vector<uint8_t> upright = redBlue(width, height);
    std::vector<uint8_t> stored(upright.size());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int k = 0; k < 3; ++k) // stored is height wide, width tall
                stored[3 * ((width - 1 - x) * height + y) + k] = upright[3 * (y * width + x) + k];
    const auto file = writeRgb(dir / "turned.jpg", stored, height, width, 6);
    const Decoded decoded = decodePicture(file, 8);
    ASSERT_TRUE(decoded.picture) << decoded.error;
    EXPECT_EQ(decoded.picture->width(), width / 4); // upright, and shrunk on load to 1/4
    EXPECT_EQ(decoded.picture->height(), height / 4);
    const auto grid = render<8>(file);
    EXPECT_GT(grid[0], 200); // top left red
    EXPECT_LT(grid[2], 60);
    EXPECT_GT(grid[4 * 7 + 2], 200); // top right blue
    EXPECT_GT(grid[4 * 56], 200);    // bottom left red
}

// What libvips' own autorotation shows for `file`, rendered n x n as an 8 x 8 grid is.
template <int N> Grid<N> renderedByVipsAutorot(const std::filesystem::path& file) {
    vips::Result image = vips::call([&](VipsImage** out) {
        *out = vips_image_new_from_file(file.c_str(), nullptr);
        return *out == nullptr ? -1 : 0;
    });
    image =
        vips::call([&](VipsImage** out) { return vips_autorot(image.image.get(), out, nullptr); });
    size_t size = 0;
    void* bytes = vips_image_write_to_memory(image.image.get(), &size);
    if (bytes == nullptr)
        throw std::runtime_error("libvips cannot turn " + file.string());
    const Picture upright = Picture::fromBytes(std::span(static_cast<const uint8_t*>(bytes), size),
                                               image.image.get()->Xsize, image.image.get()->Ysize,
                                               image.image.get()->Bands, 0, 1);
    g_free(bytes);
    Grid<N> grid{};
    upright.render(N, grid);
    return grid;
}

TEST(ImageRenderer, AppliesEveryOrientationAsLibvipsDoes) {
    TempDir dir;
    // Four quadrants of different colours on a wide picture, their edges on whole blocks of every
    // shrink.
    const int width = 128;
    const int height = 96;
    std::vector<uint8_t> rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int quadrant = (y < height / 2 ? 0 : 2) + (x < width / 2 ? 0 : 1);
            const uint8_t colours[4][3] = {
                {250, 20, 20}, {20, 250, 20}, {20, 20, 250}, {240, 240, 20}};
            rgb.insert(rgb.end(), colours[quadrant], colours[quadrant] + 3);
        }
    for (int orientation = 1; orientation <= 8; ++orientation) {
        for (const char* suffix : {"jpg", "png", "webp"}) {
            const auto file =
                writeRgb(dir / ("oriented" + std::to_string(orientation) + "." + suffix), rgb,
                         width, height, orientation);
            const auto expected = renderedByVipsAutorot<8>(file);
            const auto grid = render<8>(file);
            for (size_t i = 0; i < grid.size(); ++i)
                ASSERT_TRUE(near(grid[i], expected[i], 8))
                    << suffix << " orientation " << orientation << " byte " << i << ": "
                    << int(grid[i]) << " against " << int(expected[i]);
        }
    }
}

TEST(ImageRenderer, ReadsAwkwardFiles) {
    // CMYK JPEG, 16-bit grey PNG, a one-pixel GIF and a strip one pixel high.
    const auto cmyk = render<8>(kData / "cmyk.jpg");
    EXPECT_EQ(cmyk[3], 255);
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
        ASSERT_TRUE(near(greyAlpha[i + 3], 128, 1));
        ASSERT_EQ(greyAlpha[i], greyAlpha[i + 1]);
        ASSERT_LE(greyAlpha[i], greyAlpha[i + 3]);
    }
    // 16 bits a sample with an opaque alpha band: the colours of the same picture in 8 bits.
    const auto deep = render<8>(kData / "rgba16.png");
    const auto shallow = render<8>(kData / "rgb8.png");
    for (size_t i = 0; i < deep.size(); ++i)
        ASSERT_TRUE(near(deep[i], shallow[i], 1)) << i;
    const auto strip = render<32>(kData / "wide-strip.png");
    EXPECT_EQ(strip[4 * 5], strip[4 * (32 * 31 + 5)]); // every row the same
}

TEST(ImageRenderer, RefusesWhatIsNoPicture) {
    TempDir dir;
    EXPECT_FALSE(decodePicture(kData / "truncated-scan.jpg", 32).picture);
    EXPECT_FALSE(decodePicture(dir / "missing.png", 32).picture);
    EXPECT_FALSE(decodePicture(writeBytes(dir / "empty.png", ""), 32).picture);
    EXPECT_FALSE(decodePicture(writeBytes(dir / "data.csv", "1,2,3\n4,5,6\n"), 32).picture);
    // A matrix file under a picture's name is not read by the matrix loader.
    const Decoded matrix = decodePicture(writeBytes(dir / "matrix.jpg", "2 2\n1 2\n3 4\n"), 32);
    EXPECT_FALSE(matrix.picture);
    EXPECT_FALSE(matrix.error.empty());
}

} // namespace
} // namespace lumsift
