// One run through the real window over a real library package: load, analyse, select, search,
// read the counts, clear the keywords.
#include "app/ResultsView.h"
#include "photolib/LibraryApplication.h"
#include "photolib/LibraryPackage.h"
#include "tests/app/AppHarness.h"
#include "tests/support/TestImages.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace lumsift::app {
namespace {

using testimages::Variant;
using testing::AppHarness;

// Every keyword of the package's versions as "<file name>: <keyword>|<parent>", in the order
// of the versions and of each version's keywords.
std::vector<std::string> searchKeywords(const std::filesystem::path& package) {
    auto library = photolib::LibraryPackage::open(package);
    std::vector<std::string> names;
    for (const auto& version : library.versions())
        for (const auto& keyword : library.keywords(version.uuid))
            names.push_back(version.fileName + ": " + keyword.name + "|" + keyword.parentName);
    return names;
}

// With LUMSIFT_SCREENSHOT_DIR set (run by hand under xvfb-run with QT_QPA_PLATFORM=xcb), saves
// the window as <dir>/<name>.png.
void saveScreenshot(QWidget& window, const char* name) {
    const char* folder = std::getenv("LUMSIFT_SCREENSHOT_DIR");
    if (folder == nullptr)
        return;
    AppHarness::processEvents();
    const QString file = QString::fromLocal8Bit(folder) + "/" + name + ".png";
    EXPECT_TRUE(window.grab().save(file)) << file.toStdString();
}

TEST(LumsiftWindow, LoadAnalyseSearchAndClearOverALibraryPackage) {
    testimages::TempDir folder;
    // The stand-in's "which library is open" setting stays inside the test's folder.
    ASSERT_EQ(setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1), 0);
    // Five photographs, two of them the same picture in two sizes.
    const std::filesystem::path photos = folder / "photos";
    std::filesystem::create_directories(photos);
    const std::string target = testimages::writePhotoIn(photos, 0).filename().string();
    const std::string copy = testimages::writePhotoIn(photos, 0, Variant::Half).filename().string();
    for (int i = 1; i < 4; ++i)
        testimages::writePhotoIn(photos, i);
    const std::filesystem::path package = folder / "Trip.aplibrary";
    photolib::ImportOptions options;
    options.project = "Trip";
    std::string targetId;
    std::string targetName;
    for (const auto& version : photolib::LibraryPackage::create(package)
                                   .importFiles(std::vector{photos}, options)
                                   .imported)
        if (version.fileName == target) {
            targetId = version.uuid;
            targetName = version.name;
        }
    ASSERT_FALSE(targetId.empty());
    photolib::openLibrary(package);

    photolib::registerLibraryApplication();
    AppHarness h(/*registerFake=*/false);
    h.launch();
    LumsiftAppDelegate& d = *h.ui.delegate;
    h.ui.window->resize(720, 560);
    saveScreenshot(*h.ui.window, "start-page");

    QTest::mouseClick(d.nextButton(), Qt::LeftButton); // load
    LoadingDataView* loading = d.loadingDataViewController()->loadingDataView();
    ASSERT_TRUE(AppHarness::waitUntilIdle(*loading));
    EXPECT_EQ(loading->retrieveStatusLabel()->stringValue(), "Data Collected");
    EXPECT_EQ(loading->totalImagesLabel()->stringValue(), "5");
    EXPECT_EQ(loading->notAnalysedImagesLabel()->stringValue(), "5");
    // Analyse, pointing the panel at the package.
    h.answerPanels({package});
    QTest::mouseClick(loading->analyseButton(), Qt::LeftButton);
    ASSERT_TRUE(AppHarness::waitUntilIdle(*loading, 120000));
    EXPECT_EQ(loading->retrieveStatusLabel()->stringValue(), "Analysis Complete");
    EXPECT_EQ(loading->analysedImagesLabel()->stringValue(), "5");
    EXPECT_EQ(loading->notAnalysedImagesLabel()->stringValue(), "0");
    EXPECT_EQ(h.askedPanels().size(), 1u);
    saveScreenshot(*h.ui.window, "loading-page");
    // Select the target in the photo application and come back.
    photolib::LibraryPackage::open(package).select(std::vector{targetId});
    emit qGuiApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(d.selectedLabel()->text(), "1");

    ASSERT_TRUE(d.nextButton()->isEnabled());
    QTest::mouseClick(d.nextButton(), Qt::LeftButton);
    auto* results = static_cast<ResultsView*>(d.resultsViewController()->view());
    EXPECT_EQ(d.nextButton()->text(), "Library Analysis");
    QTest::mouseClick(results->startSearchButton(), Qt::LeftButton);
    ASSERT_TRUE(
        AppHarness::waitFor([&] { return results->startSearchButton()->isEnabled(); }, 60000));
    AppHarness::processEvents();
    EXPECT_EQ(results->retrieveStatusLabel()->stringValue(), "Retrieval Complete");
    EXPECT_EQ(results->analysedImagesLabel()->stringValue(), "1");
    // Exactly the half-size copy is found: it and the target carry the keywords, nothing else.
    EXPECT_EQ(results->similarImagesLabel()->stringValue(), "1");
    EXPECT_TRUE(results->clearKeywordsEnabled());
    saveScreenshot(*h.ui.window, "results-page");
    const std::string keyword = "Lumsift " + targetName + "|ZUL Lumsift";
    std::vector<std::string> expected = {target + ": Lumsift Target|ZUL Lumsift",
                                         target + ": " + keyword, copy + ": " + keyword};
    std::vector<std::string> added = searchKeywords(package);
    std::sort(expected.begin(), expected.end());
    std::sort(added.begin(), added.end());
    EXPECT_EQ(added, expected);

    QTest::mouseClick(results->findChild<QPushButton*>("clearKeywordsButton"), Qt::LeftButton);
    EXPECT_TRUE(searchKeywords(package).empty());
    EXPECT_EQ(results->analysedImagesLabel()->stringValue(), "Ready");
    EXPECT_EQ(results->similarImagesLabel()->stringValue(), "Ready");
    EXPECT_EQ(results->retrieveStatusLabel()->stringValue(), "Ready To Search");
    EXPECT_FALSE(results->clearKeywordsEnabled());

    photolib::closeLibrary();
}

} // namespace
} // namespace lumsift::app
