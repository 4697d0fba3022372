// parlo [registry-base [install-root]]
//
// Starts EMS under the process name "parlo" (settings under the registry base, log files
// under the installation root) and the node-manager responder, reports that it runs, and
// ends cleanly, with its exit callbacks run and its log file closed, on SIGINT, SIGTERM or
// the end of standard input.
// Defaults: registry base "ZUR\parlo", root $PARLO_ROOT or "var" (created when missing).
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "ctimsg/basemsg.h"
#include "nuvlib/ems.h"
#include "nuvlib/nodemgr.h"
#include "nuvlib/release.h"
#include "nuvlib/stdobject.h"

namespace {

constexpr const char* kProcessName = "parlo";
constexpr const char* kDefaultBase = "ZUR\\parlo";

// Waits for SIGINT, SIGTERM or the end of standard input; returns what it was.
std::string WaitForStop(int signals) {
    bool inputOpen = true;
    char buffer[512];
    for (;;) {
        struct pollfd fds[2] = {{signals, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        int n = ::poll(fds, inputOpen ? 2 : 1, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return "poll failure";
        }
        if (fds[0].revents & POLLIN) {
            struct signalfd_siginfo info;
            if (::read(signals, &info, sizeof info) == sizeof info)
                return info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
        }
        if (inputOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (got == 0) return "end of input";
            if (got < 0 && errno != EINTR && errno != EAGAIN) inputOpen = false;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string base = argc > 1 ? argv[1] : kDefaultBase;
    std::string root;
    if (argc > 2)
        root = argv[2];
    else if (const char* env = std::getenv("PARLO_ROOT"); env != nullptr && *env != '\0')
        root = env;
    else
        root = "var";
    std::error_code ec;
    std::filesystem::create_directories(root, ec);

    // Every thread started from here on leaves these signals to the wait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);

    CreateStdObjectLock();
    if (EMSInitialize(base.c_str(), root.c_str(), kProcessName, 0, 'A') != 1)
        std::printf("CommonInit EMSInitialize failed.\n");
    // The node manager pings this process and may ask it to shut down (exit 200004).
    NMStartResponder(NMDefaultHandler, base.c_str(), kProcessName, "CLEAN");
    EMSTraceMessage("%s starting: %s, registry base %s, installation root %s", kProcessName,
                    GetReleaseString(), base.c_str(), root.c_str());
    if (signals < 0) EMSFailMessageErrno("parlo: cannot wait for stop signals.");

    // The protocol tables are probed once before any client message is handled.
    BaseMSG::CheckTables();
    EMSTraceMessage("%s running; stops on SIGINT, SIGTERM or end of input.", kProcessName);
    const std::string reason = WaitForStop(signals);
    EMSTraceMessage("%s stopping on %s.", kProcessName, reason.c_str());
    EMSExitProcess(0);
}
