// Tests of the libvips decoder on its own: only picture formats are read, JPEGs are shrunk on
// load as by the direct decoder, and nothing is passed on.
#include "fingerprint/VipsDecoder.h"

#include "platform/vips/Vips.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

namespace lumsift {
namespace {

using namespace testimages;

TEST(VipsDecoder, ReadsOnlyPicturesAndPassesNothingOn) {
    ASSERT_TRUE(vips::start());
    TempDir dir;
    const VipsDecoder decoder;
    // Files that libvips would read with a loader for data or documents, whatever their name.
    const std::pair<std::filesystem::path, std::string> notPictures[] = {
        {writeBytes(dir / "drawing.png", "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" "
                                         "height=\"10\"><rect width=\"10\" height=\"10\"/></svg>"),
         "svgload"},
        {writeBytes(dir / "matrix.png", "2 2\n1 2\n3 4\n"), "matrixload"},
        {writeBytes(dir / "data.csv", "1,2,3\n4,5,6\n"), "csvload"},
    };
    for (const auto& [file, loader] : notPictures) {
        const Decoded decoded = decoder.decode(file, {64});
        EXPECT_FALSE(decoded.picture) << file;
        EXPECT_EQ(decoded.error, "not a picture format: " + loader);
    }
    const Decoded text = decoder.decode(writeBytes(dir / "text.png", "only words\n"), {64});
    EXPECT_FALSE(text.picture);
    EXPECT_FALSE(text.error.empty());

    // DCT-scaled to 1/8 on load like the direct decoder: both sides still at least 64.
    const Decoded jpeg = decoder.decode(writeSolid(dir / "large.jpg", 1000, 800, 90, 90, 90), {64});
    ASSERT_TRUE(jpeg.picture) << jpeg.error;
    EXPECT_EQ(jpeg.picture->width(), 125);
    EXPECT_EQ(jpeg.picture->height(), 100);
    const Decoded cmyk = decoder.decode(LUMSIFT_TEST_DATA "/cmyk.jpg", {16});
    EXPECT_TRUE(cmyk.picture) << cmyk.error;
    for (const Decoded* decoded : {&text, &jpeg, &cmyk})
        EXPECT_FALSE(decoded->passedOn);
}

} // namespace
} // namespace lumsift
