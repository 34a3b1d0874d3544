// Child processes for tests: test code run in a forked child, for code that ends its process (a
// crash, a signal); and real programs run with a home of the test's own (HOME, the XDG folders and
// a private runtime folder), as an ordinary user when the test runs as root, their output in a
// file, killed when the test ends should they still run.
#pragma once

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace lumsift::testing {

// Runs `body` in a forked child, which exits with status 0 when `body` returns. Returns the signal
// the child died of, 0 when it did not die of one. Fork before any thread or application object
// that the child must not inherit.
template <typename Body> int signalOfChild(Body body) {
    const pid_t child = fork();
    if (child == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// A page that allows no access, mapped while this lives: a store to it is a real memory fault at
// a known address, which a store through a null pointer is not under the undefined-behaviour
// checks (they stop the program before it faults). A child forked meanwhile shares the page.
class GuardedPage {
public:
    GuardedPage() : page_(::mmap(nullptr, kSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {}
    ~GuardedPage() {
        if (page_ != MAP_FAILED)
            ::munmap(page_, kSize);
    }
    GuardedPage(const GuardedPage&) = delete;
    GuardedPage& operator=(const GuardedPage&) = delete;

    // MAP_FAILED when the page could not be mapped.
    void* address() const { return page_; }
    // Raises SIGSEGV.
    void store() const { *static_cast<volatile int*>(page_) = 1; }

private:
    static constexpr std::size_t kSize = 4096;
    void* page_;
};

namespace fs = std::filesystem;

// The user that programs run as: nobody when the test runs as root (permissions bind only an
// ordinary user), else the test's own user.
inline uid_t ordinaryUser() {
    return ::geteuid() == 0 ? 65534 : ::geteuid();
}
inline gid_t ordinaryGroup() {
    return ::geteuid() == 0 ? 65534 : ::getegid();
}

// A fresh folder below /tmp holding home/ (with the XDG folders) and run/ (mode 0700), owned by
// the ordinary user; removed with everything in it when destroyed.
class PrivateHome {
public:
    PrivateHome() {
        std::string pattern = "/tmp/lumsift-home-XXXXXX";
        root_ = ::mkdtemp(pattern.data());
        for (const char* folder : {"home/.config", "home/.local/share", "home/.cache", "run"})
            fs::create_directories(root_ / folder);
        ::chmod(root_.c_str(), 0755);
        ::chmod(runtime().c_str(), 0700);
    }
    ~PrivateHome() {
        std::error_code ec;
        for (fs::recursive_directory_iterator it(root_, ec), end; !ec && it != end;
             it.increment(ec))
            ::chmod(it->path().c_str(), 0755); // whatever a test locked
        fs::remove_all(root_, ec);
    }
    PrivateHome(const PrivateHome&) = delete;
    PrivateHome& operator=(const PrivateHome&) = delete;

    const fs::path& root() const { return root_; }
    fs::path home() const { return root_ / "home"; }
    fs::path config() const { return home() / ".config"; }
    fs::path data() const { return home() / ".local/share"; }
    fs::path runtime() const { return root_ / "run"; }

    // Gives everything below the root to the ordinary user (call once the test has laid out
    // its files).
    void handToOrdinaryUser() const {
        if (::geteuid() != 0)
            return;
        ::lchown(root_.c_str(), ordinaryUser(), ordinaryGroup());
        for (const auto& entry : fs::recursive_directory_iterator(root_))
            ::lchown(entry.path().c_str(), ordinaryUser(), ordinaryGroup());
    }

    // The environment a program sees: this home, no display but the offscreen one, no bus.
    std::vector<std::string> environment() const {
        return {"HOME=" + home().string(),
                "XDG_CONFIG_HOME=" + config().string(),
                "XDG_DATA_HOME=" + data().string(),
                "XDG_CACHE_HOME=" + (home() / ".cache").string(),
                "XDG_RUNTIME_DIR=" + runtime().string(),
                "QT_QPA_PLATFORM=offscreen",
                "PATH=/usr/bin:/bin",
                "LANG=C.UTF-8"};
    }

private:
    fs::path root_;
};

// A program running in a child process, as the ordinary user unless asked to keep the test's, with
// standard input from /dev/null and its output appended to `output`.
class ChildProcess {
public:
    // `extraEnvironment` entries are "NAME=value". With `strayDescriptor` the program inherits
    // descriptor 9 (/dev/null) without close-on-exec, as a careless parent would leave it. Without
    // `asOrdinaryUser` it runs as the test's user, root included (for what only root may do).
    ChildProcess(const fs::path& program, std::vector<std::string> environment,
                 const fs::path& output, bool strayDescriptor = false, bool asOrdinaryUser = true) {
        std::vector<std::string> words = {program.string()};
        std::vector<char*> argv = {words[0].data(), nullptr};
        std::vector<char*> envp;
        for (auto& entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const bool dropToOrdinary = asOrdinaryUser && ::geteuid() == 0;
        pid_ = ::fork();
        if (pid_ == 0) {
            if (dropToOrdinary && (::setgroups(0, nullptr) != 0 || ::setgid(ordinaryGroup()) != 0 ||
                                   ::setuid(ordinaryUser()) != 0))
                ::_exit(120);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
            if (strayDescriptor)
                ::dup2(in, 9);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(121);
        }
        ::close(in);
        ::close(out);
    }
    ~ChildProcess() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && !status_; }

    // The wait status once the child has ended, waiting up to `timeout`; nullopt while it runs.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (running()) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return status_;
    }
    // Sends `signal` and waits for the end.
    int stop(int signal = SIGTERM) {
        if (running())
            ::kill(pid_, signal);
        return waitForExit(std::chrono::seconds(30)).value_or(-1);
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Waits up to `timeout` for `condition`; true once it holds.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace lumsift::testing
