// One running instance of the application per user. The first start takes a lock file and
// answers on a local socket beside it; a later start finds the lock taken, asks the first
// through the socket to bring its window to the front, and ends.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

namespace lumsift::instance {

// Where the lock ("<path>.lock") and the socket ("<path>.socket") of the instance named
// `identifier` lie for this user: in $XDG_RUNTIME_DIR when that is an absolute folder, else in
// the temporary folder with the user's id in the name. Never fails.
std::filesystem::path instancePath(std::string_view identifier);

enum class Role {
    primary,    // this process is the one instance now
    secondary,  // another one is, and has answered that it brought its window forward
    unanswered, // another one holds the lock but gave no answer in time
};

class SingleInstance {
public:
    // Copies `path` (see instancePath). Nothing happens until start.
    explicit SingleInstance(std::filesystem::path path);
    // Gives up the lock and the socket, if held.
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the lock when it is free (or left by a process that has gone) and listens: then
    // `onRaiseRequested` (copied) runs on this thread's event loop each time a later start asks,
    // and the answer is primary. The thread needs a QCoreApplication and an event loop for that.
    // When another process holds the lock, asks it to raise its window and waits up to `timeout`
    // for its answer: secondary, else unanswered. A lock that cannot be made at all (no writable
    // folder) gives primary with a log line: a launch is never refused for want of one.
    Role start(std::function<void()> onRaiseRequested,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace lumsift::instance
