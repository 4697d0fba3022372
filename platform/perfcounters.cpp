#include "platform/perfcounters.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/filemode.h"
#include "platform/lasterror.h"
#include "platform/named.h"

namespace plat {

namespace {

constexpr uint32_t kMagic = 0x434C5250;  // "PRLC"
constexpr uint32_t kVersion = 1;
constexpr const char* kPrefix = "Global\\PerfCounters\\";

struct Slot {
    uint32_t id;
    char name[kCounterNameSize];
    std::atomic<int32_t> value;
};

}  // namespace

struct CounterInstance::Block {
    uint32_t magic;
    uint32_t version;
    uint32_t objectIndex;
    int32_t writerPid;
    std::atomic<uint32_t> sequence;  // odd while the slot table changes
    uint32_t used;                   // slots in use
    char instance[kCounterInstanceSize];
    Slot slots[kCounterMaxSlots];
};

namespace {

using Block = CounterInstance::Block;  // NOLINT

static_assert(std::atomic<uint32_t>::is_always_lock_free, "shared counters need lock-free words");

bool WriterAlive(int32_t pid) {
    if (pid <= 0) return false;
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// Maps an existing object read-only; null when it is not a counter block.
const Block* MapForReading(const std::string& shmName, int* fdOut) {
    int fd = ::shm_open(shmName.c_str(), O_RDONLY, 0);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) < sizeof(Block)) {
        ::close(fd);
        return nullptr;
    }
    void* p = ::mmap(nullptr, sizeof(Block), PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        ::close(fd);
        return nullptr;
    }
    *fdOut = fd;
    return static_cast<const Block*>(p);
}

void Unmap(const Block* b, int fd) {
    ::munmap(const_cast<Block*>(b), sizeof(Block));
    ::close(fd);
}

std::string Terminated(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

// A consistent copy of a live writer's block; false when it is not one.
bool Snapshot(const Block* b, PublishedCounters* out) {
    if (b->magic != kMagic || b->version != kVersion) return false;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const uint32_t before = b->sequence.load(std::memory_order_acquire);
        if (before & 1u) {
            sched_yield();
            continue;
        }
        PublishedCounters copy;
        copy.objectIndex = b->objectIndex;
        copy.writerPid = b->writerPid;
        copy.instance = Terminated(b->instance, sizeof b->instance);
        const uint32_t used = std::min(b->used, kCounterMaxSlots);
        for (uint32_t i = 0; i < used; ++i) {
            CounterReading r;
            r.id = b->slots[i].id;
            r.name = Terminated(b->slots[i].name, sizeof b->slots[i].name);
            r.value = b->slots[i].value.load(std::memory_order_acquire);
            copy.counters.push_back(std::move(r));
        }
        // The acquire loads keep the second look at the sequence after the copy.
        if (b->sequence.load(std::memory_order_acquire) != before) continue;
        if (!WriterAlive(copy.writerPid)) return false;
        *out = std::move(copy);
        return true;
    }
    return false;
}

void CopyText(char* dest, size_t size, const char* text) {
    std::memset(dest, 0, size);
    if (text) std::strncpy(dest, text, size - 1);
}

}  // namespace

std::string CounterObjectName(uint32_t objectIndex, const std::string& instance) {
    return kPrefix + std::to_string(objectIndex) + "\\" + instance;
}

bool CounterInstance::Create(uint32_t objectIndex, const std::string& instance,
                             const std::vector<CounterDef>& counters) {
    Remove();
    std::lock_guard<std::mutex> hold(mu_);
    if (instance.empty() || instance.size() >= kCounterInstanceSize ||
        counters.size() > kCounterMaxSlots) {
        SetLastError(87);
        return false;
    }
    const std::string shmName = "/" + MapObjectName(CounterObjectName(objectIndex, instance));
    if (shmName.size() > kMaxMappedName) {
        SetLastError(206);
        return false;
    }
    int fd = ::shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_EXCL, kOwnerOnlyMode);
    if (fd < 0 && errno == EEXIST) {
        int rfd = -1;
        if (const Block* old = MapForReading(shmName, &rfd)) {
            const bool live = old->magic == kMagic && WriterAlive(old->writerPid);
            Unmap(old, rfd);
            if (live) {
                SetLastError(183);
                return false;
            }
        }
        ::shm_unlink(shmName.c_str());
        fd = ::shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_EXCL, kOwnerOnlyMode);
    }
    if (fd < 0) {
        SetLastErrorFromErrno();
        return false;
    }
    // Read by the operator's own parlo-counters only.
    SetOwnerOnly(fd);
    if (::ftruncate(fd, sizeof(Block)) != 0) {
        SetLastErrorFromErrno();
        ::close(fd);
        ::shm_unlink(shmName.c_str());
        return false;
    }
    void* p = ::mmap(nullptr, sizeof(Block), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) {
        SetLastErrorFromErrno();
        ::shm_unlink(shmName.c_str());
        return false;
    }
    // The object is zeroed by ftruncate; the magic goes in last so a reader never takes a
    // half-made header for a block.
    auto* b = static_cast<Block*>(p);
    b->sequence.store(1, std::memory_order_relaxed);
    b->version = kVersion;
    b->objectIndex = objectIndex;
    b->writerPid = static_cast<int32_t>(::getpid());
    CopyText(b->instance, sizeof b->instance, instance.c_str());
    for (const CounterDef& def : counters) {
        Slot& s = b->slots[b->used++];
        s.id = def.id;
        CopyText(s.name, sizeof s.name, def.name);
        s.value.store(0, std::memory_order_relaxed);
    }
    b->sequence.store(2, std::memory_order_release);
    std::atomic_ref<uint32_t>(b->magic).store(kMagic, std::memory_order_release);
    block_ = b;
    shmName_ = shmName;
    return true;
}

void CounterInstance::Remove() {
    std::lock_guard<std::mutex> hold(mu_);
    if (!block_) return;
    ::shm_unlink(shmName_.c_str());
    ::munmap(block_, sizeof(Block));
    block_ = nullptr;
    shmName_.clear();
}

int CounterInstance::SlotOf(uint32_t id, bool create) {
    for (uint32_t i = 0; i < block_->used; ++i)
        if (block_->slots[i].id == id) return static_cast<int>(i);
    if (!create || block_->used >= kCounterMaxSlots) return -1;
    block_->sequence.fetch_add(1, std::memory_order_acq_rel);
    Slot& s = block_->slots[block_->used];
    s.id = id;
    std::memset(s.name, 0, sizeof s.name);
    s.value.store(0, std::memory_order_relaxed);
    ++block_->used;
    block_->sequence.fetch_add(1, std::memory_order_release);
    return static_cast<int>(block_->used - 1);
}

bool CounterInstance::Set(uint32_t id, int32_t value) {
    std::lock_guard<std::mutex> hold(mu_);
    if (!block_) return false;
    const int i = SlotOf(id, true);
    if (i < 0) return false;
    block_->slots[i].value.store(value, std::memory_order_relaxed);
    return true;
}

bool CounterInstance::Add(uint32_t id, int32_t delta) {
    std::lock_guard<std::mutex> hold(mu_);
    if (!block_) return false;
    const int i = SlotOf(id, true);
    if (i < 0) return false;
    // Wraps like the 32-bit counter it is, without signed overflow.
    auto& v = block_->slots[i].value;
    v.store(static_cast<int32_t>(static_cast<uint32_t>(v.load(std::memory_order_relaxed)) +
                                 static_cast<uint32_t>(delta)),
            std::memory_order_relaxed);
    return true;
}

int32_t CounterInstance::Get(uint32_t id) const {
    std::lock_guard<std::mutex> hold(mu_);
    if (!block_) return 0;
    for (uint32_t i = 0; i < block_->used; ++i)
        if (block_->slots[i].id == id) return block_->slots[i].value.load(std::memory_order_relaxed);
    return 0;
}

void CounterInstance::BeginSample() {
    mu_.lock();
    if (block_) block_->sequence.fetch_add(1, std::memory_order_acq_rel);
    mu_.unlock();
}

void CounterInstance::EndSample() {
    std::lock_guard<std::mutex> hold(mu_);
    if (block_) block_->sequence.fetch_add(1, std::memory_order_release);
}

uint32_t CZURPerfInstance::UpdateCounter(uint32_t id, int32_t value) {
    return counters_.Set(id, value) ? 0 : 6;
}

uint32_t CZURPerfPO::AddInstance(const std::string& name) {
    std::lock_guard<std::mutex> g(mu_);
    for (const auto& i : instances_)
        if (i.first == name) return 183;
    auto inst = std::make_unique<CZURPerfInstance>();
    if (!inst->Counters().Create(index_, name, counters_)) return GetLastError();
    instances_.emplace_back(name, std::move(inst));
    return 0;
}

CZURPerfInstance* CZURPerfPO::GetInstance(const std::string& name) {
    std::lock_guard<std::mutex> g(mu_);
    for (const auto& i : instances_)
        if (i.first == name) return i.second.get();
    return nullptr;
}

uint32_t CZURPerfPO::RemoveInstance(const std::string& name) {
    std::lock_guard<std::mutex> g(mu_);
    for (auto it = instances_.begin(); it != instances_.end(); ++it)
        if (it->first == name) {
            instances_.erase(it);  // the instance's destructor unlinks the object
            return 0;
        }
    return 2;
}

uint32_t CZURPerfMon::AddPO(uint32_t objectIndex, const std::vector<CounterDef>& counters) {
    std::lock_guard<std::mutex> g(mu_);
    for (const auto& o : objects_)
        if (o->Index() == objectIndex) return 0;
    objects_.push_back(std::make_unique<CZURPerfPO>(objectIndex, counters));
    return 0;
}

CZURPerfPO* CZURPerfMon::GetPO(uint32_t objectIndex) {
    std::lock_guard<std::mutex> g(mu_);
    for (const auto& o : objects_)
        if (o->Index() == objectIndex) return o.get();
    return nullptr;
}

uint32_t CZURPerfMon::RemovePO(uint32_t objectIndex) {
    std::lock_guard<std::mutex> g(mu_);
    for (auto it = objects_.begin(); it != objects_.end(); ++it)
        if ((*it)->Index() == objectIndex) {
            objects_.erase(it);
            return 0;
        }
    return 2;
}

bool ReadPublishedInstance(uint32_t objectIndex, const std::string& instance,
                           PublishedCounters* out) {
    int fd = -1;
    const Block* b =
        MapForReading("/" + MapObjectName(CounterObjectName(objectIndex, instance)), &fd);
    if (!b) return false;
    const bool ok = Snapshot(b, out) && out->instance == instance;
    Unmap(b, fd);
    return ok;
}

std::vector<PublishedCounters> ReadPublishedCounters(const std::string& instance) {
    std::vector<PublishedCounters> found;
    const std::string prefix = MapObjectName(kPrefix);
    DIR* dir = ::opendir("/dev/shm");
    if (!dir) return found;
    while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        int fd = -1;
        const Block* b = MapForReading("/" + name, &fd);
        if (!b) continue;
        PublishedCounters copy;
        if (Snapshot(b, &copy) && (instance.empty() || copy.instance == instance))
            found.push_back(std::move(copy));
        Unmap(b, fd);
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end(), [](const PublishedCounters& a, const PublishedCounters& b) {
        return a.instance != b.instance ? a.instance < b.instance : a.objectIndex < b.objectIndex;
    });
    return found;
}

}  // namespace plat

namespace {
plat::CounterInstance& ProcessCounters() {
    static plat::CounterInstance* instance = new plat::CounterInstance;  // lives to the exit
    return *instance;
}
}  // namespace

uint32_t InitNUVPerformance(const char* instanceName, uint32_t objectIndex,
                            const std::vector<plat::CounterDef>& counters) {
    if (!ProcessCounters().Create(objectIndex, instanceName ? instanceName : "", counters))
        return plat::GetLastError();
    return 0;
}

void UnInitNUVPerformance() { ProcessCounters().Remove(); }

uint32_t SetPerfCounterValueSync(uint32_t counter, int32_t value) {
    return ProcessCounters().Set(counter, value) ? 0 : 6;
}
uint32_t IncrementPerfCounterSync(uint32_t counter) {
    return ProcessCounters().Add(counter, 1) ? 0 : 6;
}
uint32_t DecrementPerfCounterSync(uint32_t counter) {
    return ProcessCounters().Add(counter, -1) ? 0 : 6;
}
