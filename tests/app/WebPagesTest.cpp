// The product and support pages from the window's controls: the addresses the build wrote into
// Info.plist, else the README in the bundle's resources, handed to the desktop; what cannot be
// opened shown in an alert; the load's error alert naming the support address.
#include "app/LumsiftAppDelegate.h"
#include "platform/bundle/Bundle.h"
#include "platform/log/Log.h"
#include "tests/app/AppHarness.h"

#include <QAction>
#include <QDesktopServices>
#include <QMessageBox>
#include <QObject>
#include <QUrl>

#include <gtest/gtest.h>

namespace lumsift::app {
namespace {

namespace fs = std::filesystem;
using testing::AppHarness;

// Notes the addresses the desktop is asked to open (in place of the browser, the mail program
// and the file viewer).
class Desktop final : public QObject {
    Q_OBJECT
public:
    explicit Desktop(bool answers) {
        if (!answers)
            return; // the offscreen platform opens nothing
        for (const char* scheme : {"https", "mailto", "file"})
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~Desktop() override {
        for (const char* scheme : {"https", "mailto", "file"})
            QDesktopServices::unsetUrlHandler(scheme);
    }
    std::vector<std::string> opened;

public slots:
    void open(const QUrl& url) { opened.push_back(url.toString().toStdString()); }
};

// A bundle made the main one while this lives: Info.plist with the page addresses given (an
// empty one is left out), and the README in its resources unless `readme` is false.
class BuiltBundle {
public:
    BuiltBundle(const fs::path& folder, const std::string& product, const std::string& support,
                bool readme = true)
        : saved_(Bundle::main()) {
        const fs::path contents = folder / "Lumsift.app/Contents";
        std::string keys;
        for (const auto& [key, address] :
             {std::pair{"LumsiftProductPageURL", product}, {"LumsiftSupportPageURL", support}})
            if (!address.empty())
                keys += std::string("<key>") + key + "</key><string>" + address + "</string>";
        testimages::writeBytes(contents / "Info.plist",
                               "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">"
                               "<dict><key>CFBundleName</key><string>Lumsift</string>" +
                                   keys + "</dict></plist>");
        readme_ = contents / "Resources/README.md";
        fs::create_directories(readme_.parent_path());
        if (readme)
            testimages::writeBytes(readme_, "# Lumsift\n");
        Bundle::setMainForTesting(folder / "Lumsift.app", contents / "MacOS/Lumsift",
                                  contents / "Info.plist", contents / "Resources");
    }
    ~BuiltBundle() {
        Bundle::setMainForTesting(saved_.bundlePath(), saved_.executablePath(),
                                  saved_.infoPlistPath(), saved_.resourcePath());
    }
    const fs::path& readme() const { return readme_; }

private:
    const Bundle saved_;
    fs::path readme_;
};

QMessageBox* openAlert(QWidget* window) {
    for (QMessageBox* box : window->findChildren<QMessageBox*>())
        if (box->isVisible())
            return box;
    return nullptr;
}

// The start page's More Info, then the menu's Lumsift Website, More Info and Technical Support.
void useEveryControl(QMainWindow& window) {
    window.findChild<QPushButton*>("moreInfoButton")->click();
    for (const char* action : {"actionLumsiftWebpage", "actionMoreInfo", "actionTechSupport"})
        window.findChild<QAction*>(action)->trigger();
}

TEST(WebPages, ControlsOpenTheBuiltAddressesOrTheShippedReadme) {
    const std::string product = "https://example.com/lumsift?from=app";
    const std::string support = "mailto:help@example.com";
    for (const bool built : {true, false}) {
        SCOPED_TRACE(built);
        AppHarness h;
        const BuiltBundle bundle(h.folder(), built ? product : "", built ? support : "");
        Desktop desktop(/*answers=*/true);
        h.launch();
        useEveryControl(*h.ui.window);
        const std::string readme =
            QUrl::fromLocalFile(bundle.readme().c_str()).toString().toStdString();
        const std::vector<std::string> expected =
            built ? std::vector{product, product, product, support}
                  : std::vector{readme, readme, readme, readme};
        EXPECT_EQ(desktop.opened, expected);
        EXPECT_EQ(openAlert(h.ui.window.get()), nullptr);
    }
}

// A page the desktop cannot open, and a README missing from the bundle (the desktop is not
// asked): the user is told which, and the log says it.
TEST(WebPages, WhatCannotBeOpenedIsShownAndLogged) {
    for (const bool built : {true, false}) {
        SCOPED_TRACE(built);
        AppHarness h;
        const BuiltBundle bundle(h.folder(), "", built ? "https://example.com/support" : "",
                                 /*readme=*/false);
        Desktop desktop(/*answers=*/!built);
        const std::string page = built ? "https://example.com/support" : bundle.readme().string();
        h.launch();
        const log::Capture log;
        h.ui.window->findChild<QAction*>("actionTechSupport")->trigger();
        EXPECT_TRUE(desktop.opened.empty());
        EXPECT_TRUE(log.contains("LumsiftAppDelegate: could not open " + page));
        QMessageBox* alert = openAlert(h.ui.window.get());
        ASSERT_NE(alert, nullptr);
        EXPECT_EQ(alert->text(), "ERROR");
        EXPECT_EQ(alert->informativeText().toStdString(), "Lumsift could not open " + page + ".");
    }
}

// The load's error alert names whom to contact: the support page's address, the e-mail
// address of a mailto one, else the README.
TEST(WebPages, LoadErrorAlertNamesTheSupportAddress) {
    const struct {
        std::string support;
        std::string contact; // empty: the README's path
    } rows[] = {
        {"https://example.com/support", "https://example.com/support"},
        {"mailto:help@example.com", "help@example.com"},
        {"", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.support);
        AppHarness h;
        const BuiltBundle bundle(h.folder(), "", row.support);
        const std::string project = h.app->addProject("P");
        h.app->addVersion(project, "V1");
        h.app->setTagListMismatch(project, true);
        h.launch();
        h.ui.delegate->nextButton()->click(); // Load Library
        ASSERT_TRUE(AppHarness::waitFor([&] { return openAlert(h.ui.window.get()) != nullptr; }));
        const std::string contact = row.contact.empty() ? bundle.readme().string() : row.contact;
        EXPECT_EQ(openAlert(h.ui.window.get())->informativeText().toStdString(),
                  "A problem was encountered when communication with Aperture.  Please try "
                  "reloading the library.  If the problem persists please contact " +
                      contact);
    }
}

} // namespace
} // namespace lumsift::app

#include "WebPagesTest.moc"
