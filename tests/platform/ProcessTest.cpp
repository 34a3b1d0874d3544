// The process seam's system runner: captured output, wait statuses, lookup and detached starts.
#include "platform/process/Process.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

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
    const auto exited = runPrivileged(*env, {"/bin/sh", {"-c", "exit 1"}});
    ASSERT_TRUE(exited);
    EXPECT_EQ(*exited, 1 << 8);
}

TEST(Process, FindProgramLooksOnPathAndInTheSystemFolders) {
    EXPECT_TRUE(findProgram("sh"));
    EXPECT_FALSE(findProgram("lumsift-no-such-program"));
    EXPECT_FALSE(findProgram("/bin/sh")); // names only
    ::setenv("PATH", "/nonexistent", 1);
    const auto losetup = findProgram("losetup"); // lives in /usr/sbin or /sbin
    if (losetup) {
        EXPECT_TRUE(losetup->string().ends_with("sbin/losetup"));
    }
}

} // namespace
} // namespace lumsift::process
