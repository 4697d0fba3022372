// Client input: frames cut from the stream, checked, decoded and handed to the session
// handlers or the application's input queue.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ctimsg/bigendian.h"
#include "ctimsg/elementids.h"
#include "ctimsg/messages/msgclass.h"
#include "ctimsg/names.h"
#include "nuvlib/ems.h"
#include "nuvlib/tracemeter.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/serverstate.h"
#include "parlo/session/session.h"
#include "parlo/common/svrtrace.h"
#include "platform/clock.h"

namespace {

constexpr const char* kBanner = "#################################################";
constexpr uint32_t kOpenReq = 3, kHeartbeatReq = 5, kCloseReq = 7, kSessionFailedMsg = 259;
constexpr uint32_t kMaxType = 282;

CTILockObject& SessionMsgLock() {
    static CTILockObject* lock = new CTILockObject(1, nullptr, "SessionMsgLock", UINT32_MAX, 0, 0);
    return *lock;
}

void Count(const char* meter) { TraceMeterCount(meter, "", __FILE__, __LINE__, 0); }

void Meter(int meter, int32_t value) { GetSessionServer().UpdateMeter(meter, value); }

bool ServerActive() { return GetSessionServer().GetState() == serverstate::ACTIVE; }

uint32_t ReadBE32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Session input queue and its lock; the master's tables keep the rest.
struct InputQueue {
    CTILockObject lock{1, nullptr, "Application Queue Lock", UINT32_MAX, 0, 0};
    std::deque<SessionMSG*> queue;
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

SessionMSG* SessionMSG::CreateFromHeader(uint32_t sessionID, uint32_t version, const uint8_t header[8]) {
    const uint32_t body = ReadBE32(header);
    if (body > static_cast<uint32_t>(TRANSPORT_MAX_MSG)) return nullptr;
    SessionMSG* msg;
    {
        LockGuard<CTILockObject> hold(SessionMsgLock(), "SessionMSG::CreateFromHeader");
        msg = new (std::nothrow) SessionMSG;
        if (msg == nullptr) NUV_ALLOC_FAILED(sizeof(SessionMSG));
        msg->StampTime();
    }
    // The frame buffer holds the header and a body of up to TRANSPORT_MAX_MSG bytes.
    if (!msg->InitFrame(static_cast<int32_t>(body) + 8, nullptr)) {
        delete msg;
        return nullptr;
    }
    std::memcpy(msg->Buffer(), header, 8);
    msg->Advance(8);
    msg->m_FrameLength = body;
    msg->m_Type = ReadBE32(header + 4);
    msg->m_SessionID = sessionID;
    msg->m_ClientVersion = version;
    return msg;
}

SessionMSG* SessionMSG::CreateFromBaseMSG(uint32_t sessionID, uint32_t version, uint32_t serviceMask,
                                          BaseMSG& base) {
    // The largest encoding may overstate the frame; it never needs more than the largest frame.
    const int room = std::min(std::max(base.MaxEncodedSize(version) + 8, 8), TRANSPORT_MAX_FRAME);
    std::vector<uint8_t> buffer(static_cast<size_t>(room));
    const int n = base.Encode(buffer.data(), static_cast<int>(buffer.size()), version, 0x3FF, nullptr, serviceMask);
    if (n < 8) return nullptr;
    SessionMSG* msg;
    {
        LockGuard<CTILockObject> hold(SessionMsgLock(), "SessionMSG::CreateFromBaseMSG");
        msg = new (std::nothrow) SessionMSG;
        if (msg == nullptr) NUV_ALLOC_FAILED(sizeof(SessionMSG));
        msg->StampTime();
    }
    if (!msg->InitFrame(n, buffer.data())) {
        delete msg;
        return nullptr;
    }
    msg->m_FrameLength = static_cast<uint32_t>(n);
    msg->m_Type = base.GetMsgType();
    msg->m_SessionID = sessionID;
    msg->m_ClientVersion = version;
    msg->m_ServiceMask = serviceMask;
    return msg;
}

SessionMSG* SessionMSG::Copy(const SessionMSG* source) {
    if (source == nullptr) return nullptr;
    SessionMSG* msg;
    {
        LockGuard<CTILockObject> hold(SessionMsgLock(), "SessionMSG::Copy");
        msg = new (std::nothrow) SessionMSG;
        if (msg == nullptr) NUV_ALLOC_FAILED(sizeof(SessionMSG));
        msg->StampTime();
    }
    // The copies of one distributed frame share its bytes, read-only: a recipient that needs
    // other bytes gets its own by Replace.
    if (static_cast<int32_t>(source->m_FrameLength) == source->Length()) {
        msg->ShareBytes(*source);
    } else if (!msg->InitFrame(static_cast<int32_t>(source->m_FrameLength), source->Bytes())) {
        delete msg;
        return nullptr;
    }
    msg->m_FrameLength = source->m_FrameLength;
    msg->m_Type = source->m_Type;
    msg->m_SessionID = source->m_SessionID;
    msg->m_ClientVersion = source->m_ClientVersion;
    msg->m_ServiceMask = source->m_ServiceMask;
    return msg;
}

int SessionMSG::Replace(const uint8_t* data, int32_t length, uint32_t version) {
    if (!InitFrame(length, data)) return 0;
    m_FrameLength = static_cast<uint32_t>(length);
    m_ClientVersion = version;
    return 1;
}

// ---------------------------------------------------------------- reading

int SessionProtocol::ProcessReadEvent() {
    if (m_CurrentInput == nullptr) {
        const int n = RecvBytes(m_Header + m_HeaderRead, 8 - m_HeaderRead);
        if (n < 1) return 0;
        m_HeaderRead += n;
        if (m_HeaderRead < 8 || m_State == sessionFailed) return 0;
        const uint32_t length = ReadBE32(m_Header);
        const uint32_t type = ReadBE32(m_Header + 4);
        if (type < 1 || type > kMaxType || length > static_cast<uint32_t>(TRANSPORT_MAX_MSG)) {
            char text[64];
            std::snprintf(text, sizeof text, "Length:0x%x, Type:0x%x", length, type);
            EMSEvent0I3S(0xA12EC00B, 0, 0, text, m_ClientID.c_str(), HostAddress().c_str());
            (void)SendFailureEventMSG(2u);
            FailSession(2);
            return 0;
        }
        m_CurrentInput = SessionMSG::CreateFromHeader(m_SessionID, m_ClientVersion, m_Header);
        m_HeaderRead = 0;
        if (m_CurrentInput == nullptr) {
            if (EMSGetTraceMask() & 0xF0)
                EMSTraceMessage("SessionProtocol::ProcessReadEvent - Invalid current input message (NULL)");
            return 0;
        }
    }
    const int usable = RecvMSG(m_CurrentInput);
    const bool shuttingDown = GetSessionServer().IsShuttingDown();
    if (usable && m_State != sessionFailed && !shuttingDown) {
        if (m_CurrentInput->Remaining() > 0) return 1;
        Count("Session: msgs received");
        SessionMSG* frame = m_CurrentInput;
        m_CurrentInput = nullptr;
        m_HeaderRead = 0;
        (void)ProcessInputMessage(frame);
        return 1;
    }
    // A failed read may have ended the session already; the frame goes either way.
    delete m_CurrentInput;
    m_CurrentInput = nullptr;
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

int SessionProtocol::ProcessInputMessage(SessionMSG* frame) {
    uint32_t status = 17;
    const uint32_t type = frame->GetType();
    uint8_t* data = frame->Data();
    // The OPEN_REQ's version decides how the frame decodes; a body too short for the
    // InvokeID and the version is left to the decoder, which refuses it.
    if (type == kOpenReq && frame->FrameLength() >= 8) {
        const uint32_t invokeID = ReadBE32(data + 8);
        const uint32_t version = ReadBE32(data + 12);
        if (version != frame->ClientVersion()) {
            m_ClientVersion = version;
            frame->SetClientVersion(version);
        }
        if (m_ClientVersion > 24) {
            EMSTraceMessage("SessionProtocol::ProcessInputMessage - Invalid version %d", static_cast<int>(m_ClientVersion));
            (void)SendFailureConfMSG(invokeID, 1u);
        }
    }
    BaseMSGPtr msg;
    if (m_ClientVersion >= 1 && m_ClientVersion <= 24) {
        msg = BaseMSG::Decode(data, static_cast<int>(frame->FrameLength()) + 8, m_ClientVersion);
    } else if (type != kOpenReq || m_ClientVersion <= 24) {  // above 24 an OPEN_REQ was traced already
        EMSTraceMessage("SessionProtocol::ProcessInputMessage - Invalid version %d", static_cast<int>(m_ClientVersion));
    }
    if (msg) {
        Meter(20, static_cast<int32_t>(type));
        status = msg->GetStatus();
        bool traced;
        switch (type) {
            case kHeartbeatReq: traced = SVRTraceON(3); break;
            case 112: traced = SVRTraceON(2) || SVRTraceON(1); break;
            case 114: traced = SVRTraceON(5) || SVRTraceON(4); break;
            default:
                if (!(EMSGetTraceMask() & 0x08) && !(m_TraceFlags & 0x02))
                    traced = SVRTraceON(12);
                else
                    traced = type != 36 && type != 38;
        }
        if (traced) TraceMessage(*msg, m_ClientVersion);
        if (type == kOpenReq && status == 0) {
            const char* signature = msg->GetSTRING(elementid::ClientSignature);
            const char* id = msg->GetSTRING(elementid::ClientID);
            const char* name = signature && *signature ? signature : (id ? id : "");
            const uint32_t threshold = std::strcmp(name, "Tressik") == 0 ? 8 : 20;
            const uint32_t idle = msg->GetUINT(elementid::IdleTimeout);
            if (idle < threshold) {
                EMSTraceMessage("[ProcessInputMessage] Error: Heartbeat IdleTimeout specified %d for client %s is below the threshold %d.",
                                static_cast<int>(idle), name, static_cast<int>(threshold));
                status = 18;
            }
        }
    }
    if (!msg || status != 0) {
        Meter(21, 1);
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
        HexDump(data, static_cast<int>(frame->FrameLength()) + 8);
        delete frame;
        return 0;
    }
    // The frame carries its decoded message to the application, which never decodes again;
    // each handler uses the message before it queues or deletes the frame.
    BaseMSG& request = *msg;
    frame->SetDecoded(std::move(msg));
    switch (type) {
        case kCloseReq: ProcessCloseRequest(frame, request); break;
        case kOpenReq: ProcessOpenRequest(frame, request); break;
        case kHeartbeatReq: ProcessHeartBeatRequest(frame, request); break;
        case kSessionFailedMsg:
            (void)SendFailureConfMSG(request.GetUINT(elementid::InvokeID), 12u);
            delete frame;
            break;
        default:
            if (ServerActive())
                QueueInputMessage(frame, true);
            else
                delete frame;
    }
    return 1;
}

void SessionProtocol::QueueInputMessage(SessionMSG* frame, bool checkOpen) {
    if (m_State == sessionFailed) {
        delete frame;
        return;
    }
    if (checkOpen && !IsOpenState(m_State)) {
        (void)SendFailureEventMSG(4u);
        FailSession(4);
        delete frame;
        return;
    }
    {
        InputQueue& q = InputQueue::Get();
        LockGuard<CTILockObject> hold(q.lock, "SessionProtocol::QueueInputMessage");
        q.queue.push_back(frame);
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
    std::unique_ptr<SessionMSG> msg(q.queue.front());
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
    const bool traced = EMSGetTraceMask() & 0x08;
    LockGuard<CTILockObject> hold(q.lock, "SessionProtocol::PurgeApplicationMessage");
    for (auto it = q.queue.begin(); it != q.queue.end();) {
        SessionMSG* m = *it;
        if (m->SessionID() == sessionID && m->GetType() != kCloseReq) {
            if (traced)
                EMSTraceMessage("SessionProtocol::PurgeApplicationMessage for Session %d (%s)", static_cast<int>(sessionID),
                                MsgTypeName(static_cast<int32_t>(m->GetType())));
            delete m;
            it = q.queue.erase(it);
        } else {
            ++it;
        }
    }
}

void SessionProtocol::ClearInputQueue() {
    InputQueue& q = InputQueue::Get();
    LockGuard<CTILockObject> hold(q.lock, "SessionProtocol::ClearInputQueue");
    for (SessionMSG* m : q.queue) delete m;
    q.queue.clear();
}

void SessionProtocol::HexDump(const uint8_t* bytes, int count) {
    const bool dump = (sm_Registry && sm_Registry->Dynamic(CTIRegistry::DumpInvalidMessages)) ||
                      (EMSGetTraceMask() & 0x08) || (m_TraceFlags & 0x02);
    if (!dump || bytes == nullptr) return;
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
