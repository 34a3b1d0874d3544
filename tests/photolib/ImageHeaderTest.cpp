// Reading a picture's size from its header for an import, and the pictures an import refuses for
// their declared size.
#include "photolib/ImageHeader.h"

#include "photolib/LibraryPackage.h"
#include "tests/photolib/TestLibrary.h"
#include "tests/support/HostileImages.h"
#include "tests/support/RawImages.h"

#include <gtest/gtest.h>

#include <map>

namespace fs = std::filesystem;
using namespace lumsift::photolib;
using namespace lumsift::testimages;
using lumsift::testlib::runPhotolib;
using lumsift::testlib::TempFolder;
using lumsift::testlib::writeImage;

namespace {

// A picture that declares more pixels than a picture may have, or none on a side, is refused,
// from its header alone, and the import changes nothing.
TEST(ImageHeader, ImportRefusesPicturesThatDeclareTooManyPixelsOrNone) {
    TempFolder temp;
    const fs::path bombs[] = {
        writeGifBomb(temp / "in" / "screen.gif", 65535, 65535),
        writeGifBomb(temp / "in" / "no-width.gif", 0, 10), // libvips would make it 1 x 10
        writeJpegBomb(temp / "in" / "progressive.jpg", 65500, 65500, true),
        writePngBomb(temp / "in" / "rows.png", 23000, 23000),
        writeDngBomb(temp / "in" / "sensor.dng", 30000, 20000),
    };
    for (const fs::path& bomb : bombs) {
        const auto size = readImageSize(bomb);
        ASSERT_TRUE(size) << bomb;
        EXPECT_NE(sizeRefusal(*size).find("megapixels"), std::string::npos) << bomb;
    }
    EXPECT_EQ(sizeRefusal({20000, 25000}), ""); // 500 megapixels
    EXPECT_NE(sizeRefusal({20001, 25000}), "");
    EXPECT_NE(sizeRefusal({0, 10}), "");

    LibraryPackage library = LibraryPackage::create(temp / "L.aplibrary");
    ImportOptions options;
    options.project = "P";
    const fs::path good = writeImage(temp / "in" / "good.jpg", 10, 10);
    for (const fs::path& bomb : bombs) {
        try {
            library.importFiles(std::vector{good, bomb}, options);
            ADD_FAILURE() << bomb << " imported";
        } catch (const lumsift::scripting::ScriptingError& e) {
            EXPECT_NE(std::string(e.what()).find("declares"), std::string::npos) << e.what();
        }
    }
    EXPECT_TRUE(library.projects().empty());
    EXPECT_TRUE(fs::is_empty(library.path() / "Masters"));
}

// A RAW's size is read from its header, as shown (turned by its orientation); photolib import
// takes RAW files by their suffix in either case, and refuses a RAW-named file that is none.
TEST(ImageHeader, RawSizesAsShownAndPhotolibImportsRawFiles) {
    TempFolder temp;
    const PhotoPixels photo = photoPixels(1);
    const std::string w = std::to_string(photo.width), h = std::to_string(photo.height);
    const fs::path upright = writeDng(temp / "raw" / "upright.dng", photo, {1, DngPreview::Jpeg});
    const fs::path turned = writeDng(temp / "raw" / "turned.DNG", photo, {6, DngPreview::None});
    writeDng(temp / "raw" / "nikon.NEF", photo, {8, DngPreview::Jpeg}); // a DNG by content
    const auto size = readImageSize(upright);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->width, photo.width);
    EXPECT_EQ(size->height, photo.height);
    EXPECT_EQ(readImageSize(turned)->width, photo.height);
    EXPECT_TRUE(readsImage(turned));

    const std::string library = (temp / "L.aplibrary").string();
    ASSERT_EQ(runPhotolib({"create", library}).exitCode, 0);
    const auto imported = runPhotolib({"import", library, (temp / "raw").string()});
    ASSERT_EQ(imported.exitCode, 0) << imported.err;
    EXPECT_NE(imported.out.find("Imported 3 images"), std::string::npos) << imported.out;
    std::map<std::string, std::string> sizes;
    for (const VersionRecord& v : LibraryPackage::open(library).versions())
        sizes[v.name] = std::to_string(v.width) + "x" + std::to_string(v.height);
    EXPECT_EQ(sizes,
              (std::map<std::string, std::string>{
                  {"nikon", h + "x" + w}, {"turned", h + "x" + w}, {"upright", w + "x" + h}}));
    const fs::path garbage = lumsift::testlib::writeBytes(temp / "bad" / "x.nef", "not a raw");
    EXPECT_FALSE(readsImage(garbage));
    const auto refused = runPhotolib({"import", library, garbage.string()});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("is not an image"), std::string::npos) << refused.err;
}

} // namespace
