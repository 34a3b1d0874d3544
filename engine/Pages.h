// What the engine reports to: the loading page, the results page and the application delegate.
// The application implements these with widgets, tests with recorders.
// Rule: every control change goes through MainThread::post (engine/MainThread.h, included for
// the implementers of these pages); the worker never touches a control itself. Values
// (selectedAlgorithm, sensitivity, ...) are read directly from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "engine/MainThread.h"

namespace lumsift {

// A progress indicator. Main thread only.
class ProgressIndicator {
public:
    virtual ~ProgressIndicator() = default;
    virtual void setIndeterminate(bool indeterminate) = 0;
    virtual void setMaxValue(double value) = 0;
    virtual void setDoubleValue(double value) = 0;
    virtual void startAnimation() = 0;
    virtual void stopAnimation() = 0;
};

// A text field. Main thread only.
class TextField {
public:
    virtual ~TextField() = default;
    virtual void setStringValue(const std::string& text) = 0;
};

// The loading and analysis page. Outlet getters and the two values are safe from any thread;
// the returned controls are borrowed and live as long as the page.
class LoadingPage {
public:
    virtual ~LoadingPage() = default;
    // "retriev" is the outlet's given spelling on both pages, kept on purpose: do not correct it.
    virtual ProgressIndicator* retrievProgressIndicator() = 0;
    virtual TextField* retrieveStatusLabel() = 0;
    virtual TextField* totalImagesLabel() = 0;
    virtual TextField* analysedImagesLabel() = 0;
    virtual TextField* notAnalysedImagesLabel() = 0;
    // The analysis choice: 0 all three kinds, 1 plus, 2 Pro, 3 plain.
    virtual int32_t selectedAlgorithm() const = 0;
    // True: the analysis covers the photo application's selection only.
    virtual bool selectionMode() const = 0;
    // Main thread only.
    virtual void disableAnalyseButton() = 0;
    virtual void enableAnalyseButton() = 0;
    virtual void stopAnimation() = 0;
};

// The search and results page. Getters safe from any thread; setters main thread only.
class ResultsPage {
public:
    virtual ~ResultsPage() = default;
    virtual ProgressIndicator* retrievProgressIndicator() = 0;
    virtual TextField* analysedImagesLabel() = 0;
    virtual TextField* similarImagesLabel() = 0;
    virtual TextField* retrieveStatusLabel() = 0;
    virtual TextField* specialMessagesLabel() = 0;
    virtual int64_t sensitivity() const = 0;
    virtual bool autoSensitive() const = 0;
    virtual void setSensitivity(int64_t value) = 0;
    virtual void setMoreImagesEnabled(bool enabled) = 0;
    virtual void setLessImagesEnabled(bool enabled) = 0;
    virtual void setMoreImagesText(const std::string& text) = 0;
    virtual void setLessImagesText(const std::string& text) = 0;
    virtual void setPerSensitivityToolTip(const std::string& text) = 0;
    virtual void setClearKeywordsEnabled(bool enabled) = 0;
    virtual void enableStartSearchButton() = 0;
};

// The application delegate's services to the engine.
class AppDelegate {
public:
    virtual ~AppDelegate() = default;
    // Main thread only (the engine posts them).
    virtual void enableNextView() = 0;
    virtual void disableNextView() = 0;
    // Called on a worker thread: shows a sheet on the main window and returns once it is up.
    virtual void showAlert(const std::string& message, const std::string& title) = 0;
    // Main thread only (the engine runs it there and waits): the read-access prompt for `path`.
    virtual void userSelectedFiles(const std::string& path) = 0;
};

} // namespace lumsift
