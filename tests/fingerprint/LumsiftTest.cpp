// The fingerprint calculator and the distance: grid-level edge cases in both byte layouts, a
// cross-check against a plain second computation, bad input to prepare, and real files.
#include "fingerprint/Lumsift.h"

#include "fingerprint/DecoderChoice.h"
#include "platform/log/Log.h"
#include "tests/support/HostileImages.h"
#include "tests/support/RawImages.h"
#include "tests/support/TestImages.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <numbers>
#include <optional>
#include <random>
#include <tuple>

namespace lumsift {
namespace {

using Rgb = std::array<uint8_t, 3>;
using namespace testimages;

// Writes `colour(pixel index)` into an N x N grid of `calc` in the given layout; the alpha byte
// gets 77 so that a computation reading it, or mistaking the layout, would show in the greys.
template <int N>
void fill(Lumsift& calc, PixelGrid<N>& grid, bool alphaFirst,
          const std::function<Rgb(int)>& colour) {
    calc.setAlphaFirst(alphaFirst);
    for (int i = 0; i < N * N; ++i) {
        const Rgb rgb = colour(i);
        grid[4 * i + (alphaFirst ? 0 : 3)] = 77;
        std::copy(rgb.begin(), rgb.end(), &grid[4 * i + (alphaFirst ? 1 : 0)]);
    }
}

Rgb grey(int g) {
    return {uint8_t(g), uint8_t(g), uint8_t(g)};
}

int sumOf(const Rgb& rgb) {
    return rgb[0] + rgb[1] + rgb[2];
}

TEST(Lumsift, PlainAndPlusEdgeCases) {
    // The cells whose bit is set in `cells` are `on`, the others `off`.
    struct Case {
        Rgb on, off;
        uint64_t cells, plain, freshPlus, plusAfterPlain;
    };
    constexpr uint64_t kEven = 0x5555555555555555u;
    const Case cases[] = {
        {grey(0), grey(0), 0, 1, 1, 1},
        {grey(255), grey(255), 0, 1, 1, 1},
        {{12, 200, 77}, {12, 200, 77}, 0, 1, 1, 1},
        {{3, 3, 3}, {3, 3, 3}, 0, 1, 1, 1},               // S mod 3 = 0
        {{1, 1, 2}, {1, 1, 2}, 0, 1, 1, 1},               // S mod 3 = 1
        {{1, 2, 2}, {1, 2, 2}, 0, 1, ~0ull, 1},           // S mod 3 = 2
        {grey(127), grey(128), kEven, 1, ~kEven, ~kEven}, // mean 127.5 rounds to 128
        {grey(255), grey(0), 0x20, 0x20, 0x20, 0x20},
        {grey(255), grey(0), 0xFF, 0xFF, 0xFF, 0xFF},
        {{1, 1, 0}, grey(0), kEven, 1, kEven, 1}, // S = 2 and 0
    };
    Lumsift calc;
    for (const Case& c : cases) {
        const auto colour = [&c](int i) { return (c.cells >> i) & 1 ? c.on : c.off; };
        // Every pixel is left as four bytes of its grey: truncated, or rounded for plus.
        const auto expectGreys = [&](int rounding) {
            for (int i = 0; i < 256; ++i)
                ASSERT_EQ(calc.grid8()[i], (sumOf(colour(i / 4)) + rounding) / 3) << "byte " << i;
        };
        for (const bool alphaFirst : {false, true}) {
            SCOPED_TRACE("case " + std::to_string(&c - cases) +
                         (alphaFirst ? ", alpha first" : ""));
            fill<8>(calc, calc.grid8(), alphaFirst, colour);
            EXPECT_EQ(calc.calculateLumsift(true), c.freshPlus);
            expectGreys(1);
            fill<8>(calc, calc.grid8(), alphaFirst, colour);
            EXPECT_EQ(calc.calculateLumsift(false), c.plain);
            expectGreys(0);
            EXPECT_EQ(calc.calculateLumsift(false), c.plain);
            EXPECT_EQ(calc.calculateLumsift(true), c.plusAfterPlain);
        }
    }
}

TEST(Lumsift, ProEdgeCasesLeaveTheGrid) {
    const std::pair<std::function<Rgb(int)>, uint64_t> cases[] = {
        {[](int) { return grey(0); }, 1},
        {[](int i) { return grey(i % 32 < 16 ? 0 : 255); }, 0xFFFFFFFFFFFFFFDDu}, // left half black
        {[](int i) { return grey(i % 32 < 16 ? 255 : 0); }, 0x23u},
        {[](int i) { return grey(i < 512 ? 255 : 0); }, 0x0000010000000101u}}; // top half white
    Lumsift calc;
    for (const auto& [colour, expected] : cases) {
        for (const bool alphaFirst : {false, true}) {
            fill<32>(calc, calc.grid32(), alphaFirst, colour);
            const PixelGrid<32> before = calc.grid32();
            EXPECT_EQ(calc.calculateHashPro(), expected);
            EXPECT_EQ(calc.grid32(), before); // alpha bytes 77 included
            EXPECT_EQ(calc.calculateHashPro(), expected);
        }
    }
}

// Plain: the truncated greys against their mean rounded half up. Plus: the rounded greys
// against the mid-range of the truncated ones; after plain, of the plain greys. In integers.
uint64_t referenceLumsift(const std::vector<Rgb>& cells, bool plus, bool afterPlain) {
    std::array<int, 64> sums{};
    int total = 0, lowest = 255, highest = 0;
    for (int i = 0; i < 64; ++i) {
        sums[i] = afterPlain ? 3 * (sumOf(cells[i]) / 3) : sumOf(cells[i]);
        total += sums[i] / 3;
        lowest = std::min(lowest, sums[i] / 3);
        highest = std::max(highest, sums[i] / 3);
    }
    uint64_t hash = 0;
    for (int i = 0; i < 64; ++i) {
        const bool set =
            plus ? 2 * ((sums[i] + 1) / 3) > lowest + highest : sums[i] / 3 > (total + 32) / 64;
        hash |= uint64_t{set} << i;
    }
    return hash == 0 ? 1 : hash;
}

// Pro with the unnormalised DCT-I written out by its definition along both dimensions,
// Y[k] = X[0] + (-1)^k X[31] + 2 sum_{j=1}^{30} X[j] cos(pi j k / 31), in long double.
// None where a coefficient lies within 1e-6 of the mean: the definition leaves its bit to the
// transform's rounding.
std::optional<uint64_t> referencePro(const std::vector<Rgb>& pixels) {
    long double basis[8][32];
    for (int k = 0; k < 8; ++k)
        for (int j = 0; j < 32; ++j)
            basis[k][j] = (j == 0 || j == 31 ? 1.0L : 2.0L) *
                          std::cos(std::numbers::pi_v<long double> * j * k / 31.0L);
    double coefficient[8][8];
    float accumulator = 0;
    for (int u = 0; u < 8; ++u) {
        for (int v = 0; v < 8; ++v) {
            long double sum = 0;
            for (int i = 0; i < 1024; ++i)
                sum += basis[u][i / 32] * basis[v][i % 32] * (sumOf(pixels[i]) / 3);
            coefficient[u][v] = static_cast<double>(sum);
            accumulator = static_cast<float>(static_cast<double>(accumulator) + coefficient[u][v]);
        }
    }
    const float mean =
        static_cast<float>(static_cast<double>(accumulator) - coefficient[0][0]) / 63.0f;
    uint64_t hash = 0;
    for (int i = 0; i < 64; ++i) {
        const double value = coefficient[i / 8][i % 8];
        if (std::abs(value - static_cast<double>(mean)) < 1e-6)
            return std::nullopt;
        hash |= uint64_t{value > static_cast<double>(mean)} << i;
    }
    return hash == 0 ? 1 : hash;
}

enum class Kind { Noise, Gradient, Blocks };

// A random n x n picture of the kind, row by row.
std::vector<Rgb> randomPicture(Kind kind, std::mt19937& random, int n) {
    std::array<double, 12> p{}; // a smooth, non-separable field per channel
    for (double& value : p)
        value = static_cast<double>(random() % 1000) / 1000.0;
    // Blocks: mostly halves, quarters or eighths; now and then one uniform block, whose zero
    // coefficients lie at the mean.
    const int block = random() % 8 == 0 ? n : std::max(1, n / (2 << (random() % 3)));
    std::vector<Rgb> palette(64);
    for (Rgb& colour : palette)
        colour = {uint8_t(random()), uint8_t(random()), uint8_t(random())};
    std::vector<Rgb> pixels(n * n);
    for (int i = 0; i < n * n; ++i) {
        const double y = static_cast<double>(i / n) / n, x = static_cast<double>(i % n) / n;
        for (int k = 0; k < 3; ++k) {
            const double wave = std::sin(6 * p[4 * k] * x + 6 * p[4 * k + 1] * y * y +
                                         4 * p[4 * k + 2] * x * y + 3 * p[4 * k + 3]);
            pixels[i][k] = kind == Kind::Noise ? uint8_t(random())
                           : kind == Kind::Gradient
                               ? uint8_t(127.5 + 127 * wave)
                               : palette[(i / n / block * 8 + i % n / block) % 64][k];
        }
    }
    return pixels;
}

TEST(Lumsift, AgreesWithPlainSecondComputation) {
    Lumsift calc;
    std::mt19937 random(20261206);
    int nearMean = 0;
    for (const Kind kind : {Kind::Noise, Kind::Gradient, Kind::Blocks}) {
        for (int round = 0; round < 120; ++round) {
            SCOPED_TRACE("kind " + std::to_string(int(kind)) + " round " + std::to_string(round));
            const bool alphaFirst = round % 2 == 1;
            const std::vector<Rgb> small = randomPicture(kind, random, 8);
            const auto cell = [&small](int i) { return small[i]; };
            fill<8>(calc, calc.grid8(), alphaFirst, cell);
            ASSERT_EQ(calc.calculateLumsift(true), referenceLumsift(small, true, false));
            fill<8>(calc, calc.grid8(), alphaFirst, cell);
            ASSERT_EQ(calc.calculateLumsift(false), referenceLumsift(small, false, false));
            ASSERT_EQ(calc.calculateLumsift(true), referenceLumsift(small, true, true));

            const std::vector<Rgb> large = randomPicture(kind, random, 32);
            fill<32>(calc, calc.grid32(), alphaFirst, [&large](int i) { return large[i]; });
            const std::optional<uint64_t> expected = referencePro(large);
            nearMean += !expected; // counted apart
            if (expected) {
                ASSERT_EQ(calc.calculateHashPro(), *expected);
            }
        }
    }
    std::printf("Pro compared on 360 grids, %d left apart (a coefficient near the mean)\n",
                nearMean);
    EXPECT_LE(nearMean, 36);
}

TEST(Lumsift, RotationsAndDistances) {
    const std::pair<uint64_t, uint64_t> turns[] = {{0x1, 0x80},
                                                   {0x80, 0x8000000000000000u},
                                                   {0x8000000000000000u, 0x0100000000000000u},
                                                   {0xFF, 0x8080808080808080u},
                                                   {0x0101010101010101u, 0xFF},
                                                   {0xFF00000000000000u, 0x0101010101010101u},
                                                   {0x0F0F0F0F00000000u, 0x0F0F0F0Fu},
                                                   {0x0102040810204080u, 0x8040201008040201u}};
    for (const auto& [from, to] : turns)
        EXPECT_EQ(Lumsift::rotateLeft(from), to) << std::hex << from;
    EXPECT_EQ(Lumsift::distanceCalc(0x1234, 0x1234), 0);
    EXPECT_EQ(Lumsift::distanceCalc(0x0F0F0F0F0F0F0F0Fu, ~0x0F0F0F0F0F0F0F0Fu), 64);
    EXPECT_EQ(Lumsift::distanceCalc(0b1011, 0b0110), 3);
    EXPECT_EQ(Lumsift::hammingDistance(0xFF, 0x0101010101010101u, true), 0);
    EXPECT_EQ(Lumsift::hammingDistance(0xFF, 0x0101010101010101u, false), 14);
    EXPECT_EQ(Lumsift::hammingDistance(0x1, 0x8000000000000000u, true), 0);
    EXPECT_EQ(Lumsift::hammingDistance(0x1, 0x8000000000000000u, false), 2);

    std::mt19937_64 random(42);
    for (int i = 0; i < 10000; ++i) {
        const uint64_t a = random();
        const uint64_t b = random() & random();
        uint64_t turned = 0; // bit 8r + c to bit 8c + 7 - r
        for (int bit = 0; bit < 64; ++bit)
            turned |= ((a >> bit) & 1) << (8 * (bit % 8) + 7 - bit / 8);
        ASSERT_EQ(Lumsift::rotateLeft(a), turned);
        ASSERT_EQ(Lumsift::rotateLeft(Lumsift::rotateLeft(Lumsift::rotateLeft(turned))), a);
        int64_t least = 64;
        for (uint64_t t = b, k = 0; k < 4; ++k, t = Lumsift::rotateLeft(t))
            least = std::min<int64_t>(least, std::popcount(a ^ t));
        ASSERT_EQ(Lumsift::hammingDistance(a, b, true), least);
        ASSERT_EQ(Lumsift::hammingDistance(b, a, true), least);
        ASSERT_EQ(Lumsift::hammingDistance(a, b, false), std::popcount(a ^ b));
    }
}

// Both grids and the layout flag, to show what a prepare changed.
using GridState = std::tuple<PixelGrid<8>, PixelGrid<32>, bool>;

GridState stateOf(Lumsift& calc) {
    return {calc.grid8(), calc.grid32(), calc.isAlphaFirst()};
}

// Fills both grids with a pattern and sets alpha first, so that any change shows.
GridState markGrids(Lumsift& calc) {
    for (size_t i = 0; i < calc.grid32().size(); ++i)
        calc.grid32()[i] = static_cast<uint8_t>(i * 13);
    std::copy_n(calc.grid32().begin() + 7, calc.grid8().size(), calc.grid8().begin());
    calc.setAlphaFirst(true);
    return stateOf(calc);
}

TEST(Lumsift, FileUrlEscapesWhatAUrlPathCannotHold) {
    EXPECT_EQ(fileUrlText("/photos/My Cat #1.jpg"), "file:///photos/My%20Cat%20%231.jpg");
    EXPECT_EQ(fileUrlText("/a/%b.png"), "file:///a/%25b.png");
    EXPECT_EQ(fileUrlText("/\xC3\xA9t\xC3\xA9.jpg"), "file:///%C3%A9t%C3%A9.jpg");
}

TEST(Lumsift, SupportedTypeIsTheExactExtensionOfTheLastComponent) {
    Lumsift calc;
    EXPECT_EQ(calc.imageTypes(), readableImageTypes());
    log::Capture capture;
    EXPECT_TRUE(calc.supportedImageType("/photos/a.b/IMG_1.JPG"));
    EXPECT_TRUE(calc.supportedImageType("holiday.tar.jpeg"));
    EXPECT_TRUE(calc.supportedImageType("/photos/.png"));
    EXPECT_TRUE(capture.lines().empty());
    for (const char* path : {"/photos/a.jpg/readme", "/photos/IMG_1.Jpg", "/photos/noext",
                             "/photos/trailing.", "/photos/notes.txt", ""}) {
        EXPECT_FALSE(calc.supportedImageType(path)) << path;
        EXPECT_TRUE(capture.contains(std::string("Image type not supported: ") + path)) << path;
    }
}

TEST(Lumsift, BadFilesFailWithTheirLogLineAndKeepTheGrids) {
    TempDir dir;
    const auto png = writePhoto(dir / "photo.png", 1, Variant::Original, Format::Png);
    std::filesystem::create_directory(dir / "folder.jpg");
    const auto mixedCase = writePhoto(dir / "photo.JpG", 1); // read, were its type supported
    const auto raw = writeDng(dir / "shot.dng", photoPixels(1));
    const std::filesystem::path bad[] = {
        mixedCase,
        writeBytes(dir / "data.csv", "1,2,3\n4,5,6\n"),
        dir / "missing.jpg",
        writeBytes(dir / "empty.jpg", ""),
        writeTruncatedCopy(png, dir / "truncated.png", std::filesystem::file_size(png) / 2),
        writeBytes(dir / "text.png", "This is not a picture, only some words.\n"),
        writeBytes(dir / "drawing.jpg", "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" "
                                        "height=\"10\"><rect width=\"10\" height=\"10\"/></svg>"),
        writeBytes(dir / "matrix.jpg", "2 2\n1 2\n3 4\n"), // a libvips matrix file
        dir / "folder.jpg",
        std::filesystem::path(LUMSIFT_TEST_DATA) / "truncated-scan.jpg",
        writeJpegOfKind(dir / "many-scans.jpg", 1, JpegKind::ManyScans),
        writeBytes(dir / "garbage.NEF", "This is no camera's RAW file.\n"),
        writeTruncatedCopy(raw, dir / "truncated.dng", std::filesystem::file_size(raw) / 2),
        writeDngWithJunkData(dir / "junk-lossless-jpeg.dng", 1024, 768, 7, 4000),
        writeDngWithJunkData(dir / "junk-uncompressed.dng", 1024, 768, 1, 4000),
    };
    Lumsift calc;
    for (const auto& file : bad) {
        const bool supported = file.extension() != ".csv" && file != mixedCase;
        for (const auto& [eightX8, thirty2x32] :
             {std::pair{true, true}, {true, false}, {false, true}}) {
            const GridState before = markGrids(calc);
            log::Capture capture;
            EXPECT_FALSE(calc.prepareImageData(file, eightX8, thirty2x32)) << file;
            const std::vector<std::string> lines = capture.lines();
            if (!supported) {
                // The file is not opened: the type's line is the only one.
                EXPECT_EQ(lines, std::vector{"Image type not supported: " + file.string()});
            } else {
                ASSERT_GE(lines.size(), 2u) << file;
                EXPECT_EQ(lines.back(), "Couldn't load image: " + fileUrlText(file));
                EXPECT_TRUE(lines[lines.size() - 2].starts_with("Decoding failed: ")) << file;
                EXPECT_FALSE(lines[lines.size() - 2].ends_with('\n')) << file; // one line each
            }
            EXPECT_EQ(stateOf(calc), before) << file;
        }
        EXPECT_EQ(calc.visualHash(file, true), 0u);
        EXPECT_EQ(calc.visualHashPro(file), 0u);
    }
}

// A picture whose header declares no pixel on a side fails as a file that does not decode, in
// every readable format whose header can say so (a JPEG XL header cannot).
TEST(Lumsift, PicturesDeclaringAZeroSideFailWithTheLoadLine) {
    TempDir dir;
    const std::vector<std::string> types = readableImageTypes();
    const auto dng = writeDng(dir / "shot.dng", photoPixels(1));
    Lumsift calc;
    for (const auto& [zeroWidth, zeroHeight] :
         {std::pair{true, false}, {false, true}, {true, true}}) {
        const uint16_t width = zeroWidth ? 0 : 10, height = zeroHeight ? 0 : 10;
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        std::vector<std::filesystem::path> files = {
            writeGifBomb(dir / (size + ".gif"), width, height),
            writePngBomb(dir / (size + ".png"), width, height),
            writeBytes(dir / (size + ".ppm"),
                       "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n"),
            writeZeroSideCopy(dng, dir / (size + ".dng"), zeroWidth, zeroHeight),
        };
        for (const std::string suffix : {"jpg", "tif", "bmp", "webp", "heic", "avif", "jp2"}) {
            if (std::ranges::count(types, suffix) == 0)
                continue; // not installed here
            const auto solid = writeSolid(dir / ("solid." + suffix), 16, 12, 90, 90, 90);
            files.push_back(
                writeZeroSideCopy(solid, dir / (size + "." + suffix), zeroWidth, zeroHeight));
        }
        for (const auto& file : files) {
            const log::Capture capture;
            EXPECT_FALSE(calc.prepareImageData(file, true, true)) << file;
            const std::vector<std::string> lines = capture.lines();
            EXPECT_EQ(lines.empty() ? "" : lines.back(),
                      "Couldn't load image: " + fileUrlText(file));
        }
    }
}

TEST(Lumsift, PrepareMakesOnlyTheGridsAskedFor) {
    TempDir dir;
    const auto file = writePhoto(dir / "photo.png", 2, Variant::Original, Format::Png);
    Lumsift calc;
    for (const auto& [eightX8, thirty2x32] :
         {std::pair{false, false}, {true, false}, {false, true}, {true, true}}) {
        const GridState before = markGrids(calc);
        EXPECT_TRUE(calc.prepareImageData(file, eightX8, thirty2x32));
        EXPECT_EQ(calc.grid8() == std::get<0>(before), !eightX8);
        EXPECT_EQ(calc.grid32() == std::get<1>(before), !thirty2x32);
        EXPECT_EQ(calc.isAlphaFirst(), !eightX8 && !thirty2x32);
    }
    // The small grid is the same whether or not the large one is made with it.
    const PixelGrid<8> withLarge = calc.grid8();
    ASSERT_TRUE(calc.prepareImageData(file, true, false));
    EXPECT_EQ(calc.grid8(), withLarge);
    // The convenience operations give what prepare and calculate give.
    const uint64_t plain = calc.calculateLumsift(false);
    ASSERT_TRUE(calc.prepareImageData(file, true, false));
    const uint64_t plus = calc.calculateLumsift(true);
    const uint64_t pro = calc.calculateHashPro();
    EXPECT_EQ(calc.visualHash(file, false), plain);
    EXPECT_EQ(calc.visualHash(file, true), plus);
    EXPECT_EQ(calc.visualHashPro(file), pro);
}

constexpr int64_t kNear = 6; // at most this many bits apart: the same picture
constexpr int64_t kFar = 14; // at least this many: unrelated pictures

// Plain, plus and Pro, as the analysis makes them: one prepare, then plain, plus, Pro.
std::array<uint64_t, 3> fingerprintsOf(Lumsift& calc, const std::filesystem::path& file) {
    if (!calc.prepareImageData(file, true, true))
        throw std::runtime_error("cannot prepare " + file.string());
    const uint64_t plain = calc.calculateLumsift(false);
    const uint64_t plus = calc.calculateLumsift(true);
    return {plain, plus, calc.calculateHashPro()};
}

TEST(Lumsift, CopiesOfAPictureAreNearAndOthersFar) {
    // The wallpaper photos where installed, then the generated ones.
    for (const bool generated : {false, true}) {
        useGeneratedPhotos(generated);
        TempDir dir;
        Lumsift calc;
        std::vector<std::array<uint64_t, 3>> originals;
        for (int photo = 0; photo < photoCount(); ++photo) {
            for (const Format format : {Format::Jpeg, Format::Png, Format::WebP, Format::Tiff}) {
                SCOPED_TRACE("photo " + std::to_string(photo) + " as " +
                             std::string(suffixOf(format)) + (generated ? ", generated" : ""));
                const auto original = fingerprintsOf(
                    calc, writePhotoIn(dir.path(), photo, Variant::Original, format));
                if (format == Format::Jpeg)
                    originals.push_back(original);
                for (const Variant variant :
                     {Variant::Half, Variant::Quality40, Variant::QuarterTurn}) {
                    const bool turned = variant == Variant::QuarterTurn;
                    const auto copy =
                        fingerprintsOf(calc, writePhotoIn(dir.path(), photo, variant, format));
                    // Pro is not turned with the picture: its bits are frequencies.
                    for (int kind = 0; kind < (turned ? 2 : 3); ++kind)
                        EXPECT_LE(Lumsift::hammingDistance(original[kind], copy[kind], turned),
                                  kNear)
                            << "fingerprint " << kind << " of variant " << int(variant);
                }
            }
        }
        for (size_t a = 0; a < originals.size(); ++a)
            for (size_t b = a + 1; b < originals.size(); ++b)
                for (int kind = 0; kind < 3; ++kind)
                    EXPECT_GE(
                        Lumsift::hammingDistance(originals[a][kind], originals[b][kind], kind < 2),
                        kFar)
                        << "photos " << a << " and " << b << ", fingerprint " << kind;
    }
}

// A file is read for what it holds, not for its name: a copy under another readable suffix gives
// the same fingerprints as the original.
TEST(Lumsift, FingerprintsAreThePicturesWhateverItsSuffix) {
    TempDir dir;
    Lumsift calc;
    const struct {
        Format format;
        const char* misnamed;
    } cases[] = {
        {Format::Png, "png.jpg"},   {Format::WebP, "webp.jpg"}, {Format::Tiff, "tiff.JPG"},
        {Format::Jpeg, "jpeg.png"}, {Format::Jpeg, "jpeg.tif"}, {Format::Png, "png.webp"},
    };
    for (const auto& c : cases) {
        const auto original = writePhotoIn(dir.path(), 3, Variant::Original, c.format);
        std::filesystem::copy_file(original, dir / c.misnamed);
        SCOPED_TRACE(c.misnamed);
        EXPECT_EQ(fingerprintsOf(calc, dir / c.misnamed), fingerprintsOf(calc, original));
    }
}

// A camera RAW and the JPEG the camera saved beside it are the same picture in every kind, from
// the embedded preview and from the raw data alike.
TEST(Lumsift, RawAndItsCameraJpegAreNearInEveryKind) {
    TempDir dir;
    Lumsift calc;
    for (int photo = 0; photo < photoCount(); ++photo) {
        const PhotoPixels pixels = photoPixels(photo);
        for (const int orientation : {1, 6}) {
            const auto twin =
                fingerprintsOf(calc, writeCameraJpeg(dir / "twin.jpg", pixels, orientation));
            for (const DngPreview preview : {DngPreview::Jpeg, DngPreview::None}) {
                const auto raw = fingerprintsOf(
                    calc, writeDng(dir / "shot.DNG", pixels, {orientation, preview, 0}));
                for (int kind = 0; kind < 3; ++kind)
                    EXPECT_LE(Lumsift::hammingDistance(raw[kind], twin[kind], false), kNear)
                        << "photo " << photo << ", orientation " << orientation << ", preview "
                        << static_cast<int>(preview) << ", fingerprint " << kind;
            }
        }
    }
}

TEST(Lumsift, TransparentAreasComeOutBlack) {
    TempDir dir;
    const auto file = writeTransparentPhoto(dir / "cutout.png", 0);
    Lumsift calc;
    ASSERT_TRUE(calc.prepareImageData(file, true, true));
    // The outer quarter is transparent: the corner cells are black and transparent, whatever
    // colour lies under them in the file.
    for (const int cell : {0, 7, 56, 63})
        for (int b = 0; b < 4; ++b)
            EXPECT_EQ(calc.grid8()[4 * cell + b], 0) << "cell " << cell;
    for (const int cell : {27, 28, 35, 36})
        EXPECT_EQ(calc.grid8()[4 * cell + 3], 255) << "cell " << cell;
    // Premultiplied: no colour sample exceeds its alpha.
    for (size_t i = 0; i < calc.grid32().size(); i += 4)
        for (int b = 0; b < 3; ++b)
            ASSERT_LE(calc.grid32()[i + b], calc.grid32()[i + 3]) << "pixel " << i / 4;
}

} // namespace
} // namespace lumsift
