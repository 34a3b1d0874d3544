// One instance per user: a later start asks the first to raise its window and is told it did; a
// lock left by a process that has gone is taken over, however old.
#include "platform/instance/SingleInstance.h"

#include "tests/support/SavedEnvironment.h"
#include "tests/support/TestImages.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <future>
#include <spawn.h>
#include <sys/stat.h>
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
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const auto writeLock = [&](pid_t pid) {
        std::ofstream(path.string() + ".lock") << pid << "\nplatform_tests\n" << host << "\n";
        const timespec anHourAgo{::time(nullptr) - 3600, 0}, times[2] = {anHourAgo, anHourAgo};
        ::utimensat(AT_FDCWD, (path.string() + ".lock").c_str(), times, 0);
    };
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

TEST_F(SingleInstanceTest, NamedPerUserInTheRuntimeFolder) {
    const testing::SavedEnvironment saved{"XDG_RUNTIME_DIR"};
    ::setenv("XDG_RUNTIME_DIR", folder.path().c_str(), 1);
    EXPECT_EQ(instancePath("org.example.App"), path);
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(instancePath("org.example.App"),
              fs::temp_directory_path() / ("org.example.App-" + std::to_string(::getuid())));
}

} // namespace
} // namespace lumsift::instance
