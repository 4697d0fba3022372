#pragma once
// Starts a helper process with its stdout on a pipe, waits for a line that announces it
// is ready, and kills it (SIGKILL) when the object goes.
#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <sys/mman.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/support/wait.h"

namespace testsupport {

// Shared-memory sockets of this test's namespace that killed helpers left behind.
inline void RemoveNamespaceShm() {
    const char* ns = std::getenv("PARLO_NAMESPACE");
    if (!ns || !*ns) return;
    // plat::MapSharedMemoryName("Global\\IMT....") without its leading '/'.
    std::string prefix = std::string(ns) + ".Global_IMT.";
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/dev/shm", ec)) {
        std::string name = e.path().filename().string();
        if (name.rfind(prefix, 0) == 0) shm_unlink(("/" + name).c_str());
    }
}

// A loopback port nobody listens on right now, and not one this process was given before:
// the kernel may hand the same ephemeral port to two binds in a row. ./run's default ports
// (MDS and its state transfer, the two client ports) are in the ephemeral range: a test never
// takes them from a ./run started beside it.
inline uint16_t FreePort() {
    constexpr uint16_t kRunPorts[] = {40020, 40021, 42027, 42028};
    static std::mutex mu;
    static std::set<uint16_t> given;
    std::lock_guard<std::mutex> hold(mu);
    for (int tries = 0; tries < 64; ++tries) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        close(fd);
        const uint16_t port = ntohs(a.sin_port);
        if (std::find(std::begin(kRunPorts), std::end(kRunPorts), port) != std::end(kRunPorts)) continue;
        if (given.insert(port).second) return port;
    }
    return 0;
}

class Child {
public:
    explicit Child(std::vector<std::string> argv) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        Kill(SIGKILL);
        if (out_ >= 0) close(out_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return pid_; }

    // The first line that begins with prefix, within ms; empty when none came.
    std::string WaitLine(const std::string& prefix, int ms = 10000) {
        const RealTimer bound(ms);
        for (;;) {
            size_t nl;
            while ((nl = buf_.find('\n')) != std::string::npos) {
                std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                if (line.rfind(prefix, 0) == 0) return line;
            }
            if (bound.Expired() || out_ < 0) return "";
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, bound.LeftMs()) <= 0) continue;
            char tmp[512];
            ssize_t n = read(out_, tmp, sizeof tmp);
            if (n <= 0) return "";
            buf_.append(tmp, static_cast<size_t>(n));
        }
    }

    void Kill(int sig) {
        if (pid_ > 0) {
            ::kill(pid_, sig);
            if (sig == SIGKILL || sig == SIGTERM) {
                int st;
                waitpid(pid_, &st, 0);
                pid_ = -1;
            }
        }
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buf_;
};

}  // namespace testsupport
