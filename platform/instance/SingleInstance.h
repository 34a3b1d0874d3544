// One running instance of the application per user. The first start takes a lock file and
// answers on a local socket beside it; a later start finds the lock taken, asks the first
// through the socket to bring its window to the front, and ends. Lock and socket lie in a folder
// that only the user controls, so that no other user can answer for the first start.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace lumsift::instance {

// Where the lock ("<path>.lock") and the socket ("<path>.socket") of the instance named
// `identifier` lie for this user: in $XDG_RUNTIME_DIR when that is the user's alone, else in
// "lumsift-<uid>" in the temporary folder, made with mode 0700 when missing. The user's alone: a
// real folder (not a link), owned by the user, mode 0700. nullopt, after a log line, when neither
// is: the caller then goes without the one-instance check.
std::optional<std::filesystem::path> instancePath(std::string_view identifier);

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
    // folder), a lock file that is not this user's, or an answer from another user's process
    // gives primary with a log line: a launch is never refused for want of a lock, nor on another
    // user's word.
    Role start(std::function<void()> onRaiseRequested,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace lumsift::instance
