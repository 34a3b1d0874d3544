// Ownership of one POSIX file descriptor, closed when its owner goes. Safe in a signal handler:
// it never allocates, and close is async-signal-safe.
#pragma once

#include <unistd.h>

namespace lumsift {

// Owns the descriptor it is given (-1: none) and closes it when destroyed or reset.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    // The descriptor, still owned; -1 when there is none.
    int get() const { return fd_; }
    // Closes the descriptor held and takes ownership of `fd` (-1: none).
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

} // namespace lumsift
