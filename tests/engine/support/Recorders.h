// Recording stand-ins for what the engine reports to: the loading page, the results page, the
// delegate and the main thread. Every report becomes one text event in a shared ordered list,
// e.g. "dataView.retrieveStatusLabel=Data Collected", "delegate.disableNextView",
// "dataView.progress.max=3", "resultsView.setSensitivity=8", so tests can assert the order.
#pragma once

#include "engine/Pages.h"

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
    bool contains(std::string_view event) const;
    std::size_t count(std::string_view event) const;
    // Position of the first event equal to `event`; nullopt when absent.
    std::optional<std::size_t> indexOf(std::string_view event) const;
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

// Records "<prefix>.indeterminate=0|1", ".max=<n>", ".value=<n>", ".startAnimation",
// ".stopAnimation", and keeps the last of each.
class RecordingProgress : public ProgressIndicator {
public:
    RecordingProgress(EventLog& log, std::string prefix) : log_(log), prefix_(std::move(prefix)) {}
    void setIndeterminate(bool indeterminate) override;
    void setMaxValue(double value) override;
    void setDoubleValue(double value) override;
    void startAnimation() override;
    void stopAnimation() override;
    bool indeterminate() const { return indeterminate_.load(); }
    double maxValue() const { return max_.load(); }
    double doubleValue() const { return value_.load(); }

private:
    EventLog& log_;
    std::string prefix_;
    std::atomic<bool> indeterminate_{false};
    std::atomic<double> max_{0};
    std::atomic<double> value_{0};
};

// Loading page: events start with "dataView.". Its analysis choice and selection mode are
// settable from the test.
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
    void disableAnalyseButton() override;
    void enableAnalyseButton() override;
    void stopAnimation() override;

    std::atomic<int32_t> algorithm{0};
    std::atomic<bool> selectionOnly{false};
    RecordingProgress progress;
    RecordingTextField statusLabel;
    RecordingTextField totalLabel;
    RecordingTextField analysedLabel;
    RecordingTextField notAnalysedLabel;

private:
    EventLog& log_;
};

// Results page: events start with "resultsView.". Its sensitivity and automatic flag are
// settable from the test; setSensitivity records and stores.
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
    void enableStartSearchButton() override;

    std::atomic<int64_t> sensitivityValue{7};
    std::atomic<bool> automatic{false};
    RecordingProgress progress;
    RecordingTextField analysedLabel;
    RecordingTextField similarLabel;
    RecordingTextField statusLabel;
    RecordingTextField messagesLabel;

private:
    EventLog& log_;
};

// Delegate: events start with "delegate.". showAlert records
// "delegate.showAlert=<title>|<message>" and returns at once; userSelectedFiles records
// "delegate.userSelectedFiles=<path>" and then runs `onUserSelectedFiles` when set.
class RecordingDelegate : public AppDelegate {
public:
    explicit RecordingDelegate(EventLog& log) : log_(log) {}
    void enableNextView() override;
    void disableNextView() override;
    void showAlert(const std::string& message, const std::string& title) override;
    void userSelectedFiles(const std::string& path) override;

    std::function<void(const std::string&)> onUserSelectedFiles;

private:
    EventLog& log_;
};

// A main thread for tests. post queues the work (or runs it at once when made with
// `runAtOnce`); runAndWait runs it at once on the caller's thread; drain() runs the queued work
// in order, including work that the drained work posts.
class QueueMainThread : public MainThread {
public:
    explicit QueueMainThread(bool runAtOnce = false) : runAtOnce_(runAtOnce) {}
    void post(std::function<void()> work) override;
    void runAndWait(std::function<void()> work) override;
    // Runs queued work until the queue is empty; returns how many items ran.
    std::size_t drain();
    std::size_t pending() const;
    // Number of post() and runAndWait() calls so far.
    std::size_t postCount() const { return posts_.load(); }
    std::size_t runAndWaitCount() const { return waits_.load(); }

private:
    const bool runAtOnce_;
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
    std::atomic<std::size_t> posts_{0};
    std::atomic<std::size_t> waits_{0};
};

} // namespace lumsift::testing
