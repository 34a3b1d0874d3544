// The application delegate: starts the system in order, runs the three-page wizard and its Next
// button, keeps the selection-count label, opens the product and support pages, and serves the
// engine with the Next button, alert sheets on the main window and the read-access prompt.
// One instance per process, made by loadMainInterface and held by the engine from start-up on.
#pragma once

#include "app/Box.h"
#include "app/LoadingDataViewController.h"
#include "app/ViewController.h"
#include "engine/LumsiftForAperture.h"
#include "engine/Pages.h"

#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QUrl>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lumsift::app {

// A warning alert as set up for a sheet: plain data, so that a worker thread can make one.
struct Alert {
    std::string messageText;     // the bold first line
    std::string informativeText; // the text below it
    std::vector<std::string> buttons;
};

class LumsiftAppDelegate final : public AppDelegate,
                                 public std::enable_shared_from_this<LumsiftAppDelegate> {
public:
    // init: no prompt has been answered yet.
    LumsiftAppDelegate() = default;

    // --- Application delegate (main thread) ---
    // The start-up: crash check, move offer, engine (given the support page as the contact its
    // alerts name), then the first page. Must be called once, after the outlets are connected.
    // A crash check that raises is logged and the start-up goes on without the report window.
    void applicationDidFinishLaunching();
    // Writes the photo application's selection count into selectedLabel.
    void applicationDidBecomeActive();
    // True for every notification: they show also while the application is in front.
    bool userNotificationCenterShouldPresentNotification() const { return true; }

    // The process-wide skip value; the setter also writes SKIPSTARTSCREEN. Any thread.
    static bool skipStartScreen();
    static void setSkipStartScreen(bool skip);

    // The Next button's action.
    void nextView();
    // The product page (moreInfoButton, lumsiftWebpage) and the support page (techSupport): the
    // addresses Lumsift was built with, else the README in the bundle, opened through the
    // desktop; what cannot be opened is logged and shown in an alert.
    void moreInfoButton();
    void lumsiftWebpage();
    void techSupport();

    // --- Services to the engine ---
    void enableNextView() override;
    void disableNextView() override;
    // Any thread: begins the sheet on the main thread and returns once it is up (not when the
    // user has answered it).
    void showAlert(const std::string& message, const std::string& title) override;
    // Main thread: begins `alert` (copied) as a window-modal sheet on `window` and returns.
    void doAlertSheet(const Alert& alert);
    // Main thread: the read-access prompt for `path`, once; Open counts a prompt answered, any
    // other answer is logged. The caller tests the file again either way.
    void userSelectedFiles(const std::string& path) override;

    // --- Closing the main window (main thread) ---
    // True when the window may close: no analysis or search is underway. Otherwise asks, in a
    // sheet on the window, whether to stop it; on "Stop and Quit" the run is asked to stop at
    // its next image boundary and the window is closed once it has ended. False meanwhile.
    bool windowShouldClose();

    // --- Outlets (main thread; each borrowed, owned by the main window) ---
    QMainWindow* window() const { return window_.data(); }
    void setWindow(QMainWindow* window) { window_ = window; }
    Box* box() const { return box_.data(); }
    void setBox(Box* box) { box_ = box; }
    QPushButton* nextButton() const { return nextButton_.data(); }
    void setNextButton(QPushButton* button) { nextButton_ = button; }
    QLabel* selectedLabel() const { return selectedLabel_.data(); }
    void setSelectedLabel(QLabel* label) { selectedLabel_ = label; }
    ViewController* startScreenViewController() const { return startScreenViewController_.data(); }
    void setStartScreenViewController(ViewController* c) { startScreenViewController_ = c; }
    LoadingDataViewController* loadingDataViewController() const {
        return loadingDataViewController_.data();
    }
    void setLoadingDataViewController(LoadingDataViewController* c) {
        loadingDataViewController_ = c;
    }
    ViewController* resultsViewController() const { return resultsViewController_.data(); }
    void setResultsViewController(ViewController* c) { resultsViewController_ = c; }
    // The page controller now shown; null before start-up.
    ViewController* currentViewController() const { return currentViewController_.data(); }

    // Borrowed; the engine lives for the process. Null before start-up.
    LumsiftForAperture* lumsiftForAperture() const { return lumsiftForAperture_; }
    void setLumsiftForAperture(LumsiftForAperture* engine) { lumsiftForAperture_ = engine; }
    uint64_t userSelectedFilesCount() const { return userSelectedFilesCount_.load(); }
    void setUserSelectedFilesCount(uint64_t count) { userSelectedFilesCount_.store(count); }

private:
    // Opens `page` through the desktop, with an alert when it cannot.
    void openWebPage(const QUrl& page);
    // Start-up step 6 and page-switch step 4: the page fills the content view as subview 1.
    void showPageView(QWidget* view);
    // The sheet that asks whether to stop the run underway.
    void askToStopRun();
    // Stops the run at its next image boundary and closes the window when it has ended.
    void stopRunAndClose();

    QPointer<ViewController> currentViewController_;
    QPointer<ViewController> startScreenViewController_;
    QPointer<LoadingDataViewController> loadingDataViewController_;
    QPointer<ViewController> resultsViewController_;
    QPointer<QMainWindow> window_;
    QPointer<Box> box_;
    QPointer<QPushButton> nextButton_;
    QPointer<QLabel> selectedLabel_;
    LumsiftForAperture* lumsiftForAperture_ = nullptr;
    std::atomic<uint64_t> userSelectedFilesCount_{0};
    // The question while it is shown; true once the user chose to stop and quit.
    QPointer<QMessageBox> stopQuestion_;
    bool closingAfterRun_ = false;
};

} // namespace lumsift::app
