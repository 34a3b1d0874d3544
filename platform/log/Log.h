// The system log: every diagnostic line of Lumsift goes through here. A line is written to
// standard error with the time, the process name and id, and to syslog. Tests capture lines.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace lumsift::log {

// Writes one line, or keeps it in the calling thread's Hold while one is active. Copies the
// text; safe from any thread. Never fails: a line that cannot be written anywhere is dropped.
void line(std::string_view text);

// The name that this process's lines carry on standard error and in syslog: its name as
// /proc/self/comm gives it, "Lumsift" when that cannot be read. For lines written on its behalf by
// scripts that outlive it.
const std::string& processName();

// Receives every line while installed; called under the log's lock, so it must not log.
using Sink = std::function<void(std::string_view)>;

// Adds a sink for as long as the returned object lives. Lines still go to standard error and
// syslog unless `exclusive` is true.
class ScopedSink {
public:
    explicit ScopedSink(Sink sink, bool exclusive = true);
    ~ScopedSink();
    ScopedSink(const ScopedSink&) = delete;
    ScopedSink& operator=(const ScopedSink&) = delete;

private:
    int id_;
};

// While one lives, lines go to syslog and to the sinks but not to standard error: for a
// command-line tool whose terminal output is its own.
class QuietStandardError {
public:
    QuietStandardError();
    ~QuietStandardError();
    QuietStandardError(const QuietStandardError&) = delete;
    QuietStandardError& operator=(const QuietStandardError&) = delete;
};

// Holds the lines that its thread writes while it lives, instead of writing them, so that work
// done ahead on one thread can be logged later, in its place, by another. Lines held when it is
// destroyed are dropped. One hold at a time per thread: the caller guarantees that none is
// active on the constructing thread, and destroys it on that thread.
class Hold {
public:
    Hold();
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    // The hold active on the calling thread; null when none is.
    static Hold* current();
    // Keeps `text` (copied) as though this hold's thread had written it: for a library's own
    // thread that works for it. Safe from any thread.
    void add(std::string_view text);
    // True while no line is held.
    bool empty() const;
    // The lines held so far, in order; the hold keeps none of them.
    std::vector<std::string> take();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Captures every line written while it lives (and keeps them from standard error and syslog).
class Capture {
public:
    Capture();
    // Copies of the lines captured so far, in order.
    std::vector<std::string> lines() const;
    // True when some captured line equals `text` exactly.
    bool contains(std::string_view text) const;
    // Number of captured lines equal to `text`.
    std::size_t count(std::string_view text) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    ScopedSink sink_;
};

} // namespace lumsift::log
