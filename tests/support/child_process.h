#pragma once
// Runs a function in a forked child and reports how the child ended, for tests of what
// happens across processes (exit statuses, locks a dying process held).
#include <sys/wait.h>
#include <cerrno>
#include <unistd.h>

#include <functional>

namespace testsupport {

// fn's result is the child's exit status; the child never returns into the test.
inline pid_t ForkChild(const std::function<int()>& fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    return pid;
}

// The raw wait status of pid (use WIFEXITED/WEXITSTATUS/WTERMSIG on it), -1 on error.
inline int WaitChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

}  // namespace testsupport
