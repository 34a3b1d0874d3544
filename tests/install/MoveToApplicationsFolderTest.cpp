// The move to the Applications folder, run against temporary folders standing for the home,
// Downloads, the machine's Applications folder and a second volume, with the external programs
// answered by a fake runner and the alerts by a recorder.
#include "install/MoveToApplicationsFolder.h"
#include "install/MoveEnvironment.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/log/Log.h"
#include "platform/process/Process.h"

#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
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

struct ProcessEnded {
    int status;
};

// Answers for the programs the move runs; records every call.
class FakeRunner final : public process::Runner {
public:
    std::optional<fs::path> pkexec = "/usr/bin/pkexec";
    std::optional<fs::path> udisksctl = "/usr/bin/udisksctl";
    std::string losetupOutput = R"({"loopdevices": []})";
    // Wait statuses for the privileged rm and cp; nullopt runs the command for real.
    std::optional<int> rmStatus, cpStatus;
    bool passDetachedThrough = false;

    std::vector<std::string> found, captured, detached, privileged;

    std::optional<fs::path> findProgram(std::string_view name) override {
        found.emplace_back(name);
        if (name == "pkexec")
            return pkexec;
        if (name == "udisksctl")
            return udisksctl;
        if (name == "losetup")
            return fs::path("/usr/sbin/losetup");
        return std::nullopt;
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
        privileged.push_back(launcher.string() + " " + joined(command));
        const auto& answer = command.program == "/bin/rm" ? rmStatus : cpStatus;
        if (answer)
            return answer;
        return process::systemRunner().runAndCapture(command)->waitStatus;
    }

    static std::string joined(const process::Command& command) {
        std::string text = command.program.string();
        for (const auto& argument : command.arguments)
            text += " " + argument;
        return text;
    }
};

// What an alert showed.
struct ShownAlert {
    QString text, informative;
    QStringList buttons;
    QString defaultButton, escapeButton;
    bool hasCheckBox = false;
};

enum class Answer { move, doNotMove, escapeKey };

// Permissions only bind an ordinary user: run as nobody when started as root.
void becomeOrdinaryUser() {
    if (::geteuid() != 0)
        return;
    ASSERT_EQ(::setgroups(0, nullptr), 0);
    ASSERT_EQ(::setgid(65534), 0);
    ASSERT_EQ(::setuid(65534), 0);
}

void writeFile(const fs::path& path, std::string_view text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

class MoveToApplicationsFolder : public ::testing::Test {
protected:
    void SetUp() override {
        becomeOrdinaryUser();
        char pattern[] = "/tmp/lumsift-move-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        home = root / "home";
        downloads = home / "Downloads";
        machineApps = root / "opt";
        volume = root / "volume";
        for (const auto& folder : {downloads, machineApps, volume, home / ".local/share"})
            fs::create_directories(folder);
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
        ::chmod(root.c_str(), 0700);
        if (qApp == nullptr) {
            static int argc = 1;
            static char name[] = "install_tests";
            static char* argv[] = {name, nullptr};
            new QApplication(argc, argv);
        }
        UserDefaults::useFileForTesting(root / "defaults.ini");

        environment = install::systemEnvironment();
        environment.localApplicationsFolders = {machineApps.string()};
        environment.mountedDevice = [this](const std::string& folder) {
            return folder.starts_with(volume.string()) ? std::optional<std::string>("/dev/loop7")
                                                       : std::nullopt;
        };
        environment.runningExecutables = [this] { return running; };
        environment.processIdentifier = [] { return 4242; };
        environment.runAlert = [this](QMessageBox& box) { answerAlert(box); };
        environment.exitProcess = [](int status) { throw ProcessEnded{status}; };
    }

    void TearDown() override { removeFolders(); }

    // Also called by the child processes of death tests, which end without TearDown.
    void removeFolders() {
        for (const auto& entry : fs::recursive_directory_iterator(root))
            ::chmod(entry.path().c_str(), 0755);
        fs::remove_all(root);
    }

    // A bundle with an executable and an Info.plist, made the main bundle.
    fs::path makeMainBundle(const fs::path& folder, const std::string& name = "Example.app") {
        const fs::path bundle = folder / name;
        writeFile(bundle / "Contents/MacOS/Example", "#!/bin/sh\n");
        ::chmod((bundle / "Contents/MacOS/Example").c_str(), 0755);
        writeFile(bundle / "Contents/Info.plist",
                  R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
                  R"(<key>CFBundleExecutable</key><string>Example</string></dict></plist>)");
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
        } catch (const ProcessEnded& ended) {
            return ended.status;
        }
        return std::nullopt;
    }

    void answerAlert(QMessageBox& box) {
        ShownAlert shown;
        shown.text = box.text();
        shown.informative = box.informativeText();
        for (auto* button : box.buttons())
            shown.buttons << button->text();
        shown.defaultButton = box.defaultButton() ? box.defaultButton()->text() : QString();
        shown.escapeButton = box.escapeButton() ? box.escapeButton()->text() : QString();
        shown.hasCheckBox = box.checkBox() != nullptr;
        alerts.push_back(shown);
        if (!shown.hasCheckBox)
            return;
        box.checkBox()->setChecked(tickSuppression);
        if (answer == Answer::escapeKey) {
            box.show();
            QTest::keyClick(&box, Qt::Key_Escape);
            return;
        }
        const QString wanted =
            answer == Answer::move ? "Move to Applications Folder" : "Do Not Move";
        for (auto* button : box.buttons()) {
            if (button->text() == wanted)
                button->click();
        }
    }

    bool sawFailureAlert() const {
        return std::any_of(alerts.begin(), alerts.end(), [](const ShownAlert& a) {
            return a.text == "Could not move to Applications folder" && !a.hasCheckBox &&
                   a.informative.isEmpty();
        });
    }

    std::string relaunchScript(const fs::path& destination) const {
        return "(while /bin/kill -0 4242 >/dev/null 2>&1; do /bin/sleep 0.1; done; '" +
               (destination / "Contents/MacOS/Example").string() + "') &";
    }

    fs::path root, home, downloads, machineApps, volume;
    install::Environment environment;
    FakeRunner runner;
    std::vector<std::string> running;
    std::vector<ShownAlert> alerts;
    Answer answer = Answer::move;
    bool tickSuppression = false;
    log::Capture logged;
};

constexpr auto kMovingLine = "INFO -- Moving myself to the Applications folder";

// --- Outcomes ---------------------------------------------------------------------------------

TEST_F(MoveToApplicationsFolder, SuppressedOfferDoesNothing) {
    makeMainBundle(downloads);
    UserDefaults::standard().setBool(true, "moveToApplicationsFolderAlertSuppress");
    EXPECT_FALSE(offer());
    EXPECT_TRUE(alerts.empty());
    EXPECT_TRUE(runner.found.empty());
    EXPECT_TRUE(logged.lines().empty());
}

TEST_F(MoveToApplicationsFolder, BundleInAnApplicationsFolderGetsNoOffer) {
    for (const fs::path& folder :
         {machineApps, home / "Applications", root / "Data/Projects/Applications/Tools",
          fs::path(machineApps.string() + " Old")}) {
        makeMainBundle(folder);
        EXPECT_FALSE(offer()) << folder;
    }
    EXPECT_TRUE(alerts.empty());
    EXPECT_TRUE(runner.found.empty());

    makeMainBundle(home / "applications"); // the test is case-sensitive
    answer = Answer::doNotMove;
    EXPECT_FALSE(offer());
    EXPECT_EQ(alerts.size(), 1u);
    EXPECT_TRUE(logged.lines().empty());
}

// A program run from the build tree or a bin folder has no bundle of its own: its folder, and
// all else in it, must not be moved.
TEST_F(MoveToApplicationsFolder, ProgramOutsideABundleGetsNoOffer) {
    const auto folder = home / "bin";
    writeFile(folder / "lumsift", "#!/bin/sh\n");
    writeFile(folder / "other-tool", "#!/bin/sh\n");
    Bundle::setMainForTesting(folder, folder / "lumsift", folder / "Info.plist", folder);
    EXPECT_FALSE(offer());
    EXPECT_TRUE(alerts.empty());
    EXPECT_TRUE(fs::exists(folder / "other-tool"));
}

TEST_F(MoveToApplicationsFolder, MovedFromDownloadsRelaunchesAndEnds) {
    const auto source = makeMainBundle(downloads);
    EXPECT_EQ(offer(), 0);
    const auto destination = machineApps / "Example.app";
    EXPECT_TRUE(fs::exists(destination / "Contents/MacOS/Example"));
    EXPECT_FALSE(fs::exists(source));
    EXPECT_EQ(logged.lines(), std::vector<std::string>{kMovingLine});
    EXPECT_EQ(runner.detached, std::vector<std::string>{relaunchScript(destination)});
    EXPECT_TRUE(runner.captured.empty()) << "root volume: no loop-device listing";
    EXPECT_TRUE(runner.privileged.empty());
}

TEST_F(MoveToApplicationsFolder, FailedCopyShowsTheFailureAlertAndKeepsTheOldBundle) {
    const auto source = makeMainBundle(downloads);
    writeFile(source / "Contents/Resources/locked/file", "x");
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
}

// --- Volumes and disk images ------------------------------------------------------------------

TEST_F(MoveToApplicationsFolder, OtherVolumeThatIsNoDiskImageLosesItsOldBundle) {
    const auto source = makeMainBundle(volume);
    runner.losetupOutput = R"({"loopdevices": [{"name": "/dev/loop1", "back-file": "/x.img"}]})";
    EXPECT_EQ(offer(), 0);
    EXPECT_EQ(runner.captured, std::vector<std::string>{"/usr/sbin/losetup --list --json"});
    EXPECT_FALSE(fs::exists(source));
    EXPECT_EQ(runner.detached.size(), 1u) << "no detach script";
}

TEST_F(MoveToApplicationsFolder, BundleOnDiskImageStaysAndTheImageIsDetached) {
    const auto source = makeMainBundle(volume);
    runner.losetupOutput = R"({"loopdevices": [{"name": "/dev/loop1"}, {"name": "/dev/loop7"}]})";
    EXPECT_EQ(offer(), 0);
    EXPECT_TRUE(fs::exists(source / "Contents/MacOS/Example"));
    ASSERT_EQ(runner.detached.size(), 2u);
    EXPECT_EQ(runner.detached[0], relaunchScript(machineApps / "Example.app"));
    EXPECT_EQ(runner.detached[1],
              "(/bin/sleep 5 && '/usr/bin/udisksctl' loop-delete -b '/dev/loop7') &");
}

TEST_F(MoveToApplicationsFolder, WithoutUdisksTheImageIsDetachedWithLosetup) {
    makeMainBundle(volume);
    runner.udisksctl.reset();
    runner.losetupOutput = R"({"loopdevices": [{"name": "/dev/loop7"}]})";
    EXPECT_EQ(offer(), 0);
    ASSERT_EQ(runner.detached.size(), 2u);
    EXPECT_EQ(runner.detached[1], "(/bin/sleep 5 && '/usr/sbin/losetup' -d '/dev/loop7') &");
}

// --- Destination and texts --------------------------------------------------------------------

TEST_F(MoveToApplicationsFolder, MachineFolderWhenTheUserFolderHoldsNoApplication) {
    makeMainBundle(downloads);
    fs::create_directories(home / "Applications/notes.txt.d");
    answer = Answer::doNotMove;
    offer();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].text, "Move to Applications folder?");
    EXPECT_EQ(alerts[0].informative, "I can move myself to the Applications folder if you'd like. "
                                     "This will keep your Downloads folder uncluttered.");
    EXPECT_EQ(alerts[0].buttons, (QStringList{"Move to Applications Folder", "Do Not Move"}));
    EXPECT_EQ(alerts[0].defaultButton, "Move to Applications Folder");
    EXPECT_EQ(alerts[0].escapeButton, "Do Not Move");
    EXPECT_TRUE(alerts[0].hasCheckBox);
}

TEST_F(MoveToApplicationsFolder, UserFolderHoldingAnApplicationIsChosenWithLinksResolved) {
    makeMainBundle(root / "elsewhere");
    fs::create_directories(root / "RealApps/Other.app");
    fs::create_symlink(root / "RealApps", home / "Applications");
    EXPECT_EQ(offer(), 0);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].text, "Move to Applications folder in your Home folder?");
    EXPECT_EQ(alerts[0].informative, "I can move myself to the Applications folder if you'd like.");
    EXPECT_TRUE(fs::exists(root / "RealApps/Example.app/Contents/MacOS/Example"));
    EXPECT_EQ(runner.detached,
              std::vector<std::string>{relaunchScript(root / "RealApps/Example.app")});
}

// The user's Applications folder is a link to where the bundle lies: moving would remove the
// bundle before copying it.
TEST_F(MoveToApplicationsFolder, BundleAlreadyAtTheResolvedDestinationIsLeftAlone) {
    const auto source = makeMainBundle(root / "RealApps");
    fs::create_directories(root / "RealApps/Other.app");
    fs::create_symlink(root / "RealApps", home / "Applications");
    ::chmod((root / "RealApps").c_str(), 0555);
    EXPECT_FALSE(offer());
    EXPECT_TRUE(alerts.empty());
    EXPECT_TRUE(runner.privileged.empty());
    EXPECT_TRUE(fs::exists(source / "Contents/MacOS/Example"));
}

TEST_F(MoveToApplicationsFolder, AdministratorNoteReplacesTheDownloadsSentence) {
    makeMainBundle(downloads);
    ::chmod(machineApps.c_str(), 0555);
    answer = Answer::doNotMove;
    offer();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].informative, "I can move myself to the Applications folder if you'd like. "
                                     "Note that this will require an administrator password.");
}

// --- Suppression check box --------------------------------------------------------------------

TEST_F(MoveToApplicationsFolder, TickedDoNotMoveTurnsTheOfferOff) {
    makeMainBundle(downloads);
    answer = Answer::doNotMove;
    tickSuppression = true;
    EXPECT_FALSE(offer());
    EXPECT_TRUE(UserDefaults::standard().boolForKey("moveToApplicationsFolderAlertSuppress"));
    EXPECT_FALSE(offer());
    EXPECT_EQ(alerts.size(), 1u);
}

TEST_F(MoveToApplicationsFolder, DoNotMoveWithoutTheTickOffersAgain) {
    const auto source = makeMainBundle(downloads);
    answer = Answer::doNotMove;
    EXPECT_FALSE(offer());
    EXPECT_FALSE(offer());
    EXPECT_EQ(alerts.size(), 2u);
    EXPECT_TRUE(fs::exists(source));
    EXPECT_TRUE(logged.lines().empty());
    EXPECT_FALSE(UserDefaults::standard().boolForKey("moveToApplicationsFolderAlertSuppress"));
}

TEST_F(MoveToApplicationsFolder, TickedMoveIsNotRecorded) {
    makeMainBundle(downloads);
    tickSuppression = true;
    EXPECT_EQ(offer(), 0);
    EXPECT_FALSE(UserDefaults::standard().hasObjectForKey("moveToApplicationsFolderAlertSuppress"));
}

TEST_F(MoveToApplicationsFolder, EscapeKeyAnswersDoNotMove) {
    const auto source = makeMainBundle(downloads);
    answer = Answer::escapeKey;
    tickSuppression = true;
    EXPECT_FALSE(offer());
    EXPECT_TRUE(fs::exists(source));
    EXPECT_TRUE(logged.lines().empty());
    EXPECT_TRUE(UserDefaults::standard().boolForKey("moveToApplicationsFolderAlertSuppress"));
}

// --- Copy with administrator rights -----------------------------------------------------------

TEST_F(MoveToApplicationsFolder, AdministratorCopyRemovesThenCopies) {
    const auto source = makeMainBundle(downloads);
    const auto destination = machineApps / "Example.app";
    fs::create_directories(destination);
    ::chmod(destination.c_str(), 0555); // an old copy the user cannot write
    EXPECT_EQ(offer(), 0);
    EXPECT_EQ(runner.privileged,
              (std::vector<std::string>{"/usr/bin/pkexec /bin/rm -rf " + destination.string(),
                                        "/usr/bin/pkexec /bin/cp -pR " + source.string() + " " +
                                            destination.string()}));
    EXPECT_TRUE(fs::exists(destination / "Contents/MacOS/Example"));
    EXPECT_FALSE(fs::exists(source));
    EXPECT_EQ(runner.detached, std::vector<std::string>{relaunchScript(destination)});
}

TEST_F(MoveToApplicationsFolder, CancelAtThePasswordPromptGoesOnQuietly) {
    const auto source = makeMainBundle(downloads);
    ::chmod(machineApps.c_str(), 0555);
    for (const int code : {126, 127}) {
        runner.rmStatus = code << 8;
        alerts.clear();
        EXPECT_FALSE(offer());
        EXPECT_EQ(alerts.size(), 1u) << "the offer only";
    }
    EXPECT_EQ(logged.lines(),
              (std::vector<std::string>{
                  kMovingLine, "INFO -- Not moving because user canceled authorization",
                  kMovingLine, "INFO -- Not moving because user canceled authorization"}));
    EXPECT_TRUE(fs::exists(source / "Contents/MacOS/Example"));
    EXPECT_EQ(runner.privileged.size(), 2u) << "no cp after a cancel";
}

TEST_F(MoveToApplicationsFolder, AdministratorCopyFailures) {
    makeMainBundle(downloads);
    ::chmod(machineApps.c_str(), 0555);
    const std::vector<std::string> failed = {
        kMovingLine, "ERROR -- Could not copy myself to /Applications with authorization"};

    runner.rmStatus = SIGKILL; // rm killed by a signal: no cp
    EXPECT_FALSE(offer());
    EXPECT_EQ(runner.privileged.size(), 1u);

    runner.rmStatus = 1 << 8; // rm's exit code is not looked at; cp exiting 1 fails
    runner.cpStatus = 1 << 8;
    EXPECT_FALSE(offer());
    EXPECT_EQ(runner.privileged.size(), 3u);

    EXPECT_EQ(logged.lines().size(), 4u);
    for (std::size_t i = 0; i < logged.lines().size(); ++i)
        EXPECT_EQ(logged.lines()[i], failed[i % 2]);
    EXPECT_EQ(std::count_if(alerts.begin(), alerts.end(),
                            [](const ShownAlert& a) { return !a.hasCheckBox; }),
              2);
    EXPECT_TRUE(sawFailureAlert());
    EXPECT_TRUE(runner.detached.empty());
}

// The launcher is looked up once and kept for the process: checked in a fresh process.
TEST_F(MoveToApplicationsFolder, AdministratorCopyWithoutPkexecFails) {
    makeMainBundle(downloads);
    ::chmod(machineApps.c_str(), 0555);
    runner.pkexec.reset();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const bool returned = !offer();
            removeFolders();
            std::exit(returned && runner.privileged.empty() && sawFailureAlert() &&
                              logged.contains("ERROR -- Could not copy myself to /Applications "
                                              "with authorization")
                          ? 0
                          : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(MoveToApplicationsFolder, BundleNotEndingInAppFailsBeforeAnyPrompt) {
    makeMainBundle(downloads, "Example");
    ::chmod(machineApps.c_str(), 0555);
    EXPECT_FALSE(offer());
    EXPECT_TRUE(runner.privileged.empty());
    EXPECT_EQ(
        logged.lines(),
        (std::vector<std::string>{
            kMovingLine, "ERROR -- Could not copy myself to /Applications with authorization"}));
    EXPECT_TRUE(sawFailureAlert());
}

// --- Copy with the user's rights --------------------------------------------------------------

TEST_F(MoveToApplicationsFolder, RunningCopyAtTheDestinationIsSwitchedTo) {
    const auto source = makeMainBundle(downloads);
    const auto destination = machineApps / "Example.app";
    fs::create_directories(destination / "Contents/MacOS");
    running = {"/usr/bin/bash", (destination / "Contents/MacOS/Example").string()};
    EXPECT_EQ(offer(), 0);
    EXPECT_EQ(logged.lines(), (std::vector<std::string>{
                                  kMovingLine, "INFO -- Switching to an already running version"}));
    EXPECT_EQ(runner.detached,
              std::vector<std::string>{(destination / "Contents/MacOS/Example").string()});
    EXPECT_TRUE(fs::exists(source / "Contents/MacOS/Example"));
    EXPECT_FALSE(fs::exists(destination / "Contents/Info.plist")) << "nothing copied";
}

TEST_F(MoveToApplicationsFolder, RunningProcessesAreFoundThroughProc) {
    makeMainBundle(downloads);
    const auto destination = machineApps / "Example.app";
    fs::create_directories(destination / "Contents/MacOS");
    fs::copy_file("/bin/sleep", destination / "Contents/MacOS/Example");
    pid_t pid = 0;
    const std::string executable = (destination / "Contents/MacOS/Example").string();
    char seconds[] = "30";
    char* argv[] = {const_cast<char*>(executable.c_str()), seconds, nullptr};
    ASSERT_EQ(::posix_spawn(&pid, executable.c_str(), nullptr, nullptr, argv, environ), 0);
    environment.runningExecutables = install::systemEnvironment().runningExecutables;
    const auto ended = offer();
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(ended, 0);
    EXPECT_TRUE(logged.contains("INFO -- Switching to an already running version"));
}

TEST_F(MoveToApplicationsFolder, ExistingDestinationIsTrashedBeforeTheCopy) {
    makeMainBundle(downloads);
    const auto destination = machineApps / "Example.app";
    writeFile(destination / "old-version", "1");
    EXPECT_EQ(offer(), 0);
    EXPECT_FALSE(fs::exists(destination / "old-version"));
    EXPECT_TRUE(fs::exists(home / ".local/share/Trash/files/Example.app/old-version"));
    EXPECT_TRUE(fs::exists(destination / "Contents/MacOS/Example"));
}

TEST_F(MoveToApplicationsFolder, DestinationThatCannotBeTrashedFailsTheMove) {
    makeMainBundle(downloads);
    const auto destination = machineApps / "Example.app";
    fs::create_directories(destination);
    writeFile(home / ".local/share/Trash", "not a folder");
    EXPECT_FALSE(offer());
    EXPECT_EQ(logged.lines(),
              (std::vector<std::string>{kMovingLine, "ERROR -- Could not trash '" +
                                                         destination.string() + "'"}));
    EXPECT_TRUE(sawFailureAlert());
}

// --- The old bundle ---------------------------------------------------------------------------

TEST_F(MoveToApplicationsFolder, OldBundleThatCannotBeRemovedIsTrashed) {
    const auto source = makeMainBundle(downloads);
    writeFile(source / "Contents/Resources/locked/file", "x");
    ::chmod((source / "Contents/Resources/locked").c_str(), 0555);
    // readable, so it copies; not writable, so it cannot be emptied
    EXPECT_EQ(offer(), 0);
    const auto lines = logged.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[1].starts_with("WARNING -- Could not delete '" + source.string() + "': "));
    EXPECT_FALSE(fs::exists(source));
    EXPECT_TRUE(fs::exists(home / ".local/share/Trash/files/Example.app"));
    EXPECT_EQ(runner.detached.size(), 1u);
}

TEST_F(MoveToApplicationsFolder, OldBundleThatCanNeitherBeRemovedNorTrashedStillRelaunches) {
    const auto source = makeMainBundle(downloads);
    ::chmod(downloads.c_str(), 0555);
    EXPECT_EQ(offer(), 0);
    const auto lines = logged.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[1].starts_with("WARNING -- Could not delete '" + source.string() + "': "));
    EXPECT_EQ(lines[2], "ERROR -- Could not trash '" + source.string() + "'");
    EXPECT_EQ(lines[3],
              "WARNING -- Could not delete application after moving it to Applications folder");
    EXPECT_EQ(runner.detached,
              std::vector<std::string>{relaunchScript(machineApps / "Example.app")});
}

// --- Shell words and scripts ------------------------------------------------------------------

TEST(QuoteForShell, MakesOneWordOfAnyText) {
    EXPECT_EQ(QuoteForShell("abc"), "'abc'");
    EXPECT_EQ(QuoteForShell("a'b"), "'a'\\''b'");
    EXPECT_EQ(QuoteForShell(""), "''");
}

TEST_F(MoveToApplicationsFolder, RelaunchScriptForPid4242) {
    makeMainBundle(downloads);
    EXPECT_EQ(offer(), 0);
    ASSERT_EQ(runner.detached.size(), 1u);
    EXPECT_EQ(runner.detached[0], "(while /bin/kill -0 4242 >/dev/null 2>&1; do /bin/sleep 0.1; "
                                  "done; '" +
                                      machineApps.string() +
                                      "/Example.app/Contents/MacOS/Example') &");
}

TEST_F(MoveToApplicationsFolder, DestinationHoldingASingleQuoteIsOneWord) {
    makeMainBundle(downloads);
    machineApps = root / "it's apps";
    fs::create_directories(machineApps);
    environment.localApplicationsFolders = {machineApps.string()};
    EXPECT_EQ(offer(), 0);
    ASSERT_EQ(runner.detached.size(), 1u);
    EXPECT_TRUE(runner.detached[0].ends_with(
        "done; '" + root.string() + "/it'\\''s apps/Example.app/Contents/MacOS/Example') &"));
    EXPECT_TRUE(fs::exists(machineApps / "Example.app/Contents/MacOS/Example"));
}

// The relaunch script run by the real /bin/sh: the new copy starts only after the process it
// waits for has ended (and been reaped, since a zombie still answers kill -0).
TEST_F(MoveToApplicationsFolder, RelaunchScriptStartsTheNewCopyOnlyOnceTheOldProcessHasGone) {
    pid_t pid = 0;
    char sleepPath[] = "/bin/sleep";
    char half[] = "0.5";
    char* argv[] = {sleepPath, half, nullptr};
    ASSERT_EQ(::posix_spawn(&pid, sleepPath, nullptr, nullptr, argv, environ), 0);

    makeMainBundle(downloads);
    const auto marker = root / "marker";
    // The new copy notes whether the old process still existed when it started.
    const std::string newCopy = "#!/bin/sh\nif /bin/kill -0 " + std::to_string(pid) +
                                " 2>/dev/null; then echo alive; else echo gone; fi > '" +
                                marker.string() + "'\n";
    std::ofstream(fs::path(Bundle::main().bundlePath()) / "Contents/MacOS/Example") << newCopy;
    environment.processIdentifier = [pid] { return static_cast<int>(pid); };
    runner.passDetachedThrough = true;
    ASSERT_EQ(offer(), 0);

    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(fs::exists(marker)) << "started while the old process was still there";
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);

    for (int i = 0; i < 200; ++i) {
        std::error_code ec;
        if (fs::file_size(marker, ec) > 0 && !ec)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string seen;
    std::ifstream(marker) >> seen;
    EXPECT_EQ(seen, "gone");
}

// The real end of the process: exit status 0, in a child process.
TEST_F(MoveToApplicationsFolder, MoveEndsTheProcessWithStatusZero) {
    makeMainBundle(downloads);
    environment.exitProcess = [this,
                               exitProcess = install::systemEnvironment().exitProcess](int status) {
        removeFolders();
        exitProcess(status);
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(offer(), ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace lumsift
