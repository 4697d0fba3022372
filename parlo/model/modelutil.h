#pragma once
// Helpers shared by the model's sources (not a public interface).
#include <cstdarg>
#include <cstdint>
#include <string>

#include "ctimsg/elementids.h"
#include "nuvlib/lock.h"
#include "nuvlib/lockguard.h"

class BaseMSG;

namespace model {

// Element ids by class name: Id(E::MonitorID).
namespace E = elementid;
constexpr uint32_t Id(uint32_t element) { return element; }

constexpr uint32_t kNoPeripheral = 0xFFFFFFFF;
constexpr uint32_t kEmsStateTrace = 0x212E000F;
constexpr uint32_t kEmsMonitorTrace = 0x212E000E;

// One object-model state line (EMS event 0x212E000F).
void StateTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
void AppendF(std::string& out, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// Current time in whole seconds since 1970, on the injectable clock.
int64_t NowSeconds();
// strftime "%c " of a time in seconds, local time by the clock's bias, C locale.
std::string CTimeText(int64_t seconds);
// The byte offset of a member (an intrusive list's link) inside its object. The model's
// objects are not standard-layout (strings, a vtable), but every compiler in use lays their
// members out at fixed offsets, which the intrusive lists rely on.
template <class T, class M>
int32_t MemberOffset(M T::*member) {
    return static_cast<int32_t>(reinterpret_cast<uintptr_t>(&(static_cast<T*>(nullptr)->*member)));
}
// Copies at most 63 characters into a 64-byte field.
void CopyDeviceID(char (&to)[64], const char* from);
// Whether the message's class has that element (a fixed or floating member).
bool HasElement(BaseMSG& msg, uint32_t element);

// The server lock "RTServerConfig" as LockGuard takes it, through the server-context port
// (ServerContext::LockServer: false when the thread holds it already). Take it only through
// ServerLockGuard, which skips a lock the thread holds.
class ServerLockRef {
public:
    [[nodiscard]] bool Lock(const char* caller, int timeout);
    [[nodiscard]] bool Lock() { return Lock("model", -1); }
    [[nodiscard]] bool Unlock(const char* caller);
    [[nodiscard]] bool Unlock() { return Unlock("model"); }
    bool IsLockedByCurrentThread() const;
    const char* GetLockName() const { return "RTServerConfig"; }
};
ServerLockRef& ServerLock();
using ServerLockGuard = LockGuard<ServerLockRef>;

}  // namespace model

namespace model {
// CTICSTAMonitor::SubjectLinkOffset under the name parlo/session/sessionsink.cpp still uses;
// delete it once that names the monitor's.
int32_t MonitorSubjectLinkOffset();
}  // namespace model
