// The MDS client's performance monitor (see mdsperfmon.h).
#include "nuvlib/mds/mdsperfmon.h"

#include <cmath>

#include "nuvlib/ems.h"
#include "nuvlib/mbuf.h"
#include "platform/clock.h"
#include "platform/lasterror.h"

namespace mds {

namespace {
constexpr uint32_t kTraceThread = 1u << 31;
constexpr uint32_t kTraceInitError = 1u << 0;
bool Trace(uint32_t bit) { return (EMSGetTraceMask() & bit) != 0; }

// The one table of the sample's counters: id, name (one word: the reader's lines are
// blank-separated) and field, in the order written.
struct CounterField {
    uint32_t id;
    const char* name;
    uint32_t MDS_CLIENT_PERFMON_STATS::*field;  // null: the utilisation (a float)
};
const CounterField kCounters[19] = {
    {2, "ClientHandle", &MDS_CLIENT_PERFMON_STATS::clientHandle},
    {6, "MessagesSent", &MDS_CLIENT_PERFMON_STATS::messagesSent},
    {4, "MessagesReceived", &MDS_CLIENT_PERFMON_STATS::messagesReceived},
    {10, "BytesSent", &MDS_CLIENT_PERFMON_STATS::bytesSent},
    {8, "BytesReceived", &MDS_CLIENT_PERFMON_STATS::bytesReceived},
    {12, "PoolBytesInUse", &MDS_CLIENT_PERFMON_STATS::poolBytesInUse},
    {14, "PoolBuffersInUse", &MDS_CLIENT_PERFMON_STATS::poolBuffersInUse},
    {16, "PoolAllocations", &MDS_CLIENT_PERFMON_STATS::poolAllocations},
    {18, "PoolReleases", &MDS_CLIENT_PERFMON_STATS::poolReleases},
    {20, "PoolMemoryLimit", &MDS_CLIENT_PERFMON_STATS::poolMemoryLimit},
    {22, "PoolInitialLimit", &MDS_CLIENT_PERFMON_STATS::poolInitialLimit},
    {24, "QueueLength", &MDS_CLIENT_PERFMON_STATS::queueLength},
    {26, "MessagesQueued", &MDS_CLIENT_PERFMON_STATS::messagesQueued},
    {28, "MessagesDequeued", &MDS_CLIENT_PERFMON_STATS::messagesDequeued},
    {30, "BytesQueued", &MDS_CLIENT_PERFMON_STATS::bytesQueued},
    {32, "BytesDequeued", &MDS_CLIENT_PERFMON_STATS::bytesDequeued},
    {34, "QueueUtilisationPct", nullptr},
    {36, "MeanQueueDelayMs", &MDS_CLIENT_PERFMON_STATS::meanDelayMs},
    {38, "QueueDelay90thPctMs", &MDS_CLIENT_PERFMON_STATS::p90DelayMs},
};

std::vector<plat::CounterDef> CounterDefs() {
    std::vector<plat::CounterDef> defs;
    for (const CounterField& c : kCounters) defs.push_back({c.id, c.name});
    return defs;
}
}  // namespace

std::string PerfInstancePrefix(const std::string& instanceName) {
    const size_t at = instanceName.find("ZUR\\");
    if (at == std::string::npos) return instanceName;
    std::string prefix;
    for (char ch : instanceName.substr(at + 4)) {
        if (ch == ' ') continue;
        prefix += ch == '\\' ? '-' : ch;
    }
    return prefix;
}

void EstimateQueueDelay(uint32_t lambda, uint32_t mu, uint32_t n, MDS_CLIENT_PERFMON_STATS* s) {
    double rho = 0;
    if (n != 0) rho = mu == 0 ? (lambda > 0 ? 1.0 : 0.0) : static_cast<double>(lambda) / mu;
    double w;
    if (mu == 0)
        w = lambda > 0 ? 8.0 : 0.0;
    else if (rho > 1)
        w = n == 0 ? 8.0 : static_cast<double>(n) / mu;
    else if (rho == 0 || rho == 1)
        w = static_cast<double>(n) / mu;
    else
        w = 1.0 / (mu * (1.0 - rho));
    s->queueUtilisation = static_cast<float>(std::trunc(rho * 100));
    // The small bias keeps binary fractions (0.2 x 2.3 x 1000 = 459.999...) on their
    // decimal value before the integer part is taken.
    constexpr double kBias = 1e-6;
    s->meanDelayMs = static_cast<uint32_t>(w * 1000 + kBias);
    s->p90DelayMs = static_cast<uint32_t>(w * 2.3 * 1000 + kBias);
}

int CMDSClientPerfMonitor::Init(const char* clientName, const char* prefix, int objectIndex) {
    if (!clientName || !prefix) return 160;
    if (initialised_) return 0;
    clientName_ = clientName;
    prefix_ = prefix;
    objectIndex_ = objectIndex;
    (void)perfMon_.AddPO(static_cast<uint32_t>(objectIndex), CounterDefs());
    po_ = perfMon_.GetPO(static_cast<uint32_t>(objectIndex));
    if (!po_) {
        if (Trace(kTraceInitError))
            EMSTraceMessage("PerfMon init error: Error to get performance object.");
        plat::SetLastError(static_cast<uint32_t>(kPerfNotInitialized));
        return kPerfNotInitialized;
    }
    const std::string name = InstanceName();
    if (po_->AddInstance(name) != 0) {
        if (Trace(kTraceInitError))
            EMSTraceMessage("PerfMon init error: Error adding instance: %s.", name.c_str());
    } else if (!(instance_ = po_->GetInstance(name))) {
        if (Trace(kTraceInitError))
            EMSTraceMessage("PerfMon init error: Error getting instance: %s.", name.c_str());
    }
    if (!instance_) {
        if (Trace(kTraceInitError))
            EMSTraceMessage("PerfMon init error: Error to create performance instance.");
        (void)perfMon_.RemovePO(static_cast<uint32_t>(objectIndex));
        po_ = nullptr;
        plat::SetLastError(static_cast<uint32_t>(kPerfNotInitialized));
        return kPerfNotInitialized;
    }
    initialised_ = true;
    return 0;
}

int CMDSClientPerfMonitor::Update(const MDS_CLIENT_PERFMON_STATS& sample) {
    if (!initialised_ || !instance_) {
        plat::SetLastError(static_cast<uint32_t>(kPerfNotInitialized));
        return kPerfNotInitialized;
    }
    instance_->Counters().BeginSample();
    for (const CounterField& c : kCounters) {
        const uint32_t v = c.field ? sample.*(c.field)
                                   : static_cast<uint32_t>(sample.queueUtilisation);
        (void)instance_->UpdateCounter(c.id, static_cast<int32_t>(v));
    }
    instance_->Counters().EndSample();
    return 0;
}

int CMDSClientPerfMonitor::Remove() {
    if (!initialised_) return kPerfNotInitialized;
    (void)po_->RemoveInstance(InstanceName());
    (void)perfMon_.RemovePO(static_cast<uint32_t>(objectIndex_));
    po_ = nullptr;
    instance_ = nullptr;
    initialised_ = false;
    return 0;
}

CMdsLibPerfMon::~CMdsLibPerfMon() { CloseWatch(); }

void CMdsLibPerfMon::CloseWatch() {
    if (key_) plat::RegCloseKey(key_);
    key_ = nullptr;
    changed_.reset();
    watching_ = false;
}

int CMdsLibPerfMon::Init(const std::string& instanceName, const std::string& clientName) {
    instanceName_ = instanceName;
    clientName_ = clientName;
    if (!enabled_) return 0;
    std::lock_guard<std::mutex> g(mu_);
    if (counters_) return 1;
    auto counters = std::make_unique<CMDSClientPerfMonitor>();
    const std::string prefix = PerfInstancePrefix(instanceName);
    if (counters->Init(clientName.c_str(), prefix.c_str(), static_cast<int>(kPerfObjectIndex)) != 0) {
        EMSFailMessageLastError("Unable to initialize QoS performance counters.");
    }
    counters_ = std::move(counters);
    return 1;
}

uint32_t CMdsLibPerfMon::WatchRegistry(plat::RegKey root, const std::string& path) {
    if (watching_) return 0;
    changed_ = std::make_unique<plat::Event>(false, false);
    uint32_t e = plat::RegOpenKey(root, path.c_str(), &key_);
    if (e != 0) {
        key_ = nullptr;
        EMSTraceMessageStatus(e, "Error to open registry key for permon registry monitor.");
        changed_.reset();
        return e;
    }
    if ((e = plat::RegNotifyChangeKeyValue(key_, changed_.get())) != 0) {
        EMSTraceMessageStatus(e, "Error to install registry key notification service.");
        CloseWatch();
        return e;
    }
    watching_ = true;
    return 0;
}

int CMdsLibPerfMon::WaitForChange(plat::Event& stop, uint32_t intervalMs) {
    if (!watching_) {
        return stop.Wait(intervalMs) == plat::WAIT_OBJECT_0 ? 1 : 3;
    }
    const bool endless = intervalMs == plat::INFINITE;
    const int64_t deadline = endless ? 0 : plat::DeadlineAfterMs(intervalMs);
    for (;;) {
        uint32_t left = plat::INFINITE;
        if (!endless) {
            const int64_t leftNs = deadline - plat::MonotonicNs();
            left = leftNs <= 0 ? 0 : static_cast<uint32_t>((leftNs + 999999) / 1000000);
        }
        const uint32_t w = plat::WaitAny({changed_.get(), &stop}, left);
        if (w == plat::WAIT_OBJECT_0 + 1) return 1;
        if (w == plat::WAIT_TIMEOUT) return 2;
        if (w != plat::WAIT_OBJECT_0) {
            EMSTraceMessage("WaitForSingleObject failed.");
            return 3;
        }
        uint32_t e = plat::RegNotifyChangeKeyValue(key_, changed_.get());
        if (e != 0) {
            EMSTraceMessageStatus(e, "Error to install key notification service.");
            CloseWatch();
            return 3;
        }
        uint32_t value = 0, type = 0, size = sizeof value;
        if (plat::RegQueryValue(key_, "EnablePerformanceMonitor", &type, &value, &size) == 0 &&
            type == plat::REG_DWORD && size == sizeof value) {
            if (value != 0 && !enabled_) {
                if (Trace(kTraceThread)) EMSTraceMessage("MDS: Start perfmon reporting.");
                enabled_ = true;
                (void)Init(instanceName_, clientName_);
            } else if (value == 0 && enabled_) {
                if (Trace(kTraceThread)) EMSTraceMessage("MDS: Stop perfmon reporting.");
                (void)Stop();
            }
        }
        // Without an interval a change ends the wait, so that the caller can pick one.
        if (endless || plat::MonotonicNs() >= deadline) return 2;
    }
}

int CMdsLibPerfMon::Stop() {
    std::lock_guard<std::mutex> g(mu_);
    if (!enabled_) return 0;
    counters_.reset();
    enabled_ = false;
    return 1;
}

void CMdsLibPerfMon::Update(const MDS_CLIENT_PERFMON_STATS& sample) {
    std::lock_guard<std::mutex> g(mu_);
    if (enabled_ && counters_) (void)counters_->Update(sample);
}

MDS_CLIENT_PERFMON_STATS TakePerfSample(const MdsPerfSources& src) {
    MDS_CLIENT_PERFMON_STATS s{};
    BufferStats b{};
    b.version = BufferPool::kStatsVersion;
    if (src.pool && !src.pool->GetBufferStats(&b, true)) EMSFailMessage("GetBufferStats failed.");
    s.clientHandle = src.handle;
    s.messagesSent = src.sent ? src.sent->exchange(0) : 0;
    s.messagesReceived = src.received ? src.received->exchange(0) : 0;
    s.bytesSent = src.bytesSent ? src.bytesSent->exchange(0) : 0;
    s.bytesReceived = src.bytesReceived ? src.bytesReceived->exchange(0) : 0;
    QueueStats q{};
    q.version = MessageQueue::kStatsVersion;
    if (src.queue) (void)src.queue->GetQueueStats(&q);
    s.poolBytesInUse = b.bytesInUse;
    s.poolBuffersInUse = b.buffersOutstanding;
    s.poolAllocations = b.allocations;
    s.poolReleases = b.frees;
    s.poolMemoryLimit = b.currentLimit;
    s.poolInitialLimit = b.initialLimit;
    s.queueLength = q.count;
    s.messagesQueued = q.messagesPut;
    s.messagesDequeued = q.messagesGot;
    s.bytesQueued = q.bytesPut;
    s.bytesDequeued = q.bytesGot;
    EstimateQueueDelay(q.messagesPut, q.messagesGot, q.count, &s);
    return s;
}

namespace {
struct MonitorThread {
    CMdsLibPerfMon mon;
    plat::Event stop{true, false};
    std::thread thread;
    ~MonitorThread() {
        stop.Set();
        if (thread.joinable()) thread.join();
    }
};

void Run(MonitorThread* m, std::string path, MdsPerfSources src) {
    if (Trace(kTraceThread)) EMSTraceMessage("MDS: Performance Monitor thread started.");
    if (m->mon.WatchRegistry(plat::RegRoot(), path) != 0) {
        EMSTraceMessageLastError(
            "MDS: Unable to install dynamic registry watch for Performance Monitor.");
    } else {
        for (;;) {
            // While publishing is off nothing happens at the end of an interval, so the
            // thread waits for a change alone (and keeps no timer going).
            const bool wasEnabled = m->mon.Enabled();
            const int r = m->mon.WaitForChange(m->stop, wasEnabled ? 1000 : plat::INFINITE);
            if (r == 1 || r == 3) break;
            if (wasEnabled && m->mon.Enabled()) m->mon.Update(TakePerfSample(src));
        }
    }
    if (Trace(kTraceThread)) EMSTraceMessage("MDS: Performance Monitor thread terminating.");
}
}  // namespace

void StartMdsPerfMonitor(const std::string& instanceName, const std::string& clientName,
                         const MdsPerfSources& sources) {
    static std::once_flag once;
    std::call_once(once, [&] {
        static MonitorThread m;
        const std::string path = "SOFTWARE\\Quenlo Systems, Inc.\\" + instanceName +
                                 "\\MDS\\CurrentVersion\\Clients\\" + clientName;
        uint32_t value = 0, type = 0, size = sizeof value;
        plat::RegKeyHolder k;
        if (plat::RegOpenKey(plat::RegRoot(), path.c_str(), k.out()) == 0 &&
            plat::RegQueryValue(k.get(), "EnablePerformanceMonitor", &type, &value, &size) == 0 &&
            type == plat::REG_DWORD)
            m.mon.SetEnabled(value != 0);
        (void)m.mon.Init(instanceName, clientName);
        m.thread = std::thread(Run, &m, path, sources);
    });
}

}  // namespace mds
