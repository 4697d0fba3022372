// The session objects, their tables, ids, garbage collection and timers.
#include "parlo/session/session.h"

#include <algorithm>
#include <cstring>

#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"
#include "nuvlib/stdqueue.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/importmetrics.h"
#include "parlo/common/svrtrace.h"
#include "parlo/session/outfilter.h"
#include "platform/clock.h"

namespace {

constexpr const char* kBanner = "#################################################";

void Metric(uint32_t index, int delta) {
    if (delta > 0)
        ImportMetrics::Instance().Increment(index);
    else
        ImportMetrics::Instance().Decrement(index);
}

// Lock order checking follows the transport's own Lock/Unlock calls too.
void NoteAcquire(CTILockObject& lock) {
    if constexpr (lockorder::kChecked) lockorder::NoteAcquire(lock.GetLockName());
}
void NoteRelease(CTILockObject& lock) {
    if constexpr (lockorder::kChecked) lockorder::NoteRelease(lock.GetLockName());
}

}  // namespace

// The master's tables. Every member is guarded by the master lock, except the garbage list
// ("Garbage Lock").
class SessionLayerTables {
public:
    std::vector<std::vector<SessionProtocol*>> sessionIDs{SessionProtocol::NUMBER_SESSION_BUCKETS};
    std::vector<std::vector<SessionProtocol*>> devices{SessionProtocol::NUMBER_SESSION_BUCKETS};
    std::vector<std::vector<SessionProtocol*>> clientIDs{SessionProtocol::NUMBER_SESSION_BUCKETS};
    std::vector<std::vector<SessionProtocol*>> opening{SessionProtocol::NUMBER_OPENING_BUCKETS};
    std::deque<SessionProtocol*> lists[SessionProtocol::kServiceLists];
    std::map<std::string, SessionProtocol*> uniqueInstances;
    CTILockObject garbageLock{1, nullptr, "Garbage Lock", UINT32_MAX, 0, 0};
    std::vector<std::unique_ptr<SessionProtocol>> garbage;  // owns what it holds

    static SessionLayerTables& Get() {
        static SessionLayerTables* tables = new SessionLayerTables;  // lives to the process end
        return *tables;
    }
    static void Erase(std::vector<SessionProtocol*>& bucket, SessionProtocol* s) {
        auto it = std::find(bucket.begin(), bucket.end(), s);
        if (it != bucket.end()) bucket.erase(it);
    }
};

namespace {
SessionLayerTables& Tables() { return SessionLayerTables::Get(); }
}  // namespace

std::atomic<SessionProtocol*> SessionProtocol::sm_Master{nullptr};
std::atomic<uint64_t> SessionProtocol::sm_RecipientGeneration{1};
std::atomic<int32_t> SessionProtocol::sm_SessionsNow{0};
uint32_t SessionProtocol::sm_NextSessionID = 1;

const char* SessionProtocol::SessionStateName(uint32_t state) {
    static const char* const names[] = {"sessionUnknown", "sessionOpening", "sessionOpen",   "sessionClosing",
                                        "sessionClosed",  "sessionFailed",  "sessionStandby"};
    return state < 7 ? names[state] : "*INVALID*";
}

// ---------------------------------------------------------------- construction

SessionProtocol::SessionProtocol(SessionHost& host)
    : TransportProtocol(),
      m_SessionLock(std::make_unique<CTILockObject>(1, nullptr, "Master Session Lock", UINT32_MAX, 0, 0)),
      m_Host(&host),
      m_SessionMonitors(std::make_unique<StdQueue>()) {
    LockGuard<CTILockObject> hold(*m_SessionLock, "SessionProtocol::SessionProtocol()");
    Tables();
    sm_Master.store(this);
    sm_SessionsNow = 0;
    m_SessionID = 0;
    Set("Garbage Collection Timer", GarbageCollectionTimer, 0);
    Metric(PARLO_UNKNOWN_SESSIONS, +1);
}

SessionProtocol::SessionProtocol(int socket, std::unique_ptr<SecuredChannel> channel)
    : TransportProtocol(socket, std::move(channel)), m_SessionMonitors(std::make_unique<StdQueue>()) {
    m_SessionID = NewSessionID();
    m_SessionLock = std::make_unique<CTILockObject>(1, nullptr, "Session Lock", UINT32_MAX, 0, 0,
                                                    static_cast<int>(m_SessionID));
    Metric(PARLO_UNKNOWN_SESSIONS, +1);
    ++sm_SessionsNow;
    Set("Inactivity Timer", InactivityTimer, static_cast<int32_t>(m_SessionID));
    HashIn();
    if (SessionProtocol* master = Master()) (void)master->Host().SessionCreated(static_cast<int32_t>(m_SessionID));
}

TransportProtocol* SessionProtocol::CreateConnection(int socket, std::unique_ptr<SecuredChannel> channel) {
    LockGuard<CTILockObject> master(*m_SessionLock, "SessionProtocol::CreateConnection");
    if (!IsOpenState(m_State)) return nullptr;
    auto* session = new (std::nothrow) SessionProtocol(socket, std::move(channel));
    if (session == nullptr) NUV_ALLOC_FAILED(sizeof(SessionProtocol));
    const uint32_t timeout =
        sm_Registry ? sm_Registry->Dynamic(CTIRegistry::ConnectionTimeout) : 0;
    session->StartSeconds(timeout);
    return session;
}

SessionProtocol::~SessionProtocol() {
    // No writer thread may be sending on this session while its lock goes.
    DetachFromWriter();
    SessionTimer::Cancel();
    if (IsMaster()) {
        sm_Master.store(nullptr);
        // A master that never opened had no session, no input and no poster.
        if (m_State == sessionUnknown) return;
        // Stop the poster first: nothing may reach a session while they go.
        TransportProtocol::Close();
        std::vector<SessionProtocol*> sessions;
        std::vector<std::unique_ptr<SessionProtocol>> owned;
        {
            LockGuard<CTILockObject> hold(*m_SessionLock, "SessionProtocol::~SessionProtocol");
            SessionLayerTables& t = Tables();
            for (auto& list : t.lists) list.clear();
            RecipientsChanged();
            t.uniqueInstances.clear();
            for (auto& b : t.opening) b.clear();
            for (auto& b : t.clientIDs) b.clear();
            for (auto& b : t.devices) b.clear();
            for (auto& b : t.sessionIDs) {
                for (SessionProtocol* s : b) {
                    s->m_InSessionTable = false;
                    s->m_DeviceBucket = -1;
                    sessions.push_back(s);
                }
                b.clear();
            }
            {
                // The tables' sessions in their order, then the rest of the garbage list.
                LockGuard<CTILockObject> garbage(t.garbageLock, "SessionProtocol::~SessionProtocol");
                for (SessionProtocol* s : sessions) {
                    auto onList = std::find_if(t.garbage.begin(), t.garbage.end(),
                                               [s](const auto& g) { return g.get() == s; });
                    if (onList == t.garbage.end()) {
                        owned.emplace_back(s);
                    } else {
                        owned.push_back(std::move(*onList));
                        t.garbage.erase(onList);
                    }
                }
                for (auto& g : t.garbage) owned.push_back(std::move(g));
                t.garbage.clear();
            }
        }
        // Deleted without the master lock: a session's own timer may be finishing on the
        // timer thread, and it takes the master lock.
        for (auto& s : owned) s.reset();
        ClearInputQueue();
        EMSTraceMessage("**** Destroyed master session %ld ****", 0L);
        return;
    }
    {
        LockGuard<CTILockObject> hold(*m_SessionLock, "SessionProtocol::~SessionProtocol");
        if (m_ClientVersion < 14 && GetSessionServer().CountFlaggedPeripherals() > 0)
            EMSEvent0I3S(0xA12E8010, 0, 0, m_ClientID.c_str(), m_ClientSignature.c_str(), HostAddress().c_str());
        // Monitors of other sessions on this one: their owners are found through the
        // application's client records, which do not exist yet; the links go with the list.
        while (m_SessionMonitors->RemoveHead() != nullptr) {
            EMSTraceMessage("SessionProtocol::~SessionProtocol - !Warning! ClientCB is invalid for the monitor object");
        }
        m_CurrentInput.reset();
    }
    if (SessionProtocol* master = Master()) (void)master->Host().SessionDestroyed(static_cast<int32_t>(m_SessionID));
    const int32_t now = --sm_SessionsNow;
    if (now == 0 && m_CloseStatus != E_CTI_NO_ERROR && m_CloseStatus != E_PARLO_IN_MAINTENANCE_MODE &&
        m_CloseStatus != E_CTI_INVALID_CLIENT_FOR_STANDBY &&
        GetSessionServer().GetDuplex()) {
        const char* text = "Last client session terminated abnormally, server may be unreachable.";
        EMSEvent0I1S(0x212E000F, 0, 0, text);
        GetSessionServer().ReportFailure(text);
    }
    EMSTraceMessage("**** Destroyed session %ld ****", static_cast<long>(m_SessionID));
}

// ---------------------------------------------------------------- locks

bool SessionProtocol::Lock(const char* caller) {
    if (m_SessionLock->IsLockedByCurrentThread()) return false;
    NoteAcquire(*m_SessionLock);
    const bool took = m_SessionLock->Lock(caller, -1);
    if (!took) NoteRelease(*m_SessionLock);
    return took;
}

bool SessionProtocol::Unlock(const char* caller) {
    if (!m_SessionLock->IsLockedByCurrentThread()) return false;
    // Noted before the release: once released, the garbage collection may delete the session.
    NoteRelease(*m_SessionLock);
    return m_SessionLock->Unlock(caller);
}

bool SessionProtocol::IsLocked() { return m_SessionLock->IsLockedByCurrentThread(); }

SessionProtocol::MasterHold::MasterHold(SessionProtocol& session, const char* caller) : caller_(caller) {
    SessionProtocol* m = Master();
    if (m == nullptr || m == &session || m->IsLocked()) return;
    const bool had = session.IsLocked();
    if (had) (void)session.Unlock(caller);
    master_ = m;
    took_ = m->Lock(caller);
    if (had) (void)session.Lock(caller);
}

SessionProtocol::MasterHold::~MasterHold() {
    if (took_) (void)master_->Unlock(caller_);
}

bool SessionProtocol::TraceOn() const {
    return (EMSGetTraceMask() & tracebit::TR_PROC_4) || (m_TraceFlags & sessiontrace::kSession);
}

void SessionProtocol::ResetIDCounters() {
    if (SessionProtocol* m = Master()) {
        LockGuard<CTILockObject> hold(*m->m_SessionLock, "SessionProtocol::ResetIDCounters");
        sm_NextSessionID = 1;
    }
}

// ---------------------------------------------------------------- ids and tables

uint32_t SessionProtocol::NewSessionID() {
    SessionLayerTables& t = Tables();
    auto take = [] {
        uint32_t candidate = sm_NextSessionID;
        sm_NextSessionID = (candidate + 1) & 0x7FFFFFFFu;
        if (candidate == 0) {
            candidate = sm_NextSessionID;
            sm_NextSessionID = (candidate + 1) & 0x7FFFFFFFu;
        }
        return candidate;
    };
    // At most every id once: a full table cannot make this loop forever.
    for (uint32_t tries = 0; tries < 0x7FFFFFFFu; ++tries) {
        uint32_t candidate = take();
        {
            LockGuard<CTILockObject> garbage(t.garbageLock, "SessionProtocol::NewSessionID");
            for (bool again = true; again;) {
                again = false;
                for (const auto& s : t.garbage) {
                    if (s->m_SessionID == candidate) {
                        SessionProtocol* m = Master();
                        if ((EMSGetTraceMask() & tracebit::TR_PROC_4) || (m && (m->m_TraceFlags & sessiontrace::kSession)))
                            EMSTraceMessage("SessionProtocol::NewSessionID- Session ID %d found in garbage collector list, using next Session ID",
                                            static_cast<int>(candidate));
                        candidate = take();
                        again = true;
                        break;
                    }
                }
            }
        }
        if (candidate == 0) {
            sm_NextSessionID = 1;
            continue;
        }
        if (FindSession(candidate) == nullptr) return candidate;
    }
    EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n", "a free session ID", __FILE__, __LINE__);
}

int SessionProtocol::HashClientID(const char* text) {
    uint32_t sum = 0;
    for (int i = 0; text && text[i] && i < 64; ++i) sum += static_cast<uint8_t>(text[i]) & 31u;
    return static_cast<int>((sum & 0x7FFFFFFFu) % NUMBER_SESSION_BUCKETS);
}

int SessionProtocol::HashDeviceKey(const char* text) {
    uint32_t sum = 0;
    for (const char* p = text; p && *p; ++p) sum += static_cast<uint8_t>(*p) & 31u;
    return static_cast<int>((sum & 0x7FFFFFFFu) % NUMBER_SESSION_BUCKETS);
}

void SessionProtocol::HashIn() {
    if (m_InSessionTable)
        EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n", "!m_SessionIDListThread.IsQueued()", __FILE__,
                       __LINE__);
    if (m_DeviceBucket >= 0)
        EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n", "!m_DeviceListThread.IsQueued()", __FILE__,
                       __LINE__);
    SessionLayerTables& t = Tables();
    t.sessionIDs[m_SessionID % NUMBER_SESSION_BUCKETS].push_back(this);
    m_InSessionTable = true;
    m_DeviceBucket = HashDeviceKey(m_DeviceID.c_str());
    t.devices[static_cast<size_t>(m_DeviceBucket)].push_back(this);
}

void SessionProtocol::HashOut() {
    SessionLayerTables& t = Tables();
    if (m_DeviceBucket >= 0) {
        if (!m_InSessionTable)
            EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n", "m_SessionIDListThread.IsQueued()",
                           __FILE__, __LINE__);
        SessionLayerTables::Erase(t.devices[static_cast<size_t>(m_DeviceBucket)], this);
        SessionLayerTables::Erase(t.sessionIDs[m_SessionID % NUMBER_SESSION_BUCKETS], this);
        m_InSessionTable = false;
        m_DeviceBucket = -1;
    } else if (m_InSessionTable) {
        EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n", "!m_SessionIDListThread.IsQueued()", __FILE__,
                       __LINE__);
    }
}

int SessionProtocol::CompleteOpen(int32_t sessionID, const char* deviceKey) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::CompleteOpen");
    SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) return 0;
    LockGuard<CTILockObject> hold(*s->m_SessionLock, "SessionProtocol::CompleteOpen");
    const std::string key = deviceKey ? deviceKey : "";
    if (s->m_State != sessionFailed && s->m_DeviceID != key) {
        s->HashOut();
        s->m_DeviceID = key;
        s->HashIn();
    }
    return 1;
}

SessionProtocol* SessionProtocol::FindSession(uint32_t sessionID) {
    for (SessionProtocol* s : Tables().sessionIDs[sessionID % NUMBER_SESSION_BUCKETS])
        if (static_cast<uint32_t>(s->GetSessionID()) == sessionID) return s;
    return nullptr;
}

SessionProtocol* SessionProtocol::FindOpeningSession(uint32_t sessionID) {
    for (SessionProtocol* s : Tables().opening[sessionID % NUMBER_OPENING_BUCKETS])
        if (static_cast<uint32_t>(s->GetSessionID()) == sessionID) return s;
    return nullptr;
}

SessionProtocol* SessionProtocol::FindSessionByClientID(const char* clientID) {
    if (clientID == nullptr) return nullptr;
    for (SessionProtocol* s : Tables().clientIDs[static_cast<size_t>(HashClientID(clientID))])
        if (std::strcmp(s->GetClientID(), clientID) == 0) return s;
    return nullptr;
}

SessionProtocol* SessionProtocol::FindSessionByDevice(const char* deviceKey, uint32_t peripheralID) {
    if (deviceKey == nullptr || *deviceKey == '\0') return nullptr;
    for (SessionProtocol* s : Tables().devices[static_cast<size_t>(HashDeviceKey(deviceKey))])
        if (s->m_PeripheralID == peripheralID && s->m_DeviceID == deviceKey) return s;
    return nullptr;
}

SessionProtocol* SessionProtocol::FindSessionByUniqueInstanceID(const std::string& id) {
    auto& map = Tables().uniqueInstances;
    auto it = map.find(id);
    return it == map.end() ? nullptr : it->second;
}

void SessionProtocol::AddToUniqueInstanceIDMap() {
    auto& map = Tables().uniqueInstances;
    if (map.count(m_UniqueInstanceID)) {
        if (EMSGetTraceMask() & tracebit::kDefault)
            EMSTraceMessage("SessionProtocol::AddToUniqueInstanceIDMap - Instance UniqueID %s is already known client",
                            m_UniqueInstanceID.c_str());
        return;
    }
    map.emplace(m_UniqueInstanceID, this);
}

void SessionProtocol::RemoveFromUniqueInstanceIDMap() {
    auto& map = Tables().uniqueInstances;
    auto it = map.find(m_UniqueInstanceID);
    if (it != map.end() && it->second == this) map.erase(it);
}

void SessionProtocol::AddToOpeningTable() {
    if (m_InOpeningTable) return;
    Tables().opening[m_SessionID % NUMBER_OPENING_BUCKETS].push_back(this);
    m_InOpeningTable = true;
}

void SessionProtocol::RemoveFromOpeningTable() {
    if (!m_InOpeningTable) return;
    SessionLayerTables::Erase(Tables().opening[m_SessionID % NUMBER_OPENING_BUCKETS], this);
    m_InOpeningTable = false;
}

void SessionProtocol::AddToClientIDTable() {
    if (m_InClientIDTable) return;
    m_ClientIDBucket = HashClientID(m_ClientID.c_str());
    Tables().clientIDs[static_cast<size_t>(m_ClientIDBucket)].push_back(this);
    m_InClientIDTable = true;
}

void SessionProtocol::RemoveFromClientIDTable() {
    if (!m_InClientIDTable) return;
    SessionLayerTables::Erase(Tables().clientIDs[static_cast<size_t>(m_ClientIDBucket)], this);
    m_InClientIDTable = false;
    m_ClientIDBucket = -1;
}

std::vector<SessionProtocol*> SessionProtocol::AllSessions() {
    std::vector<SessionProtocol*> all;
    for (auto& b : Tables().devices) all.insert(all.end(), b.begin(), b.end());
    return all;
}

const std::deque<SessionProtocol*>& SessionProtocol::ServiceListOf(int list) {
    return Tables().lists[list < 0 || list >= kServiceLists ? 0 : list];
}

void SessionProtocol::AppendToServiceList(int list, SessionProtocol* session) {
    Tables().lists[list].push_back(session);
    session->m_InServiceList[list] = true;
    RecipientsChanged();
}

void SessionProtocol::ClearServiceList(int list) {
    for (SessionProtocol* s : Tables().lists[list]) s->m_InServiceList[list] = false;
    Tables().lists[list].clear();
    RecipientsChanged();
}

void SessionProtocol::ClearUniqueInstanceIDMap() { Tables().uniqueInstances.clear(); }

int32_t SessionProtocol::GetClientSessionID(const char* clientID, uint32_t* state) {
    if (state) *state = 0;
    SessionProtocol* m = Master();
    if (m == nullptr) return -1;
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::GetClientSessionID");
    SessionProtocol* s = FindSessionByClientID(clientID);
    if (s == nullptr) return -1;
    if (state) *state = s->m_State;
    return static_cast<int32_t>(s->m_SessionID);
}

std::string SessionProtocol::GetHostAddress(int32_t sessionID) {
    SessionProtocol* m = Master();
    if (m == nullptr) return "";
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::GetHostAddress");
    SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
    return s ? s->HostAddress() : "";
}

std::string SessionProtocol::GetHostName(int32_t sessionID) {
    SessionProtocol* m = Master();
    if (m == nullptr) return "";
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::GetHostName");
    SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
    return s ? s->HostName() : "";
}

uint32_t SessionProtocol::GetHostPort(int32_t sessionID) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::GetHostPort");
    SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
    return s ? s->HostPort() : 0;
}

int SessionProtocol::AddVariable(int32_t sessionID, uint32_t variableID, const char* name) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::AddVariable");
    SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) {
        EMSTraceMessage("SessionProtocol::AddVariable: Session %d not found", static_cast<int>(sessionID));
        return 0;
    }
    LockGuard<CTILockObject> hold(*s->m_SessionLock, "SessionProtocol::AddVariable");
    if (!s->m_RegisteredVariables) s->m_RegisteredVariables.emplace();
    auto& list = *s->m_RegisteredVariables;
    if (std::none_of(list.begin(), list.end(), [&](const RegisteredVariable& v) { return v.id == variableID; }))
        list.push_back({variableID, name ? name : ""});
    RecipientsChanged();
    return 1;
}

int SessionProtocol::RemoveVariable(int32_t sessionID, uint32_t variableID, const char*) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::RemoveVariable");
    SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) {
        EMSTraceMessage("SessionProtocol::RemoveVariable: Session %d not found", static_cast<int>(sessionID));
        return 0;
    }
    LockGuard<CTILockObject> hold(*s->m_SessionLock, "SessionProtocol::RemoveVariable");
    if (s->m_RegisteredVariables) {
        auto& list = *s->m_RegisteredVariables;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const RegisteredVariable& v) { return v.id == variableID; }),
                   list.end());
    }
    RecipientsChanged();
    return 1;
}

int SessionProtocol::SetRegisteredCallVars(int32_t sessionID, uint16_t mask) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::SetRegisteredCallVars");
    SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) {
        EMSTraceMessage("SessionProtocol::SetRegisteredCallVars: Session %d not found", static_cast<int>(sessionID));
        return 0;
    }
    LockGuard<CTILockObject> hold(*s->m_SessionLock, "SessionProtocol::SetRegisteredCallVars");
    s->m_RegisteredCallVars = mask;
    if (!s->m_RegisteredVariables) s->m_RegisteredVariables.emplace();
    RecipientsChanged();
    return 1;
}

int SessionProtocol::Configure(CTIRegistry* registry) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::Configure");
    sm_Registry = registry;
    if (registry) {
        const CTIRegistry::ConfigBlock& c = registry->Config();
        sm_ListenPort = std::atoi(c.ListenPort.c_str());
        sm_ListenSecurePort = std::atoi(c.SecuredListenPort.c_str());
        sm_SecurityMode = c.SecurityMode;
        if (c.ListenBacklog > 0) sm_ListenBacklog = static_cast<int32_t>(c.ListenBacklog);
        m->SetListenHostName(c.CGPublicInterface);
    }
    return m->TransportProtocol::Configure();
}

// ---------------------------------------------------------------- close and garbage

void SessionProtocol::CleanUpQueuesOnConnectionClose(uint32_t previousState) {
    MasterHold master(*this, "SessionProtocol::CleanUpQueuesOnConnectionClose");
    LockGuard<CTILockObject> hold(*m_SessionLock, "SessionProtocol::CleanUpQueuesOnConnectionClose");
    if (m_InSessionTable && m_DeviceBucket >= 0) {
        CloseConnection();
        if (previousState != sessionUnknown && previousState != sessionOpening) RemoveFromClientIDTable();
        HashOut();
        SessionLayerTables& t = Tables();
        for (int i = 0; i < kServiceLists; ++i) {
            if (!m_InServiceList[i]) continue;
            auto& list = t.lists[i];
            list.erase(std::remove(list.begin(), list.end(), this), list.end());
            m_InServiceList[i] = false;
            RecipientsChanged();
        }
        RemoveFromOpeningTable();
        RemoveFromUniqueInstanceIDMap();
        m_RegisteredVariables.reset();
    } else {
        EMSTraceMessage("SessionProtocol::CleanUpQueuesOnConnectionClose - Session %d not hashed in, state %s",
                        static_cast<int>(m_SessionID), SessionStateName(previousState));
    }
    // The caller's hold on the session lock stays the caller's; only the master lock this
    // call took goes here (when `master` is destroyed).
}

void SessionProtocol::AddToGarbageCollectionList() {
    SessionLayerTables& t = Tables();
    SessionProtocol* m = Master();
    LockGuard<CTILockObject> garbage(t.garbageLock, "SessionProtocol::AddToGarbageCollectionList");
    // A session goes on the list once: it is deleted once.
    if (m_OnGarbageList) return;
    m_OnGarbageList = true;
    t.garbage.emplace_back(this);  // the list owns the session from here on
    if (EMSGetTraceMask() & tracebit::kDefault)
        EMSTraceMessage("SessionProtocol::AddToGarbageCollectionList - SessionID %ld", static_cast<long>(m_SessionID));
    if (m == nullptr) return;
    if (!m->IsRunning()) {
        m->StartSeconds(10);
    } else if (TraceOn()) {
        EMSTraceMessage("SessionProtocol::AddToGarbageCollectionList - Garbage collection timer is running already");
    }
}

void SessionProtocol::CollectGarbage() {
    SessionLayerTables& t = Tables();
    for (;;) {
        std::unique_ptr<SessionProtocol> s;
        {
            LockGuard<CTILockObject> garbage(t.garbageLock, "SessionProtocol::CollectGarbage");
            if (t.garbage.empty()) return;
            s = std::move(t.garbage.front());
            t.garbage.erase(t.garbage.begin());
        }
        if (EMSGetTraceMask() & tracebit::kDefault)
            EMSTraceMessage("SessionProtocol::CollectGarbage - SessionID %ld", static_cast<long>(s->m_SessionID));
        s.reset();  // outside the garbage lock
    }
}

void SessionProtocol::CleanupGarbageList() {
    SessionProtocol* m = Master();
    if (m == nullptr) return;
    LockGuard<CTILockObject> server(GetSessionServer().ServerLock(), "SessionProtocol::CleanupGarbageList");
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::CleanupGarbageList");
    CollectGarbage();
}

size_t SessionProtocol::GarbageCount() {
    SessionLayerTables& t = Tables();
    LockGuard<CTILockObject> garbage(t.garbageLock, "SessionProtocol::GarbageCount");
    return t.garbage.size();
}

// ---------------------------------------------------------------- timers

SessionTimer::~SessionTimer() { Timer::Cancel(); }

void SessionTimer::Set(const char* name, int type, int32_t sessionID) {
    m_TimerName = name ? name : "";
    m_TimerType = type;
    m_TimerSessionID = sessionID;
}

void SessionTimer::Reschedule() {
    m_Running = true;
    Timer::Reschedule();
}

void SessionTimer::Cancel() {
    m_Running = false;
    Timer::Cancel();
}

void SessionTimer::StartSeconds(uint32_t seconds) {
    m_Running = true;
    Timer::SetSeconds(seconds);
}

void SessionTimer::StartOnBoundary(uint32_t seconds) {
    m_Running = true;
    Timer::SetNextSecondsBoundary(seconds);
}

void SessionProtocol::RestartIdleTimer() {
    if (m_IdleTimeout == kNoIdleTimeout) return;
    SessionTimer::Cancel();
    StartSeconds(m_IdleTimeout);
}

void SessionProtocol::Execute() {
    ClearRunning();
    switch (GetTimerType()) {
        case InactivityTimer: {
            SessionProtocol* m = Master();
            if (m == nullptr) return;
            LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::Execute");
            LockGuard<CTILockObject> hold(*m_SessionLock, "SessionProtocol::Execute");
            if (m_State == sessionFailed) return;
            (void)SendFailureEventMSG(E_CTI_TIMEOUT);
            FailSession(E_CTI_TIMEOUT);
            return;
        }
        case GarbageCollectionTimer:
            CleanupGarbageList();
            return;
        default:
            EMSTraceMessage("%s", kBanner);
            EMSTraceMessage("###!!!Invalide Message INGORE and CONTINUE !!!###");
            EMSTraceMessage("SessionProtocol::Execute: Unknown timer type %d", GetTimerType());
            EMSTraceMessage("%s", kBanner);
    }
}

int SessionProtocol::ProcessWriteEvent() { return TransportProtocol::SendMSG(nullptr); }
