// The application thread, its input queue with the service watch and the maintenance hold,
// and the pool of queue entries.
#include <algorithm>
#include <cstring>

#include "nuvlib/ems.h"
#include "parlo/app/appport.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/model/agentconfig.h"
#include "parlo/model/ports.h"
#include "platform/clock.h"

namespace {
constexpr int kClientInputMarker = -1, kDeferredAgentsMarker = -2, kMaintenanceMarker = -3;
constexpr int64_t kServiceTimeoutMs = 60000;
constexpr int64_t kWaitMs = 1000;
constexpr int64_t kIdleJoinMs = 300000;
constexpr int64_t kNsPerMs = 1000000;
}  // namespace

// ---------------------------------------------------------------- the thread

void CTIApplication::Run(int active) {
    AppServerPort* port = GetAppServerPort();
    port->InitUniqueID();
    if (port->SetActivated(kThreadName, active) != 0) {
        while (LoopGoesOn()) {
            {
                // Auto-reset: a wake consumes the event; the wait is bounded so that a state
                // change is seen within a second.
                std::unique_lock<std::mutex> hold(m_Lock);
                plat::WaitUntil(m_Wake, hold, plat::DeadlineAfterMs(kWaitMs), [this] {
                    return m_InputEventSet || m_StopThread || m_FailThread;
                });
                m_InputEventSet = false;
            }
            Drain();
        }
    }
    port->ClearActivated(kThreadName);
    std::lock_guard<std::mutex> hold(m_Lock);
    m_ThreadRunning = false;
    m_Wake.notify_all();
}

bool CTIApplication::LoopGoesOn() {
    std::lock_guard<std::mutex> hold(m_Lock);
    return !m_StopThread && !m_FailThread && (m_State == Active || m_State == Standby);
}

void CTIApplication::Drain() {
    while (LoopGoesOn()) {
        ApplicationMSGPtr entry = DequeueInput();
        if (!entry) {
            // Client messages are served even while the queue is empty or held.
            if (ProcessSessionMessage() == 0) return;
            continue;
        }
        switch (entry->type) {
            case kClientInputMarker:
                (void)ProcessSessionMessage();
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
            default:
                ProcessOPCMessage(entry->type, static_cast<int>(entry->length), entry->buffer.data());
                break;
        }
        FreeApplicationMSG(std::move(entry));
    }
}

void CTIApplication::Idle(int reason) {
    // The clients go first, while the thread still takes their closes.
    (void)SessionProtocol::Close(static_cast<uint32_t>(reason));
    std::deque<ApplicationMSGPtr> dropped;
    {
        std::unique_lock<std::mutex> hold(m_Lock);
        if (m_ThreadRunning) {
            EMSTraceMessage("CTIApplication::Idle - stopping the application thread (reason %d).", reason);
            m_StopThread = true;
            SetInputEventLocked();
            if (!plat::WaitUntil(m_Wake, hold, plat::DeadlineAfterMs(kIdleJoinMs),
                                 [this] { return !m_ThreadRunning; }))
                EMSTraceMessage("CTIApplication::Idle - the application thread is still active after %d ms.",
                                static_cast<int>(kIdleJoinMs));
        }
        dropped.swap(m_InputQueue);
        m_KeepOPCMsgsInQueue = false;
        m_MaintenanceRequested = false;
        if (m_State != New) m_State = Shutdown;
    }
}

void CTIApplication::FailThreadForTest() {
    std::lock_guard<std::mutex> hold(m_Lock);
    m_FailThread = true;
    SetInputEventLocked();
}

// ---------------------------------------------------------------- producers

void CTIApplication::ProcessOPCInput(int type, int length, const uint8_t* data) {
    if (length < 0 || (length > 0 && data == nullptr)) return;
    bool inService;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        inService = m_State == Active || m_State == Standby;
    }
    if (!inService) {
        ProcessOPCMessage(type, length, data);
        return;
    }
    ValidateAndQueueOPCInput(AllocApplicationMSG(type, static_cast<uint32_t>(length), data));
}

void CTIApplication::ValidateAndQueueOPCInput(ApplicationMSGPtr entry) {
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

void CTIApplication::QueueOPCInput(ApplicationMSGPtr entry) {
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_InputQueue.empty()) m_InputQueueServiceTime = plat::MonotonicNs();
    m_InputQueue.push_back(std::move(entry));
    SetInputEventLocked();
}

void CTIApplication::QueueApplicationMSG(int marker) {
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        if (!m_ThreadRunning) return;  // nobody would take it
    }
    QueueOPCInput(AllocApplicationMSG(marker, 0, nullptr));
}

CTIApplication::ApplicationMSGPtr CTIApplication::DequeueInput() {
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

void CTIApplication::ResetInputEvent() {
    // The session layer resets the shared event when its own queue is empty; an entry this
    // queue can hand out (one just released from a hold, say) keeps it set, or its wake-up
    // would be lost until the next bounded wait ends.
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_InputQueue.empty() || m_KeepOPCMsgsInQueue) m_InputEventSet = false;
}

// ---------------------------------------------------------------- maintenance

void CTIApplication::QueueMaintenanceRequest() {
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

void CTIApplication::KeepOPCMsgsInQueue() {
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_KeepOPCMsgsInQueue = true;
    }
    EMSTraceMessage("CTIApplication::KeepOPCMsgsInQueue - MaintenanceMode Keeping messages in OPC input "
                    "queue until next notification form OPC");
}

void CTIApplication::ProcessOPCMsgsFromQueue() {
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
            ProcessOPCMessage(entry->type, static_cast<int>(entry->length), entry->buffer.data());
        FreeApplicationMSG(std::move(entry));
    }
}

bool CTIApplication::IsMaintenanceHold() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_MaintenanceRequested || m_KeepOPCMsgsInQueue;
}

bool CTIApplication::IsKeepingOPCMsgsInQueue() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_KeepOPCMsgsInQueue;
}

size_t CTIApplication::InputQueueCount() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_InputQueue.size();
}

// ---------------------------------------------------------------- the pool

CTIApplication::ApplicationMSGPtr CTIApplication::AllocApplicationMSG(int type, uint32_t length,
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

void CTIApplication::FreeApplicationMSG(ApplicationMSGPtr entry) {
    if (!entry) return;
    std::lock_guard<std::mutex> hold(m_PoolLock);
    m_FreeApplicationMSGs.push_back(std::move(entry));
}

size_t CTIApplication::FreeApplicationMSGCount() {
    std::lock_guard<std::mutex> hold(m_PoolLock);
    return m_FreeApplicationMSGs.size();
}

size_t CTIApplication::SmallestFreeBuffer() {
    std::lock_guard<std::mutex> hold(m_PoolLock);
    size_t least = SIZE_MAX;
    for (const auto& e : m_FreeApplicationMSGs) least = std::min(least, e->buffer.size());
    return m_FreeApplicationMSGs.empty() ? 0 : least;
}


// Agent records held back while ACTIVE, once their 3-second timer has run out; the table takes
// the server lock itself.
void CTIApplication::ApplyDeferredAgentConfig() {
    // Without the object model's ports nothing can have been held back (the queue alone).
    if (model::GetPorts().server == nullptr) return;
    AgentConfig::ApplyDeferred();
}
