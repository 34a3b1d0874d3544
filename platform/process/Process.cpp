// Running external programs through posix_spawn, waited for or left to run in a session of their
// own. Every program starts with standard input from /dev/null and no descriptor of ours but the
// standard ones, whether or not ours were marked close-on-exec.
#include "platform/process/Process.h"

#include "platform/fd/UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace lumsift::process {
namespace {

// Where programs are looked up, in this order. Never PATH: a program planted earlier on it (a
// pkexec of its own, say) must not be run in place of the system's.
constexpr const char* kSystemFolders[] = {"/usr/bin", "/bin", "/usr/sbin", "/sbin"};

// Owns one posix_spawn object of type T, made by Init and destroyed by Destroy.
template <typename T, auto Init, auto Destroy> class SpawnObject {
public:
    SpawnObject() { ok_ = Init(&object_) == 0; }
    ~SpawnObject() {
        if (ok_)
            Destroy(&object_);
    }
    SpawnObject(const SpawnObject&) = delete;
    SpawnObject& operator=(const SpawnObject&) = delete;
    bool ok() const { return ok_; }
    T* get() { return &object_; }

private:
    T object_{};
    bool ok_ = false;
};
using SpawnFileActions = SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                     posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;

class SystemRunner final : public Runner {
public:
    std::optional<std::filesystem::path> findProgram(std::string_view name) override;
    std::optional<Captured> runAndCapture(const Command& command) override;
    bool startDetached(const Command& command) override;
    std::optional<int> runPrivileged(const std::filesystem::path& launcher,
                                     const Command& command) override;
};

Runner*& currentRunner() {
    static Runner* runner = &systemRunner();
    return runner;
}

bool isExecutableFile(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

// Starts `command` with standard input from /dev/null, standard output into `outputFd` (-1:
// inherited) and every other descriptor above standard error closed; in a session of its own
// when `newSession`. Returns the child's pid, or nullopt when it cannot be started.
std::optional<pid_t> spawn(const Command& command, int outputFd, bool newSession = false) {
    SpawnFileActions actions;
    SpawnAttributes attributes;
    if (!actions.ok() || !attributes.ok())
        return std::nullopt;
    if (posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0) !=
        0)
        return std::nullopt;
    if (outputFd >= 0 &&
        posix_spawn_file_actions_adddup2(actions.get(), outputFd, STDOUT_FILENO) != 0)
        return std::nullopt;
    if (posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1) != 0)
        return std::nullopt;
    if (newSession && posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSID) != 0)
        return std::nullopt;

    std::vector<std::string> words;
    words.reserve(command.arguments.size() + 1);
    words.push_back(command.program.string());
    words.insert(words.end(), command.arguments.begin(), command.arguments.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    if (posix_spawn(&pid, words.front().c_str(), actions.get(), attributes.get(), argv.data(),
                    environ) != 0)
        return std::nullopt;
    return pid;
}

std::optional<int> waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return std::nullopt;
    }
    return status;
}

std::optional<std::filesystem::path> SystemRunner::findProgram(std::string_view name) {
    if (name.empty() || name.find('/') != std::string_view::npos)
        return std::nullopt;
    for (const char* folder : kSystemFolders) {
        const auto candidate = std::filesystem::path(folder) / name;
        if (isExecutableFile(candidate))
            return candidate;
    }
    return std::nullopt;
}

std::optional<Captured> SystemRunner::runAndCapture(const Command& command) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return std::nullopt;
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    const auto pid = spawn(command, writeEnd.get());
    writeEnd.reset(); // the child holds the only write end now, so the read ends with it
    if (!pid)
        return std::nullopt;

    Captured captured;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n > 0) {
            captured.standardOutput.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    const auto status = waitFor(*pid);
    if (!status)
        return std::nullopt;
    captured.waitStatus = *status;
    return captured;
}

bool SystemRunner::startDetached(const Command& command) {
    const auto pid = spawn(command, -1, /*newSession=*/true);
    if (!pid)
        return false;
    // Reaped when it ends, should this process still be there; else it passes to init.
    std::thread([pid = *pid] { waitFor(pid); }).detach();
    return true;
}

std::optional<int> SystemRunner::runPrivileged(const std::filesystem::path& launcher,
                                               const Command& command) {
    Command viaLauncher{launcher, {command.program.string()}};
    viaLauncher.arguments.insert(viaLauncher.arguments.end(), command.arguments.begin(),
                                 command.arguments.end());
    const auto pid = spawn(viaLauncher, -1);
    if (!pid)
        return std::nullopt;
    return waitFor(*pid);
}

} // namespace

Runner& systemRunner() {
    static SystemRunner runner;
    return runner;
}

ScopedRunner::ScopedRunner(Runner& runner) : previous_(currentRunner()) {
    currentRunner() = &runner;
}

ScopedRunner::~ScopedRunner() {
    currentRunner() = previous_;
}

std::optional<std::filesystem::path> findProgram(std::string_view name) {
    return currentRunner()->findProgram(name);
}

std::optional<Captured> runAndCapture(const Command& command) {
    return currentRunner()->runAndCapture(command);
}

bool startDetached(const Command& command) {
    return currentRunner()->startDetached(command);
}

std::optional<int> runPrivileged(const std::filesystem::path& launcher, const Command& command) {
    return currentRunner()->runPrivileged(launcher, command);
}

} // namespace lumsift::process
