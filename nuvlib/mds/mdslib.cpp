// The MDS client: registration, the send and dispatch rules, the frames, the receive loop,
// the output thread, connection loss, reconnection and stop.
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "nuvlib/emt/emt.h"
#include "nuvlib/mbuf.h"
#include "nuvlib/mdsport.h"
#include "nuvlib/ems.h"
#include "nuvlib/mds/mds.h"
#include "nuvlib/mds/mdsinternal.h"
#include "nuvlib/mds/mdsperfmon.h"
#include "platform/byteorder.h"
#include "platform/clock.h"
#include "platform/lasterror.h"
#include "platform/registry.h"

namespace {

constexpr uint32_t kTraceEntry = 1u << 31;
constexpr uint32_t kTraceMsgs = 1u << 27;
constexpr uint32_t kTraceClient = 1u << 31;
constexpr const char* kRegBase = "SOFTWARE\\Quenlo Systems, Inc.";

struct ClientState {
    std::string clientName, instanceName;
    uint8_t handle = 0xFF;
    uint32_t flag = 0;
    uint32_t synchronized = 0;
    uint16_t heartbeat = 0;
    sockaddr_in local{}, mdsAddr{}, xferAddr{};

    std::atomic<bool> started{false}, stopping{false}, connected{false}, inService{false};
    uint32_t stamp = 0xFFFFFFFF;
    uint16_t sequence = 0;
    uint8_t echo = 0;
    MDSHandler handlers[256] = {};
    MDSHandler defaultHandler = nullptr;
    std::atomic<MBuf*> currentInput{nullptr};

    std::atomic<uint32_t> sent{0}, received{0}, bytesSent{0}, bytesReceived{0};

    BufferPool* pool = nullptr;
    MessageQueue* queue = nullptr;
    emt::Event breakEvent{true, false};
    // Set whenever a frame is queued or the link is dropped: with the break event it is
    // all the output thread waits for, so that thread needs no timed wake-up.
    emt::Event outputWork{false, false};
    emt::Event stopAck{true, false};
    emt::Event stopEvent{true, false};
    std::mutex lock;
    uint32_t conn = 0xFFFFFFFF;
    std::thread output;
};

std::atomic<bool> g_registered{false};
ClientState* g_client = nullptr;
uint32_t g_emtFlags = 0;
thread_local bool t_receiveThread = false;

bool Trace(uint32_t bit) { return (EMSGetTraceMask() & bit) != 0; }
void Entering(const char* name) {
    if (Trace(kTraceEntry)) EMSTraceMessage("MDS: Entering %s", name);
}

MBuf* BufOf(void* payload) {
    return reinterpret_cast<MBuf*>(static_cast<uint8_t*>(payload) - kMBufHeader);
}
uint8_t* FrameOf(MBuf* b) { return b->data + b->offset; }
uint8_t* PayloadOf(MBuf* b) { return FrameOf(b) + 4 + MDS_HEADER_SIZE; }

// ----- registry ------------------------------------------------------------------------

struct Key {
    plat::RegKey k = nullptr;
    ~Key() {
        if (k) plat::RegCloseKey(k);
    }
};

bool ReadDword(plat::RegKey k, const char* name, uint32_t max, uint32_t* out) {
    uint32_t type = 0, v = 0, size = sizeof v;
    uint32_t r = plat::RegQueryValue(k, name, &type, &v, &size);
    if (r != 0 || type != plat::REG_DWORD || size != 4) {
        plat::SetLastError(r ? r : 13);
        return false;
    }
    if (v > max) {
        plat::SetLastError(13);
        return false;
    }
    *out = v;
    return true;
}

bool ReadString(plat::RegKey k, const char* name, std::string* out) {
    uint32_t type = 0, size = 0;
    uint32_t r = plat::RegQueryValue(k, name, &type, nullptr, &size);
    if (r != 0 || type != plat::REG_SZ || size > 4096) {
        plat::SetLastError(r ? r : 13);
        return false;
    }
    std::string s(size, '\0');
    r = plat::RegQueryValue(k, name, &type, s.data(), &size);
    if (r != 0) {
        plat::SetLastError(r);
        return false;
    }
    s.resize(strnlen(s.c_str(), size));
    *out = s;
    return true;
}

std::string KeyPath(const std::string& instance, const char* tail) {
    return std::string(kRegBase) + "\\" + instance + "\\" + tail;
}

// ----- frames --------------------------------------------------------------------------

MBuf* NewControlFrame(uint8_t type, uint16_t bodyLength) {
    MBuf* b = g_client->pool->Alloc(4 + bodyLength);
    std::memset(b->data + b->offset, 0, 4u + bodyLength);
    EmtSetHeader(FrameOf(b), bodyLength, MDS_EMT_CLASS, type);
    b->length = 4u + bodyLength;
    return b;
}

// Sends a control frame on the connection directly (registration, before the output
// thread matters) or through the queue.
uint32_t SendNow(MBuf* b) {
    uint32_t r = EMTSend(g_client->conn, FrameOf(b));
    g_client->pool->Free(b);
    return r;
}

void Queue(MBuf* b) {
    (void)g_client->queue->Put(b);
    g_client->outputWork.Set();
}

// One frame into a buffer of the pool: a 128-byte buffer first, the exact size when
// the frame is larger. Null when the connection failed.
MBuf* ReceiveFrame() {
    ClientState* c = g_client;
    MBuf* b = c->pool->Alloc(128);
    uint32_t r = EMTReceive(c->conn, FrameOf(b), 128);
    if (r == EMT_E_BUFFER_TOO_SMALL) {
        uint32_t body = EmtBodyLength(FrameOf(b));
        c->pool->Free(b);
        b = c->pool->Alloc(body + 4);
        r = EMTReceive(c->conn, FrameOf(b), body + 4);
        if (r == EMT_E_BUFFER_TOO_SMALL) EMSFailMessage("Unable to allocate correct size buffer.");
    }
    if (r != 0) {
        c->pool->Free(b);
        return nullptr;
    }
    b->length = EmtBodyLength(FrameOf(b)) + 4u;
    if (Trace(kTraceMsgs))
        EMSEventData0I1S(0x21040019, EMS_STATUS_NONE, 0, b->length, FrameOf(b),
                         c->clientName.c_str());
    c->received.fetch_add(1);
    c->bytesReceived.fetch_add(b->length);
    return b;
}

bool IsFrame(MBuf* b, uint8_t type) {
    const uint8_t* f = FrameOf(b);
    return f[2] == MDS_EMT_CLASS && f[3] == type;
}

// ----- connection ----------------------------------------------------------------------

void Disconnect() {
    ClientState* c = g_client;
    if (!c->connected.exchange(false)) return;
    uint32_t err = EMTGetConnectionError(c->conn);
    EMTDisconnect(c->conn);
    c->outputWork.Set();
    if (!c->stopping.load()) EMSEvent0I0S(0xE1048001, EMS_STATUS_EMT, err);
}

// The break event serves one link after another, and EMT tells an overlapped disconnect
// of a link once the threads inside EMT have left it, which may be after this client has
// reset the event and connected again. A signal therefore counts only when `conn` is down
// on a look taken after the reset; a late one from an earlier link is cleared. A real break
// stays signalled for the other thread that waits on the event.
bool LinkBroke(uint32_t conn) {
    ClientState* c = g_client;
    if (!c->breakEvent.IsSet()) return false;
    c->breakEvent.Reset();
    if (EMTGetConnectionError(conn) == 0) return false;
    c->breakEvent.Set();
    return true;
}

void OutputThread() {
    ClientState* c = g_client;
    if (Trace(kTraceClient)) EMSTraceMessage("MDS: Output thread started.");
    EMSSetInsideMDS(true);
    const uint32_t conn = c->conn;
    while (c->connected.load()) {
        if (LinkBroke(conn)) break;
        MBuf* b = c->queue->Get();
        if (!b) {
            // No time limit: a queued frame, a break or a disconnect sets one of these.
            (void)emt::WaitAny({&c->breakEvent, &c->outputWork}, emt::kInfinite);
            continue;
        }
        if (Trace(kTraceMsgs))
            EMSEventData0I1S(0x2104001A, EMS_STATUS_NONE, 0, b->length, FrameOf(b),
                             c->clientName.c_str());
        uint32_t r = EMTSend(conn, FrameOf(b));
        uint32_t len = b->length;
        c->pool->Free(b);
        if (r != 0) break;
        c->sent.fetch_add(1);
        c->bytesSent.fetch_add(len);
    }
    EMSSetInsideMDS(false);
    Disconnect();
    if (Trace(kTraceClient)) EMSTraceMessage("MDS: Output thread detected connection failure.");
}

uint32_t Connect() {
    ClientState* c = g_client;
    uint32_t conn = 0;
    uint32_t r = EMTConnectInfinite(&c->local, &c->mdsAddr, c->heartbeat, &c->breakEvent, &conn,
                                    g_emtFlags, nullptr);
    if (r != 0) return r;
    c->conn = conn;
    c->connected = true;
    try {
        c->output = std::thread(OutputThread);
    } catch (...) {
        EMTDisconnect(conn);
        c->connected = false;
        return MDS_E_OUTPUT_THREAD;
    }
    EMSEvent0I0S(0x61048002, EMS_STATUS_NONE, 0);
    return 0;
}

void mds_reset() {
    ClientState* c = g_client;
    if (c->output.joinable()) c->output.join();
    while (MBuf* b = c->queue->Get()) c->pool->Free(b);
    c->breakEvent.Reset();
    c->outputWork.Reset();
}

void OutOfServiceLocked() {
    g_client->inService = false;
    g_client->stamp = 0xFFFFFFFF;
    g_client->sequence = 0;
}

void Dispatch(MBuf* b) {
    ClientState* c = g_client;
    uint8_t* hdr = FrameOf(b) + 4;
    uint8_t cls = hdr[14];
    c->currentInput = b;
    MDSHandler h = c->handlers[cls] ? c->handlers[cls] : c->defaultHandler;
    if (h) h(hdr, PayloadOf(b));
    // Still ours unless the handler sent it on.
    if (c->currentInput.exchange(nullptr) == b) c->pool->Free(b);
}

// The out-of-service message the client gives itself when the link goes while in service.
void DispatchSyntheticOutOfService() {
    ClientState* c = g_client;
    MBuf* b = c->pool->Alloc(4 + MDS_HEADER_SIZE);
    EmtSetHeader(FrameOf(b), MDS_HEADER_SIZE, MDS_EMT_CLASS, MDS_MSG_DATA);
    MDSHeader h;
    h.destination = c->handle;
    h.flags = c->flag ? 2 : 0;
    h.messageClass = 0;
    h.messageType = MDS_STATUS_OUT_OF_SERVICE;
    MDSEncodeHeader(h, FrameOf(b) + 4);
    b->length = 4 + MDS_HEADER_SIZE;
    Dispatch(b);
}

// A data frame whose MDS header or payload length does not fit its body is dropped.
bool ValidDataFrame(MBuf* b) {
    uint32_t body = EmtBodyLength(FrameOf(b));
    if (body < MDS_HEADER_SIZE) return false;
    uint32_t plen = plat::LoadLE16(FrameOf(b) + 6);
    return plen <= body - MDS_HEADER_SIZE;
}

void ReceiveSteps(MBuf* b) {
    ClientState* c = g_client;
    const uint8_t* hdr = FrameOf(b) + 4;
    std::lock_guard<std::mutex> g(c->lock);
    uint32_t stamp = plat::LoadLE32(hdr + 8);
    if (stamp != 0xFFFFFFFF) {
        c->stamp = stamp;
        c->sequence = 0;
    }
    c->echo = hdr[6] & 1;
    if (hdr[14] == 0) {
        if (hdr[15] == MDS_STATUS_IN_SERVICE)
            c->inService = true;
        else if (hdr[15] == MDS_STATUS_OUT_OF_SERVICE)
            OutOfServiceLocked();
    }
}

uint32_t RegisterExchange() {
    ClientState* c = g_client;
    for (;;) {
        MBuf* req = NewControlFrame(MSG_REGISTER_CLIENT, 4);
        FrameOf(req)[4] = c->handle;
        uint32_t status = MDS_E_NO_REPLY;
        if (SendNow(req) == 0) {
            if (MBuf* rep = ReceiveFrame()) {
                if (!IsFrame(rep, MSG_REGISTER_REPLY) || EmtBodyLength(FrameOf(rep)) != 4)
                    EMSFailMessage("MDS: Invalid response from MDS process while registering client.");
                status = plat::LoadLE32(FrameOf(rep) + 4);
                c->pool->Free(rep);
            }
        }
        if (status == 0 || status == MDS_S_REGISTERED) return status;
        if (status == MDS_E_ALREADY_REGISTERED) {
            EMSEvent0I0S(0xE1040005, EMS_STATUS_MDS, status);
            plat::SleepForMs(15000);
            continue;
        }
        if (status == MDS_E_NO_REPLY) {
            Disconnect();
            mds_reset();
            plat::SleepForMs(3000);
            uint32_t r = Connect();
            if (r != 0) return r;
            continue;
        }
        EMSEvent0I0S(0xE1040005, EMS_STATUS_MDS, status);
        return status;
    }
}

bool ReconnectLoop() {
    ClientState* c = g_client;
    for (;;) {
        if (c->stopping.load()) return false;
        plat::SleepForMs(3000);
        if (c->stopping.load()) return false;
        uint32_t r = Connect();
        if (r != 0) {
            EMSEvent0I0S(0xE104800E, EMS_STATUS_MDS, r);
            continue;
        }
        MBuf* req = NewControlFrame(MSG_RECONNECT_CLIENT, 4);
        FrameOf(req)[4] = c->handle;
        Queue(req);
        MBuf* rep = ReceiveFrame();
        if (!rep) {
            Disconnect();
            mds_reset();
            EMSEvent0I0S(0xE104800E, EMS_STATUS_MDS, MDS_E_NO_REPLY);
            continue;
        }
        if (!IsFrame(rep, MSG_RECONNECT_REPLY) || EmtBodyLength(FrameOf(rep)) < 4)
            EMSFailMessage("MDS: Invalid reconnect response received from MDS process.");
        uint32_t status = plat::LoadLE32(FrameOf(rep) + 4);
        c->pool->Free(rep);
        if (status == 0) {
            EMSEvent0I0S(0x61048003, EMS_STATUS_NONE, 0);
            return true;
        }
        EMSEvent0I0S(0xE104800E, EMS_STATUS_MDS, status);
        Disconnect();
        mds_reset();
    }
}

// Runs `onDeadline` when the injectable clock reaches `deadlineNs`, unless cancelled
// first; the destructor cancels and joins.
class Deadline {
public:
    Deadline(int64_t deadlineNs, std::function<void()> onDeadline)
        : thread_([this, deadlineNs, f = std::move(onDeadline)] {
              std::unique_lock<std::mutex> l(mu_);
              if (!plat::WaitUntil(cv_, l, deadlineNs, [this] { return cancelled_; })) f();
          }) {}
    ~Deadline() {
        {
            std::lock_guard<std::mutex> l(mu_);
            cancelled_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool cancelled_ = false;
    std::thread thread_;
};

int64_t ElapsedMs(int64_t beginNs) { return (plat::MonotonicNs() - beginNs) / 1000000; }

void wait_for_stop_client_ack() {
    ClientState* c = g_client;
    constexpr int64_t kBoundMs = 10000;
    if (t_receiveThread) {
        if (!c->connected.load()) {
            EMSEvent0I0S(0xA104001C, EMS_STATUS_NONE, 0);
            return;
        }
        const int64_t begin = plat::MonotonicNs();
        bool acked = false;
        auto timeoutLine = [&] {
            EMSTraceMessage(
                "Message_Handler_Thread: Timed out after %d milliseconds, waiting for "
                "MSG_STOP_CLIENT ackowledgement from MDS",
                static_cast<int>(ElapsedMs(begin)));
        };
        {
            // Nobody else reads the connection: read it here, but never for longer than
            // 10 s even when no frame arrives (dropping the link wakes the read).
            const uint32_t conn = c->conn;
            Deadline guard(begin + kBoundMs * 1000000, [conn] { EMTDisconnect(conn); });
            for (;;) {
                MBuf* b = ReceiveFrame();
                if (!b) {
                    // The guard ended a read that no frame came to: that is the time-out too.
                    if (ElapsedMs(begin) >= kBoundMs) timeoutLine();
                    break;
                }
                if (IsFrame(b, MSG_STOP_CLIENT_ACK)) {
                    c->pool->Free(b);
                    acked = true;
                    break;
                }
                if (Trace(kTraceMsgs) && EmtBodyLength(FrameOf(b)) >= MDS_HEADER_SIZE)
                    EMSTraceMessage("MDS: Discarding input message from client %d (shutdown)",
                                    FrameOf(b)[8]);
                c->pool->Free(b);
                if (ElapsedMs(begin) > kBoundMs) {
                    timeoutLine();
                    break;
                }
                if (!c->connected.load()) break;
            }
        }
        if (acked)
            EMSEvent0I0S(0x6104001B, EMS_STATUS_NONE, 0);
        else
            EMSEvent0I0S(0xA104001C, EMS_STATUS_NONE, 0);
        return;
    }
    // The events have no timed wait on the injectable clock: a deadline sets a third one.
    emt::Event timedOut{true, false};
    uint32_t w;
    {
        Deadline bound(plat::DeadlineAfterMs(kBoundMs), [&timedOut] { timedOut.Set(); });
        do {
            w = emt::WaitAny({&c->stopAck, &c->breakEvent, &timedOut}, emt::kInfinite);
        } while (w == 1 && !LinkBroke(c->conn));
    }
    if (w == 0) {
        EMSEvent0I0S(0x6104001B, EMS_STATUS_NONE, 0);
    } else if (w == 1) {
        EMSEvent0I0S(0xA104001C, EMS_STATUS_NONE, 0);
    } else if (w == 2) {
        EMSTraceMessage(
            "Timed out after %d seconds, waiting for MSG_STOP_CLIENT ackowledgement from MDS", 10);
        EMSEvent0I0S(0xA104001C, EMS_STATUS_NONE, 0);
    } else {
        EMSFailMessage("MDS: wait failed in wait_for_stop_client_ack.");
    }
}

// A buffer that leaves the handler's hands is no longer freed after the handler.
void ReleaseInput(MBuf* b) {
    MBuf* expected = b;
    g_client->currentInput.compare_exchange_strong(expected, nullptr);
}

int SendCommon(uint8_t destination, uint8_t cls, uint8_t type, uint8_t caller, bool checkpoint,
               void* payload, uint16_t length) {
    if (!g_registered.load()) {
        plat::SetLastError(MDS_E_NOT_REGISTERED);
        return 0;
    }
    ClientState* c = g_client;
    MBuf* b = BufOf(payload);
    // From here on the buffer is the library's, also when a handler passes on its input.
    ReleaseInput(b);
    if (c->stopping.load()) {
        c->pool->Free(b);
        return 1;
    }
    if (length > MDS_MAX_PAYLOAD || length > b->capacity - kMBufTransportHeader) {
        c->pool->Free(b);
        plat::SetLastError(length > MDS_MAX_PAYLOAD ? MDS_E_TOO_LONG : 87);
        return 0;
    }
    if (c->connected.load() && (c->inService.load() || cls == 1)) {
        std::lock_guard<std::mutex> g(c->lock);
        uint8_t* f = FrameOf(b);
        EmtSetHeader(f, static_cast<uint16_t>(MDS_HEADER_SIZE + length), MDS_EMT_CLASS,
                     MDS_MSG_DATA);
        MDSHeader h;
        h.length = length;
        h.sender = c->handle;
        h.destination = destination;
        h.flags = static_cast<uint8_t>((checkpoint ? 4 : 0) | (c->flag ? 2 : 0) | c->echo);
        h.caller = caller;
        h.stamp = c->stamp;
        h.sequence = checkpoint ? 0xFFFF : c->sequence++;
        h.messageClass = cls;
        h.messageType = type;
        MDSEncodeHeader(h, f + 4);
        b->length = 4u + MDS_HEADER_SIZE + length;
        Queue(b);
        return 1;
    }
    if (Trace(kTraceMsgs))
        EMSTraceMessage("MDS: Discarding message for client %d (out of service)", destination);
    c->pool->Free(b);
    return 1;
}

void PoolLimit(BufferPool*) {
    EMSTraceMessage("%d messages queued for output to MDS Process.",
                    g_client && g_client->queue ? static_cast<int>(g_client->queue->GetCount()) : 0);
}

// ----- hooks for event reporting and the buffers ---------------------------------------

// The client as event reporting and the buffers reach it, once registered.
class RegisteredClientPort final : public MDSClientPort {
public:
    int32_t GetLastInputStamp() override { return static_cast<int32_t>(MDSGetLastInputStamp()); }
    int IsSynchronized() override { return static_cast<int>(MDSIsSynchronized()); }
    void* AllocBuffer(uint32_t n) override { return MDSAllocBuffer(n); }
    void FreeBuffer(void* p) override { MDSFreeBuffer(p); }
    int SendCheckpoint(uint32_t cls, uint32_t type, uint32_t flag, void* payload, uint32_t length) override {
        if (length > 0xFFFF) {
            if (!g_registered.load()) {
                plat::SetLastError(MDS_E_NOT_REGISTERED);
                return 0;
            }
            g_client->pool->Free(BufOf(payload));
            plat::SetLastError(MDS_E_TOO_LONG);
            return 0;
        }
        return MDSSendCheckpoint(static_cast<uint8_t>(cls), static_cast<uint8_t>(type), flag, payload,
                                 static_cast<uint16_t>(length));
    }
    void StopClient(int reason) override { MDSStopClient(static_cast<uint32_t>(reason)); }
};
RegisteredClientPort g_clientPort;

}  // namespace

void MDSSetEmtConnectFlags(uint32_t flags) { g_emtFlags = flags; }

void MDSEncodeHeader(const MDSHeader& h, uint8_t* out) {
    plat::StoreLE16(out, h.marker);
    plat::StoreLE16(out + 2, h.length);
    out[4] = h.sender;
    out[5] = h.destination;
    out[6] = h.flags;
    out[7] = h.caller;
    plat::StoreLE32(out + 8, h.stamp);
    plat::StoreLE16(out + 12, h.sequence);
    out[14] = h.messageClass;
    out[15] = h.messageType;
}

MDSHeader MDSDecodeHeader(const uint8_t* in) {
    MDSHeader h;
    h.marker = plat::LoadLE16(in);
    h.length = plat::LoadLE16(in + 2);
    h.sender = in[4];
    h.destination = in[5];
    h.flags = in[6];
    h.caller = in[7];
    h.stamp = plat::LoadLE32(in + 8);
    h.sequence = plat::LoadLE16(in + 12);
    h.messageClass = in[14];
    h.messageType = in[15];
    return h;
}

uint32_t MDSRegisterClient(const MDSClientParams* params, uint8_t* handle) {
    Entering("MDSRegisterClient");
    auto fail = [](uint32_t code) {
        plat::SetLastError(code);
        return code;
    };
    if (handle) *handle = 0xFF;
    if (!params || !handle) return fail(87);
    if (params->version != 1) return fail(MDS_E_VERSION);
    if (g_registered.load() || g_client) return fail(MDS_E_ALREADY_REGISTERED);
    // A registration refused before any connection leaves nothing behind to retry over.
    auto refuse = [&](uint32_t code) {
        delete g_client;
        g_client = nullptr;
        return fail(code);
    };
    uint32_t r = EMTInitialize(nullptr, 0, 0, 0);
    if (r != 0) return fail(r);
    auto* c = new (std::nothrow) ClientState;
    if (!c) EMSFailMessage("MDS: Allocation failure while initializing MDS.");
    g_client = c;
    c->clientName = std::string(params->clientName ? params->clientName : "").substr(0, 63);
    c->instanceName = std::string(params->instanceName ? params->instanceName : "").substr(0, 63);
    c->flag = params->flag;
    c->handlers[0] = params->statusHandler;
    c->defaultHandler = params->defaultHandler;

    // The process key: where MDS is.
    std::string node, port, xfer;
    {
        std::string path = KeyPath(c->instanceName, "MDS\\CurrentVersion\\Process");
        Key k;
        uint32_t e = plat::RegOpenKey(plat::RegRoot(), path.c_str(), &k.k);
        if (e != 0) {
            plat::SetLastError(e);
            EMSEvent0I1S(0xE1040003, EMS_STATUS_WIN32, e, path.c_str());
            EMSFailMessageLastError("MDS: Cannot access MDS process configuration information.");
        }
        if (!ReadString(k.k, "Node", &node) || !ReadString(k.k, "MDSPort", &port) ||
            !ReadString(k.k, "StateXferPort", &xfer))
            EMSFailMessageLastError("MDS: Cannot access MDS process configuration information.");
    }
    // The client key: who we are.
    std::string localNode;
    {
        std::string path =
            KeyPath(c->instanceName, "MDS\\CurrentVersion\\Clients") + "\\" + c->clientName;
        Key k;
        uint32_t e = plat::RegOpenKey(plat::RegRoot(), path.c_str(), &k.k);
        if (e != 0) {
            EMSEvent0I1S(0xE1040003, EMS_STATUS_WIN32, e, c->clientName.c_str());
            return refuse(MDS_E_CONFIG);
        }
        uint32_t h = 0, hb = 0, sync = 0, perf = 0;
        const char* bad = nullptr;
        if (!ReadDword(k.k, "Handle", 255, &h))
            bad = "Handle";
        else if (!ReadString(k.k, "Node", &localNode))
            bad = "Node";
        else if (!ReadDword(k.k, "HeartBeatInterval", 65535, &hb))
            bad = "HeartBeatInterval";
        else if (!ReadDword(k.k, "Synchronized", 0xFFFFFFFF, &sync))
            bad = "Synchronized";
        if (bad) {
            EMSEvent0I2S(0xE104000A, EMS_STATUS_WIN32, plat::GetLastError(), c->clientName.c_str(),
                         bad);
            return refuse(MDS_E_CONFIG);
        }
        if (!ReadDword(k.k, "EnablePerformanceMonitor", 0xFFFFFFFF, &perf)) {
            perf = 0;
            plat::RegSetValue(k.k, "EnablePerformanceMonitor", plat::REG_DWORD, &perf, 4);
        }
        c->handle = static_cast<uint8_t>(h);
        c->heartbeat = static_cast<uint16_t>(hb);
        c->synchronized = sync;
    }
    if ((r = EMTAddressFromService(localNode.c_str(), "0", &c->local)) != 0) {
        EMSEvent0I3S(0xE1040004, EMS_STATUS_EMT, r, localNode.c_str(), "0", c->clientName.c_str());
        return refuse(MDS_E_CONFIG);
    }
    if ((r = EMTAddressFromService(node.c_str(), port.c_str(), &c->mdsAddr)) != 0) {
        EMSEvent0I3S(0xE104000B, EMS_STATUS_EMT, r, "MDSPort", node.c_str(), port.c_str());
        return refuse(MDS_E_CONFIG);
    }
    if ((r = EMTAddressFromService(node.c_str(), xfer.c_str(), &c->xferAddr)) != 0) {
        EMSEvent0I3S(0xE104000B, EMS_STATUS_EMT, r, "StateXferPort", node.c_str(), xfer.c_str());
        return refuse(MDS_E_CONFIG);
    }
    c->pool = new BufferPool(c->instanceName.c_str(), c->clientName.c_str(), PoolLimit);
    c->queue = new MessageQueue(0xFFFFFFFF);
    if ((r = Connect()) != 0) return fail(r);
    uint32_t status = RegisterExchange();
    if (status != 0 && status != MDS_S_REGISTERED) return fail(status);
    g_registered = true;
    (void)MDSInstallClientPort(&g_clientPort);
    *handle = c->handle;
    if (status != 0) plat::SetLastError(status);
    return status;
}

uint8_t MDSGetHandle(const char* clientName) {
    Entering("MDSGetHandle");
    if (!g_registered.load()) {
        plat::SetLastError(MDS_E_NOT_REGISTERED);
        return 0xFF;
    }
    std::string path = KeyPath(g_client->instanceName, "MDS\\CurrentVersion\\Clients") + "\\" +
                       (clientName ? clientName : "");
    Key k;
    uint32_t h = 0;
    if (!clientName || plat::RegOpenKey(plat::RegRoot(), path.c_str(), &k.k) != 0 ||
        !ReadDword(k.k, "Handle", 255, &h)) {
        plat::SetLastError(MDS_E_CONFIG);
        return 0xFF;
    }
    return static_cast<uint8_t>(h);
}

int MDSSetMessageHandler(uint8_t messageClass, MDSHandler handler) {
    Entering("MDSSetMessageHandler");
    if (!g_registered.load()) {
        plat::SetLastError(MDS_E_NOT_REGISTERED);
        return 0;
    }
    g_client->handlers[messageClass] = handler;
    return 1;
}

void MDSStartClient() {
    Entering("MDSStartClient");
    if (!g_registered.load()) {
        plat::SetLastError(MDS_E_NOT_REGISTERED);
        return;
    }
    ClientState* c = g_client;
    Queue(NewControlFrame(MSG_START_CLIENT, 0));
    t_receiveThread = true;
    c->started = true;
    mds::StartMdsPerfMonitor(c->instanceName, c->clientName,
                             {c->handle, &c->sent, &c->received, &c->bytesSent,
                              &c->bytesReceived, c->pool, c->queue});
    while (!c->stopping.load()) {
        while (c->connected.load()) {
            MBuf* b = ReceiveFrame();
            if (!b) break;
            if (c->stopping.load()) {
                if (IsFrame(b, MSG_STOP_CLIENT_ACK)) {
                    c->stopAck.Set();
                } else if (Trace(kTraceMsgs) && EmtBodyLength(FrameOf(b)) >= MDS_HEADER_SIZE) {
                    EMSTraceMessage("MDS: Discarding input message from client %d (shutdown)",
                                    FrameOf(b)[8]);
                }
                c->pool->Free(b);
                continue;
            }
            if (!IsFrame(b, MDS_MSG_DATA))
                EMSFailMessage("MDS: Non-MDS message received in main message loop.");
            if (!ValidDataFrame(b)) {
                EMSTraceMessage("MDS: Discarding malformed message (body %u).",
                                static_cast<unsigned>(EmtBodyLength(FrameOf(b))));
                c->pool->Free(b);
                continue;
            }
            ReceiveSteps(b);
            Dispatch(b);
        }
        Disconnect();
        if (c->inService.load()) {
            DispatchSyntheticOutOfService();
            std::lock_guard<std::mutex> g(c->lock);
            OutOfServiceLocked();
        }
        if (c->stopping.load()) break;
        mds_reset();
        ReconnectLoop();
    }
    for (;;) plat::SleepUntil(plat::kNoDeadline);
}

int MDSStopClient(uint32_t reason) {
    Entering("MDSStopClient");
    if (!g_registered.load()) {
        plat::SetLastError(MDS_E_NOT_REGISTERED);
        return 0;
    }
    ClientState* c = g_client;
    if (c->stopping.exchange(true)) return 1;
    c->stopEvent.Set();
    if (reason == 0)
        EMSEvent0I0S(0x61048004, EMS_STATUS_NONE, 0);
    else if (reason == 1)
        EMSEvent0I0S(0xA1048005, EMS_STATUS_NONE, 0);
    else if (reason == 2)
        EMSEvent0I0S(0x61048006, EMS_STATUS_NONE, 0);
    {
        std::lock_guard<std::mutex> g(c->lock);
        OutOfServiceLocked();
    }
    if (c->started.load() && c->connected.load()) {
        MBuf* b = NewControlFrame(MSG_STOP_CLIENT, 4);
        plat::StoreLE32(FrameOf(b) + 4, reason);
        Queue(b);
        wait_for_stop_client_ack();
    }
    Disconnect();
    return 1;
}

void* MDSAllocBuffer(uint32_t size) {
    Entering("MDSAllocBuffer");
    if (!g_registered.load()) {
        plat::SetLastError(MDS_E_NOT_REGISTERED);
        return nullptr;
    }
    MBuf* b = g_client->pool->Alloc(size + kMBufTransportHeader);
    return PayloadOf(b);
}

void MDSFreeBuffer(void* payload) {
    Entering("MDSFreeBuffer");
    if (!g_registered.load() || !payload) return;
    MBuf* b = BufOf(payload);
    ReleaseInput(b);
    g_client->pool->Free(b);
}

int MDSSendInput(uint8_t cls, uint8_t type, uint32_t flag, void* payload, uint16_t length) {
    Entering("MDSSendInput");
    return SendCommon(MDS_DESTINATION_MDS, cls, type, flag ? 1 : 0, false, payload, length);
}

int MDSSendCheckpoint(uint8_t cls, uint8_t type, uint32_t flag, void* payload, uint16_t length) {
    Entering("MDSSendCheckpoint");
    return SendCommon(MDS_DESTINATION_MDS, cls, type, flag ? 1 : 0, true, payload, length);
}

int MDSSendOutput(uint8_t destination, uint8_t cls, uint8_t type, void* payload,
                  uint16_t length) {
    Entering("MDSSendOutput");
    return SendCommon(destination, cls, type, 0xFF, false, payload, length);
}

uint32_t MDSGetLastInputStamp() {
    if (!g_registered.load()) return 0xFFFFFFFF;
    std::lock_guard<std::mutex> g(g_client->lock);
    return g_client->stamp;
}

uint32_t MDSIsSynchronized() {
    if (!g_registered.load()) return 0;
    return g_client->synchronized;
}
