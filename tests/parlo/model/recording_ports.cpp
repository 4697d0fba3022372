#include "tests/parlo/model/recording_ports.h"

#include "ctimsg/basemsg.h"
#include "ctimsg/names.h"
#include "parlo/model/csta.h"
#include "platform/clock.h"

#include <cstdio>

namespace modeltest {

RecordingPorts::RecordingPorts()
    : lock_(LockObject::USAGE_CRITICAL_SECTION, nullptr, "RTServerConfig", 0xFFFFFFFF, 0, 0) {}

RecordingPorts::~RecordingPorts() = default;

void RecordingPorts::Install() {
    model::Ports ports;
    ports.sessions = this;
    ports.server = this;
    ports.clients = this;
    ports.opc = this;
    model::InstallPorts(ports);
}

FakeSession& RecordingPorts::AddSession(int32_t sessionID, const std::string& clientID,
                                        uint32_t version, uint32_t serviceMask) {
    auto s = std::make_unique<FakeSession>();
    s->sessionID = sessionID;
    s->clientID = clientID;
    s->version = version;
    s->serviceMask = serviceMask;
    s->monitors.SetLinkOffset(CTICSTAMonitor::ClientLinkOffset());
    s->sessionMonitors.SetLinkOffset(CTICSTAMonitor::SubjectLinkOffset());
    sessions_.push_back(std::move(s));
    return *sessions_.back();
}

void RecordingPorts::RemoveSession(int32_t sessionID) {
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it)
        if ((*it)->sessionID == sessionID) {
            (*it)->monitors.UnlinkAll();
            (*it)->sessionMonitors.UnlinkAll();
            sessions_.erase(it);
            return;
        }
}

FakeSession* RecordingPorts::Session(int32_t sessionID) {
    for (auto& s : sessions_)
        if (s->sessionID == sessionID) return s.get();
    return nullptr;
}

std::string RecordingPorts::Take() {
    std::string all;
    for (const std::string& l : lines) all += l + "\n";
    lines.clear();
    return all;
}

void RecordingPorts::Line(std::string text) {
    if (!quiet) lines.push_back(std::move(text));
}

std::string RecordingPorts::TraceOf(BaseMSG& msg, uint32_t version) {
    std::string text;
    msg.Trace(text, version);
    return text;
}

int RecordingPorts::WriteMSG(const char* deviceKey, int32_t peripheralID, BaseMSG& msg,
                             int distribution) {
    if (quiet) return 1;
    std::string head = "dist " + std::to_string(distribution);
    if (deviceKey != nullptr) head += " key " + std::string(deviceKey);
    (void)peripheralID;
    bool any = false;
    if (distribution == model::DistributeAllEvents) {
        for (auto& s : sessions_) {
            if ((s->serviceMask & 0x10) == 0 || s->version < msg.GetMinVersion()) continue;
            any = true;
            Line(head + " -> session " + std::to_string(s->sessionID) + " <- " +
                 TraceOf(msg, s->version));
        }
    }
    if (!any) Line(head + " <- " + TraceOf(msg, 24));
    return 1;
}

int RecordingPorts::WriteMSG(int32_t sessionID, BaseMSG& msg) {
    FakeSession* s = Session(sessionID);
    if (s == nullptr) {
        Line("session " + std::to_string(sessionID) + " unknown <- " + TraceOf(msg, 24));
        return 0;
    }
    Line("session " + std::to_string(sessionID) + " <- " + TraceOf(msg, s->version));
    return 1;
}

int RecordingPorts::SendFailureEventMSG(int32_t sessionID, uint32_t status, bool fail) {
    Line("failure session " + std::to_string(sessionID) + " status " + std::to_string(status) +
         (fail ? " fail" : ""));
    return 1;
}

int RecordingPorts::SendResponseMSG(int32_t sessionID, BaseMSG& msg, uint64_t) {
    if (onResponse) onResponse(sessionID, msg);
    Line("response session " + std::to_string(sessionID) + " <- " + TraceOf(msg, 24));
    return 1;
}

bool RecordingPorts::FindSession(int32_t sessionID) { return Session(sessionID) != nullptr; }

int32_t RecordingPorts::FindSessionByUniqueInstanceID(const char* uniqueInstanceID) {
    auto it = uniqueInstanceIDs.find(uniqueInstanceID != nullptr ? uniqueInstanceID : "");
    return it == uniqueInstanceIDs.end() ? -1 : it->second;
}

StdQueue* RecordingPorts::SessionMonitorList(void* session) {
    for (auto& s : sessions_)
        if (s.get() == session) return &s->sessionMonitors;
    return nullptr;
}

int RecordingPorts::GetPeripheralType(int32_t peripheralID) {
    auto it = peripheralTypes.find(peripheralID);
    return it == peripheralTypes.end() ? -1 : it->second;
}

void RecordingPorts::UpdateMeter(int meter, int delta) {
    meters[meter] += delta;
    Line("meter " + std::to_string(meter) + (delta >= 0 ? " +" : " ") + std::to_string(delta));
}

void RecordingPorts::Increment(model::PerfCounter counter) {
    counters[model::PerfCounterName(counter)] += 1;
    Line(std::string("counter ") + model::PerfCounterName(counter) + " +1");
}

void RecordingPorts::Decrement(model::PerfCounter counter) {
    counters[model::PerfCounterName(counter)] -= 1;
    Line(std::string("counter ") + model::PerfCounterName(counter) + " -1");
}

bool RecordingPorts::Find(int32_t sessionID, model::ClientInfo& out) {
    FakeSession* s = Session(sessionID);
    if (s == nullptr) return false;
    out.sessionID = s->sessionID;
    out.clientID = s->clientID.c_str();
    out.version = s->version;
    out.serviceMask = s->serviceMask;
    out.monitorList = &s->monitors;
    out.agent = nullptr;
    return true;
}

int RecordingPorts::ValidateMessage(const char* caller, BaseMSG& msg) {
    if (msg.ValidateToSend(24) == 0) return 1;
    Line(std::string("invalid ") + caller + " " + MsgTypeName(static_cast<int32_t>(msg.GetMsgType())) +
         " err:" + StatusCodeName(static_cast<int32_t>(msg.GetStatus())) + " element:" +
         ElementName(static_cast<int32_t>(msg.GetFailingElement())) + "[" +
         std::to_string(msg.GetFailingOccurrence()) + "]");
    return 0;
}

uint64_t RecordingPorts::FileTimeNow() { return plat::FileTimeNow(); }

void RecordingPorts::ReportECCTooMuchData(const char* caller, uint32_t peripheralID,
                                          uint32_t callID) {
    Line(std::string("ecc too much data ") + caller + " periph " + std::to_string(peripheralID) +
         " call " + std::to_string(callID));
}

int RecordingPorts::SendGetCallDataReq(int32_t peripheralID, uint32_t callID, int deviceIDType,
                                       const char* deviceID) {
    Line("opc get call data periph " + std::to_string(peripheralID) + " call " +
         std::to_string(callID) + " " + std::to_string(deviceIDType) + " " +
         (deviceID != nullptr ? deviceID : ""));
    return 1;
}

// ---- configuration clients (the configuration tables) ----

void RecordingPorts::ActivateAgentConfigureUpdateTimer() {
    if (agentTimerRunning) return;
    agentTimerRunning = true;
    ++agentTimerStarts;
    Line("timer AgentConfigureUpdate started (3 s)");
}

bool RecordingPorts::FindConfigClient(int32_t sessionID, model::ConfigClient& out) {
    for (const model::ConfigClient& c : configClients)
        if (c.sessionID == sessionID) {
            out = c;
            return true;
        }
    return false;
}

void RecordingPorts::SendConfigBeginEvent(uint32_t infoBit, double key, int32_t sessionID,
                                          uint32_t keyElement) {
    char text[160];
    const char* keys = infoBit == 0x100 ? "no key"
                       : infoBit == 0x20
                           ? "ServiceConfigKey SkillGroupConfigKey AgentConfigKey DeviceConfigKey CallTypeConfigKey"
                           : ElementName(static_cast<int32_t>(keyElement));
    snprintf(text, sizeof text, "session %d <- CONFIG_BEGIN_EVENT ConfigType 2 info 0x%X key %.17g %s",
             sessionID, infoBit, key, keys);
    Line(text);
}

void RecordingPorts::SendConfigEndEvent(int32_t sessionID, uint32_t status) {
    Line("session " + std::to_string(sessionID) + " <- CONFIG_END_EVENT status " + std::to_string(status));
}

// ---- agents ----

void RecordingPorts::ClearClientAgent(int32_t sessionID) {
    Line("client " + std::to_string(sessionID) + " agent cleared");
}

void RecordingPorts::AddToAssociateAgentList(int32_t sessionID, const char* agentID,
                                             int32_t peripheralID, int32_t mrdID, int flag) {
    Line("associate session " + std::to_string(sessionID) + " agent " + agentID + " periph " +
         std::to_string(peripheralID) + " mrd " + std::to_string(mrdID) + " flag " +
         std::to_string(flag));
    std::vector<int32_t>& mrds = associations[sessionID][{agentID, peripheralID}];
    for (int32_t m : mrds)
        if (m == mrdID) return;
    mrds.push_back(mrdID);
}

void RecordingPorts::RemoveFromAssociateAgentList(int32_t sessionID, const char* agentID,
                                                  int32_t peripheralID, int32_t mrdID) {
    Line("disassociate session " + std::to_string(sessionID) + " agent " + agentID + " periph " +
         std::to_string(peripheralID) + " mrd " + std::to_string(mrdID));
    auto& entries = associations[sessionID];
    auto it = entries.find({agentID, peripheralID});
    if (it == entries.end()) return;
    if (mrdID == -1) {
        entries.erase(it);
        return;
    }
    std::erase(it->second, mrdID);
    if (it->second.empty()) entries.erase(it);
}

std::vector<std::vector<int32_t>> RecordingPorts::AssociatedAgentMRDs(int32_t sessionID,
                                                                      const char* agentID,
                                                                      int32_t peripheralID) {
    auto s = associations.find(sessionID);
    if (s == associations.end()) return {};
    auto it = s->second.find({agentID, peripheralID});
    if (it == s->second.end()) return {};
    return {it->second};
}

LockObject* RecordingPorts::NewCallLock() {
    return new LockObject(LockObject::USAGE_CRITICAL_SECTION, nullptr, "CallLock", 0xFFFFFFFF, 0, 0);
}

}  // namespace modeltest
