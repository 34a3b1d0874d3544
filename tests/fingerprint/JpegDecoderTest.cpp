// Tests of the JPEG decoder: the EXIF orientation reader on good and broken data, grey and
// colour JPEGs, and the hand-over of the JPEGs that need colour conversion.
#include "fingerprint/JpegDecoder.h"

#include "fingerprint/Vips.h"
#include "platform/log/Log.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

namespace lumsift {
namespace {

using namespace testimages;

// An APP1 payload with one IFD0 entry: tag 0x0112, type SHORT, count 1, value `orientation`.
std::vector<uint8_t> exifWithOrientation(bool little, uint16_t orientation, uint16_t type = 3) {
    auto u16 = [little](uint16_t v) {
        return little ? std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8)}
                      : std::vector<uint8_t>{uint8_t(v >> 8), uint8_t(v)};
    };
    auto u32 = [little](uint32_t v) {
        std::vector<uint8_t> bytes(4);
        for (int i = 0; i < 4; ++i)
            bytes[little ? i : 3 - i] = uint8_t(v >> (8 * i));
        return bytes;
    };
    std::vector<uint8_t> data = {'E', 'x', 'i', 'f', 0, 0};
    auto append = [&data](const std::vector<uint8_t>& bytes) {
        data.insert(data.end(), bytes.begin(), bytes.end());
    };
    data.push_back(little ? 'I' : 'M');
    data.push_back(little ? 'I' : 'M');
    append(u16(42));
    append(u32(8)); // IFD0 right after the header
    append(u16(2)); // two entries: another tag first
    append(u16(0x010F));
    append(u16(2));
    append(u32(0));
    append(u32(0));
    append(u16(0x0112));
    append(u16(type));
    append(u32(1));
    append(u16(orientation));
    append(u16(0));
    append(u32(0)); // no next IFD
    return data;
}

TEST(JpegDecoder, ReadsTheOrientationInBothByteOrders) {
    for (const bool little : {true, false}) {
        for (uint16_t orientation = 1; orientation <= 8; ++orientation)
            EXPECT_EQ(exifOrientation(exifWithOrientation(little, orientation)), orientation);
    }
}

TEST(JpegDecoder, BrokenExifCountsAsUpright) {
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
    // IFD offset and entry count pointing far outside.
    data = exifWithOrientation(true, 6);
    data[10] = 0xFF;
    data[11] = 0xFF;
    data[12] = 0xFF;
    data[13] = 0xFF;
    EXPECT_EQ(exifOrientation(data), 1);
    // A huge entry count: the orientation is still found, or the reader stops at the end.
    data = exifWithOrientation(true, 6);
    data[14] = 0xFF;
    data[15] = 0xFF;
    EXPECT_EQ(exifOrientation(data), 6);
    data[28] = 0x13; // the orientation entry becomes tag 0x0113
    EXPECT_EQ(exifOrientation(data), 1);
}

TEST(JpegDecoder, ScalesBySmallestDenominatorThatKeepsTheSides) {
    EXPECT_EQ(jpegShrink(5120, 2880, 64), 8);
    EXPECT_EQ(jpegShrink(1000, 200, 64), 2); // 200 / 4 = 50 is too few rows
    EXPECT_EQ(jpegShrink(100, 100, 64), 1);
    EXPECT_EQ(jpegShrink(513, 511, 64), 8); // the scaled sides round up: 65 x 64
}

// A general decoder that records that it was asked.
class RecordingDecoder final : public ImageDecoder {
public:
    std::vector<std::string> suffixes() const override { return {"jpg"}; }
    Decoded decode(const std::filesystem::path&, int) const override {
        ++calls;
        return {std::nullopt, "handed over"};
    }
    mutable int calls = 0;
};

TEST(JpegDecoder, DecodesGreyAndColourItself) {
    TempDir dir;
    RecordingDecoder general;
    const JpegDecoder decoder(general);
    const Decoded grey = decoder.decode(LUMSIFT_TEST_DATA "/grey16.png", 32);
    EXPECT_FALSE(grey.picture); // not a JPEG: libjpeg's message, no hand-over
    EXPECT_FALSE(grey.error.empty());

    const auto file = writeSolid(dir / "grey.jpg", 200, 100, 90, 90, 90);
    Decoded decoded = decoder.decode(file, 32);
    ASSERT_TRUE(decoded.picture) << decoded.error;
    std::array<uint8_t, 4 * 8 * 8> grid{};
    decoded.picture->render(8, grid);
    EXPECT_NEAR(grid[0], 90, 2);
    EXPECT_EQ(grid[0], grid[1]);
    EXPECT_EQ(grid[3], 255);

    decoded = decoder.decode(writePhoto(dir / "photo.jpg", 0), 32);
    ASSERT_TRUE(decoded.picture) << decoded.error;
    EXPECT_EQ(general.calls, 0);
}

TEST(JpegDecoder, HandsOverCmyk) {
    RecordingDecoder general;
    const JpegDecoder decoder(general);
    EXPECT_EQ(decoder.decode(LUMSIFT_TEST_DATA "/cmyk.jpg", 32).error, "handed over");
    EXPECT_EQ(general.calls, 1);
}

TEST(JpegDecoder, AppliesAnEmbeddedColourProfile) {
    TempDir dir;
    RecordingDecoder general;
    const JpegDecoder decoder(general);
    vips::start();
    // Saturated colours converted to Display P3 and tagged so: their bytes differ, their colours
    // do not.
    vips::Result tagged = vips::call([&](VipsImage** out) {
        *out = vips_image_new_from_file(LUMSIFT_TEST_DATA "/rgb8.png", nullptr);
        return *out == nullptr ? -1 : 0;
    });
    const auto plain = dir / "plain.jpg";
    ASSERT_EQ(vips_jpegsave(tagged.image.get(), plain.c_str(), "Q", 95, nullptr), 0);
    ASSERT_TRUE(tagged = vips::call([&](VipsImage** out) {
                    return vips_icc_transform(tagged.image.get(), out, "p3", "input_profile",
                                              "srgb", nullptr);
                }));
    const auto file = dir / "p3.jpg";
    ASSERT_EQ(vips_jpegsave(tagged.image.get(), file.c_str(), "Q", 95, nullptr), 0);
    const auto untagged = dir / "p3-untagged.jpg";
    ASSERT_EQ(vips_jpegsave(tagged.image.get(), untagged.c_str(), "Q", 95, "strip", TRUE, nullptr),
              0);
    const log::Capture capture;
    const Decoded withProfile = decoder.decode(file, 32);
    const Decoded without = decoder.decode(plain, 32);
    ASSERT_TRUE(withProfile.picture) << withProfile.error;
    ASSERT_TRUE(without.picture) << without.error;
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_EQ(general.calls, 0);
    std::array<uint8_t, 4 * 8 * 8> a{};
    std::array<uint8_t, 4 * 8 * 8> b{};
    withProfile.picture->render(8, a);
    without.picture->render(8, b);
    for (size_t i = 0; i < a.size(); ++i)
        EXPECT_NEAR(a[i], b[i], 6) << i;
    std::array<uint8_t, 4 * 8 * 8> raw{};
    decoder.decode(untagged, 32).picture->render(8, raw);
    int differing = 0;
    for (size_t i = 0; i < a.size(); ++i)
        differing += std::abs(raw[i] - b[i]) > 6;
    EXPECT_GT(differing, 20); // without its profile, the P3 bytes read as other colours
}

TEST(JpegDecoder, RefusesTruncatedAndMissingFiles) {
    TempDir dir;
    RecordingDecoder general;
    const JpegDecoder decoder(general);
    const auto photo = writePhoto(dir / "photo.jpg", 2);
    const auto size = std::filesystem::file_size(photo);
    for (const std::uintmax_t keep : {size_t{0}, size_t{2}, size_t{100}, size / 3, size - 10}) {
        const auto cut = writeTruncatedCopy(photo, dir / "cut.jpg", keep);
        const Decoded decoded = decoder.decode(cut, 32);
        EXPECT_FALSE(decoded.picture) << keep;
        EXPECT_FALSE(decoded.error.empty()) << keep;
    }
    EXPECT_FALSE(decoder.decode(dir / "missing.jpg", 32).picture);
    EXPECT_EQ(general.calls, 0);
}

} // namespace
} // namespace lumsift
