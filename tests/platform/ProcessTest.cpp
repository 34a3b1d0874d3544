// The process seam's system runner: captured output, wait statuses, lookup and detached starts.
#include "platform/process/Process.h"

#include "platform/fd/UniqueFd.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SavedEnvironment.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace lumsift::process {
namespace {

TEST(Process, RunAndCaptureReadsAllOutputAndKeepsTheExitStatus) {
    const auto result = runAndCapture({"/bin/sh", {"-c", "printf 'one\\ntwo'; exit 3"}});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->standardOutput, "one\ntwo");
    ASSERT_TRUE(WIFEXITED(result->waitStatus));
    EXPECT_EQ(WEXITSTATUS(result->waitStatus), 3);
}

TEST(Process, ProgramsThatCannotStartAreReportedAsSuch) {
    EXPECT_FALSE(runAndCapture({"/nonexistent/tool", {}}));
    EXPECT_FALSE(startDetached({"/nonexistent/tool", {}}));
    EXPECT_FALSE(runPrivileged("/nonexistent/pkexec", {"/bin/true", {}}));
}

TEST(Process, PrivilegedRunHandsTheCommandToTheLauncherAndReportsASignal) {
    // env stands in for pkexec: both run the program they are given as it is.
    const auto env = findProgram("env");
    ASSERT_TRUE(env);
    const auto killed = runPrivileged(*env, {"/bin/sh", {"-c", "kill -KILL $$"}});
    ASSERT_TRUE(killed);
    ASSERT_TRUE(WIFSIGNALED(*killed));
    EXPECT_EQ(WTERMSIG(*killed), SIGKILL);
    EXPECT_EQ(runPrivileged(*env, {"/bin/sh", {"-c", "exit 1"}}), 1 << 8);
}

// A program planted on PATH (a password dialog of its own, say) is never taken: programs come
// from the system folders only.
TEST(Process, ProgramsAreFoundOnlyInTheSystemFolders) {
    const testimages::TempDir planted;
    for (const char* name : {"sh", "lumsift-planted"}) {
        testimages::writeBytes(planted / name, "#!/bin/sh\n");
        std::filesystem::permissions(planted / name, std::filesystem::perms::owner_all);
    }
    const testing::SavedEnvironment saved{"PATH"};
    ::setenv("PATH", planted.path().c_str(), 1);
    EXPECT_FALSE(findProgram("lumsift-planted"));
    const auto sh = findProgram("sh");
    ASSERT_TRUE(sh);
    EXPECT_TRUE(*sh == "/usr/bin/sh" || *sh == "/bin/sh") << *sh;
    const auto losetup = findProgram("losetup"); // util-linux puts it in /usr/sbin or /sbin
    EXPECT_TRUE(!losetup || losetup->string().ends_with("sbin/losetup")) << losetup.value_or("");
    EXPECT_FALSE(findProgram("lumsift-no-such-program"));
    EXPECT_FALSE(findProgram("/bin/sh")); // names only
}

// Descriptors this process holds without close-on-exec (its own or inherited) never reach the
// programs it starts: waited for, detached or privileged.
TEST(Process, StartedProgramsInheritOnlyTheStandardDescriptors) {
    const UniqueFd stray(::open("/dev/null", O_RDONLY));
    ASSERT_TRUE(stray.valid());
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const UniqueFd pipeRead(pipeFds[0]), pipeWrite(pipeFds[1]);

    // ls lists the descriptors of the shell that runs it.
    const auto captured = runAndCapture({"/bin/sh", {"-c", "/bin/ls /proc/$$/fd"}});
    ASSERT_TRUE(captured);
    EXPECT_EQ(captured->standardOutput, "0\n1\n2\n");

    // ls in place of the shell lists its own descriptors: the standard ones and the one it reads
    // the list through (3, unless something inherited took that number).
    const testimages::TempDir folder;
    const auto listInto = [&](const char* name) {
        return Command{"/bin/sh",
                       {"-c", "exec /bin/ls /proc/self/fd/ > \"$0\"", (folder / name).string()}};
    };
    ASSERT_TRUE(startDetached(listInto("detached")));
    const auto env = findProgram("env");
    ASSERT_TRUE(env);
    EXPECT_EQ(runPrivileged(*env, listInto("privileged")), 0);
    for (const char* name : {"detached", "privileged"}) {
        testing::waitUntil([&] { return testimages::readBytes(folder / name).size() >= 8; }, 5s);
        EXPECT_EQ(testimages::readBytes(folder / name), "0\n1\n2\n3\n") << name;
    }
}

} // namespace
} // namespace lumsift::process
