// Recording stand-ins for what the engine reports to: the pages, the delegate, the main thread,
// the idle-sleep assertions and the notifications. Every report becomes one text event in a
// shared ordered list, e.g. "dataView.retrieveStatusLabel=Data Collected",
// "delegate.disableNextView", "dataView.progress.max=3", so tests can assert the order.
#pragma once

#include "engine/Pages.h"
#include "platform/notify/UserNotifications.h"
#include "platform/power/PowerAssertions.h"

#include <algorithm>
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
    void add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // The events that start with `prefix`, in order.
    std::vector<std::string> startingWith(std::string_view prefix) const {
        std::vector<std::string> found = events();
        std::erase_if(found, [prefix](const std::string& e) { return !e.starts_with(prefix); });
        return found;
    }
    std::size_t count(std::string_view event) const { return std::ranges::count(events(), event); }
    bool contains(std::string_view event) const { return count(event) > 0; }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

// Adds "<prefix><event>" to the log.
struct Recorder {
    void add(const std::string& event) const { log.add(prefix + event); }
    EventLog& log;
    std::string prefix;
};

// One control of a page: as a text field "<name>=<text>"; as a progress indicator
// "<name>.indeterminate=0|1", ".max=<n>", ".value=<n>", ".startAnimation", ".stopAnimation".
struct RecordingControl : TextField, ProgressIndicator, Recorder {
    RecordingControl(EventLog& log, const std::string& name) : Recorder{log, name} {}
    void setStringValue(const std::string& text) override { add("=" + text); }
    // The last text set since the log was last cleared.
    std::string value() const {
        const auto texts = log.startingWith(prefix + "=");
        return texts.empty() ? "" : texts.back().substr(prefix.size() + 1);
    }
    void setIndeterminate(bool on) override { add(".indeterminate=" + std::to_string(on)); }
    void setMaxValue(double value) override { add(".max=" + whole(value)); }
    void setDoubleValue(double value) override { add(".value=" + whole(value)); }
    void startAnimation() override { add(".startAnimation"); }
    void stopAnimation() override { add(".stopAnimation"); }
    static std::string whole(double value) { return std::to_string(static_cast<int64_t>(value)); }
};

// Loading page: events start with "dataView.". The test sets its analysis choice and mode.
struct RecordingLoadingPage : LoadingPage, Recorder {
    explicit RecordingLoadingPage(EventLog& log) : Recorder{log, "dataView."} {}
    ProgressIndicator* retrievProgressIndicator() override { return &progress; }
    TextField* retrieveStatusLabel() override { return &statusLabel; }
    TextField* totalImagesLabel() override { return &totalLabel; }
    TextField* analysedImagesLabel() override { return &analysedLabel; }
    TextField* notAnalysedImagesLabel() override { return &notAnalysedLabel; }
    int32_t selectedAlgorithm() const override { return algorithm.load(); }
    bool selectionMode() const override { return selectionOnly.load(); }
    void disableAnalyseButton() override { add("disableAnalyseButton"); }
    void enableAnalyseButton() override { add("enableAnalyseButton"); }
    void stopAnimation() override { add("stopAnimation"); }

    std::atomic<int32_t> algorithm{0};
    std::atomic<bool> selectionOnly{false};
    RecordingControl progress{log, "dataView.progress"},
        statusLabel{log, "dataView.retrieveStatusLabel"},
        totalLabel{log, "dataView.totalImagesLabel"},
        analysedLabel{log, "dataView.analysedImagesLabel"},
        notAnalysedLabel{log, "dataView.notAnalysedImagesLabel"};
};

// Results page: events start with "resultsView.". The test sets its sensitivity and automatic
// flag; setSensitivity records and stores.
struct RecordingResultsPage : ResultsPage, Recorder {
    explicit RecordingResultsPage(EventLog& log) : Recorder{log, "resultsView."} {}
    ProgressIndicator* retrievProgressIndicator() override { return &progress; }
    TextField* analysedImagesLabel() override { return &analysedLabel; }
    TextField* similarImagesLabel() override { return &similarLabel; }
    TextField* retrieveStatusLabel() override { return &statusLabel; }
    TextField* specialMessagesLabel() override { return &messagesLabel; }
    int64_t sensitivity() const override { return sensitivityValue.load(); }
    bool autoSensitive() const override { return automatic.load(); }
    void setSensitivity(int64_t value) override {
        sensitivityValue = value;
        add("setSensitivity=" + std::to_string(value));
    }
    void setMoreImagesEnabled(bool on) override {
        add("setMoreImagesEnabled=" + std::to_string(on));
    }
    void setLessImagesEnabled(bool on) override {
        add("setLessImagesEnabled=" + std::to_string(on));
    }
    void setMoreImagesText(const std::string& text) override { add("setMoreImagesText=" + text); }
    void setLessImagesText(const std::string& text) override { add("setLessImagesText=" + text); }
    void setPerSensitivityToolTip(const std::string& text) override {
        add("setPerSensitivityToolTip=" + text);
    }
    void setClearKeywordsEnabled(bool on) override {
        add("setClearKeywordsEnabled=" + std::to_string(on));
    }
    void enableStartSearchButton() override { add("enableStartSearchButton"); }

    std::atomic<int64_t> sensitivityValue{7};
    std::atomic<bool> automatic{false};
    RecordingControl progress{log, "resultsView.progress"},
        analysedLabel{log, "resultsView.analysedImagesLabel"},
        similarLabel{log, "resultsView.similarImagesLabel"},
        statusLabel{log, "resultsView.retrieveStatusLabel"},
        messagesLabel{log, "resultsView.specialMessagesLabel"};
};

// Delegate: events start with "delegate.". showAlert records
// "delegate.showAlert=<title>|<message>" and returns at once; userSelectedFiles records
// "delegate.userSelectedFiles=<path>" and then runs `onUserSelectedFiles` when set.
struct RecordingDelegate : AppDelegate, Recorder {
    explicit RecordingDelegate(EventLog& log) : Recorder{log, "delegate."} {}
    void enableNextView() override { add("enableNextView"); }
    void disableNextView() override { add("disableNextView"); }
    void showAlert(const std::string& message, const std::string& title) override {
        add("showAlert=" + title + "|" + message);
    }
    void userSelectedFiles(const std::string& path) override {
        add("userSelectedFiles=" + path);
        if (onUserSelectedFiles)
            onUserSelectedFiles(path);
    }

    std::function<void(const std::string&)> onUserSelectedFiles;
};

// The idle-sleep assertions and the notifications: records "power.create=<name>" (answering
// the identifier 7), "power.release=<id>" and "notify=<title>|<text>|sound" (or "|silent").
struct RecordingSystem : PowerAssertions, UserNotifications, Recorder {
    explicit RecordingSystem(EventLog& log) : Recorder{log, ""} {}
    std::optional<uint32_t> createNoIdleSleepAssertion(std::string_view name) override {
        add("power.create=" + std::string(name));
        return 7;
    }
    void release(uint32_t id) override { add("power.release=" + std::to_string(id)); }
    void deliver(const std::string& title, const std::string& text, bool sound) override {
        add("notify=" + title + "|" + text + "|" + (sound ? "sound" : "silent"));
    }
};

inline const std::string kCompleteNotification =
    "notify=Lumsift Library Analysis Complete!|Lumsift has successfully completed analysis of "
    "your library.|sound";

// A main thread for tests. post queues the work; runAndWait runs it at once on the caller's
// thread; drain() runs the queued work in order, including work that the drained work posts.
class QueueMainThread : public MainThread {
public:
    void post(std::function<void()> work) override {
        ++posts_;
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(work));
    }
    void runAndWait(std::function<void()> work) override {
        ++waits_;
        work();
    }
    void drain() {
        std::unique_lock lock(mutex_);
        while (!queue_.empty()) {
            const std::function<void()> work = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            work();
            lock.lock();
        }
    }
    std::size_t pending() const {
        std::lock_guard lock(mutex_);
        return queue_.size();
    }
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
