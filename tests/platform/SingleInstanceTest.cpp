// One instance per user: a later start asks the first to raise its window and is told it did; a
// lock left by a process that has gone is taken over, however old; only a place, a lock and an
// answer of the user's own count.
#include "platform/instance/SingleInstance.h"

#include "platform/log/Log.h"
#include "tests/support/SavedEnvironment.h"
#include "tests/support/TestImages.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <grp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace lumsift::instance {
namespace {

namespace fs = std::filesystem;

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int argc = 1;
        static char* argv[] = {const_cast<char*>("platform_tests"), nullptr};
        if (QCoreApplication::instance() == nullptr)
            new QCoreApplication(argc, argv);
    }

    // Runs `start` of a second instance on a worker while this thread's event loop answers.
    Role startElsewhere() const {
        auto role = std::async(std::launch::async, [&] {
            SingleInstance later(path);
            return later.start({}, std::chrono::seconds(10));
        });
        while (role.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
            QCoreApplication::processEvents();
        return role.get();
    }

    // A lock naming `pid` on this host, last touched an hour ago.
    void writeLock(pid_t pid) const {
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        std::ofstream(path.string() + ".lock") << pid << "\nplatform_tests\n" << host << "\n";
        const timespec anHourAgo{::time(nullptr) - 3600, 0}, times[2] = {anHourAgo, anHourAgo};
        ::utimensat(AT_FDCWD, (path.string() + ".lock").c_str(), times, 0);
    }

    const testimages::TempDir folder;
    const fs::path path = folder / "org.example.App";
};

TEST_F(SingleInstanceTest, LaterStartsAskTheFirstToRaiseItsWindow) {
    int raised = 0;
    SingleInstance first(path);
    ASSERT_EQ(first.start([&] { ++raised; }), Role::primary);
    EXPECT_EQ(startElsewhere(), Role::secondary);
    EXPECT_EQ(startElsewhere(), Role::secondary);
    EXPECT_EQ(raised, 2);

    // A holder that never answers (its event loop does not run) leaves the later start
    // unanswered once the time is up.
    SingleInstance later(path);
    QElapsedTimer waited;
    waited.start();
    EXPECT_EQ(later.start({}, std::chrono::milliseconds(300)), Role::unanswered);
    EXPECT_GE(waited.elapsed(), 300);
    EXPECT_EQ(raised, 2);
}

// The lock and socket of a process that ended without tidying up (as after a move, which ends
// with exit) are taken over; an hour-old lock of a running process is not.
TEST_F(SingleInstanceTest, LockOfAProcessThatHasGoneIsTakenOverAndOnlyThat) {
    pid_t gone = 0;
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    ASSERT_EQ(::posix_spawn(&gone, argv[0], nullptr, nullptr, argv, environ), 0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    writeLock(gone);
    std::ofstream(path.string() + ".socket") << "left over";
    {
        SingleInstance next(path);
        EXPECT_EQ(next.start({}), Role::primary);
        EXPECT_EQ(startElsewhere(), Role::secondary);
    }
    EXPECT_FALSE(fs::exists(path.string() + ".lock")) << "given up when it ends";

    writeLock(::getpid());
    SingleInstance other(path);
    EXPECT_EQ(other.start({}, std::chrono::milliseconds(100)), Role::unanswered);
}

// In the runtime folder when it is the user's alone, else in a folder of the user's own made below
// the temporary folder. A folder there that is not the user's alone (another user's, open to
// others, a link, a file) is refused: the start then goes on without the one-instance check, as
// another user could otherwise answer for it.
TEST_F(SingleInstanceTest, PlacedOnlyInAFolderOfTheUsersOwn) {
    const testing::SavedEnvironment saved{"XDG_RUNTIME_DIR", "TMPDIR"};
    ::chmod(folder.path().c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", folder.path().c_str(), 1);
    EXPECT_EQ(std::optional<fs::path>(instancePath("org.example.App")), path);

    const fs::path temporary = folder / "tmp";
    const fs::path own = temporary / ("lumsift-" + std::to_string(::geteuid()));
    const auto makeFolder = [](const fs::path& made, mode_t mode) {
        fs::create_directory(made);
        ::chmod(made.c_str(), mode);
    };
    makeFolder(folder / "elsewhere", 0700);
    ::setenv("TMPDIR", temporary.c_str(), 1);
    const struct {
        const char* what;
        std::function<void()> lay; // what lies at `own` before the start
        bool refused;
    } rows[] = {
        {"nothing yet", [] {}, false},
        {"made before", [&] { makeFolder(own, 0700); }, false},
        {"open to others", [&] { makeFolder(own, 0755); }, true},
        {"a link", [&] { fs::create_directory_symlink(folder / "elsewhere", own); }, true},
        {"a file", [&] { std::ofstream(own) << "x"; }, true},
        {"another user's",
         [&] {
             makeFolder(own, 0700);
             if (::lchown(own.c_str(), 65534, 65534) != 0)
                 fs::remove(own); // as an ordinary user: the row cannot be laid
         },
         ::geteuid() == 0},
    };
    // Without a runtime folder, and with one that others may enter.
    for (const bool runtimeOpenToOthers : {false, true}) {
        ::unsetenv("XDG_RUNTIME_DIR");
        if (runtimeOpenToOthers) {
            ::chmod(folder.path().c_str(), 0755);
            ::setenv("XDG_RUNTIME_DIR", folder.path().c_str(), 1);
        }
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.what) + (runtimeOpenToOthers ? ", runtime open" : ""));
            fs::remove_all(temporary);
            fs::create_directories(temporary);
            row.lay();
            const log::Capture logged;
            const std::optional<fs::path> placed = instancePath("org.example.App");
            if (row.refused) {
                EXPECT_EQ(placed, std::nullopt);
                EXPECT_EQ(logged.lines().size(), 1u);
                continue;
            }
            EXPECT_EQ(placed, own / "org.example.App");
            struct stat status {};
            ASSERT_EQ(::lstat(own.c_str(), &status), 0);
            EXPECT_TRUE(S_ISDIR(status.st_mode));
            EXPECT_EQ(status.st_mode & 0777, 0700u);
            EXPECT_EQ(status.st_uid, ::geteuid());
            EXPECT_TRUE(logged.lines().empty());
        }
    }
}

// A lock or an answer on the socket that is another user's is not believed: the start goes on
// without the one-instance check rather than end or wait on another user's word.
TEST_F(SingleInstanceTest, AnotherUsersLockOrAnswerIsNotTrusted) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    writeLock(::getpid());
    ASSERT_EQ(::lchown((path.string() + ".lock").c_str(), 65534, 65534), 0);
    {
        SingleInstance later(path);
        EXPECT_EQ(later.start({}, std::chrono::milliseconds(300)), Role::primary);
    }
    fs::remove(path.string() + ".lock");

    // Another user's process listening where the first start would, answering as it would.
    const std::string socketPath = path.string() + ".socket";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    const pid_t stranger = ::fork();
    if (stranger == 0) {
        const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0 ||
            ::listen(listener, 1) != 0)
            ::_exit(1);
        const int connection = ::accept(listener, nullptr, nullptr);
        char request[16];
        ::_exit(::read(connection, request, sizeof request) > 0 &&
                        ::write(connection, "raised\n", 7) == 7
                    ? 0
                    : 1);
    }
    ASSERT_GT(stranger, 0);
    writeLock(stranger);
    {
        SingleInstance later(path);
        EXPECT_EQ(later.start({}, std::chrono::seconds(10)), Role::primary);
    }
    ::kill(stranger, SIGKILL);
    ::waitpid(stranger, nullptr, 0);
}

} // namespace
} // namespace lumsift::instance
