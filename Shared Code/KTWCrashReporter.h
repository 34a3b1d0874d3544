// Crash-log discovery: at launch, finds a crash log of this application written after the last
// report and opens the crash report window for it. Class operations only; what it remembers
// between launches lies in the user defaults.
#pragma once

#include "platform/defaults/UserDefaults.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lumsift {

class KTWCrashReporter {
public:
    KTWCrashReporter() = delete;

    // Once per launch, on the main thread, with a QApplication: opens the report window (not
    // modal) for the first crash log, in listing order, modified after
    // `KTWCrashReporterLastCrashReportDate`; stores the current time there when it holds no date.
    // Throws NamedException "Missing KTWCrashReporterCrashSubmissionURL" when neither the user
    // defaults nor Info.plist give an address, before any log is looked for; throws
    // InvalidParameterException "nil != submissionURL" when the address is not a valid URL.
    static void checkForNewCrashes();

    // The crash-log folder searched: <Library>/Logs/DiagnosticReports of the user, or else of the
    // machine, the first that is a folder. Empty when neither is.
    static std::vector<std::string> crashLogDirectories();

    // Every entry below that folder, at any depth and in the file system's order, whose path
    // relative to the folder begins with Info.plist's CFBundleName (case-sensitive). Empty when
    // Info.plist has no CFBundleName.
    static std::vector<std::string> crashLogPaths();
};

// The user-defaults key of the last report's date, read at launch, moved by a successful report.
inline constexpr const char* kLastCrashReportDateKey = "KTWCrashReporterLastCrashReportDate";

// The string under `key` in the user defaults, else in Info.plist; nullopt when neither has one.
std::optional<std::string> crashReporterSetting(const char* key);

// The modification time of the item at `path` itself (a symbolic link is not followed), to the
// nanosecond; nullopt when it cannot be read.
std::optional<UserDefaults::Date> modificationDate(const std::filesystem::path& path);

} // namespace lumsift
