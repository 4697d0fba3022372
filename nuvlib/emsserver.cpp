#include "nuvlib/emsserver.h"

#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <thread>

#include "nuvlib/ems.h"
#include "nuvlib/emsinternal.h"
#include "nuvlib/emsrecord.h"
#include "nuvlib/pipe.h"
#include "platform/byteorder.h"
#include "platform/clock.h"
#include "platform/lasterror.h"
#include "platform/process.h"

namespace {

constexpr uint32_t kNoticeId = 0x21010003;
constexpr uint32_t kPipeBuffer = 4096;
constexpr uint32_t kPipeTimeoutMs = 3000;
constexpr uint32_t kPipeDuplexOverlapped = 0x40000003;
constexpr uint32_t kPipeInstances = 255;

std::atomic<EMSServer*> g_server{nullptr};
std::atomic<bool> g_serverInitialised{false};

// Holds a lock unless the calling thread holds it already (locks do not nest).
class Hold {
public:
    explicit Hold(LockObject& lock)
        : lock_(lock), taken_(!lock.IsLockedByCurrentThread() && lock.Lock(-1)) {}
    ~Hold() { Release(); }
    void Release() {
        if (taken_) lock_.Unlock();
        taken_ = false;
    }

private:
    LockObject& lock_;
    bool taken_;
};

void EmitTraces(const std::vector<std::string>& traces) {
    for (const auto& t : traces) EMSTraceMessage("%s", t.c_str());
}

int64_t NowSeconds() { return plat::RealtimeNs() / 1000000000; }

std::string ThisHostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "localhost";
    return buf;
}

}  // namespace

// ---- leaky bucket ----------------------------------------------------------------------

LeakyBucket::LeakyBucket(int32_t capacity, int32_t periodMs, int32_t drain)
    : period_(periodMs < 1 ? 100 : periodMs),
      drain_(drain < 1 ? 200 : drain),
      lastTick_(plat::GetTickCount()),
      capacity_(capacity < 1 ? 5000 : capacity) {}

int LeakyBucket::Add(int32_t amount) {
    const uint32_t now = plat::GetTickCount();
    // Unsigned subtraction is right across the wrap of the tick counter.
    const uint32_t elapsed = now - lastTick_;
    const int64_t drained = static_cast<int64_t>(elapsed / static_cast<uint32_t>(period_)) * drain_;
    int64_t level = static_cast<int64_t>(level_) + amount - drained;
    if (level < 0) level = 0;
    if (level > INT32_MAX) level = INT32_MAX;
    level_ = static_cast<int32_t>(level);
    lastTick_ = now;
    return level_ < capacity_ ? 0 : -1;
}

// ---- sessions ---------------------------------------------------------------------------

RemoteEMSSession::RemoteEMSSession(NamedPipeServer* pipe, uint32_t key,
                                   const std::string& userName)
    : pipe_(pipe),
      key_(key),
      userName_(userName),
      sessionLock_(LockObject::USAGE_CRITICAL_SECTION, nullptr, "SessionLock", 0xFFFFFFFF, 0, 0) {}

RemoteEMSSession::~RemoteEMSSession() {
    if (pipe_) pipe_->Release();
}

size_t RemoteEMSSession::QueueCount() {
    Hold hold(sessionLock_);
    return queue_.size();
}
bool RemoteEMSSession::IsAccepting() {
    Hold hold(sessionLock_);
    return accepting_;
}
bool RemoteEMSSession::IsClosed() {
    Hold hold(sessionLock_);
    return closed_;
}
uint32_t RemoteEMSSession::ClientId() {
    Hold hold(sessionLock_);
    return clientId_;
}
std::string RemoteEMSSession::HostName() {
    Hold hold(sessionLock_);
    return hostName_;
}

void RemoteEMSSession::QueueEvent(const uint8_t* block, std::vector<std::string>* traces) {
    const uint32_t length = plat::LoadLE32(block);
    if (length < 8 || length > EMS_RECORD_MAX) return;
    Hold hold(sessionLock_);
    if (accepting_) {
        queue_.emplace_back(block, block + length);
        wake_.Set();
        if (queue_.size() > EMS_SERVER_QUEUE_LIMIT) {
            queue_.push_back(EMSServer::MakeNoticeRecord(EMS_TEXT_QUEUE_OVERFLOW,
                                                         plat::LoadLE32(block + emsoff::kMdsStamp)));
            accepting_ = false;
            traces->push_back("EMS Server client pipe (" + userName_ + ") at limit of " +
                              std::to_string(EMS_SERVER_QUEUE_LIMIT) +
                              " - Discarding new messages  for client");
        }
    } else if (queue_.empty()) {
        // This block is dropped; the next one is queued again.
        accepting_ = true;
        traces->push_back("DEZOra Client pipe (" + userName_ +
                          ") was truncated - Reenabling new messages for client");
    }
}

bool RemoteEMSSession::SendEMSMessages() {
    for (;;) {
        std::vector<uint8_t> entry;
        {
            Hold hold(sessionLock_);
            if (queue_.empty()) return true;
            entry = std::move(queue_.front());
            queue_.pop_front();
        }
        if (!pipe_ || !pipe_->WriteServer(entry.data(), static_cast<uint32_t>(entry.size()))) {
            if (plat::GetLastError() == plat::ERROR_BROKEN_PIPE)
                EMSTraceMessageLastError(
                    "RemoteEMSSession::SendEMSMessages - Pipe connection dropped for client %s",
                    userName_.c_str());
            else
                EMSTraceMessageLastError(
                    "RemoteEMSSession::SendEMSMessages - WriteServer failed for client %s",
                    userName_.c_str());
            return false;
        }
    }
}

void RemoteEMSSession::Close() {
    Hold hold(sessionLock_);
    if (closed_) return;
    if (pipe_) {
        // Never wait here for a write to a client that does not read: fail it first.
        pipe_->Abort();
        pipe_->Disconnect();
    }
    wake_.Set();
    closed_ = true;
}

// ---- server -----------------------------------------------------------------------------

EMSServer::EMSServer(const char* registryBase, const char* processName)
    : processName_(processName ? processName : ""),
      activeSessionsLock_(LockObject::USAGE_CRITICAL_SECTION, nullptr, "ActiveSessionsLock",
                          0xFFFFFFFF, 0, 0),
      leakyBucketLock_(LockObject::USAGE_CRITICAL_SECTION, nullptr, "LeakyBucketLock",
                       0xFFFFFFFF, 0, 0),
      sessionMapLock_(LockObject::USAGE_CRITICAL_SECTION, nullptr, "EMSSessionMapLock",
                      0xFFFFFFFF, 0, 0),
      bucket_(5000, 100, 200) {
    const std::string base = registryBase ? registryBase : "";
    const size_t slash = base.find('\\');
    nodeName_ = slash == std::string::npos ? base : base.substr(slash + 1);
    if (nodeName_.size() > 127) nodeName_.resize(127);
    if (processName_.size() > 127) processName_.resize(127);
    pipeName_ = nodeName_ + "\\" + processName_ + "EMSPipe";
}

EMSServer* EMSServer::Instance() { return g_server.load(); }

void EMSServerInit(const char* registryBase, const char* processName) {
    if (g_serverInitialised.exchange(true)) {
        EMSTraceMessage("EMSServer: Already initialized");
        return;
    }
    auto* server = new (std::nothrow) EMSServer(registryBase, processName);
    if (!server)
        EMSFailMessage("Memory allocation of %d bytes failed:  File: %s.  Line %d\n",
                       static_cast<int>(sizeof(EMSServer)), "emsserv", __LINE__);
    EMSTraceMessage("EMS Server pipe %s enabled for %s\\%s", server->pipeName_.c_str(),
                    server->nodeName_.c_str(), server->processName_.c_str());
    server->pipe_ = NamedPipeServer::Create(server->pipeName_.c_str(), EMSServer::ReceiveCommand,
                                            kPipeBuffer, kPipeBuffer, kPipeTimeoutMs,
                                            kPipeDuplexOverlapped, kPipeInstances, server);
    if (!server->pipe_)
        EMSTraceMessageLastError("Unable to open NamedPipeServer %s.", server->pipeName_.c_str());
    g_server.store(server);
}

size_t EMSServer::SessionCount() {
    Hold hold(activeSessionsLock_);
    return sessions_.size();
}

size_t EMSServer::RegisteredCount(bool local) {
    Hold hold(sessionMapLock_);
    return local ? local_.size() : remote_.size();
}

int32_t EMSServer::BucketCapacity() {
    Hold hold(leakyBucketLock_);
    return bucket_.Capacity();
}

void EMSServer::SetMaxMessages(int n) {
    EMSServer* server = g_server.load();
    if (!server) return;
    Hold hold(server->leakyBucketLock_);
    server->bucket_.SetCapacity(n < 1 ? 5000 : n);
}

std::vector<uint8_t> EMSServer::MakeNoticeRecord(const char* text, uint32_t stamp) {
    std::vector<uint8_t> block(EMS_RECORD_MAX);
    EMSServer* server = g_server.load();
    std::string process = server ? server->processName_ : std::string(EMSState().processName);
    if (process.size() > 15) process.resize(15);
    std::string computer = plat::ComputerName();
    if (computer.size() > 14) computer.resize(14);
    const char* strings[5] = {text ? text : "", "", "", "", ""};
    EMSRecordInput in;
    in.systemType = 0;
    in.systemId = 1;
    in.mdsStamp = stamp;
    in.eventId = kNoticeId;
    in.time = plat::FileTimeNow();
    in.side = 1;
    in.processName = process.c_str();
    in.computerName = computer.c_str();
    in.strCount = 5;
    in.strings = strings;
    block.resize(EMSFillRecord(block.data(), in));
    return block;
}

std::vector<uint8_t> EMSServer::MakeDisconnectRecord() {
    std::vector<uint8_t> block(EMS_RECORD_MAX, 0);
    plat::StoreLE32(block.data(), EMS_RECORD_MAX);
    block[emsoff::kVersion] = EMS_RECORD_VERSION;
    // The closing word differs from the opening one: that marks the block.
    plat::StoreLE32(block.data() + EMS_RECORD_MAX - 4, 2);
    return block;
}

bool EMSServer::AddSession(RemoteEMSSession* session) {
    Hold hold(activeSessionsLock_);
    for (RemoteEMSSession* s : sessions_)
        if (s->key_ == session->key_) return false;
    sessions_.push_back(session);
    return true;
}

void EMSServer::ReleaseSession(RemoteEMSSession* session) {
    Hold hold(activeSessionsLock_);
    if (--session->refCount_ >= 1) return;
    sessions_.remove(session);
    hold.Release();
    delete session;
}

void EMSServer::Broadcast(const uint8_t* block) {
    EMSServer* server = g_server.load();
    if (!server || !block) return;
    std::vector<std::string> traces;
    {
        Hold active(server->activeSessionsLock_);
        if (!server->sessions_.empty()) {
            int full;
            {
                Hold bucket(server->leakyBucketLock_);
                full = server->bucket_.Add(static_cast<int32_t>(server->sessions_.size()));
            }
            if (full == -1) {
                std::map<uint32_t, int64_t> all;
                {
                    Hold maps(server->sessionMapLock_);
                    all = server->local_;
                    all.insert(server->remote_.begin(), server->remote_.end());
                }
                server->DisconnectOldest(all, EMS_TEXT_HEAVY_LOAD, &traces);
            }
        }
        for (RemoteEMSSession* s : server->sessions_) s->QueueEvent(block, &traces);
    }
    EmitTraces(traces);
}

void EMSServer::DisconnectOldest(const std::map<uint32_t, int64_t>& map, const char* text,
                                 std::vector<std::string>* traces) {
    // The earliest registration; on equal times the greater key wins.
    int64_t earliest = NowSeconds();
    bool found = false;
    uint32_t key = 0;
    for (const auto& [k, t] : map) {
        if (t <= earliest) {
            earliest = t;
            key = k;
            found = true;
        }
    }
    if (!found) return;
    Hold active(activeSessionsLock_);
    for (RemoteEMSSession* s : sessions_) {
        if (s->key_ != key) continue;
        // Told once: while the load stays high every broadcast would otherwise queue
        // another notice and disconnect block on the same client.
        if (s->disconnectQueued_) break;
        s->disconnectQueued_ = true;
        auto notice = MakeNoticeRecord(text, 0);
        auto disconnect = MakeDisconnectRecord();
        s->QueueEvent(notice.data(), traces);
        s->QueueEvent(disconnect.data(), traces);
        break;
    }
}

void EMSServer::Register(RemoteEMSSession* session) {
    const std::string host = session->HostName();
    const bool local = strcasecmp(ThisHostName().c_str(), host.c_str()) == 0;
    std::map<uint32_t, int64_t> copy;
    {
        Hold maps(sessionMapLock_);
        copy = local ? local_ : remote_;
    }
    std::vector<std::string> traces;
    if (copy.size() >= (local ? EMS_SERVER_LOCAL_LIMIT : EMS_SERVER_REMOTE_LIMIT))
        DisconnectOldest(copy, EMS_TEXT_ANOTHER_USER, &traces);
    {
        Hold maps(sessionMapLock_);
        (local ? local_ : remote_)[session->key_] = NowSeconds();
    }
    EmitTraces(traces);
}

void EMSServer::ProcessMessage(RemoteEMSSession* session, const uint8_t* message,
                               uint32_t length) {
    const char* user = session->userName_.c_str();
    if (length < 8) {
        EMSTraceMessage("EMSServer::ProcessMessage - Invalid REC message %d received from client %s.",
                        length >= 4 ? static_cast<int>(plat::LoadLE32(message)) : 0, user);
        return;
    }
    const uint32_t type = plat::LoadLE32(message);
    const uint16_t headerSize = plat::LoadLE16(message + 4);
    const uint16_t dataSize = plat::LoadLE16(message + 6);
    if (headerSize != EMS_REC_HEADER_SIZE) {
        EMSTraceMessage("EMSServer::ProcessMessage - Invalid REC message HdrSize %d (%d) received "
                        "(MsgType=%d) from client %s",
                        headerSize, EMS_REC_HEADER_SIZE, static_cast<int>(type), user);
        return;
    }
    if (type != EMS_REC_TYPE) {
        EMSTraceMessage("EMSServer::ProcessMessage - Invalid REC message %d received from client %s.",
                        static_cast<int>(type), user);
        return;
    }
    // The data must be there as well as announced.
    if (dataSize != EMS_REC_DATA_SIZE || length < EMS_REC_LENGTH) {
        EMSTraceMessage("EMSServer::ProcessMessage - Invalid REC message DataSize %d (%d) received "
                        "(MsgType=%d) from client %s",
                        length < EMS_REC_LENGTH ? static_cast<int>(length) - 8 : dataSize,
                        EMS_REC_DATA_SIZE, 1, user);
        return;
    }
    {
        Hold hold(session->sessionLock_);
        session->clientId_ = plat::LoadLE32(message + 8);
        const char* host = reinterpret_cast<const char*>(message + 12);
        session->hostName_.assign(host, strnlen(host, 16));
    }
    Register(session);
}

void EMSServer::EventOutput(RemoteEMSSession* session) {
    EMSServer* server = g_server.load();
    session->outputThreadId_.store(plat::CurrentThreadId());
    for (;;) {
        const uint32_t rc = session->wake_.Wait(plat::INFINITE);
        if (rc == plat::WAIT_FAILED) {
            EMSTraceMessageLastError("EMSServer::EventOutput - WaitForSingleObjectEx failed");
            break;
        }
        if (rc != plat::WAIT_OBJECT_0) {
            EMSTraceMessageLastError("EMSServer::EventOutput - WaitForSingleObjectEx failed (error=%d)",
                                     static_cast<int>(rc));
            break;
        }
        if (session->IsClosed()) break;
        if (!session->SendEMSMessages()) break;
    }
    {
        Hold active(server->activeSessionsLock_);
        session->Close();
    }
    server->ReleaseSession(session);
}

void EMSServer::ReceiveCommand(NamedPipeServer* pipe, void* context) {
    auto* server = static_cast<EMSServer*>(context);
    const std::string user = pipe->UserName();
    auto* session = new (std::nothrow) RemoteEMSSession(pipe, plat::CurrentThreadId(), user);
    if (!session) NUV_ALLOC_FAILED(sizeof(RemoteEMSSession));
    bool started = false;
    if (!server->AddSession(session)) {
        EMSTraceMessage("EMSServer::ReceiveCommand - Failure adding thread session for user %s.",
                        user.c_str());
        delete session;  // never listed: nobody else knows it
        return;
    }
    {
        Hold active(server->activeSessionsLock_);
        session->refCount_ += 2;
        try {
            std::thread(&EMSServer::EventOutput, session).detach();
            started = true;
        } catch (const std::system_error&) {
            session->refCount_ -= 1;  // only this thread will release it
        }
    }
    if (started) {
        EMSTraceMessage("EMSServer connection established in node name: %s process: %s for user %s.",
                        server->nodeName_.c_str(), server->processName_.c_str(), user.c_str());
        std::vector<uint8_t> buffer(EMS_SERVER_READ_MAX);
        uint32_t n = 0;
        for (;;) {
            if (!pipe->ReadServer(buffer.data(), EMS_SERVER_READ_MAX, &n)) {
                if (session->IsClosed()) break;
                if (plat::GetLastError() == plat::ERROR_BROKEN_PIPE)
                    EMSTraceMessageLastError("EMSServer connection dropped in %s\\%s for user %s.",
                                             server->nodeName_.c_str(),
                                             server->processName_.c_str(), user.c_str());
                else
                    EMSTraceMessageLastError("EMSServer::ReceiveCommand -Error reading from pipe.");
                break;
            }
            if (session->IsClosed()) break;
            server->ProcessMessage(session, buffer.data(), n);
        }
    } else {
        EMSTraceMessage("EMSServer::ReceiveCommand - Unable to begin output thread for named pipe "
                        "client %s.",
                        user.c_str());
    }
    {
        Hold maps(server->sessionMapLock_);
        server->local_.erase(session->key_);
        server->remote_.erase(session->key_);
    }
    {
        Hold active(server->activeSessionsLock_);
        session->Close();
    }
    server->ReleaseSession(session);
}
