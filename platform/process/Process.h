// Running external programs: every program Lumsift starts (pkexec, losetup, udisksctl, sh) goes
// through this one seam, so tests can install a runner that answers in their place.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumsift::process {

// A program (absolute path) and its arguments, not counting the program itself.
struct Command {
    std::filesystem::path program;
    std::vector<std::string> arguments;
};

// What a program run to its end left behind.
struct Captured {
    std::string standardOutput;
    int waitStatus = 0; // as waitpid reports it (WIFEXITED, WEXITSTATUS, WTERMSIG apply)
};

// The runner behind the free functions below. The system's runner spawns real processes; tests
// derive their own and install it with ScopedRunner.
class Runner {
public:
    virtual ~Runner() = default;
    virtual std::optional<std::filesystem::path> findProgram(std::string_view name) = 0;
    virtual std::optional<Captured> runAndCapture(const Command& command) = 0;
    virtual bool startDetached(const Command& command) = 0;
    virtual std::optional<int> runPrivileged(const std::filesystem::path& launcher,
                                             const Command& command) = 0;
};

// The runner that starts real processes.
Runner& systemRunner();

// Makes `runner` (borrowed; must outlive this object) answer every call below while this object
// lives; the previous runner comes back afterwards. Main thread only, not nested across threads.
class ScopedRunner {
public:
    explicit ScopedRunner(Runner& runner);
    ~ScopedRunner();
    ScopedRunner(const ScopedRunner&) = delete;
    ScopedRunner& operator=(const ScopedRunner&) = delete;

private:
    Runner* previous_;
};

// The absolute path of the executable `name` in /usr/bin, /bin, /usr/sbin or /sbin, the first
// that holds one; PATH is never searched. nullopt when none holds it.
std::optional<std::filesystem::path> findProgram(std::string_view name);

// Every program below starts with standard input from /dev/null, standard error inherited, and no
// other descriptor of this process.

// Starts the command, reads its standard output to the end while it runs, then waits for it.
// nullopt when it cannot be started or waited for.
std::optional<Captured> runAndCapture(const Command& command);

// Starts the command in a session of its own and does not wait for it; it outlives this process
// (a thread reaps it should it end first). False when it cannot be started.
bool startDetached(const Command& command);

// Runs the command as administrator through `launcher` (pkexec, which asks the user for a
// password and then becomes the command), waits, and returns the wait status. nullopt when the
// launcher cannot be started or waited for.
std::optional<int> runPrivileged(const std::filesystem::path& launcher, const Command& command);

} // namespace lumsift::process
