// Tests of the JPEG decoder: the EXIF orientation reader on good and broken data, the JPEGs it
// decodes itself or refuses, and those it passes on: not JPEGs, or needing colour conversion.
#include "fingerprint/JpegDecoder.h"

#include "fingerprint/VipsDecoder.h"
#include "platform/vips/Vips.h"
#include "tests/support/HostileImages.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

namespace lumsift {
namespace {

using namespace testimages;

const std::filesystem::path kData = LUMSIFT_TEST_DATA;

// An APP1 payload whose IFD0 holds another tag, then tag 0x0112 of `type` (3: SHORT), count 1,
// value `orientation`.
std::vector<uint8_t> exifWithOrientation(bool little, uint16_t orientation, uint16_t type = 3) {
    std::vector<uint8_t> data = {'E', 'x', 'i', 'f', 0, 0};
    auto put = [&](uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            data.push_back(uint8_t(value >> (8 * (little ? i : bytes - 1 - i))));
    };
    put(little ? 0x4949 : 0x4D4D, 2); // "II" or "MM"
    put(42, 2);
    put(8, 4); // IFD0 right after the header
    put(2, 2); // two entries
    auto entry = [&](uint32_t tag, uint32_t entryType, uint32_t count, uint32_t value) {
        put(tag, 2);
        put(entryType, 2);
        put(count, 4);
        put(value, 2); // a SHORT value stands in the first half of the field
        put(0, 2);
    };
    entry(0x010F, 2, 0, 0);
    entry(0x0112, type, 1, orientation);
    put(0, 4); // no next IFD
    return data;
}

TEST(JpegDecoder, ReadsTheOrientationAndTakesBrokenExifAsUpright) {
    for (const bool little : {true, false})
        for (uint16_t orientation = 1; orientation <= 8; ++orientation)
            EXPECT_EQ(exifOrientation(exifWithOrientation(little, orientation)), orientation);
    EXPECT_EQ(exifOrientation({}), 1);
    EXPECT_EQ(exifOrientation(exifWithOrientation(true, 9)), 1);
    EXPECT_EQ(exifOrientation(exifWithOrientation(true, 0)), 1);
    EXPECT_EQ(exifOrientation(exifWithOrientation(true, 6, 4)), 1); // not a SHORT
    std::vector<uint8_t> data = exifWithOrientation(true, 6);
    data[0] = 'X';
    EXPECT_EQ(exifOrientation(data), 1);
    // Cut anywhere before the end of the orientation's value, the reader stays inside the data.
    const std::vector<uint8_t> whole = exifWithOrientation(false, 6);
    const size_t valueEnd = 6 + 8 + 2 + 12 + 10; // header, count, one entry, tag to value
    for (size_t size = 0; size < valueEnd; ++size)
        EXPECT_EQ(exifOrientation(std::span(whole.data(), size)), 1) << size;
    EXPECT_EQ(exifOrientation(std::span(whole.data(), valueEnd)), 6);
    // IFD offset pointing far outside.
    data = exifWithOrientation(true, 6);
    std::fill_n(data.begin() + 10, 4, 0xFF);
    EXPECT_EQ(exifOrientation(data), 1);
    // A huge entry count: the orientation is still found, or the reader stops at the end.
    data = exifWithOrientation(true, 6);
    std::fill_n(data.begin() + 14, 2, 0xFF);
    EXPECT_EQ(exifOrientation(data), 6);
    data[28] = 0x13; // the orientation entry becomes tag 0x0113
    EXPECT_EQ(exifOrientation(data), 1);
}

TEST(JpegDecoder, DecodesEveryJpegRefusesBrokenOnesAndPassesOnTheRest) {
    TempDir dir;
    const JpegDecoder decoder;
    const Decoded grey = decoder.decode(writeSolid(dir / "grey.jpg", 200, 100, 90, 90, 90), {32});
    ASSERT_TRUE(grey.picture) << grey.error;
    std::array<uint8_t, 4 * 8 * 8> grid{};
    grey.picture->render(8, grid);
    EXPECT_NEAR(grid[0], 90, 2);
    EXPECT_EQ(grid[0], grid[1]);
    EXPECT_EQ(grid[3], 255);
    const auto photo = writePhoto(dir / "photo.jpg", 2);
    for (const auto& file : {photo, kData / "p3.jpg", kData / "cmyk.jpg"}) {
        const Decoded decoded = decoder.decode(file, {32});
        EXPECT_TRUE(decoded.picture) << file << ": " << decoded.error;
    }
    // Missing, or a JPEG cut anywhere after its first marker: no picture, libjpeg's message, not
    // passed on.
    const auto size = std::filesystem::file_size(photo);
    std::vector<std::filesystem::path> broken = {dir / "missing.jpg"};
    for (const std::uintmax_t keep :
         {size_t{2}, size_t{100}, size_t{200}, size / 3, size / 2, size - 10})
        broken.push_back(writeTruncatedCopy(photo, dir / ("cut" + std::to_string(keep)), keep));
    for (const auto& file : broken) {
        const Decoded decoded = decoder.decode(file, {32});
        EXPECT_FALSE(decoded.picture) << file;
        EXPECT_FALSE(decoded.error.empty()) << file;
        EXPECT_FALSE(decoded.passedOn) << file;
    }
    // What is not a JPEG, whatever its name, is another decoder's.
    for (const auto& file :
         {kData / "grey16.png", writeTruncatedCopy(kData / "grey16.png", dir / "png.jpg", 100),
          writeTruncatedCopy(photo, dir / "first-byte.jpg", 1)}) {
        const Decoded decoded = decoder.decode(file, {32});
        EXPECT_TRUE(decoded.passedOn) << file;
        EXPECT_FALSE(decoded.picture) << file;
    }
}

// The 32 x 32 grid of `decoded`; empty when there is no picture.
std::vector<uint8_t> grid32(const Decoded& decoded) {
    if (!decoded.picture)
        return {};
    std::vector<uint8_t> grid(4 * 32 * 32);
    decoded.picture->render(32, grid);
    return grid;
}

// Every kind of JPEG, CMYK included, comes out as libvips shows it.
TEST(JpegDecoder, ReadsEveryKindAsLibvipsShowsIt) {
    ASSERT_TRUE(vips::start());
    TempDir dir;
    std::vector<std::filesystem::path> files = {kData / "cmyk.jpg"};
    for (const JpegKind kind : kJpegKinds)
        files.push_back(writeJpegOfKind(dir / (std::string(nameOf(kind)) + ".jpg"), 1, kind));
    for (const auto& file : files) {
        const Decoded ours = JpegDecoder().decode(file, {64});
        const Decoded theirs = VipsDecoder().decode(file, {64});
        ASSERT_TRUE(ours.picture) << file << ": " << ours.error;
        ASSERT_TRUE(theirs.picture) << file << ": " << theirs.error;
        const auto expected = grid32(theirs);
        const auto grid = grid32(ours);
        for (size_t i = 0; i < grid.size(); ++i)
            ASSERT_NEAR(grid[i], expected[i], 3) << file << " byte " << i;
    }
}

} // namespace
} // namespace lumsift
