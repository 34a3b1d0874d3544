// The move to the Applications folder, in temporary folders standing for the home, Downloads, the
// machine's Applications folder and a second volume; a fake runner answers for the programs.
// Before Qt, whose "signals" keyword GIO uses as a name.
#include <gio/gdesktopappinfo.h>

#include "install/DiskImages.h"
#include "install/MoveEnvironment.h"
#include "install/MoveToApplicationsFolder.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/log/Log.h"
#include "platform/process/Process.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestImages.h"

#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace lumsift {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using testimages::readBytes;
using testimages::writeBytes;

// Answers for the programs the move runs; records every call.
class FakeRunner final : public process::Runner {
public:
    std::optional<fs::path> pkexec = "/usr/bin/pkexec", udisksctl = "/usr/bin/udisksctl",
                            umount = "/usr/bin/umount";
    std::string losetupOutput = R"({"loopdevices": []})";
    // The wait status of the privileged run; nullopt runs its command for real (without pkexec).
    std::optional<int> privilegedStatus;
    bool passDetachedThrough = false;
    Lines found, captured, detached;
    std::vector<std::pair<fs::path, process::Command>> privileged; // launcher, command

    std::optional<fs::path> findProgram(std::string_view name) override {
        found.emplace_back(name);
        if (name == "losetup")
            return fs::path("/usr/sbin/losetup");
        return name == "pkexec"      ? pkexec
               : name == "udisksctl" ? udisksctl
               : name == "umount"    ? umount
                                     : std::nullopt;
    }
    std::optional<process::Captured> runAndCapture(const process::Command& command) override {
        captured.push_back(joined(command));
        return process::Captured{losetupOutput, 0};
    }
    bool startDetached(const process::Command& command) override {
        detached.push_back(command.arguments.size() == 2 ? command.arguments[1] : joined(command));
        return !passDetachedThrough || process::systemRunner().startDetached(command);
    }
    std::optional<int> runPrivileged(const fs::path& launcher,
                                     const process::Command& command) override {
        privileged.emplace_back(launcher, command);
        if (privilegedStatus)
            return privilegedStatus;
        return process::systemRunner().runAndCapture(command)->waitStatus;
    }
    static std::string joined(const process::Command& command) {
        std::string text = command.program.string();
        for (const auto& argument : command.arguments)
            text += " " + argument;
        return text;
    }
};

struct ShownAlert {
    QString text, informative, defaultButton, escapeButton;
    QStringList buttons;
    bool hasCheckBox = false;
};

enum class Answer { move, doNotMove, escapeKey };

constexpr auto kMovingLine = "INFO -- Moving myself to the Applications folder";
constexpr auto kAdministratorFailed =
    "ERROR -- Could not copy myself to /Applications with authorization";
constexpr auto kSuppressKey = "moveToApplicationsFolderAlertSuppress";

// What the desktop reads from an entry (GIO's reading of it): the string under `key` of its main
// group, and the program its Exec starts. Empty when GIO rejects the entry.
std::string entryString(const fs::path& entry, const char* key) {
    GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(entry.c_str());
    if (info == nullptr)
        return {};
    gchar* value = g_desktop_app_info_get_string(info, key);
    const std::string text = value ? value : "";
    g_free(value);
    g_object_unref(info);
    return text;
}
fs::path entryExecutable(const fs::path& entry) {
    // GIO splits Exec as the shell does once the format's escapes are undone.
    const std::string exec = entryString(entry, "Exec");
    gchar** argv = nullptr;
    if (exec.empty() || !g_shell_parse_argv(exec.c_str(), nullptr, &argv, nullptr))
        return {};
    const fs::path program = argv[0];
    g_strfreev(argv);
    return program;
}

class MoveToApplicationsFolder : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ordinaryUser);
        for (const auto& folder : {downloads, machineApps, volume})
            fs::create_directories(folder);
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("XDG_DATA_HOME", scratch.data().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", scratch.config().c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", scratch.runtime().c_str(), 1);
        static int argc = 1;
        static char* argv[] = {const_cast<char*>("install_tests"), nullptr};
        if (qApp == nullptr)
            new QApplication(argc, argv);
        UserDefaults::useFileForTesting(root / "defaults.ini");

        environment = install::systemEnvironment();
        environment.localApplicationsFolders = {machineApps.string()};
        environment.systemEntriesFolder = (root / "share/applications").string();
        environment.mountedDevice = [this](const std::string& folder) {
            return folder.starts_with(volume.string()) ? std::optional<std::string>("/dev/loop7")
                                                       : std::nullopt;
        };
        environment.runningExecutables = [] { return Lines{}; };
        environment.processIdentifier = [] { return 4242; };
        environment.runAlert = [this](QMessageBox& box) { answerAlert(box); };
        environment.exitProcess = [](int status) { throw status; };
    }

    // Permissions bind only an ordinary user: run as root, the test goes on as nobody before it
    // makes its folders.
    static bool becomeOrdinaryUser() {
        return ::geteuid() != 0 ||
               (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0);
    }

    // A bundle with an executable, an Info.plist, its desktop entry and icon, made the main
    // bundle.
    fs::path makeMainBundle(const fs::path& folder, const std::string& name = "Example.app") {
        const fs::path bundle = folder / name;
        writeBytes(bundle / "Contents/MacOS/Example", "#!/bin/sh\n");
        ::chmod((bundle / "Contents/MacOS/Example").c_str(), 0755);
        writeBytes(bundle / "Contents/Info.plist",
                   R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
                   R"(<key>CFBundleExecutable</key><string>Example</string>)"
                   R"(<key>CFBundleIdentifier</key><string>org.example.Example</string>)"
                   R"(</dict></plist>)");
        writeBytes(bundle / "Contents/Resources/org.example.Example.desktop",
                   "[Desktop Entry]\nType=Application\nName=Example\nComment=An example\n"
                   "Exec=\"/where/it/was/built/Example\"\nTryExec=/where/it/was/built/Example\n"
                   "Icon=org.example.Example\nCategories=Graphics;Photography;\n");
        writeBytes(bundle / "Contents/Resources/icons/hicolor/256x256/apps/org.example.Example.png",
                   "png");
        Bundle::setMainForTesting(bundle, bundle / "Contents/MacOS/Example",
                                  bundle / "Contents/Info.plist", bundle / "Contents/Resources");
        return bundle;
    }

    // Runs the offer; returns the exit status when it ended the process.
    std::optional<int> offer() {
        const install::ScopedEnvironment scopedEnvironment(environment);
        const process::ScopedRunner scopedRunner(runner);
        try {
            OfferMoveToApplicationsFolder();
        } catch (int status) {
            return status;
        }
        return std::nullopt;
    }

    void answerAlert(QMessageBox& box) {
        const auto text = [](QAbstractButton* button) {
            return button ? button->text() : QString();
        };
        auto& shown = alerts.emplace_back(box.text(), box.informativeText(),
                                          text(box.defaultButton()), text(box.escapeButton()));
        shown.hasCheckBox = box.checkBox() != nullptr;
        for (auto* button : box.buttons())
            shown.buttons << button->text();
        if (!shown.hasCheckBox)
            return;
        box.checkBox()->setChecked(tickSuppression);
        box.show();
        if (answer == Answer::escapeKey)
            return QTest::keyClick(&box, Qt::Key_Escape);
        const QString choice =
            answer == Answer::move ? "Move to Applications Folder" : "Do Not Move";
        box.buttons()[shown.buttons.indexOf(choice)]->click();
    }

    // The failure alert (no check box, no informative text) was the last alert shown.
    bool sawFailureAlert() const {
        return !alerts.empty() && alerts.back().text == "Could not move to Applications folder" &&
               !alerts.back().hasCheckBox && alerts.back().informative.isEmpty();
    }

    // The log lines after the first `count`.
    Lines linesAfter(std::size_t count) const {
        const auto lines = logged.lines();
        return Lines(lines.begin() + static_cast<std::ptrdiff_t>(count), lines.end());
    }

    std::string relaunchScript(const fs::path& destination) const {
        return "(while /bin/kill -0 4242 >/dev/null 2>&1; do /bin/sleep 0.1; done; '" +
               (destination / "Contents/MacOS/Example").string() + "') &";
    }

    fs::path userEntries() const { return home / ".local/share/applications"; }

    const bool ordinaryUser = becomeOrdinaryUser();
    const testing::PrivateHome scratch;
    const fs::path root = scratch.root(), home = scratch.home(), downloads = home / "Downloads",
                   volume = root / "volume";
    fs::path machineApps = root / "opt";
    install::Environment environment;
    FakeRunner runner;
    std::vector<ShownAlert> alerts;
    Answer answer = Answer::move;
    bool tickSuppression = false;
    log::Capture logged;
};

// No offer when suppressed, from an Applications folder, outside a bundle, or outside a folder
// named "<name>.app" (Downloads or the home holding Contents/MacOS are never moved); nor is a
// bundle moved into itself or over a folder that holds it.
TEST_F(MoveToApplicationsFolder, NoOfferWhenSuppressedInstalledOutsideADotAppBundleOrNested) {
    makeMainBundle(downloads);
    UserDefaults::standard().setBool(true, kSuppressKey);
    EXPECT_FALSE(offer());
    UserDefaults::standard().setBool(false, kSuppressKey);
    // Prefix, prefix, component "Applications", and a plain text prefix of the machine's folder.
    for (const fs::path& folder :
         {machineApps, home / "Applications", root / "Data/Projects/Applications/Tools",
          fs::path(machineApps.string() + " Old")}) {
        makeMainBundle(folder);
        EXPECT_FALSE(offer()) << folder;
    }
    // A program run from a bin folder has no bundle: its folder, and all else in it, stays.
    writeBytes(home / "bin/lumsift", "#!/bin/sh\n");
    writeBytes(home / "bin/other-tool", "#!/bin/sh\n");
    Bundle::setMainForTesting(home / "bin", home / "bin/lumsift", home / "bin/Info.plist",
                              home / "bin");
    EXPECT_FALSE(offer());
    EXPECT_TRUE(fs::exists(home / "bin/other-tool"));
    EXPECT_TRUE(runner.found.empty()) << "no tool runs";
    EXPECT_TRUE(logged.lines().empty());

    fs::create_directories(home / "Applications/Other.app");
    for (const fs::path& folder : {downloads, home}) {
        writeBytes(folder / "Contents/MacOS/Example", "#!/bin/sh\n");
        writeBytes(folder / "photo.jpg", "mine");
        Bundle::setMainForTesting(folder, folder / "Contents/MacOS/Example",
                                  folder / "Contents/Info.plist", folder / "Contents/Resources");
        EXPECT_FALSE(offer()) << folder;
        EXPECT_TRUE(fs::exists(folder / "photo.jpg"));
        EXPECT_EQ(logged.lines().back(), "INFO -- Not offering to move '" + folder.string() +
                                             "': its name does not end in \".app\"");
    }
    EXPECT_FALSE(fs::exists(home / "Applications/Downloads"));
    EXPECT_FALSE(fs::exists(home / "Applications/home"));

    // The user's Applications folder inside the bundle; the bundle inside the destination,
    // reached through a link to the machine's folder.
    const auto outer = makeMainBundle(root / "outer");
    environment.userApplicationsFolders = {(outer / "Apps").string()};
    fs::create_directories(outer / "Apps/Other.app");
    const std::size_t before = logged.lines().size();
    EXPECT_FALSE(offer());
    environment.userApplicationsFolders = {(home / "Applications").string()};
    fs::remove_all(home / "Applications");
    fs::create_symlink(machineApps, root / "apps-link");
    environment.localApplicationsFolders = {(root / "apps-link").string()};
    const auto inner = makeMainBundle(machineApps / "Example.app/Contents/Resources");
    EXPECT_FALSE(offer());
    EXPECT_EQ(linesAfter(before),
              (Lines{"ERROR -- Not offering to move '" + outer.string() + "' to '" +
                         (outer / "Apps/Example.app").string() + "': one lies inside the other",
                     "ERROR -- Not offering to move '" + inner.string() + "' to '" +
                         (machineApps / "Example.app").string() + "': one lies inside the other"}));
    EXPECT_TRUE(alerts.empty());
    EXPECT_TRUE(runner.captured.empty()) << "no disk-image tool ran";
    EXPECT_TRUE(fs::exists(inner / "Contents/MacOS/Example"));
}

TEST_F(MoveToApplicationsFolder, FailedCopyShowsTheFailureAlertAndKeepsTheOldBundle) {
    const auto source = makeMainBundle(downloads);
    writeBytes(source / "Contents/Resources/locked/file", "x");
    ::chmod((source / "Contents/Resources/locked").c_str(), 0);
    EXPECT_FALSE(offer());
    const auto destination = (machineApps / "Example.app").string();
    const auto lines = logged.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], kMovingLine);
    EXPECT_TRUE(lines[1].starts_with("ERROR -- Could not copy '" + source.string() + "' to '" +
                                     destination + "' ("));
    EXPECT_EQ(lines[2], "ERROR -- Could not copy myself to " + destination);
    EXPECT_TRUE(sawFailureAlert());
    EXPECT_TRUE(fs::exists(source / "Contents/MacOS/Example"));
    EXPECT_TRUE(runner.detached.empty());
    EXPECT_FALSE(fs::exists(userEntries())) << "no desktop entry after a failure";
}

// From the root volume (no loop-device listing), another volume, and disk images detached five
// seconds later by udisksctl, else umount and losetup, which each detach falls back to; the
// relaunch script for the process 4242 in the form dash accepts.
TEST_F(MoveToApplicationsFolder, MovedBundleRelaunchesAndEnds) {
    const struct {
        fs::path folder;
        const char* losetupOutput; // none: not asked
        bool udisks, umount, oldBundleStays, detached;
    } cases[] = {
        {downloads, nullptr, true, true, false, false},
        {volume, R"({"loopdevices": [{"name": "/dev/loop1", "back-file": "/x.img"}]})", true, true,
         false, false},
        {volume, R"({"loopdevices": [{"name": "/dev/loop1"}, {"name": "/dev/loop7"}]})", true, true,
         true, true},
        {volume, R"({"loopdevices": [{"name": "/dev/loop7"}]})", false, true, true, true},
        // Nothing to unmount with: a log line says so.
        {volume, R"({"loopdevices": [{"name": "/dev/loop7"}]})", false, false, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.losetupOutput ? c.losetupOutput : "root volume");
        const auto source = makeMainBundle(c.folder);
        const auto before = logged.lines().size();
        runner = FakeRunner();
        runner.losetupOutput = c.losetupOutput ? c.losetupOutput : "";
        if (!c.udisks)
            runner.udisksctl.reset();
        if (!c.umount)
            runner.umount.reset();
        EXPECT_EQ(offer(), 0);
        EXPECT_TRUE(fs::exists(machineApps / "Example.app/Contents/MacOS/Example"));
        EXPECT_EQ(fs::exists(source), c.oldBundleStays);
        Lines lines = {kMovingLine};
        if (c.oldBundleStays && !c.detached)
            lines.push_back("WARNING -- Not detaching the disk image /dev/loop7: it needs "
                            "udisksctl (package udisks2), or umount and losetup");
        EXPECT_EQ(linesAfter(before), lines);
        EXPECT_EQ(runner.captured,
                  c.losetupOutput ? Lines{"/usr/sbin/losetup --list --json"} : Lines{});
        EXPECT_TRUE(runner.privileged.empty());
        Lines expected = {relaunchScript(machineApps / "Example.app")};
        if (c.detached)
            expected.push_back(
                "(/bin/sleep 5 && " +
                install::detachScript("/dev/loop7",
                                      {runner.udisksctl, runner.umount, "/usr/sbin/losetup",
                                       std::nullopt, std::nullopt},
                                      log::processName(), 4242)
                    .value_or("no detach") +
                ") &");
        EXPECT_EQ(runner.detached, expected);
    }
}

// The machine's folder while the user's holds no application, then the user's through a link; a
// bundle already at the destination is left alone (moving would remove it before copying it).
TEST_F(MoveToApplicationsFolder, DestinationChoiceAndTexts) {
    makeMainBundle(downloads);
    fs::create_directories(home / "Applications/notes.txt.d");
    answer = Answer::doNotMove;
    offer();
    ::chmod(machineApps.c_str(), 0555);
    offer();
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[0].text, "Move to Applications folder?");
    EXPECT_EQ(alerts[0].informative, "I can move myself to the Applications folder if you'd like. "
                                     "This will keep your Downloads folder uncluttered.");
    EXPECT_EQ(alerts[0].buttons, (QStringList{"Move to Applications Folder", "Do Not Move"}));
    EXPECT_EQ(alerts[0].defaultButton, "Move to Applications Folder");
    EXPECT_EQ(alerts[0].escapeButton, "Do Not Move");
    EXPECT_TRUE(alerts[0].hasCheckBox);
    EXPECT_EQ(alerts[1].informative, "I can move myself to the Applications folder if you'd like. "
                                     "Note that this will require an administrator password.");

    fs::remove_all(home / "Applications");
    fs::create_directories(root / "RealApps/Other.app");
    fs::create_symlink(root / "RealApps", home / "Applications");
    makeMainBundle(root / "elsewhere");
    answer = Answer::move;
    EXPECT_EQ(offer(), 0);
    ASSERT_EQ(alerts.size(), 3u);
    EXPECT_EQ(alerts[2].text, "Move to Applications folder in your Home folder?");
    EXPECT_EQ(alerts[2].informative, "I can move myself to the Applications folder if you'd like.");
    EXPECT_TRUE(fs::exists(root / "RealApps/Example.app/Contents/MacOS/Example"));
    EXPECT_EQ(runner.detached, Lines{relaunchScript(root / "RealApps/Example.app")});

    makeMainBundle(root / "RealApps");
    ::chmod((root / "RealApps").c_str(), 0555);
    EXPECT_FALSE(offer());
    EXPECT_EQ(alerts.size(), 3u);
    EXPECT_TRUE(runner.privileged.empty());
    EXPECT_TRUE(fs::exists(root / "RealApps/Example.app/Contents/MacOS/Example"));
}

// Each answer, then a second launch; the lower-case "applications" folder is offered the move.
TEST_F(MoveToApplicationsFolder, SuppressionCheckBoxWithBothButtonsAndEscape) {
    const struct {
        Answer answer;
        bool tick, moved, suppressed;
    } cases[] = {{Answer::doNotMove, true, false, true},
                 {Answer::doNotMove, false, false, false},
                 {Answer::escapeKey, true, false, true},
                 {Answer::move, true, true, false}};
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(run);
        UserDefaults::useFileForTesting(root / ("defaults" + std::to_string(run++) + ".ini"));
        const auto source = makeMainBundle(home / "applications");
        alerts.clear();
        answer = c.answer;
        tickSuppression = c.tick;
        EXPECT_EQ(offer(), c.moved ? std::optional(0) : std::nullopt);
        EXPECT_EQ(fs::exists(source), !c.moved);
        EXPECT_EQ(UserDefaults::standard().hasObjectForKey(kSuppressKey), c.suppressed);
        if (!c.moved) {
            offer();
            EXPECT_EQ(alerts.size(), c.suppressed ? 1u : 2u);
            EXPECT_FALSE(fs::exists(userEntries())) << "declining writes no desktop entry";
        }
    }
    EXPECT_EQ(logged.lines(), Lines{kMovingLine}) << "declining logs nothing";
    EXPECT_TRUE(fs::exists(userEntries() / "org.example.Example.desktop"));
}

// One privileged run removes the old copy and copies the new one: one password prompt, and a
// dismissed prompt changes nothing. The paths are arguments of a fixed script.
TEST_F(MoveToApplicationsFolder, AdministratorCopyIsOnePrivilegedRunCancelAndFailures) {
    const auto source = makeMainBundle(downloads);
    const auto destination = machineApps / "Example.app";
    fs::create_directories(destination);
    ::chmod(destination.c_str(), 0555); // an old copy the user cannot write
    // The user's own copy of the entry, which would hide the machine's, still starts the old one.
    const std::string stale = "[Desktop Entry]\nType=Application\nName=Example\nExec=\"" +
                              source.string() + "/Contents/MacOS/Example\"\n";
    writeBytes(userEntries() / "org.example.Example.desktop", stale);
    EXPECT_EQ(offer(), 0);
    ASSERT_EQ(runner.privileged.size(), 1u);
    EXPECT_EQ(runner.privileged[0].first, "/usr/bin/pkexec");
    const process::Command& run = runner.privileged[0].second;
    EXPECT_EQ(run.program, "/bin/sh");
    ASSERT_EQ(run.arguments.size(), 7u);
    EXPECT_EQ(run.arguments[0], "-c");
    EXPECT_EQ(run.arguments[1].find(destination.string()), std::string::npos) << "no path inside";
    EXPECT_EQ(run.arguments[1].find(source.string()), std::string::npos);
    EXPECT_EQ((Lines{run.arguments.begin() + 3, run.arguments.begin() + 5}),
              (Lines{destination.string(), source.string()}));
    // The machine's entry, installed by the same run from a file of ours that is gone now.
    const auto machineEntry = root / "share/applications/org.example.Example.desktop";
    EXPECT_EQ(run.arguments[6], machineEntry.string());
    EXPECT_FALSE(fs::exists(run.arguments[5]));
    EXPECT_EQ(entryExecutable(machineEntry), destination / "Contents/MacOS/Example");
    EXPECT_EQ(entryExecutable(userEntries() / "org.example.Example.desktop"),
              destination / "Contents/MacOS/Example");
    EXPECT_TRUE(fs::exists(destination / "Contents/MacOS/Example"));
    EXPECT_FALSE(fs::exists(destination / "Example.app")) << "never copied into the old copy";
    EXPECT_FALSE(fs::exists(source));
    EXPECT_EQ(runner.detached, Lines{relaunchScript(destination)});

    // 126: the dialog was dismissed, the quiet road. 127: not authorised or no agent, and any
    // other exit or a signal: the failure alert.
    const struct {
        int status;
        const char* line;
    } cases[] = {
        {126 << 8, "INFO -- Not moving because user canceled authorization"},
        {127 << 8, kAdministratorFailed},
        {1 << 8, kAdministratorFailed},
        {SIGKILL, kAdministratorFailed},
    };
    ::chmod(machineApps.c_str(), 0555);
    fs::remove(machineEntry);
    writeBytes(userEntries() / "org.example.Example.desktop", stale);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        const auto kept = makeMainBundle(downloads);
        runner = FakeRunner();
        runner.privilegedStatus = c.status;
        alerts.clear();
        const auto before = logged.lines().size();
        EXPECT_FALSE(offer());
        EXPECT_EQ(runner.privileged.size(), 1u);
        EXPECT_EQ(linesAfter(before), (Lines{kMovingLine, c.line}));
        EXPECT_EQ(sawFailureAlert(), c.line == std::string(kAdministratorFailed));
        EXPECT_EQ(alerts.size(), sawFailureAlert() ? 2u : 1u);
        EXPECT_TRUE(fs::exists(kept / "Contents/MacOS/Example"));
        EXPECT_TRUE(fs::exists(destination / "Contents/MacOS/Example"));
        EXPECT_TRUE(runner.detached.empty());
        EXPECT_FALSE(fs::exists(machineEntry)) << "no entry without a move";
        EXPECT_EQ(readBytes(userEntries() / "org.example.Example.desktop"), stale);
    }

    // A destination the script cannot clear is never copied into: the run fails. The machine's
    // folder asks for administrator rights, but the old copy stays writable and only a folder
    // inside it cannot be emptied, so cp alone would copy into what is left of it.
    const auto kept = makeMainBundle(downloads);
    writeBytes(destination / "Contents/Resources/locked/file", "x");
    ::chmod((destination / "Contents/Resources/locked").c_str(), 0555);
    ::chmod(destination.c_str(), 0755);
    runner = FakeRunner();
    EXPECT_FALSE(offer());
    EXPECT_TRUE(sawFailureAlert());
    EXPECT_FALSE(fs::exists(destination / "Example.app"));
    EXPECT_TRUE(fs::exists(destination / "Contents/Resources/locked/file"));
    EXPECT_TRUE(fs::exists(kept / "Contents/MacOS/Example"));
    EXPECT_FALSE(fs::exists(machineEntry)) << "no entry without a move";
}

// A copy running at the destination, a real process of this user's found through /proc, is
// switched to.
TEST_F(MoveToApplicationsFolder, ExistingDestinationRunningIsSwitchedToElseTrashedOrTheMoveFails) {
    const auto source = makeMainBundle(downloads);
    const auto executable = machineApps / "Example.app/Contents/MacOS/Example";
    fs::create_directories(executable.parent_path());
    fs::copy_file("/bin/sleep", executable);
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>(executable.c_str()), const_cast<char*>("30"), nullptr};
    ASSERT_EQ(::posix_spawn(&pid, executable.c_str(), nullptr, nullptr, argv, environ), 0);
    environment.runningExecutables = install::systemEnvironment().runningExecutables;
    const auto ended = offer();
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(ended, 0);
    EXPECT_EQ(logged.lines(),
              (Lines{kMovingLine, "INFO -- Switching to an already running version"}));
    // Its program starts only once this process has gone, so it finds the running instance and
    // brings that forward instead of running beside this one.
    EXPECT_EQ(runner.detached, Lines{relaunchScript(machineApps / "Example.app")});
    EXPECT_TRUE(fs::exists(source / "Contents/MacOS/Example"));
    EXPECT_FALSE(fs::exists(machineApps / "Example.app/Contents/Info.plist")) << "nothing copied";

    // Not running, it is trashed; a Trash that cannot take it fails the move.
    environment.runningExecutables = [] { return Lines{}; };
    const auto destination = machineApps / "Example.app";
    EXPECT_EQ(offer(), 0);
    EXPECT_TRUE(fs::exists(home / ".local/share/Trash/files/Example.app/Contents/MacOS/Example"));
    EXPECT_TRUE(fs::exists(destination / "Contents/Info.plist"));

    makeMainBundle(downloads);
    fs::remove_all(home / ".local/share/Trash");
    writeBytes(home / ".local/share/Trash", "not a folder");
    EXPECT_FALSE(offer());
    EXPECT_EQ(linesAfter(3),
              (Lines{kMovingLine, "ERROR -- Could not trash '" + destination.string() + "'"}));
    EXPECT_TRUE(sawFailureAlert());
}

// An old bundle that cannot be removed is trashed; when that fails too, the relaunch still comes.
TEST_F(MoveToApplicationsFolder, OldBundleThatCannotBeRemoved) {
    const auto source = makeMainBundle(downloads);
    writeBytes(source / "Contents/Resources/locked/file", "x");
    ::chmod((source / "Contents/Resources/locked").c_str(), 0555); // copies, cannot be emptied
    EXPECT_EQ(offer(), 0);
    const auto warning = "WARNING -- Could not delete '" + source.string() + "': ";
    ASSERT_EQ(logged.lines().size(), 2u);
    EXPECT_TRUE(logged.lines()[1].starts_with(warning));
    EXPECT_TRUE(fs::exists(home / ".local/share/Trash/files/Example.app/Contents"));
    EXPECT_FALSE(fs::exists(source));

    makeMainBundle(downloads);
    ::chmod(downloads.c_str(), 0555);
    runner.detached.clear();
    EXPECT_EQ(offer(), 0);
    const auto lines = linesAfter(2);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[1].starts_with(warning));
    EXPECT_EQ(lines[2], "ERROR -- Could not trash '" + source.string() + "'");
    EXPECT_EQ(lines[3],
              "WARNING -- Could not delete application after moving it to Applications folder");
    EXPECT_EQ(runner.detached, Lines{relaunchScript(machineApps / "Example.app")});
}

// The copy with the user's rights keeps modification times, of files, folders and links alike,
// as cp -p does.
TEST_F(MoveToApplicationsFolder, CopyWithUserRightsKeepsTimes) {
    const auto source = makeMainBundle(downloads);
    fs::create_directories(source / "Contents/Resources");
    fs::create_symlink("../MacOS/Example", source / "Contents/Resources/link");
    const fs::path items[] = {"Contents/MacOS/Example",
                              "Contents/Info.plist",
                              "Contents/Resources/link",
                              "Contents/MacOS",
                              "Contents",
                              ""};
    std::vector<timespec> expected; // as the file system keeps them
    for (long nanoseconds = 123456789; const auto& item : items) {
        const timespec time{1000000000 + nanoseconds, nanoseconds}, times[2] = {{5, 5}, time};
        ASSERT_EQ(::utimensat(AT_FDCWD, (source / item).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
        struct stat status {};
        ASSERT_EQ(::lstat((source / item).c_str(), &status), 0);
        expected.push_back(status.st_mtim);
        nanoseconds += 1000;
    }
    EXPECT_EQ(offer(), 0);
    const auto destination = machineApps / "Example.app";
    for (std::size_t i = 0; i < std::size(items); ++i) {
        struct stat status {};
        ASSERT_EQ(::lstat((destination / items[i]).c_str(), &status), 0) << items[i];
        EXPECT_EQ(status.st_mtim.tv_sec, expected[i].tv_sec) << items[i];
        EXPECT_EQ(status.st_mtim.tv_nsec, expected[i].tv_nsec) << items[i];
    }
}

// After a move with the user's rights into a folder whose name the Exec key and the shell must
// quote, the user's entry starts the new bundle, with its icon, and so does the relaunch; entries
// that started the old bundle follow it, others stay as they are.
TEST_F(MoveToApplicationsFolder, EntriesAndRelaunchStartTheMovedBundleWhateverItsPathHolds) {
    EXPECT_EQ(QuoteForShell(""), "''");
    EXPECT_EQ(QuoteForShell("a'b"), "'a'\\''b'");
    const auto source = makeMainBundle(downloads);
    machineApps = root / "it's \"apps\" $HOME `x`";
    fs::create_directories(machineApps);
    environment.localApplicationsFolders = {machineApps.string()};
    const auto destination = machineApps / "Example.app";
    const std::string oldProgram = (source / "Contents/MacOS/Example").string();
    writeBytes(userEntries() / "org.example.Example.desktop",
               "[Desktop Entry]\nType=Application\nName=Example\nExec=\"" + oldProgram + "\"\n");
    writeBytes(userEntries() / "mine.desktop",
               "[Desktop Entry]\nType=Application\nName=Mine\nExec=" + oldProgram +
                   " --fast %F\nIcon=" + source.string() + "/Contents/Resources/mine.png\n");
    const std::string other = "[Desktop Entry]\nType=Application\nName=Other\nExec=" +
                              (downloads / "Example.application/run").string() + "\n";
    writeBytes(userEntries() / "other.desktop", other);

    EXPECT_EQ(offer(), 0);
    const fs::path program = destination / "Contents/MacOS/Example";
    EXPECT_TRUE(fs::exists(program));
    ASSERT_EQ(runner.detached.size(), 1u);
    EXPECT_TRUE(runner.detached[0].ends_with(
        "done; '" + root.string() +
        "/it'\\''s \"apps\" $HOME `x`/Example.app/Contents/MacOS/Example') &"));
    const auto entry = userEntries() / "org.example.Example.desktop";
    EXPECT_EQ(entryExecutable(entry), program);
    EXPECT_EQ(entryString(entry, "TryExec"), program.string());
    EXPECT_EQ(
        entryString(entry, "Icon"),
        (destination / "Contents/Resources/icons/hicolor/256x256/apps/org.example.Example.png")
            .string());
    EXPECT_EQ(entryString(entry, "Comment"), "An example");
    EXPECT_EQ(entryExecutable(userEntries() / "mine.desktop"), program);
    EXPECT_TRUE(entryString(userEntries() / "mine.desktop", "Exec").ends_with(" --fast %F"));
    EXPECT_EQ(entryString(userEntries() / "mine.desktop", "Icon"),
              (destination / "Contents/Resources/mine.png").string());
    EXPECT_EQ(readBytes(userEntries() / "other.desktop"), other);
    EXPECT_FALSE(fs::exists(root / "share/applications"));
    if (fs::exists("/usr/bin/desktop-file-validate")) {
        for (const auto& written : {entry, userEntries() / "mine.desktop"}) {
            const auto validated = process::systemRunner().runAndCapture(
                {"/usr/bin/desktop-file-validate", {written.string()}});
            ASSERT_TRUE(validated);
            EXPECT_EQ(validated->waitStatus, 0) << validated->standardOutput << readBytes(written);
        }
    }
}

// The relaunch script run by the real /bin/sh: the new copy starts only after the process it
// waits for has ended (and been reaped, since a zombie still answers kill -0).
TEST_F(MoveToApplicationsFolder, RelaunchScriptStartsTheNewCopyOnlyOnceTheOldProcessHasGone) {
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>("/bin/sleep"), const_cast<char*>("0.5"), nullptr};
    ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
    makeMainBundle(downloads);
    const auto marker = root / "marker";
    // The new copy notes whether the old process still existed when it started.
    std::ofstream(fs::path(Bundle::main().bundlePath()) / "Contents/MacOS/Example")
        << "#!/bin/sh\nif /bin/kill -0 " << pid
        << " 2>/dev/null; then echo alive; else echo gone; fi > '" << marker.string() << "'\n";
    environment.processIdentifier = [pid] { return static_cast<int>(pid); };
    runner.passDetachedThrough = true;
    ASSERT_EQ(offer(), 0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(fs::exists(marker)) << "started while the old process was still there";
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    testing::waitUntil([&] { return !readBytes(marker).empty(); }, std::chrono::seconds(10));
    EXPECT_EQ(readBytes(marker), "gone\n");
}

} // namespace
} // namespace lumsift
