// Lumsift as it starts for real (as app/main.cpp starts it), but answering its own move offer "Move to Applications Folder":
// the end-to-end move test runs it as an ordinary user. Started again from the Applications
// folder (as the relaunched copy), it writes the descriptors it inherited and the path it runs
// from into $LUMSIFT_MOVE_REPORT and ends.
#include "app/MainInterface.h"
#include "install/MoveEnvironment.h"
#include "photolib/LibraryApplication.h"
#include "platform/crashlog/CrashLogWriter.h"

#include <QAbstractButton>
#include <QMessageBox>

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The descriptors open now, but the one that reads the list.
std::vector<int> openDescriptors() {
    std::vector<int> fds;
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr)
        return fds;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != ::dirfd(folder))
            fds.push_back(std::atoi(entry->d_name));
    }
    ::closedir(folder);
    std::sort(fds.begin(), fds.end());
    return fds;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<int> inherited = openDescriptors();
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const char* report = std::getenv("LUMSIFT_MOVE_REPORT");
    const char* home = std::getenv("HOME");
    if (report != nullptr && home != nullptr &&
        self.starts_with(std::string(home) + "/Applications/")) {
        std::string text = "fds:";
        for (const int fd : inherited)
            text.append(" ").append(std::to_string(fd));
        text += "\nexe: " + self + "\n";
        std::ofstream(std::string(report) + ".part") << text;
        std::filesystem::rename(std::string(report) + ".part", report);
        return 0;
    }

    auto environment = lumsift::install::systemEnvironment();
    environment.runAlert = [](QMessageBox& box) {
        for (QAbstractButton* button : box.buttons()) {
            if (button->text() == "Move to Applications Folder") {
                box.show();
                button->click();
            }
        }
        // Any other alert (the failure alert) is left unanswered: nobody is there to read it.
    };
    const lumsift::install::ScopedEnvironment scoped(environment);
    lumsift::crashlog::installCrashLogWriter();
    lumsift::photolib::registerLibraryApplication();
    return lumsift::app::applicationMain(argc, argv);
}
