#pragma once
// Node-wide named objects.
//
// Names like "Global\\X" are mapped into a namespace taken from $PARLO_NAMESPACE (default
// "parlo"), so that parallel test runs never meet: MapObjectName("Global\\X") ==
// "<ns>.Global_X" ('\\' and '/' become '_').
//
// A named object exists while some process holds it open, as on the original platform:
// each open handle holds a shared OFD lock on a "presence" byte of a lock file in RunDir().
// The kernel drops the lock of a process that dies, so a dead holder no longer keeps the
// object alive, and the next creator starts afresh.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace plat {

std::string MapObjectName(const std::string& name);
// The POSIX shared-memory name of a node-wide section: "/" + MapObjectName(name).
std::string MapSharedMemoryName(const std::string& name);

// The longest mapped name an object may have (it names files and shared memory).
inline constexpr size_t kMaxMappedName = 200;

// A shared memory section (shm_open + mmap).
class SharedSection {
public:
    SharedSection() = default;
    ~SharedSection();
    SharedSection(const SharedSection&) = delete;
    SharedSection& operator=(const SharedSection&) = delete;

    // Creates the section with size bytes, zeroed, or opens it when another handle holds it
    // (Existed() is then true, the last error is 183 and the section keeps its first size:
    // Size() tells it). false with the last error set on failure; a size of 0 or above
    // 1 GiB gives 87.
    [[nodiscard]] bool Create(const std::string& name, size_t size);
    // Opens a section that a live handle holds; 2 when there is none.
    [[nodiscard]] bool Open(const std::string& name);
    // Unmaps; the last handle on the node removes the section.
    void Close();

    // The mapping: valid until Close (or the destructor); Size() bytes.
    void* Data() const { return data_; }
    size_t Size() const { return size_; }
    bool Existed() const { return existed_; }
    bool IsOpen() const { return data_ != nullptr; }

private:
    bool Attach(const std::string& name, size_t size, bool create);

    std::string shmName_;
    std::string lockPath_;
    int presenceFd_ = -1;
    void* data_ = nullptr;
    size_t size_ = 0;
    bool existed_ = false;
};

// A node-wide mutex: an OFD write lock on byte 0 of a lock file in RunDir(). Recursive for
// the owning thread; a wait ends with WAIT_ABANDONED when the previous owner process died
// holding it (that counts as acquired). Handles in one process to the same name share one
// state, as handles of one mutex do.
class NamedMutex {
public:
    NamedMutex() = default;
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Creates the mutex, or opens it when it exists (Existed() true, last error 183).
    // initiallyOwned: the calling thread owns a mutex this call created (ignored when it
    // existed). false with the last error set on failure; a name whose mapped form is
    // longer than kMaxMappedName gives 206.
    [[nodiscard]] bool Create(const std::string& name, bool initiallyOwned = false);
    // Opens an existing mutex; false with last error 2 when no process holds it open.
    [[nodiscard]] bool Open(const std::string& name);
    void Close();

    // WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT or WAIT_FAILED (last error set). The
    // time-out is an ExternalWait on the current clock: under a fake clock it ends only
    // when the test moves time past it. A thread of this process that ends while owning the
    // mutex is not detected (only a dead process).
    [[nodiscard]] uint32_t Lock(uint32_t timeoutMs);
    // false (last error 288) when the calling thread does not own it. (Not [[nodiscard]]
    // yet: nuvlib/lock.cpp and nuvlib/crash.cpp drop it.)
    bool Unlock();

    bool IsOpen() const { return state_ != nullptr; }
    bool Existed() const { return existed_; }
    bool IsOwnedByCurrentThread() const;

    struct State;

private:
    bool Attach(const std::string& name, bool create, bool initiallyOwned);

    std::shared_ptr<State> state_;
    bool existed_ = false;
};

// True while some process (this one included) holds the named mutex open.
bool NamedMutexExists(const std::string& name);

// A named manual-reset event kept as a marker file in RunDir(): set = the file exists
// (created by an atomic rename), reset = removed. Waiting polls.
class NamedMarkerEvent {
public:
    explicit NamedMarkerEvent(const std::string& name);
    // The marker file.
    const std::string& Path() const { return path_; }
    // false with the last error set when the marker file cannot be made or removed.
    [[nodiscard]] bool Set();
    bool Reset();  // not [[nodiscard]] yet: nuvlib/nodemgr.cpp drops it
    bool IsSet() const;
    // WAIT_OBJECT_0 or WAIT_TIMEOUT; polls the file, and the time-out is real time (the
    // marker is set by another process), whatever clock is installed.
    [[nodiscard]] uint32_t Wait(uint32_t timeoutMs) const;

private:
    std::string path_;
};

}  // namespace plat
