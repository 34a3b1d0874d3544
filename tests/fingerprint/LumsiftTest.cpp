// Tests of the fingerprint calculator and the distance: the grid-level edge cases in both byte
// layouts, a cross-check against a plain second computation, bad input to prepare, and real
// files in several formats.
#include "fingerprint/Lumsift.h"

#include "fingerprint/ImageRenderer.h"
#include "platform/log/Log.h"
#include "tests/support/TestImages.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <numbers>
#include <random>

namespace lumsift {
namespace {

using Rgb = std::array<uint8_t, 3>;
using namespace testimages;

// Writes `colour(row, column)` into an N x N grid in the given layout; the alpha byte gets 77 so
// that a computation reading it would show.
template <int N>
void fillGrid(PixelGrid<N>& grid, bool alphaFirst, const std::function<Rgb(int, int)>& colour) {
    for (int r = 0; r < N; ++r) {
        for (int c = 0; c < N; ++c) {
            uint8_t* pixel = &grid[4 * (N * r + c)];
            const Rgb rgb = colour(r, c);
            const int first = alphaFirst ? 1 : 0;
            pixel[alphaFirst ? 0 : 3] = 77;
            pixel[first] = rgb[0];
            pixel[first + 1] = rgb[1];
            pixel[first + 2] = rgb[2];
        }
    }
}

// The 8 x 8 grid of `calc`, filled by cell index, in the given layout.
void fillCells(Lumsift& calc, bool alphaFirst, const std::function<Rgb(int)>& colour) {
    calc.setAlphaFirst(alphaFirst);
    fillGrid<8>(calc.grid8(), alphaFirst, [&](int r, int c) { return colour(8 * r + c); });
}

void fillPro(Lumsift& calc, bool alphaFirst, const std::function<Rgb(int, int)>& colour) {
    calc.setAlphaFirst(alphaFirst);
    fillGrid<32>(calc.grid32(), alphaFirst, colour);
}

Rgb grey(uint8_t g) {
    return {g, g, g};
}

// ---- Plain and plus, grid level -------------------------------------------------------------

TEST(Lumsift, UniformPictureGivesPlainOne) {
    Lumsift calc;
    for (const bool alphaFirst : {false, true}) {
        for (const Rgb colour : {Rgb{0, 0, 0}, Rgb{255, 255, 255}, Rgb{12, 200, 77}}) {
            fillCells(calc, alphaFirst, [&](int) { return colour; });
            EXPECT_EQ(calc.calculateLumsift(false), 1u);
        }
    }
}

TEST(Lumsift, UniformPlusDependsOnChannelSumModThree) {
    Lumsift calc;
    for (const bool alphaFirst : {false, true}) {
        fillCells(calc, alphaFirst, [](int) { return Rgb{3, 3, 3}; }); // S mod 3 = 0
        EXPECT_EQ(calc.calculateLumsift(true), 1u);
        fillCells(calc, alphaFirst, [](int) { return Rgb{1, 1, 2}; }); // S mod 3 = 1
        EXPECT_EQ(calc.calculateLumsift(true), 1u);
        fillCells(calc, alphaFirst, [](int) { return Rgb{1, 2, 2}; }); // S = 5
        EXPECT_EQ(calc.calculateLumsift(true), 0xFFFFFFFFFFFFFFFFu);
        fillCells(calc, alphaFirst, [](int) { return Rgb{1, 2, 2}; });
        EXPECT_EQ(calc.calculateLumsift(false), 1u);
        EXPECT_EQ(calc.calculateLumsift(true), 1u);
    }
}

TEST(Lumsift, HalfwayMeanRoundsUp) {
    Lumsift calc;
    for (const bool alphaFirst : {false, true}) {
        fillCells(calc, alphaFirst, [](int i) { return grey(i % 2 == 0 ? 127 : 128); });
        EXPECT_EQ(calc.calculateLumsift(false), 1u);
    }
}

TEST(Lumsift, SingleWhiteCellAndWhiteTopRow) {
    Lumsift calc;
    for (const bool alphaFirst : {false, true}) {
        for (const bool usePlus : {false, true}) {
            fillCells(calc, alphaFirst, [](int i) { return grey(i == 5 ? 255 : 0); });
            EXPECT_EQ(calc.calculateLumsift(usePlus), 0x20u);
            fillCells(calc, alphaFirst, [](int i) { return grey(i < 8 ? 255 : 0); });
            EXPECT_EQ(calc.calculateLumsift(usePlus), 0xFFu);
        }
    }
}

TEST(Lumsift, PlusComparesRoundedGreysWithTruncatedMidRange) {
    Lumsift calc;
    for (const bool alphaFirst : {false, true}) {
        auto alternating = [](int i) { return i % 2 == 0 ? Rgb{1, 1, 0} : Rgb{0, 0, 0}; };
        fillCells(calc, alphaFirst, alternating);
        EXPECT_EQ(calc.calculateLumsift(true), 0x5555555555555555u);
        fillCells(calc, alphaFirst, alternating);
        EXPECT_EQ(calc.calculateLumsift(false), 1u);
        EXPECT_EQ(calc.calculateLumsift(true), 1u);
    }
}

TEST(Lumsift, AlphaByteNeverCounts) {
    Lumsift calc;
    // Bytes 255, 0, 0, 0 in the top row: red in R, G, B, A; alpha in A, R, G, B.
    for (const bool alphaFirst : {false, true}) {
        calc.setAlphaFirst(alphaFirst);
        calc.grid8().fill(0);
        for (int i = 0; i < 8; ++i)
            calc.grid8()[4 * i] = 255;
        EXPECT_EQ(calc.calculateLumsift(false), alphaFirst ? 1u : 0xFFu);
    }
}

TEST(Lumsift, GreyWriteBackLeavesFourEqualBytes) {
    Lumsift calc;
    for (const bool alphaFirst : {false, true}) {
        auto colours = [](int i) {
            return Rgb{static_cast<uint8_t>(i * 4), static_cast<uint8_t>(255 - i),
                       static_cast<uint8_t>(i * 3 + 2)};
        };
        fillCells(calc, alphaFirst, colours);
        const uint64_t plain = calc.calculateLumsift(false);
        for (int i = 0; i < 64; ++i) {
            const Rgb rgb = colours(i);
            const int truncated = (rgb[0] + rgb[1] + rgb[2]) / 3;
            for (int b = 0; b < 4; ++b)
                ASSERT_EQ(calc.grid8()[4 * i + b], truncated) << "cell " << i;
        }
        EXPECT_EQ(calc.calculateLumsift(false), plain);

        fillCells(calc, alphaFirst, colours);
        calc.calculateLumsift(true);
        for (int i = 0; i < 64; ++i) {
            const Rgb rgb = colours(i);
            const int rounded = (rgb[0] + rgb[1] + rgb[2] + 1) / 3;
            for (int b = 0; b < 4; ++b)
                ASSERT_EQ(calc.grid8()[4 * i + b], rounded) << "cell " << i;
        }
    }
}

// ---- Pro, grid level ------------------------------------------------------------------------

TEST(Lumsift, ProOfBlackIsOne) {
    Lumsift calc;
    for (const bool alphaFirst : {false, true}) {
        fillPro(calc, alphaFirst, [](int, int) { return grey(0); });
        EXPECT_EQ(calc.calculateHashPro(), 1u);
    }
}

TEST(Lumsift, ProOfHalvesBlackAndWhite) {
    Lumsift calc;
    for (const bool alphaFirst : {false, true}) {
        fillPro(calc, alphaFirst, [](int, int c) { return grey(c < 16 ? 0 : 255); });
        EXPECT_EQ(calc.calculateHashPro(), 0xFFFFFFFFFFFFFFDDu);
        fillPro(calc, alphaFirst, [](int, int c) { return grey(c < 16 ? 255 : 0); });
        EXPECT_EQ(calc.calculateHashPro(), 0x23u);
        fillPro(calc, alphaFirst, [](int r, int) { return grey(r < 16 ? 255 : 0); });
        EXPECT_EQ(calc.calculateHashPro(), 0x0000010000000101u);
    }
}

TEST(Lumsift, ProLeavesGridAndGivesSameValueAgain) {
    Lumsift calc;
    std::mt19937 random(5);
    fillPro(calc, false, [&](int, int) {
        return Rgb{static_cast<uint8_t>(random()), static_cast<uint8_t>(random()),
                   static_cast<uint8_t>(random())};
    });
    const PixelGrid<32> before = calc.grid32();
    const uint64_t first = calc.calculateHashPro();
    EXPECT_EQ(calc.grid32(), before);
    EXPECT_EQ(calc.calculateHashPro(), first);
}

// ---- Cross-check against a plain second computation ------------------------------------------

// Plain: the truncated greys against their mean rounded half up, in integers.
uint64_t referencePlain(const std::array<int, 64>& sums) {
    int total = 0;
    for (const int s : sums)
        total += s / 3;
    const int threshold = (total + 32) / 64;
    uint64_t hash = 0;
    for (int i = 0; i < 64; ++i)
        if (sums[i] / 3 > threshold)
            hash |= uint64_t{1} << i;
    return hash == 0 ? 1 : hash;
}

// Plus: the rounded greys against the mid-range of the truncated ones, in integers.
uint64_t referencePlus(const std::array<int, 64>& sums) {
    int lowest = 255;
    int highest = 0;
    for (const int s : sums) {
        lowest = std::min(lowest, s / 3);
        highest = std::max(highest, s / 3);
    }
    uint64_t hash = 0;
    for (int i = 0; i < 64; ++i)
        if (2 * ((sums[i] + 1) / 3) > lowest + highest)
            hash |= uint64_t{1} << i;
    return hash == 0 ? 1 : hash;
}

struct ReferencePro {
    uint64_t hash = 0;
    bool nearMean = false; // some coefficient lies within 1e-6 of the mean
};

// Pro with the unnormalised DCT-I written out by its definition along both dimensions:
// Y[k] = X[0] + (-1)^k X[31] + 2 sum_{j=1}^{30} X[j] cos(pi j k / 31), in long double.
ReferencePro referencePro(const std::array<std::array<int, 32>, 32>& greys) {
    std::array<std::array<long double, 32>, 8> basis{};
    for (int k = 0; k < 8; ++k) {
        for (int j = 0; j < 32; ++j) {
            const long double weight = (j == 0 || j == 31) ? 1.0L : 2.0L;
            basis[k][j] = weight * std::cos(std::numbers::pi_v<long double> * j * k / 31.0L);
        }
    }
    std::array<std::array<long double, 32>, 8> rows{}; // transform along the rows: [u][c]
    for (int u = 0; u < 8; ++u)
        for (int c = 0; c < 32; ++c)
            for (int r = 0; r < 32; ++r)
                rows[u][c] += basis[u][r] * greys[r][c];
    std::array<std::array<double, 8>, 8> coefficient{};
    for (int u = 0; u < 8; ++u) {
        for (int v = 0; v < 8; ++v) {
            long double sum = 0;
            for (int c = 0; c < 32; ++c)
                sum += basis[v][c] * rows[u][c];
            coefficient[u][v] = static_cast<double>(sum);
        }
    }
    float accumulator = 0;
    for (int u = 0; u < 8; ++u)
        for (int v = 0; v < 8; ++v)
            accumulator = static_cast<float>(static_cast<double>(accumulator) + coefficient[u][v]);
    const float mean =
        static_cast<float>(static_cast<double>(accumulator) - coefficient[0][0]) / 63.0f;
    ReferencePro result;
    for (int u = 0; u < 8; ++u) {
        for (int v = 0; v < 8; ++v) {
            if (coefficient[u][v] > static_cast<double>(mean))
                result.hash |= uint64_t{1} << (8 * u + v);
            if (std::abs(coefficient[u][v] - static_cast<double>(mean)) < 1e-6)
                result.nearMean = true;
        }
    }
    if (result.hash == 0)
        result.hash = 1;
    return result;
}

enum class Kind { Noise, Gradient, Blocks };

// A random picture of the kind, as a function of (row, column) on a side of `n`.
std::function<Rgb(int, int)> randomPicture(Kind kind, std::mt19937& random, int n) {
    auto byte = [&random] { return static_cast<uint8_t>(random() % 256); };
    switch (kind) {
    case Kind::Noise: {
        auto noise = std::make_shared<std::vector<Rgb>>();
        for (int i = 0; i < n * n; ++i)
            noise->push_back({byte(), byte(), byte()});
        return [noise, n](int r, int c) { return (*noise)[n * r + c]; };
    }
    case Kind::Gradient: {
        // A smooth, non-separable field: a soft blob on a tilted ramp, per channel.
        std::array<std::array<double, 5>, 3> p{};
        for (auto& channel : p)
            for (double& value : channel)
                value = static_cast<double>(random() % 1000) / 1000.0;
        return [p, n](int r, int c) {
            Rgb rgb{};
            for (int k = 0; k < 3; ++k) {
                const double y = static_cast<double>(r) / n;
                const double x = static_cast<double>(c) / n;
                const double blob =
                    std::exp(-((x - p[k][0]) * (x - p[k][0]) + (y - p[k][1]) * (y - p[k][1])) /
                             (0.05 + 0.2 * p[k][2]));
                const double value = 60 * p[k][3] * x + 50 * p[k][4] * y * y + 140 * blob;
                rgb[k] = static_cast<uint8_t>(std::clamp(value, 0.0, 255.0));
            }
            return rgb;
        };
    }
    case Kind::Blocks: {
        // Mostly halves, quarters or eighths; now and then one uniform block, whose zero
        // coefficients lie at the mean.
        const int block = random() % 8 == 0 ? n : std::max(1, n / (2 << (random() % 3)));
        auto colours = std::make_shared<std::vector<Rgb>>();
        for (int i = 0; i < 64; ++i)
            colours->push_back({byte(), byte(), byte()});
        return [colours, block](int r, int c) {
            return (*colours)[((r / block) * 8 + c / block) % 64];
        };
    }
    }
    return {};
}

TEST(Lumsift, AgreesWithPlainSecondComputation) {
    Lumsift calc;
    std::mt19937 random(20261206);
    int compared = 0;
    int nearMean = 0;
    for (const Kind kind : {Kind::Noise, Kind::Gradient, Kind::Blocks}) {
        for (int round = 0; round < 120; ++round) {
            const bool alphaFirst = round % 2 == 1;
            const auto small = randomPicture(kind, random, 8);
            std::array<int, 64> sums{};
            for (int i = 0; i < 64; ++i) {
                const Rgb rgb = small(i / 8, i % 8);
                sums[i] = rgb[0] + rgb[1] + rgb[2];
            }
            fillCells(calc, alphaFirst, [&](int i) { return small(i / 8, i % 8); });
            ASSERT_EQ(calc.calculateLumsift(true), referencePlus(sums)) << "fresh plus";
            fillCells(calc, alphaFirst, [&](int i) { return small(i / 8, i % 8); });
            ASSERT_EQ(calc.calculateLumsift(false), referencePlain(sums)) << "plain";
            std::array<int, 64> greySums{}; // plus after plain sees S = 3g
            for (int i = 0; i < 64; ++i)
                greySums[i] = 3 * (sums[i] / 3);
            ASSERT_EQ(calc.calculateLumsift(true), referencePlus(greySums)) << "plus after plain";

            const auto large = randomPicture(kind, random, 32);
            std::array<std::array<int, 32>, 32> greys{};
            for (int r = 0; r < 32; ++r)
                for (int c = 0; c < 32; ++c) {
                    const Rgb rgb = large(r, c);
                    greys[r][c] = (rgb[0] + rgb[1] + rgb[2]) / 3;
                }
            fillPro(calc, alphaFirst, large);
            const ReferencePro reference = referencePro(greys);
            ++compared;
            if (reference.nearMean) {
                // The definition leaves these bits to the transform's rounding.
                ++nearMean;
                continue;
            }
            ASSERT_EQ(calc.calculateHashPro(), reference.hash)
                << "kind " << static_cast<int>(kind) << " round " << round;
        }
    }
    std::printf("Pro compared on %d grids, %d left apart (a coefficient near the mean)\n", compared,
                nearMean);
    EXPECT_LE(nearMean, compared / 10) << nearMean << " of " << compared << " near the mean";
}

// ---- Distance -------------------------------------------------------------------------------

// Input bit 8r + c to output bit 8c + (7 - r), one bit at a time.
uint64_t turnedByDefinition(uint64_t x) {
    uint64_t turned = 0;
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c)
            if ((x >> (8 * r + c)) & 1)
                turned |= uint64_t{1} << (8 * c + (7 - r));
    return turned;
}

TEST(Lumsift, RotateLeftTurnsClockwise) {
    EXPECT_EQ(Lumsift::rotateLeft(0x1), 0x80u);
    EXPECT_EQ(Lumsift::rotateLeft(0x80), 0x8000000000000000u);
    EXPECT_EQ(Lumsift::rotateLeft(0x8000000000000000u), 0x0100000000000000u);
    EXPECT_EQ(Lumsift::rotateLeft(0xFF), 0x8080808080808080u);
    EXPECT_EQ(Lumsift::rotateLeft(0x0101010101010101u), 0xFFu);
    EXPECT_EQ(Lumsift::rotateLeft(0xFF00000000000000u), 0x0101010101010101u);
    EXPECT_EQ(Lumsift::rotateLeft(0x0F0F0F0F00000000u), 0x0F0F0F0Fu);
    EXPECT_EQ(Lumsift::rotateLeft(0x0102040810204080u), 0x8040201008040201u);

    std::mt19937_64 random(42);
    for (int i = 0; i < 10000; ++i) {
        const uint64_t x = random();
        const uint64_t once = Lumsift::rotateLeft(x);
        ASSERT_EQ(once, turnedByDefinition(x));
        ASSERT_EQ(Lumsift::rotateLeft(Lumsift::rotateLeft(Lumsift::rotateLeft(once))), x);
    }
}

TEST(Lumsift, DistanceCountsDifferingBits) {
    EXPECT_EQ(Lumsift::distanceCalc(0x1234, 0x1234), 0);
    EXPECT_EQ(Lumsift::distanceCalc(0x0F0F0F0F0F0F0F0Fu, ~0x0F0F0F0F0F0F0F0Fu), 64);
    EXPECT_EQ(Lumsift::distanceCalc(0, 0xFFFFFFFFFFFFFFFFu), 64);
    EXPECT_EQ(Lumsift::distanceCalc(0b1011, 0b0110), 3);
}

TEST(Lumsift, HammingDistanceTriesTheTurnsOfTheSecond) {
    EXPECT_EQ(Lumsift::hammingDistance(0xFF, 0x0101010101010101u, true), 0);
    EXPECT_EQ(Lumsift::hammingDistance(0xFF, 0x0101010101010101u, false), 14);
    EXPECT_EQ(Lumsift::hammingDistance(0x1, 0x8000000000000000u, true), 0);
    EXPECT_EQ(Lumsift::hammingDistance(0x1, 0x8000000000000000u, false), 2);

    std::mt19937_64 random(7);
    for (int i = 0; i < 10000; ++i) {
        const uint64_t a = random();
        const uint64_t b = random() & random();
        const int64_t turned = Lumsift::hammingDistance(a, b, true);
        ASSERT_EQ(turned, Lumsift::hammingDistance(b, a, true));
        ASSERT_LE(turned, Lumsift::hammingDistance(a, b, false));
        ASSERT_EQ(Lumsift::hammingDistance(a, Lumsift::rotateLeft(a), true), 0);
        int64_t least = Lumsift::distanceCalc(a, b);
        for (uint64_t turned = Lumsift::rotateLeft(b); turned != b && least > 0;
             turned = Lumsift::rotateLeft(turned))
            least = std::min(least, Lumsift::distanceCalc(a, turned));
        ASSERT_EQ(turned, least);
    }
}

// ---- Prepare: types and bad input -------------------------------------------------------------

// Both grids and the layout flag, to show that a prepare left them as they were.
struct GridState {
    PixelGrid<8> small;
    PixelGrid<32> large;
    bool alphaFirst;
    bool operator==(const GridState&) const = default;
};

GridState stateOf(Lumsift& calc) {
    return {calc.grid8(), calc.grid32(), calc.isAlphaFirst()};
}

// Fills both grids with a pattern and sets alpha first, so that any change shows.
GridState markGrids(Lumsift& calc) {
    for (size_t i = 0; i < calc.grid8().size(); ++i)
        calc.grid8()[i] = static_cast<uint8_t>(i * 7);
    for (size_t i = 0; i < calc.grid32().size(); ++i)
        calc.grid32()[i] = static_cast<uint8_t>(i * 13);
    calc.setAlphaFirst(true);
    return stateOf(calc);
}

TEST(Lumsift, ReadableTypesComeInBothCases) {
    Lumsift calc;
    const auto& types = calc.imageTypes();
    for (const char* type : {"jpg", "JPG", "jpeg", "JPEG", "png", "PNG", "tif", "TIFF", "webp"})
        EXPECT_NE(std::find(types.begin(), types.end(), type), types.end()) << type;
    for (const char* type : {"csv", "mat", "v", "vips", "pdf", "svg", "txt", ""})
        EXPECT_EQ(std::find(types.begin(), types.end(), type), types.end()) << type;
}

TEST(Lumsift, SupportedTypeIsTheExactExtensionOfTheLastComponent) {
    Lumsift calc;
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

TEST(Lumsift, UnsupportedTypeFailsWithoutOpeningTheFile) {
    TempDir dir;
    // A real picture under a name whose case differs from a readable type's.
    const auto file = writePhoto(dir / "photo.JpG", 0);
    Lumsift calc;
    const GridState before = markGrids(calc);
    log::Capture capture;
    EXPECT_FALSE(calc.prepareImageData(file, true, true));
    EXPECT_EQ(capture.lines(),
              std::vector<std::string>{"Image type not supported: " + file.string()});
    EXPECT_EQ(stateOf(calc), before);
    EXPECT_EQ(calc.visualHash(file, false), 0u);
    EXPECT_EQ(calc.visualHashPro(file), 0u);
}

TEST(Lumsift, BadFilesFailWithTheirLogLineAndKeepTheGrids) {
    TempDir dir;
    const auto photo = writePhoto(dir / "photo.jpg", 1);
    const auto png = writePhoto(dir / "photo.png", 1, Variant::Original, Format::Png);
    const auto size = std::filesystem::file_size(photo);
    std::filesystem::create_directory(dir / "folder.jpg");
    const std::vector<std::filesystem::path> bad = {
        dir / "missing.jpg",
        writeBytes(dir / "empty.jpg", ""),
        writeTruncatedCopy(photo, dir / "truncated.jpg", size / 2),
        writeTruncatedCopy(photo, dir / "header-only.jpg", 200),
        writeTruncatedCopy(png, dir / "truncated.png", std::filesystem::file_size(png) / 2),
        writeBytes(dir / "text.png", "This is not a picture, only some words.\n"),
        writeBytes(dir / "drawing.jpg", "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" "
                                        "height=\"10\"><rect width=\"10\" height=\"10\"/></svg>"),
        dir / "folder.jpg",
        std::filesystem::path(LUMSIFT_TEST_DATA) / "truncated-scan.jpg",
    };
    Lumsift calc;
    for (const auto& file : bad) {
        for (const auto& [eightX8, thirty2x32] :
             {std::pair{true, true}, {true, false}, {false, true}}) {
            const GridState before = markGrids(calc);
            log::Capture capture;
            EXPECT_FALSE(calc.prepareImageData(file, eightX8, thirty2x32)) << file;
            EXPECT_TRUE(capture.contains("Couldn't load image: " + fileUrlText(file))) << file;
            EXPECT_EQ(stateOf(calc), before) << file;
        }
        EXPECT_EQ(calc.visualHash(file, true), 0u);
        EXPECT_EQ(calc.visualHashPro(file), 0u);
    }
}

TEST(Lumsift, PrepareMakesOnlyTheGridsAskedFor) {
    TempDir dir;
    const auto file = writePhoto(dir / "photo.jpg", 2);
    Lumsift calc;
    GridState before = markGrids(calc);
    EXPECT_TRUE(calc.prepareImageData(file, false, false));
    EXPECT_EQ(stateOf(calc), before);

    before = markGrids(calc);
    EXPECT_TRUE(calc.prepareImageData(file, true, false));
    EXPECT_NE(calc.grid8(), before.small);
    EXPECT_EQ(calc.grid32(), before.large);
    EXPECT_FALSE(calc.isAlphaFirst());

    before = markGrids(calc);
    EXPECT_TRUE(calc.prepareImageData(file, false, true));
    EXPECT_EQ(calc.grid8(), before.small);
    EXPECT_NE(calc.grid32(), before.large);
    EXPECT_FALSE(calc.isAlphaFirst());
}

TEST(Lumsift, ConvenienceOperationsMatchPrepareAndCalculate) {
    TempDir dir;
    const auto file = writePhoto(dir / "photo.png", 3, Variant::Original, Format::Png);
    Lumsift calc;
    ASSERT_TRUE(calc.prepareImageData(file, true, false));
    const uint64_t plain = calc.calculateLumsift(false);
    ASSERT_TRUE(calc.prepareImageData(file, true, false));
    const uint64_t plus = calc.calculateLumsift(true);
    ASSERT_TRUE(calc.prepareImageData(file, false, true));
    const uint64_t pro = calc.calculateHashPro();
    EXPECT_EQ(calc.visualHash(file, false), plain);
    EXPECT_EQ(calc.visualHash(file, true), plus);
    EXPECT_EQ(calc.visualHashPro(file), pro);
}

// ---- Real files -----------------------------------------------------------------------------

struct Fingerprints {
    uint64_t plain, plus, pro;
};

Fingerprints fingerprintsOf(Lumsift& calc, const std::filesystem::path& file) {
    // As the analysis does: one prepare, then plain, plus, Pro.
    if (!calc.prepareImageData(file, true, true))
        throw std::runtime_error("cannot prepare " + file.string());
    const uint64_t plain = calc.calculateLumsift(false);
    const uint64_t plus = calc.calculateLumsift(true);
    return {plain, plus, calc.calculateHashPro()};
}

constexpr int64_t kNear = 6; // at most this many bits apart: the same picture
constexpr int64_t kFar = 14; // at least this many: unrelated pictures

void expectVariantsNearAndStrangersFar() {
    TempDir dir;
    Lumsift calc;
    std::vector<Fingerprints> originals;
    for (int photo = 0; photo < photoCount(); ++photo) {
        for (const Format format : {Format::Jpeg, Format::Png, Format::WebP, Format::Tiff}) {
            const std::string what =
                "photo " + std::to_string(photo) + " as " + std::string(suffixOf(format));
            const Fingerprints original =
                fingerprintsOf(calc, writePhotoIn(dir.path(), photo, Variant::Original, format));
            if (format == Format::Jpeg)
                originals.push_back(original);
            for (const Variant variant : {Variant::Half, Variant::Quality40}) {
                const Fingerprints copy =
                    fingerprintsOf(calc, writePhotoIn(dir.path(), photo, variant, format));
                EXPECT_LE(Lumsift::hammingDistance(original.plain, copy.plain, false), kNear)
                    << what;
                EXPECT_LE(Lumsift::hammingDistance(original.plus, copy.plus, false), kNear) << what;
                EXPECT_LE(Lumsift::hammingDistance(original.pro, copy.pro, false), kNear) << what;
            }
            const Fingerprints turned =
                fingerprintsOf(calc, writePhotoIn(dir.path(), photo, Variant::QuarterTurn, format));
            EXPECT_LE(Lumsift::hammingDistance(original.plain, turned.plain, true), kNear) << what;
            EXPECT_LE(Lumsift::hammingDistance(original.plus, turned.plus, true), kNear) << what;
        }
    }
    for (size_t a = 0; a < originals.size(); ++a) {
        for (size_t b = a + 1; b < originals.size(); ++b) {
            const std::string what = "photos " + std::to_string(a) + " and " + std::to_string(b);
            EXPECT_GE(Lumsift::hammingDistance(originals[a].plain, originals[b].plain, true), kFar)
                << what;
            EXPECT_GE(Lumsift::hammingDistance(originals[a].plus, originals[b].plus, true), kFar)
                << what;
            EXPECT_GE(Lumsift::hammingDistance(originals[a].pro, originals[b].pro, false), kFar)
                << what;
        }
    }
}

TEST(Lumsift, CopiesOfAPictureAreNearAndOthersFar) {
    expectVariantsNearAndStrangersFar();
}

TEST(Lumsift, CopiesOfAGeneratedPictureAreNearAndOthersFar) {
    useGeneratedPhotos(true);
    expectVariantsNearAndStrangersFar();
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
