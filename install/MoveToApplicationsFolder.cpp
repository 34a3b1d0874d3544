// The offer to move the application bundle into an Applications folder: asks once per launch,
// copies the bundle (as administrator through pkexec when needed), removes the old one, and
// relaunches from the new place once this process has gone.
#include "install/MoveToApplicationsFolder.h"

#include "install/DiskImages.h"
#include "install/MoveEnvironment.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/log/Log.h"
#include "platform/plist/Plist.h"
#include "platform/process/Process.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QFontDatabase>
#include <QMessageBox>
#include <QPushButton>

#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace lumsift {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSuppressKey = "moveToApplicationsFolderAlertSuppress";

QString localized(const char* key) {
    return QCoreApplication::translate("MoveApplication", key);
}

std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string appendingPathComponent(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (path.empty() || path.back() != '/')
        path += '/';
    return path + std::string(name);
}

bool anyPathComponentIs(std::string_view path, std::string_view component) {
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto end = std::min(path.find('/', start), path.size());
        if (path.substr(start, end - start) == component)
            return true;
        start = end + 1;
    }
    return false;
}

std::string resolvingSymlinks(const std::string& path) {
    std::error_code ec;
    const auto resolved = fs::weakly_canonical(path, ec);
    return ec ? path : resolved.string();
}

// Exists, following symbolic links, as the file manager's existence test does.
bool fileExists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

bool isWritable(const std::string& path) {
    return ::access(path.c_str(), W_OK) == 0;
}

bool isBlank(std::string_view text) {
    return text.find_first_not_of(" \t") == std::string_view::npos;
}

[[noreturn]] void endProcess(const install::Environment& environment) {
    environment.exitProcess(0);
    std::exit(0);
}

// Already installed: a plain text prefix of any Applications folder, or a component named
// "Applications".
bool isInApplicationsFolder(const std::string& bundlePath,
                            const install::Environment& environment) {
    for (const auto* folders :
         {&environment.userApplicationsFolders, &environment.localApplicationsFolders}) {
        for (const auto& folder : *folders) {
            if (bundlePath.starts_with(folder))
                return true;
        }
    }
    return anyPathComponentIs(bundlePath, "Applications");
}

struct DestinationFolder {
    std::string path;
    bool inHome = false;
};

bool holdsAnApplication(const std::string& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().ends_with(".app"))
            return true;
    }
    return false;
}

// The user's Applications folder only when it already holds an application.
DestinationFolder chooseDestinationFolder(const install::Environment& environment) {
    const auto& userFolders = environment.userApplicationsFolders;
    if (!userFolders.empty() && holdsAnApplication(userFolders.front()))
        return {resolvingSymlinks(userFolders.front()), true};
    const std::string localFolder = environment.localApplicationsFolders.empty()
                                        ? std::string()
                                        : environment.localApplicationsFolders.back();
    return {resolvingSymlinks(localFolder), false};
}

// Asks; true when the user answers "Move to Applications Folder".
bool userAgreesToMove(const std::string& bundlePath, bool inHome, bool needsAuthorization,
                      const install::Environment& environment) {
    QMessageBox alert;
    alert.setText(inHome ? localized("Move to Applications folder in your Home folder?")
                         : localized("Move to Applications folder?"));
    QString informative = localized("I can move myself to the Applications folder if you'd like.");
    if (needsAuthorization) {
        informative += " " + localized("Note that this will require an administrator password.");
    } else {
        for (const auto& downloads : environment.downloadsFolders) {
            if (bundlePath.starts_with(downloads)) {
                informative += " " + localized("This will keep your Downloads folder uncluttered.");
                break;
            }
        }
    }
    alert.setInformativeText(informative);
    QPushButton* const move =
        alert.addButton(localized("Move to Applications Folder"), QMessageBox::AcceptRole);
    QPushButton* const doNotMove =
        alert.addButton(localized("Do Not Move"), QMessageBox::RejectRole);
    alert.setDefaultButton(move);
    alert.setEscapeButton(doNotMove);
    // The box owns the check box; its title is the toolkit's, not the move's strings table.
    auto* suppression =
        new QCheckBox(QCoreApplication::translate("QMessageBox", "Do not show this message again"));
    suppression->setFont(QFontDatabase::systemFont(QFontDatabase::SmallestReadableFont));
    alert.setCheckBox(suppression);

    environment.runAlert(alert);

    if (alert.clickedButton() == move)
        return true; // a ticked box together with the move is not recorded
    if (suppression->isChecked())
        UserDefaults::standard().setBool(true, kSuppressKey);
    return false;
}

enum class CopyOutcome { copied, canceled, failed };

// The kept privileged launcher: looked up once found, again while it is missing.
std::optional<fs::path>& privilegedLauncher() {
    static std::optional<fs::path> launcher;
    return launcher;
}

// pkexec answers 126 when the user dismisses its dialog and 127 when no authorization came.
bool userCanceledAuthorization(int waitStatus) {
    return WIFEXITED(waitStatus) &&
           (WEXITSTATUS(waitStatus) == 126 || WEXITSTATUS(waitStatus) == 127);
}

// The copy as administrator: rm -rf, then cp -pR, each as administrator through pkexec.
CopyOutcome copyWithAuthorization(const std::string& source, const std::string& destination) {
    if (!destination.ends_with(".app") || isBlank(source))
        return CopyOutcome::failed;

    if (!privilegedLauncher())
        privilegedLauncher() = process::findProgram("pkexec");
    if (!privilegedLauncher())
        return CopyOutcome::failed;

    // rm's exit code is not looked at (it also runs when nothing is there); a signal fails.
    const auto removal =
        process::runPrivileged(*privilegedLauncher(), {"/bin/rm", {"-rf", destination}});
    if (!removal)
        return CopyOutcome::failed;
    if (userCanceledAuthorization(*removal))
        return CopyOutcome::canceled;
    if (!WIFEXITED(*removal))
        return CopyOutcome::failed;

    const auto copy =
        process::runPrivileged(*privilegedLauncher(), {"/bin/cp", {"-pR", source, destination}});
    if (!copy || !WIFEXITED(*copy) || WEXITSTATUS(*copy) != 0)
        return CopyOutcome::failed;
    return CopyOutcome::copied;
}

// The moved bundle's executable: Contents/MacOS/<CFBundleExecutable, else the name less ".app">.
std::string bundleExecutable(const std::string& bundlePath) {
    const fs::path contents = fs::path(bundlePath) / "Contents";
    std::string name = lastPathComponent(bundlePath);
    if (name.ends_with(".app"))
        name.resize(name.size() - 4);
    if (const auto info = plist::Plist::readFile(contents / "Info.plist")) {
        if (auto executable =
                plist::stringValue(plist::dictItem(info->get(), "CFBundleExecutable")))
            name = std::move(*executable);
    }
    return (contents / "MacOS" / name).string();
}

// Copies the tree at `from` to `to`, which must not exist: links stay links, modes are kept.
// A folder gets its mode only once filled, so read-only folders copy too.
void copyItem(const fs::path& from, const fs::path& to, std::error_code& ec) {
    const auto status = fs::symlink_status(from, ec);
    if (ec)
        return;
    if (fs::is_symlink(status)) {
        fs::copy_symlink(from, to, ec);
        return;
    }
    if (!fs::is_directory(status)) {
        fs::copy_file(from, to, fs::copy_options::none, ec);
        return;
    }
    if (!fs::create_directory(to, ec) && !ec)
        ec = std::make_error_code(std::errc::file_exists);
    for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
        copyItem(it->path(), to / it->path().filename(), ec);
        if (ec)
            return; // before the increment clears it
    }
    if (!ec)
        fs::permissions(to, status.permissions(), ec);
}

bool isRunningFrom(const std::string& destination, const install::Environment& environment) {
    for (const auto& executable : environment.runningExecutables()) {
        if (executable.starts_with(destination))
            return true;
    }
    return false;
}

// The copy with the user's rights; may switch to a copy already running at the destination instead.
bool copyWithUserRights(const std::string& source, const std::string& destination,
                        const install::Environment& environment) {
    if (fileExists(destination)) {
        if (isRunningFrom(destination, environment)) {
            log::line("INFO -- Switching to an already running version");
            process::startDetached({bundleExecutable(destination), {}});
            endProcess(environment);
        }
        if (!TrashItemAtPath(destination))
            return false;
    }

    std::error_code ec;
    if (fs::exists(fs::symlink_status(destination, ec)))
        ec = std::make_error_code(std::errc::file_exists); // never copy into what is there
    else
        copyItem(source, destination, ec);
    if (!ec)
        return true;
    log::line("ERROR -- Could not copy '" + source + "' to '" + destination + "' (" + ec.message() +
              ")");
    log::line("ERROR -- Could not copy myself to " + destination);
    return false;
}

// The bundle this process ran from goes, unless it lies on a disk image.
void removeOldBundle(const std::string& source) {
    std::error_code ec;
    fs::remove_all(source, ec);
    if (!ec)
        return;
    log::line("WARNING -- Could not delete '" + source + "': " + ec.message());
    if (!TrashItemAtPath(source))
        log::line("WARNING -- Could not delete application after moving it to Applications folder");
}

// The detach command for the disk image on `device`: udisksctl when present, else losetup.
std::string detachCommand(const std::string& device) {
    const std::string loopDevice = QuoteForShell(install::wholeLoopDevice(device));
    if (const auto udisksctl = process::findProgram("udisksctl"))
        return QuoteForShell(udisksctl->string()) + " loop-delete -b " + loopDevice;
    const auto losetup = process::findProgram("losetup").value_or("/usr/sbin/losetup");
    return QuoteForShell(losetup.string()) + " -d " + loopDevice;
}

// The new copy starts once this process has gone; a disk image is detached later.
[[noreturn]] void relaunchAndEnd(const std::string& destination,
                                 const std::optional<std::string>& diskImageDevice,
                                 const install::Environment& environment) {
    // Debian's /bin/sh is dash, which rejects ">&/dev/null": redirect the POSIX way.
    const std::string script = "(while /bin/kill -0 " +
                               std::to_string(environment.processIdentifier()) +
                               " >/dev/null 2>&1; do /bin/sleep 0.1; done; " +
                               QuoteForShell(bundleExecutable(destination)) + ") &";
    if (!process::startDetached({"/bin/sh", {"-c", script}}))
        log::line("ERROR -- Could not start /bin/sh to relaunch from " + destination);
    if (diskImageDevice) {
        const std::string detach = "(/bin/sleep 5 && " + detachCommand(*diskImageDevice) + ") &";
        if (!process::startDetached({"/bin/sh", {"-c", detach}}))
            log::line("ERROR -- Could not start /bin/sh to detach " + *diskImageDevice);
    }
    endProcess(environment);
}

// The alert after a failed move: the toolkit's one button only.
void showFailureAlert(const install::Environment& environment) {
    QMessageBox alert;
    alert.setText(localized("Could not move to Applications folder"));
    environment.runAlert(alert);
}

} // namespace

void OfferMoveToApplicationsFolder() {
    if (UserDefaults::standard().boolForKey(kSuppressKey))
        return;

    // Run from the build tree or from a bin folder, the "bundle" is just the folder the program
    // lies in: moving it would carry off (and then delete) whatever else that folder holds.
    const Bundle& bundle = Bundle::main();
    if (bundle.executablePath().parent_path() != bundle.bundlePath() / "Contents" / "MacOS")
        return;

    const install::Environment environment = install::currentEnvironment();
    const std::string bundlePath = bundle.bundlePath().string();
    if (isInApplicationsFolder(bundlePath, environment))
        return;

    const auto diskImageDevice = install::diskImageDevice(
        environment.mountedDevice(fs::path(bundlePath).parent_path().string()));

    const auto destinationFolder = chooseDestinationFolder(environment);
    const std::string destination =
        appendingPathComponent(destinationFolder.path, lastPathComponent(bundlePath));
    // Reached through a link into the destination folder, the bundle is already there: the
    // move would remove the only copy before copying it.
    std::error_code sameFileError;
    if (fs::equivalent(bundlePath, destination, sameFileError))
        return;
    const bool needsAuthorization = !isWritable(destinationFolder.path) ||
                                    (fileExists(destination) && !isWritable(destination));

    if (!userAgreesToMove(bundlePath, destinationFolder.inHome, needsAuthorization, environment))
        return;

    log::line("INFO -- Moving myself to the Applications folder");
    if (needsAuthorization) {
        const auto outcome = copyWithAuthorization(bundlePath, destination);
        if (outcome == CopyOutcome::canceled) {
            log::line("INFO -- Not moving because user canceled authorization");
            return;
        }
        if (outcome == CopyOutcome::failed) {
            log::line("ERROR -- Could not copy myself to /Applications with authorization");
            showFailureAlert(environment);
            return;
        }
    } else if (!copyWithUserRights(bundlePath, destination, environment)) {
        showFailureAlert(environment);
        return;
    }

    if (!diskImageDevice)
        removeOldBundle(bundlePath);
    relaunchAndEnd(destination, diskImageDevice, environment);
}

bool TrashItemAtPath(std::string_view path) {
    if (QFile::moveToTrash(QString::fromUtf8(path.data(), static_cast<qsizetype>(path.size()))))
        return true;
    log::line("ERROR -- Could not trash '" + std::string(path) + "'");
    return false;
}

std::string QuoteForShell(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

} // namespace lumsift
