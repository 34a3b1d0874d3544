// Ownership of one POSIX file descriptor, closed when its owner goes. Safe in a signal handler:
// it never allocates, and close is async-signal-safe.
#pragma once

#include <unistd.h>

namespace lumsift {

// Owns the descriptor it is given (-1: none) and closes it when destroyed or reset. Moved, never
// copied.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    bool valid() const { return fd_ >= 0; }
    // The descriptor, still owned; -1 when there is none.
    int get() const { return fd_; }
    // Gives up ownership; the caller must close the descriptor.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
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
