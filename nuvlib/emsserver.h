#pragma once
// The event monitor server: every process serves its live event stream to monitor clients
// over the pipe "<node>\<process>EMSPipe". A client may register with a REC message; each
// dispatched record reaches every client as one pipe message. Each client has a bounded
// queue, at most one local and five remote clients stay registered, and a leaky bucket makes
// the server drop its oldest client when the event rate is too high for the number of
// clients. Lock order: ActiveSessionsLock, then LeakyBucketLock or EMSSessionMapLock, then
// one SessionLock. Nothing is traced while one of these locks is held: a trace takes the
// EMS lock, which the dispatcher holds while it broadcasts.
#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "nuvlib/lock.h"
#include "platform/event.h"

class NamedPipeServer;

constexpr uint32_t EMS_SERVER_QUEUE_LIMIT = 10000;
constexpr size_t EMS_SERVER_LOCAL_LIMIT = 1;
constexpr size_t EMS_SERVER_REMOTE_LIMIT = 5;
constexpr uint32_t EMS_SERVER_READ_MAX = 4097;

constexpr const char* EMS_TEXT_QUEUE_OVERFLOW =
    "####### Client Queue too large - Messages skipped #######";
constexpr const char* EMS_TEXT_ANOTHER_USER =
    "You are being disconnected because another user has connected to this named pipe.";
constexpr const char* EMS_TEXT_HEAVY_LOAD =
    "You are being disconnected because your system is running a heavy call load and this "
    "connection may impact the performance of your system. It is recommended that you do not "
    "reconnect your DEZORA sessions until your system returns to a normal call load.";

// REC registration message (client to server), little-endian.
constexpr uint32_t EMS_REC_TYPE = 1;
constexpr uint16_t EMS_REC_HEADER_SIZE = 8;
constexpr uint16_t EMS_REC_DATA_SIZE = 20;
constexpr uint32_t EMS_REC_LENGTH = 28;

class LeakyBucket {
public:
    // Arguments below 1 take the defaults (5000, 100 ms, 200).
    LeakyBucket(int32_t capacity = 5000, int32_t periodMs = 100, int32_t drain = 200);
    // 0 while the level stays below the capacity, -1 when the bucket is full. Only whole
    // periods since the last call drain it.
    int Add(int32_t amount);
    void SetCapacity(int32_t capacity) { capacity_ = capacity; }
    int32_t Capacity() const { return capacity_; }
    int32_t Level() const { return level_; }

private:
    int32_t level_ = 0;
    int32_t period_;
    int32_t drain_;
    uint32_t lastTick_;
    int32_t capacity_;
};

class RemoteEMSSession {
public:
    RemoteEMSSession(NamedPipeServer* pipe, uint32_t key, const std::string& userName);
    ~RemoteEMSSession();

    // Queues a copy of a block; traces to write once every monitor lock is released are
    // appended to `traces`.
    void QueueEvent(const uint8_t* block, std::vector<std::string>* traces);
    // Writes the queued blocks; false when the pipe failed.
    bool SendEMSMessages();
    void Close();

    uint32_t Key() const { return key_; }
    const std::string& UserName() const { return userName_; }
    size_t QueueCount();
    bool IsAccepting();
    bool IsClosed();
    uint32_t ClientId();
    std::string HostName();

private:
    friend class EMSServer;

    int refCount_ = 0;  // under ActiveSessionsLock
    bool closed_ = false;
    bool accepting_ = true;
    bool disconnectQueued_ = false;  // under ActiveSessionsLock
    plat::Event wake_{false, false};
    NamedPipeServer* pipe_;
    uint32_t key_;
    std::atomic<uint32_t> outputThreadId_{0xFFFFFFFF};
    std::string userName_;
    uint32_t clientId_ = 0;
    std::string hostName_;
    LockObject sessionLock_;
    std::deque<std::vector<uint8_t>> queue_;
};

class EMSServer {
public:
    // Offers one dispatched record to every session.
    static void Broadcast(const uint8_t* block);
    // Bucket capacity; n < 1 gives 5000. Nothing without a server.
    static void SetMaxMessages(int n);
    // The notice block and the disconnect block sent to clients.
    static std::vector<uint8_t> MakeNoticeRecord(const char* text, uint32_t stamp);
    static std::vector<uint8_t> MakeDisconnectRecord();

    // The process's server (null before EMSServerInit).
    static EMSServer* Instance();

    const std::string& PipeName() const { return pipeName_; }
    const std::string& NodeName() const { return nodeName_; }
    size_t SessionCount();
    size_t RegisteredCount(bool local);
    int32_t BucketCapacity();

    // Per-connection function of the pipe server.
    static void ReceiveCommand(NamedPipeServer* pipe, void* context);

private:
    friend void EMSServerInit(const char* registryBase, const char* processName);
    EMSServer(const char* registryBase, const char* processName);

    static void EventOutput(RemoteEMSSession* session);
    void ProcessMessage(RemoteEMSSession* session, const uint8_t* message, uint32_t length);
    bool AddSession(RemoteEMSSession* session);
    void ReleaseSession(RemoteEMSSession* session);
    void Register(RemoteEMSSession* session);
    // Queues the notice and the disconnect block on the oldest session of `map`, once per
    // session. The caller may hold ActiveSessionsLock; traces are left for it to write.
    void DisconnectOldest(const std::map<uint32_t, int64_t>& map, const char* text,
                          std::vector<std::string>* traces);

    std::list<RemoteEMSSession*> sessions_;
    NamedPipeServer* pipe_ = nullptr;
    std::string processName_;
    std::string nodeName_;
    std::string pipeName_;
    LockObject activeSessionsLock_;
    LockObject leakyBucketLock_;
    LockObject sessionMapLock_;
    LeakyBucket bucket_;
    std::map<uint32_t, int64_t> local_;
    std::map<uint32_t, int64_t> remote_;
};

// Creates the process's server once; a second call only traces.
void EMSServerInit(const char* registryBase, const char* processName);
