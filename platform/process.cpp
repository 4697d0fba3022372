#include "platform/process.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace plat {

void ExitProcess(int code) {
    // Console text still buffered in stdio must not be lost; nothing else runs (as on the
    // original platform, no static destructors run while other threads still work).
    fflush(nullptr);
    _exit(code);
}

std::string ComputerName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return std::string();
    std::string name(buf);
    if (auto dot = name.find('.'); dot != std::string::npos) name.resize(dot);
    if (name.size() > 15) name.resize(15);
    return name;
}

void DebugBreak() { raise(SIGTRAP); }

bool IsDebuggerPresent() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("TracerPid:", 0) == 0) return std::atol(line.c_str() + 10) != 0;
    }
    return false;
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }
uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

std::string RunDir() {
    std::string dir;
    if (const char* env = std::getenv("PARLO_RUN_DIR"); env && *env) {
        dir = env;
    } else if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
        dir = std::string(xdg) + "/parlo";
    } else {
        dir = "/tmp/parlo-" + std::to_string(getuid());
    }
    // Best effort: a failure shows up when a named object is created in it. The lock files
    // in it belong to the user that runs the node's processes alone.
    if (mkdir(dir.c_str(), 0700) == 0) chmod(dir.c_str(), 0700);
    return dir;
}

}  // namespace plat
