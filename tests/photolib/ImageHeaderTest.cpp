// Reading a picture's size from its header for an import, and the pictures an import refuses for
// their declared size.
#include "photolib/ImageHeader.h"

#include "photolib/LibraryPackage.h"
#include "tests/photolib/TestLibrary.h"
#include "tests/support/HostileImages.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace lumsift::photolib;
using namespace lumsift::testimages;
using lumsift::testlib::TempFolder;
using lumsift::testlib::writeImage;

namespace {

// A picture that declares more pixels than a picture may have is refused, from its header alone,
// and the import changes nothing.
TEST(ImageHeader, ImportRefusesPicturesThatDeclareTooManyPixels) {
    TempFolder temp;
    const fs::path bombs[] = {
        writeGifBomb(temp / "in" / "screen.gif", 65535, 65535),
        writeJpegBomb(temp / "in" / "progressive.jpg", 65500, 65500, true),
        writePngBomb(temp / "in" / "rows.png", 23000, 23000),
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

} // namespace
