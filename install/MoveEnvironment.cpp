// The running system's folders, volumes, processes, alerts and exit, for the move.
#include "install/MoveEnvironment.h"

#include "install/DiskImages.h"
#include "platform/folders/LibraryFolders.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QStandardPaths>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace lumsift::install {
namespace {

std::optional<Environment>& installed() {
    static std::optional<Environment> environment;
    return environment;
}

std::vector<std::string> runningExecutablesFromProc() {
    std::vector<std::string> paths;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // Only this user's: an administrator sees every user's processes here.
        struct stat owner {};
        if (::stat(it->path().c_str(), &owner) != 0 || owner.st_uid != ::getuid())
            continue;
        std::error_code linkError;
        const auto exe = std::filesystem::read_symlink(it->path() / "exe", linkError);
        if (!linkError && !exe.empty())
            paths.push_back(exe.string());
    }
    return paths;
}

void runModally(QMessageBox& box) {
    if (QGuiApplication::applicationState() != Qt::ApplicationActive) {
        box.show();
        box.raise();
        box.activateWindow();
    }
    box.exec();
}

} // namespace

Environment systemEnvironment() {
    Environment environment;
    environment.userApplicationsFolders = {(QDir::homePath() + "/Applications").toStdString()};
    environment.localApplicationsFolders = {"/opt"};
    for (const auto& folder : QStandardPaths::standardLocations(QStandardPaths::DownloadLocation))
        environment.downloadsFolders.push_back(folder.toStdString());
    environment.userEntriesFolder = (folders::userLibraryDirectory() / "applications").string();
    environment.systemEntriesFolder = "/usr/local/share/applications";
    environment.mountedDevice = mountedDeviceOf;
    environment.runningExecutables = runningExecutablesFromProc;
    environment.processIdentifier = [] { return static_cast<int>(::getpid()); };
    environment.runAlert = runModally;
    environment.exitProcess = [](int status) { std::exit(status); };
    return environment;
}

ScopedEnvironment::ScopedEnvironment(Environment environment) : previous_(installed()) {
    installed() = std::move(environment);
}

ScopedEnvironment::~ScopedEnvironment() {
    installed() = previous_;
}

Environment currentEnvironment() {
    if (installed())
        return *installed();
    return systemEnvironment();
}

} // namespace lumsift::install
