#pragma once
// Runs a command line through the shell, for tests of the command-line tools.
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace testsupport {

// What a command did: its exit status (-1 when it did not exit) and its standard output.
struct Ran {
    int status = -1;
    std::string out;
};

// Runs command with /bin/sh and waits for it; redirect in the command line what else to read
// ("2>&1", or "2>&1 >/dev/null" for standard error alone).
inline Ran RunCommand(const std::string& command) {
    Ran r;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return r;
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, p)) r.out.append(buf, n);
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

}  // namespace testsupport
