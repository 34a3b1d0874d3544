// Recording stand-ins for the engine's pages, delegate, main thread and platform layers.
#include "tests/engine/support/Recorders.h"

#include <algorithm>
#include <cmath>

namespace lumsift::testing {

namespace {
std::string number(double value) {
    if (value == std::floor(value) && std::fabs(value) < 1e18)
        return std::to_string(static_cast<long long>(value));
    return std::to_string(value);
}
std::string flag(bool value) {
    return value ? "1" : "0";
}
} // namespace

void EventLog::add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
}

std::vector<std::string> EventLog::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<std::string> EventLog::startingWith(std::string_view prefix) const {
    std::vector<std::string> found = events();
    std::erase_if(found, [prefix](const std::string& e) { return !e.starts_with(prefix); });
    return found;
}

std::size_t EventLog::count(std::string_view event) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), event));
}

void EventLog::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

void RecordingTextField::setStringValue(const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        value_ = text;
    }
    log_.add(prefix_ + "=" + text);
}

std::string RecordingTextField::value() const {
    std::lock_guard lock(mutex_);
    return value_;
}

void RecordingProgress::setIndeterminate(bool indeterminate) {
    log_.add(prefix_ + ".indeterminate=" + flag(indeterminate));
}
void RecordingProgress::setMaxValue(double value) {
    log_.add(prefix_ + ".max=" + number(value));
}
void RecordingProgress::setDoubleValue(double value) {
    log_.add(prefix_ + ".value=" + number(value));
}
void RecordingProgress::startAnimation() {
    log_.add(prefix_ + ".startAnimation");
}
void RecordingProgress::stopAnimation() {
    log_.add(prefix_ + ".stopAnimation");
}

RecordingLoadingPage::RecordingLoadingPage(EventLog& log)
    : progress(log, "dataView.progress"), statusLabel(log, "dataView.retrieveStatusLabel"),
      totalLabel(log, "dataView.totalImagesLabel"),
      analysedLabel(log, "dataView.analysedImagesLabel"),
      notAnalysedLabel(log, "dataView.notAnalysedImagesLabel"), log_(log) {}

RecordingResultsPage::RecordingResultsPage(EventLog& log)
    : progress(log, "resultsView.progress"), analysedLabel(log, "resultsView.analysedImagesLabel"),
      similarLabel(log, "resultsView.similarImagesLabel"),
      statusLabel(log, "resultsView.retrieveStatusLabel"),
      messagesLabel(log, "resultsView.specialMessagesLabel"), log_(log) {}

void RecordingResultsPage::setSensitivity(int64_t value) {
    sensitivityValue = value;
    log_.add("resultsView.setSensitivity=" + std::to_string(value));
}
void RecordingResultsPage::setMoreImagesEnabled(bool enabled) {
    log_.add("resultsView.setMoreImagesEnabled=" + flag(enabled));
}
void RecordingResultsPage::setLessImagesEnabled(bool enabled) {
    log_.add("resultsView.setLessImagesEnabled=" + flag(enabled));
}
void RecordingResultsPage::setMoreImagesText(const std::string& text) {
    log_.add("resultsView.setMoreImagesText=" + text);
}
void RecordingResultsPage::setLessImagesText(const std::string& text) {
    log_.add("resultsView.setLessImagesText=" + text);
}
void RecordingResultsPage::setPerSensitivityToolTip(const std::string& text) {
    log_.add("resultsView.setPerSensitivityToolTip=" + text);
}
void RecordingResultsPage::setClearKeywordsEnabled(bool enabled) {
    log_.add("resultsView.setClearKeywordsEnabled=" + flag(enabled));
}

void RecordingDelegate::showAlert(const std::string& message, const std::string& title) {
    log_.add("delegate.showAlert=" + title + "|" + message);
}
void RecordingDelegate::userSelectedFiles(const std::string& path) {
    log_.add("delegate.userSelectedFiles=" + path);
    if (onUserSelectedFiles)
        onUserSelectedFiles(path);
}

std::optional<uint32_t> RecordingPower::createNoIdleSleepAssertion(std::string_view name) {
    log_.add("power.create=" + std::string(name));
    return 7;
}
void RecordingPower::release(uint32_t id) {
    log_.add("power.release=" + std::to_string(id));
}

void RecordingNotifications::deliver(const std::string& title, const std::string& text,
                                     bool sound) {
    log_.add("notify=" + title + "|" + text + "|" + (sound ? "sound" : "silent"));
}

void QueueMainThread::post(std::function<void()> work) {
    ++posts_;
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(work));
}

void QueueMainThread::runAndWait(std::function<void()> work) {
    ++waits_;
    work();
}

void QueueMainThread::drain() {
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty())
                return;
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        work();
    }
}

std::size_t QueueMainThread::pending() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

} // namespace lumsift::testing
