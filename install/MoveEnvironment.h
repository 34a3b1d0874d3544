// The places and services that the move to the Applications folder relies on, gathered in one
// value so that tests can stand temporary folders and recorders in for them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QMessageBox;

namespace lumsift::install {

struct Environment {
    // The user's Applications folders (~/Applications) and the machine's (/opt); absolute paths,
    // whether or not they exist.
    std::vector<std::string> userApplicationsFolders;
    std::vector<std::string> localApplicationsFolders;
    // The user's Downloads folders (XDG user directories).
    std::vector<std::string> downloadsFolders;
    // Where desktop entries go: the user's ($XDG_DATA_HOME/applications) for a move with the
    // user's rights, the machine's (/usr/local/share/applications) for one as administrator.
    std::string userEntriesFolder;
    std::string systemEntriesFolder;
    // The name of the device mounted where `folder` lies (as /proc/self/mountinfo gives it);
    // nullopt when that is the root volume or cannot be told.
    std::function<std::optional<std::string>(const std::string& folder)> mountedDevice;
    // The executable paths of this user's running processes (/proc/<pid>/exe).
    std::function<std::vector<std::string>()> runningExecutables;
    // This process's identifier.
    std::function<int()> processIdentifier;
    // Brings the application to the front when needed and runs the box modally; borrows it.
    std::function<void(QMessageBox&)> runAlert;
    // Ends the process with the status given. Tests throw instead; should it return, the
    // process ends through std::exit all the same.
    std::function<void(int)> exitProcess;
};

// The environment of the running system, read afresh on each call.
Environment systemEnvironment();

// Makes the move use `environment` (copied) while this object lives. Main thread only.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(Environment environment);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::optional<Environment> previous_;
};

// The environment in force: the one installed by a ScopedEnvironment, else the system's.
Environment currentEnvironment();

} // namespace lumsift::install
