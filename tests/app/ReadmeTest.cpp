// README.md's "Using your own photographs", run as a user pastes it: its commands, read from the
// README itself, one after another in one shell, in a home folder of the test's own. Where the
// README runs Lumsift, the window is started and, being a window, driven by the test through the
// real widgets (Load, Analyse, Detect Similars, Find Similar Images).
#include "app/ResultsView.h"
#include "photolib/LibraryApplication.h"
#include "photolib/LibraryPackage.h"
#include "tests/app/AppHarness.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <thread>

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace lumsift::app {
namespace {

namespace fs = std::filesystem;
using testimages::Variant;
using testing::AppHarness;

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The commands of the README's section `heading`: its indented lines, in order.
std::vector<std::string> sectionCommands(const std::string& readme, const std::string& heading) {
    std::vector<std::string> commands;
    std::istringstream lines(readme);
    bool inSection = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("## "))
            inSection = line == "## " + heading;
        else if (inSection && line.starts_with("    "))
            commands.push_back(line.substr(4));
    }
    return commands;
}

// A shell script that runs `commands` in order and stops at the first that fails, saying which
// (as "README line <n> failed"). The line that starts Lumsift runs it for a few seconds, which
// it must live through, then tells the test (file `hook`/ready) and waits until the test has
// used the window (file `hook`/done).
std::string scriptOf(const std::vector<std::string>& commands, const fs::path& hook) {
    std::string script;
    for (size_t n = 0; n < commands.size(); ++n) {
        const std::string fail =
            " || { echo 'README line " + std::to_string(n + 1) + " failed' >&2; exit 1; }\n";
        if (commands[n] == "Lumsift") {
            script += "{ timeout 5 " + commands[n] + "; [ $? -eq 124 ]; }" + fail;
            script += "touch '" + (hook / "ready").string() + "'\n";
            script += "while [ ! -e '" + (hook / "done").string() + "' ]; do sleep 0.1; done\n";
            continue;
        }
        script += "{ " + commands[n] + "\n}" + fail;
    }
    return script;
}

bool waitForFile(const fs::path& file, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!fs::exists(file)) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

TEST(Readme, UsingYourOwnPhotographsWorksPastedLineByLine) {
    const auto commands = sectionCommands(readFile(fs::path(LUMSIFT_SOURCE_DIR) / "README.md"),
                                          "Using your own photographs");
    ASSERT_GE(commands.size(), 8u);
    ASSERT_EQ(std::count(commands.begin(), commands.end(), "Lumsift"), 1);

    testimages::TempDir folder;
    // The user's home, with the photographs the README names: IMG_0412.jpg, a smaller copy of
    // it, and two unrelated pictures.
    const fs::path home = folder / "home";
    const fs::path photos = home / "Pictures" / "Holiday";
    fs::create_directories(photos / "2nd day");
    testimages::writePhoto(photos / "IMG_0412.jpg", 0);
    testimages::writePhoto(photos / "2nd day" / "IMG_0412 small.jpg", 0, Variant::Half);
    testimages::writePhoto(photos / "IMG_0413.jpg", 1);
    testimages::writePhoto(photos / "2nd day" / "IMG_0414.jpg", 2);
    // This folder stands for the checkout: its build folder is the one the tests run from.
    const fs::path checkout = folder / "checkout";
    fs::create_directories(checkout);
    fs::create_directory_symlink(LUMSIFT_BINARY_DIR, checkout / "build");
    // The desktop's viewer, which notes what it is asked to open.
    const fs::path bin = folder / "bin";
    testimages::writeBytes(bin / "xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" +
                                                 (folder / "opened").string() + "'\n");
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    const fs::path hook = folder / "hook";
    fs::create_directories(hook);
    testimages::writeBytes(folder / "readme.sh", scriptOf(commands, hook));

    // The shell and this process see the same home, so the same open library; Lumsift's
    // one-instance lock lies in a runtime folder of the test's own.
    setenv("HOME", home.c_str(), 1);
    fs::create_directories(folder / "runtime");
    fs::permissions(folder / "runtime", fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", (folder / "runtime").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"})
        unsetenv(name);
    setenv("PATH", (bin.string() + ":" + std::getenv("PATH")).c_str(), 1);
    std::string out = (folder / "out.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, checkout.c_str());
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::string bash = "/bin/bash";
    std::string script = (folder / "readme.sh").string();
    char* argv[] = {bash.data(), script.data(), nullptr};
    // The shell, ended (with its timeout and Lumsift) on every way out of the test.
    struct Shell {
        pid_t pid = 0;
        ~Shell() {
            if (pid > 0) {
                kill(-pid, SIGKILL);
                finish();
            }
        }
        int finish() {
            int status = 0;
            waitpid(pid, &status, 0);
            pid = 0;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
    } shell;
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP); // its own process group
    ASSERT_EQ(posix_spawn(&shell.pid, bash.c_str(), &actions, &attributes, argv, environ), 0);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);

    // Until Lumsift: the library made, opened, and IMG_0412.jpg selected.
    ASSERT_TRUE(waitForFile(hook / "ready", std::chrono::seconds(60))) << readFile(out);
    photolib::registerLibraryApplication();
    {
        AppHarness h(/*registerFake=*/false);
        h.launch();
        ResultsView* results = h.searchThroughTheWindow(home / "Pictures" / "Holiday.aplibrary");
        ASSERT_NE(results, nullptr);
        EXPECT_EQ(h.ui.delegate->selectedLabel()->text(), "1");
        EXPECT_EQ(results->similarImagesLabel()->stringValue(), "1");
    }
    testimages::writeBytes(hook / "done", "");

    // The rest: the page of pictures opened, the library closed and deleted.
    EXPECT_EQ(shell.finish(), 0) << readFile(out);
    const fs::path page = home / ".cache" / "photolib" / "Holiday.html";
    EXPECT_EQ(readFile(folder / "opened"), page.string() + "\n");
    const std::string html = readFile(page);
    EXPECT_NE(html.find("<h2>Lumsift IMG_0412</h2>"), std::string::npos);
    EXPECT_NE(html.find("<span class=\"name\">IMG_0412 small</span>"), std::string::npos);
    EXPECT_FALSE(fs::exists(home / "Pictures" / "Holiday.aplibrary"));
    EXPECT_FALSE(fs::exists(home / ".config" / "photolib" / "open-library"));
    EXPECT_TRUE(fs::exists(photos / "IMG_0412.jpg"));
}

} // namespace
} // namespace lumsift::app
