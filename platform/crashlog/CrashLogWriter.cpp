// The fatal-signal handler. Everything it needs (the open folder, the name parts, the program's
// path, the time-zone offset) is prepared at installation, so the handler itself only formats
// into a stack buffer and calls async-signal-safe functions: it never allocates.
#include "platform/crashlog/CrashLogWriter.h"

#include "platform/bundle/Bundle.h"
#include "platform/folders/LibraryFolders.h"
#include "platform/log/Log.h"
#include "platform/fd/UniqueFd.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace lumsift::crashlog {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};

// Filled at installation, read-only afterwards (the handler reads it).
struct Prepared {
    UniqueFd folder;
    char name[128] = {};
    char host[128] = {};
    char executable[1024] = {};
    long utcOffsetSeconds = 0;
};
Prepared prepared;
std::atomic<bool> handling{false};
alignas(16) char alternateStack[64 * 1024];

// Fixed-size text built without allocation; what does not fit is cut off.
class Text {
public:
    void add(const char* s) {
        while (*s != '\0' && length_ + 1 < sizeof buffer_)
            buffer_[length_++] = *s++;
        buffer_[length_] = '\0';
    }
    void addNumber(uint64_t value, int minDigits = 1, int base = 10) {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0 && count < 24);
        while (count < minDigits && count < 24)
            digits[count++] = '0';
        char reversed[25];
        for (int i = 0; i < count; ++i)
            reversed[i] = digits[count - 1 - i];
        reversed[count] = '\0';
        add(reversed);
    }
    const char* c_str() const { return buffer_; }
    std::size_t size() const { return length_; }

private:
    char buffer_[2048] = {};
    std::size_t length_ = 0;
};

struct CivilTime {
    int64_t year;
    unsigned month, day, hour, minute, second;
};

// Days since 1970-01-01 to a calendar date (proleptic Gregorian), by arithmetic alone.
CivilTime civilTime(int64_t seconds) {
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    const auto day = static_cast<unsigned>(dayOfYear - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0),
            month,
            day,
            static_cast<unsigned>(rest / 3600),
            static_cast<unsigned>(rest / 60 % 60),
            static_cast<unsigned>(rest % 60)};
}

const char* signalName(int signal) {
    switch (signal) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGILL:
        return "SIGILL";
    case SIGFPE:
        return "SIGFPE";
    case SIGABRT:
        return "SIGABRT";
    case SIGTRAP:
        return "SIGTRAP";
    case SIGSYS:
        return "SIGSYS";
    default:
        return "signal";
    }
}

void writeAll(int fd, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

// "YYYY-MM-DD", `beforeTime`, then hours, minutes and seconds with `timeSeparator` between them.
void addTime(Text& text, const CivilTime& t, const char* beforeTime, const char* timeSeparator) {
    text.addNumber(static_cast<uint64_t>(t.year), 4);
    text.add("-");
    text.addNumber(t.month, 2);
    text.add("-");
    text.addNumber(t.day, 2);
    text.add(beforeTime);
    text.addNumber(t.hour, 2);
    text.add(timeSeparator);
    text.addNumber(t.minute, 2);
    text.add(timeSeparator);
    text.addNumber(t.second, 2);
}

// Creates the log file, adding "-1" ... "-9" to the time when a log of the same second exists.
int createLogFile(const CivilTime& t) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        Text name;
        name.add(prepared.name);
        name.add("_");
        addTime(name, t, "-", "");
        if (attempt > 0) {
            name.add("-");
            name.addNumber(static_cast<uint64_t>(attempt));
        }
        name.add("_");
        name.add(prepared.host);
        name.add(".crash");
        const int fd = openat(prepared.folder.get(), name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

void writeCrashLog(int signal, const siginfo_t* info) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const CivilTime t = civilTime(static_cast<int64_t>(now.tv_sec) + prepared.utcOffsetSeconds);
    const UniqueFd file(createLogFile(t));
    if (file.get() < 0)
        return;

    Text header;
    header.add("Process:         ");
    header.add(prepared.name);
    header.add(" [");
    header.addNumber(static_cast<uint64_t>(getpid()));
    header.add("]\nPath:            ");
    header.add(prepared.executable);
    header.add("\nDate/Time:       ");
    addTime(header, t, " ", ":");
    const long offset = prepared.utcOffsetSeconds;
    header.add(offset < 0 ? " -" : " +");
    const auto absOffset = static_cast<uint64_t>(offset < 0 ? -offset : offset);
    header.addNumber(absOffset / 3600, 2);
    header.addNumber(absOffset / 60 % 60, 2);
    header.add("\nException Type:  ");
    header.add(signalName(signal));
    header.add(" (signal ");
    header.addNumber(static_cast<uint64_t>(signal));
    header.add(")\n");
    // Only a fault raised by the processor has an address; a signal sent by kill has none.
    if (info != nullptr && info->si_code > 0 &&
        (signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE)) {
        header.add("Fault Address:   0x");
        header.addNumber(reinterpret_cast<uintptr_t>(info->si_addr), 1, 16);
        header.add("\n");
    }
    header.add("\nBacktrace:\n");
    writeAll(file.get(), header.c_str(), header.size());

    void* frames[128];
    const int count = backtrace(frames, 128);
    backtrace_symbols_fd(frames, count, file.get());
    fsync(file.get());
}

void handleFatalSignal(int signal, siginfo_t* info, void* /*context*/) {
    // A second fault (in this handler or another thread) only dies.
    if (!handling.exchange(true))
        writeCrashLog(signal, info);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(signal, &defaultAction, nullptr);
    // Delivered once the handler returns (the signal is blocked until then); a fault from an
    // instruction also recurs on return and now meets the default action.
    raise(signal);
}

void copyInto(char* target, std::size_t size, std::string text) {
    for (char& c : text) {
        if (c == '/')
            c = '-';
    }
    std::strncpy(target, text.c_str(), size - 1);
    target[size - 1] = '\0';
}

} // namespace

std::filesystem::path userCrashLogDirectory() {
    const auto library = folders::userLibraryDirectory();
    if (library.empty())
        return {};
    return library / kCrashLogSubfolder;
}

bool installCrashLogWriter() {
    const auto folder = userCrashLogDirectory();
    std::error_code ec;
    if (!folder.empty())
        std::filesystem::create_directories(folder, ec);
    const int fd = folder.empty() ? -1 : open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        log::line("Unable to open the crash-log folder " + folder.string() + ": " +
                  std::strerror(errno));
        return false;
    }
    prepared.folder.reset(fd);

    const Bundle& bundle = Bundle::main();
    copyInto(prepared.name, sizeof prepared.name,
             bundle.infoString("CFBundleName").value_or(bundle.executablePath().filename()));
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        std::strcpy(host, "localhost");
    copyInto(prepared.host, sizeof prepared.host, host);
    std::strncpy(prepared.executable, bundle.executablePath().c_str(),
                 sizeof prepared.executable - 1);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    prepared.utcOffsetSeconds = local.tm_gmtoff;

    // The first backtrace loads the unwinder; do it now, not in the handler.
    void* frame[1];
    backtrace(frame, 1);

    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_sigaction = handleFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const int signal : kFatalSignals)
        sigaction(signal, &action, nullptr);
    return true;
}

} // namespace lumsift::crashlog
