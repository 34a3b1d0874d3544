// The system log: standard error plus syslog, with sinks that tests install to read lines.
#include "platform/log/Log.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <syslog.h>
#include <unistd.h>
#include <utility>

namespace lumsift::log {
namespace {

struct Registry {
    std::mutex mutex;
    int nextId = 1;
    struct Entry {
        int id;
        Sink sink;
        bool exclusive;
    };
    std::vector<Entry> sinks;
    int quietStandardError = 0; // QuietStandardError objects alive
};

// The log's state is never destroyed: threads that are never joined (libvips' workers) may still
// log while the process exits and destroys its statics.
Registry& registry() {
    static auto* const r = new Registry;
    return *r;
}

std::string readProcessName() {
    std::string name = "Lumsift";
    if (FILE* f = std::fopen("/proc/self/comm", "r")) {
        char buf[64] = {};
        if (std::fgets(buf, sizeof buf, f) != nullptr) {
            name = buf;
            if (!name.empty() && name.back() == '\n')
                name.pop_back();
        }
        std::fclose(f);
    }
    return name;
}

void writeOut(std::string_view text, bool toStandardError) {
    const std::string& name = processName();
    static std::once_flag syslogOpened;
    std::call_once(syslogOpened, [&name] { openlog(name.c_str(), LOG_PID, LOG_USER); });

    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm tm{};
    localtime_r(&secs, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    if (toStandardError)
        std::fprintf(stderr, "%s.%03d %s[%d] %.*s\n", stamp, static_cast<int>(millis), name.c_str(),
                     static_cast<int>(getpid()), static_cast<int>(text.size()), text.data());
    syslog(LOG_NOTICE, "%.*s", static_cast<int>(text.size()), text.data());
}

thread_local Hold* activeHold = nullptr;

} // namespace

const std::string& processName() {
    static const std::string& name =
        *new std::string(readProcessName()); // never destroyed, as above
    return name;
}

void line(std::string_view text) {
    if (activeHold != nullptr) {
        activeHold->add(text);
        return;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    bool exclusive = false;
    for (const auto& entry : r.sinks) {
        entry.sink(text);
        exclusive = exclusive || entry.exclusive;
    }
    if (!exclusive)
        writeOut(text, r.quietStandardError == 0);
}

ScopedSink::ScopedSink(Sink sink, bool exclusive) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    id_ = r.nextId++;
    r.sinks.push_back({id_, std::move(sink), exclusive});
}

ScopedSink::~ScopedSink() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.sinks, [this](const Registry::Entry& e) { return e.id == id_; });
}

QuietStandardError::QuietStandardError() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    ++r.quietStandardError;
}

QuietStandardError::~QuietStandardError() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    --r.quietStandardError;
}

Hold::Hold() {
    assert(activeHold == nullptr);
    activeHold = this;
}

Hold::~Hold() {
    activeHold = nullptr;
}

Hold* Hold::current() {
    return activeHold;
}

void Hold::add(std::string_view text) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(text);
}

bool Hold::empty() const {
    std::lock_guard lock(mutex_);
    return lines_.empty();
}

std::vector<std::string> Hold::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
}

Capture::Capture()
    : sink_([this](std::string_view text) {
          std::lock_guard lock(mutex_);
          lines_.emplace_back(text);
      }) {}

std::vector<std::string> Capture::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool Capture::contains(std::string_view text) const {
    return count(text) > 0;
}

std::size_t Capture::count(std::string_view text) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(lines_.begin(), lines_.end(), text));
}

} // namespace lumsift::log
