// Test set-up for the window tests.
#include "tests/app/AppHarness.h"

#include "app/QtMainThread.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/notify/UserNotifications.h"
#include "platform/power/PowerAssertions.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdlib>
#include <mutex>
#include <stdexcept>

namespace lumsift::app::testing {
namespace {

// Neither D-Bus service is needed by these tests.
class NoPower final : public PowerAssertions {
public:
    std::optional<uint32_t> createNoIdleSleepAssertion(std::string_view) override {
        return std::nullopt;
    }
    void release(uint32_t) override {}
};
class NoNotifications final : public UserNotifications {
public:
    void deliver(const std::string&, const std::string&, bool) override {}
};

void ensureApplication() {
    if (QApplication::instance() != nullptr)
        return;
    static int argc = 1;
    static char name[] = "lumsift-app-tests";
    static char* argv[] = {name, nullptr};
    // Lives until the process ends, after every widget of the test.
    new QApplication(argc, argv);
}

std::filesystem::path makeFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumsift-app-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary folder");
    return pattern;
}

// The application object first, then the photo application registered before the engine takes
// it.
LumsiftForAperture& preparedEngine(const std::shared_ptr<scripting::FakeApertureApplication>& fake,
                                   bool registerFake) {
    ensureApplication();
    if (registerFake)
        scripting::ScriptingRegistry::registerApplication(kApertureBundleIdentifier,
                                                          [fake] { return fake; });
    return LumsiftForAperture::sharedLumsiftForAperture();
}

} // namespace

struct AppHarness::Panels {
    mutable std::mutex mutex;
    std::deque<PanelAnswer> answers;
    std::vector<AskedPanel> asked;
};

AppHarness::AppHarness(bool registerFake)
    : app(scripting::FakeApertureApplication::make()), engine(preparedEngine(app, registerFake)),
      folder_(makeFolder()), panels_(std::make_shared<Panels>()) {
    // The start-up's crash check and move offer find nothing to do: no crash logs of ours in
    // the test's data folder, and the offer declined for good.
    setenv("XDG_DATA_HOME", (folder_ / "data").c_str(), 1);
    UserDefaults::useFileForTesting(folder_ / "defaults.ini");
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
            std::lock_guard lock(panels->mutex);
            panels->asked.push_back({panel.canChooseFiles(), panel.canChooseDirectories(),
                                     panel.allowedFileTypes(), panel.title(), panel.message(),
                                     panel.directoryURL()});
            if (panels->answers.empty())
                return OpenPanel::kResponseCancel;
            const PanelAnswer answer = panels->answers.front();
            panels->answers.pop_front();
            if (answer.response == OpenPanel::kResponseOK)
                URLs.push_back(answer.chosen);
            return answer.response;
        });
}

AppHarness::~AppHarness() {
    OpenPanel::setRunnerForTesting({});
    ui.window.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void AppHarness::launch() {
    ui = loadMainInterface();
    ui.window->show();
    ui.delegate->applicationDidFinishLaunching();
}

bool AppHarness::waitFor(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

void AppHarness::processEvents() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void AppHarness::answerPanels(std::vector<PanelAnswer> answers) {
    std::lock_guard lock(panels_->mutex);
    panels_->answers.assign(answers.begin(), answers.end());
}

std::vector<AskedPanel> AppHarness::askedPanels() const {
    std::lock_guard lock(panels_->mutex);
    return panels_->asked;
}

} // namespace lumsift::app::testing
