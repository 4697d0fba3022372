#include "parlo/model/modelutil.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "ctimsg/basemsg.h"
#include "nuvlib/ems.h"
#include "parlo/model/ports.h"
#include "platform/clock.h"

namespace model {

namespace {
Ports g_ports;

std::string VFormat(const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(big.data(), big.size(), format, args);
    big.resize(static_cast<size_t>(n));
    return big;
}
}  // namespace

void InstallPorts(const Ports& ports) { g_ports = ports; }
const Ports& GetPorts() { return g_ports; }

const char* PerfCounterName(PerfCounter counter) {
    switch (counter) {
        case PerfCounter::PARLO_ACTIVE_CALLS: return "PARLO_ACTIVE_CALLS";
        case PerfCounter::PARLO_REPORTED_CALLS: return "PARLO_REPORTED_CALLS";
        case PerfCounter::PARLO_DEACTIVATED_CALLS: return "PARLO_DEACTIVATED_CALLS";
        case PerfCounter::PARLO_CLEARED_CALLS: return "PARLO_CLEARED_CALLS";
        case PerfCounter::PARLO_PRIVATE_CALLS: return "PARLO_PRIVATE_CALLS";
        case PerfCounter::PARLO_LOGGEDIN_AGENTS: return "PARLO_LOGGEDIN_AGENTS";
        case PerfCounter::PARLO_LOGGEDOUT_AGENTS: return "PARLO_LOGGEDOUT_AGENTS";
        case PerfCounter::PARLO_READY_AGENTS: return "PARLO_READY_AGENTS";
        case PerfCounter::PARLO_NOT_READY_AGENTS: return "PARLO_NOT_READY_AGENTS";
        case PerfCounter::PARLO_WORKREADY_AGENTS: return "PARLO_WORKREADY_AGENTS";
        case PerfCounter::PARLO_WORKNOTREADY_AGENTS: return "PARLO_WORKNOTREADY_AGENTS";
        case PerfCounter::PARLO_TALKING_AGENTS: return "PARLO_TALKING_AGENTS";
    }
    return "?";
}

void StateTrace(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = VFormat(format, args);
    va_end(args);
    EMSEvent0I1S(kEmsStateTrace, 0, 0, text.c_str());
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = VFormat(format, args);
    va_end(args);
    return text;
}

void AppendF(std::string& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    out += VFormat(format, args);
    va_end(args);
}

int64_t NowSeconds() { return plat::RealtimeNs() / 1000000000; }

std::string CTimeText(int64_t seconds) {
    const time_t local = static_cast<time_t>(seconds - plat::LocalBiasMinutes() * 60LL);
    struct tm parts {};
    gmtime_r(&local, &parts);
    char text[64];
    const size_t n = strftime(text, sizeof text, "%c ", &parts);
    return std::string(text, n);
}

void CopyDeviceID(char (&to)[64], const char* from) {
    if (from == nullptr) from = "";
    const size_t n = strnlen(from, 63);
    memcpy(to, from, n);
    to[n] = '\0';
}

bool HasElement(BaseMSG& msg, uint32_t element) {
    return msg.FindElement(Id(element), 0, false) != nullptr;
}

bool ServerLockRef::Lock(const char* caller, int) { return Server().LockServer(caller); }
bool ServerLockRef::Unlock(const char* caller) { return Server().UnlockServer(caller); }
bool ServerLockRef::IsLockedByCurrentThread() const {
    return Server().IsServerLockedByCurrentThread();
}

ServerLockRef& ServerLock() {
    static ServerLockRef lock;
    return lock;
}

}  // namespace model

