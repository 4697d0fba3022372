// parlo-nodemgr: plays the node's process supervisor for one process.
//
//   parlo-nodemgr [--send 1,4] [--timeout ms] [--interval ms] [--drop-after n] -- program args
//
// Starts the program, waits for its ready event, connects to its node-manager pipe and sends
// the listed messages one by one, then closes the pipe and waits for the program to end.
// Prints one line per step: "started <pid>", "ready", "sent <m> reply <r>",
// "no reply to <m>", "pipe closed", then "exited <code>" or "killed by signal <n>" (after
// "still running" when it had to kill it). Exit status: 0 when every message was answered,
// 3 when one was not, 4 when the program never got ready, 2 for bad arguments.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nuvlib/nodemgr.h"
#include "nuvlib/pipe.h"
#include "platform/clock.h"
#include "platform/lasterror.h"
#include "platform/named.h"

namespace {

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
    std::printf("\n");
    std::fflush(stdout);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: parlo-nodemgr [--send 1,4] [--timeout ms] [--interval ms] "
                 "[--drop-after n] -- program [args...]\n");
    return 2;
}

bool ParseNumber(const char* text, unsigned long max, unsigned long* out) {
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v > max) return false;
    *out = v;
    return true;
}

bool ParseList(const char* text, std::vector<uint32_t>* out) {
    std::string s = text;
    size_t start = 0;
    while (start <= s.size() && out->size() < 1000) {
        size_t comma = s.find(',', start);
        std::string item = s.substr(start, comma == std::string::npos ? std::string::npos
                                                                       : comma - start);
        unsigned long v;
        if (!ParseNumber(item.c_str(), 0xFFFFFFFFul, &v)) return false;
        out->push_back(static_cast<uint32_t>(v));
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
    return false;
}

// Waits for the child for up to timeoutMs; kills it when it is still running.
void Reap(pid_t pid, unsigned long timeoutMs) {
    int status = 0;
    const int64_t deadline = plat::DeadlineAfterMs(static_cast<int64_t>(timeoutMs));
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (plat::MonotonicNs() >= deadline) {
            Say("still running");
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        plat::SleepForMs(10);
    }
    if (WIFEXITED(status))
        Say("exited %d", WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        Say("killed by signal %d", WTERMSIG(status));
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint32_t> messages;
    unsigned long timeoutMs = 10000, intervalMs = 0, dropAfter = 0;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (i + 1 >= argc) return Usage();
        const char* v = argv[++i];
        bool ok = a == "--send"         ? ParseList(v, &messages)
                  : a == "--timeout"    ? ParseNumber(v, 3600000, &timeoutMs)
                  : a == "--interval"   ? ParseNumber(v, 3600000, &intervalMs)
                  : a == "--drop-after" ? ParseNumber(v, 1000, &dropAfter)
                                        : false;
        if (!ok) return Usage();
    }
    if (i >= argc) return Usage();
    if (messages.empty()) messages = {NM_MSG_PING, NM_MSG_SHUTDOWN};

    pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return 1;
    }
    if (pid == 0) {
        execv(argv[i], argv + i);
        std::perror("exec");
        _exit(127);
    }
    Say("started %d", static_cast<int>(pid));
    plat::NamedMarkerEvent ready(NMReadyEventName(static_cast<uint32_t>(pid)));
    if (ready.Wait(static_cast<uint32_t>(timeoutMs)) != plat::WAIT_OBJECT_0) {
        Say("not ready");
        Reap(pid, 0);
        return 4;
    }
    ready.Reset();
    Say("ready");
    NamedPipeClient pipe;
    if (uint32_t rc = pipe.Connect(NMPipeName(static_cast<uint32_t>(pid)))) {
        Say("cannot connect (%u)", rc);
        Reap(pid, 0);
        return 4;
    }
    int result = 0;
    unsigned long answered = 0;
    for (uint32_t m : messages) {
        if (dropAfter != 0 && answered >= dropAfter) break;
        if (answered > 0 && intervalMs > 0)
            plat::SleepForMs(static_cast<int64_t>(intervalMs));
        uint32_t reply = 0, n = 0;
        uint32_t rc = pipe.Write(&m, sizeof m);
        if (rc == 0) rc = pipe.Read(&reply, sizeof reply, &n, static_cast<int>(timeoutMs));
        if (rc != 0 || n != sizeof reply) {
            Say("no reply to %u", m);
            result = 3;
            break;
        }
        Say("sent %u reply %u", m, reply);
        ++answered;
    }
    pipe.Close();
    Say("pipe closed");
    // A process that went silent gets a moment to finish dying before it is killed.
    Reap(pid, result == 3 ? 1000 : timeoutMs);
    return result;
}
