// The application thread, its input queue with the service watch and the maintenance hold,
// the pool of queue entries, and the thread's turn: the stale-call audit and the no-client
// watch.
#include "parlo/app/appqueue.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "ctimsg/servicemask.h"
#include "nuvlib/ems.h"
#include "nuvlib/lockguard.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/appport.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/ctilock.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/meterids.h"
#include "parlo/model/agentconfig.h"
#include "parlo/model/call.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/opclink/opcwriters.h"
#include "parlo/session/session.h"
#include "platform/clock.h"

namespace {
constexpr int64_t kServiceTimeoutMs = 60000;
constexpr int64_t kWaitMs = 1000;
constexpr int64_t kIdleJoinMs = 300000;
constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerSecond = 1000000000;

int64_t CalendarSeconds() { return plat::RealtimeNs() / kNsPerSecond; }
}  // namespace

ApplicationQueue::ApplicationQueue(CTIApplication& app) : app_(app), m_StateTime(CalendarSeconds()) {}

// ---------------------------------------------------------------- the state

int ApplicationQueue::GetState() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_State;
}

void ApplicationQueue::SetState(int state) {
    std::lock_guard<std::mutex> hold(m_Lock);
    SetStateLocked(state);
}

void ApplicationQueue::SetStateLocked(int state) {
    m_State = state;
    m_StateTime = CalendarSeconds();
    SetInputEventLocked();
}

int64_t ApplicationQueue::GetStateTime() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_StateTime;
}

// ---------------------------------------------------------------- the thread

ApplicationQueue::ActiveSwitch ApplicationQueue::SwitchToActive() {
    std::lock_guard<std::mutex> hold(m_Lock);
    if (!m_ThreadRunning) return ActiveSwitch::StartNeeded;
    if (m_State == Standby) {
        // The running standby thread serves on; only the mode changes.
        SetStateLocked(Active);
        return ActiveSwitch::Switched;
    }
    return m_State == Active ? ActiveSwitch::AlreadyActive : ActiveSwitch::StartNeeded;
}

std::optional<int> ApplicationQueue::RunningState() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    if (!m_ThreadRunning) return std::nullopt;
    return m_State;
}

bool ApplicationQueue::IsThreadRunning() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_ThreadRunning;
}

int ApplicationQueue::StartThread(int active) {
    AppServerPort& port = GetAppServerPort();
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        if (m_ThreadRunning) return 0;
        SetStateLocked(active ? Active : Standby);
        m_ThreadRunning = true;
        m_StopThread = false;
        m_FailThread = false;
    }
    port.StartThread(kThreadName, ThreadMain, this);
    return 1;
}

unsigned ApplicationQueue::ThreadMain(void* argument) {
    auto* queue = static_cast<ApplicationQueue*>(argument);
    int active;
    {
        std::lock_guard<std::mutex> hold(queue->m_Lock);
        active = queue->m_State == Active ? 1 : 0;
    }
    queue->Run(active);
    return 0;
}


void ApplicationQueue::Run(int active) {
    AppServerPort& port = GetAppServerPort();
    port.InitUniqueID();
    m_NoClientWatch = NoClientWatch{};
    m_AuditBucket = 0;
    // The model's ports are installed once, before the application: read them once here.
    const bool haveCalls = model::GetPorts().server != nullptr;
    if (port.SetActivated(kThreadName, active) != 0) {
        ReportListenPorts(false, false);
        while (LoopGoesOn()) {
            int64_t t = plat::MonotonicNs();
            m_AuditBucket = haveCalls ? AuditBucket(m_AuditBucket) : 0;
            UpdateMeterSince(meter::AppAudit, t);
            t = plat::MonotonicNs();
            {
                // Auto-reset: a wake consumes the event; the wait is bounded so that a state
                // change is seen within a second.
                std::unique_lock<std::mutex> hold(m_Lock);
                plat::WaitUntil(m_Wake, hold, plat::DeadlineAfterMs(kWaitMs), [this] {
                    return m_InputEventSet || m_StopThread || m_FailThread;
                });
                m_InputEventSet = false;
            }
            UpdateMeterSince(meter::AppIdle, t);
            t = plat::MonotonicNs();
            (void)WatchNoClients(t / kNsPerMs);
            Drain();
            UpdateMeterSince(meter::AppWork, t);
        }
    }
    bool orderly;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        orderly = m_StopThread;
    }
    ReportListenPorts(true, orderly);
    SetState(Shutdown);
    OPCReq::ClearAll();
    port.ClearActivated(kThreadName);
    std::lock_guard<std::mutex> hold(m_Lock);
    m_ThreadRunning = false;
    m_Wake.notify_all();
}

bool ApplicationQueue::LoopGoesOn() {
    std::lock_guard<std::mutex> hold(m_Lock);
    return !m_StopThread && !m_FailThread && (m_State == Active || m_State == Standby);
}

void ApplicationQueue::Drain() {
    while (LoopGoesOn()) {
        ApplicationMSGPtr entry = DequeueInput();
        if (!entry) {
            // Client messages are served even while the queue is empty or held; a refused
            // frame does not end the turn, the frames behind it are served now.
            if (app_.ProcessSessionMessage() == CTIApplication::SessionInput::None) return;
            continue;
        }
        switch (entry->type) {
            case kClientInputMarker:
                (void)app_.ProcessSessionMessage();
                break;
            case kDeferredAgentsMarker:
                ApplyDeferredAgentConfig();
                break;
            case kMaintenanceMarker: {
                bool requested;
                {
                    std::lock_guard<std::mutex> hold(m_Lock);
                    requested = m_MaintenanceRequested;
                }
                if (requested) KeepOPCMsgsInQueue();
                break;
            }
            default: {
                UpdateMeterSince(meter::MessageQueue, entry->time);
                const int64_t u = plat::MonotonicNs();
                app_.ProcessOPCMessage(entry->type, static_cast<int>(entry->length), entry->buffer.data());
                UpdateMeterSince(meter::MessageProcessing, u);
                break;
            }
        }
        FreeApplicationMSG(std::move(entry));
        if (RecheckNoClients()) return;
    }
}

void ApplicationQueue::Stop(int reason) {
    std::deque<ApplicationMSGPtr> dropped;
    std::unique_lock<std::mutex> hold(m_Lock);
    if (m_ThreadRunning) {
        EMSTraceMessage("CTIApplication::Idle - stopping the application thread (reason %d).", reason);
        m_StopThread = true;
        SetInputEventLocked();
        if (!plat::WaitUntil(m_Wake, hold, plat::DeadlineAfterMs(kIdleJoinMs), [this] { return !m_ThreadRunning; }))
            EMSTraceMessage("CTIApplication::Idle - the application thread is still active after %d ms.",
                            static_cast<int>(kIdleJoinMs));
    }
    dropped.swap(m_InputQueue);
    m_KeepOPCMsgsInQueue = false;
    m_MaintenanceRequested = false;
    if (m_State != New) SetStateLocked(Shutdown);
}

void ApplicationQueue::FailThreadForTest() {
    std::lock_guard<std::mutex> hold(m_Lock);
    m_FailThread = true;
    SetInputEventLocked();
}

// ---------------------------------------------------------------- producers

void ApplicationQueue::ProcessOPCInput(int type, int length, const uint8_t* data) {
    if (length < 0 || (length > 0 && data == nullptr)) return;
    bool inService;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        inService = m_State == Active || m_State == Standby;
    }
    if (!inService) {
        app_.ProcessOPCMessage(type, length, data);
        return;
    }
    ValidateAndQueueOPCInput(AllocApplicationMSG(type, static_cast<uint32_t>(length), data));
}

void ApplicationQueue::ValidateAndQueueOPCInput(ApplicationMSGPtr entry) {
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        const int64_t elapsedMs = (plat::MonotonicNs() - m_InputQueueServiceTime) / kNsPerMs;
        if (!m_InputQueue.empty() && elapsedMs > kServiceTimeoutMs)
            EMSFailMessage("*** CTIApplication::ValidateAndQueueOPCInput service timeout, %d ms, %d messages "
                           "queued. ***",
                           static_cast<int>(elapsedMs), static_cast<int>(m_InputQueue.size()));
    }
    QueueOPCInput(std::move(entry));
}

void ApplicationQueue::QueueOPCInput(ApplicationMSGPtr entry) {
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_InputQueue.empty()) m_InputQueueServiceTime = plat::MonotonicNs();
    m_InputQueue.push_back(std::move(entry));
    SetInputEventLocked();
}

void ApplicationQueue::QueueApplicationMSG(int marker) {
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        if (!m_ThreadRunning) return;  // nobody would take it
    }
    QueueOPCInput(AllocApplicationMSG(marker, 0, nullptr));
}

ApplicationQueue::ApplicationMSGPtr ApplicationQueue::DequeueInput() {
    std::lock_guard<std::mutex> hold(m_Lock);
    if (!m_KeepOPCMsgsInQueue) {
        m_InputQueueServiceTime = plat::MonotonicNs();
        if (!m_InputQueue.empty()) {
            ApplicationMSGPtr entry = std::move(m_InputQueue.front());
            m_InputQueue.pop_front();
            return entry;
        }
    }
    m_InputEventSet = false;
    return nullptr;
}

void ApplicationQueue::ResetInputEvent() {
    // The session layer resets the shared event when its own queue is empty; an entry this
    // queue can hand out (one just released from a hold, say) keeps it set, or its wake-up
    // would be lost until the next bounded wait ends.
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_InputQueue.empty() || m_KeepOPCMsgsInQueue) m_InputEventSet = false;
}

// ---------------------------------------------------------------- maintenance

void ApplicationQueue::QueueMaintenanceRequest() {
    bool running;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_MaintenanceRequested = true;
        running = m_ThreadRunning;
    }
    if (running) {
        QueueOPCInput(AllocApplicationMSG(kMaintenanceMarker, 0, nullptr));
    } else {
        // No thread to take the marker: hold at once, OPC input then queues until released.
        KeepOPCMsgsInQueue();
    }
}

void ApplicationQueue::KeepOPCMsgsInQueue() {
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_KeepOPCMsgsInQueue = true;
    }
    EMSTraceMessage("CTIApplication::KeepOPCMsgsInQueue - MaintenanceMode Keeping messages in OPC input "
                    "queue until next notification form OPC");
}

void ApplicationQueue::ProcessOPCMsgsFromQueue() {
    std::deque<ApplicationMSGPtr> released;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_KeepOPCMsgsInQueue = false;
        // The request is answered: a -3 the thread has not reached yet must not hold again.
        m_MaintenanceRequested = false;
        if (m_ThreadRunning) {
            SetInputEventLocked();
        } else {
            released.swap(m_InputQueue);
        }
    }
    EMSTraceMessage("CTIApplication::ProcessOPCMsgsFromQueue - MaintenanceMode Starting to process the "
                    "queued OPC messages");
    // Without a thread the held entries run here, in their order.
    for (auto& entry : released) {
        if (entry->type >= 0)
            app_.ProcessOPCMessage(entry->type, static_cast<int>(entry->length), entry->buffer.data());
        FreeApplicationMSG(std::move(entry));
    }
}

bool ApplicationQueue::IsMaintenanceHold() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_MaintenanceRequested || m_KeepOPCMsgsInQueue;
}

bool ApplicationQueue::IsKeepingOPCMsgsInQueue() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_KeepOPCMsgsInQueue;
}

size_t ApplicationQueue::InputQueueCount() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_InputQueue.size();
}

// ---------------------------------------------------------------- the pool

ApplicationQueue::ApplicationMSGPtr ApplicationQueue::AllocApplicationMSG(int type, uint32_t length,
                                                                      const uint8_t* data) {
    ApplicationMSGPtr entry;
    size_t size;
    {
        std::lock_guard<std::mutex> hold(m_PoolLock);
        m_LargestApplicationMSG = std::max<size_t>(m_LargestApplicationMSG, length);
        size = m_LargestApplicationMSG;
        if (!m_FreeApplicationMSGs.empty()) {
            entry = std::move(m_FreeApplicationMSGs.back());
            m_FreeApplicationMSGs.pop_back();
        }
    }
    if (!entry) entry = std::make_unique<ApplicationMSG>();
    entry->type = type;
    entry->length = length;
    // Every buffer grows to the largest message seen, so a reused entry never reallocates
    // for a message no longer than the longest so far.
    if (entry->buffer.size() < size) entry->buffer.resize(size);
    if (length > 0) std::memcpy(entry->buffer.data(), data, length);
    entry->time = plat::MonotonicNs();
    return entry;
}

void ApplicationQueue::FreeApplicationMSG(ApplicationMSGPtr entry) {
    if (!entry) return;
    std::lock_guard<std::mutex> hold(m_PoolLock);
    m_FreeApplicationMSGs.push_back(std::move(entry));
}

size_t ApplicationQueue::FreeApplicationMSGCount() {
    std::lock_guard<std::mutex> hold(m_PoolLock);
    return m_FreeApplicationMSGs.size();
}

size_t ApplicationQueue::SmallestFreeBuffer() {
    std::lock_guard<std::mutex> hold(m_PoolLock);
    size_t least = SIZE_MAX;
    for (const auto& e : m_FreeApplicationMSGs) least = std::min(least, e->buffer.size());
    return m_FreeApplicationMSGs.empty() ? 0 : least;
}


// Agent records held back while ACTIVE, once their 3-second timer has run out; the table takes
// the server lock itself.
void ApplicationQueue::ApplyDeferredAgentConfig() {
    // Without the object model's ports nothing can have been held back (the queue alone).
    if (model::GetPorts().server == nullptr) return;
    AgentConfig::ApplyDeferred();
}

// ---------------------------------------------------------------- the turn's checks

uint32_t ApplicationQueue::RegistryDynamic(int value, uint32_t fallback) const {
    return m_Registry != nullptr ? m_Registry->Dynamic(static_cast<CTIRegistry::DynamicValue>(value)) : fallback;
}

int ApplicationQueue::AuditStaleCalls(int bucket) {
    // Without the object model's ports there is no call table to audit.
    if (model::GetPorts().server == nullptr) return (bucket + 1) % Call::kHashBuckets;
    return AuditBucket(bucket);
}

int ApplicationQueue::AuditBucket(int bucket) {
    if (bucket < 0 || bucket >= Call::kHashBuckets) bucket = 0;
    const auto timeout = static_cast<int>(
        std::min<uint32_t>(RegistryDynamic(CTIRegistry::CallEventTimeout, 3600), INT32_MAX));
    Call* call = Call::FindStaleCall(bucket, timeout);
    if (call == nullptr) return (bucket + 1) % Call::kHashBuckets;
    if (call->IsPrivate()) {
        call->SetLastEvent("ValidationSkipped");
    } else {
        const uint32_t invokeID = GetAppServerPort().GetUniqueID();
        // A link that is down loses the request; the call is stamped all the same and comes
        // up again after the timeout.
        (void)SendValidateCallReq(invokeID, call->m_PeripheralID, call->m_CallID, call->m_SrcDeviceIDType,
                                  call->m_SrcDeviceID, call->m_DestDeviceIDType, call->m_DestDeviceID,
                                  call->GetAgentID(), call->IsActive() ? 1 : 0);
        call->SetLastEvent("ValidateReq");
    }
    // The same bucket next turn: it may hold further stale calls.
    return bucket;
}

ApplicationQueue::NoClientOutcome ApplicationQueue::NoClientWatch::Step(const NoClientInput& in,
                                                                    int32_t& elapsedSeconds) {
    bool watch = false;
    if (in.duplex) {
        if (in.noSessions && in.active)
            watch = true;
        else
            watch = in.noClientConnection && in.active;
    }
    if (!watch || in.timeoutSeconds <= 0) {
        timing = false;
        return NoClientOutcome::Reset;
    }
    if (!timing) {
        timing = true;
        startMs = in.nowMs;
        return NoClientOutcome::StartTiming;
    }
    const int64_t elapsedMs = in.nowMs - startMs;
    if (elapsedMs < int64_t{in.timeoutSeconds} * 1000) return NoClientOutcome::Timing;
    elapsedSeconds = static_cast<int32_t>(std::min<int64_t>(elapsedMs / 1000, INT32_MAX));
    timing = false;
    return NoClientOutcome::Report;
}

bool ApplicationQueue::WatchNoClients(int64_t nowMs) {
    AppServerPort& server = GetAppServerPort();
    NoClientInput in;
    in.duplex = server.GetDuplex() != 0;
    in.active = IsActive();
    in.noSessions = SessionProtocol::SessionsNow() == 0;
    // The client test walks the records: only when its answer can matter.
    in.noClientConnection = in.duplex && in.active && !in.noSessions && NoClientConnection();
    in.timeoutSeconds = static_cast<int32_t>(
        std::min<uint32_t>(RegistryDynamic(CTIRegistry::NoClientConnectionsTimeout, 60), INT32_MAX));
    in.nowMs = nowMs;
    int32_t elapsed = 0;
    switch (m_NoClientWatch.Step(in, elapsed)) {
        case NoClientOutcome::Reset:
            server.SetFailoverReported(0);
            return false;
        case NoClientOutcome::Report:
            ReportNoClients(elapsed);
            return true;
        default:
            return false;
    }
}

void ApplicationQueue::ReportNoClients(int32_t elapsedSeconds) {
    char text[128];
    (void)BoundedSprintf(text, sizeof text,
                         "No client sessions connected for more than %d seconds, server may be unreachable.",
                         static_cast<int>(elapsedSeconds));
    EMSEvent0I1S(0x212E000F, 0, 0, text);
    m_NoClientWatch.timing = false;
    GetAppServerPort().ReportFailure("NO_CLIENT_CONNECTED");
    GetAppServerPort().SetFailoverReported(1);
}

bool ApplicationQueue::RecheckNoClients() {
    if (RegistryDynamic(CTIRegistry::NICStatusBasedFailover, 0) == 0 || !m_NoClientWatch.timing || !IsActive())
        return false;
    if (GetAppServerPort().GetDuplex() == 0 || !NoClientConnection()) {
        EMSTraceMessage("Network has recovered back, Parlo will not failover");
        return false;
    }
    const auto timeout = static_cast<int32_t>(
        std::min<uint32_t>(RegistryDynamic(CTIRegistry::NoClientConnectionsTimeout, 60), INT32_MAX));
    if (timeout <= 0) return false;
    const int64_t elapsedMs = plat::MonotonicNs() / kNsPerMs - m_NoClientWatch.startMs;
    if (elapsedMs >= int64_t{timeout} * 1000) {
        ReportNoClients(static_cast<int32_t>(std::min<int64_t>(elapsedMs / 1000, INT32_MAX)));
        return true;
    }
    EMSTraceMessage("Processing Application Messages until failover...");
    return false;
}

bool ApplicationQueue::NoClientConnection() {
    // The public interface's status is not watched on this platform: the clients decide.
    SessionProtocol* master = SessionProtocol::Master();
    // Without the object model's ports no client record can exist.
    if (master == nullptr || model::GetPorts().server == nullptr) return true;
    model::ServerLockGuard server(model::ServerLock());
    LockGuard<CTILockObject> sessions(master->SessionLock(), "CTIApplication::NoClientConnection");
    int count = 0;
    for (SessionProtocol* s : SessionProtocol::AllSessions()) {
        const ClientCB* client = ClientCB::Find(s->GetSessionID());
        if (client == nullptr) continue;
        ++count;
        if (client->GetServiceMask() & servicemask::WEXA) {
            if (client->GetWEXANumClients() != 0) return false;
            --count;
        }
        if (client->GetClientID() == "QUENLOFostrel") {
            if (client->GetFOSTRELNumClients() > 0) return false;
            --count;
        }
        if (client->GetClientID() == "QUENLOHarnix") {
            if (client->GetHARNIXNumClients() > 0) return false;
            --count;
        }
        if (client->GetClientID().find("Mobrel Enterprise Server") != std::string::npos) --count;
        if (client->GetClientID().find("Quillet") != std::string::npos) --count;
    }
    return count < 1;
}

void ApplicationQueue::ReportListenPorts(bool end, bool orderly) {
    const std::string plain = std::to_string(TransportProtocol::sm_ListenPort);
    const std::string host = app_.HostName();
    if (end) {
        EMSEvent0I3S(0xA12EC006, 0, 0, plain.c_str(), host.c_str(), orderly ? "command" : "error");
        return;
    }
    const uint32_t mode = TransportProtocol::sm_SecurityMode;
    if (mode == 0) EMSEvent0I2S(0x612EC005, 0, 0, plain.c_str(), host.c_str());
    if (mode == 0 || mode == 1)
        EMSEvent0I2S(0x612EC005, 0, 0, std::to_string(TransportProtocol::sm_ListenSecurePort).c_str(), host.c_str());
}
