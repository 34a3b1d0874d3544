// The open panel's dialog: a library package is chosen as one item, a plain folder is entered
// or chosen as the panel allows, and a file of another type is refused.
#include "app/OpenPanel.h"
#include "tests/app/AppHarness.h"

#include <QApplication>
#include <QFileDialog>
#include <QTimer>

#include <gtest/gtest.h>

#include <fstream>

namespace lumsift::app {
namespace {

using testing::AppHarness;

// A package, a plain folder and a picture in the harness's folder; panels show the dialog.
struct Folders {
    AppHarness h;
    std::filesystem::path package = h.folder() / "Trip.photolibrary";
    std::filesystem::path plain = h.folder() / "Holiday";
    std::filesystem::path picture = h.folder() / "one.jpg";
    Folders() {
        OpenPanel::setRunnerForTesting({});
        std::filesystem::create_directories(package / "Masters");
        std::filesystem::create_directories(plain);
        std::ofstream(picture) << "x";
    }
};

// Runs `panel` and, once its dialog is up, selects `item` and presses Open, then Cancel if the
// dialog is still up. Returns the response; `shownFolder` gets the folder shown before Cancel.
int runChoosing(OpenPanel& panel, const std::filesystem::path& item,
                std::string* shownFolder = nullptr) {
    QTimer::singleShot(0, [item, shownFolder] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->selectFile(QString::fromStdString(item.string()));
        QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
        if (!dialog->isVisible())
            return;
        if (shownFolder != nullptr)
            *shownFolder = dialog->directory().absolutePath().toStdString();
        dialog->reject();
    });
    return panel.runModal();
}

TEST(OpenPanel, PackagePanelTakesAPackageAsOneItemEntersFoldersAndRefusesOtherFiles) {
    Folders f;
    OpenPanel panel;
    panel.setCanChooseFiles(true);
    panel.setCanChooseDirectories(false);
    panel.setAllowedFileTypes({"aplibrary", "photolibrary"});
    panel.setMessage("Select it");
    panel.setDirectoryURL(f.h.folder());

    ASSERT_EQ(runChoosing(panel, f.package), OpenPanel::kResponseOK);
    EXPECT_EQ(panel.URLs(), std::vector<std::filesystem::path>{f.package});

    std::string shown;
    EXPECT_EQ(runChoosing(panel, f.plain, &shown), OpenPanel::kResponseCancel);
    EXPECT_TRUE(panel.URLs().empty());
    EXPECT_EQ(shown, f.plain.string());

    EXPECT_EQ(runChoosing(panel, f.picture), OpenPanel::kResponseCancel);
}

TEST(OpenPanel, ReadAccessPanelTakesAFolderOrAFile) {
    Folders f;
    OpenPanel panel;
    panel.setCanChooseFiles(true);
    panel.setCanChooseDirectories(true);
    panel.setDirectoryURL(f.h.folder());
    for (const auto& item : {f.plain, f.picture}) {
        ASSERT_EQ(runChoosing(panel, item), OpenPanel::kResponseOK) << item;
        EXPECT_EQ(panel.URLs(), std::vector<std::filesystem::path>{item});
    }
}

TEST(OpenPanel, SuffixesMatchWithoutRegardToCase) {
    const std::vector<std::string> types{"aplibrary", "photolibrary"};
    EXPECT_TRUE(OpenPanel::hasAllowedType("/p/Trip.APLibrary", types));
    EXPECT_TRUE(OpenPanel::hasAllowedType("/p/Trip.photolibrary/", types));
    EXPECT_FALSE(OpenPanel::hasAllowedType("/p/Trip.aplibrary.zip", types));
    EXPECT_FALSE(OpenPanel::hasAllowedType("/p/aplibrary", types));
}

} // namespace
} // namespace lumsift::app
