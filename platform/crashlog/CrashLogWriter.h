// The crash-log writer: a handler for the fatal signals that writes a crash log with the signal
// and a backtrace into the user's crash-log folder, as the operating system would, and then lets
// the process die as it would have. The next launch finds the log and offers to report it.
#pragma once

#include <filesystem>
#include <string_view>

namespace lumsift::crashlog {

// Where crash logs lie below a Library folder.
inline constexpr std::string_view kCrashLogSubfolder = "Logs/DiagnosticReports";

// The user's crash-log folder: <user Library>/Logs/DiagnosticReports. Empty when the user's
// Library cannot be named.
std::filesystem::path userCrashLogDirectory();

// Installs the handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP and SIGSYS, to run on
// an alternate stack of the calling thread (so a stack overflow of that thread is logged too).
// Creates the crash-log folder and keeps it open; the log of a crash is named
// `<CFBundleName>_<YYYY-MM-DD-HHMMSS>_<host>.crash` (local time). Call it early, from the main
// thread, before other threads start. Returns false, with a log line, when the folder cannot be
// made or opened; nothing is installed then. Calling it again replaces the earlier installation.
bool installCrashLogWriter();

} // namespace lumsift::crashlog
