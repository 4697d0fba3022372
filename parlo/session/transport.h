#pragma once
// TransportProtocol: the TCP layer under the CTI session layer. The master owns the plain
// and TLS listen sockets, the poster thread (one epoll loop over every socket) and the
// socket table; every accepted connection is one more TransportProtocol object, made by
// the master's CreateConnection. It knows nothing of CTI contents. Beside the poster, the
// master runs writer threads, each serving its own share of the connections: a fan-out
// hands one frame to many connections by reference (SharedPost) or a message to one
// (PostMSG), and the writers send each connection's messages in batches, one writev for
// several, in the order they were given.
//
// The session layer sits on it by deriving and overriding the virtual events below:
//   CreateConnection / DeleteConnection  a connection accepted / to be destroyed
//   ProcessReadEvent                     bytes are waiting: read them with RecvBytes/RecvMSG
//   ProcessWriteEvent                    the socket takes more: continue with SendMSG(nullptr)
//   ProcessExceptionEvent(cause)         a socket error or hang-up was reported
//   ProcessFailureEvent(cause)           the connection failed (0 peer closed, 17 overflow or
//                                        not open, 37 receive/send error)
//   GetMaxQueuedMessages, Lock/Unlock/IsLocked, GetSessionID, GetClientID
// The poster thread calls the events with the connection's lock held (through the virtual
// Lock); the failure event is called with that hold handed back, so a handler may delete
// or close the connection's queue without a second release.
#include <sys/socket.h>
#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "parlo/common/ctilock.h"
#include "parlo/session/sslchannel.h"

class CTIRegistry;
class SharedFrame;
class TransportProtocol;
struct WriterLane;

// The largest CTI message the transport carries (body and header).
constexpr int32_t TRANSPORT_MAX_MSG = 12628;
// The largest client frame: the 8-byte header and a body of up to TRANSPORT_MAX_MSG bytes.
constexpr int32_t TRANSPORT_MAX_FRAME = TRANSPORT_MAX_MSG + 8;

// One message buffer, sized to its message (at most TRANSPORT_MAX_MSG bytes). The bytes may
// be shared, read-only, by the copies of one distributed frame (ShareBytes): writing through
// Buffer() or Position() first gives this message bytes of its own.
class TransportMSG {
public:
    explicit TransportMSG(int32_t length = 0);
    virtual ~TransportMSG();
    TransportMSG(const TransportMSG&) = delete;
    TransportMSG& operator=(const TransportMSG&) = delete;

    // The CTI message type (0 here; the session message answers its own).
    virtual uint32_t GetMsgType() const { return 0; }
    // A message of the same kind sharing these bytes, to send on its own (a connection that
    // must queue a frame it was given by reference); null when no memory for it.
    [[nodiscard]] virtual std::unique_ptr<TransportMSG> CopySharing() const;

    // Sizes the buffer to `size` and copies `data` when given; 1, or 0 (traced) for a size
    // above TRANSPORT_MAX_MSG or below 0, the message then unchanged.
    [[nodiscard]] int InitBuffer(int32_t size, const uint8_t* data);
    // The same for a client frame, up to TRANSPORT_MAX_FRAME bytes.
    [[nodiscard]] int InitFrame(int32_t size, const uint8_t* data);
    // Takes the bytes of `source` without copying them: length and remaining are the
    // source's length, the position at the start. Neither message may write them afterwards
    // without getting its own (Buffer() and Position() see to that).
    void ShareBytes(const TransportMSG& source);
    void Advance(int32_t n) {
        m_Remaining -= n;
        m_Position += n;
    }
    void SetRemaining(int32_t n) { m_Remaining = n; }
    // Marks that part of the message is on the wire: it must go out next, whole.
    void SetPartlySent() { m_PartlySent = 1; }

    // Writable bytes: a shared buffer is copied first.
    uint8_t* Buffer() { return Unshared(); }
    uint8_t* Position() { return Unshared() + m_Position; }
    // Read-only views, never copying.
    const uint8_t* Bytes() const { return m_Bytes.get(); }
    const uint8_t* SendPosition() const { return m_Bytes.get() + m_Position; }
    // Whether another message holds the same bytes.
    bool SharesBytes() const { return m_Bytes.use_count() > 1; }
    int32_t Length() const { return m_Length; }
    int32_t Remaining() const { return m_Remaining; }
    uint32_t MessageID() const { return m_MessageID; }
    uint32_t SendAttempts() const { return m_SendAttempts; }
    bool PartlySent() const { return m_PartlySent != 0; }
    // Monotonic ns the message was received or made; the transmit-delay meter reads it.
    int64_t TimeStamp() const { return m_TimeStamp; }

    // Messages made and not yet destroyed, process-wide.
    static uint32_t LiveCount();

private:
    friend class TransportProtocol;
    [[nodiscard]] int Resize(int32_t size, int32_t limit, const uint8_t* data);
    uint8_t* Unshared();
    std::shared_ptr<uint8_t[]> m_Bytes;
    int32_t m_Position = 0;
    int32_t m_Length = 0;
    int32_t m_Remaining = 0;
    uint32_t m_MessageID = 0;
    uint32_t m_SendAttempts = 0;
    uint32_t m_PartlySent = 0;
    int64_t m_TimeStamp = 0;
};

// One encoded frame that many connections send unchanged: they hold references to it, not
// copies. Immutable once made; the last reference frees it.
class SharedFrame {
public:
    // Takes `frame` with one reference, the caller's.
    [[nodiscard]] static SharedFrame* Make(std::unique_ptr<TransportMSG> frame);
    SharedFrame(const SharedFrame&) = delete;
    SharedFrame& operator=(const SharedFrame&) = delete;
    void AddReferences(int32_t count) { m_References.fetch_add(count, std::memory_order_relaxed); }
    // Drops `count` references; the last one frees the frame.
    void Release(int32_t count = 1);
    const TransportMSG& Frame() const { return *m_Frame; }

private:
    explicit SharedFrame(std::unique_ptr<TransportMSG> frame) : m_Frame(std::move(frame)) {}
    ~SharedFrame() = default;
    std::atomic<int32_t> m_References{1};
    std::unique_ptr<TransportMSG> m_Frame;
};

// One fan-out's hand-over of a frame to the writer threads. Add gives the frame to a
// connection by reference, in a slot of the connection's own ring: no lock and no allocation.
// Post (or the destructor) then schedules, under each writer's lock once, the connections
// that writer got, and wakes it when it was idle. Every fan-out holds one lock from its first
// Add to its Post (the session layer's master lock): the rings have one producer at a time.
class SharedPost {
public:
    // `frame` (owned from here on) for at most `recipients` connections.
    SharedPost(std::unique_ptr<TransportMSG> frame, size_t recipients);
    ~SharedPost();
    SharedPost(const SharedPost&) = delete;
    SharedPost& operator=(const SharedPost&) = delete;
    // True when the connection took the frame (it is sent after everything given before);
    // false when the connection has no writer, is not open or has a full ring: the caller
    // then gives it a copy (PostMSG), which goes behind what the ring holds.
    [[nodiscard]] bool Add(TransportProtocol& connection);
    const TransportMSG& Frame() const { return m_Frame->Frame(); }
    void Post();

private:
    SharedFrame* m_Frame;
    int32_t m_Reserved;
    int32_t m_Added = 0;
    WriterLane* m_Lanes[4] = {};
    int m_LaneCount = 0;
};

class TransportProtocol {
public:
    enum State : uint32_t {
        connectionUnknown,
        connectionConfiguring,
        connectionConfigured,
        connectionOpening,
        connectionOpen,
        connectionShutdown,
        connectionClosing,
        connectionClosed,
        connectionFailed,
    };
    enum QueuePosition : int { QueueFront = 0, QueueBack = 1, QueueAheadOfOrdinary = 2 };

    // Transport trace bits.
    static constexpr uint32_t kTraceOpen = 0x01, kTraceClose = 0x02, kTraceListen = 0x04,
                              kTraceBind = 0x08, kTraceAccept = 0x10, kTraceSelect = 0x20,
                              kTraceCreate = 0x40, kTraceClosed = 0x80, kTraceShutdown = 0x100,
                              kTraceRead = 0x200, kTraceWrite = 0x400, kTraceFailure = 0x800,
                              kTraceException = 0x1000, kTraceErrors = 0xFF;
    // The most live connections, whatever MaxClientConnections says.
    static constexpr int32_t kMaxConnections = 16383;

    // The master. Registers itself; only one may exist at a time.
    TransportProtocol();
    // A connection on an accepted, connected socket (owned from here on), with its TLS
    // channel when it came in on the TLS port (owned too). Construct it only from the
    // master's CreateConnection, on the poster thread.
    TransportProtocol(int socket, std::unique_ptr<SecuredChannel> channel);
    virtual ~TransportProtocol();
    TransportProtocol(const TransportProtocol&) = delete;
    TransportProtocol& operator=(const TransportProtocol&) = delete;

    // ---- process-wide settings, set by the application's configuration ----
    static int32_t sm_ListenPort;
    static int32_t sm_ListenSecurePort;
    static uint32_t sm_SecurityMode;
    static int32_t sm_ListenBacklog;
    // Source of MaxClientConnections and HostnameLookup; must outlive the master.
    static CTIRegistry* sm_Registry;
    static TransportProtocol* Master() { return sm_Master.load(); }
    static int32_t NumConnections() { return sm_NumConnections.load(); }
    static int32_t NumConnectionsSecure() { return sm_NumConnectionsSecure.load(); }
    // The connection limit in force: MaxClientConnections, 16383 when 0 or less or above.
    static int32_t ConnectionLimit();

    // ---- master operations ----
    // 1, or 0 when the master is not connectionUnknown.
    [[nodiscard]] int Configure();
    // Listens and starts the poster and writer threads; 1, or 0 (state stays
    // connectionOpening).
    [[nodiscard]] int Open();
    // Closes listeners and connections, ends the poster and writer threads and hands every
    // connection to DeleteConnection. Takes the master's lock; never call it holding a
    // connection's lock.
    void Close();
    // The number of writer threads the next Open starts (1 to kMaxWriterThreads; 2 unless
    // set). Each serves its own share of the connections and sends everything a connection
    // has waiting in one writev, so that a writer behind a fast fan-out sends bigger batches.
    static void SetWriterThreads(int count);
    static int WriterThreads() { return sm_WriterThreads.load(); }
    static constexpr int kMaxWriterThreads = 4;
    // The connection on `socket`, or null; valid while the caller holds the master's lock.
    TransportProtocol* FindConnection(int socket);
    // The bound ports (after Open), for callers that asked for port 0.
    int BoundPort(bool secure) const;
    // Waits until `allSent()` holds or the monotonic `deadlineNs` (current clock) passes;
    // allSent is asked again each time a writer or the poster has sent, or a connection
    // failed or closed. Returns allSent()'s last answer. The caller holds no lock that a
    // writer, the poster or allSent takes.
    bool WaitForOutput(int64_t deadlineNs, const std::function<bool()>& allSent);

    // ---- connection operations ----
    // Each takes the connection's lock (through Lock) when this thread does not hold it.
    // A failure runs ProcessFailureEvent before the call returns, with the lock the call
    // took released first.
    //
    // Reads at most `size` bytes; the count, or 0 (nothing waiting, not open, or failed).
    [[nodiscard]] int RecvBytes(uint8_t* buffer, int size);
    // Reads into the message's remaining part; 1 while the connection is usable (all, some
    // or nothing read), 0 once it failed or is not open.
    [[nodiscard]] int RecvMSG(TransportMSG& msg);
    // Sends `msg` now or queues it; null continues the queue, several messages to a writev.
    // Posted messages still waiting go first. A heartbeat confirmation given behind a queue
    // goes ahead of the ordinary messages queued. 1, or 0 when the connection failed or is
    // not open (failed with 17 then). An overflow of the queue fails the connection with 17
    // but still answers 1: the next send meets the failed connection. The message is gone on
    // every path: sent, queued or dropped.
    [[nodiscard]] int SendMSG(std::unique_ptr<TransportMSG> msg);
    // Hands `msg` to the output queue for the master's writer threads, which send each
    // connection's queue in batches: a fan-out then costs its caller no socket writes. The
    // order and the limit are SendMSG's: a message given to an empty queue stands for one
    // sent at once (no limit, no queue trace), behind others it is queued as SendMSG queues
    // it. 1, or 0 when the connection is not open or the waiting messages reached the
    // limit (failed with 17 either way). Without running writers it is SendMSG.
    [[nodiscard]] int PostMSG(std::unique_ptr<TransportMSG> msg);
    // Queues `msg` at `position` (QueuePosition) behind what was posted, without sending;
    // 1, or 0 on overflow (the message dropped, the connection failed with 17).
    [[nodiscard]] int QueueMSG(std::unique_ptr<TransportMSG> msg, int position);
    // With null: the head of the queue, or null. With a message: the message back when
    // nothing is queued (send it now), else null and the message queued behind the others.
    [[nodiscard]] std::unique_ptr<TransportMSG> UnQueueMSG(std::unique_ptr<TransportMSG> msg);
    // Closes the socket (once) and drops every queued and posted message; the connection
    // stays in its owner's hands.
    void CloseConnection();
    // Half-closes the socket (no more sends) after what was sent.
    void ShutdownConnection();
    // Makes sure no writer thread holds or will take this connection; waits for one that is
    // sending on it. A connection's destructor calls it, and so must a derived class's
    // destructor first of all, while the derived locks still exist. Never call it holding
    // this connection's lock.
    void DetachFromWriter();

    // ---- the session layer's seam ----
    // The poster thread calls the events holding the connection's lock; their results are
    // the callers' own (the poster reads none).
    [[nodiscard]] virtual int ProcessReadEvent() { return 1; }
    [[nodiscard]] virtual int ProcessWriteEvent() { return SendMSG(nullptr); }
    [[nodiscard]] virtual int ProcessExceptionEvent(int cause);
    // The connection failed with `cause` (0 peer closed, 17 overflow or not open, 37 receive
    // or send error). Called without the connection's lock from the call that failed it
    // (unless that call's caller holds it): the handler may close the connection.
    [[nodiscard]] virtual int ProcessFailureEvent(int /*cause*/) { return 1; }
    virtual int GetMaxQueuedMessages() { return 16; }
    virtual int GetSessionID() { return 0; }
    virtual const char* GetClientID() { return ""; }
    // A new connection object for an accepted socket (owning it and the channel), or null.
    // The master keeps it in its socket table and hands it to DeleteConnection at Close.
    virtual TransportProtocol* CreateConnection(int socket, std::unique_ptr<SecuredChannel> channel);
    // Destroys a connection the master hands back at Close.
    virtual void DeleteConnection(TransportProtocol* connection) { delete connection; }
    // The connection's lock. Lock answers whether it took the lock; Unlock whether it let go.
    virtual bool Lock(const char* caller);
    virtual bool Unlock(const char* caller);
    virtual bool IsLocked();
    virtual void ResetIDCounters() {}
    uint32_t GetTraceMask() const { return m_TraceMask; }
    void SetTraceMask(uint32_t mask) { m_TraceMask = mask; }
    // One of the transport trace bits set here, or the transport_layer trace keyword.
    bool IsTraceOn(uint32_t bits) const;
    // Appends the transport dump to text.
    virtual void Dump(std::string& text);
    // Console debug control: -1 leaves a setting as it is.
    static void DebugControl(std::string& text, int acceptToggle, int simSendError);

    // ---- state ----
    uint32_t GetState() const { return m_State.load(); }
    bool IsMaster() const { return m_IsMaster; }
    bool IsSecure() const { return m_Secure; }
    uint32_t GetConnectionID() const { return m_ConnectionID; }
    int GetSocket() const { return m_ConnectionSocket; }
    const std::string& HostName() const { return m_HostName; }
    const std::string& HostAddress() const { return m_HostAddress; }
    uint32_t HostPort() const { return m_HostPort; }
    int64_t BytesSent() const { return m_BytesSent; }
    int64_t BytesReceived() const { return m_BytesReceived; }
    // The output queue length; caller holds the connection's lock.
    size_t QueueLength() const { return m_Queue.size(); }
    // Posted messages not yet taken by a writer; caller holds the connection's lock.
    size_t PostedLength() const { return m_Pending.size(); }
    // Open, with messages posted or queued that are not on the wire yet; caller holds the
    // connection's lock.
    bool HasOutputWaiting() const {
        return m_State == connectionOpen && (!m_Pending.empty() || !m_Queue.empty() || RingCount() > 0);
    }
    // Frames given by reference (SharedPost) that no writer has taken yet; any thread.
    size_t RingCount() const {
        return m_RingHead.load(std::memory_order_acquire) - m_RingTail.load(std::memory_order_acquire);
    }
    // Copies given by reference to writers and not yet sent or dropped, process-wide.
    static int64_t SharedCopiesWaiting();
    // The queued message at `index` (0 = next to send), or null; caller holds the lock.
    TransportMSG* QueuedAt(size_t index) const {
        return index < m_Queue.size() ? m_Queue[index].get() : nullptr;
    }
    static bool AcceptConnections() { return sm_AcceptConnections.load(); }

    // The listen address text of the master (dotted or a name; empty = any).
    void SetListenHostName(const std::string& name) { m_HostName = name; }

protected:
    // Accepts one pending connection on the plain or TLS listener (poster thread, master's
    // lock held); 1 when a connection was made, 0 otherwise (nothing pending, limit reached,
    // no channel or no object).
    [[nodiscard]] int AcceptConnection(bool secure);

private:
    friend class SharedPost;
    // Holds a connection's lock through the virtual Lock/Unlock, taking it only when the
    // thread does not hold it and releasing only what it took.
    class Hold {
    public:
        Hold(TransportProtocol& t, const char* caller) : t_(t), caller_(caller) { Acquire(); }
        ~Hold() { Release(); }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        void Acquire() {
            if (!took_ && !t_.IsLocked()) took_ = t_.Lock(caller_);
        }
        void Release() {
            if (took_) (void)t_.Unlock(caller_);
            took_ = false;
        }

    private:
        TransportProtocol& t_;
        const char* caller_;
        bool took_ = false;
    };

    // The events of one poster turn, each with its tracing, then the seam's event.
    int ProcessFailure(int cause);
    int ProcessRead();
    int ProcessWrite();
    int ProcessException(int cause);
    void PosterThreadLoop();
    void HandleEvents(const std::vector<std::pair<int, uint32_t>>& events);
    int SetSocketOptions(int socket, bool listener);
    bool CreateListenSocket(bool secure);
    // Interest of a socket in the poster's epoll set (the read/write/exception sets).
    void AddToDescriptor(int socket);
    void RemoveFromDescriptor(int socket);
    void SetWriteInterest(int socket, bool on);
    // Fails the connection with `cause` after the hold on it was released: the failure
    // handler runs with the lock that the caller's hold took handed over.
    [[nodiscard]] int FailConnection(Hold& hold, int cause);
    const char* ChannelText() const { return m_Channel ? "Secured Channel" : "Non-Secured Channel"; }
    void TraceQueue(const char* text, size_t length);
    void DeleteQueue();
    // What one read from the socket or the TLS channel gave: Data (count bytes, 0 when TLS
    // must be retried), Blocked (a plain socket had nothing), Failed (the connection failed:
    // the peer closed or the read failed; the failure event has run).
    struct Received {
        enum Kind { Data, Blocked, Failed } kind;
        int count;
    };
    // The one read of RecvBytes (msg null) and RecvMSG (msg the message read into, for the
    // traces): counts the bytes received and fails the connection on a peer close or an error.
    Received ReceiveSome(Hold& hold, uint8_t* buffer, int size, const TransportMSG* msg);
    // The head of the queue taken off with its trace; the write event goes when it empties.
    std::unique_ptr<TransportMSG> TakeHead();
    // Where a message given behind a queue goes: a heartbeat confirmation ahead of the
    // ordinary messages, anything else at the back.
    static int PositionFor(const TransportMSG& msg);
    // Queues with the overflow rule; wantWrite asks the poster for the write event.
    [[nodiscard]] int Enqueue(Hold& hold, std::unique_ptr<TransportMSG> msg, int position, bool wantWrite);
    // Asks the poster for write events on this connection, or stops them (cached).
    void WantWriteEvents(bool on);
    enum class Step { Sent, Stopped, Failed };
    // Sends one message taken off the queue (or given); Sent when all of it went, Stopped
    // when it went back to the front (*result from the requeue), Failed (*result 0).
    Step SendOne(Hold& hold, std::unique_ptr<TransportMSG> msg, int* result);
    // Sends the first messages of the queue, or of the posted ones, in one writev (plain
    // sockets); as SendOne, Sent also when the socket stopped at a message boundary.
    Step SendBatch(Hold& hold, bool pending, int* result);
    // Performs the posted messages' sends in order, as SendMSG would have made them: sent
    // while nothing is queued, queued behind a queue. 1, or 0 when the connection failed
    // (the hold then released).
    [[nodiscard]] int FlushPending(Hold& hold);
    // The overflow of the queue limit: msg dropped, the connection failed with 17; 0.
    [[nodiscard]] int Overflow(Hold& hold, std::unique_ptr<TransportMSG> msg);
    // Continues the queue: batches until it is empty, the socket is full or a budget is used.
    [[nodiscard]] int SendQueued(Hold& hold);
    // The ring's frames (given by reference) as posted messages of their own, behind the
    // posted ones: what every send but the writer's does first, so that nothing overtakes them.
    void TakeRing();
    // Sends the ring's frames from the shared bytes, several to a writev, while nothing is
    // queued or posted; what the socket does not take goes the posted way (FlushPending).
    // 1, or 0 when the connection failed.
    [[nodiscard]] int SendRing(Hold& hold);
    // Drops the ring's references (the connection closes or goes).
    void DropRing();
    // Everything the ring and the posted messages hold, queued without a send (the socket is
    // full); 0 when the queue overflowed (the connection failed).
    [[nodiscard]] int QueueTaken(Hold& hold);
    // A writer's turn on the connection: the posted messages, then the ring.
    void WriterTurn(Hold& hold);
    // The writer threads (master).
    void StartWriters();
    void StopWriters();
    void WriterLoop(WriterLane& lane);
    void Schedule();
    // Wakes WaitForOutput (master): output went, or a connection ended. Any thread, any lock.
    void NoteOutputMoved();

    static std::atomic<TransportProtocol*> sm_Master;
    static std::atomic<int32_t> sm_NumConnections;
    static std::atomic<int32_t> sm_NumConnectionsSecure;
    static std::atomic<bool> sm_AcceptConnections;
    static std::atomic<int32_t> sm_SimSendError;
    static std::atomic<uint32_t> sm_NextConnectionID;

    int64_t m_BytesSent = 0;
    int64_t m_BytesReceived = 0;
    std::atomic<uint32_t> m_State{connectionUnknown};
    std::atomic<bool> m_Stop{false};
    CTILockObject m_TransportLock;
    uint32_t m_ConnectionID = 0;
    int m_ConnectionSocket = -1;
    int m_ListenSecureSocket = -1;
    bool m_IsMaster = false;
    bool m_InTable = false;
    bool m_Secure = false;  // counted as a TLS connection
    std::deque<std::unique_ptr<TransportMSG>> m_Queue;
    // Posted messages the writer has not sent yet: sends made later, in this order, after
    // everything queued.
    std::deque<std::unique_ptr<TransportMSG>> m_Pending;
    std::string m_HostName;
    std::string m_HostAddress;
    uint32_t m_HostPort = 0;
    std::unique_ptr<SecuredChannel> m_Channel;
    uint32_t m_TraceMask = 0;

    // Master only: the poster thread, its epoll set and the socket table.
    std::thread m_PosterThread;
    int m_Epoll = -1;
    int m_WakeFd = -1;
    CTILockObject* m_DescriptorLock = nullptr;
    std::unique_ptr<CTILockObject> m_DescriptorLockStore;
    std::unordered_map<int, uint32_t> m_Interest;  // socket -> epoll events, under Descriptor Lock
    // The socket table. Connections leave it under their own lock while the poster reads it
    // under the master's, so the map itself has a leaf mutex of its own.
    std::mutex m_TableMutex;
    std::unordered_map<int, TransportProtocol*> m_Table;
    std::atomic<bool> m_PosterDone{false};
    // Master only: the writer lanes; a connection is served by one lane for its whole life,
    // so its queue is never sent by two writers at once.
    std::vector<std::unique_ptr<WriterLane>> m_Lanes;
    static std::atomic<int> sm_WriterThreads;
    // Master only: WaitForOutput's wake-up. The count moves at every note; the mutex is a
    // leaf, taken by a note only while someone waits.
    std::mutex m_OutputMutex;
    std::condition_variable m_OutputMoved;
    std::atomic<uint64_t> m_OutputNotes{0};
    std::atomic<int> m_OutputWaiters{0};

    // Connection: frames given by reference, oldest at the tail. The fan-out (under its one
    // lock) moves the head; whoever holds the connection's lock moves the tail.
    static constexpr uint32_t kRingSlots = 64;
    SharedFrame* m_Ring[kRingSlots] = {};
    std::atomic<uint32_t> m_RingHead{0};
    std::atomic<uint32_t> m_RingTail{0};
    // Connection: its lane, whether it waits in the lane's ready list (changed under the
    // lane's mutex), and whether the poster watches it for write events (connection lock).
    WriterLane* m_Lane = nullptr;
    std::atomic<bool> m_Scheduled{false};
    bool m_WriteInterest = false;
};
