#pragma once
// The MDS client's performance monitor: once a second, while the client key's
// "EnablePerformanceMonitor" is non-zero, 19 counters of its traffic, buffer pool and
// output queue are published as one instance of counter object 10 (read them with
// parlo-counters). The instance is "<prefix>-<client name>", the prefix taken from the
// instance name (PerfInstancePrefix).
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/event.h"
#include "platform/perfcounters.h"
#include "platform/registry.h"

class BufferPool;
class MessageQueue;

namespace mds {

constexpr uint32_t kPerfObjectIndex = 10;
constexpr int kPerfNotInitialized = -9993;

// One sample, in the order of its counter ids 2, 6, 4, 10, 8, 12 ... 38.
struct MDS_CLIENT_PERFMON_STATS {
    uint32_t clientHandle, messagesSent, messagesReceived, bytesSent, bytesReceived;
    uint32_t poolBytesInUse, poolBuffersInUse, poolAllocations, poolReleases, poolMemoryLimit,
        poolInitialLimit;
    uint32_t queueLength, messagesQueued, messagesDequeued, bytesQueued, bytesDequeued;
    float queueUtilisation;
    uint32_t meanDelayMs, p90DelayMs;
};

// The text after the first "ZUR\" with blanks dropped and "\" made "-"; without "ZUR\" the
// name unchanged.
std::string PerfInstancePrefix(const std::string& instanceName);

// Fills the three derived fields from the messages queued (lambda) and dequeued (mu) in
// the interval and the queue length n at the sample.
void EstimateQueueDelay(uint32_t lambda, uint32_t mu, uint32_t n, MDS_CLIENT_PERFMON_STATS* s);

// The counter object's base: the counter library's monitor, object and instance.
class CMDSPerfMonitor {
public:
    CMDSPerfMonitor() = default;
    virtual ~CMDSPerfMonitor() = default;
    CMDSPerfMonitor(const CMDSPerfMonitor&) = delete;
    CMDSPerfMonitor& operator=(const CMDSPerfMonitor&) = delete;
    virtual int Init(const char* clientName, const char* prefix, int objectIndex) = 0;
    virtual int Update(const MDS_CLIENT_PERFMON_STATS& sample) = 0;

protected:
    plat::CZURPerfMon perfMon_;
    plat::CZURPerfPO* po_ = nullptr;
    plat::CZURPerfInstance* instance_ = nullptr;
    bool initialised_ = false;
    int objectIndex_ = 0;
    std::string prefix_;
};

class CMDSClientPerfMonitor : public CMDSPerfMonitor {
public:
    ~CMDSClientPerfMonitor() override { (void)Remove(); }
    // 160 for a null pointer, 0 when done (or already initialised), -9993 (also the last
    // error) when the instance cannot be published.
    int Init(const char* clientName, const char* prefix, int objectIndex) override;
    // Writes the 19 counters as one sample: 0, or -9993 when not initialised.
    int Update(const MDS_CLIENT_PERFMON_STATS& sample) override;
    // Unpublishes: 0, or -9993 when not initialised.
    int Remove();
    std::string InstanceName() const { return prefix_ + "-" + clientName_; }

private:
    std::string clientName_;
};

// The client's monitor: the enabled switch, its registry watch and the counter object.
class CMdsLibPerfMon {
public:
    CMdsLibPerfMon() = default;
    ~CMdsLibPerfMon();
    CMdsLibPerfMon(const CMdsLibPerfMon&) = delete;
    CMdsLibPerfMon& operator=(const CMdsLibPerfMon&) = delete;

    // Stores the names; when enabled, publishes. 1 when counters are published, else 0.
    int Init(const std::string& instanceName, const std::string& clientName);
    void SetEnabled(bool on) { enabled_ = on; }
    bool Enabled() const { return enabled_; }
    // Watches the key root\path for value changes: 0 or the error.
    uint32_t WatchRegistry(plat::RegKey root, const std::string& path);
    // 1 when stop was set, 2 when the interval is over, 3 without (or after losing) the
    // watch (it then sleeps the interval). With plat::INFINITE, 2 after the first change.
    int WaitForChange(plat::Event& stop, uint32_t intervalMs);
    // Unpublishes: 1 when it was enabled.
    int Stop();
    void Update(const MDS_CLIENT_PERFMON_STATS& sample);

private:
    void CloseWatch();

    std::mutex mu_;
    std::unique_ptr<CMDSClientPerfMonitor> counters_;  // mu_
    std::atomic<bool> enabled_{false};
    bool watching_ = false;
    plat::RegKey key_ = nullptr;
    std::unique_ptr<plat::Event> changed_;
    std::string instanceName_, clientName_;
};

// Where a sample comes from (all the client's, outliving the monitor thread).
struct MdsPerfSources {
    uint32_t handle = 0;
    std::atomic<uint32_t>* sent = nullptr;
    std::atomic<uint32_t>* received = nullptr;
    std::atomic<uint32_t>* bytesSent = nullptr;
    std::atomic<uint32_t>* bytesReceived = nullptr;
    BufferPool* pool = nullptr;
    MessageQueue* queue = nullptr;
};

// Takes a sample, clearing the since-last counts of the sources.
MDS_CLIENT_PERFMON_STATS TakePerfSample(const MdsPerfSources& src);

// Starts the client's monitor thread once per process: watches
// "SOFTWARE\Quenlo Systems, Inc.\<instance>\MDS\CurrentVersion\Clients\<client>".
void StartMdsPerfMonitor(const std::string& instanceName, const std::string& clientName,
                         const MdsPerfSources& sources);

}  // namespace mds
