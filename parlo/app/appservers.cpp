// Registered application servers and the client requests forwarded to them, both queues
// used on the application thread under their own named locks.
#include <algorithm>
#include <strings.h>

#include "nuvlib/ems.h"
#include "nuvlib/lockguard.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/ctilock.h"

namespace {
constexpr uint64_t kFileTimePerMs = 10000;
// A forwarded request older than this has lost its answer.
constexpr uint64_t kStaleRequestMs = 60000;
constexpr uint32_t kMaxAppServerID = 0x7FFFFFFF;
}  // namespace

CTIApplication::AppServerPtr CTIApplication::AllocAppServer(int32_t sessionID, int32_t mode,
                                                            const std::string& name) {
    auto server = std::make_unique<AppServer>();
    server->sessionID = sessionID;
    server->mode = mode;
    server->serviceName = name;
    server->appServerID = GetNextAppServerID();
    server->registered = FileTimeNow();
    return server;
}

CTIApplication::AppServerReqPtr CTIApplication::AllocAppServerReq(uint32_t invokeID, int32_t sessionID,
                                                                  uint32_t kind) {
    auto request = std::make_unique<AppServerReq>();
    request->invokeID = invokeID;
    request->sessionID = sessionID;
    request->kind = kind;
    request->time = FileTimeNow();
    return request;
}

CTIApplication::AppServer* CTIApplication::QueueAppServer(AppServerPtr server) {
    if (!server) return nullptr;
    LockGuard<CTILockObject> hold(*m_AppServerQueueLock, "CTIApplication::QueueAppServer");
    // Registrations are not a backlog: a second server a minute after the first is normal,
    // so nothing watches this queue's age.
    if (m_AppServerQueue.empty()) m_AppServerQueueServiceTime = FileTimeNow();
    m_AppServerQueue.push_back(std::move(server));
    return m_AppServerQueue.back().get();
}

CTIApplication::AppServerPtr CTIApplication::RemoveAppServer(AppServer* server) {
    LockGuard<CTILockObject> hold(*m_AppServerQueueLock, "CTIApplication::RemoveAppServer");
    auto it = std::find_if(m_AppServerQueue.begin(), m_AppServerQueue.end(),
                           [server](const AppServerPtr& s) { return s.get() == server; });
    if (it == m_AppServerQueue.end()) return nullptr;
    m_AppServerQueueServiceTime = FileTimeNow();
    if ((*it)->token) {
        // The turn passes on: to the next server, or from the last back to the first.
        auto next = std::next(it);
        AppServer* heir = next == m_AppServerQueue.end() ? m_AppServerQueue.front().get() : next->get();
        heir->token = true;
    }
    AppServerPtr out = std::move(*it);
    m_AppServerQueue.erase(it);
    out->token = false;
    out->mode = Unregistered;
    return out;
}

CTIApplication::AppServer* CTIApplication::FindAppServerByName(const std::string& name) {
    LockGuard<CTILockObject> hold(*m_AppServerQueueLock, "CTIApplication::FindAppServerByName");
    for (const auto& s : m_AppServerQueue)
        if (strcasecmp(s->serviceName.c_str(), name.c_str()) == 0) return s.get();
    return nullptr;
}

CTIApplication::AppServer* CTIApplication::FindAppServerByID(uint32_t id) {
    LockGuard<CTILockObject> hold(*m_AppServerQueueLock, "CTIApplication::FindAppServerByID");
    for (const auto& s : m_AppServerQueue)
        if (s->appServerID == id) return s.get();
    return nullptr;
}

CTIApplication::AppServer* CTIApplication::FindAppServerBySession(int32_t sessionID) {
    LockGuard<CTILockObject> hold(*m_AppServerQueueLock, "CTIApplication::FindAppServerBySession");
    for (const auto& s : m_AppServerQueue)
        if (s->sessionID == sessionID) return s.get();
    return nullptr;
}

CTIApplication::AppServer* CTIApplication::FindAppServerWithToken() {
    LockGuard<CTILockObject> hold(*m_AppServerQueueLock, "CTIApplication::FindAppServerWithToken");
    for (const auto& s : m_AppServerQueue)
        if (s->token) return s.get();
    return nullptr;
}

size_t CTIApplication::AppServerCount() {
    LockGuard<CTILockObject> hold(*m_AppServerQueueLock, "CTIApplication::AppServerCount");
    return m_AppServerQueue.size();
}

void CTIApplication::QueueAppServerReq(AppServerReqPtr request) {
    if (!request) return;
    LockGuard<CTILockObject> hold(*m_AppServerReqQueueLock, "CTIApplication::QueueAppServerReq");
    const uint64_t now = FileTimeNow();
    // A request whose answer never came would otherwise stay for the life of the process;
    // it goes with a trace, and the server goes on.
    for (auto it = m_AppServerReqQueue.begin(); it != m_AppServerReqQueue.end();) {
        const AppServerReq& r = **it;
        const uint64_t ageMs = now > r.time ? (now - r.time) / kFileTimePerMs : 0;
        if (ageMs <= kStaleRequestMs) {
            ++it;
            continue;
        }
        EMSTraceMessage("CTIApplication::QueueAppServerReq - dropping request InvokeID=%u SessionID=%d unanswered "
                        "for %d ms.",
                        r.invokeID, static_cast<int>(r.sessionID), static_cast<int>(std::min<uint64_t>(ageMs, INT32_MAX)));
        it = m_AppServerReqQueue.erase(it);
    }
    if (m_AppServerReqQueue.empty()) m_AppServerReqQueueServiceTime = now;
    m_AppServerReqQueue.push_back(std::move(request));
}

CTIApplication::AppServerReqPtr CTIApplication::TakeAppServerReq(uint32_t invokeID) {
    LockGuard<CTILockObject> hold(*m_AppServerReqQueueLock, "CTIApplication::TakeAppServerReq");
    auto it = std::find_if(m_AppServerReqQueue.begin(), m_AppServerReqQueue.end(),
                           [invokeID](const AppServerReqPtr& r) { return r->invokeID == invokeID; });
    if (it == m_AppServerReqQueue.end()) return nullptr;
    AppServerReqPtr out = std::move(*it);
    m_AppServerReqQueue.erase(it);
    return out;
}

size_t CTIApplication::AppServerReqCount() {
    LockGuard<CTILockObject> hold(*m_AppServerReqQueueLock, "CTIApplication::AppServerReqCount");
    return m_AppServerReqQueue.size();
}

const char* CTIApplication::AppServerModeName(int32_t mode) {
    switch (mode) {
        case Exclusive: return "Exclusive";
        case RoundRobin: return "Round-Robin";
        case Parallel: return "Parallel";
        default: return "PARLO_EXCLUSIVE";
    }
}

uint32_t CTIApplication::GetNextAppServerID() {
    LockGuard<CTILockObject> hold(*m_AppServerQueueLock, "CTIApplication::GetNextAppServerID");
    // At most one more step than there are queued servers finds a free ID.
    for (size_t steps = 0; steps <= m_AppServerQueue.size() + 2; ++steps) {
        const uint32_t id = m_NextAppServerID & kMaxAppServerID;
        m_NextAppServerID = id >= kMaxAppServerID ? 0 : id + 1;
        if (id == 0) continue;
        const bool held = std::any_of(m_AppServerQueue.begin(), m_AppServerQueue.end(),
                                      [id](const AppServerPtr& s) { return s->appServerID == id; });
        if (!held) return id;
    }
    return 0;  // unreachable: the queue cannot hold every ID
}
