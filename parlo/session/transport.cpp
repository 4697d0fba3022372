#include "parlo/session/transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>

#include "ctimsg/msgtypes.h"
#include "ctimsg/names.h"
#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"
#include "nuvlib/emt/emt.h"
#include "nuvlib/lockguard.h"
#include "nuvlib/tracemeter.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/meterids.h"
#include "parlo/common/svrtrace.h"
#include "parlo/session/sessionports.h"
#include "platform/byteorder.h"
#include "platform/clock.h"
#include "platform/lasterror.h"

namespace {
// Room for the most live connections and both listening sockets: a set of 16384 left the
// 16383rd connection accepted but never watched, so its client waited for ever.
constexpr size_t kMaxDescriptors = TransportProtocol::kMaxConnections + 2;
constexpr uint32_t kEventQueueOverflow = 0xA12EC009;
constexpr uint32_t kEventConnectionLimit = 0xA12EC00A;
// The failure causes the transport reports: the peer closed (no error), the queue or the
// state refused a message, the socket failed.
constexpr int CAUSE_PEER_CLOSED = E_CTI_NO_ERROR;
constexpr int CAUSE_UNSPECIFIED = E_CTI_UNSPECIFIED_FAILURE;
constexpr int CAUSE_CLIENT_DISCONNECTED = E_CTI_CLIENT_DISCONNECTED;
// Any bit of the EMS trace mask.
constexpr uint32_t kAnyTraceBit = tracebit::TR_PROC_1 | tracebit::TR_PROC_2 | tracebit::TR_PROC_3 |
                                  tracebit::TR_PROC_4 | tracebit::TR_PROC_5 | tracebit::TR_PROC_6 |
                                  tracebit::TR_PROC_7 | tracebit::TR_PROC_8;

// The message counters (the "Message Lock" of the design): atomics, so that making and
// deleting the copies of a distributed frame takes no process-wide lock.
std::atomic<uint32_t> g_liveMessages{0};
std::atomic<uint32_t> g_nextMessageID{1};
// Copies given to connections by reference and not yet sent or dropped.
std::atomic<int64_t> g_sharedWaiting{0};

std::shared_ptr<uint8_t[]> NewBytes(size_t size) {
    if (size == 0) return nullptr;
#if defined(__cpp_lib_smart_ptr_for_overwrite)
    return std::make_shared_for_overwrite<uint8_t[]>(size);
#else
    return std::shared_ptr<uint8_t[]>(new uint8_t[size]);
#endif
}

void Count(const char* meter) { TraceMeterCount(meter, "", __FILE__, __LINE__, 0); }

void Meter(int id, int32_t value) { GetSessionServer().UpdateMeter(id, value); }

uint32_t LastSocketError() { return plat::SetLastErrorFromErrno(); }

// The port of a socket address, which holds it in network byte order.
uint16_t PortOf(const sockaddr_in& address) {
    return plat::LoadBE16(reinterpret_cast<const uint8_t*>(&address.sin_port));
}
void SetPort(sockaddr_in& address, uint16_t port) {
    plat::StoreBE16(reinterpret_cast<uint8_t*>(&address.sin_port), port);
}

// A writer thread sums the bytes-sent and transmit-delay meters over a run of its turns and
// moves them once: one meter lock per send, taken by every writer and by the fan-out
// itself, made the writers wait on each other.
struct SendMeters {
    int64_t bytes = 0;
    int32_t longestDelay = -1;
};
thread_local SendMeters* t_sendMeters = nullptr;

void MeterBytesSent(int64_t bytes) {
    if (bytes <= 0) return;
    if (t_sendMeters) {
        t_sendMeters->bytes += bytes;
        return;
    }
    Meter(meter::ClientBytesSent, static_cast<int32_t>(bytes));
}

void MeterTransmitDelay(int32_t ms) {
    if (t_sendMeters) {
        t_sendMeters->longestDelay = std::max(t_sendMeters->longestDelay, ms);
        return;
    }
    Meter(meter::TransmitDelay, ms);
}

void FlushSendMeters(SendMeters& meters) {
    for (int64_t left = meters.bytes; left > 0;) {
        const int32_t part = static_cast<int32_t>(std::min<int64_t>(left, INT32_MAX));
        Meter(meter::ClientBytesSent, part);
        left -= part;
    }
    // The delay meter keeps the largest: one update with the run's largest is the same.
    if (meters.longestDelay >= 0) Meter(meter::TransmitDelay, meters.longestDelay);
    meters = SendMeters{};
}

// One send of `count` buffers on a plain socket: sendmsg's result, errno as it left it.
ssize_t SendGathered(int socket, iovec* iov, int count) {
    msghdr header{};
    header.msg_iov = iov;
    header.msg_iovlen = static_cast<size_t>(count);
    return sendmsg(socket, &header, MSG_NOSIGNAL);
}

// One writev takes at most this many queued messages (and about this many bytes); one turn
// of a connection's queue sends at most kSendBudget messages, so that a connection with a
// deep queue does not keep the others waiting.
constexpr int kBatchMessages = 64;
constexpr size_t kBatchBytes = 256 * 1024;
constexpr int kSendBudget = 256;
// A writer moves its summed send meters at least this often (connection turns).
constexpr int kMeterTurns = 256;

const char* StateName(uint32_t state) {
    static const char* const names[] = {
        "connectionUnknown", "connectionConfiguring", "connectionConfigured",
        "connectionOpening", "connectionOpen",        "connectionShutdown",
        "connectionClosing", "connectionClosed",      "connectionFailed",
    };
    return state < 9 ? names[state] : nullptr;
}
}  // namespace

// A writer thread and the connections waiting for it, in the order they were posted to.
struct WriterLane {
    std::mutex mutex;
    std::condition_variable work;  // a connection was scheduled, or stop
    std::condition_variable idle;  // the writer let go of `current`
    std::deque<TransportProtocol*> ready;
    TransportProtocol* current = nullptr;  // being sent on, outside the mutex
    int detaching = 0;                     // threads waiting on `idle`
    bool stop = false;
    bool running = false;
    std::thread thread;
    // The connections one SharedPost gave a frame, in order; only the fan-out holding its
    // lock touches it, outside the mutex.
    std::vector<TransportProtocol*> staged;
};

// ---------------------------------------------------------------- TransportMSG

TransportMSG::TransportMSG(int32_t length) {
    if (length < 0 || length > TRANSPORT_MAX_MSG) length = 0;
    m_Bytes = NewBytes(static_cast<size_t>(length));
    if (length) std::memset(m_Bytes.get(), 0, static_cast<size_t>(length));
    m_Length = m_Remaining = length;
    m_TimeStamp = plat::MonotonicNs();
    g_liveMessages.fetch_add(1, std::memory_order_relaxed);
    m_MessageID = g_nextMessageID.fetch_add(1, std::memory_order_relaxed);
}

TransportMSG::~TransportMSG() { g_liveMessages.fetch_sub(1, std::memory_order_relaxed); }

uint32_t TransportMSG::LiveCount() { return g_liveMessages.load(std::memory_order_relaxed); }

std::unique_ptr<TransportMSG> TransportMSG::CopySharing() const {
    auto copy = std::make_unique<TransportMSG>();
    copy->ShareBytes(*this);
    return copy;
}

// ---------------------------------------------------------------- shared frames

SharedFrame* SharedFrame::Make(std::unique_ptr<TransportMSG> frame) { return new SharedFrame(std::move(frame)); }

void SharedFrame::Release(int32_t count) {
    if (m_References.fetch_sub(count, std::memory_order_acq_rel) == count) delete this;
}

SharedPost::SharedPost(std::unique_ptr<TransportMSG> frame, size_t recipients)
    : m_Frame(SharedFrame::Make(std::move(frame))),
      m_Reserved(static_cast<int32_t>(std::min<size_t>(recipients, INT32_MAX - 1))) {
    // References for every recipient before any writer can see the frame; Post gives back
    // what was not used.
    m_Frame->AddReferences(m_Reserved);
}

SharedPost::~SharedPost() { Post(); }

bool SharedPost::Add(TransportProtocol& connection) {
    WriterLane* lane = connection.m_Lane;
    if (m_Frame == nullptr || lane == nullptr || m_Added >= m_Reserved ||
        connection.m_State.load(std::memory_order_relaxed) != TransportProtocol::connectionOpen)
        return false;
    const uint32_t head = connection.m_RingHead.load(std::memory_order_relaxed);
    if (head - connection.m_RingTail.load(std::memory_order_acquire) >= TransportProtocol::kRingSlots) return false;
    connection.m_Ring[head % TransportProtocol::kRingSlots] = m_Frame;
    connection.m_RingHead.store(head + 1, std::memory_order_release);
    ++m_Added;
    if (lane->staged.empty() && m_LaneCount < static_cast<int>(std::size(m_Lanes))) m_Lanes[m_LaneCount++] = lane;
    lane->staged.push_back(&connection);
    return true;
}

void SharedPost::Post() {
    if (m_Frame == nullptr) return;
    g_sharedWaiting.fetch_add(m_Added, std::memory_order_relaxed);
    for (int i = 0; i < m_LaneCount; ++i) {
        WriterLane& lane = *m_Lanes[i];
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(lane.mutex);
            if (!lane.stop) {
                wake = lane.ready.empty();
                for (TransportProtocol* c : lane.staged) {
                    if (c->m_Scheduled.load(std::memory_order_relaxed)) continue;
                    c->m_Scheduled.store(true, std::memory_order_relaxed);
                    lane.ready.push_back(c);
                }
            }
        }
        lane.staged.clear();
        if (wake) lane.work.notify_one();
    }
    m_LaneCount = 0;
    m_Frame->Release(m_Reserved - m_Added + 1);
    m_Frame = nullptr;
}

int64_t TransportProtocol::SharedCopiesWaiting() { return g_sharedWaiting.load(std::memory_order_relaxed); }

int TransportMSG::InitBuffer(int32_t size, const uint8_t* data) { return Resize(size, TRANSPORT_MAX_MSG, data); }

int TransportMSG::InitFrame(int32_t size, const uint8_t* data) { return Resize(size, TRANSPORT_MAX_FRAME, data); }

int TransportMSG::Resize(int32_t size, int32_t limit, const uint8_t* data) {
    if (size < 0 || size > limit) {
        if (EMSGetTraceMask() & kAnyTraceBit)
            EMSTraceMessage("TransportMSG::InitBuffer - Error initializing buffer with invalid size %ld",
                            static_cast<long>(size));
        return 0;
    }
    // Always fresh bytes: a shared buffer stays as the other holders know it.
    std::shared_ptr<uint8_t[]> bytes = NewBytes(static_cast<size_t>(size));
    if (size) {
        if (data)
            std::memcpy(bytes.get(), data, static_cast<size_t>(size));
        else
            std::memset(bytes.get(), 0, static_cast<size_t>(size));
    }
    m_Bytes = std::move(bytes);
    m_Length = m_Remaining = size;
    m_Position = 0;
    return 1;
}

void TransportMSG::ShareBytes(const TransportMSG& source) {
    m_Bytes = source.m_Bytes;
    m_Length = m_Remaining = source.m_Length;
    m_Position = 0;
}

uint8_t* TransportMSG::Unshared() {
    if (m_Bytes && m_Bytes.use_count() > 1) {
        std::shared_ptr<uint8_t[]> own = NewBytes(static_cast<size_t>(m_Length));
        std::memcpy(own.get(), m_Bytes.get(), static_cast<size_t>(m_Length));
        m_Bytes = std::move(own);
    }
    return m_Bytes.get();
}

// ---------------------------------------------------------------- statics

int32_t TransportProtocol::sm_ListenPort = 0;
int32_t TransportProtocol::sm_ListenSecurePort = 0;
uint32_t TransportProtocol::sm_SecurityMode = 0;
int32_t TransportProtocol::sm_ListenBacklog = 250;
CTIRegistry* TransportProtocol::sm_Registry = nullptr;
std::atomic<TransportProtocol*> TransportProtocol::sm_Master{nullptr};
std::atomic<int32_t> TransportProtocol::sm_NumConnections{0};
std::atomic<int32_t> TransportProtocol::sm_NumConnectionsSecure{0};
std::atomic<bool> TransportProtocol::sm_AcceptConnections{true};
std::atomic<int32_t> TransportProtocol::sm_SimSendError{0};
std::atomic<uint32_t> TransportProtocol::sm_NextConnectionID{1};
std::atomic<int> TransportProtocol::sm_WriterThreads{2};

void TransportProtocol::SetWriterThreads(int count) {
    sm_WriterThreads = std::clamp(count, 1, kMaxWriterThreads);
}

int32_t TransportProtocol::ConnectionLimit() {
    int32_t limit = sm_Registry
                        ? static_cast<int32_t>(sm_Registry->Dynamic(CTIRegistry::MaxClientConnections))
                        : 6000;
    if (limit <= 0 || limit > kMaxConnections) limit = kMaxConnections;
    return limit;
}

// ---------------------------------------------------------------- construction

TransportProtocol::TransportProtocol()
    : m_TransportLock(1, nullptr, "Master Transport Lock", UINT32_MAX, 0, 0), m_IsMaster(true) {
    LockGuard<CTILockObject> hold(m_TransportLock, "TransportProtocol::TransportProtocol()");
    if (sm_Master.load() != nullptr)
        EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n", "one transport master",
                       __FILE__, __LINE__);
    sm_NumConnections = 0;
    sm_NumConnectionsSecure = 0;
    m_DescriptorLockStore =
        std::make_unique<CTILockObject>(1, nullptr, "Descriptor Lock", UINT32_MAX, 0, 0);
    m_DescriptorLock = m_DescriptorLockStore.get();
    m_ConnectionID = sm_NextConnectionID++;
    m_Epoll = epoll_create1(EPOLL_CLOEXEC);
    m_WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_Epoll < 0 || m_WakeFd < 0)
        EMSFailMessageErrno("TransportProtocol::TransportProtocol: Unable to create the poll set");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = m_WakeFd;
    (void)epoll_ctl(m_Epoll, EPOLL_CTL_ADD, m_WakeFd, &ev);
    sm_Master.store(this);
}

TransportProtocol::TransportProtocol(int socket, std::unique_ptr<SecuredChannel> channel)
    : m_TransportLock(1, nullptr, "Connection Lock", UINT32_MAX, 0, 0),
      m_ConnectionSocket(socket),
      m_Channel(std::move(channel)) {
    m_Secure = m_Channel != nullptr;
    TransportProtocol* master = sm_Master.load();
    Hold masterHold(*master, "TransportProtocol::TransportProtocol(SOCKET)");
    if (m_Channel) {
        ++sm_NumConnectionsSecure;
        Meter(meter::SecureConnections, 1);
    } else {
        ++sm_NumConnections;
        Meter(meter::PlainConnections, 1);
    }
    Meter(meter::Connections, 1);
    m_ConnectionID = sm_NextConnectionID++;
    if (SetSocketOptions(socket, false) == 0)
        EMSTraceMessage("TransportProtocol::TransportProtocol(SOCKET): Unable to set socket options, code=%d",
                        static_cast<int>(plat::GetLastError()));
    const int flags = fcntl(socket, F_GETFL, 0);
    if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0)
        EMSTraceMessage("TransportProtocol::TransportProtocol(SOCKET): ioctlsocket failed code=%d",
                        static_cast<int>(LastSocketError()));
    {
        std::lock_guard<std::mutex> table(master->m_TableMutex);
        master->m_Table[socket] = this;
    }
    m_InTable = true;
    if (!master->m_Lanes.empty()) m_Lane = master->m_Lanes[m_ConnectionID % master->m_Lanes.size()].get();
    master->AddToDescriptor(socket);
    if (IsTraceOn(kTraceCreate))
        EMSTraceMessage("TransportProtocol::TransportProtocol(SOCKET): ConnID=%d", m_ConnectionID);
}

TransportProtocol::~TransportProtocol() {
    if (m_IsMaster) {
        if (m_PosterThread.joinable()) Close();
        for (int s : {m_ConnectionSocket, m_ListenSecureSocket})
            if (s >= 0) {
                Count("Transport: closesocket()");
                close(s);
            }
        if (m_Epoll >= 0) close(m_Epoll);
        if (m_WakeFd >= 0) close(m_WakeFd);
        sm_Master.store(nullptr);
        return;
    }
    DetachFromWriter();
    TransportProtocol* master = sm_Master.load();
    if (master) {
        Hold masterHold(*master, "TransportProtocol::~TransportProtocol");
        if (m_ConnectionSocket >= 0) master->RemoveFromDescriptor(m_ConnectionSocket);
        if (m_InTable) {
            std::lock_guard<std::mutex> table(master->m_TableMutex);
            auto it = master->m_Table.find(m_ConnectionSocket);
            if (it != master->m_Table.end() && it->second == this) master->m_Table.erase(it);
            m_InTable = false;
        }
    }
    if (m_Channel) m_Channel->Close();
    if (m_ConnectionSocket >= 0) {
        Count("Transport: closesocket()");
        close(m_ConnectionSocket);
    }
    m_Channel.reset();
    DeleteQueue();
    Meter(m_Secure ? meter::SecureConnections : meter::PlainConnections, -1);
    Meter(meter::Connections, -1);
    if (m_Secure)
        --sm_NumConnectionsSecure;
    else
        --sm_NumConnections;
}

// ---------------------------------------------------------------- locks and traces

bool TransportProtocol::Lock(const char* caller) { return m_TransportLock.Lock(caller, -1); }
bool TransportProtocol::Unlock(const char* caller) { return m_TransportLock.Unlock(caller); }
bool TransportProtocol::IsLocked() { return m_TransportLock.IsLockedByCurrentThread(); }

bool TransportProtocol::IsTraceOn(uint32_t bits) const {
    return SVRTraceON(TransportLayer) || (m_TraceMask & bits) != 0;
}

// ---------------------------------------------------------------- master

int TransportProtocol::Configure() {
    {
        Hold hold(*this, "TransportProtocol::Configure");
        if (m_State != connectionUnknown) return 0;
        m_State = connectionConfiguring;
        m_State = connectionConfigured;
    }
    SecureChannelInitializeLogger(&CSslLogger::Instance());
    return 1;
}

int TransportProtocol::SetSocketOptions(int socket, bool /*listener*/) {
    struct Option {
        int level, name, value;
        const char* text;
    };
    // SO_REUSEADDR is 1: on this system 0 keeps a restarted server from binding its port
    // while old connections sit in TIME_WAIT, and an accepted socket set to 0 would carry
    // that refusal into its own TIME_WAIT.
    const Option options[] = {
        {SOL_SOCKET, SO_DEBUG, 0,
         "TransportProtocol::SetSocketOptions: Setting Record Debug Information Option failed, error = %d"},
        {SOL_SOCKET, SO_DONTROUTE, 0,
         "TransportProtocol::SetSocketOptions: Setting Don't Route Option failed, error = %d"},
        {SOL_SOCKET, SO_KEEPALIVE, 1,
         "TransportProtocol::SetSocketOptions: Setting Socket Keep Alive Option failed, error = %d"},
        {SOL_SOCKET, SO_OOBINLINE, 1,
         "TransportProtocol::SetSocketOptions: Setting Socket Receive out-of-band data Option failed, error = %d"},
        {SOL_SOCKET, SO_REUSEADDR, 1,
         "TransportProtocol::SetSocketOptions: Setting Socket Reuse Address failed, error = %d"},
        {IPPROTO_TCP, TCP_NODELAY, 1,
         "TransportProtocol::SetSocketOptions: Setting Tcp No Delay Option failed, error = %d"},
    };
    for (const Option& o : options) {
        if (setsockopt(socket, o.level, o.name, &o.value, sizeof o.value) != 0) {
            const uint32_t error = LastSocketError();
            if (IsTraceOn(kTraceErrors)) EMSTraceMessage(o.text, static_cast<int>(error));
            return 0;
        }
    }
    linger off{};
    off.l_onoff = 0;
    off.l_linger = 0;
    if (setsockopt(socket, SOL_SOCKET, SO_LINGER, &off, sizeof off) != 0) {
        const uint32_t error = LastSocketError();
        if (IsTraceOn(kTraceErrors))
            EMSTraceMessage("TransportProtocol::SetSocketOptions: Setting Socket Linger option failed, error = %d",
                            static_cast<int>(error));
        return 0;
    }
    return 1;
}

bool TransportProtocol::CreateListenSocket(bool secure) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        const uint32_t error = LastSocketError();
        if (IsTraceOn(kTraceErrors))
            EMSTraceMessage(secure ? "TransportProtocol::CreateSockets(SecureListen):Unable to allocate socket code=%d"
                                   : "TransportProtocol::CreateSockets(Listen):Unable to allocate socket code=%d",
                            static_cast<int>(error));
        return false;
    }
    (secure ? m_ListenSecureSocket : m_ConnectionSocket) = s;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    SetPort(addr, static_cast<uint16_t>(secure ? sm_ListenSecurePort : sm_ListenPort));
    if (m_HostName.empty()) {
        addr.sin_addr.s_addr = INADDR_ANY;  // all zero bits
    } else if (inet_pton(AF_INET, m_HostName.c_str(), &addr.sin_addr) != 1) {
        in_addr resolved{};
        if (EMTResolveAddress(m_HostName.c_str(), &resolved, 2) != 0) {
            EMSTraceMessage("TransportProtcol::FillAddr: Unable to resolve hostname %s", m_HostName.c_str());
            if (IsTraceOn(kTraceErrors)) {
                if (secure)
                    EMSTraceMessage("TransportProtocol::FillServerAddresses[Secure]: Unable to fill listen address. SecureListenPort[%d]",
                                    sm_ListenSecurePort);
                else
                    EMSTraceMessage("TransportProtocol::FillServerAddresses: Unable to fill listen address. ListenPort[%d]",
                                    sm_ListenPort);
            }
            return false;
        }
        addr.sin_addr = resolved;
    }
    if (SetSocketOptions(s, true) == 0) return false;
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr.sin_addr, dotted, sizeof dotted);
    const int port = PortOf(addr);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const uint32_t error = LastSocketError();
        if (IsTraceOn(kTraceErrors))
            EMSTraceMessage("TransportProtocol: bind of port %d at address %s (%s) failed, code=%d", port,
                            dotted, m_HostName.c_str(), static_cast<int>(error));
        return false;
    }
    if (IsTraceOn(kTraceBind))
        EMSTraceMessage("TransportProtocol: Bind of port %d at address %s (%s) sucessful, socket=%d", port,
                        dotted, m_HostName.c_str(), s);
    if (listen(s, sm_ListenBacklog) != 0) {
        const uint32_t error = LastSocketError();
        if (IsTraceOn(kTraceErrors))
            EMSTraceMessage(secure ? "TransportProtocol::ListenForConnections[Secure]: Listen failed code=%d"
                                   : "TransportProtocol::ListenForConnections: Listen failed code=%d",
                            static_cast<int>(error));
        return false;
    }
    if (IsTraceOn(kTraceListen))
        EMSTraceMessage(secure ? "TransportProtocol::ListenForConnections[Secure]: Completed sucessfully, backlog=%d."
                               : "TransportProtocol::ListenForConnections: Completed sucessfully, backlog=%d.",
                        sm_ListenBacklog);
    AddToDescriptor(s);
    return true;
}

int TransportProtocol::Open() {
    Hold hold(*this, "TransportProtocol::Open");
    if (m_State != connectionConfigured) return 0;
    m_State = connectionOpening;
    // TLS writes go through write(2): a peer that vanished must not end the process.
    signal(SIGPIPE, SIG_IGN);
    if (sm_SecurityMode == 0 && !CreateListenSocket(false)) return 0;
    if ((sm_SecurityMode == 0 || sm_SecurityMode == 1) && !CreateListenSocket(true)) return 0;
    m_Stop = false;
    m_PosterDone = false;
    StartWriters();
    try {
        m_PosterThread = std::thread([this] { PosterThreadLoop(); });
    } catch (const std::system_error&) {
        EMSFailMessageLastError("TransportProtocol::StandbyToOpen: Unable to start transport poster thread.");
    }
    m_State = connectionOpen;
    hold.Release();
    if (IsTraceOn(kTraceOpen)) EMSTraceMessage("TransportProtocol::StandbyToOpen: Completed sucessfully.");
    return 1;
}

int TransportProtocol::BoundPort(bool secure) const {
    const int s = secure ? m_ListenSecureSocket : m_ConnectionSocket;
    if (s < 0) return 0;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return PortOf(addr);
}

TransportProtocol* TransportProtocol::FindConnection(int socket) {
    std::lock_guard<std::mutex> table(m_TableMutex);
    auto it = m_Table.find(socket);
    return it == m_Table.end() ? nullptr : it->second;
}

void TransportProtocol::Close() {
    Hold hold(*this, "TransportProtocol::Close");
    m_Stop = true;
    m_State = connectionClosing;
    for (int* s : {&m_ConnectionSocket, &m_ListenSecureSocket}) {
        if (*s < 0) continue;
        RemoveFromDescriptor(*s);
        Count("Transport: closesocket()");
        close(*s);
        *s = -1;
    }
    std::vector<TransportProtocol*> connections;
    {
        std::lock_guard<std::mutex> table(m_TableMutex);
        for (auto& [socket, connection] : m_Table) connections.push_back(connection);
    }
    for (TransportProtocol* connection : connections) connection->CloseConnection();
    hold.Release();
    const uint64_t one = 1;
    (void)!write(m_WakeFd, &one, sizeof one);
    if (m_PosterThread.joinable()) {
        // The poster sees the stop flag within one turn of its loop.
        plat::ExternalWait wait(plat::DeadlineAfterMs(300000));
        while (!m_PosterDone.load() && !wait.Expired()) plat::SystemSleepMs(std::max(1, wait.NextSliceMs(50)));
        if (!m_PosterDone.load())
            EMSFailMessage("TransportProtocol::TransportProtocol: Failure waiting for poster thread to terminate, retCode =%d",
                           static_cast<int>(plat::WAIT_TIMEOUT));
        m_PosterThread.join();
    }
    StopWriters();
    hold.Acquire();
    connections.clear();
    {
        std::lock_guard<std::mutex> table(m_TableMutex);
        for (auto& [socket, connection] : m_Table) connections.push_back(connection);
        m_Table.clear();
    }
    for (TransportProtocol* connection : connections) DeleteConnection(connection);
    m_State = connectionClosed;
    if (IsTraceOn(kTraceClose)) EMSTraceMessage("TransportProtocol::Close: Completed sucessfully.");
}

// ---------------------------------------------------------------- descriptor sets

void TransportProtocol::AddToDescriptor(int socket) {
    LockGuard<CTILockObject> hold(*m_DescriptorLock, "TransportProtocol::AddSocketToDescriptor");
    if (m_Interest.count(socket)) {
        EMSTraceMessage("TransportProtocol::AddSocketToDescriptor: Duplicate add of socket %d to select descriptor. HostName[%s] HostAddr[%s]",
                        socket, m_HostName.c_str(), m_HostAddress.c_str());
        return;
    }
    if (m_Interest.size() >= kMaxDescriptors) return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLPRI;
    ev.data.fd = socket;
    if (epoll_ctl(m_Epoll, EPOLL_CTL_ADD, socket, &ev) == 0)
        m_Interest[socket] = ev.events;
    else
        EMSTraceMessage("TransportProtocol::AddSocketToDescriptor: socket %d cannot be watched, code=%d", socket,
                        static_cast<int>(LastSocketError()));
}

void TransportProtocol::RemoveFromDescriptor(int socket) {
    LockGuard<CTILockObject> hold(*m_DescriptorLock, "TransportProtocol::RemoveSocketFromDescriptor");
    auto it = m_Interest.find(socket);
    if (it == m_Interest.end()) {
        EMSTraceMessage("TransportProtocol::RemoveSocketFromDescriptor: Attempt to remove a socket %d which is not on the select descriptor.",
                        socket);
        return;
    }
    m_Interest.erase(it);
    (void)epoll_ctl(m_Epoll, EPOLL_CTL_DEL, socket, nullptr);
}

void TransportProtocol::SetWriteInterest(int socket, bool on) {
    LockGuard<CTILockObject> hold(*m_DescriptorLock, "TransportProtocol::SetWriteInterest");
    auto it = m_Interest.find(socket);
    if (it == m_Interest.end()) return;
    const uint32_t events = on ? (it->second | EPOLLOUT) : (it->second & ~static_cast<uint32_t>(EPOLLOUT));
    if (events == it->second) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = socket;
    if (epoll_ctl(m_Epoll, EPOLL_CTL_MOD, socket, &ev) == 0) it->second = events;
}

// ---------------------------------------------------------------- poster thread

void TransportProtocol::PosterThreadLoop() {
    int failures = 0;
    std::vector<epoll_event> ready(1024);
    std::vector<std::pair<int, uint32_t>> events;
    while (!m_Stop.load()) {
        if (IsTraceOn(kTraceSelect))
            EMSTraceMessage("TransportProtocol::PosterThreadLoop: Select now being called.");
        Count("Transport: select()");
        // No time-out: Close writes the wake descriptor, so the stop is seen at once, and
        // the poster never counts as a sleeper of a test's clock.
        const int n = epoll_wait(m_Epoll, ready.data(), static_cast<int>(ready.size()), -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            const uint32_t error = LastSocketError();
            size_t count;
            {
                LockGuard<CTILockObject> hold(*m_DescriptorLock, "TransportProtocol::PosterThreadLoop");
                count = m_Interest.size();
            }
            EMSTraceMessage("TransportProtocol::PosterThreadLoop: Select call failed, error=%d, ReadCount=%d, WriteCount=%d, ExceptionCount=%d",
                            static_cast<int>(error), static_cast<int>(count), static_cast<int>(count),
                            static_cast<int>(count));
            Count("Transport: select() failure");
            if (++failures >= 20)
                EMSFailMessage("TransportProtocol::PosterThreadLoop: %d consecutive Select call failures", failures);
            plat::SleepForMs(250);
            continue;
        }
        failures = 0;
        events.clear();
        for (int i = 0; i < n; ++i) {
            if (ready[i].data.fd == m_WakeFd) {
                uint64_t value;
                (void)!read(m_WakeFd, &value, sizeof value);
                continue;
            }
            const int fd = ready[i].data.fd;
            const uint32_t bits = ready[i].events;
            events.emplace_back(fd, bits);
        }
        if (!events.empty() && !m_Stop.load()) HandleEvents(events);
    }
    m_PosterDone = true;
}

void TransportProtocol::HandleEvents(const std::vector<std::pair<int, uint32_t>>& events) {
    Hold master(*this, "TransportProtocol::PosterThreadLoop(void)");
    // The select order: every read event, then every write event, then the exceptions.
    for (int pass = 0; pass < 3; ++pass) {
        for (const auto& [socket, bits] : events) {
            const bool wanted = pass == 0   ? (bits & (EPOLLIN | EPOLLHUP | EPOLLRDHUP)) != 0
                                : pass == 1 ? (bits & EPOLLOUT) != 0
                                            : (bits & (EPOLLERR | EPOLLPRI)) != 0 && !(bits & EPOLLIN);
            if (!wanted) continue;
            if (pass == 0 && (socket == m_ConnectionSocket || socket == m_ListenSecureSocket)) {
                Count("Transport: listen socket read event");
                if (sm_AcceptConnections.load()) {
                    (void)AcceptConnection(socket == m_ListenSecureSocket);
                } else {
                    // The pending connection waits in the backlog until accepting is on again.
                    master.Release();
                    plat::SleepForMs(100);
                    master.Acquire();
                }
                continue;
            }
            TransportProtocol* connection = FindConnection(socket);
            const char* kinds[3][2] = {
                {"Transport: socket read event", "Transport: unknown socket read event"},
                {"Transport: socket write event", "Transport: unknown socket write event"},
                {"Transport: socket exception event", "Transport: unknown socket exception event"}};
            const uint32_t state = connection ? connection->GetState() : connectionClosed;
            if (!connection || (pass < 2 && (state == connectionFailed || state == connectionClosed))) {
                Count(kinds[pass][1]);
                continue;
            }
            Count(kinds[pass][0]);
            // The connection's lock first, then the master's goes; the failure path may
            // delete nothing here: connections are deleted by the session layer later.
            Hold hold(*connection, "TransportProtocol::PosterThreadLoop(void)");
            master.Release();
            if (pass == 0) {
                (void)connection->ProcessRead();
                // TLS may hold decrypted bytes the socket no longer signals.
                for (int more = 0; more < 64 && connection->m_Channel &&
                                   connection->GetState() == connectionOpen &&
                                   connection->m_Channel->Pending() > 0;
                     ++more)
                    (void)connection->ProcessRead();
            } else if (pass == 1) {
                (void)connection->ProcessWrite();
                NoteOutputMoved();
            } else {
                (void)connection->ProcessException(CAUSE_UNSPECIFIED);
            }
            // A handshake that waits to write needs the write event even with an empty queue.
            if (connection->m_Channel && connection->GetState() == connectionOpen &&
                connection->m_ConnectionSocket >= 0)
                connection->WantWriteEvents(connection->m_Channel->WantsWrite() || !connection->m_Queue.empty());
            hold.Release();
            master.Acquire();
        }
    }
}

int TransportProtocol::AcceptConnection(bool secure) {
    Count("Transport: accept()");
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int listener = secure ? m_ListenSecureSocket : m_ConnectionSocket;
    const int s = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (s < 0) {
        // Would-block: another turn took the connection, or it went away; nothing to make.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            EMSTraceMessage("TransportProtocol::AcceptConnection: accept failed code = %d",
                            static_cast<int>(LastSocketError()));
        return 0;
    }
    const int32_t limit = ConnectionLimit();
    if (sm_NumConnections.load() + sm_NumConnectionsSecure.load() >= limit) {
        EMSEvent1I0S(kEventConnectionLimit, 0, 0, limit);
        Count("Transport: closesocket()");
        close(s);
        return 0;
    }
    std::unique_ptr<SecuredChannel> channel;
    if (secure) {
        channel = createSecuredChannel(s, E_CHANNEL_SERVER);
        if (!channel) {
            EMSTraceMessage("TransportProtocol::AcceptConnection, Failed to accept the Secured Connection");
            close(s);
            return 0;
        }
    }
    SecuredChannel* rawChannel = channel.get();
    TransportProtocol* connection = CreateConnection(s, std::move(channel));
    if (!connection) {
        // CreateConnection owned the channel and destroyed it on its way out.
        (void)rawChannel;
        Count("Transport: closesocket()");
        close(s);
        return 0;
    }
    {
        Hold hold(*connection, "TransportProtocol::AcceptConnection(int)");
        char dotted[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, dotted, sizeof dotted);
        connection->m_HostAddress = dotted;
        connection->m_HostPort = PortOf(peer);
        if (sm_Registry && sm_Registry->Dynamic(CTIRegistry::HostnameLookup)) {
            char host[NI_MAXHOST] = {};
            const int rc = getnameinfo(reinterpret_cast<sockaddr*>(&peer), sizeof peer, host, sizeof host,
                                       nullptr, 0, NI_NAMEREQD);
            if (rc == 0)
                connection->m_HostName = host;
            else
                EMSTraceMessage("TransportProtocol::AcceptConnection: Unable to determine host by address %s, port %d when accepting connection, error = %d",
                                dotted, static_cast<int>(connection->m_HostPort), rc);
        }
        connection->m_State = connectionOpen;
    }
    if (IsTraceOn(kTraceAccept))
        EMSTraceMessage("TransportProtocol::Accept: Client=%s, Socket=%d, ClientAddr=%s, Port=%d, Host=%s",
                        connection->m_HostName.c_str(), s, connection->m_HostAddress.c_str(),
                        static_cast<int>(connection->m_HostPort), connection->m_HostName.c_str());
    return 1;
}

TransportProtocol* TransportProtocol::CreateConnection(int socket, std::unique_ptr<SecuredChannel> channel) {
    return new TransportProtocol(socket, std::move(channel));
}

// ---------------------------------------------------------------- events

int TransportProtocol::ProcessRead() {
    if (IsTraceOn(kTraceRead))
        EMSTraceMessage("TransportProtocol::ProcessRead: ConnID=%d, Host=%s, IP=%s, Port=%d", m_ConnectionID,
                        m_HostName.c_str(), m_HostAddress.c_str(), static_cast<int>(m_HostPort));
    return ProcessReadEvent();
}

int TransportProtocol::ProcessWrite() {
    if (IsTraceOn(kTraceWrite))
        EMSTraceMessage("TransportProtocol::ProcessWrite: ConnID=%d, Host=%s, IP=%s, Port=%d", m_ConnectionID,
                        m_HostName.c_str(), m_HostAddress.c_str(), static_cast<int>(m_HostPort));
    // A TLS handshake waiting to write goes on even before anything is queued.
    if (m_Channel && m_Queue.empty() && !m_Channel->HandshakeDone()) {
        const int result = m_Channel->Handshake();
        if (result < 0 && m_Channel->IsFatal(result)) {
            Hold hold(*this, "TransportProtocol::ProcessWrite");
            m_State = connectionFailed;
            return FailConnection(hold, CAUSE_CLIENT_DISCONNECTED);
        }
        return 1;
    }
    return ProcessWriteEvent();
}

int TransportProtocol::ProcessException(int cause) {
    if (IsTraceOn(kTraceException))
        EMSTraceMessage("TransportProtocol::ProcessException: ConnID=%d, Host=%s, IP=%s, Port=%d, cause=%s",
                        m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(), static_cast<int>(m_HostPort),
                        StatusCodeName(cause));
    return ProcessExceptionEvent(cause);
}

int TransportProtocol::ProcessExceptionEvent(int cause) {
    if (IsTraceOn(kTraceErrors))
        EMSTraceMessage("TransportProtocol::ProcessExceptionEvent: Exception occurred, %s", StatusCodeName(cause));
    return 1;
}

int TransportProtocol::ProcessFailure(int cause) {
    if (IsTraceOn(kTraceFailure))
        EMSTraceMessage("TransportProtocol::ProcessFailure: ConnID=%d, Host=%s, IP=%s, Port=%d, cause=%s",
                        m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(), static_cast<int>(m_HostPort),
                        StatusCodeName(cause));
    const int result = ProcessFailureEvent(cause);
    if (TransportProtocol* master = sm_Master.load()) master->NoteOutputMoved();
    return result;
}

int TransportProtocol::FailConnection(Hold& hold, int cause) {
    // The failure handler takes the connection's lock itself: the hold that this call
    // took is released first, exactly once, and a hold the caller had stays the caller's.
    hold.Release();
    (void)ProcessFailure(cause);
    return 0;
}

// ---------------------------------------------------------------- receive

TransportProtocol::Received TransportProtocol::ReceiveSome(Hold& hold, uint8_t* buffer, int size,
                                                          const TransportMSG* msg) {
    int count;
    int error = 0;
    if (m_Channel) {
        count = m_Channel->Receive(buffer, size);
        if (count < 0) error = count;
    } else {
        count = static_cast<int>(recv(m_ConnectionSocket, buffer, static_cast<size_t>(size), 0));
        if (count < 0) error = errno;
    }
    if (count > 0) {
        m_BytesReceived += count;
        return {Received::Data, count};
    }
    if (count == 0) {
        // The peer closed (a plain read of 0 bytes, or the TLS close_notify).
        m_State = connectionFailed;
        (void)FailConnection(hold, CAUSE_PEER_CLOSED);
        return {Received::Failed, 0};
    }
    if (m_Channel && !m_Channel->IsFatal(error)) {
        if (IsTraceOn(kTraceRead)) {
            if (msg == nullptr)
                EMSTraceMessage("TransportProtocol(%s)::Received SSL Error code:%d on read operation for ConnID=%d, Host=%s, IP=%s, Port=%d. Retrying read.",
                                ChannelText(), error, m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(),
                                static_cast<int>(m_HostPort));
            else
                EMSTraceMessage("TransportProtocol(%s)::RecvMSG returned SSL error code=%d, ConnID=%d, Host=%s, IP=%s, Port=%d, Bytes=%d/%d, MSGID=%d. Retrying read.",
                                ChannelText(), error, m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(),
                                static_cast<int>(m_HostPort), msg->m_Length - msg->m_Remaining, msg->m_Length,
                                msg->m_MessageID);
        }
        return {Received::Data, 0};
    }
    if (!m_Channel && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) {
        if (msg == nullptr) {
            Count("Transport: recv blocked");
            EMSTraceMessage("TransportProtocol(%s)::RecvBytes: WSAEWOULDBLOCK, ConnID=%d, Host=%s, IP=%s, Port=%d.",
                            ChannelText(), m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(),
                            static_cast<int>(m_HostPort));
        } else {
            Count("Transport: fragmented recv");
            if (IsTraceOn(kTraceRead))
                EMSTraceMessage("TransportProtocol(%s)::RecvMSG: ConnID=%d, Host=%s, IP=%s, Port=%d, MSGID=%d, WSAEWOULDBLOCK.",
                                ChannelText(), m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(),
                                static_cast<int>(m_HostPort), msg->m_MessageID);
        }
        return {Received::Blocked, 0};
    }
    const int code = m_Channel ? error : static_cast<int>(plat::ErrnoToWin32(error));
    if (msg == nullptr)
        EMSTraceMessage("TransportProtocol(%s)::RecvBytes: recv failed code=%d, ConnID=%d, Host=%s, IP=%s, Port=%d.",
                        ChannelText(), code, m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(),
                        static_cast<int>(m_HostPort));
    else if (IsTraceOn(kTraceErrors))
        EMSTraceMessage("TransportProtocol(%s)::RecvMSG: recv failed code=%d, ConnID=%d, Host=%s, IP=%s, Port=%d, Bytes=%d/%d, MSGID=%d.",
                        ChannelText(), code, m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(),
                        static_cast<int>(m_HostPort), msg->m_Length - msg->m_Remaining, msg->m_Length,
                        msg->m_MessageID);
    m_State = connectionFailed;
    (void)FailConnection(hold, CAUSE_CLIENT_DISCONNECTED);
    return {Received::Failed, 0};
}

int TransportProtocol::RecvBytes(uint8_t* buffer, int size) {
    Hold hold(*this, "TransportProtocol::RecvBytes");
    if (size <= 0 || m_ConnectionSocket < 0) return 0;
    const Received got = ReceiveSome(hold, buffer, size, nullptr);
    if (got.kind != Received::Data || got.count == 0 || m_State != connectionOpen) return 0;
    if (IsTraceOn(kTraceRead))
        EMSTraceMessage("TransportProtocol::RecvBytes: ConnID=%d, Host=%s, IP=%s, Port=%d, Bytes=%d/%d.",
                        m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(), static_cast<int>(m_HostPort),
                        got.count, size);
    Meter(meter::ClientBytesReceived, got.count);
    return got.count;
}

int TransportProtocol::RecvMSG(TransportMSG& msg) {
    Hold hold(*this, "TransportProtocol::RecvMSG");
    if (msg.m_Remaining <= 0) {
        if (IsTraceOn(kTraceRead))
            EMSTraceMessage("TransportProtocol::RecvMSG 0 bytes left to recv for message type : %d, returning from function.",
                            static_cast<int>(msg.GetMsgType()));
        return 1;
    }
    if (m_ConnectionSocket < 0) return 0;
    const Received got = ReceiveSome(hold, msg.Position(), msg.m_Remaining, &msg);
    if (got.kind == Received::Failed) return 0;
    if (got.kind == Received::Blocked) return 1;
    msg.Advance(got.count);
    if (m_State != connectionOpen) return 0;
    if (IsTraceOn(kTraceRead))
        EMSTraceMessage("TransportProtocol::RecvMSG: ConnID=%d, Host=%s, IP=%s, Port=%d, Bytes=%d/%d, MSGID=%d.",
                        m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(), static_cast<int>(m_HostPort),
                        msg.m_Length - msg.m_Remaining, msg.m_Length, msg.m_MessageID);
    if (got.count) Meter(meter::ClientBytesReceived, got.count);
    return 1;
}

// ---------------------------------------------------------------- send and queue

void TransportProtocol::TraceQueue(const char* text, size_t length) {
    if ((length >= 1 && length <= 10) || (length > 0 && length % 100 == 0))
        EMSTraceMessage(text, GetClientID(), GetSessionID(), static_cast<int>(length), GetMaxQueuedMessages());
}

void TransportProtocol::WantWriteEvents(bool on) {
    if (on == m_WriteInterest || m_ConnectionSocket < 0) return;
    TransportProtocol* master = sm_Master.load();
    if (master == nullptr) return;
    master->SetWriteInterest(m_ConnectionSocket, on);
    m_WriteInterest = on;
}

std::unique_ptr<TransportMSG> TransportProtocol::TakeHead() {
    std::unique_ptr<TransportMSG> next;
    if (!m_Queue.empty()) {
        next = std::move(m_Queue.front());
        m_Queue.pop_front();
        TraceQueue("TransportProtocol::UnQueueMSG - %s (SessionID %d) , Message unqueued:  (%d msgs in the queue, max:%d)",
                   m_Queue.size());
    }
    if (m_Queue.empty() && !(m_Channel && m_Channel->WantsWrite())) WantWriteEvents(false);
    return next;
}

int TransportProtocol::PositionFor(const TransportMSG& msg) {
    return msg.GetMsgType() == HEARTBEAT_CONF ? QueueAheadOfOrdinary : QueueBack;
}

std::unique_ptr<TransportMSG> TransportProtocol::UnQueueMSG(std::unique_ptr<TransportMSG> msg) {
    Hold hold(*this, "TransportProtocol::UnQueueMSG");
    if (msg == nullptr) return TakeHead();
    if (!m_Queue.empty()) {
        // An overflow has failed the connection already: the caller's send goes on as sent.
        const int position = PositionFor(*msg);
        (void)Enqueue(hold, std::move(msg), position, true);
        return nullptr;
    }
    if (!(m_Channel && m_Channel->WantsWrite())) WantWriteEvents(false);
    return msg;
}

int TransportProtocol::QueueMSG(std::unique_ptr<TransportMSG> msg, int position) {
    Hold hold(*this, "TransportProtocol::QueueMSG");
    // What was posted before goes first.
    TakeRing();
    if (!m_Pending.empty() && m_State == connectionOpen && FlushPending(hold) == 0) return 0;
    return Enqueue(hold, std::move(msg), position, true);
}

int TransportProtocol::Overflow(Hold& hold, std::unique_ptr<TransportMSG> msg) {
    const int limit = GetMaxQueuedMessages();
    EMSEvent2I1S(kEventQueueOverflow, 0, 0, limit, GetSessionID(), GetClientID());
    msg.reset();
    Count("Session: msg queue overflow");
    return FailConnection(hold, CAUSE_UNSPECIFIED);
}

int TransportProtocol::Enqueue(Hold& hold, std::unique_ptr<TransportMSG> msg, int position, bool wantWrite) {
    if (static_cast<int64_t>(m_Queue.size()) >= GetMaxQueuedMessages()) return Overflow(hold, std::move(msg));
    if (position == QueueFront) {
        m_Queue.push_front(std::move(msg));
    } else if (position == QueueAheadOfOrdinary) {
        auto it = std::find_if(m_Queue.begin(), m_Queue.end(), [](const std::unique_ptr<TransportMSG>& queued) {
            return !queued->PartlySent() && queued->GetMsgType() != HEARTBEAT_CONF;
        });
        m_Queue.insert(it, std::move(msg));
    } else {
        m_Queue.push_back(std::move(msg));
    }
    if (wantWrite) WantWriteEvents(true);
    Meter(meter::GlobalTransmitQueue, static_cast<int32_t>(m_Queue.size()));
    Meter(meter::ClientTransmitQueue, static_cast<int32_t>(m_Queue.size()));
    TraceQueue("TransportProtocol::QueueMSG - %s (SessionID %d) , Message queued:  (%d msgs in the queue, max:%d)",
               m_Queue.size());
    return 1;
}

int TransportProtocol::SendMSG(std::unique_ptr<TransportMSG> given) {
    Hold hold(*this, "TransportProtocol::SendMSG");
    if (m_State != connectionOpen) {
        if (IsTraceOn(kTraceWrite))
            EMSTraceMessage("TransportProtocol::SendMSG - connection not open, state=%d, ConnID=%d, Host=%s, IP=%s, Port=%d",
                            static_cast<int>(m_State.load()), m_ConnectionID, m_HostName.c_str(),
                            m_HostAddress.c_str(), static_cast<int>(m_HostPort));
        given.reset();
        hold.Release();
        (void)ProcessFailure(CAUSE_UNSPECIFIED);
        return 0;
    }
    // Messages posted for the writers were sent, as far as the order goes, before this.
    if (given != nullptr) TakeRing();
    if (!m_Pending.empty() && FlushPending(hold) == 0) return 0;
    if (given == nullptr) return SendQueued(hold);
    std::unique_ptr<TransportMSG> msg = UnQueueMSG(std::move(given));
    if (!msg) return 1;
    int result = 1;
    return SendOne(hold, std::move(msg), &result) == Step::Sent ? 1 : result;
}

int TransportProtocol::SendQueued(Hold& hold) {
    if (m_Queue.empty()) {
        (void)TakeHead();
        // What the ring holds comes after the queue.
        return RingCount() > 0 ? SendRing(hold) : 1;
    }
    int result = 1;
    for (int budget = kSendBudget; budget > 0 && !m_Queue.empty();) {
        const size_t before = m_Queue.size();
        const Step step = m_Channel ? SendOne(hold, TakeHead(), &result) : SendBatch(hold, false, &result);
        if (step != Step::Sent) return result;
        budget -= static_cast<int>(before - m_Queue.size());
    }
    if (m_Queue.empty() && RingCount() > 0) return SendRing(hold);
    // Left over for the next turn: the poster's write event, as the socket takes more.
    if (!m_Queue.empty()) WantWriteEvents(true);
    return 1;
}

TransportProtocol::Step TransportProtocol::SendOne(Hold& hold, std::unique_ptr<TransportMSG> msg, int* result) {
    ++msg->m_SendAttempts;
    int sent;
    int error = 0;
    if (m_Channel) {
        sent = m_Channel->Send(msg->SendPosition(), msg->m_Remaining);
        if (sent < 0) error = sent;
    } else {
        sent = static_cast<int>(send(m_ConnectionSocket, msg->SendPosition(), static_cast<size_t>(msg->m_Remaining),
                                     MSG_NOSIGNAL));
        if (sent < 0) error = errno;
    }
    if (sent < 0) {
        if (m_Channel && !m_Channel->IsFatal(error)) {
            if (IsTraceOn(kTraceWrite))
                EMSTraceMessage("TransportProtocol(%s)::SendMSG: Transport error code=%d, ConnID=%d, Host=%s, IP=%s, Port=%d, MSGID=%d.",
                                ChannelText(), error, m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(),
                                static_cast<int>(m_HostPort), msg->m_MessageID);
            sent = 0;
        } else if (!m_Channel && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) {
            Count("Transport: send blocked");
            const uint32_t id = msg->m_MessageID;
            const int32_t length = msg->m_Length, remaining = msg->m_Remaining;
            *result = Enqueue(hold, std::move(msg), QueueFront, true);
            if (*result)
                EMSTraceMessage("TransportProtocol(%s)::SendMSG(Transport blocked, messages requeued): ConnID=%d, Host=%s, IP=%s, Port=%d, Bytes=%d/%d, MSGID=%d.",
                                ChannelText(), m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(),
                                static_cast<int>(m_HostPort), length - remaining, length, id);
            return Step::Stopped;
        } else {
            const int code = m_Channel ? error : static_cast<int>(plat::ErrnoToWin32(error));
            Count("Transport: send failure");
            EMSTraceMessage("TransportProtocol(%s)::SendMSG: Transport failed code=%d, ConnID=%d, Host=%s, IP=%s, Port=%d, MSGID=%d.",
                            ChannelText(), code, m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(),
                            static_cast<int>(m_HostPort), msg->m_MessageID);
            msg.reset();
            m_State = connectionFailed;
            *result = FailConnection(hold, CAUSE_CLIENT_DISCONNECTED);
            return Step::Failed;
        }
    }
    m_BytesSent += sent;
    MeterBytesSent(sent);
    if (sent >= msg->m_Remaining) {
        MeterTransmitDelay(static_cast<int32_t>((plat::MonotonicNs() - msg->m_TimeStamp) / 1000000));
        return Step::Sent;
    }
    msg->Advance(sent);
    EMSTraceMessage("TransportProtocol::SendMSG(Queued due to partial sending): ConnID=%d, Host=%s, IP=%s, Port=%d, Bytes=%d/%d, MSGID=%d.",
                    m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(), static_cast<int>(m_HostPort),
                    msg->m_Length - msg->m_Remaining, msg->m_Length, msg->m_MessageID);
    // A TLS write that must be retried has to be retried with these same bytes first, so
    // nothing may be put ahead of it either.
    if (sent > 0 || m_Channel) msg->m_PartlySent = 1;
    *result = Enqueue(hold, std::move(msg), QueueFront, true);
    return Step::Stopped;
}

TransportProtocol::Step TransportProtocol::SendBatch(Hold& hold, bool pending, int* result) {
    // The first messages in order, each from its position: a partly sent head goes on
    // exactly at its cut byte. They stay where they are until the count says which went.
    std::deque<std::unique_ptr<TransportMSG>>& list = pending ? m_Pending : m_Queue;
    auto take = [&]() -> std::unique_ptr<TransportMSG> {
        if (!pending) return TakeHead();
        std::unique_ptr<TransportMSG> m = std::move(m_Pending.front());
        m_Pending.pop_front();
        return m;
    };
    iovec iov[kBatchMessages];
    int count = 0;
    size_t bytes = 0;
    for (const std::unique_ptr<TransportMSG>& m : list) {
        if (count == kBatchMessages || (count > 0 && bytes >= kBatchBytes)) break;
        iov[count].iov_base = const_cast<uint8_t*>(m->SendPosition());
        iov[count].iov_len = static_cast<size_t>(m->m_Remaining);
        bytes += iov[count].iov_len;
        ++count;
    }
    // One message: the plain send, exactly as before.
    if (count == 1) return SendOne(hold, take(), result);
    const ssize_t sent = SendGathered(m_ConnectionSocket, iov, count);
    if (sent < 0) {
        // Blocked or failed on the first message: what a send of it alone meets.
        const int error = errno;
        std::unique_ptr<TransportMSG> head = take();
        ++head->m_SendAttempts;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
            Count("Transport: send blocked");
            const uint32_t id = head->m_MessageID;
            const int32_t length = head->m_Length, remaining = head->m_Remaining;
            *result = Enqueue(hold, std::move(head), QueueFront, true);
            if (*result)
                EMSTraceMessage("TransportProtocol(%s)::SendMSG(Transport blocked, messages requeued): ConnID=%d, Host=%s, IP=%s, Port=%d, Bytes=%d/%d, MSGID=%d.",
                                ChannelText(), m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(),
                                static_cast<int>(m_HostPort), length - remaining, length, id);
            return Step::Stopped;
        }
        Count("Transport: send failure");
        EMSTraceMessage("TransportProtocol(%s)::SendMSG: Transport failed code=%d, ConnID=%d, Host=%s, IP=%s, Port=%d, MSGID=%d.",
                        ChannelText(), static_cast<int>(plat::ErrnoToWin32(error)), m_ConnectionID,
                        m_HostName.c_str(), m_HostAddress.c_str(), static_cast<int>(m_HostPort), head->m_MessageID);
        head.reset();
        m_State = connectionFailed;
        *result = FailConnection(hold, CAUSE_CLIENT_DISCONNECTED);
        return Step::Failed;
    }
    m_BytesSent += sent;
    MeterBytesSent(sent);
    // Each message the count reaches is taken off as if sent alone: the whole ones are done,
    // a cut one goes back to the front of the queue marked partly sent; the rest were not
    // tried and stay where they were.
    size_t left = static_cast<size_t>(sent);
    const int64_t now = plat::MonotonicNs();
    // The transmit-delay meter keeps the largest delay: one update with the batch's largest
    // leaves it as one update per message would.
    int32_t longest = -1;
    struct DelayMeter {
        int32_t& value;
        ~DelayMeter() {
            if (value >= 0) MeterTransmitDelay(value);
        }
    } delayMeter{longest};
    for (int i = 0; i < count; ++i) {
        if (left == 0 && i > 0) {
            // The socket took nothing more. From the queue: the poster reports when it
            // does. Posted ones: their own sends come next, and meet the block.
            if (pending) return Step::Sent;
            WantWriteEvents(true);
            return Step::Stopped;
        }
        std::unique_ptr<TransportMSG> msg = take();
        ++msg->m_SendAttempts;
        const auto remaining = static_cast<size_t>(msg->m_Remaining);
        if (left >= remaining) {
            left -= remaining;
            longest = std::max(longest, static_cast<int32_t>((now - msg->m_TimeStamp) / 1000000));
            continue;
        }
        msg->Advance(static_cast<int32_t>(left));
        EMSTraceMessage("TransportProtocol::SendMSG(Queued due to partial sending): ConnID=%d, Host=%s, IP=%s, Port=%d, Bytes=%d/%d, MSGID=%d.",
                        m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(), static_cast<int>(m_HostPort),
                        msg->m_Length - msg->m_Remaining, msg->m_Length, msg->m_MessageID);
        if (left > 0) msg->m_PartlySent = 1;
        *result = Enqueue(hold, std::move(msg), QueueFront, true);
        return Step::Stopped;
    }
    return Step::Sent;
}

int TransportProtocol::FlushPending(Hold& hold) {
    int result = 1;
    while (!m_Pending.empty()) {
        if (!m_Queue.empty()) {
            // Behind a queue nothing is sent now: each goes where SendMSG would queue it.
            std::unique_ptr<TransportMSG> msg = std::move(m_Pending.front());
            m_Pending.pop_front();
            const int position = PositionFor(*msg);
            if (Enqueue(hold, std::move(msg), position, true) == 0) return 0;
            continue;
        }
        std::unique_ptr<TransportMSG> head;
        if (m_Channel) {
            head = std::move(m_Pending.front());
            m_Pending.pop_front();
        }
        const Step step = m_Channel ? SendOne(hold, std::move(head), &result) : SendBatch(hold, true, &result);
        if (step == Step::Failed || result == 0) return 0;
        if (step == Step::Sent && !m_Channel && !m_Pending.empty() && m_Queue.empty()) {
            // The socket stopped taking bytes at a message boundary: the next send meets
            // the block, and the message goes to the queue as SendMSG would put it.
            continue;
        }
    }
    return 1;
}

// ---------------------------------------------------------------- writer threads

int TransportProtocol::PostMSG(std::unique_ptr<TransportMSG> msg) {
    if (m_Lane == nullptr) return SendMSG(std::move(msg));
    Hold hold(*this, "TransportProtocol::PostMSG");
    if (m_State != connectionOpen) {
        hold.Release();
        return SendMSG(std::move(msg));
    }
    TakeRing();
    if (m_Pending.empty() && !m_Queue.empty()) {
        // SendMSG's own step: behind a queue nothing is sent now, so nothing waits for a
        // writer; an overflow has failed the connection and counts, as there, as sent.
        const int position = PositionFor(*msg);
        (void)Enqueue(hold, std::move(msg), position, true);
        return 1;
    }
    // Waiting for the writer counts against the same limit as the queue: a session whose
    // messages pile up fails alone, whoever is slow.
    const size_t waiting = m_Pending.size() + m_Queue.size();
    if (waiting > 0 && static_cast<int64_t>(waiting) >= GetMaxQueuedMessages()) return Overflow(hold, std::move(msg));
    m_Pending.push_back(std::move(msg));
    Schedule();
    return 1;
}

void TransportProtocol::Schedule() {
    if (m_Scheduled.load(std::memory_order_acquire)) return;
    WriterLane& lane = *m_Lane;
    bool wake;
    {
        std::lock_guard<std::mutex> lock(lane.mutex);
        if (m_Scheduled.load(std::memory_order_relaxed) || lane.stop) return;
        m_Scheduled.store(true, std::memory_order_relaxed);
        wake = lane.ready.empty();
        lane.ready.push_back(this);
    }
    if (wake) lane.work.notify_one();
}

void TransportProtocol::DetachFromWriter() {
    WriterLane* lane = m_Lane;
    if (lane == nullptr) return;
    std::unique_lock<std::mutex> lock(lane->mutex);
    if (m_Scheduled.load(std::memory_order_relaxed)) {
        auto it = std::find(lane->ready.begin(), lane->ready.end(), this);
        if (it != lane->ready.end()) lane->ready.erase(it);
        m_Scheduled.store(false, std::memory_order_relaxed);
    }
    if (lane->current == this && lane->thread.get_id() != std::this_thread::get_id()) {
        ++lane->detaching;
        lane->idle.wait(lock, [&] { return lane->current != this; });
        --lane->detaching;
    }
    m_Lane = nullptr;
}

void TransportProtocol::StartWriters() {
    if (!m_Lanes.empty()) return;
    const int count = sm_WriterThreads.load();
    for (int i = 0; i < count; ++i) {
        auto lane = std::make_unique<WriterLane>();
        WriterLane* raw = lane.get();
        try {
            lane->thread = std::thread([this, raw] { WriterLoop(*raw); });
        } catch (const std::system_error&) {
            EMSFailMessageLastError("TransportProtocol::Open: Unable to start transport writer thread.");
        }
        lane->running = true;
        m_Lanes.push_back(std::move(lane));
    }
}

void TransportProtocol::StopWriters() {
    for (auto& lane : m_Lanes) {
        {
            std::lock_guard<std::mutex> lock(lane->mutex);
            lane->stop = true;
        }
        lane->work.notify_all();
    }
    for (auto& lane : m_Lanes)
        if (lane->thread.joinable()) lane->thread.join();
    // The lanes stay until the master goes: connections still point at them, and PostMSG on
    // a closed connection never reaches a lane.
    for (auto& lane : m_Lanes) {
        std::lock_guard<std::mutex> lock(lane->mutex);
        for (TransportProtocol* c : lane->ready) c->m_Scheduled.store(false, std::memory_order_relaxed);
        lane->ready.clear();
        lane->running = false;
    }
}

void TransportProtocol::WriterLoop(WriterLane& lane) {
    SendMeters meters;
    t_sendMeters = &meters;
    int turns = 0;
    std::unique_lock<std::mutex> lock(lane.mutex);
    for (;;) {
        // The meters move before the writer waits, and at least every kMeterTurns turns.
        if ((lane.ready.empty() || lane.stop || ++turns >= kMeterTurns) &&
            (meters.bytes > 0 || meters.longestDelay >= 0)) {
            turns = 0;
            lock.unlock();
            FlushSendMeters(meters);
            lock.lock();
        }
        lane.work.wait(lock, [&] { return lane.stop || !lane.ready.empty(); });
        if (lane.stop) break;
        TransportProtocol* connection = lane.ready.front();
        lane.ready.pop_front();
        // Cleared before the send: a message posted from here on schedules the connection
        // again, and one posted before is in the queue this turn sends.
        connection->m_Scheduled.store(false, std::memory_order_relaxed);
        lane.current = connection;
        lock.unlock();
        {
            Hold hold(*connection, "TransportProtocol::WriterThread");
            connection->WriterTurn(hold);
        }
        NoteOutputMoved();
        lock.lock();
        lane.current = nullptr;
        if (lane.detaching) lane.idle.notify_all();
    }
    lock.unlock();
    FlushSendMeters(meters);
    t_sendMeters = nullptr;
}

void TransportProtocol::NoteOutputMoved() {
    m_OutputNotes.fetch_add(1);
    if (m_OutputWaiters.load() == 0) return;
    // Through the mutex: a waiter between its look and its wait still hears it.
    { std::lock_guard<std::mutex> lock(m_OutputMutex); }
    m_OutputMoved.notify_all();
}

bool TransportProtocol::WaitForOutput(int64_t deadlineNs, const std::function<bool()>& allSent) {
    // Counted before the first look: a note after it either sees the waiter or moved the
    // count this wait compares with.
    m_OutputWaiters.fetch_add(1);
    bool sent = false;
    for (;;) {
        const uint64_t seen = m_OutputNotes.load();
        if ((sent = allSent())) break;
        std::unique_lock<std::mutex> lock(m_OutputMutex);
        if (!plat::WaitUntil(m_OutputMoved, lock, deadlineNs, [&] { return m_OutputNotes.load() != seen; })) {
            lock.unlock();
            sent = allSent();
            break;
        }
    }
    m_OutputWaiters.fetch_sub(1);
    return sent;
}

// ---------------------------------------------------------------- close

void TransportProtocol::DeleteQueue() {
    m_Queue.clear();
    m_Pending.clear();
    DropRing();
}

// ---------------------------------------------------------------- frames given by reference

void TransportProtocol::TakeRing() {
    const uint32_t head = m_RingHead.load(std::memory_order_acquire);
    uint32_t tail = m_RingTail.load(std::memory_order_relaxed);
    if (head == tail) return;
    const int64_t taken = static_cast<int64_t>(head - tail);
    for (; tail != head; ++tail) {
        SharedFrame* frame = m_Ring[tail % kRingSlots];
        // A copy that cannot be made is a message lost for want of memory, as any other.
        if (std::unique_ptr<TransportMSG> copy = frame->Frame().CopySharing()) m_Pending.push_back(std::move(copy));
        frame->Release();
    }
    m_RingTail.store(head, std::memory_order_release);
    g_sharedWaiting.fetch_sub(taken, std::memory_order_relaxed);
}

void TransportProtocol::DropRing() {
    const uint32_t head = m_RingHead.load(std::memory_order_acquire);
    uint32_t tail = m_RingTail.load(std::memory_order_relaxed);
    if (head == tail) return;
    const int64_t dropped = static_cast<int64_t>(head - tail);
    for (; tail != head; ++tail) m_Ring[tail % kRingSlots]->Release();
    m_RingTail.store(head, std::memory_order_release);
    g_sharedWaiting.fetch_sub(dropped, std::memory_order_relaxed);
}

void TransportProtocol::WriterTurn(Hold& hold) {
    if (m_State != connectionOpen) return;
    if (!m_Pending.empty() && FlushPending(hold) == 0) return;
    if (m_State != connectionOpen || RingCount() == 0) return;
    if (m_Queue.empty()) {
        (void)SendRing(hold);
    } else if (RingCount() >= kRingSlots / 2) {
        // Behind a queue the ring waits for the write event; near full, it joins the queue
        // (with its limit) so that the fan-out keeps its slots.
        TakeRing();
        (void)FlushPending(hold);
    }
}

int TransportProtocol::QueueTaken(Hold& hold) {
    TakeRing();
    while (!m_Pending.empty()) {
        std::unique_ptr<TransportMSG> msg = std::move(m_Pending.front());
        m_Pending.pop_front();
        const int position = PositionFor(*msg);
        if (Enqueue(hold, std::move(msg), position, true) == 0) return 0;
    }
    return 1;
}

int TransportProtocol::SendRing(Hold& hold) {
    // Only the frames there now: later ones come with the turn their post schedules.
    const uint32_t end = m_RingHead.load(std::memory_order_acquire);
    uint32_t tail = m_RingTail.load(std::memory_order_relaxed);
    while (tail != end) {
        if (m_Channel || !m_Queue.empty() || !m_Pending.empty()) {
            TakeRing();
            return FlushPending(hold);
        }
        iovec iov[kBatchMessages];
        int count = 0;
        size_t bytes = 0;
        for (uint32_t i = tail; i != end && count < kBatchMessages && (count == 0 || bytes < kBatchBytes); ++i) {
            const TransportMSG& frame = m_Ring[i % kRingSlots]->Frame();
            iov[count].iov_base = const_cast<uint8_t*>(frame.Bytes());
            iov[count].iov_len = static_cast<size_t>(frame.Length());
            bytes += iov[count].iov_len;
            ++count;
        }
        const ssize_t sent = SendGathered(m_ConnectionSocket, iov, count);
        if (sent < 0) {
            const int error = errno;
            // Blocked: the posted way meets the block, with its traces, and queues.
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
                TakeRing();
                return FlushPending(hold);
            }
            Count("Transport: send failure");
            EMSTraceMessage("TransportProtocol(%s)::SendMSG: Transport failed code=%d, ConnID=%d, Host=%s, IP=%s, Port=%d, MSGID=%d.",
                            ChannelText(), static_cast<int>(plat::ErrnoToWin32(error)), m_ConnectionID,
                            m_HostName.c_str(), m_HostAddress.c_str(), static_cast<int>(m_HostPort),
                            m_Ring[tail % kRingSlots]->Frame().m_MessageID);
            m_State = connectionFailed;
            return FailConnection(hold, CAUSE_CLIENT_DISCONNECTED);
        }
        m_BytesSent += sent;
        MeterBytesSent(sent);
        size_t left = static_cast<size_t>(sent);
        const int64_t now = plat::MonotonicNs();
        int32_t longest = -1;
        const uint32_t batchEnd = tail + static_cast<uint32_t>(count);
        for (; tail != batchEnd; ++tail) {
            SharedFrame* frame = m_Ring[tail % kRingSlots];
            const auto length = static_cast<size_t>(frame->Frame().Length());
            if (left < length) break;
            left -= length;
            longest = std::max(longest, static_cast<int32_t>((now - frame->Frame().m_TimeStamp) / 1000000));
            frame->Release();
        }
        if (longest >= 0) MeterTransmitDelay(longest);
        const int64_t done = static_cast<int64_t>(tail - m_RingTail.load(std::memory_order_relaxed));
        m_RingTail.store(tail, std::memory_order_release);
        g_sharedWaiting.fetch_sub(done, std::memory_order_relaxed);
        if (tail == batchEnd) continue;
        // The socket took part of the batch: a cut frame goes on from its cut byte as a
        // message of its own at the front of the queue, and everything after waits behind it.
        if (left > 0) {
            SharedFrame* frame = m_Ring[tail % kRingSlots];
            std::unique_ptr<TransportMSG> msg = frame->Frame().CopySharing();
            frame->Release();
            m_RingTail.store(++tail, std::memory_order_release);
            g_sharedWaiting.fetch_sub(1, std::memory_order_relaxed);
            if (msg) {
                ++msg->m_SendAttempts;
                msg->Advance(static_cast<int32_t>(left));
                EMSTraceMessage("TransportProtocol::SendMSG(Queued due to partial sending): ConnID=%d, Host=%s, IP=%s, Port=%d, Bytes=%d/%d, MSGID=%d.",
                                m_ConnectionID, m_HostName.c_str(), m_HostAddress.c_str(), static_cast<int>(m_HostPort),
                                msg->m_Length - msg->m_Remaining, msg->m_Length, msg->m_MessageID);
                msg->m_PartlySent = 1;
                if (Enqueue(hold, std::move(msg), QueueFront, true) == 0) return 0;
            }
        }
        WantWriteEvents(true);
        return QueueTaken(hold);
    }
    return 1;
}

void TransportProtocol::ShutdownConnection() {
    Hold hold(*this, "TransportProtocol::ShutdownConnection");
    m_State = connectionShutdown;
    if (m_ConnectionSocket >= 0) (void)shutdown(m_ConnectionSocket, SHUT_WR);
    if (IsTraceOn(kTraceShutdown))
        EMSTraceMessage("TransportProtocol::ShutdownConnection: ConnID=%d, Host=%s, IP=%s, Port=%d.", m_ConnectionID,
                        m_HostName.c_str(), m_HostAddress.c_str(), static_cast<int>(m_HostPort));
}

void TransportProtocol::CloseConnection() {
    Hold hold(*this, "TransportProtocol::CloseConnection");
    if (m_State == connectionClosed) return;
    m_State = connectionClosed;
    DeleteQueue();
    TransportProtocol* master = sm_Master.load();
    if (master && m_ConnectionSocket >= 0) {
        if (m_InTable) {
            std::lock_guard<std::mutex> table(master->m_TableMutex);
            auto it = master->m_Table.find(m_ConnectionSocket);
            if (it != master->m_Table.end() && it->second == this) master->m_Table.erase(it);
            m_InTable = false;
        }
        master->RemoveFromDescriptor(m_ConnectionSocket);
    }
    if (m_ConnectionSocket >= 0) {
        Count("Transport: closesocket()");
        if (m_Channel) {
            m_Channel->Close();
            m_Channel.reset();
        }
        close(m_ConnectionSocket);
        m_ConnectionSocket = -1;
    }
    if (IsTraceOn(kTraceClosed))
        EMSTraceMessage("TransportProtocol::CloseConnection: ConnID=%d, Host=%s, IP=%s, Port=%d.", m_ConnectionID,
                        m_HostName.c_str(), m_HostAddress.c_str(), static_cast<int>(m_HostPort));
    if (master) master->NoteOutputMoved();
}

// ---------------------------------------------------------------- console

void TransportProtocol::Dump(std::string& text) {
    char line[512];
    text += m_IsMaster ? "\nTransportProtocol (MASTER):\n" : "\nTransportProtocol:\n";
    text += "    m_State=";
    if (const char* name = StateName(m_State)) {
        text += name;
        text += "\n";
    } else {
        snprintf(line, sizeof line, "*** INVALID STATE %d ***\n", static_cast<int>(m_State.load()));
        text += line;
    }
    if (m_IsMaster) {
        snprintf(line, sizeof line,
                 "    m_ListenSocket=%u   sm_ListenPort=%d   m_ListenSecureSocket=%u   sm_ListenSecurePort=%d   sm_NumConnections=%d sm_NumConnectionsSecure=%d\n",
                 static_cast<unsigned>(m_ConnectionSocket), sm_ListenPort, static_cast<unsigned>(m_ListenSecureSocket),
                 sm_ListenSecurePort, sm_NumConnections.load(), sm_NumConnectionsSecure.load());
        text += line;
    } else {
        snprintf(line, sizeof line, "    m_HostName=%s   m_HostAddress=%s   m_HostPort=%d\n", m_HostName.c_str(),
                 m_HostAddress.c_str(), static_cast<int>(m_HostPort));
        text += line;
        snprintf(line, sizeof line, "    m_BytesSent=%lld   m_BytesReceived=%lld\n",
                 static_cast<long long>(m_BytesSent), static_cast<long long>(m_BytesReceived));
        text += line;
    }
    snprintf(line, sizeof line, "    m_ConnectionID=%d   m_ConnectionSocket=%u\n", m_ConnectionID,
             static_cast<unsigned>(m_ConnectionSocket));
    text += line;
}

void TransportProtocol::DebugControl(std::string& text, int acceptToggle, int simSendError) {
    if (acceptToggle != -1) sm_AcceptConnections = !sm_AcceptConnections.load();
    if (simSendError != -1) sm_SimSendError = simSendError < 0 ? 0 : simSendError;
    char line[64];
    snprintf(line, sizeof line, "AcceptConnections=%s SimSendError=%d", sm_AcceptConnections.load() ? "on" : "off",
             sm_SimSendError.load());
    text += line;
}
