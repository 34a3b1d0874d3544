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

TEST(OpenPanel, DialogChoosesOnlyWhatThePanelAllows) {
    Folders f;
    // The library-package panel and the read-access panel.
    OpenPanel package;
    package.setAllowedFileTypes({"aplibrary", "photolibrary"});
    package.setMessage("Select it");
    OpenPanel access;
    access.setCanChooseDirectories(true);
    struct Case {
        OpenPanel* panel;
        std::filesystem::path item;
        bool chosen;
    };
    for (const Case& c : {Case{&package, f.package, true}, Case{&package, f.plain, false},
                          Case{&package, f.picture, false}, Case{&access, f.plain, true},
                          Case{&access, f.picture, true}}) {
        c.panel->setDirectoryURL(f.h.folder());
        EXPECT_EQ(runChoosing(*c.panel, c.item),
                  c.chosen ? OpenPanel::kResponseOK : OpenPanel::kResponseCancel)
            << c.item;
        EXPECT_EQ(c.panel->URLs(),
                  c.chosen ? std::vector{c.item} : std::vector<std::filesystem::path>{});
    }
    // A plain folder in the package panel is entered rather than chosen.
    std::string shown;
    runChoosing(package, f.plain, &shown);
    EXPECT_EQ(shown, f.plain.string());
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
