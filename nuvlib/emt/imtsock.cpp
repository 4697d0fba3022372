// IMT: EMT connections between processes of one node through shared memory.
#include "nuvlib/emt/imtsock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "nuvlib/emt/emtpriv.h"
#include "nuvlib/ems.h"
#include "platform/byteorder.h"
#include "platform/filemode.h"
#include "platform/named.h"
#include "platform/process.h"

namespace emt {

// The lock and the three events of a socket live behind its 131072-byte section.
struct Sync {
    pthread_mutex_t lock;
    pthread_cond_t cond;
    uint32_t spaceAvail;
    uint32_t dataAvail;
    uint32_t closed;
    std::atomic<uint32_t> ready;
    std::atomic<uint32_t> opened;  // handles opened on it by other ends
};
constexpr uint32_t kReady = 0x494D5431;
constexpr size_t kMapSize = kImtSectionSize + 4096;

namespace {
constexpr int kBlocks = 512;
constexpr int kHeaderBlocks = 5;
uint32_t* Pid(uint8_t* b) { return reinterpret_cast<uint32_t*>(b); }
uint32_t* WriteIdx(uint8_t* b) { return reinterpret_cast<uint32_t*>(b + 4); }
uint32_t* ReadIdx(uint8_t* b) { return reinterpret_cast<uint32_t*>(b + 8); }
uint16_t* Ring(uint8_t* b) { return reinterpret_cast<uint16_t*>(b + 12); }
int16_t* BlockMap(uint8_t* b) { return reinterpret_cast<int16_t*>(b + 28); }
uint16_t* Search(uint8_t* b) { return reinterpret_cast<uint16_t*>(b + 1052); }

uint32_t LoadIdx(uint32_t* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE) % 8; }
// The indices are written under the lock but also looked at without it (the spin below).
void StoreIdx(uint32_t* p, uint32_t v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

bool ProcessAlive(uint32_t pid) { return pid != 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

// The condition lives in shared memory and waits on the system's CLOCK_MONOTONIC; time-outs
// that stand for time are counted by the caller on the current clock.
timespec SystemDeadline(uint32_t ms) {
    int64_t ns = plat::SystemMonotonicNs() + static_cast<int64_t>(ms) * 1000000;
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}
}  // namespace

void ImtSocket::InitHeader(uint8_t* base, uint32_t pid) {
    std::memset(base, 0, kHeaderBlocks * 256);
    *Pid(base) = pid;
    int16_t* m = BlockMap(base);
    m[0] = m[kBlocks - 1] = kBlocks;
    *Search(base) = 0;
    AllocBlocks(base, kHeaderBlocks);
}

int ImtSocket::AllocBlocks(uint8_t* base, int n) {
    if (n <= 0 || n > kBlocks) return 0;
    int16_t* m = BlockMap(base);
    int search = *Search(base);
    int pos = search;
    while (pos < kBlocks + 1 - n) {
        int len = m[pos];
        if (len == 0) return 0;  // corrupt map: never loop on it
        if (len > 0 && len >= n && pos + len <= kBlocks) {
            m[pos] = m[pos + n - 1] = static_cast<int16_t>(-n);
            if (len > n) m[pos + n] = m[pos + len - 1] = static_cast<int16_t>(len - n);
            if (pos == search) *Search(base) = static_cast<uint16_t>(search + n);
            return pos;
        }
        pos += len > 0 ? len : -len;
    }
    return 0;
}

void ImtSocket::ReleaseBlocks(uint8_t* base, int first) {
    int16_t* m = BlockMap(base);
    if (first <= 0 || first >= kBlocks || m[first] >= 0) return;
    int len = -m[first];
    if (first + len > kBlocks) return;
    int start = first, total = len;
    int next = first + len;
    if (next < kBlocks && m[next] > 0 && next + m[next] <= kBlocks) total += m[next];
    if (first > 0 && m[first - 1] > 0 && m[first - 1] <= first) {
        start = first - m[first - 1];
        total += m[first - 1];
    }
    m[start] = m[start + total - 1] = static_cast<int16_t>(total);
    if (start < *Search(base)) *Search(base) = static_cast<uint16_t>(start);
}

std::string ImtSocket::Name(uint32_t pid, uint32_t port) {
    char b[64];
    std::snprintf(b, sizeof b, "Global\\IMT.PID:%u.PORT:%u", pid, port);
    return b;
}

std::unique_ptr<ImtSocket> ImtSocket::Map(const std::string& name, bool create, uint32_t pid,
                                           uint32_t* error) {
    std::string shm = plat::MapSharedMemoryName(name);
    int fd = -1;
    if (create) {
        if (TraceOn(kTraceDetail)) EMSTraceMessage("EMT Creating mutex %s", name.c_str());
        fd = ::shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL, plat::kOwnerOnlyMode);
        if (fd < 0 && errno == EEXIST) {
            // A buffer left by a process that has ended holds the name no longer.
            int old = ::shm_open(shm.c_str(), O_RDWR, 0);
            bool stale = false;
            if (old >= 0) {
                struct stat st{};
                if (::fstat(old, &st) == 0 && static_cast<size_t>(st.st_size) >= kMapSize) {
                    void* p = ::mmap(nullptr, kMapSize, PROT_READ, MAP_SHARED, old, 0);
                    if (p != MAP_FAILED) {
                        // Only a finished buffer whose creator has ended is reclaimed; one
                        // still being set up belongs to a live creator.
                        auto* sy = reinterpret_cast<Sync*>(static_cast<uint8_t*>(p) + kImtSectionSize);
                        stale = sy->ready.load() == kReady &&
                                !ProcessAlive(*Pid(static_cast<uint8_t*>(p)));
                        ::munmap(p, kMapSize);
                    }
                }
                ::close(old);
            }
            if (stale) {
                ::shm_unlink(shm.c_str());
                fd = ::shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL, plat::kOwnerOnlyMode);
            } else {
                errno = EEXIST;
            }
        }
        // The link's frames are the user's own: no other user reads or injects them.
        if (fd >= 0) plat::SetOwnerOnly(fd);
    } else {
        if (TraceOn(kTraceDetail)) EMSTraceMessage("EMT opening mutex %s", name.c_str());
        fd = ::shm_open(shm.c_str(), O_RDWR, 0);
    }
    if (fd < 0) {
        *error = ErrnoToEmtError(errno);
        return nullptr;
    }
    if (create && ::ftruncate(fd, kMapSize) != 0) {
        *error = ErrnoToEmtError(errno);
        ::close(fd);
        ::shm_unlink(shm.c_str());
        return nullptr;
    }
    struct stat st{};
    if (!create && (::fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) < kMapSize)) {
        ::close(fd);
        *error = 2;
        return nullptr;
    }
    void* p = ::mmap(nullptr, kMapSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) {
        *error = ErrnoToEmtError(errno);
        if (create) ::shm_unlink(shm.c_str());
        return nullptr;
    }
    std::unique_ptr<ImtSocket> s(new ImtSocket);
    s->name_ = shm;
    s->base_ = static_cast<uint8_t*>(p);
    s->sync_ = reinterpret_cast<Sync*>(s->base_ + kImtSectionSize);
    if (create) {
        pthread_mutexattr_t ma;
        pthread_mutexattr_init(&ma);
        pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(&s->sync_->lock, &ma);
        pthread_mutexattr_destroy(&ma);
        pthread_condattr_t ca;
        pthread_condattr_init(&ca);
        pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED);
        pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
        pthread_cond_init(&s->sync_->cond, &ca);
        pthread_condattr_destroy(&ca);
        s->sync_->spaceAvail = 1;
        s->sync_->dataAvail = 0;
        s->sync_->closed = 0;
        InitHeader(s->base_, pid);
        s->sync_->ready.store(kReady);
        s->owner_ = true;
    } else if (s->sync_->ready.load() != kReady || !ProcessAlive(*Pid(s->base_))) {
        ::munmap(p, kMapSize);
        s->base_ = nullptr;
        *error = 2;
        return nullptr;
    } else {
        s->sync_->opened.fetch_add(1);
    }
    s->open_ = 1;
    return s;
}

std::unique_ptr<ImtSocket> ImtSocket::Create(uint32_t pid, uint32_t port, uint32_t* error) {
    return Map(Name(pid, port), true, plat::CurrentProcessId(), error);
}

std::unique_ptr<ImtSocket> ImtSocket::Open(uint32_t pid, uint32_t port, uint32_t* error) {
    return Map(Name(pid, port), false, 0, error);
}

// A process died holding the lock (now held by this thread): the buffer may be half
// written, so this handle is done with it.
uint32_t ImtSocket::Abandon() {
    Unlock();
    Leave();
    Shutdown();
    return EMT_E_IMT_ABANDONED;
}

void ImtSocket::Leave() {
    if (users_.fetch_sub(1) == 1) users_.notify_all();
}

ImtSocket::~ImtSocket() {
    Shutdown();
    // Shut down, every reader and writer of this handle leaves at its next look.
    for (int n = users_.load(); n != 0; n = users_.load()) users_.wait(n);
    if (base_) ::munmap(base_, kMapSize);
    if (owner_ && !unlinked_ && base_) ::shm_unlink(name_.c_str());
}

void ImtSocket::UnlinkOnceOpened() {
    if (owner_ && !unlinked_ && sync_->opened.load() != 0) {
        ::shm_unlink(name_.c_str());
        unlinked_ = true;
    }
}

int ImtSocket::Lock() {
    int r = pthread_mutex_lock(&sync_->lock);
    if (r == EOWNERDEAD) {
        pthread_mutex_consistent(&sync_->lock);
        return 1;
    }
    if (r != 0) EMSFailMessage("IMTSocket::Lock failed.");
    return 0;
}

void ImtSocket::Unlock() {
    if (pthread_mutex_unlock(&sync_->lock) != 0) EMSFailMessage("IMTSocket::Unlock failed.");
}

// Waits on the socket's condition with the lock held; false when the lock was abandoned.
// *timedOut tells whether the wait ran to its end without a wake-up.
bool ImtSocket::WaitCond(uint32_t ms, bool* timedOut) {
    timespec ts = SystemDeadline(ms);
    sleeps_.fetch_add(1, std::memory_order_relaxed);
    int r = pthread_cond_timedwait(&sync_->cond, &sync_->lock, &ts);
    *timedOut = r == ETIMEDOUT;
    if (r == EOWNERDEAD) {
        pthread_mutex_consistent(&sync_->lock);
        return false;
    }
    if (r != 0 && r != ETIMEDOUT) EMSFailMessage("IMTSocket::Wait failed.");
    return true;
}

// Looks at the ring without the lock for up to kSpinNs (real time) until `ready()` holds or
// the socket closes: a frame or a slot that turns up meanwhile costs neither end a sleep nor
// a futex wake-up. The caller still decides under the lock. After a short pause loop the
// spinner yields, so on a crowded machine the peer it waits for gets the core.
template <class Ready>
bool ImtSocket::Spin(Ready ready) const {
    const int64_t end = plat::SystemMonotonicNs() + kSpinNs;
    for (uint32_t i = 1;; ++i) {
        if (ready() || localClosed_.load(std::memory_order_relaxed) ||
            __atomic_load_n(&sync_->closed, __ATOMIC_RELAXED) != 0)
            return true;
        if (i <= kSpinPauses) {
            CpuRelax();
            continue;
        }
        std::this_thread::yield();
        if (plat::SystemMonotonicNs() >= end) return false;
    }
}

bool ImtSocket::ClosedByOwner() const { return __atomic_load_n(&sync_->closed, __ATOMIC_ACQUIRE) != 0; }
uint32_t ImtSocket::CreatorPid() const { return *Pid(base_); }

void ImtSocket::Shutdown() {
    if (open_.exchange(0) == 0 || !base_) return;
    localClosed_ = true;
    bool abandoned = Lock() != 0;
    (void)abandoned;
    if (owner_) __atomic_store_n(&sync_->closed, 1u, __ATOMIC_RELEASE);
    pthread_cond_broadcast(&sync_->cond);
    Unlock();
}

uint32_t ImtSocket::Read(uint8_t* buffer, uint32_t capacity, uint32_t timeoutMs, uint32_t* length) {
    if (!open_.load()) return EMT_E_IMT_SOCKET_CLOSED;
    Enter();
    plat::ExternalWait wait(timeoutMs == plat::INFINITE ? plat::kNoDeadline
                                                        : plat::DeadlineAfterMs(timeoutMs));
    uint32_t result = 0;
    bool spun = false, wake = false, timedOut = false;
    if (Lock()) return Abandon();
    for (;;) {
        if (localClosed_.load() || sync_->closed) {
            result = EMT_E_IMT_SOCKET_CLOSED;
            break;
        }
        uint32_t r = *ReadIdx(base_) % 8, w = *WriteIdx(base_) % 8;
        if (r != w) {
            if (timedOut) missedWakes_.fetch_add(1, std::memory_order_relaxed);
            int blk = Ring(base_)[r];
            if (blk < kHeaderBlocks || blk >= kBlocks) {
                result = EMT_E_PROTOCOL;
                break;
            }
            uint8_t* f = base_ + blk * 256;
            uint32_t len = EmtBodyLength(f) + 4u;
            if (len > static_cast<uint32_t>(kBlocks - blk) * 256u) {
                result = EMT_E_PROTOCOL;
                break;
            }
            if (len > capacity) {
                std::memcpy(buffer, f, 4);
                result = EMT_E_BUFFER_TOO_SMALL;
                break;
            }
            std::memcpy(buffer, f, len);
            *length = len;
            ReleaseBlocks(base_, blk);
            StoreIdx(ReadIdx(base_), (r + 1) % 8);
            sync_->spaceAvail = 1;
            wake = true;
            break;
        }
        sync_->dataAvail = 0;
        if (wait.Expired()) {
            result = EMT_WSA_ETIMEDOUT;
            break;
        }
        if (!spun && timeoutMs != 0) {
            // A busy link refills the ring within microseconds: look before sleeping.
            spun = true;
            Unlock();
            Spin([this] { return LoadIdx(ReadIdx(base_)) != LoadIdx(WriteIdx(base_)); });
            if (Lock()) return Abandon();
            continue;
        }
        if (!WaitCond(static_cast<uint32_t>(wait.NextSliceMs(1000)), &timedOut)) return Abandon();
    }
    Unlock();
    // Woken after the unlock, so the waiter does not wake only to block on the lock.
    if (wake) pthread_cond_broadcast(&sync_->cond);
    Leave();
    return result;
}

uint32_t ImtSocket::Write(const uint8_t* frame, uint32_t length) {
    if (!open_.load()) return EMT_E_IMT_SOCKET_CLOSED;
    if (length < 4 || length > static_cast<uint32_t>(kBlocks - kHeaderBlocks) * 256u)
        return EMT_WSA_EINVAL;
    Enter();
    uint32_t result = 0;
    bool spun = false, wake = false, timedOut = false;
    if (Lock()) return Abandon();
    const int n = static_cast<int>((length + 255) / 256);
    for (;;) {
        if (localClosed_.load() || sync_->closed) {
            result = EMT_E_IMT_SOCKET_CLOSED;
            break;
        }
        uint32_t r = *ReadIdx(base_) % 8, w = *WriteIdx(base_) % 8;
        if ((w + 1) % 8 != r) {
            int blk = AllocBlocks(base_, n);
            if (blk) {
                if (timedOut) missedWakes_.fetch_add(1, std::memory_order_relaxed);
                std::memcpy(base_ + blk * 256, frame, length);
                Ring(base_)[w] = static_cast<uint16_t>(blk);
                StoreIdx(WriteIdx(base_), (w + 1) % 8);
                sync_->dataAvail = 1;
                wake = true;
                break;
            }
        }
        sync_->spaceAvail = 0;
        if (!spun) {
            // The reader frees a slot within microseconds while it keeps up: look before
            // sleeping. Any read counts, since blocks may be what was short.
            spun = true;
            const uint32_t seen = LoadIdx(ReadIdx(base_));
            Unlock();
            Spin([this, seen] { return LoadIdx(ReadIdx(base_)) != seen; });
            if (Lock()) return Abandon();
            continue;
        }
        if (!WaitCond(1000, &timedOut)) return Abandon();
    }
    Unlock();
    if (wake) pthread_cond_broadcast(&sync_->cond);
    Leave();
    return result;
}

// ---------------------------------------------------------------------------------------

namespace {

void PutConnectMsg(uint8_t* f, uint8_t type, uint16_t port, uint32_t pid) {
    EmtSetHeader(f, 8, 15, type);
    plat::StoreLE16(f + 4, 1);
    plat::StoreLE16(f + 6, port);
    plat::StoreLE32(f + 8, pid);
}

bool ParseConnectMsg(const uint8_t* f, uint32_t len, uint8_t type, uint16_t* port, uint32_t* pid) {
    if (len != 12 || f[2] != 15 || f[3] != type || EmtBodyLength(f) != 8) return false;
    if (plat::LoadLE16(f + 4) != 1) return false;
    *port = plat::LoadLE16(f + 6);
    *pid = plat::LoadLE32(f + 8);
    return true;
}

std::string ImtAddr(uint32_t pid, uint32_t port) {
    char b[40];
    std::snprintf(b, sizeof b, "[0x%x]/[%d]", pid, static_cast<int>(port));
    return b;
}

void ImtHeartbeatThread(EmtControlBlock* cb) {
    const uint32_t h = cb->handle;
    if (TraceOn(kTraceConn)) EMSTraceMessage("EMT %d: IMT heartbeat thread started.", h);
    cb->firstHeartbeat.Set();
    uint32_t err = 0;
    int pfd = static_cast<int>(::syscall(SYS_pidfd_open, cb->imtPeer->CreatorPid(), 0));
    if (pfd < 0) {
        err = EMT_E_IMT_PEER_GONE;
    } else {
        for (;;) {
            if (cb->m_evConnBroken.IsSet()) break;
            // Both ends hold their maps now: the names are no longer needed, and a
            // process that is killed leaves nothing behind on the node.
            cb->imtOwn->UnlinkOnceOpened();
            // A liveness look every 50 ms, not a time-out: the peer's "Closed" flag lives in
            // shared memory, where nothing can wake this thread.
            pollfd p{pfd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                err = EMT_E_IMT_PEER_GONE;
                break;
            }
            if (cb->imtPeer->ClosedByOwner()) {
                err = EMT_E_IMT_PEER_CLOSED;
                break;
            }
            if (cb->imtOwn->ClosedByOwner()) {
                err = EMT_E_IMT_LOCAL_CLOSED;
                break;
            }
        }
        ::close(pfd);
    }
    if (err && !cb->m_evConnBroken.IsSet()) BreakConnection(cb, err);
    if (TraceOn(kTraceConn)) EMSTraceMessage("EMT %d: IMT heartbeat thread exiting.", h);
}

}  // namespace

bool IMTStartHeartbeat(EmtControlBlock* cb) {
    try {
        cb->hbThread = std::thread(ImtHeartbeatThread, cb);
    } catch (...) {
        EMSTraceMessage("EMT %d: IMT heartbeat thread creation failed.", cb->handle);
        cb->connected = 0;
        return false;
    }
    return true;
}

bool IMTWaitFirstHeartbeat(EmtControlBlock* cb) {
    uint32_t w = plat::WaitAny({&cb->firstHeartbeat, &cb->m_evConnBroken}, plat::INFINITE);
    if (w == 0) return true;
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d:  Connection broken while waiting for first heartbeat.", cb->handle);
    return false;
}

void IMTBreakSockets(EmtControlBlock* cb) {
    if (cb->imtOwn) cb->imtOwn->Shutdown();
    if (cb->imtPeer) cb->imtPeer->Shutdown();
    if (cb->imtListen) cb->imtListen->Shutdown();
}

namespace {
// One attempt of an IMT connect, holding the node-wide lock. 0 with the block in the table;
// kRetry when the listener could not be reached (a new attempt may follow); or the error
// that ends the connect.
constexpr uint32_t kRetry = 0xFFFFFFFF;

uint32_t ImtConnectAttempt(const sockaddr_in* local, const sockaddr_in* remote,
                           plat::Event* breakEvent, uint32_t* handle) {
    GlobalMutexHolder global;
    const uint32_t pid = plat::CurrentProcessId();
    const uint16_t remotePort = ntohs(remote->sin_port);
    EmtControlBlock* cb = NewControlBlock(nullptr);
    cb->transport = kTransportImt;
    cb->local.sin_family = AF_INET;
    cb->local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    cb->local.sin_port = htons(static_cast<uint16_t>(cb->handle));
    if (local && local->sin_port != 0) cb->local = *local;
    const uint16_t localPort = ntohs(cb->local.sin_port);
    uint32_t err = 0;
    cb->imtOwn = ImtSocket::Create(pid, localPort, &err);
    if (!cb->imtOwn) {
        if (TraceOn(kTraceConn))
            EMSTraceMessage("EMT %d: Local IMT socket creation failed. (%u)", cb->handle, err);
        FreeControlBlock(cb);
        return err;
    }
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d:  Connecting from local IMT address %s", cb->handle,
                        ImtAddr(pid, localPort).c_str());
    std::unique_ptr<ImtSocket> ls;
    for (int i = 0; i < 3 && !ls; ++i) {
        if (i) plat::SleepForMs(500);
        ls = ImtSocket::Open(0, remotePort, &err);
        if (!ls && TraceOn(kTraceConn))
            EMSTraceMessage("EMT %d: Attach to IMT listen socket failed. (%u)", cb->handle, err);
    }
    bool ok = false;
    uint16_t peerPort = 0;
    uint32_t peerPid = 0;
    if (ls) {
        if (TraceOn(kTraceConn))
            EMSTraceMessage("EMT %d: Attached to remote IMT address %s.", cb->handle,
                            ImtAddr(0, remotePort).c_str());
        uint8_t req[12];
        PutConnectMsg(req, 1, localPort, pid);
        if (ls->Write(req, 12) != 0) {
            EMSTraceMessage("EMT %d: IMT connect request write failed.", cb->handle);
        } else {
            uint8_t resp[16];
            uint32_t len = 0;
            uint32_t r = cb->imtOwn->Read(resp, sizeof resp, 2500, &len);
            if (r != 0) {
                EMSTraceMessage("IMT connect response read failed.");
            } else if (!ParseConnectMsg(resp, len, 2, &peerPort, &peerPid)) {
                EMSTraceMessage("Invalid IMT connect response received.");
            } else {
                ok = true;
            }
        }
        ls.reset();
    }
    if (ok) {
        cb->imtPeer = ImtSocket::Open(peerPid, peerPort, &err);
        if (!cb->imtPeer) {
            EMSTraceMessage("Attach to remote IMT connection socket failed.");
            ok = false;
        }
    }
    if (!ok) {
        FreeControlBlock(cb);
        return kRetry;
    }
    cb->userBreak = breakEvent;
    cb->remote = *remote;
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d: Connected to remote IMT address %s.", cb->handle,
                        ImtAddr(peerPid, peerPort).c_str());
    if (!StartHeartbeatThread(cb)) {
        FreeControlBlock(cb);
        return EMT_E_THREAD;
    }
    if (!WaitForFirstHeartbeat(cb)) {
        DestroyControlBlock(cb, EMT_E_NO_FIRST_HEARTBEAT);
        return EMT_E_NO_FIRST_HEARTBEAT;
    }
    cb->clientSide = true;
    *handle = cb->handle;
    InsertBlock(cb);
    return 0;
}
}  // namespace

uint32_t IMTConnect(const sockaddr_in* local, const sockaddr_in* remote, plat::Event* breakEvent,
                    uint32_t timeoutMs, uint32_t* handle) {
    const int64_t start = MonotonicMs();
    for (bool first = true;; first = false) {
        if (!first) {
            if (timeoutMs != plat::INFINITE && MonotonicMs() - start >= static_cast<int64_t>(timeoutMs))
                return EMT_WSA_ETIMEDOUT;
            int64_t w = 10000;
            if (timeoutMs != plat::INFINITE)
                w = std::min<int64_t>(w, static_cast<int64_t>(timeoutMs) - (MonotonicMs() - start));
            if (w > 0) plat::SleepForMs(w);
            if (breakEvent) breakEvent->Reset();
        }
        uint32_t r = ImtConnectAttempt(local, remote, breakEvent, handle);
        if (r != kRetry) return r;
    }
}

uint32_t IMTReceive(EmtControlBlock* cb, uint8_t* buffer, uint32_t size) {
    const uint32_t h = cb->handle;
    cb->AddRef();
    ImtSocket* own = cb->imtOwn.get();
    UnlockBlock(cb);
    uint32_t r = AcquireSemaphore(cb, cb->m_hSocketRecvSemaphore);
    uint32_t len = 0;
    if (r == 0) {
        r = own->Read(buffer, size, plat::INFINITE, &len);
        ReleaseSemaphore(cb->m_hSocketRecvSemaphore);
    }
    cb = LockBlock(h);
    NUV_ASSERT(cb != NULL);
    cb->DropRef();
    if (r == 0) {
        CountRcvd(cb, len);
    } else if (r != EMT_E_BUFFER_TOO_SMALL) {
        if (TraceOn(kTraceConn)) EMSTraceMessage("EMT %d: IMT receive error. (0x%08X)", h, r);
        r = BreakConnection(cb, r);
    }
    UnlockBlock(cb);
    return r;
}

uint32_t IMTSend(EmtControlBlock* cb, const uint8_t* frame, uint32_t length) {
    const uint32_t h = cb->handle;
    if (length == 0) length = EmtBodyLength(frame) + 4u;
    cb->AddRef();
    ImtSocket* peer = cb->imtPeer.get();
    UnlockBlock(cb);
    uint32_t r = AcquireSemaphore(cb, cb->m_hSocketSendSemaphore);
    if (r == 0) {
        r = peer->Write(frame, length);
        ReleaseSemaphore(cb->m_hSocketSendSemaphore);
    }
    cb = LockBlock(h);
    NUV_ASSERT(cb != NULL);
    cb->DropRef();
    if (r == 0) {
        CountSent(cb, length);
    } else {
        EMSTraceMessage("EMT %d: IMT send error. (0x%08X)", h, r);
        r = BreakConnection(cb, r);
    }
    UnlockBlock(cb);
    return r;
}

namespace {
// The IMT side of a listen thread: takes the next connect request from the listening
// socket and sets up both ends' sockets.
uint32_t NextImtConnection(EmtControlBlock* lb, EmtControlBlock** out) {
    const uint32_t pid = plat::CurrentProcessId();
    uint8_t req[64];
    uint32_t len = 0;
    uint32_t err = lb->imtListen->Read(req, sizeof req, plat::INFINITE, &len);
    if (err == EMT_E_BUFFER_TOO_SMALL) {
        // Too long to be a request: take it out of the ring and drop it.
        std::vector<uint8_t> big(65540);
        err = lb->imtListen->Read(big.data(), static_cast<uint32_t>(big.size()), plat::INFINITE,
                                  &len);
        if (err == 0) {
            EMSTraceMessage("EMT %d: Invalid IMT connect request received.", lb->handle);
            return 0;
        }
    }
    if (err) {
        EMSTraceMessage("EMT %d: IMT listen socket read failed. (0x%08X)", lb->handle, err);
        return err;
    }
    uint16_t port = 0;
    uint32_t peerPid = 0;
    if (!ParseConnectMsg(req, len, 1, &port, &peerPid)) {
        EMSTraceMessage("EMT %d: Invalid IMT connect request received.", lb->handle);
        return 0;
    }
    EmtControlBlock* cb = NewControlBlock(&lb->qos);
    cb->transport = kTransportImt;
    cb->flags |= lb->flags & kCbTcpOnly;
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d: IMT connect request received from address %s.", cb->handle,
                        ImtAddr(peerPid, port).c_str());
    uint32_t e = 0;
    cb->imtPeer = ImtSocket::Open(peerPid, port, &e);
    if (!cb->imtPeer) {
        EMSTraceMessage("EMT %d: Attach to remote IMT connection socket failed.", cb->handle);
        FreeControlBlock(cb);
        return 0;
    }
    cb->imtOwn = ImtSocket::Create(pid, static_cast<uint16_t>(cb->handle), &e);
    if (!cb->imtOwn) {
        EMSTraceMessage("EMT %d: Creation of local IMT connection socket failed.", cb->handle);
        FreeControlBlock(cb);
        return 0;
    }
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d: Accepting connection on local IMT address %s.", cb->handle,
                        ImtAddr(pid, cb->handle).c_str());
    cb->local.sin_family = cb->remote.sin_family = AF_INET;
    cb->local.sin_addr.s_addr = cb->remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    cb->local.sin_port = htons(static_cast<uint16_t>(cb->handle));
    cb->remote.sin_port = htons(port);
    *out = cb;
    return 0;
}

// Answers the connecting end once its connection has room on the listen queue.
uint32_t WriteConnectResponse(EmtControlBlock* cb) {
    uint8_t resp[12];
    PutConnectMsg(resp, 2, static_cast<uint16_t>(cb->handle), plat::CurrentProcessId());
    uint32_t err = cb->imtPeer->Write(resp, 12);
    if (err) EMSTraceMessage("EMT %d: IMT connect response write failed.", cb->handle);
    return err;
}
}  // namespace

static void ImtListenThread(EmtControlBlock* lb) {
    ListenSide side{"IMT", &EmtControlBlock::imtListenEnded,
                    [lb](EmtControlBlock** cb) { return NextImtConnection(lb, cb); }, nullptr,
                    WriteConnectResponse};
    RunListenLoop(lb, side);
}

uint32_t IMTListen(EmtControlBlock* cb, const sockaddr_in& local) {
    uint32_t err = 0;
    const uint16_t port = ntohs(cb->local.sin_port ? cb->local.sin_port : local.sin_port);
    cb->imtListen = ImtSocket::Create(0, port, &err);
    if (!cb->imtListen) return err ? err : 183;
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d: Listening on local IMT addr %s.", cb->handle,
                        ImtAddr(0, port).c_str());
    try {
        cb->imtListenThread = std::thread(ImtListenThread, cb);
    } catch (...) {
        return EMT_E_THREAD;
    }
    return 0;
}

}  // namespace emt
