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

// Once the dialog is up: selects `item` and presses Open, then, if the dialog is still up,
// Cancel.
void answerDialog(const std::filesystem::path& item, std::string* shownFolder = nullptr) {
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
}

OpenPanel packagePanel(const std::filesystem::path& folder) {
    OpenPanel panel;
    panel.setCanChooseFiles(true);
    panel.setCanChooseDirectories(false);
    panel.setAllowedFileTypes({"aplibrary", "photolibrary"});
    panel.setTitle("Read Access Required");
    panel.setMessage("Select it");
    panel.setDirectoryURL(folder);
    return panel;
}

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

TEST(OpenPanel, PackageIsChosenAsOneItem) {
    Folders f;
    OpenPanel panel = packagePanel(f.h.folder());
    answerDialog(f.package);
    ASSERT_EQ(panel.runModal(), OpenPanel::kResponseOK);
    ASSERT_EQ(panel.URLs().size(), 1u);
    EXPECT_EQ(panel.URLs().front(), f.package);
}

TEST(OpenPanel, PackagePanelEntersPlainFoldersAndRefusesOtherFiles) {
    Folders f;
    OpenPanel panel = packagePanel(f.h.folder());
    std::string shown;
    answerDialog(f.plain, &shown);
    EXPECT_EQ(panel.runModal(), OpenPanel::kResponseCancel);
    EXPECT_TRUE(panel.URLs().empty());
    EXPECT_EQ(shown, f.plain.string());

    answerDialog(f.picture);
    EXPECT_EQ(panel.runModal(), OpenPanel::kResponseCancel);
}

TEST(OpenPanel, ReadAccessPanelTakesAFolderOrAFile) {
    Folders f;
    OpenPanel panel;
    panel.setCanChooseFiles(true);
    panel.setCanChooseDirectories(true);
    panel.setDirectoryURL(f.h.folder());
    answerDialog(f.plain);
    ASSERT_EQ(panel.runModal(), OpenPanel::kResponseOK);
    EXPECT_EQ(panel.URLs().front(), f.plain);

    answerDialog(f.picture);
    ASSERT_EQ(panel.runModal(), OpenPanel::kResponseOK);
    EXPECT_EQ(panel.URLs().front(), f.picture);
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
