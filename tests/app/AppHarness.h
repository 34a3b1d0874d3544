// What each window test needs: a QApplication, user defaults in a file of the test's own, the
// fake photo application registered before the engine is used, the Qt main thread for the
// engine, open panels answered by the test, and waiting with the event loop running.
#pragma once

#include "app/MainInterface.h"
#include "app/OpenPanel.h"
#include "engine/LumsiftForAperture.h"
#include "platform/scripting/FakeApertureApplication.h"

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lumsift::app::testing {

// An open panel as the code set it up, and the answer it got.
struct AskedPanel {
    bool canChooseFiles = false;
    bool canChooseDirectories = false;
    std::vector<std::string> allowedFileTypes;
    std::string title;
    std::string message;
    std::filesystem::path directoryURL;
};

struct PanelAnswer {
    int response = OpenPanel::kResponseCancel;
    std::filesystem::path chosen; // for OK
};

class AppHarness {
public:
    // `registerFake`: false leaves the library-package application registered.
    explicit AppHarness(bool registerFake = true);
    ~AppHarness();
    AppHarness(const AppHarness&) = delete;
    AppHarness& operator=(const AppHarness&) = delete;

    // Makes the main window and delegate, shows the window, runs the start-up.
    void launch();
    // Runs the event loop until `condition` holds; false after `timeoutMs`.
    static bool waitFor(const std::function<bool()>& condition, int timeoutMs = 20000);
    // Runs the event loop for the queued work now waiting.
    static void processEvents();

    // The answers the next panels get, in order; a panel with none left gets Cancel.
    void answerPanels(std::vector<PanelAnswer> answers);
    std::vector<AskedPanel> askedPanels() const;

    const std::filesystem::path& folder() const { return folder_; }
    std::shared_ptr<scripting::FakeApertureApplication> app;
    LumsiftForAperture& engine;
    MainInterface ui;

private:
    struct Panels;
    std::filesystem::path folder_;
    std::shared_ptr<Panels> panels_;
};

} // namespace lumsift::app::testing
