// Test set-up for the window tests.
#include "tests/app/AppHarness.h"

#include "app/QtMainThread.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/notify/UserNotifications.h"
#include "platform/power/PowerAssertions.h"

#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>

namespace lumsift::app::testing {
namespace {

// Neither D-Bus service is needed by these tests.
class NoPower final : public PowerAssertions {
public:
    std::optional<uint32_t> createNoIdleSleepAssertion(std::string_view) override { return {}; }
    void release(uint32_t) override {}
};
class NoNotifications final : public UserNotifications {
public:
    void deliver(const std::string&, const std::string&, bool) override {}
};

// The application object first (it lives until the process ends, after every widget of the
// test), then the photo application registered before the engine takes it.
LumsiftForAperture& preparedEngine(const std::shared_ptr<scripting::FakeApertureApplication>& fake,
                                   bool registerFake) {
    if (QApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "lumsift-app-tests";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);
    }
    if (registerFake)
        scripting::ScriptingRegistry::registerApplication(kApertureBundleIdentifier,
                                                          [fake] { return fake; });
    return LumsiftForAperture::sharedLumsiftForAperture();
}

} // namespace

// Panels run on the main thread only: no lock.
struct AppHarness::Panels {
    std::deque<std::filesystem::path> answers;
    std::vector<OpenPanel> asked;
};

AppHarness::AppHarness(bool registerFake)
    : app(scripting::FakeApertureApplication::make()), engine(preparedEngine(app, registerFake)),
      panels_(std::make_shared<Panels>()) {
    // The start-up's crash check and move offer find nothing to do: no crash logs of ours in
    // the test's data folder, and the offer declined for good.
    setenv("XDG_DATA_HOME", (folder() / "data").c_str(), 1);
    UserDefaults::useFileForTesting(folder() / "defaults.ini");
    UserDefaults::standard().setBool(true, "moveToApplicationsFolderAlertSuppress");
    // The crash check needs an address even with nothing to send; no Info.plist lies beside the
    // test program.
    UserDefaults::standard().setString("https://crash-reports.lumsift.invalid/submit",
                                       "KTWCrashReporterCrashSubmissionURL");
    setMainThread(std::make_shared<QtMainThread>());
    engine.resetForTesting();
    engine.setPowerAssertions(std::make_shared<NoPower>());
    engine.setUserNotifications(std::make_shared<NoNotifications>());
    OpenPanel::setRunnerForTesting(
        [panels = panels_](const OpenPanel& panel, std::vector<std::filesystem::path>& URLs) {
            panels->asked.push_back(panel);
            std::filesystem::path answer;
            if (!panels->answers.empty()) {
                answer = panels->answers.front();
                panels->answers.pop_front();
            }
            if (answer.empty())
                return OpenPanel::kResponseCancel;
            URLs.push_back(answer);
            return OpenPanel::kResponseOK;
        });
}

AppHarness::~AppHarness() {
    OpenPanel::setRunnerForTesting({});
    ui.window.reset();
}

void AppHarness::addImages(int count, int plusTagged) {
    const std::string project = app->addProject("Holiday");
    for (int i = 0; i < count; ++i) {
        const std::string id = std::string("V").append(std::to_string(i));
        app->addVersion(project, id);
        if (i < plusTagged)
            app->setCustomTag(id, "Lumsift+", "12345");
    }
}

void AppHarness::launch() {
    ui = loadMainInterface();
    ui.window->show();
    ui.delegate->applicationDidFinishLaunching();
}

bool AppHarness::waitFor(const std::function<bool()>& condition, int timeoutMs) {
    return QTest::qWaitFor(condition, timeoutMs);
}

bool AppHarness::waitUntilIdle(const LoadingDataView& page, int timeoutMs) {
    // Also until the engine's run has ended on its thread (it gives the page its controls back
    // before it has let go of its workers), so that no run outlives the test.
    return waitFor(
        [&] {
            return !page.runUnderway() &&
                   !LumsiftForAperture::sharedLumsiftForAperture().runUnderway();
        },
        timeoutMs);
}

ResultsView* AppHarness::searchThroughTheWindow(const std::filesystem::path& package) {
    LumsiftAppDelegate& d = *ui.delegate;
    emit qGuiApp->applicationStateChanged(Qt::ApplicationActive);
    d.nextButton()->click(); // Load Library
    LoadingDataView* loading = d.loadingDataViewController()->loadingDataView();
    if (!waitUntilIdle(*loading)) {
        ADD_FAILURE() << "the library load did not end";
        return nullptr;
    }
    answerPanels({package});
    loading->analyseButton()->click();
    if (!waitUntilIdle(*loading, 120000)) {
        ADD_FAILURE() << "the analysis did not end";
        return nullptr;
    }
    d.nextButton()->click(); // Detect Similars
    auto* results = static_cast<ResultsView*>(d.resultsViewController()->view());
    results->startSearchButton()->click();
    if (!waitFor([&] { return results->startSearchButton()->isEnabled(); }, 60000)) {
        ADD_FAILURE() << "the search did not end";
        return nullptr;
    }
    processEvents();
    return results;
}

void AppHarness::processEvents() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void AppHarness::answerPanels(std::vector<std::filesystem::path> answers) {
    panels_->answers.assign(answers.begin(), answers.end());
}

std::vector<OpenPanel> AppHarness::askedPanels() const {
    return panels_->asked;
}

} // namespace lumsift::app::testing
