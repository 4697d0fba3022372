#pragma once
// One process's handle on an IMT socket: a named shared-memory receive buffer of 512
// blocks of 256 bytes holding a ring of at most 7 waiting frames.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace emt {

constexpr uint32_t kImtSectionSize = 131072;

class ImtSocket {
public:
    // Creates this process's buffer, or null with *error set; fails while a live process
    // holds the name.
    static std::unique_ptr<ImtSocket> Create(uint32_t pid, uint32_t port, uint32_t* error);
    // Opens another process's buffer, or null with *error set; fails when it does not exist
    // (or its creator is gone).
    static std::unique_ptr<ImtSocket> Open(uint32_t pid, uint32_t port, uint32_t* error);
    // "Global\\IMT.PID:<pid>.PORT:<port>"; the shared memory is named from it by the
    // platform's rule for node-wide objects (plat::MapSharedMemoryName).
    static std::string Name(uint32_t pid, uint32_t port);
    ~ImtSocket();  // shuts down, waits for the threads inside, then unmaps
    ImtSocket(const ImtSocket&) = delete;
    ImtSocket& operator=(const ImtSocket&) = delete;

    // Takes the oldest frame into `buffer`, waiting up to timeoutMs (0xFFFFFFFF: no limit,
    // on the current clock); its length goes to *length. 0; 0xE1030006 (the first 4 bytes
    // copied, the frame stays queued); 10060 on time-out; 0xE1030016 once closed;
    // 0xE1030017 when a dead process left the lock; 0xE1030019 when the shared header is
    // corrupt.
    [[nodiscard]] uint32_t Read(uint8_t* buffer, uint32_t capacity, uint32_t timeoutMs,
                                uint32_t* length);
    // Copies one frame of `length` bytes in, waiting without limit for room: 0, 10022 for
    // a length that can never fit, or the errors of Read.
    [[nodiscard]] uint32_t Write(const uint8_t* frame, uint32_t length);
    // Wakes every waiter; the owner also tells the peer (its "Closed").
    void Shutdown();
    bool ClosedByOwner() const;
    // The owner removes the name once the other end has opened the socket.
    void UnlinkOnceOpened();
    uint32_t CreatorPid() const;
    uint8_t* Base() const { return base_; }
    // Threads now inside Read or Write of this handle.
    int Users() const { return users_.load(); }
    // Sleeps on the shared condition by Read and Write of this handle, and those of them
    // that ran to their time-out although the frame (the room) they waited for had come:
    // a wake-up the other end should have given and did not.
    uint64_t Sleeps() const { return sleeps_.load(); }
    uint64_t MissedWakes() const { return missedWakes_.load(); }

    // Block map of the buffer (exposed for tests of the allocator).
    static int AllocBlocks(uint8_t* base, int n);
    static void ReleaseBlocks(uint8_t* base, int first);
    static void InitHeader(uint8_t* base, uint32_t pid);

private:
    ImtSocket() = default;
    static std::unique_ptr<ImtSocket> Map(const std::string& name, bool create, uint32_t pid,
                                          uint32_t* error);
    void Enter() { users_.fetch_add(1); }
    void Leave();
    uint32_t Abandon();
    int Lock();   // 0, or 1 when the previous owner died holding it
    void Unlock();
    bool WaitCond(uint32_t ms, bool* timedOut);
    template <class Ready>
    bool Spin(Ready ready) const;
    // How long a reader (writer) looks for a frame (a slot) before it sleeps; see Spin.
    static constexpr int64_t kSpinNs = 50000;
    static constexpr uint32_t kSpinPauses = 64;
    std::string name_;
    uint8_t* base_ = nullptr;
    struct Sync* sync_ = nullptr;
    bool owner_ = false;
    bool unlinked_ = false;
    std::atomic<int> open_{0};
    std::atomic<int> users_{0};
    std::atomic<bool> localClosed_{false};
    std::atomic<uint64_t> sleeps_{0};
    std::atomic<uint64_t> missedWakes_{0};
};

}  // namespace emt
