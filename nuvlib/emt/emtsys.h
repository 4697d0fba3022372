#pragma once
// Small system layer of the transport: events that can be waited on together, the
// thread's last error, Windows error numbers and the node-wide disconnect lock.
#include <cstdint>
#include <initializer_list>
#include <string>

namespace emt {

constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kInfinite = 0xFFFFFFFF;

// Win32-style event: manual or auto reset. Every event shares one wake-up channel, so a
// thread may wait for any of several events at once.
class Event {
public:
    explicit Event(bool manualReset = true, bool initial = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    void Set();
    void Reset();
    bool IsSet() const;
    // WAIT_OBJECT_0 or WAIT_TIMEOUT.
    uint32_t Wait(uint32_t ms);

private:
    friend uint32_t WaitAny(std::initializer_list<Event*> events, uint32_t ms);
    bool manual_;
    bool state_;
};

// Index of the first signalled event (auto-reset ones are consumed), or WAIT_TIMEOUT.
uint32_t WaitAny(std::initializer_list<Event*> events, uint32_t ms);

uint32_t GetLastError();
void SetLastError(uint32_t code);
// Socket and system errno values as the Windows numbers callers compare against.
uint32_t ErrnoToWin32(int e);

uint64_t FileTimeNow();   // 100 ns units since 1601-01-01 UTC
uint64_t MicrosNow();     // FileTimeNow() / 10
uint32_t TickCount();     // ms, wraps
int64_t MonoMs();
void SleepMs(uint32_t ms);

// Maps "Global\\X" to a POSIX shared-memory name inside this run's namespace.
std::string MapObjectName(const std::string& name);

// "Global\\IMTConnect_DisconnectLock": a lock shared by every process of the node.
class NodeMutex {
public:
    explicit NodeMutex(const std::string& name);
    ~NodeMutex();
    bool Ok() const { return fd_ >= 0; }
    void Lock();
    void Unlock();
private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace emt
