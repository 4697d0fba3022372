#include "platform/named.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "platform/clock.h"
#include "platform/filemode.h"
#include "platform/lasterror.h"
#include "platform/process.h"

namespace plat {

namespace {

constexpr uint32_t ERROR_NOT_OWNER = 288;
constexpr size_t kMaxSectionSize = size_t{1} << 30;

// Lock file bytes. A mutex file: 0 ownership, 1 presence, 2 guard; its first four bytes
// of content hold the owner's process id while it is owned. A section file: 0 presence,
// 1 guard.
constexpr off_t kMutexOwner = 0, kMutexPresence = 1, kMutexGuard = 2;
constexpr off_t kSectionPresence = 0, kSectionGuard = 1;

int LockCmd(int fd, int cmd, short type, off_t byte) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    for (;;) {
        int rc = fcntl(fd, cmd, &fl);
        if (rc == 0 || errno != EINTR) return rc;
    }
}

bool LockWait(int fd, short type, off_t byte) { return LockCmd(fd, F_OFD_SETLKW, type, byte) == 0; }
bool LockTry(int fd, short type, off_t byte) { return LockCmd(fd, F_OFD_SETLK, type, byte) == 0; }
void UnlockByte(int fd, off_t byte) { LockCmd(fd, F_OFD_SETLK, F_UNLCK, byte); }

// True when another open file description holds any lock on byte.
bool HeldByOthers(int fd, off_t byte) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
}

int OpenLockFile(const std::string& path, bool create) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), kOwnerOnlyMode);
    // Only the user that runs the node's processes may take, hold or fake a lock; a file
    // left by an earlier, wider version is narrowed.
    if (fd >= 0 && create) SetOwnerOnly(fd);
    return fd;
}

std::string ObjectPath(const std::string& mapped, const char* suffix) {
    return RunDir() + "/" + mapped + suffix;
}

bool CheckMapped(const std::string& mapped) {
    if (mapped.size() > kMaxMappedName) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

}  // namespace

std::string MapObjectName(const std::string& name) {
    const char* env = std::getenv("PARLO_NAMESPACE");
    std::string out = (env && *env) ? env : "parlo";
    out += '.';
    for (char c : name) out += (c == '\\' || c == '/') ? '_' : c;
    return out;
}

std::string MapSharedMemoryName(const std::string& name) {
    // Appended, not "/" + ...: g++ 12 at -O3 takes the prepend for an overlapping copy.
    std::string out = "/";
    out += MapObjectName(name);
    return out;
}

// ---- SharedSection ----------------------------------------------------------------------

SharedSection::~SharedSection() { Close(); }

bool SharedSection::Create(const std::string& name, size_t size) {
    return Attach(name, size, true);
}

bool SharedSection::Open(const std::string& name) { return Attach(name, 0, false); }

bool SharedSection::Attach(const std::string& name, size_t size, bool create) {
    Close();
    if (create && (size == 0 || size > kMaxSectionSize)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::string mapped = MapObjectName(name);
    if (!CheckMapped(mapped)) return false;
    std::string shmName = MapSharedMemoryName(name);
    std::string lockPath = ObjectPath(mapped, ".section");
    int fd = OpenLockFile(lockPath, create);
    if (fd < 0) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrnoToWin32(errno));
        return false;
    }
    // The guard serialises creation, opening and the last close across the node.
    if (!LockWait(fd, F_WRLCK, kSectionGuard)) {
        SetLastErrorFromErrno();
        close(fd);
        return false;
    }
    auto fail = [&](uint32_t code) {
        close(fd);  // drops the guard
        SetLastError(code);
        return false;
    };
    bool others = HeldByOthers(fd, kSectionPresence);
    if (!others && !create) return fail(ERROR_FILE_NOT_FOUND);
    int sfd = -1;
    size_t mapSize = size;
    if (others) {
        sfd = shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (sfd < 0) return fail(ErrnoToWin32(errno));
        struct stat st;
        if (fstat(sfd, &st) != 0 || st.st_size <= 0 ||
            static_cast<uint64_t>(st.st_size) > kMaxSectionSize) {
            close(sfd);
            return fail(ERROR_INVALID_DATA);
        }
        mapSize = static_cast<size_t>(st.st_size);
    } else {
        // Nobody holds it: whatever is left under the name belongs to a dead process.
        shm_unlink(shmName.c_str());
        sfd = shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerOnlyMode);
        if (sfd < 0) return fail(ErrnoToWin32(errno));
        SetOwnerOnly(sfd);
        if (ftruncate(sfd, static_cast<off_t>(size)) != 0) {
            uint32_t code = ErrnoToWin32(errno);
            close(sfd);
            shm_unlink(shmName.c_str());
            return fail(code);
        }
    }
    void* data = mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, sfd, 0);
    uint32_t mapErr = data == MAP_FAILED ? ErrnoToWin32(errno) : 0;
    close(sfd);
    if (data == MAP_FAILED) {
        if (!others) shm_unlink(shmName.c_str());
        return fail(mapErr);
    }
    if (!LockTry(fd, F_RDLCK, kSectionPresence)) {
        uint32_t code = ErrnoToWin32(errno);
        munmap(data, mapSize);
        if (!others) shm_unlink(shmName.c_str());
        return fail(code);
    }
    UnlockByte(fd, kSectionGuard);
    shmName_ = shmName;
    lockPath_ = lockPath;
    presenceFd_ = fd;
    data_ = data;
    size_ = mapSize;
    existed_ = others;
    SetLastError(others && create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return true;
}

void SharedSection::Close() {
    if (data_) munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
    existed_ = false;
    if (presenceFd_ < 0) return;
    int probe = OpenLockFile(lockPath_, false);
    if (probe >= 0) LockWait(probe, F_WRLCK, kSectionGuard);
    // Closing (not unlocking) drops our presence only when no forked child shares the
    // descriptor.
    close(presenceFd_);
    presenceFd_ = -1;
    if (probe >= 0) {
        if (!HeldByOthers(probe, kSectionPresence)) shm_unlink(shmName_.c_str());
        close(probe);
    }
}

// ---- NamedMutex -------------------------------------------------------------------------

struct NamedMutex::State {
    std::string mapped;
    std::string path;
    int fd = -1;
    std::mutex mu;
    std::condition_variable cv;
    uint32_t owner = 0;  // thread id; 0 = not owned in this process
    uint32_t count = 0;

    ~State() {
        if (fd >= 0) close(fd);
    }
};

namespace {

// The mutexes this process holds open, by mapped name: every handle to one name shares
// one state, so re-entry works across handles as it did for one mutex.
struct MutexTable {
    std::mutex mu;
    std::map<std::string, std::weak_ptr<NamedMutex::State>> states;

    static MutexTable& Get() {
        static MutexTable* t = [] {
            auto* p = new MutexTable;  // never destroyed: handles may outlive static destructors
            pthread_atfork(&Prepare, &Parent, &Child);
            return p;
        }();
        return *t;
    }

    static void Prepare() { Get().mu.lock(); }
    static void Parent() { Get().mu.unlock(); }
    // A child shares its parent's lock descriptions; it gets descriptions of its own, so
    // that it owns nothing of its parent's and a lock it takes is its own.
    static void Child() {
        MutexTable& t = Get();
        for (auto& [name, weak] : t.states) {
            auto st = weak.lock();
            if (!st) continue;
            new (&st->mu) std::mutex;
            new (&st->cv) std::condition_variable;
            st->owner = 0;
            st->count = 0;
            if (st->fd >= 0) close(st->fd);
            st->fd = OpenLockFile(st->path, false);
            if (st->fd >= 0) LockTry(st->fd, F_RDLCK, kMutexPresence);
        }
        t.mu.unlock();
    }
};

uint32_t ReadOwnerMark(int fd) {
    uint8_t b[4] = {};
    if (pread(fd, b, 4, 0) != 4) return 0;
    return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

void WriteOwnerMark(int fd, uint32_t pid) {
    uint8_t b[4] = {static_cast<uint8_t>(pid), static_cast<uint8_t>(pid >> 8),
                    static_cast<uint8_t>(pid >> 16), static_cast<uint8_t>(pid >> 24)};
    (void)!pwrite(fd, b, 4, 0);
}

}  // namespace

NamedMutex::~NamedMutex() { Close(); }

bool NamedMutex::Create(const std::string& name, bool initiallyOwned) {
    return Attach(name, true, initiallyOwned);
}

bool NamedMutex::Open(const std::string& name) { return Attach(name, false, false); }

bool NamedMutex::Attach(const std::string& name, bool create, bool initiallyOwned) {
    Close();
    std::string mapped = MapObjectName(name);
    if (!CheckMapped(mapped)) return false;
    MutexTable& table = MutexTable::Get();
    std::lock_guard<std::mutex> lk(table.mu);
    if (auto it = table.states.find(mapped); it != table.states.end()) {
        if (auto st = it->second.lock()) {
            state_ = std::move(st);
            existed_ = true;
            SetLastError(create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
            return true;
        }
    }
    std::string path = ObjectPath(mapped, ".mutex");
    int fd = OpenLockFile(path, create);
    if (fd < 0) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrnoToWin32(errno));
        return false;
    }
    if (!LockWait(fd, F_WRLCK, kMutexGuard)) {
        SetLastErrorFromErrno();
        close(fd);
        return false;
    }
    bool others = HeldByOthers(fd, kMutexPresence);
    if (!others && !create) {
        close(fd);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (!LockTry(fd, F_RDLCK, kMutexPresence)) {
        SetLastErrorFromErrno();
        close(fd);
        return false;
    }
    auto st = std::make_shared<State>();
    st->mapped = mapped;
    st->path = path;
    st->fd = fd;
    if (!others) {
        // A fresh mutex: an owner mark left by a process of an earlier life of this name
        // does not make it abandoned.
        WriteOwnerMark(fd, 0);
        if (initiallyOwned && LockTry(fd, F_WRLCK, kMutexOwner)) {
            WriteOwnerMark(fd, CurrentProcessId());
            st->owner = CurrentThreadId();
            st->count = 1;
        }
    }
    UnlockByte(fd, kMutexGuard);
    table.states[mapped] = st;
    state_ = std::move(st);
    existed_ = others;
    SetLastError(others && create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return true;
}

void NamedMutex::Close() {
    if (!state_) return;
    MutexTable& table = MutexTable::Get();
    std::lock_guard<std::mutex> lk(table.mu);
    std::string mapped = state_->mapped;
    state_.reset();  // the last handle closes the descriptor, dropping presence and ownership
    if (auto it = table.states.find(mapped); it != table.states.end() && it->second.expired())
        table.states.erase(it);
    existed_ = false;
}

uint32_t NamedMutex::Lock(uint32_t timeoutMs) {
    if (!state_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    State& st = *state_;
    const uint32_t tid = CurrentThreadId();
    const bool forever = timeoutMs == INFINITE;
    // The holder may be another process: the time-out is an external wait on the current
    // clock, which a test moves (a pump that only passes plain sleeps leaves it alone).
    ExternalWait wait(forever ? kNoDeadline : DeadlineAfterMs(timeoutMs));

    std::unique_lock<std::mutex> lk(st.mu);
    if (st.owner == tid) {
        ++st.count;
        return WAIT_OBJECT_0;
    }
    // First among the threads of this process...
    if (forever) {
        st.cv.wait(lk, [&] { return st.owner == 0; });
    } else {
        while (st.owner != 0) {
            if (wait.Expired()) return WAIT_TIMEOUT;
            st.cv.wait_for(lk, std::chrono::milliseconds(wait.NextSliceMs()));
        }
    }
    st.owner = tid;
    st.count = 0;
    lk.unlock();

    // ...then across the node.
    bool got = false;
    int err = 0;
    if (forever) {
        got = LockWait(st.fd, F_WRLCK, kMutexOwner);
        err = got ? 0 : errno;
    } else {
        int64_t pauseMs = 1;
        for (;;) {
            if (LockTry(st.fd, F_WRLCK, kMutexOwner)) {
                got = true;
                break;
            }
            if (errno != EAGAIN && errno != EACCES) {
                err = errno;
                break;
            }
            if (wait.Expired()) break;
            SystemSleepMs(std::min<int64_t>(pauseMs, wait.NextSliceMs()));
            if (pauseMs < 16) pauseMs *= 2;
        }
    }
    if (!got) {
        lk.lock();
        st.owner = 0;
        st.cv.notify_one();
        if (err) {
            SetLastError(ErrnoToWin32(err));
            return WAIT_FAILED;
        }
        return WAIT_TIMEOUT;
    }
    // A mark still there means its writer died holding the lock.
    bool abandoned = ReadOwnerMark(st.fd) != 0;
    WriteOwnerMark(st.fd, CurrentProcessId());
    lk.lock();
    st.count = 1;
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

bool NamedMutex::Unlock() {
    if (!state_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    State& st = *state_;
    std::lock_guard<std::mutex> lk(st.mu);
    if (st.owner != CurrentThreadId() || st.count == 0) {
        SetLastError(ERROR_NOT_OWNER);
        return false;
    }
    if (--st.count > 0) return true;
    WriteOwnerMark(st.fd, 0);
    UnlockByte(st.fd, kMutexOwner);
    st.owner = 0;
    st.cv.notify_one();
    return true;
}

bool NamedMutex::IsOwnedByCurrentThread() const {
    if (!state_) return false;
    std::lock_guard<std::mutex> lk(state_->mu);
    return state_->owner == CurrentThreadId() && state_->count > 0;
}

bool NamedMutexExists(const std::string& name) {
    std::string mapped = MapObjectName(name);
    if (mapped.size() > kMaxMappedName) return false;
    {
        MutexTable& table = MutexTable::Get();
        std::lock_guard<std::mutex> lk(table.mu);
        if (auto it = table.states.find(mapped); it != table.states.end() && !it->second.expired())
            return true;
    }
    int fd = OpenLockFile(ObjectPath(mapped, ".mutex"), false);
    if (fd < 0) return false;
    bool held = HeldByOthers(fd, kMutexPresence);
    close(fd);
    return held;
}

// ---- NamedMarkerEvent -------------------------------------------------------------------

NamedMarkerEvent::NamedMarkerEvent(const std::string& name)
    : path_(ObjectPath(MapObjectName(name), ".event")) {}

bool NamedMarkerEvent::Set() {
    // Made under a temporary name and renamed, so a watcher sees no marker or a whole one.
    std::string tmp = path_ + ".tmp." + std::to_string(CurrentProcessId()) + "." +
                      std::to_string(CurrentThreadId());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kOwnerOnlyMode);
    if (fd < 0) {
        SetLastErrorFromErrno();
        return false;
    }
    SetOwnerOnly(fd);
    close(fd);
    if (rename(tmp.c_str(), path_.c_str()) != 0) {
        SetLastErrorFromErrno();
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool NamedMarkerEvent::Reset() {
    if (unlink(path_.c_str()) != 0 && errno != ENOENT) {
        SetLastErrorFromErrno();
        return false;
    }
    return true;
}

bool NamedMarkerEvent::IsSet() const { return access(path_.c_str(), F_OK) == 0; }

uint32_t NamedMarkerEvent::Wait(uint32_t timeoutMs) const {
    // Real time, as for NamedMutex: the marker is set by another process.
    const int64_t deadline = SystemMonotonicNs() + int64_t{timeoutMs} * 1000000;
    for (;;) {
        if (IsSet()) return WAIT_OBJECT_0;
        if (timeoutMs != INFINITE && SystemMonotonicNs() >= deadline) return WAIT_TIMEOUT;
        SystemSleepMs(10);
    }
}

}  // namespace plat
