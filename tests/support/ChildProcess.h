// Runs test code in a child process, for code that ends its process (a crash, a signal).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

namespace lumsift::testing {

// Runs `body` in a forked child, which exits with status 0 when `body` returns. Returns the signal
// the child died of, 0 when it did not die of one. Fork before any thread or application object
// that the child must not inherit.
template <typename Body> int signalOfChild(Body body) {
    const pid_t child = fork();
    if (child == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

} // namespace lumsift::testing
