// The application main: the window titles it leaves to the platform.
#include "app/MainInterface.h"
#include "platform/defaults/UserDefaults.h"
#include "tests/support/FakeApertureApplication.h"
#include "tests/support/TestImages.h"

#include <QApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>

namespace lumsift::app {
namespace {

std::string displayNameSeen;

TEST(MainInterface, WindowTitlesGetNoApplicationNameAppended) {
    if (QCoreApplication::instance() != nullptr)
        GTEST_SKIP() << "the application main makes its own application object";
    const testimages::TempDir folder;
    setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
    // The one-instance lock of this run meets no other.
    setenv("XDG_RUNTIME_DIR", folder.path().c_str(), 1);
    UserDefaults::useFileForTesting(folder / "defaults.ini");
    UserDefaults::standard().setBool(true, "moveToApplicationsFolderAlertSuppress");
    UserDefaults::standard().setString("https://crash-reports.lumsift.invalid/submit",
                                       "KTWCrashReporterCrashSubmissionURL");
    const auto fake = scripting::FakeApertureApplication::make();
    scripting::ScriptingRegistry::registerApplication(kApertureBundleIdentifier,
                                                      [fake] { return fake; });
    // Once the event loop runs: a display name of the application's own would stay as it is
    // when the name changes, and the platform appends it to every title ("Read Access Required
    // — Lumsift"); without one it follows the name, and titles stay as they are set.
    qAddPreRoutine([] {
        QTimer::singleShot(0, [] {
            QCoreApplication::setApplicationName(QStringLiteral("probe"));
            displayNameSeen = QGuiApplication::applicationDisplayName().toStdString();
            QCoreApplication::exit(0);
        });
    });
    static int argc = 1;
    static char name[] = "lumsift";
    static char* argv[] = {name, nullptr};
    EXPECT_EQ(applicationMain(argc, argv), 0);
    EXPECT_EQ(displayNameSeen, "probe");
}

} // namespace
} // namespace lumsift::app
