#pragma once
// Performance counters, published node-wide for operators (read with parlo-counters).
//
// Each published instance is one shared-memory object named, by the node-wide rule of
// platform/named.h, from "Global\PerfCounters\<object index>\<instance>". It holds a header
// (magic, version, object index, instance name, writer pid, a sequence count that is odd
// while the writer changes the slot table) and up to kCounterMaxSlots slots of (counter id,
// counter name or empty, signed 32-bit value). Values move atomically one word at a time;
// readers retry a copy that overlapped a change of the slot table. Removing the instance
// unlinks the object; an object whose writer process is dead counts as not published.
#include <atomic>
#include <memory>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace plat {

inline constexpr uint32_t kCounterMaxSlots = 64;
inline constexpr uint32_t kCounterNameSize = 48;      // with the terminator
inline constexpr uint32_t kCounterInstanceSize = 64;  // with the terminator

struct CounterDef {
    uint32_t id;
    const char* name;  // null or empty: no name
};

// The shared object's name (before the node-wide mapping).
std::string CounterObjectName(uint32_t objectIndex, const std::string& instance);

// The writer of one published instance. Thread-safe.
class CounterInstance {
public:
    CounterInstance() = default;
    ~CounterInstance() { Remove(); }
    CounterInstance(const CounterInstance&) = delete;
    CounterInstance& operator=(const CounterInstance&) = delete;

    // Publishes the instance with the given slots, all 0. false with the last error set:
    // 183 when a live process publishes the same instance, 87 for an empty or too long
    // instance name or more than kCounterMaxSlots counters. A dead writer's object is
    // replaced.
    [[nodiscard]] bool Create(uint32_t objectIndex, const std::string& instance,
                              const std::vector<CounterDef>& counters);
    // Unlinks the object; harmless when nothing is published.
    void Remove();
    bool IsPublished() const { return block_ != nullptr; }

    // A counter without a slot gets a new, unnamed one; false when not published or the
    // table is full.
    bool Set(uint32_t id, int32_t value);
    bool Add(uint32_t id, int32_t delta);
    // The value, 0 for an unknown counter.
    int32_t Get(uint32_t id) const;
    // Brackets a sample of several Set calls: a reader never copies half of it (the
    // sequence count stays odd meanwhile). Calls must pair and not nest.
    void BeginSample();
    void EndSample();

    struct Block;  // the shared layout (perfcounters.cpp)

private:
    int SlotOf(uint32_t id, bool create);
    mutable std::mutex mu_;
    Block* block_ = nullptr;
    std::string shmName_;
};

struct CounterReading {
    uint32_t id = 0;
    std::string name;  // empty when the counter has none
    int32_t value = 0;
};
struct PublishedCounters {
    uint32_t objectIndex = 0;
    std::string instance;
    int32_t writerPid = 0;
    std::vector<CounterReading> counters;  // slot order
};

// The instances published on this node by live writers (only those whose instance name is
// `instance` when it is not empty), ordered by instance name and object index.
std::vector<PublishedCounters> ReadPublishedCounters(const std::string& instance = "");

// A consistent copy of one instance of one object: false when no live writer publishes it.
bool ReadPublishedInstance(uint32_t objectIndex, const std::string& instance,
                           PublishedCounters* out);

class CZURPerfPO;

// One published instance of a performance object (owned by its CZURPerfPO).
class CZURPerfInstance {
public:
    CZURPerfInstance() = default;
    CZURPerfInstance(const CZURPerfInstance&) = delete;
    CZURPerfInstance& operator=(const CZURPerfInstance&) = delete;
    // 0, or 6 when the instance is no longer published or its table is full.
    uint32_t UpdateCounter(uint32_t id, int32_t value);
    CounterInstance& Counters() { return counters_; }

private:
    CounterInstance counters_;
};

// A performance object: an index and its counters, with the instances published under it.
// Thread-safe.
class CZURPerfPO {
public:
    CZURPerfPO(uint32_t objectIndex, std::vector<CounterDef> counters)
        : index_(objectIndex), counters_(std::move(counters)) {}
    CZURPerfPO(const CZURPerfPO&) = delete;
    CZURPerfPO& operator=(const CZURPerfPO&) = delete;
    // Publishes the instance with the object's counters, all 0: 0, 183 when this object or
    // a live process already publishes it, 87 for a bad name.
    [[nodiscard]] uint32_t AddInstance(const std::string& name);
    // The instance (owned by this object, valid until RemoveInstance), or null.
    CZURPerfInstance* GetInstance(const std::string& name);
    // Unpublishes and frees it: 0, or 2 when there is none.
    uint32_t RemoveInstance(const std::string& name);
    uint32_t Index() const { return index_; }

private:
    const uint32_t index_;
    const std::vector<CounterDef> counters_;
    std::mutex mu_;
    std::vector<std::pair<std::string, std::unique_ptr<CZURPerfInstance>>> instances_;  // mu_
};

// The performance objects of a process. Thread-safe.
class CZURPerfMon {
public:
    CZURPerfMon() = default;
    CZURPerfMon(const CZURPerfMon&) = delete;
    CZURPerfMon& operator=(const CZURPerfMon&) = delete;
    // Adds the object (an existing one with that index is kept): 0.
    uint32_t AddPO(uint32_t objectIndex, const std::vector<CounterDef>& counters = {});
    // The object (owned by the monitor, valid until RemovePO), or null.
    CZURPerfPO* GetPO(uint32_t objectIndex);
    // Removes the object and unpublishes its instances: 0, or 2 when there is none.
    uint32_t RemovePO(uint32_t objectIndex);

private:
    std::mutex mu_;
    std::vector<std::unique_ptr<CZURPerfPO>> objects_;  // mu_
};

}  // namespace plat

// The counter calls of the server, on one process-wide instance. Each answers 0 on success,
// else an error number. The object index is recorded in the instance's header; counters
// names the slots up front (a counter first moved without a slot gets an unnamed one).
[[nodiscard]] uint32_t InitNUVPerformance(const char* instanceName, uint32_t objectIndex,
                                          const std::vector<plat::CounterDef>& counters = {});
// Removes the process's instance.
void UnInitNUVPerformance();
uint32_t SetPerfCounterValueSync(uint32_t counter, int32_t value);
uint32_t IncrementPerfCounterSync(uint32_t counter);
uint32_t DecrementPerfCounterSync(uint32_t counter);
