// Client input: frames cut from the stream, checked, decoded and handed to the session
// handlers or the application's input queue.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/catalog.h"
#include "ctimsg/messages/msgclass.h"
#include "ctimsg/msgtypes.h"
#include "ctimsg/names.h"
#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"
#include "nuvlib/tracemeter.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/meterids.h"
#include "parlo/common/serverstate.h"
#include "parlo/common/svrtrace.h"
#include "parlo/session/outfilter.h"
#include "parlo/session/session.h"
#include "platform/byteorder.h"
#include "platform/clock.h"

namespace {

constexpr const char* kBanner = "#################################################";
constexpr uint32_t kMaxType = catalog::kMaxType;
// The newest protocol version: a session decodes versions 1 to this.
constexpr uint32_t kNewestVersion = 24;

CTILockObject& SessionMsgLock() {
    static CTILockObject* lock = new CTILockObject(1, nullptr, "SessionMsgLock", UINT32_MAX, 0, 0);
    return *lock;
}

void Count(const char* meter) { TraceMeterCount(meter, "", __FILE__, __LINE__, 0); }

void Meter(int id, int32_t value) { GetSessionServer().UpdateMeter(id, value); }

bool ServerActive() { return GetSessionServer().GetState() == serverstate::ACTIVE; }

// Session input queue and its lock; the master's tables keep the rest.
struct InputQueue {
    CTILockObject lock{1, nullptr, "Application Queue Lock", UINT32_MAX, 0, 0};
    std::deque<std::unique_ptr<SessionMSG>> queue;
    static InputQueue& Get() {
        static InputQueue* q = new InputQueue;  // lives to the process end
        return *q;
    }
};

}  // namespace

// ---------------------------------------------------------------- SessionMSG

void SessionMSG::StampTime() { m_Stamp = plat::FileTimeNow(); }

uint32_t SessionMSG::ElapsedSinceStamp() const {
    const uint64_t now = plat::FileTimeNow();
    return now > m_Stamp ? static_cast<uint32_t>((now - m_Stamp) / 10000) : 0;
}

std::unique_ptr<SessionMSG> SessionMSG::New(const char* caller) {
    LockGuard<CTILockObject> hold(SessionMsgLock(), caller);
    std::unique_ptr<SessionMSG> msg(new (std::nothrow) SessionMSG);
    if (msg == nullptr) NUV_ALLOC_FAILED(sizeof(SessionMSG));
    msg->StampTime();
    return msg;
}

std::unique_ptr<SessionMSG> SessionMSG::CreateFromHeader(uint32_t sessionID, uint32_t version,
                                                         const uint8_t header[8]) {
    const uint32_t body = plat::LoadBE32(header);
    if (body > static_cast<uint32_t>(TRANSPORT_MAX_MSG)) return nullptr;
    std::unique_ptr<SessionMSG> msg = New("SessionMSG::CreateFromHeader");
    // The frame buffer holds the header and a body of up to TRANSPORT_MAX_MSG bytes.
    if (!msg->InitFrame(static_cast<int32_t>(body) + CTI_HEADER_SIZE, nullptr)) return nullptr;
    std::memcpy(msg->Buffer(), header, CTI_HEADER_SIZE);
    msg->Advance(CTI_HEADER_SIZE);
    msg->m_FrameLength = body;
    msg->m_Type = plat::LoadBE32(header + 4);
    msg->m_SessionID = sessionID;
    msg->m_ClientVersion = version;
    return msg;
}

std::unique_ptr<SessionMSG> SessionMSG::CreateFromBaseMSG(uint32_t sessionID, uint32_t version,
                                                          uint32_t serviceMask, BaseMSG& base) {
    // The largest encoding may overstate the frame; it never needs more than the largest frame.
    const int room = std::min(std::max(base.MaxEncodedSize(version) + CTI_HEADER_SIZE, CTI_HEADER_SIZE),
                              TRANSPORT_MAX_FRAME);
    std::vector<uint8_t> buffer(static_cast<size_t>(room));
    const int n = base.Encode(buffer.data(), static_cast<int>(buffer.size()), version, ALL_CALL_VARIABLES,
                              nullptr, serviceMask);
    if (n < CTI_HEADER_SIZE) return nullptr;
    std::unique_ptr<SessionMSG> msg = New("SessionMSG::CreateFromBaseMSG");
    if (!msg->InitFrame(n, buffer.data())) return nullptr;
    msg->m_FrameLength = static_cast<uint32_t>(n);
    msg->m_Type = base.GetMsgType();
    msg->m_SessionID = sessionID;
    msg->m_ClientVersion = version;
    msg->m_ServiceMask = serviceMask;
    return msg;
}

std::unique_ptr<SessionMSG> SessionMSG::Copy(const SessionMSG& source) {
    std::unique_ptr<SessionMSG> msg = New("SessionMSG::Copy");
    // The copies of one distributed frame share its bytes, read-only: a recipient that needs
    // other bytes gets its own by Replace.
    if (static_cast<int32_t>(source.m_FrameLength) == source.Length()) {
        msg->ShareBytes(source);
    } else if (!msg->InitFrame(static_cast<int32_t>(source.m_FrameLength), source.Bytes())) {
        return nullptr;
    }
    msg->m_FrameLength = source.m_FrameLength;
    msg->m_Type = source.m_Type;
    msg->m_SessionID = source.m_SessionID;
    msg->m_ClientVersion = source.m_ClientVersion;
    msg->m_ServiceMask = source.m_ServiceMask;
    return msg;
}

std::unique_ptr<TransportMSG> SessionMSG::CopySharing() const { return Copy(*this); }

int SessionMSG::Replace(const uint8_t* data, int32_t length, uint32_t version) {
    if (!InitFrame(length, data)) return 0;
    m_FrameLength = static_cast<uint32_t>(length);
    m_ClientVersion = version;
    return 1;
}

// ---------------------------------------------------------------- reading

int SessionProtocol::ProcessReadEvent() {
    if (m_CurrentInput == nullptr) {
        const int n = RecvBytes(m_Header + m_HeaderRead, CTI_HEADER_SIZE - m_HeaderRead);
        if (n < 1) return 0;
        m_HeaderRead += n;
        if (m_HeaderRead < CTI_HEADER_SIZE || m_State == sessionFailed) return 0;
        const uint32_t length = plat::LoadBE32(m_Header);
        const uint32_t type = plat::LoadBE32(m_Header + 4);
        if (type < 1 || type > kMaxType || length > static_cast<uint32_t>(TRANSPORT_MAX_MSG)) {
            char text[64];
            std::snprintf(text, sizeof text, "Length:0x%x, Type:0x%x", length, type);
            EMSEvent0I3S(0xA12EC00B, 0, 0, text, m_ClientID.c_str(), HostAddress().c_str());
            (void)SendFailureEventMSG(E_CTI_INVALID_MESSAGE_LENGTH);
            FailSession(E_CTI_INVALID_MESSAGE_LENGTH);
            return 0;
        }
        m_CurrentInput = SessionMSG::CreateFromHeader(m_SessionID, m_ClientVersion, m_Header);
        m_HeaderRead = 0;
        if (m_CurrentInput == nullptr) {
            if (EMSGetTraceMask() & tracebit::kDefault)
                EMSTraceMessage("SessionProtocol::ProcessReadEvent - Invalid current input message (NULL)");
            return 0;
        }
    }
    const int usable = RecvMSG(*m_CurrentInput);
    const bool shuttingDown = GetSessionServer().IsShuttingDown();
    if (usable && m_State != sessionFailed && !shuttingDown) {
        if (m_CurrentInput->Remaining() > 0) return 1;
        Count("Session: msgs received");
        m_HeaderRead = 0;
        (void)ProcessInputMessage(std::move(m_CurrentInput));
        return 1;
    }
    // A failed read may have ended the session already; the frame goes either way.
    m_CurrentInput.reset();
    m_HeaderRead = 0;
    return 0;
}

void SessionProtocol::TraceMessage(BaseMSG& msg, uint32_t version) {
    std::string text;
    msg.Trace(text, version);
    while (!text.empty()) {
        const size_t before = text.size();
        const std::string line = WrapText(text, 98, 8);
        EMSEvent1I1S(0x212E000E, 0, 0, static_cast<int32_t>(m_SessionID), line.c_str());
        if (text.size() >= before) break;
    }
}

std::string SessionProtocol::ClientText() const {
    char text[120];
    if (m_ClientID.empty())
        std::snprintf(text, sizeof text, "new client at %s(%s:%d)", HostName().c_str(), HostAddress().c_str(),
                      static_cast<int>(HostPort()));
    else
        std::snprintf(text, sizeof text, "client %s at %s(%s:%d)", m_ClientID.c_str(), HostName().c_str(),
                      HostAddress().c_str(), static_cast<int>(HostPort()));
    return text;
}

int SessionProtocol::ProcessInputMessage(std::unique_ptr<SessionMSG> frame) {
    uint32_t status = E_CTI_UNSPECIFIED_FAILURE;
    const uint32_t type = frame->GetType();
    const uint8_t* data = frame->Data();
    const int frameLength = static_cast<int>(frame->FrameLength()) + CTI_HEADER_SIZE;
    // The OPEN_REQ's version decides how the frame decodes; a body too short for the
    // InvokeID and the version is left to the decoder, which refuses it.
    if (type == OPEN_REQ && frame->FrameLength() >= 8) {
        const uint32_t invokeID = plat::LoadBE32(data + CTI_HEADER_SIZE);
        const uint32_t version = plat::LoadBE32(data + CTI_HEADER_SIZE + 4);
        if (version != frame->ClientVersion()) {
            m_ClientVersion = version;
            frame->SetClientVersion(version);
            RecipientsChanged();
        }
        if (m_ClientVersion > kNewestVersion) {
            EMSTraceMessage("SessionProtocol::ProcessInputMessage - Invalid version %d", static_cast<int>(m_ClientVersion));
            (void)SendFailureConfMSG(invokeID, E_CTI_INVALID_VERSION);
        }
    }
    // The session's version rule: only versions 1 to 24 decode. Every frame queued for the
    // application was decoded here, at the version it carries.
    BaseMSGPtr msg;
    if (m_ClientVersion >= 1 && m_ClientVersion <= kNewestVersion) {
        msg = BaseMSG::Decode(data, frameLength, m_ClientVersion);
    } else if (type != OPEN_REQ || m_ClientVersion <= kNewestVersion) {  // above 24 an OPEN_REQ was traced already
        EMSTraceMessage("SessionProtocol::ProcessInputMessage - Invalid version %d", static_cast<int>(m_ClientVersion));
    }
    if (msg) {
        Meter(meter::ClientMessages, static_cast<int32_t>(type));
        status = msg->GetStatus();
        bool traced;
        switch (type) {
            case HEARTBEAT_REQ: traced = SVRTraceON(ClientHeartbeats); break;
            case QUERY_AGENT_STATISTICS_REQ:
                traced = SVRTraceON(ClientAgentStatisticsFull) || SVRTraceON(ClientAgentStatisticsBrief);
                break;
            case QUERY_SKILL_GROUP_STATISTICS_REQ:
                traced = SVRTraceON(ClientSkillStatisticsFull) || SVRTraceON(ClientSkillStatisticsBrief);
                break;
            default:
                if (!(EMSGetTraceMask() & tracebit::TR_PROC_4) && !(m_TraceFlags & sessiontrace::kInput))
                    traced = SVRTraceON(SessionLayer);
                else
                    traced = type != QUERY_AGENT_STATE_REQ && type != SET_AGENT_STATE_REQ;
        }
        if (traced) TraceMessage(*msg, m_ClientVersion);
        if (type == OPEN_REQ && status == E_CTI_NO_ERROR) {
            const char* signature = msg->GetSTRING(elementid::ClientSignature);
            const char* id = msg->GetSTRING(elementid::ClientID);
            const char* name = signature && *signature ? signature : (id ? id : "");
            const uint32_t threshold = std::strcmp(name, "Tressik") == 0 ? 8 : 20;
            const uint32_t idle = msg->GetUINT(elementid::IdleTimeout);
            if (idle < threshold) {
                EMSTraceMessage("[ProcessInputMessage] Error: Heartbeat IdleTimeout specified %d for client %s is below the threshold %d.",
                                static_cast<int>(idle), name, static_cast<int>(threshold));
                status = E_CTI_INVALID_TIMEOUT;
            }
        }
    }
    if (!msg || status != E_CTI_NO_ERROR) {
        Meter(meter::InvalidClientMessages, 1);
        char element[64] = "(unknown)";
        if (msg) {
            if (msg->GetFailingOccurrence() >= 1)
                std::snprintf(element, sizeof element, "%s[%d]", ElementName(static_cast<int32_t>(msg->GetFailingElement())),
                              static_cast<int>(msg->GetFailingOccurrence()));
            else
                std::snprintf(element, sizeof element, "%s", ElementName(static_cast<int32_t>(msg->GetFailingElement())));
        }
        const std::string client = ClientText();
        EMSEvent1I4S(0xA12E8005, 0, 0, static_cast<int32_t>(m_SessionID), client.c_str(),
                     MsgTypeName(static_cast<int32_t>(type)), StatusCodeName(static_cast<int32_t>(status)), element);
        if (msg) {
            EMSTraceMessage("%s", kBanner);
            EMSTraceMessage("###!!!Invalid Message INGORE and CONTINUE !!!###");
            EMSTraceMessage("%s", kBanner);
            if (msg->FindElement(elementid::InvokeID, 0, false) != nullptr && msg->Present(elementid::InvokeID))
                (void)SendFailureConfMSG(msg->GetUINT(elementid::InvokeID), status);
        }
        HexDump(data, frameLength);
        return 0;
    }
    switch (type) {
        case CLOSE_REQ: ProcessCloseRequest(std::move(frame), std::move(msg)); break;
        case OPEN_REQ: ProcessOpenRequest(std::move(frame), std::move(msg)); break;
        case HEARTBEAT_REQ: ProcessHeartBeatRequest(*frame, *msg); break;
        case SESSION_FAILED_MSG:
            // Only the session layer makes these: one from a client is refused.
            (void)SendFailureConfMSG(msg->GetUINT(elementid::InvokeID), E_CTI_FUNCTION_NOT_AVAILABLE);
            break;
        default:
            // Not active: requests of clients are dropped.
            if (ServerActive()) QueueInputMessage(std::move(frame), std::move(msg), true);
    }
    return 1;
}

void SessionProtocol::QueueInputMessage(std::unique_ptr<SessionMSG> frame, BaseMSGPtr decoded, bool checkOpen) {
    if (m_State == sessionFailed) return;
    if (checkOpen && !IsOpenState(m_State)) {
        (void)SendFailureEventMSG(E_CTI_SESSION_NOT_OPEN);
        FailSession(E_CTI_SESSION_NOT_OPEN);
        return;
    }
    frame->SetDecoded(std::move(decoded));
    {
        InputQueue& q = InputQueue::Get();
        LockGuard<CTILockObject> hold(q.lock, "SessionProtocol::QueueInputMessage");
        q.queue.push_back(std::move(frame));
    }
    if (SessionProtocol* m = Master()) m->Host().QueueApplicationMSG(-1);
    RestartIdleTimer();
}

std::unique_ptr<SessionMSG> SessionProtocol::DequeueInputMessage() {
    InputQueue& q = InputQueue::Get();
    LockGuard<CTILockObject> hold(q.lock, "SessionProtocol::DequeueInputMessage");
    if (q.queue.empty()) {
        if (SessionProtocol* m = Master()) m->Host().ResetInputEvent();
        return nullptr;
    }
    std::unique_ptr<SessionMSG> msg = std::move(q.queue.front());
    q.queue.pop_front();
    return msg;
}

size_t SessionProtocol::InputQueueLength() {
    InputQueue& q = InputQueue::Get();
    LockGuard<CTILockObject> hold(q.lock, "SessionProtocol::InputQueueLength");
    return q.queue.size();
}

void SessionProtocol::PurgeApplicationMessage(uint32_t sessionID) {
    InputQueue& q = InputQueue::Get();
    const bool traced = EMSGetTraceMask() & tracebit::TR_PROC_4;
    LockGuard<CTILockObject> hold(q.lock, "SessionProtocol::PurgeApplicationMessage");
    std::erase_if(q.queue, [&](const std::unique_ptr<SessionMSG>& m) {
        if (m->SessionID() != sessionID || m->GetType() == CLOSE_REQ) return false;
        if (traced)
            EMSTraceMessage("SessionProtocol::PurgeApplicationMessage for Session %d (%s)", static_cast<int>(sessionID),
                            MsgTypeName(static_cast<int32_t>(m->GetType())));
        return true;
    });
}

void SessionProtocol::ClearInputQueue() {
    InputQueue& q = InputQueue::Get();
    LockGuard<CTILockObject> hold(q.lock, "SessionProtocol::ClearInputQueue");
    q.queue.clear();
}

void SessionProtocol::HexDump(const uint8_t* bytes, int count) {
    const bool dump = (sm_Registry && sm_Registry->Dynamic(CTIRegistry::DumpInvalidMessages)) ||
                      (EMSGetTraceMask() & tracebit::TR_PROC_4) || (m_TraceFlags & sessiontrace::kInput);
    if (!dump || bytes == nullptr || count <= 0) return;
    // The log may be read by others than the client: its passwords never go there. A
    // version without a layout of its own is read in the newest one.
    std::vector<uint8_t> shown(bytes, bytes + count);
    const uint32_t version = m_ClientVersion >= 1 && m_ClientVersion <= kNewestVersion ? m_ClientVersion : kNewestVersion;
    BaseMSG::BlankSecretFields(shown.data(), count, version);
    bytes = shown.data();
    std::string hex, chars;
    char cell[8];
    for (int i = 0; i < count; ++i) {
        std::snprintf(cell, sizeof cell, "%02x ", bytes[i]);
        hex += cell;
        chars += bytes[i] >= 0x20 && bytes[i] <= 0x7F ? static_cast<char>(bytes[i]) : '.';
        if ((i + 1) % 16 == 0 || i + 1 == count) {
            char line[80];
            std::snprintf(line, sizeof line, "%-48.48s| %-16.16s", hex.c_str(), chars.c_str());
            EMSEvent1I1S(0x212E000E, 0, 0, static_cast<int32_t>(m_SessionID), line);
            hex.clear();
            chars.clear();
        }
    }
}
