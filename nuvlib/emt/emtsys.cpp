#include "nuvlib/emt/emtsys.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "nuvlib/ems.h"
#include "platform/lasterror.h"

namespace emt {

namespace {
// Never destroyed: threads may still wait on them while the process exits.
std::mutex& g_evMu = *new std::mutex;
std::condition_variable& g_evCv = *new std::condition_variable;
std::mutex g_nodeMu;
}  // namespace

Event::Event(bool manualReset, bool initial) : manual_(manualReset), state_(initial) {}

void Event::Set() {
    {
        std::lock_guard<std::mutex> g(g_evMu);
        state_ = true;
    }
    g_evCv.notify_all();
}

void Event::Reset() {
    std::lock_guard<std::mutex> g(g_evMu);
    state_ = false;
}

bool Event::IsSet() const {
    std::lock_guard<std::mutex> g(g_evMu);
    return state_;
}

uint32_t Event::Wait(uint32_t ms) { return WaitAny({this}, ms); }

uint32_t WaitAny(std::initializer_list<Event*> events, uint32_t ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lk(g_evMu);
    for (;;) {
        uint32_t i = 0;
        for (Event* e : events) {
            if (e && e->state_) {
                if (!e->manual_) e->state_ = false;
                return i;
            }
            ++i;
        }
        if (ms == kInfinite) {
            g_evCv.wait(lk);
        } else if (g_evCv.wait_until(lk, deadline) == std::cv_status::timeout) {
            // One last look: a Set may have raced with the time-out.
            i = 0;
            for (Event* e : events) {
                if (e && e->state_) {
                    if (!e->manual_) e->state_ = false;
                    return i;
                }
                ++i;
            }
            return kWaitTimeout;
        }
    }
}

// One last-error word per thread, shared with the rest of the process.
uint32_t GetLastError() { return plat::GetLastError(); }
void SetLastError(uint32_t code) { plat::SetLastError(code); }

uint32_t ErrnoToWin32(int e) {
    switch (e) {
        case 0: return 0;
        case ENOMEM: return 8;
        case EBADF: case ENOTSOCK: return 10038;
        case EINVAL: return 10022;
        case EFAULT: return 10014;
        case EWOULDBLOCK: return 10035;
        case EINPROGRESS: return 10036;
        case EALREADY: return 10037;
        case EMSGSIZE: return 10040;
        case ENOPROTOOPT: return 10042;
        case EOPNOTSUPP: return 10045;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ECONNABORTED: return 10053;
        case ECONNRESET: return 10054;
        case EPIPE: return 10054;
        case ENOBUFS: return 10055;
        case EISCONN: return 10056;
        case ENOTCONN: return 10057;
        case ESHUTDOWN: return 10058;
        case ETIMEDOUT: return 10060;
        case ECONNREFUSED: return 10061;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;
        case EMFILE: return 10024;
        case ENOENT: return 2;
        case EACCES: case EPERM: return 5;
        case EEXIST: return 183;
        default: return 0x20000000u | static_cast<uint32_t>(e);
    }
}

uint64_t FileTimeNow() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<uint64_t>(ts.tv_sec) + 11644473600ull) * 10000000ull +
           static_cast<uint64_t>(ts.tv_nsec) / 100;
}

uint64_t MicrosNow() { return FileTimeNow() / 10; }

int64_t MonoMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint32_t TickCount() { return static_cast<uint32_t>(MonoMs()); }

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string MapObjectName(const std::string& name) {
    std::string out = "/";
    const char* ns = std::getenv("PARLO_NAMESPACE");
    if (ns && *ns) {
        out += ns;
        out += '-';
    }
    out += "imt-";
    std::string rest = name;
    for (char& c : rest)
        if (c == '\\' || c == ':' || c == '/') c = '-';
    return out + rest;  // "Global\\IMT.PID:0.PORT:1" -> "/imt-Global-IMT.PID-0.PORT-1"
}

NodeMutex::NodeMutex(const std::string& name) {
    const char* dir = std::getenv("PARLO_RUN_DIR");
    std::string base = dir && *dir ? dir : "/tmp";
    std::string n = name;
    for (char& c : n)
        if (c == '\\' || c == '/' || c == ':') c = '-';
    const char* ns = std::getenv("PARLO_NAMESPACE");
    path_ = base + "/" + (ns && *ns ? std::string(ns) + "-" : std::string()) + n + ".lock";
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
}

NodeMutex::~NodeMutex() {
    if (fd_ >= 0) ::close(fd_);
}

void NodeMutex::Lock() {
    g_nodeMu.lock();
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) EMSFailMessage("CMutexLock::Lock failed.");
    }
}

void NodeMutex::Unlock() {
    if (::flock(fd_, LOCK_UN) != 0) EMSFailMessage("CMutexLock::Unlock failed.");
    g_nodeMu.unlock();
}

}  // namespace emt
