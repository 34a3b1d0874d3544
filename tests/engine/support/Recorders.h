// Recording stand-ins for what the engine reports to: the pages, the delegate, the main thread,
// the idle-sleep assertions and the notifications. Every report becomes one text event in a
// shared ordered list, e.g. "dataView.retrieveStatusLabel=Data Collected",
// "delegate.disableNextView", "dataView.progress.max=3", so tests can assert the order.
#pragma once

#include "engine/Pages.h"
#include "platform/notify/UserNotifications.h"
#include "platform/power/PowerAssertions.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumsift::testing {

// The shared ordered list of events. Thread-safe.
class EventLog {
public:
    void add(std::string event);
    std::vector<std::string> events() const;
    // The events that start with `prefix`, in order.
    std::vector<std::string> startingWith(std::string_view prefix) const;
    bool contains(std::string_view event) const { return count(event) > 0; }
    std::size_t count(std::string_view event) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

// Records "<prefix>=<text>" and keeps the last text.
class RecordingTextField : public TextField {
public:
    RecordingTextField(EventLog& log, std::string prefix) : log_(log), prefix_(std::move(prefix)) {}
    void setStringValue(const std::string& text) override;
    std::string value() const;

private:
    EventLog& log_;
    std::string prefix_;
    mutable std::mutex mutex_;
    std::string value_;
};

// Records "<prefix>.indeterminate=0|1", ".max=<n>", ".value=<n>", ".startAnimation" and
// ".stopAnimation".
class RecordingProgress : public ProgressIndicator {
public:
    RecordingProgress(EventLog& log, std::string prefix) : log_(log), prefix_(std::move(prefix)) {}
    void setIndeterminate(bool indeterminate) override;
    void setMaxValue(double value) override;
    void setDoubleValue(double value) override;
    void startAnimation() override;
    void stopAnimation() override;

private:
    EventLog& log_;
    std::string prefix_;
};

// Loading page: events start with "dataView.". The test sets its analysis choice and mode.
class RecordingLoadingPage : public LoadingPage {
public:
    explicit RecordingLoadingPage(EventLog& log);
    ProgressIndicator* retrievProgressIndicator() override { return &progress; }
    TextField* retrieveStatusLabel() override { return &statusLabel; }
    TextField* totalImagesLabel() override { return &totalLabel; }
    TextField* analysedImagesLabel() override { return &analysedLabel; }
    TextField* notAnalysedImagesLabel() override { return &notAnalysedLabel; }
    int32_t selectedAlgorithm() const override { return algorithm.load(); }
    bool selectionMode() const override { return selectionOnly.load(); }
    void disableAnalyseButton() override { log_.add("dataView.disableAnalyseButton"); }
    void enableAnalyseButton() override { log_.add("dataView.enableAnalyseButton"); }
    void stopAnimation() override { log_.add("dataView.stopAnimation"); }

    std::atomic<int32_t> algorithm{0};
    std::atomic<bool> selectionOnly{false};
    RecordingProgress progress;
    RecordingTextField statusLabel, totalLabel, analysedLabel, notAnalysedLabel;

private:
    EventLog& log_;
};

// Results page: events start with "resultsView.". The test sets its sensitivity and automatic
// flag; setSensitivity records and stores.
class RecordingResultsPage : public ResultsPage {
public:
    explicit RecordingResultsPage(EventLog& log);
    ProgressIndicator* retrievProgressIndicator() override { return &progress; }
    TextField* analysedImagesLabel() override { return &analysedLabel; }
    TextField* similarImagesLabel() override { return &similarLabel; }
    TextField* retrieveStatusLabel() override { return &statusLabel; }
    TextField* specialMessagesLabel() override { return &messagesLabel; }
    int64_t sensitivity() const override { return sensitivityValue.load(); }
    bool autoSensitive() const override { return automatic.load(); }
    void setSensitivity(int64_t value) override;
    void setMoreImagesEnabled(bool enabled) override;
    void setLessImagesEnabled(bool enabled) override;
    void setMoreImagesText(const std::string& text) override;
    void setLessImagesText(const std::string& text) override;
    void setPerSensitivityToolTip(const std::string& text) override;
    void setClearKeywordsEnabled(bool enabled) override;
    void enableStartSearchButton() override { log_.add("resultsView.enableStartSearchButton"); }

    std::atomic<int64_t> sensitivityValue{7};
    std::atomic<bool> automatic{false};
    RecordingProgress progress;
    RecordingTextField analysedLabel, similarLabel, statusLabel, messagesLabel;

private:
    EventLog& log_;
};

// Delegate: events start with "delegate.". showAlert records
// "delegate.showAlert=<title>|<message>" and returns at once; userSelectedFiles records
// "delegate.userSelectedFiles=<path>" and then runs `onUserSelectedFiles` when set.
class RecordingDelegate : public AppDelegate {
public:
    explicit RecordingDelegate(EventLog& log) : log_(log) {}
    void enableNextView() override { log_.add("delegate.enableNextView"); }
    void disableNextView() override { log_.add("delegate.disableNextView"); }
    void showAlert(const std::string& message, const std::string& title) override;
    void userSelectedFiles(const std::string& path) override;

    std::function<void(const std::string&)> onUserSelectedFiles;

private:
    EventLog& log_;
};

// Records "power.create=<name>" (answering the identifier 7) and "power.release=<id>".
class RecordingPower : public PowerAssertions {
public:
    explicit RecordingPower(EventLog& log) : log_(log) {}
    std::optional<uint32_t> createNoIdleSleepAssertion(std::string_view name) override;
    void release(uint32_t id) override;

private:
    EventLog& log_;
};

// Records "notify=<title>|<text>|sound" (or "|silent").
class RecordingNotifications : public UserNotifications {
public:
    explicit RecordingNotifications(EventLog& log) : log_(log) {}
    void deliver(const std::string& title, const std::string& text, bool sound) override;

private:
    EventLog& log_;
};

inline const std::string kCompleteNotification =
    "notify=Lumsift Library Analysis Complete!|Lumsift has successfully completed analysis of "
    "your library.|sound";

// A main thread for tests. post queues the work; runAndWait runs it at once on the caller's
// thread; drain() runs the queued work in order, including work that the drained work posts.
class QueueMainThread : public MainThread {
public:
    void post(std::function<void()> work) override;
    void runAndWait(std::function<void()> work) override;
    void drain();
    std::size_t pending() const;
    // Number of post() and runAndWait() calls so far.
    std::size_t postCount() const { return posts_.load(); }
    std::size_t runAndWaitCount() const { return waits_.load(); }

private:
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
    std::atomic<std::size_t> posts_{0};
    std::atomic<std::size_t> waits_{0};
};

} // namespace lumsift::testing
