// The offer to move the application bundle into an Applications folder: asks once per launch,
// copies the bundle (as administrator through pkexec when needed), removes the old one, and
// relaunches from the new place once this process has gone.
#include "install/MoveToApplicationsFolder.h"

#include "install/DesktopEntry.h"
#include "install/DiskImages.h"
#include "install/MoveEnvironment.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/log/Log.h"
#include "platform/process/Process.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QFontDatabase>
#include <QMessageBox>
#include <QPushButton>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <sys/stat.h>
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

// Whether `inner` lies below `outer` (not the same), both taken with links resolved and
// compared component by component.
bool liesInside(const std::string& inner, const std::string& outer) {
    const fs::path in = fs::path(resolvingSymlinks(inner)).lexically_normal();
    const fs::path out = fs::path(resolvingSymlinks(outer)).lexically_normal();
    auto i = in.begin();
    for (auto o = out.begin(); o != out.end(); ++o, ++i) {
        if (o->empty() && std::next(o) == out.end())
            break; // a trailing separator
        if (i == in.end() || *i != *o)
            return false;
    }
    return i != in.end() && !(i->empty() && std::next(i) == in.end());
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

// pkexec exits 126 when the user dismissed its dialog: nothing ran. Its 127 (not authorised, a
// wrong password, no authentication agent) is a failure like any other.
constexpr int kDialogDismissed = 126;

// The whole administrator move as one privileged run, so the user is asked once and a dismissal
// changes nothing: remove what is at the destination ($1), never copy into what is left of it,
// copy the bundle ($2) there keeping times and modes, then install the desktop entry ($3) as the
// machine's ($4) when given. The paths come as arguments, never inside the script's text. rm's
// own exit code is not looked at (it also runs when nothing is there). Exit 3: moved, but the
// entry could not be installed.
constexpr const char* kPrivilegedMoveScript =
    "/bin/rm -rf -- \"$1\"; "
    "if [ -e \"$1\" ] || [ -h \"$1\" ]; then exit 1; fi; "
    "/bin/cp -pR -- \"$2\" \"$1\" || exit 1; "
    "if [ $# -ge 4 ]; then /usr/bin/install -D -m 644 -- \"$3\" \"$4\" || exit 3; fi";
constexpr int kMovedWithoutEntry = 3;

// A folder of this user's own below the temporary folder, removed with what it holds.
class PrivateFolder {
public:
    PrivateFolder() {
        std::string pattern = (fs::temp_directory_path(error_) / "lumsift-move-XXXXXX").string();
        if (!error_ && ::mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~PrivateFolder() {
        if (!path_.empty())
            fs::remove_all(path_, error_);
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    // Empty when it could not be made.
    const fs::path& path() const { return path_; }

private:
    std::error_code error_;
    fs::path path_;
};

// The move as administrator, through pkexec: the copy, and the machine's desktop entry for the
// new place (`entry`, borrowed; may be null) in `entriesFolder`.
CopyOutcome copyWithAuthorization(const std::string& source, const std::string& destination,
                                  const install::Entry* entry, const std::string& entriesFolder) {
    if (!destination.ends_with(".app") || isBlank(source))
        return CopyOutcome::failed;

    if (!privilegedLauncher())
        privilegedLauncher() = process::findProgram("pkexec");
    if (!privilegedLauncher())
        return CopyOutcome::failed;

    process::Command command{"/bin/sh",
                             {"-c", kPrivilegedMoveScript, "lumsift-move", destination, source}};
    // The entry goes through a file of ours that the privileged run installs.
    const PrivateFolder staging;
    const fs::path staged = staging.path() / "entry.desktop";
    if (entry != nullptr && !staging.path().empty() && install::writeEntry(staged, entry->text)) {
        command.arguments.push_back(staged.string());
        command.arguments.push_back((fs::path(entriesFolder) / entry->fileName).string());
    }
    const auto status = process::runPrivileged(*privilegedLauncher(), command);
    if (!status || !WIFEXITED(*status))
        return CopyOutcome::failed;
    if (WEXITSTATUS(*status) == kDialogDismissed)
        return CopyOutcome::canceled;
    if (WEXITSTATUS(*status) == kMovedWithoutEntry) {
        log::line("WARNING -- Could not install the desktop entry in " + entriesFolder);
        return CopyOutcome::copied;
    }
    return WEXITSTATUS(*status) == 0 ? CopyOutcome::copied : CopyOutcome::failed;
}

// The moved bundle's executable: Contents/MacOS/<CFBundleExecutable, else the name less ".app">.
std::string bundleExecutable(const std::string& bundlePath) {
    return (fs::path(bundlePath) / "Contents/MacOS" / install::bundleExecutableName(bundlePath))
        .string();
}

// Copies the tree at `from` to `to`, which must not exist: links stay links, modes and times are
// kept (links' own times, as taken before reading), as cp -pR keeps them. A folder gets its mode
// and times only once filled, so read-only folders copy too.
void copyItem(const fs::path& from, const fs::path& to, std::error_code& ec) {
    struct stat status {};
    if (::lstat(from.c_str(), &status) != 0) {
        ec = std::error_code(errno, std::generic_category());
        return;
    }
    if (S_ISLNK(status.st_mode)) {
        fs::copy_symlink(from, to, ec);
    } else if (!S_ISDIR(status.st_mode)) {
        fs::copy_file(from, to, fs::copy_options::none, ec);
    } else {
        if (!fs::create_directory(to, ec) && !ec)
            ec = std::make_error_code(std::errc::file_exists);
        for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
            copyItem(it->path(), to / it->path().filename(), ec);
            if (ec)
                return; // before the increment clears it
        }
        if (!ec)
            fs::permissions(to, static_cast<fs::perms>(status.st_mode & 07777), ec);
    }
    const std::array times{status.st_atim, status.st_mtim};
    if (!ec && ::utimensat(AT_FDCWD, to.c_str(), times.data(), AT_SYMLINK_NOFOLLOW) != 0)
        ec = std::error_code(errno, std::generic_category());
}

bool isRunningFrom(const std::string& destination, const install::Environment& environment) {
    for (const auto& executable : environment.runningExecutables()) {
        if (executable.starts_with(destination))
            return true;
    }
    return false;
}

[[noreturn]] void relaunchAndEnd(const std::string& destination,
                                 const std::optional<std::string>& diskImageDevice,
                                 const install::Environment& environment);

// The copy with the user's rights; may switch to a copy already running at the destination instead.
bool copyWithUserRights(const std::string& source, const std::string& destination,
                        const install::Environment& environment) {
    if (fileExists(destination)) {
        if (isRunningFrom(destination, environment)) {
            // Started only once this process has gone, the destination's program finds the
            // running instance and brings it forward rather than running beside it.
            log::line("INFO -- Switching to an already running version");
            relaunchAndEnd(destination, std::nullopt, environment);
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

// The command that unmounts and detaches the disk image on `device`, its warnings written as this
// process's lines. nullopt, after a log line, when the programs for it are missing.
std::optional<std::string> detachCommand(const std::string& device,
                                         const install::Environment& environment) {
    if (auto script = install::detachScript(device, install::findDetachPrograms(),
                                            log::processName(), environment.processIdentifier()))
        return script;
    log::line("WARNING -- Not detaching the disk image " + install::wholeLoopDevice(device) +
              ": it needs udisksctl (package udisks2), or umount and losetup");
    return std::nullopt;
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
    const auto detach =
        diskImageDevice ? detachCommand(*diskImageDevice, environment) : std::nullopt;
    if (detach &&
        !process::startDetached({"/bin/sh", {"-c", "(/bin/sleep 5 && " + *detach + ") &"}}))
        log::line("ERROR -- Could not start /bin/sh to detach " + *diskImageDevice);
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
    const std::string bundlePath = bundle.bundlePath().string();
    // Nor is any folder that happens to hold Contents/MacOS (Downloads, the home) a bundle.
    if (!lastPathComponent(bundlePath).ends_with(".app")) {
        log::line("INFO -- Not offering to move '" + bundlePath +
                  "': its name does not end in \".app\"");
        return;
    }

    const install::Environment environment = install::currentEnvironment();
    if (isInApplicationsFolder(bundlePath, environment))
        return;

    const auto destinationFolder = chooseDestinationFolder(environment);
    const std::string destination =
        appendingPathComponent(destinationFolder.path, lastPathComponent(bundlePath));
    // Reached through a link into the destination folder, the bundle is already there: the
    // move would remove the only copy before copying it.
    std::error_code sameFileError;
    if (fs::equivalent(bundlePath, destination, sameFileError))
        return;
    // A copy into itself never ends; removing a destination that holds the source removes it.
    if (liesInside(destination, bundlePath) || liesInside(bundlePath, destination)) {
        log::line("ERROR -- Not offering to move '" + bundlePath + "' to '" + destination +
                  "': one lies inside the other");
        return;
    }
    const bool needsAuthorization = !isWritable(destinationFolder.path) ||
                                    (fileExists(destination) && !isWritable(destination));

    const auto diskImageDevice = install::diskImageDevice(
        environment.mountedDevice(fs::path(bundlePath).parent_path().string()));

    if (!userAgreesToMove(bundlePath, destinationFolder.inHome, needsAuthorization, environment))
        return;

    log::line("INFO -- Moving myself to the Applications folder");
    // The desktop entry for the new place: the machine's when the move runs as administrator,
    // else the user's. Written only once the copy has succeeded.
    const auto entry = install::entryForMovedBundle(bundlePath, destination);
    if (needsAuthorization) {
        const auto outcome = copyWithAuthorization(
            bundlePath, destination, entry ? &*entry : nullptr, environment.systemEntriesFolder);
        if (outcome == CopyOutcome::canceled) {
            log::line("INFO -- Not moving because user canceled authorization");
            return;
        }
        if (outcome == CopyOutcome::failed) {
            log::line("ERROR -- Could not copy myself to /Applications with authorization");
            showFailureAlert(environment);
            return;
        }
    } else {
        if (!copyWithUserRights(bundlePath, destination, environment)) {
            showFailureAlert(environment);
            return;
        }
        if (entry)
            install::writeEntry(fs::path(environment.userEntriesFolder) / entry->fileName,
                                entry->text);
    }
    // The user's entries that started the old bundle (a shadowing copy of ours, or their own)
    // follow it, rather than point at a bundle that is gone.
    install::updateEntriesPointingInto(environment.userEntriesFolder, bundlePath, destination);

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
