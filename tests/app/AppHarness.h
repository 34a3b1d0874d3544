// What each window test needs: a QApplication, user defaults in a folder of the test's own, the
// fake photo application registered before the engine is used, the Qt main thread for the
// engine, open panels answered by the test, and waiting with the event loop running.
#pragma once

#include "app/Controls.h"
#include "app/MainInterface.h"
#include "app/OpenPanel.h"
#include "app/ResultsView.h"
#include "engine/LumsiftForAperture.h"
#include "tests/support/FakeApertureApplication.h"
#include "tests/support/TestImages.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lumsift::app::testing {

// The text a label shows.
inline std::string text(QtTextField* field) {
    return field->stringValue();
}

class AppHarness {
public:
    // `registerFake`: false leaves the application that the test registered.
    explicit AppHarness(bool registerFake = true);
    ~AppHarness();
    AppHarness(const AppHarness&) = delete;
    AppHarness& operator=(const AppHarness&) = delete;

    // Adds `count` images V0.. in one project to the fake photo application; the first
    // `plusTagged` carry a plus fingerprint.
    void addImages(int count, int plusTagged = 0);
    // Makes the main window and delegate, shows the window, runs the start-up.
    void launch();
    // Runs the event loop until `condition` holds; false after `timeoutMs`.
    static bool waitFor(const std::function<bool()>& condition, int timeoutMs = 20000);
    // Runs the event loop until the engine has enabled the page's controls again after its run.
    static bool waitUntilIdle(const LoadingDataView& page, int timeoutMs = 20000);
    // Runs the event loop for the queued work now waiting.
    static void processEvents();
    // After launch(), drives the window as a user does: tells it the application is active
    // again, then Load Library, Analyse Library (the package panel answered with `package`),
    // Detect Similars and Find Similar Images. Returns the results page once the search has
    // ended; null, with a test failure, when a step did not end in time.
    ResultsView* searchThroughTheWindow(const std::filesystem::path& package);

    // The answers the next panels get, in order: a path is Open with that item, an empty path
    // Cancel. A panel with no answer left gets Cancel.
    void answerPanels(std::vector<std::filesystem::path> answers);
    // Copies of the panels asked so far, as the code set them up.
    std::vector<OpenPanel> askedPanels() const;

    const std::filesystem::path& folder() const { return folder_.path(); }
    std::shared_ptr<scripting::FakeApertureApplication> app;
    LumsiftForAperture& engine;
    MainInterface ui;

private:
    struct Panels;
    testimages::TempDir folder_;
    std::shared_ptr<Panels> panels_;
};

} // namespace lumsift::app::testing
