// The process seam's system runner: captured output, wait statuses, lookup and detached starts.
#include "platform/process/Process.h"

#include "platform/fd/UniqueFd.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

// A program planted on PATH (a password dialog of its own, say) is never taken: programs come
// from the system folders only.
TEST(Process, ProgramsAreFoundOnlyInTheSystemFolders) {
    char pattern[] = "/tmp/lumsift-path-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path planted = pattern;
    for (const char* name : {"sh", "lumsift-planted"}) {
        std::ofstream(planted / name) << "#!/bin/sh\n";
        std::filesystem::permissions(planted / name, std::filesystem::perms::owner_all);
    }
    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", planted.c_str(), 1);
    const auto sh = findProgram("sh");
    const auto losetup = findProgram("losetup");
    const auto plantedFound = findProgram("lumsift-planted");
    ::setenv("PATH", savedPath.c_str(), 1);
    std::filesystem::remove_all(planted);

    EXPECT_FALSE(plantedFound);
    ASSERT_TRUE(sh);
    EXPECT_TRUE(*sh == "/usr/bin/sh" || *sh == "/bin/sh") << *sh;
    if (losetup) { // util-linux puts it in /usr/sbin or /sbin
        EXPECT_TRUE(losetup->string().ends_with("sbin/losetup")) << *losetup;
    }
    EXPECT_FALSE(findProgram("lumsift-no-such-program"));
    EXPECT_FALSE(findProgram("/bin/sh")); // names only
}

// Descriptors this process holds without close-on-exec (its own or inherited) never reach the
// programs it starts: waited for, detached or privileged.
TEST(Process, StartedProgramsInheritOnlyTheStandardDescriptors) {
    const UniqueFd stray(::open("/dev/null", O_RDONLY));
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const UniqueFd pipeRead(pipeFds[0]), pipeWrite(pipeFds[1]);
    ASSERT_TRUE(stray.valid());

    // ls lists the descriptors of the shell that runs it.
    const auto captured = runAndCapture({"/bin/sh", {"-c", "/bin/ls /proc/$$/fd"}});
    ASSERT_TRUE(captured);
    EXPECT_EQ(captured->standardOutput, "0\n1\n2\n");

    char pattern[] = "/tmp/lumsift-fds-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path folder = pattern;
    // ls in place of the shell lists its own descriptors: the standard ones and the one it reads
    // the list through (3, unless something inherited took that number).
    const auto listInto = [](const std::filesystem::path& file) {
        return Command{"/bin/sh", {"-c", "exec /bin/ls /proc/self/fd/ > \"$0\"", file.string()}};
    };
    ASSERT_TRUE(startDetached(listInto(folder / "detached")));
    const auto env = findProgram("env");
    ASSERT_TRUE(env);
    const auto privileged = runPrivileged(*env, listInto(folder / "privileged"));
    ASSERT_TRUE(privileged);
    EXPECT_EQ(*privileged, 0);
    for (const char* name : {"detached", "privileged"}) {
        const auto file = folder / name;
        std::string listed;
        for (int i = 0; i < 200 && listed.size() < 8; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
            std::ifstream in(file);
            listed.assign(std::istreambuf_iterator<char>(in), {});
        }
        EXPECT_EQ(listed, "0\n1\n2\n3\n") << name;
    }
    std::filesystem::remove_all(folder);
}
} // namespace
} // namespace lumsift::process
