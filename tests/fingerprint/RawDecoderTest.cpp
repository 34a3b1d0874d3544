// Tests of the camera RAW decoder on DNG files that the tests write: the preview or the half-size
// development, turned as the camera was held and in the colours of the camera's own JPEG; damaged
// and foreign files.
#include "fingerprint/RawDecoder.h"

#include "fingerprint/DecoderChoice.h"
#include "platform/log/Log.h"
#include "platform/raw/Raw.h"
#include "tests/support/RawImages.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

namespace lumsift {
namespace {

using namespace testimages;

// The 32 x 32 grid of `decoded`; throws when there is no picture.
std::vector<uint8_t> grid32(const Decoded& decoded) {
    if (!decoded.picture)
        throw std::runtime_error("no picture: " + decoded.error);
    std::vector<uint8_t> grid(4 * 32 * 32);
    decoded.picture->render(32, grid);
    return grid;
}

// The mean difference of two grids' samples.
double meanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        sum += std::abs(a[i] - b[i]);
    return sum / static_cast<double>(a.size());
}

TEST(RawDecoder, ReadsEveryFlipAsTheOrientationItStandsFor) {
    // dcraw's flips of the EXIF orientations 1 to 8.
    const int flips[] = {0, 1, 3, 2, 4, 6, 7, 5};
    for (int orientation = 1; orientation <= 8; ++orientation)
        EXPECT_EQ(raw::orientationOfFlip(flips[orientation - 1]), orientation);
    EXPECT_EQ(raw::orientationOfFlip(9), 1);
    EXPECT_TRUE(raw::isRawSuffix("NEF"));
    EXPECT_TRUE(raw::isRawSuffix("dng"));
    EXPECT_FALSE(raw::isRawSuffix("jpg"));
}

// Preview, no preview, a broken preview: the picture the camera's JPEG shows, turned as the camera
// was held; the preview at its own size, the development at half the sensor's.
TEST(RawDecoder, ShowsWhatTheCameraJpegShowsFromThePreviewOrTheRawData) {
    TempDir dir;
    const RawDecoder decoder;
    const PhotoPixels photo = photoPixels(2);
    for (const int orientation : {1, 3, 6, 8}) {
        const auto twin =
            decodePicture(writeCameraJpeg(dir / ("twin" + std::to_string(orientation) + ".jpg"),
                                          photo, orientation),
                          32);
        const bool turned = orientation >= 5;
        for (const DngPreview preview :
             {DngPreview::Jpeg, DngPreview::None, DngPreview::BrokenJpeg}) {
            SCOPED_TRACE("orientation " + std::to_string(orientation) + ", preview " +
                         std::to_string(static_cast<int>(preview)));
            const auto file = writeDng(dir / "shot.dng", photo, {orientation, preview, 0});
            const log::Capture capture;
            const Decoded decoded = decoder.decode(file, {0});
            ASSERT_TRUE(decoded.picture) << decoded.error;
            const int scale = preview == DngPreview::Jpeg ? 1 : 2;
            EXPECT_EQ(decoded.picture->width(), (turned ? photo.height : photo.width) / scale);
            EXPECT_EQ(decoded.picture->height(), (turned ? photo.width : photo.height) / scale);
            EXPECT_LT(meanDifference(grid32(decoded), grid32(twin)), 4);
            EXPECT_EQ(capture.lines().size(), preview == DngPreview::BrokenJpeg ? 1u : 0u);
        }
    }
}

// A preview too small for the grids asked for is passed over for the development.
TEST(RawDecoder, DevelopsWhenThePreviewIsTooSmall) {
    TempDir dir;
    const PhotoPixels photo = photoPixels(1);
    const auto file = writeDng(dir / "small.dng", photo, {1, DngPreview::Jpeg, 48});
    const Decoded decoded = RawDecoder().decode(file, {64});
    ASSERT_TRUE(decoded.picture) << decoded.error;
    EXPECT_GE(decoded.picture->width(), 64);
    EXPECT_GE(decoded.picture->height(), 64);
    const Decoded preview = RawDecoder().decode(file, {16});
    ASSERT_TRUE(preview.picture) << preview.error;
    EXPECT_LE(preview.picture->width(), 48);
}

// Cut anywhere, a bomb: a failure with LibRaw's reason; not a RAW at all: passed on, so that a
// JPEG named .nef is read as the JPEG it is, and garbage named .dng is refused by the others.
TEST(RawDecoder, RefusesDamagedFilesAndPassesOnWhatIsNoRaw) {
    TempDir dir;
    const RawDecoder decoder;
    const PhotoPixels photo = photoPixels(3);
    for (const DngPreview preview : {DngPreview::Jpeg, DngPreview::None}) {
        const auto good = writeDng(dir / "good.dng", photo, {6, preview, 0});
        const auto size = std::filesystem::file_size(good);
        // LibRaw finds no RAW where the cut took its directories: the other decoders refuse it.
        for (const std::uintmax_t keep :
             {size - 1, size - 100, size / 2, size / 10, std::uintmax_t{300}}) {
            const auto cut = writeTruncatedCopy(good, dir / "cut.dng", keep);
            EXPECT_FALSE(decoder.decode(cut, {64}).picture) << keep << " of " << size;
            const Decoded decoded = decodePicture(cut, 32);
            EXPECT_FALSE(decoded.picture) << keep << " of " << size;
            EXPECT_FALSE(decoded.error.empty()) << keep << " of " << size;
        }
    }
    const Decoded bomb = decoder.decode(writeDngBomb(dir / "bomb.dng", 30000, 20000), {64});
    EXPECT_FALSE(bomb.picture);
    EXPECT_NE(bomb.error.find("megapixels"), std::string::npos) << bomb.error;

    const auto jpeg = writeCameraJpeg(dir / "photo.nef", photo, 1);
    const auto garbage = writeBytes(dir / "garbage.dng", std::string(5000, 'x'));
    for (const auto& file : {jpeg, garbage})
        EXPECT_TRUE(decoder.decode(file, {64}).passedOn) << file;
    EXPECT_FALSE(decodePicture(writeBytes(dir / "empty.cr2", ""), 32).picture);
    std::filesystem::copy_file(jpeg, dir / "photo.jpg");
    const Decoded asJpeg = decodePicture(jpeg, 32);
    ASSERT_TRUE(asJpeg.picture) << asJpeg.error;
    EXPECT_EQ(grid32(asJpeg), grid32(decodePicture(dir / "photo.jpg", 32)));
    EXPECT_FALSE(decodePicture(garbage, 32).picture);
}

// Junk where the raw data should be, in 4 KB that declare 1024 x 768 sensor pixels, lossless-JPEG
// compressed or not: refused on every run, LibRaw finding no error in it or not.
TEST(RawDecoder, RefusesRawDataThatDoesNotDecode) {
    TempDir dir;
    for (const int compression : {7, 1}) {
        const auto file = writeDngWithJunkData(
            dir / ("junk" + std::to_string(compression) + ".dng"), 1024, 768, compression, 4000);
        for (int run = 0; run < 3; ++run) {
            const Decoded decoded = RawDecoder().decode(file, {64});
            EXPECT_FALSE(decoded.picture) << "compression " << compression << ", run " << run;
            EXPECT_FALSE(decoded.error.empty()) << "compression " << compression;
        }
    }
}

} // namespace
} // namespace lumsift
