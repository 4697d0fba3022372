#pragma once
// ApplicationQueue: the application thread and its input queue. The queue holds OPC input
// (copied, with its ServerNumber word) and markers; the thread drains it and the session
// layer's client input, audits stale calls and watches for a side without clients. The
// application's state lives here too: one lock guards the state, the queue and the thread's
// flags, so that a state change and the thread's wake-up are one step.
//
// Threads: the producers (the server's OPC reader, the session layer) call from any thread;
// the drain, the audit and the watch run on the application thread only.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class CTIApplication;
class CTIRegistry;

class ApplicationQueue {
public:
    // Application states; in service means Active or Standby.
    enum State : int { New = 0, Configured = 1, Active = 2, Shutdown = 3, Standby = 4 };
    static constexpr const char* kThreadName = "CTI Application Thread";
    // Markers in the queue: client input waits in the session layer, deferred agent records
    // are due, a maintenance request.
    static constexpr int kClientInputMarker = -1, kDeferredAgentsMarker = -2, kMaintenanceMarker = -3;

    // `app` serves what the thread dispatches; it owns this queue and outlives its thread.
    explicit ApplicationQueue(CTIApplication& app);
    ApplicationQueue(const ApplicationQueue&) = delete;
    ApplicationQueue& operator=(const ApplicationQueue&) = delete;

    // The registry the thread reads its Dynamic values from at the moment of use (defaults
    // without one); it outlives the queue.
    void SetRegistry(CTIRegistry* registry) { m_Registry = registry; }

    // ---- the state ----
    int GetState() const;
    // Sets the state and the calendar second it was set; wakes the thread.
    void SetState(int state);
    int64_t GetStateTime() const;  // calendar seconds
    bool IsActive() const { return GetState() == Active; }

    // ---- the thread ----
    // What Activate finds, in one step under the lock: a running standby thread switched to
    // Active (Switched), a running active thread (AlreadyActive), or neither (StartNeeded).
    enum class ActiveSwitch { Switched, AlreadyActive, StartNeeded };
    [[nodiscard]] ActiveSwitch SwitchToActive();
    // The state of the running thread, or none when no thread runs.
    [[nodiscard]] std::optional<int> RunningState() const;
    // Sets the state (Active or Standby) and starts the thread through the server's thread
    // manager. 1, or 0 when a thread runs already.
    [[nodiscard]] int StartThread(int active);
    // Stops the thread and waits for its end, at most 300000 ms on the clock, then drops the
    // queue and the hold; the state becomes Shutdown (New stays New). A thread still running
    // then is traced and left.
    void Stop(int reason);
    bool IsThreadRunning() const;
    // Tests: ends the thread as if it had failed (no shutdown asked for).
    void FailThreadForTest();

    // ---- producers ----
    // OPC input (the payload with its ServerNumber word): dispatched at once on the calling
    // thread while not in service, else copied into the queue for the thread.
    void ProcessOPCInput(int type, int length, const uint8_t* data);
    // A marker for the thread (kClientInputMarker, kDeferredAgentsMarker); dropped while no
    // thread runs.
    void QueueApplicationMSG(int marker);
    // The session layer's reset of the shared input event (under its queue lock); kept set
    // while this queue holds an entry it would hand out.
    void ResetInputEvent();

    // ---- maintenance ----
    // The request queues kMaintenanceMarker, on which the thread holds OPC input (and any
    // marker after it) in the queue while it still serves client messages; without a thread the hold
    // starts at once. ProcessOPCMsgsFromQueue releases them, in their order (run here when no
    // thread runs).
    void QueueMaintenanceRequest();
    void ProcessOPCMsgsFromQueue();
    // A maintenance request is pending or the queue is held.
    bool IsMaintenanceHold() const;
    bool IsKeepingOPCMsgsInQueue() const;

    // ---- looking in (tests, dumps) ----
    size_t InputQueueCount() const;
    size_t FreeApplicationMSGCount();
    // The capacity of the smallest buffer of the pool's free list (0 when empty).
    size_t SmallestFreeBuffer();
    // The input event's identity for the dump.
    const void* EventHandle() const { return &m_Wake; }

    // ---- the thread's turn ----
    // One turn's stale-call audit of the call-hash bucket `bucket` (0..255): a stale call is
    // validated with the OPC (a private one only stamped) and the same bucket is returned;
    // without one the next bucket. Application thread.
    [[nodiscard]] int AuditStaleCalls(int bucket);
    // The no-client watch's decision for one turn, from what the turn saw.
    struct NoClientInput {
        bool duplex = false;
        bool noSessions = false;         // the session layer holds no session at all
        bool active = false;             // the application is Active
        bool noClientConnection = false; // no counting client (or the interface is down)
        int32_t timeoutSeconds = 60;     // NoClientConnectionsTimeout
        int64_t nowMs = 0;
    };
    enum class NoClientOutcome { Reset, StartTiming, Timing, Report };
    struct NoClientWatch {
        bool timing = false;
        int64_t startMs = 0;
        // Moves the watch one turn; on Report `elapsedSeconds` is set and timing stops.
        [[nodiscard]] NoClientOutcome Step(const NoClientInput& in, int32_t& elapsedSeconds);
    };
    // Whether the session layer's clients count as none (the client test of the no-client
    // rule, over the client records; object servers without clients behind them do not
    // count). Takes the server lock, then the session master's.
    static bool NoClientConnection();

private:
    // One entry: an OPC message (its data with the ServerNumber word) or a marker.
    struct ApplicationMSG {
        int type = 0;
        uint32_t length = 0;
        std::vector<uint8_t> buffer;  // only grows while the entry is reused
        int64_t time = 0;             // monotonic ns when taken from the pool
    };
    using ApplicationMSGPtr = std::unique_ptr<ApplicationMSG>;

    static unsigned ThreadMain(void* argument);
    void Run(int active);
    [[nodiscard]] bool LoopGoesOn();  // in service and not told to stop
    void Drain();
    // The pool of entries: the buffer of a reused entry only grows.
    ApplicationMSGPtr AllocApplicationMSG(int type, uint32_t length, const uint8_t* data);
    void FreeApplicationMSG(ApplicationMSGPtr entry);
    // OPC input, with the 60000 ms service watch; markers skip the watch.
    void ValidateAndQueueOPCInput(ApplicationMSGPtr entry);
    void QueueOPCInput(ApplicationMSGPtr entry);
    // The head entry unless the queue is held; with nothing to hand out the input event is
    // reset under the queue lock, so a set racing this call is never lost.
    ApplicationMSGPtr DequeueInput();
    void KeepOPCMsgsInQueue();
    void ApplyDeferredAgentConfig();
    void SetStateLocked(int state);  // m_Lock held
    void SetInputEventLocked() { m_InputEventSet = true; m_Wake.notify_all(); }
    // Registry values read at the moment of use (defaults without a registry).
    uint32_t RegistryDynamic(int value, uint32_t fallback) const;
    int AuditBucket(int bucket);  // AuditStaleCalls once the call table is known to exist
    // One turn of the no-client watch; true when it reported.
    [[nodiscard]] bool WatchNoClients(int64_t nowMs);
    // The drain's re-check of the network after each entry; true when it reported.
    [[nodiscard]] bool RecheckNoClients();
    void ReportNoClients(int32_t elapsedSeconds);
    void ReportListenPorts(bool end, bool orderly);

    CTIApplication& app_;
    CTIRegistry* m_Registry = nullptr;
    NoClientWatch m_NoClientWatch;
    int m_AuditBucket = 0;

    // Guards the state, the queue, its service time, the hold flags and the event.
    mutable std::mutex m_Lock;
    std::condition_variable m_Wake;
    int m_State = New;
    int64_t m_StateTime = 0;  // calendar seconds
    bool m_ThreadRunning = false;
    bool m_StopThread = false;
    bool m_FailThread = false;
    bool m_InputEventSet = false;  // the auto-reset input event
    bool m_KeepOPCMsgsInQueue = false;
    bool m_MaintenanceRequested = false;
    int64_t m_InputQueueServiceTime = 0;  // monotonic ns
    std::deque<ApplicationMSGPtr> m_InputQueue;

    std::mutex m_PoolLock;  // "AppMsgLock": never held with m_Lock
    std::vector<ApplicationMSGPtr> m_FreeApplicationMSGs;
    size_t m_LargestApplicationMSG = 0;
};
