// Test doubles shared by the analysis and file-helper tests: recording idle-sleep assertions
// and notifications, and a reader without root's right to read every file.
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "platform/notify/UserNotifications.h"
#include "platform/power/PowerAssertions.h"
#include "tests/engine/support/Recorders.h"

namespace lumsift::testing {

// Records "power.create=<name>" (answering the identifier 7) and "power.release=<id>".
class RecordingPower : public PowerAssertions {
public:
    explicit RecordingPower(EventLog& log) : log_(log) {}
    std::optional<uint32_t> createNoIdleSleepAssertion(std::string_view name) override {
        log_.add("power.create=" + std::string(name));
        return 7;
    }
    void release(uint32_t id) override { log_.add("power.release=" + std::to_string(id)); }

private:
    EventLog& log_;
};

// Records "notify=<title>|<text>|sound" (or "|silent").
class RecordingNotifications : public UserNotifications {
public:
    explicit RecordingNotifications(EventLog& log) : log_(log) {}
    void deliver(const std::string& title, const std::string& text, bool sound) override {
        log_.add("notify=" + title + "|" + text + "|" + (sound ? "sound" : "silent"));
    }

private:
    EventLog& log_;
};

inline const std::string kCompleteNotification =
    "notify=Lumsift Library Analysis Complete!|Lumsift has successfully completed analysis of "
    "your library.|sound";

// Readability is the real user's (access(2)), and root reads every file. While this lives, a
// process running as root has the real uid of "nobody", so a mode-0 file reads as unreadable;
// its effective uid stays root, so everything else goes on as before.
class AsUnprivilegedReader {
public:
    AsUnprivilegedReader() : was_(getuid()) {
        if (geteuid() == 0) {
            EXPECT_EQ(setreuid(65534, -1), 0);
        }
    }
    ~AsUnprivilegedReader() {
        if (getuid() != was_) {
            EXPECT_EQ(setreuid(was_, -1), 0);
        }
    }
    AsUnprivilegedReader(const AsUnprivilegedReader&) = delete;
    AsUnprivilegedReader& operator=(const AsUnprivilegedReader&) = delete;

private:
    uid_t was_;
};

} // namespace lumsift::testing
