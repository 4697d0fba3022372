// Output: the distributor, the per-session filters and the senders. The decisions (lists,
// filters, tailoring, the fan-out loop) live in outfilter and fanout; this file walks the
// session tables under the master lock and feeds them.
#include <algorithm>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ctimsg/elementids.h"
#include "ctimsg/failurecodes.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/msgtypes.h"
#include "ctimsg/names.h"
#include "ctimsg/servicemask.h"
#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"
#include "parlo/common/meterids.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/agent.h"
#include "parlo/model/validate.h"
#include "parlo/session/distributor.h"
#include "parlo/session/fanout.h"
#include "parlo/session/openpush.h"
#include "parlo/session/outfilter.h"
#include "parlo/session/session.h"
#include "parlo/session/sessionports.h"
#include "parlo/session/teamdirectory.h"
#include "platform/clock.h"

namespace {
constexpr const char* kBanner = "#################################################";
constexpr int kTressikAppPathSessions = 4;

void TraceInvalid(const char* text, BaseMSG& msg) {
    EMSTraceMessage("%s", kBanner);
    EMSTraceMessage("###!!!Invalide Message INGORE and CONTINUE !!!###");
    EMSTraceMessage(text, StatusCodeName(static_cast<int32_t>(msg.GetStatus())),
                    ElementName(static_cast<int32_t>(msg.GetFailingElement())),
                    static_cast<int>(msg.GetFailingOccurrence()));
    EMSTraceMessage("%s", kBanner);
}

bool ServerStopping() {
    SessionServer& server = GetSessionServer();
    return server.IsStoppingRequestsPending() || server.IsShuttingDown();
}

// The list of the session layer that a RecipientList names.
int ServiceListIndex(RecipientList list) {
    switch (list) {
        case RecipientList::AllEvents: return SessionProtocol::ListAllEvents;
        case RecipientList::PeripheralMonitor: return SessionProtocol::ListPeripheralMonitor;
        case RecipientList::ClientMonitor: return SessionProtocol::ListClientMonitor;
        case RecipientList::Supervisor: return SessionProtocol::ListSupervisor;
        case RecipientList::Server: return SessionProtocol::ListServer;
        case RecipientList::WEXA: return SessionProtocol::ListWEXA;
        case RecipientList::AllTaskEvents: return SessionProtocol::ListAllTaskEvents;
        case RecipientList::TaskMonitor: return SessionProtocol::ListTaskMonitor;
        case RecipientList::Explicit:
        case RecipientList::AllSessions: break;
    }
    return -1;
}

// The encoder's form of a session's registered variables; null (all) when it has none.
const ECCSelection* SelectionOf(const SessionProtocol& session, std::deque<ECCSelection>& store) {
    const auto& registered = session.GetRegisteredVariables();
    if (!registered) return nullptr;
    ECCSelection& selection = store.emplace_back();
    selection.reserve(registered->size());
    for (const auto& v : *registered) {
        ECCExpandedCallVariable entry;
        entry.ExpandedCallVariableID = static_cast<int32_t>(v.id);
        entry.EnterpriseName = v.name;
        selection.push_back(std::move(entry));
    }
    return &selection;
}

// The distributor's frames are session frames: the fan-out hands them back as transport
// messages.
SessionMSG& AsSessionMSG(TransportMSG& frame) { return static_cast<SessionMSG&>(frame); }
const SessionMSG& AsSessionMSG(const TransportMSG& frame) { return static_cast<const SessionMSG&>(frame); }
std::unique_ptr<SessionMSG> AsSessionMSG(std::unique_ptr<TransportMSG> frame) {
    return std::unique_ptr<SessionMSG>(static_cast<SessionMSG*>(frame.release()));
}

// Sends through the session layer: a recipient that takes the frame unchanged gets it by
// reference (SendSharedMSG), copies are SessionMSG copies, re-encoded bytes replace a
// SessionMSG's frame, and each frame goes to the session's filtered send.
class SessionFanoutSink : public SharingSink {
public:
    // The fan-out of one frame through `post` begins; the per-event facts are worked out.
    void Begin(SharedPost& post, BaseMSG& msg) {
        post_ = &post;
        output_ = SessionProtocol::SharedOutput{};
        output_.type = msg.GetMsgType();
        output_.monitored = msg.FindElement(elementid::MonitorID, 0, false) != nullptr;
        output_.serverStopping = ServerStopping();
    }
    // The meter moves once for the whole fan-out.
    void Finish() {
        if (output_.metered > 0)
            GetSessionServer().UpdateMeterTimes(meter::ClientMessages, static_cast<int32_t>(output_.type),
                                                output_.metered);
        output_.metered = 0;
        post_ = nullptr;
    }
    void ShareFrame(const Candidate& to, BaseMSG& msg) override {
        auto* session = static_cast<SessionProtocol*>(to.target);
        (void)session->SendSharedMSG(*post_, msg, output_);
    }
    std::unique_ptr<TransportMSG> CopyFrame(const TransportMSG& frame) override {
        return SessionMSG::Copy(AsSessionMSG(frame));
    }
    int ReplaceFrame(TransportMSG& frame, const uint8_t* data, int32_t length, uint32_t version) override {
        return AsSessionMSG(frame).Replace(data, length, version);
    }
    void SendFrame(const Candidate& to, std::unique_ptr<TransportMSG> frame, const FrameStamp&,
                   BaseMSG& msg) override {
        auto* session = static_cast<SessionProtocol*>(to.target);
        // Queued for the transport's writers: the fan-out itself makes no socket writes. A
        // failed connection has failed its session: the distribution goes on.
        (void)session->SendSessionMSG(AsSessionMSG(std::move(frame)), msg, true);
    }
    bool RecipientFailed(const Candidate& to, bool copying) override {
        return TraceRecipientFailure(to, copying);
    }

private:
    SharedPost* post_ = nullptr;
    SessionProtocol::SharedOutput output_;
};

// The agent-event fan-out stops at the first recipient it cannot allocate a frame for; a
// recipient whose tailoring fails is skipped without a word, as before.
class AgentEventSink : public SessionFanoutSink {
public:
    bool RecipientFailed(const Candidate& to, bool copying) override {
        if (!copying) return true;
        TraceAgentEventFailure(to.view.sessionID);
        failed = true;
        return false;
    }
    static void TraceAgentEventFailure(uint32_t sessionID) {
        if (EMSGetTraceMask() & tracebit::kDefault)
            EMSTraceMessage("SessionProtocol::FilterAgentEventToAllEventClients - Error SessionMSG allocation failed for session %lu",
                            static_cast<unsigned long>(sessionID));
    }
    bool failed = false;
};


// The filter and tailoring inputs of a session that its public fields give; the two event
// masks are filled by the members that may read them.
RecipientView PublicView(SessionProtocol& session, std::deque<ECCSelection>& selections) {
    RecipientView view;
    view.sessionID = static_cast<uint32_t>(session.GetSessionID());
    view.state = session.GetSessionState();
    view.version = session.GetClientVersion();
    view.peripheralID = session.GetPeripheralID();
    view.serviceMask = session.GetServiceMask();
    view.registeredCallVars = session.GetRegisteredCallVars();
    view.registeredVariables = SelectionOf(session, selections);
    view.tressik = session.GetClientSignature() == "Tressik";
    view.traceFlags = session.GetTraceFlags();
    return view;
}

// A session as a fan-out candidate, with its event masks (master lock held).
Candidate CandidateOf(SessionProtocol& session, bool fromAllEvents, std::deque<ECCSelection>& selections) {
    Candidate c;
    c.view = PublicView(session, selections);
    c.view.callMsgMask = session.GetCallMSGMask();
    c.view.agentStateMask = session.GetAgentStateMask();
    c.fromAllEvents = fromAllEvents;
    c.target = &session;
    return c;
}

bool TraceAll() { return (EMSGetTraceMask() & tracebit::TR_PROC_4) != 0; }

// The candidates of one service list, made again only when the session layer says that a
// session joined or left a list or changed what the fan-out reads of it; an event walks them
// as they stand.
struct ListRecipients {
    uint64_t generation = 0;
    std::deque<ECCSelection> selections;
    std::vector<Candidate> candidates;
};

// The list's recipients (master lock held). Held by reference count: a distribution that a
// fan-out sets off (a session monitor's) may make them again while the outer one walks them.
std::shared_ptr<const ListRecipients> RecipientsOf(int list) {
    static std::shared_ptr<const ListRecipients> lists[SessionProtocol::kServiceLists];
    std::shared_ptr<const ListRecipients>& kept = lists[list];
    const uint64_t generation = SessionProtocol::RecipientGeneration();
    if (kept == nullptr || kept->generation != generation) {
        auto fresh = std::make_shared<ListRecipients>();
        fresh->generation = generation;
        const std::deque<SessionProtocol*>& sessions = SessionProtocol::ServiceListOf(list);
        fresh->candidates.reserve(sessions.size());
        for (SessionProtocol* s : sessions)
            fresh->candidates.push_back(CandidateOf(*s, list == SessionProtocol::ListAllEvents, fresh->selections));
        kept = std::move(fresh);
    }
    return kept;
}

// The one frame, encoded once, to the candidates of every part in order through the session
// layer, shared by reference where the tailoring leaves it as it is (master lock held).
int Distribute(std::unique_ptr<TransportMSG> frame, BaseMSG& msg, std::span<const std::span<const Candidate>> parts,
               SessionFanoutSink& sink, const FanoutRules& rules = {}) {
    const SessionMSG& encoded = AsSessionMSG(*frame);
    const FrameStamp stamp{encoded.GetType(), encoded.ClientVersion(), encoded.ServiceMask()};
    size_t recipients = 0;
    for (std::span<const Candidate> part : parts) recipients += part.size();
    SharedPost post(std::move(frame), recipients);
    sink.Begin(post, msg);
    const bool traceAll = TraceAll();
    int handed = 0;
    for (std::span<const Candidate> part : parts) handed += FanOutShared(post.Frame(), stamp, msg, part, traceAll, sink, rules);
    post.Post();
    sink.Finish();
    return handed;
}

// The server lock when this thread does not hold it yet.
LockGuard<CTILockObject> HoldServerLock(const char* caller) {
    return LockGuard<CTILockObject>(GetSessionServer().ServerLock(), caller);
}

}  // namespace

// ---------------------------------------------------------------- the distributor

int SessionProtocol::WriteMSG(const char* deviceKey, int32_t peripheralID, BaseMSG& msg, int distribution) {
    std::unique_ptr<SessionMSG> frame = SessionMSG::CreateFromBaseMSG(0, 24, 0, msg);
    if (frame == nullptr) {
        if (EMSGetTraceMask() & tracebit::kDefault) EMSTraceMessage("SessionProtocol::WriteMSG - Error SessionMSG allocation failed");
        return 0;
    }
    std::vector<DeviceEntry> list;
    if (deviceKey != nullptr) list.push_back({peripheralID, deviceKey});
    return WriteMSG(std::move(frame), list, msg, distribution);
}

int SessionProtocol::WriteMSG(std::unique_ptr<SessionMSG> frame, const std::vector<DeviceEntry>& list, BaseMSG& msg,
                              int distribution) {
    SessionProtocol* master = Master();
    if (master == nullptr || frame == nullptr) return 1;
    LockGuard<CTILockObject> hold(master->SessionLock(), "SessionProtocol::WriteMSG");
    // The service lists' recipients as kept; the explicit list and every session as found now.
    std::deque<ECCSelection> selections;
    std::deque<std::vector<Candidate>> found;
    std::vector<std::shared_ptr<const ListRecipients>> kept;
    std::vector<std::span<const Candidate>> parts;
    for (RecipientList which : DistributionLists(distribution)) {
        if (which == RecipientList::Explicit || which == RecipientList::AllSessions) {
            std::vector<Candidate>& now = found.emplace_back();
            auto add = [&](SessionProtocol* s) { now.push_back(CandidateOf(*s, false, selections)); };
            if (which == RecipientList::Explicit) {
                for (const DeviceEntry& entry : list) {
                    SessionProtocol* s = FindSessionByDevice(entry.deviceKey.c_str(), static_cast<uint32_t>(entry.peripheralID));
                    if (s != nullptr) add(s);
                }
            } else {
                for (SessionProtocol* s : AllSessions()) add(s);
            }
            parts.emplace_back(now);
        } else {
            parts.emplace_back(kept.emplace_back(RecipientsOf(ServiceListIndex(which)))->candidates);
        }
    }
    SessionFanoutSink sink;
    (void)Distribute(std::move(frame), msg, parts, sink);
    return 1;
}

int FilterAgentEventToAllEventClients(Agent& agent, BaseMSG& event) {
    AgentEventMemory memory{agent.LastAllEventsState(), agent.LastAllEventsAvailability()};
    const bool reasonChanged = agent.IsReasonCodeChanged(event.GetUSHORT(elementid::EventReasonCode));
    const int result = FilterAgentEventToAllEventClients(memory, reasonChanged, event);
    agent.SetLastAllEvents(memory.lastState, memory.lastAvailability);
    return result;
}

int FilterAgentEventToAllEventClients(AgentEventMemory& agent, bool reasonCodeChanged, BaseMSG& event) {
    const uint16_t sgState = event.GetUSHORT(elementid::SkillGroupState);
    const bool changed = AgentEventChanged(agent, sgState, event.GetUSHORT(elementid::CTIAgentState),
                                           event.GetUSHORT(elementid::EventReasonCode),
                                           event.GetUINT(elementid::AgentAvailabilityStatus), reasonCodeChanged);
    SessionProtocol* master = SessionProtocol::Master();
    if (master == nullptr) return 1;
    // The client look-ups take the server lock, which comes before the master lock.
    const auto server = HoldServerLock("SessionProtocol::FilterAgentEventToAllEventClients");
    LockGuard<CTILockObject> hold(master->SessionLock(), "SessionProtocol::FilterAgentEventToAllEventClients");
    SessionHost& host = master->Host();
    const std::shared_ptr<const ListRecipients> allEvents = RecipientsOf(SessionProtocol::ListAllEvents);
    std::vector<Candidate> candidates;
    candidates.reserve(allEvents->candidates.size());
    for (const Candidate& c : allEvents->candidates) {
        if ((c.view.serviceMask & servicemask::AGENT_EVENT_CHANGE_FILTER) != 0 && !changed) continue;
        if (!host.HasClient(c.view.sessionID)) continue;
        candidates.push_back(c);
    }
    // Encoded only when a session takes it; a failed encoding is reported for that session.
    const uint32_t type = event.GetMsgType();
    const int32_t agentState = DistributionAgentState(event);
    const auto first = std::find_if(candidates.begin(), candidates.end(), [&](const Candidate& c) {
        return c.view.version >= event.GetMinVersion() && PassesEventMasks(c.view, type, agentState);
    });
    if (first == candidates.end()) return 1;
    std::unique_ptr<TransportMSG> frame = SessionMSG::CreateFromBaseMSG(0, 24, 0, event);
    if (!frame) {
        AgentEventSink::TraceAgentEventFailure(first->view.sessionID);
        return 0;
    }
    // Agent events were never converted to UTF-8 nor traced as re-encoded.
    AgentEventSink sink;
    const std::span<const Candidate> parts[] = {candidates};
    (void)Distribute(std::move(frame), event, parts, sink, FanoutRules{.utf8 = false, .traceReEncodes = false});
    return sink.failed ? 0 : 1;
}

// ---------------------------------------------------------------- one session

int SessionProtocol::WriteMSG(int32_t sessionID, BaseMSG& msg) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(m->SessionLock(), "SessionProtocol::WriteMSG");
    SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) return 0;
    LockGuard<CTILockObject> hold(s->SessionLock(), "SessionProtocol::WriteMSG");
    if (msg.ValidateToSend(s->GetClientVersion()) != 0) {
        TraceInvalid("SessionProtocol::WriteMSG: code=%s, element=%s[%d]", msg);
        return 0;
    }
    return s->SendMSG(msg);
}

int SessionProtocol::WriteMSG(uint32_t applicationPathID, int32_t skillTargetID, BaseMSG& msg) {
    AgentSnapshot agent;
    if (!ModelTeams().FindAgentBySkillTargetID(skillTargetID, kAnyPeripheral, agent)) {
        EMSTraceMessage("SessionProtocol::WriteMSG - failed to find agent by skill target ID %d",
                        static_cast<int>(skillTargetID));
        return 0;
    }
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    const auto server = HoldServerLock("SessionProtocol::WriteMSG");
    LockGuard<CTILockObject> master(m->SessionLock(), "SessionProtocol::WriteMSG");
    int result = 0;
    int sent = 0;
    // A copy: WriteMSG by session ID below runs under the same master lock, but the list is
    // walked by index so that nothing it does can move the walk.
    const std::deque<SessionProtocol*>& list = ServiceListOf(ListAgentReporting);
    for (size_t i = 0; i < list.size(); ++i) {
        SessionProtocol* s = list[i];
        if (s->GetClientVersion() < msg.GetMinVersion() ||
            (s->GetServiceMask() & servicemask::AGENT_REPORTING) == 0)
            continue;
        const auto id = static_cast<uint32_t>(s->GetSessionID());
        if (!m->Host().AppPathContains(id, applicationPathID, agent.peripheralID)) continue;
        result = WriteMSG(static_cast<int32_t>(id), msg);
        ++sent;
        if (!m->Host().IsTressikClient(id) || sent >= kTressikAppPathSessions) break;
    }
    return result;
}

bool SessionProtocol::WaitForOutputSent(int64_t deadlineNs) {
    SessionProtocol* m = Master();
    if (m == nullptr) return true;
    return m->WaitForOutput(deadlineNs, [m] {
        LockGuard<CTILockObject> master(m->SessionLock(), "SessionProtocol::WaitForOutputSent");
        for (SessionProtocol* s : AllSessions()) {
            LockGuard<CTILockObject> hold(s->SessionLock(), "SessionProtocol::WaitForOutputSent");
            if (s->HasOutputWaiting()) return false;
        }
        return true;
    });
}

int SessionProtocol::SendToActiveStandbyClients(BaseMSG& msg) {
    if (!ValidateMessage("SendToActiveStandbyClients", msg)) return -1;
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(m->SessionLock(), "SessionProtocol::SendToActiveStandbyClients");
    int count = 0;
    for (SessionProtocol* s : AllSessions()) {
        if (s->GetClientVersion() < 24 || (s->GetServiceMask() & servicemask::STANDBY_CAPABLE) == 0) continue;
        LockGuard<CTILockObject> hold(s->SessionLock(), "SessionProtocol::SendToActiveStandbyClients");
        if (s->SendMSG(msg) == 1) ++count;
    }
    return count;
}

int SessionProtocol::SendMSG(BaseMSG& msg) {
    std::unique_ptr<SessionMSG> frame = SessionMSG::CreateFromBaseMSG(m_SessionID, m_ClientVersion, m_ServiceMask, msg);
    if (frame == nullptr) {
        if (EMSGetTraceMask() & tracebit::kDefault)
            EMSTraceMessage("SessionProtocol::SendMSG(BaseMSG*) - Error SessionMSG allocation failed for session %lu",
                            static_cast<unsigned long>(m_SessionID));
        return 0;
    }
    std::deque<ECCSelection> selections;
    const ECCSelection* selection = SelectionOf(*this, selections);
    FrameStamp stamp{frame->GetType(), frame->ClientVersion(), frame->ServiceMask()};
    const uint32_t version = m_ClientVersion;
    SessionMSG& target = *frame;
    if (!TailorMessageForClient(stamp, version, msg, m_RegisteredCallVars, selection, m_ServiceMask, TraceOn(),
                                m_ClientSignature == "Tressik",
                                [&target, version](const uint8_t* data, int32_t length) {
                                    return target.Replace(data, length, version);
                                })) {
        if (EMSGetTraceMask() & tracebit::kDefault)
            EMSTraceMessage("SessionProtocol::SendMSG(BaseMSG*) - Error SessionMSG allocation failed for session %lu",
                            static_cast<unsigned long>(m_SessionID));
        return 0;
    }
    return SendSessionMSG(std::move(frame), msg);
}

int SessionProtocol::SendSessionMSG(std::unique_ptr<SessionMSG> frame, BaseMSG& msg, bool viaWriter) {
    RecipientView view;
    view.state = m_State;
    view.version = m_ClientVersion;
    view.peripheralID = m_PeripheralID;
    view.serviceMask = m_ServiceMask;
    if (!PassesSendFilters(view, msg, ServerStopping())) return 1;
    ProcessOutputMessage(*frame, msg);
    return viaWriter ? TransportProtocol::PostMSG(std::move(frame)) : TransportProtocol::SendMSG(std::move(frame));
}

int SessionProtocol::SendSharedMSG(SharedPost& post, BaseMSG& msg, SharedOutput& output) {
    RecipientView view;
    view.state = m_State;
    view.version = m_ClientVersion;
    view.peripheralID = m_PeripheralID;
    view.serviceMask = m_ServiceMask;
    if (!PassesSendFilters(view, msg, output.serverStopping)) return 1;
    if (output.monitored) WriteToSessionMonitors(m_SessionMonitors.get(), msg);
    ++output.metered;
    TraceOutput(output.type, msg);
    if (post.Add(*this)) return 1;
    std::unique_ptr<TransportMSG> copy = post.Frame().CopySharing();
    if (copy == nullptr) return 0;
    return TransportProtocol::PostMSG(std::move(copy));
}

void SessionProtocol::ProcessOutputMessage(const SessionMSG& frame, BaseMSG& msg) {
    // The capture of one client's traffic comes with the operations tools.
    if (msg.FindElement(elementid::MonitorID, 0, false) != nullptr)
        WriteToSessionMonitors(m_SessionMonitors.get(), msg);
    const uint32_t type = frame.GetType();
    GetSessionServer().UpdateMeter(meter::ClientMessages, static_cast<int32_t>(type));
    TraceOutput(type, msg);
}

void SessionProtocol::TraceOutput(uint32_t type, BaseMSG& msg) {
    if (type == ctitype::HeartbeatConfMSG) {
        if (SVRTraceON(ClientHeartbeats)) TraceMessage(msg, m_ClientVersion);
    } else if (type == ctitype::QueryAgentStatisticsConfMSG || type == ctitype::QuerySkillGroupStatisticsConfMSG) {
        const bool agent = type == ctitype::QueryAgentStatisticsConfMSG;
        if (SVRTraceON(agent ? ClientAgentStatisticsFull : ClientSkillStatisticsFull)) {
            TraceMessage(msg, m_ClientVersion);
        } else if (SVRTraceON(agent ? ClientAgentStatisticsBrief : ClientSkillStatisticsBrief)) {
            std::string text;
            msg.TraceSummary(text, m_ClientVersion);
            while (!text.empty()) {
                const size_t before = text.size();
                const std::string line = WrapText(text, 98, 8);
                EMSEvent1I1S(0x212E000E, 0, 0, static_cast<int32_t>(m_SessionID), line.c_str());
                if (text.size() >= before) break;
            }
        }
    } else if ((EMSGetTraceMask() & tracebit::TR_PROC_4) || (m_TraceFlags & sessiontrace::kOutput)) {
        TraceMessage(msg, m_ClientVersion);
    }
}

bool SessionProtocol::PassesEventMasks(uint32_t msgType, int32_t agentState) const {
    RecipientView view;
    view.callMsgMask = m_CallMSGMask;
    view.agentStateMask = m_AgentStateMask;
    return ::PassesEventMasks(view, msgType, agentState);
}

int SessionProtocol::SendResponseMSG(int32_t sessionID, BaseMSG& msg, uint64_t requestStamp) {
    int result = 0;
    SessionProtocol* m = Master();
    if (m != nullptr) {
        LockGuard<CTILockObject> master(m->SessionLock(), "SessionProtocol::SendResponseMSG");
        SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
        if (s == nullptr) {
            EMSTraceMessage("SessionProtocol::SendResponseMSG: Session %d not found", static_cast<int>(sessionID));
        } else {
            LockGuard<CTILockObject> hold(s->SessionLock(), "SessionProtocol::SendResponseMSG");
            if (msg.ValidateToSend(s->GetClientVersion()) == 0) {
                (void)s->SendMSG(msg);
                result = 1;
            } else {
                EMSTraceMessage("%s", kBanner);
                EMSTraceMessage("###!!!Invalide Message INGORE and CONTINUE !!!###");
                EMSTraceMessage("SessionProtocol::SendResponseMSG: %s message failed validation, code=%s, element=%s[%d]",
                                MsgTypeName(static_cast<int32_t>(msg.GetMsgType())),
                                StatusCodeName(static_cast<int32_t>(msg.GetStatus())),
                                ElementName(static_cast<int32_t>(msg.GetFailingElement())),
                                static_cast<int>(msg.GetFailingOccurrence()));
                EMSTraceMessage("Refer to the below message for additional information:");
                s->TraceMessage(msg, s->GetClientVersion());
                EMSTraceMessage("%s", kBanner);
            }
        }
    }
    const uint64_t now = plat::FileTimeNow();
    const uint64_t ms = now > requestStamp ? (now - requestStamp) / 10000 : 0;
    GetSessionServer().UpdateMeter(meter::OtherResponse, static_cast<int32_t>(ms > 0x7FFFFFFF ? 0x7FFFFFFF : ms));
    return result;
}

// ---------------------------------------------------------------- failure senders

int SessionProtocol::SendFailureConfMSG(uint32_t invokeID, uint32_t status) {
    return SendFailureConfMSGEx(invokeID, status, nullptr);
}

int SessionProtocol::SendFailureConfMSGEx(uint32_t invokeID, uint32_t status, const char* text) {
    FailureConfMSG conf;
    conf.SetUINT(elementid::InvokeID, invokeID);
    conf.SetUINT(elementid::Status, status);
    if (text && *text) conf.SetSTRING(elementid::WEXACILClientID, text);
    if (conf.ValidateToSend(GetClientVersion()) != 0) {
        TraceInvalid("SessionProtocol::SendFailureConfMSG: Message failed validation, code=%s, element=%s[%d]", conf);
        return 0;
    }
    (void)SendMSG(conf);
    return 1;
}

int SessionProtocol::SendFailureEventMSG(uint32_t status) {
    FailureEventMSG event;
    event.SetUINT(elementid::Status, status);
    if (event.ValidateToSend(GetClientVersion()) != 0) {
        TraceInvalid("SessionProtocol::SendFailureEventMSG: Message failed validation, code=%s, element=%s[%d]", event);
        return 0;
    }
    (void)SendMSG(event);
    return 1;
}

int SessionProtocol::SendControlFailureConfMSG(uint32_t invokeID, uint32_t failureCode, uint32_t peripheralErrorCode) {
    return SendControlFailureConfMSGEx(invokeID, failureCode, peripheralErrorCode, nullptr);
}

int SessionProtocol::SendControlFailureConfMSGEx(uint32_t invokeID, uint32_t failureCode,
                                                 uint32_t peripheralErrorCode, const char* text) {
    // A call context too large for the message is the client's data, not the peripheral's.
    if (failureCode == failurecode::Of("CF_ECC_TOO_MUCH_DATA")) return SendFailureConfMSGEx(invokeID, E_CTI_TOO_MUCH_DATA, text);
    ControlFailureConfMSG conf;
    conf.SetUINT(elementid::InvokeID, invokeID);
    conf.SetUSHORT(elementid::FailureCode, static_cast<uint16_t>(failureCode));
    conf.SetUINT(elementid::PeripheralErrorCode, peripheralErrorCode);
    if (text && *text) conf.SetSTRING(elementid::WEXACILClientID, text);
    if (conf.ValidateToSend(GetClientVersion()) != 0) {
        TraceInvalid("SessionProtocol::SendControlFailureConfMSG: Message failed validation, code=%s, element=%s[%d]",
                     conf);
        return 0;
    }
    (void)SendMSG(conf);
    return 1;
}

int SessionProtocol::SendFailureConfMSG(int32_t sessionID, uint32_t invokeID, uint32_t status) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(m->SessionLock(), "SessionProtocol::SendFailureConfMSG");
    SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) {
        EMSTraceMessage("SessionProtocol::SendFailureConfMSG: Session %d not found", static_cast<int>(sessionID));
        return 0;
    }
    LockGuard<CTILockObject> hold(s->SessionLock(), "SessionProtocol::SendFailureConfMSG");
    return s->SendFailureConfMSG(invokeID, status);
}

int SessionProtocol::SendFailureEventMSG(int32_t sessionID, uint32_t status, bool fail) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(m->SessionLock(), "SessionProtocol::SendFailureEventMSG");
    SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) {
        EMSTraceMessage("SessionProtocol::SendFailureEventMSG: Session %d not found", static_cast<int>(sessionID));
        return 0;
    }
    LockGuard<CTILockObject> hold(s->SessionLock(), "SessionProtocol::SendFailureEventMSG");
    const int sent = s->SendFailureEventMSG(status);
    if (fail) s->FailSession(status);
    return sent;
}

// ---------------------------------------------------------------- open-time pushes

namespace {

// The application's check, then the target's version check; true when msg may go.
bool CheckForSession(const char* caller, const char* failureText, BaseMSG& msg, uint32_t version) {
    if (!ValidateMessage(caller, msg)) return false;
    if (msg.ValidateToSend(version) == 0) return true;
    TraceInvalid(failureText, msg);
    return false;
}

}  // namespace

void SessionProtocol::SendOpenSessionList() {
    ClientSessionOpenedEventMSG event;
    for (SessionProtocol* s : AllSessions()) {
        if (s == this || !IsOpenState(s->m_State)) continue;
        OpenedSessionInfo info;
        info.sessionID = s->m_SessionID;
        info.peripheralID = s->m_PeripheralID;
        info.serviceMask = s->m_ServiceMask;
        info.callMsgMask = s->m_CallMSGMask;
        info.agentStateMask = s->m_AgentStateMask;
        info.clientPort = s->HostPort();
        info.clientAddress = s->HostAddress();
        info.clientID = s->m_ClientID;
        info.clientSignature = s->m_ClientSignature;
        info.agentExtension = s->m_AgentExtension;
        info.agentID = s->m_AgentID;
        info.agentInstrument = s->m_AgentInstrumentID;
        FillClientSessionOpenedEvent(event, info);
        if (!CheckForSession("SessionProtocol::SendClientSessionList",
                             "SessionProtocol::SendClientSessionList: Message failed validation, code=%s, element=%s[%d]",
                             event, m_ClientVersion))
            continue;
        (void)SendMSG(event);
    }
}

void SessionProtocol::SendAgentTeamConfig() {
    TeamDirectory& domain = ModelTeams();
    const SupervisorView supervisor{m_SessionID, m_ServiceMask, m_PeripheralID, m_AgentID};
    AgentTeamConfigEventMSG page;
    ChooseSupervisorTeams(supervisor, domain, [&](const TeamInfo& team) {
        (void)BuildTeamPages(team, m_PeripheralID, domain, page, [&](BaseMSG& msg) {
            if (!CheckForSession(
                    "SessionProtocol::SendAgentTeamConfigToSupervisor",
                    "SessionProtocol::SendAgentTeamConfigToSupervisor: Message failed validation, code=%s, element=%s[%d]",
                    msg, m_ClientVersion))
                return;
            (void)SendMSG(msg);
        });
    });
}
