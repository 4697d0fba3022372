// model_replay: runs a small script against the object model with the recording ports and
// prints the stream of writes. With a golden file as second argument it compares instead
// and exits 1 (showing both) when they differ.
//
// Script lines (words separated by blanks; "#" starts a comment line, echoed):
//   active 0|1                               server-active flag
//   periph P TYPE                            internal peripheral type of a PeripheralID
//   session ID CLIENTID VERSION SERVICEMASK  a client (mask in hex)
//   dropsession ID                           the client goes away
//   call NAME P CALLID SRCTYPE SRCID PTYPE [CALLTYPE]   Call::Alloc
//   calldata NAME key=value ...              ani, dnis, var1..var10, dest=TYPE:ID
//   device NAME P TYPE ID [EXT]              FindOrCreateCTICSTADevice (create)
//   conn NAME CALL DEVICE|- STATE TYPE IDTYPE ID [HINT]  CTICSTAConnection::Alloc
//   setconn NAME CALL DEVICE STATE TYPE IDTYPE ID HINT    SetConnection
//   state CONN STATE [HINT]                  CTICSTAConnection::SetState
//   freeconn CONN                            CTICSTAConnection::Free
//   monitor NAME SESSION device|call|session SUBJECT [callmask HEX]   CTICSTAMonitor::Alloc
//   begincalls MON / stopmon MON             SendBeginCalls(false) / Free
//   event CALL TYPE_NAME [setstate] [passconn] [Field=value ...]      Call::WriteMSG
//   free CALL [noend]                        Call::Free
//   find P CALLID TYPE ID MODE               Call::FindCall, prints the call's name
//   finddevice P TYPE ID                     FindCTICSTADevice, prints the device's ID
//   advance MS                               moves the fake clock
//   dump call NAME | dump device NAME | list calls | list devices | list monitors
// Configuration (OP: 1 add, 2 remove, 3 update; UPD: the Update flag):
//   cfgclient ID MASK PERIPH VERSION TRESSIK  a configuration client (mask in hex)
//   sg OP UPD STID NUMBER PERIPH [PRIO]      skill group record
//   service OP UPD STID NUMBER PERIPH [SG:PRIO,...]
//   devicecfg OP UPD ID TYPE PERIPH | calltype OP UPD ID NAME | cfgmrd OP UPD ID NAME
//   peripheral OP UPD ID CLIENTTYPE DESK | desk OP UPD ID MASK
//   terminal OP UPD NAME TYPE [ADDR,...]
//   cfgagent OP UPD STID LOGIN PERIPH [groups=1,2] [mrds=2:3,...] [services=3,...] [desk=N] [big]
//   cfgteam OP UPD PERIPH TEAM NAME | cfgmember OP UPD TEAM STID NAME
//   cfgsupervisor OP UPD TEAM STID NAME
//   cfgmembers TEAM FROM TO                    members FROM..TO ("m<stid>") of the initial load
//   key VALUE UPD                            the configuration key (table 10)
//   agenttimer                               the 3 s timer expires: marker -2's flush
//   deskdefault P                            AgentDeskSettingsConfig::GetPeripheralDefault
//
// A call's life (joins, merges, clearing, snapshots):
//   dupes 0|1 / verbose N                    RemoveCGDuplicateConnections / verbose level
//   traces on|off                            EMS trace lines shown as "trace: ..."
//   ref TYPE ID                              the reference connection ID the steps use
//   join CALL OTHER / unjoin CALL / release CALL
//   conference PRIMARY SECONDARY NUMPARTIES [Field=value ...]   WritePriSecMSG
//   transfer SRC TARGET NEWCALLID            Call::TransferConnections
//   updatedata CALL NEWCALLID NEWCALLTYPE    Call::UpdateCallData
//   clear CALL CAUSE                         Call::ClearCall
//   updateconn NAME CALL STATE TYPE IDTYPE ID HINT exact|any    Call::UpdateConnection
//   redirect CALL CONN                       Call::UpdateCallOnRedirect
//   verify DEVICE P fix|nofix create|nocreate [count=N] [offset=N] ENTRY...
//       ENTRY = CALLID/ID/TYPE/STATE/STATUS, STATE "-" for an empty state list, an optional
//       "/@N" placing the state list at N: CTICSTADevice::VerifySnapshot over those bytes
//   snapshotcall CALL                        SNAPSHOT_CALL_CONF from SnapshotCallConfMsg
// Agents and media routing domains:
//   agent NAME P PTYPE STID TEAM AGENTID EXT|- INSTR|- [super]   new Agent
//   setext NAME TEXT|- / setinstr NAME TEXT|-    Agent::SetExtension / SetInstrument (- none)
//   agentdevice NAME DEVICE                      Agent::SetDevice
//   findagent id|ext|instr|stid P KEY            the four look-ups, prints the agent's name
//   removeagent P ID|none                        Agent::RemoveAgent
//   agentstate NAME STATE DUR MRD SGSTATE SGDUR SGID SGNUM LINES CURLINE SIG|- UID|- ASSOC
//   privcall NAME CALLNAME CALLID IDTYPE ID [DIALED]  AddPrivateCall (registry limit)
//   dropprivate NAME SECONDS                     Agent::DropPrivateCalls
//   line NAME CALLID IDTYPE ID INDEX TYPE        Agent::AddCallToLine
//   agentmrds NAME ID:STATE,...                  Agent::SetAgentMRDs
//   uid UID SESSION / associate SESSION UID      a session's unique instance ID / AssociateClient
//   serverstate N / limits MAXPRIVATE DELAY      server state / registry values
//   agentevent NAME [Field=value ...]            AGENT_STATE_EVENT with the REMask to the agent's monitors
//   mrd ID [ORIGIN]                              new MRDomain (event), or FindOrCreate with an origin
//   monitor NAME SESSION agent AGENT | mrd ID    monitors of agents and domains
//   dump agent NAME | list agents | dump mrd ID | list mrds
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ctimsg/basemsg.h"
#include "ctimsg/elementdict.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/messages/msgclass.h"
#include "ctimsg/names.h"
#include "nuvlib/lockguard.h"
#include "parlo/model/call.h"
#include "parlo/model/agent.h"
#include "parlo/model/csta.h"
#include "parlo/model/mrdomain.h"
#include "parlo/model/remask.h"
#include "platform/byteorder.h"
#include "platform/clock.h"
#include "tests/ctimsg/trace_capture.h"
#include "tests/parlo/model/recording_ports.h"
#include "tests/parlo/model/opc_record_builder.h"
#include "parlo/model/agent.h"
#include "parlo/model/agentconfig.h"
#include "parlo/model/agentdeskconfig.h"
#include "parlo/model/agentteam.h"
#include "parlo/model/calltypeconfig.h"
#include "parlo/model/configkey.h"
#include "parlo/model/deviceconfig.h"
#include "parlo/model/mrdconfig.h"
#include "parlo/model/peripheralconfig.h"
#include "parlo/model/serviceconfig.h"
#include "parlo/model/skillgroupconfig.h"
#include "parlo/model/terminalconfig.h"

namespace {

using modeltest::RecordingPorts;

struct DeviceRef {
    uint32_t peripheralID;
    int32_t type;
    std::string id;
};

class Replay {
public:
    explicit Replay(std::ostream& out) : out_(out) {
        ports_.Install();
        Call::InitCallList();
        CTICSTADevice::InitHashTables();
        CTICSTAConnection::InitFreeList();
        CTICSTAMonitor::InitHashTable();
        Agent::InitHashTables();
        AgentTeam::InitHashTable();
    }

    bool Run(std::istream& in) {
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            if (line.empty()) continue;
            out_ << "> " << line << "\n";
            if (line[0] == '#') continue;
            std::istringstream words(line);
            std::vector<std::string> w;
            for (std::string x; words >> x;) w.push_back(x);
            if (!Step(w)) {
                out_ << "!! line " << number << ": cannot run\n";
                return false;
            }
            Flush();
        }
        return true;
    }

private:
    void Flush() {
        for (const std::string& l : ports_.lines) out_ << l << "\n";
        ports_.lines.clear();
        if (traces_) {
            std::istringstream text(traces_->Take());
            for (std::string l; std::getline(text, l);) out_ << "trace: " << l << "\n";
        }
    }

    static uint32_t U(const std::string& s) { return static_cast<uint32_t>(std::stoll(s, nullptr, 0)); }
    static int I(const std::string& s) { return static_cast<int>(std::stol(s, nullptr, 0)); }

    Call* CallOf(const std::string& name) {
        auto it = calls_.find(name);
        return it == calls_.end() ? nullptr : it->second;
    }
    // A device by its recorded identity: it may have been reaped since.
    CTICSTADevice* DeviceOf(const std::string& name) {
        auto it = devices_.find(name);
        if (it == devices_.end()) return nullptr;
        return FindCTICSTADevice(it->second.peripheralID, it->second.type, it->second.id.c_str(),
                                 false);
    }

    static void SetField(BaseMSG& msg, const std::string& name, const std::string& value) {
        const elementdict::Row* row = elementdict::FindRowByClass(name.c_str());
        if (row == nullptr || msg.FindElement(row->id, 0, false) == nullptr) return;
        switch (row->base) {
            case elementdict::Base::UINTElement: msg.SetUINT(row->id, U(value)); break;
            case elementdict::Base::INTElement: msg.SetINT(row->id, I(value)); break;
            case elementdict::Base::STRINGElement: msg.SetSTRINGMax(row->id, value); break;
            default: msg.SetUSHORT(row->id, static_cast<uint16_t>(I(value))); break;
        }
    }

    // ---- configuration tables ----
    static std::vector<std::string> Split(const std::string& text, char by) {
        std::vector<std::string> out;
        std::string part;
        std::istringstream in(text);
        while (std::getline(in, part, by))
            if (!part.empty()) out.push_back(part);
        return out;
    }
    // A parser's verdict on one record: refused records are shown.
    void Fed(const uint8_t* next) {
        if (next == nullptr) out_ << "record refused\n";
    }
    // 1 done, 0 cannot run, -1 not a configuration command.
    int ConfigStep(const std::vector<std::string>& w) {
        using namespace modeltest;
        const std::string& op = w[0];
        const size_t n = w.size();
        if (op == "cfgclient" && n == 6) {
            ports_.AddSession(I(w[1]), "cfg" + w[1], U(w[4]), 0x40000);
            ports_.configClients.push_back({I(w[1]), static_cast<uint32_t>(std::stoul(w[2], nullptr, 16)), I(w[3]),
                                            U(w[4]), w[5] == "1"});
            return 1;
        }
        if (op == "agenttimer" && n == 1) {
            ports_.agentTimerRunning = false;
            AgentConfig::ApplyDeferred();
            return 1;
        }
        if (op == "deskdefault" && n == 2) {
            uint32_t desk = 0;
            const bool found = AgentDeskSettingsConfig::GetPeripheralDefault(I(w[1]), &desk);
            out_ << "desk default " << w[1] << ": " << (found ? std::to_string(desk) : std::string("none")) << "\n";
            return 1;
        }
        if (op == "key" && n == 3) {
            OPCRecord r = KeyRecord(std::stod(w[1]));
            Fed(model::SetConfigKey(1, r.begin(), r.end(), U(w[2])));
            return 1;
        }
        if (op == "cfgmembers" && n == 4) {
            for (int32_t stid = I(w[2]); stid <= I(w[3]); ++stid) {
                OPCRecord r = TeamMemberRecord(I(w[1]), stid, "m" + std::to_string(stid));
                Fed(AgentConfig::ProcessAgentTeamMemberRecord(1, r.begin(), r.end(), 0));
            }
            return 1;
        }
        static const char* const kRecords[] = {"sg", "service", "devicecfg", "calltype", "cfgmrd", "peripheral",
                                               "desk", "terminal", "cfgagent", "cfgteam", "cfgmember", "cfgsupervisor"};
        if (n < 3 || std::find(std::begin(kRecords), std::end(kRecords), op) == std::end(kRecords)) return -1;
        const uint32_t opc = U(w[1]), update = U(w[2]);
        if (op == "sg" && (n == 6 || n == 7)) {
            OPCRecord r = SkillGroupRecord(I(w[3]), I(w[4]), I(w[5]), static_cast<uint16_t>(n == 7 ? I(w[6]) : 1));
            Fed(SkillGroupConfig::ProcessSkillGroupRecord(opc, r.begin(), r.end(), update));
        } else if (op == "service" && (n == 6 || n == 7)) {
            std::vector<std::pair<int32_t, uint32_t>> members;
            if (n == 7)
                for (const std::string& m : Split(w[6], ','))
                    members.push_back({I(m.substr(0, m.find(':'))), U(m.substr(m.find(':') + 1))});
            OPCRecord r = ServiceRecord(I(w[3]), I(w[4]), I(w[5]), members);
            Fed(ServiceConfig::ProcessServiceRecord(opc, r.begin(), r.end(), update));
        } else if (op == "devicecfg" && n == 6) {
            OPCRecord r = DeviceRecord(U(w[3]), static_cast<uint16_t>(I(w[4])), I(w[5]));
            Fed(DeviceConfig::ProcessDeviceRecord(opc, r.begin(), r.end(), update));
        } else if (op == "calltype" && n == 5) {
            OPCRecord r = CallTypeRecord(I(w[3]), w[4]);
            Fed(CallTypeConfig::ProcessCallTypeRecord(opc, r.begin(), r.end(), update));
        } else if (op == "cfgmrd" && n == 5) {
            OPCRecord r = MRDRecord(I(w[3]), w[4]);
            Fed(MRDConfig::ProcessMRDRecord(opc, r.begin(), r.end(), update));
        } else if (op == "peripheral" && n == 6) {
            OPCRecord r = PeripheralRecord(I(w[3]), U(w[4]), U(w[5]));
            ports_.peripheralTypes[I(w[3])] = I(w[4]);  // the intake's own step
            Fed(PeripheralConfig::ProcessPeripheralRecord(opc, r.begin(), r.end(), update));
        } else if (op == "desk" && n == 5) {
            OPCRecord r = DeskRecord(U(w[3]), U(w[4]));
            Fed(AgentDeskSettingsConfig::ProcessAgentDeskSettingsRecord(opc, r.begin(), r.end(), update));
        } else if (op == "terminal" && (n == 5 || n == 6)) {
            OPCRecord r = TerminalRecord(w[3], U(w[4]), n == 6 ? Split(w[5], ',') : std::vector<std::string>{});
            Fed(TerminalConfig::ProcessTerminalRecord(opc, update, r.begin(), r.end()));
        } else if (op == "cfgagent" && n >= 6) {
            AgentRecordSpec fields;
            fields.stid = I(w[3]);
            fields.login = w[4];
            fields.periph = I(w[5]);
            for (size_t i = 6; i < n; ++i) {
                const std::string k = w[i].substr(0, w[i].find('='));
                const std::string v = w[i].find('=') == std::string::npos ? "" : w[i].substr(w[i].find('=') + 1);
                if (k == "groups") {
                    for (const std::string& g : Split(v, ',')) fields.groups.push_back(I(g));
                } else if (k == "mrds") {
                    for (const std::string& m : Split(v, ','))
                        fields.mrds.push_back({I(m.substr(0, m.find(':'))), static_cast<uint16_t>(I(m.substr(m.find(':') + 1)))});
                } else if (k == "services") {
                    for (const std::string& t : Split(v, ',')) fields.services.push_back(static_cast<int16_t>(I(t)));
                } else if (k == "desk") {
                    fields.desk = U(v);
                } else if (k == "first") {
                    fields.first = v;
                } else if (k == "big") {
                    fields.loginName = std::string(255, 'n');
                    fields.description = std::string(127, 'd');
                    fields.terminal = std::string(63, 't');
                    fields.groups.insert(fields.groups.end(), 40, fields.groups.empty() ? 1 : fields.groups[0]);
                } else {
                    return 0;
                }
            }
            OPCRecord r = AgentRecord(fields);
            Fed(AgentConfig::ProcessAgentRecord(opc, r.begin(), r.end(), update));
        } else if (op == "cfgteam" && n == 6) {
            OPCRecord r = TeamRecord(I(w[3]), I(w[4]), w[5]);
            Fed(AgentConfig::ProcessAgentTeamRecord(opc, r.begin(), r.end(), update));
        } else if ((op == "cfgmember" || op == "cfgsupervisor") && n == 6) {
            OPCRecord r = TeamMemberRecord(I(w[3]), I(w[4]), w[5]);
            Fed(op == "cfgmember" ? AgentConfig::ProcessAgentTeamMemberRecord(opc, r.begin(), r.end(), update)
                               : AgentConfig::ProcessAgentTeamSupervisorRecord(opc, r.begin(), r.end(), update));
        } else {
            return -1;
        }
        return 1;
    }

    bool Step(const std::vector<std::string>& w) {
        if (const int done = ConfigStep(w); done >= 0) return done == 1;
        const std::string& op = w[0];
        const size_t n = w.size();
        if (op == "active" && n == 2) {
            ports_.serverActive = w[1] == "1";
        } else if (op == "periph" && n == 3) {
            ports_.peripheralTypes[I(w[1])] = I(w[2]);
        } else if (op == "session" && n == 5) {
            ports_.AddSession(I(w[1]), w[2], U(w[3]), static_cast<uint32_t>(std::stoul(w[4], nullptr, 16)));
        } else if (op == "dropsession" && n == 2) {
            ports_.RemoveSession(I(w[1]));
        } else if (op == "call" && (n == 7 || n == 8)) {
            Call* c = Call::Alloc(U(w[2]), U(w[3]), static_cast<uint16_t>(I(w[4])), w[5].c_str(),
                                  static_cast<int16_t>(I(w[6])),
                                  static_cast<uint16_t>(n == 8 ? I(w[7]) : 0), 0, 0, 0);
            calls_[w[1]] = c;
        } else if (op == "calldata" && n >= 2) {
            Call* c = CallOf(w[1]);
            if (c == nullptr) return false;
            for (size_t i = 2; i < n; ++i) {
                const size_t eq = w[i].find('=');
                if (eq == std::string::npos) return false;
                const std::string k = w[i].substr(0, eq), v = w[i].substr(eq + 1);
                if (k == "ani") c->m_ANI = v;
                else if (k == "dnis") c->m_DNIS = v;
                else if (k.rfind("var", 0) == 0) c->m_CallVariable[I(k.substr(3)) - 1] = v;
                else if (k == "dest") {
                    const size_t colon = v.find(':');
                    c->SetDestDeviceID(static_cast<uint16_t>(I(v.substr(0, colon))),
                                       v.substr(colon + 1).c_str());
                } else return false;
            }
        } else if (op == "device" && (n == 5 || n == 6)) {
            CSTAExtendedDeviceID id;
            snprintf(id.deviceID, sizeof id.deviceID, "%s", w[4].c_str());
            id.deviceIDType = I(w[3]);
            CTICSTADevice* d = FindOrCreateCTICSTADevice(U(w[2]), &id, n == 6 ? w[5].c_str() : "",
                                                         "replay", false, true);
            if (d == nullptr) {
                out_ << "device " << w[1] << " refused\n";
            } else {
                devices_[w[1]] = {d->m_PeripheralID, d->m_DeviceType, d->m_DeviceID};
                out_ << "device " << w[1] << " = " << d->m_DeviceID << " ("
                     << CTICSTADevice::DeviceTypeName(d->m_DeviceType) << ") ext '" << d->m_Extension
                     << "'\n";
            }
        } else if (op == "conn" && (n == 8 || n == 9)) {
            Call* c = CallOf(w[2]);
            if (c == nullptr) return false;
            CTICSTADevice* d = w[3] == "-" ? nullptr : DeviceOf(w[3]);
            if (w[3] != "-" && d == nullptr) return false;
            conns_[w[1]] = CTICSTAConnection::Alloc(d, c, I(w[4]), I(w[5]), I(w[6]), w[7].c_str(),
                                                    n == 9 ? w[8].c_str() : "");
        } else if (op == "setconn" && n == 9) {
            Call* c = CallOf(w[2]);
            CTICSTADevice* d = DeviceOf(w[3]);
            if (c == nullptr || d == nullptr) return false;
            bool changed = false;
            CTICSTAConnection* conn =
                SetConnection(d, c, I(w[4]), I(w[5]), I(w[6]), w[7].c_str(), w[8].c_str(), changed);
            if (conn != nullptr) conns_[w[1]] = conn;
            out_ << "setconn " << w[1] << (conn != nullptr ? " found" : " none")
                 << (changed ? " changed" : " unchanged") << "\n";
        } else if (op == "state" && (n == 3 || n == 4)) {
            auto it = conns_.find(w[1]);
            if (it == conns_.end()) return false;
            it->second->SetState(I(w[2]), n == 4 ? w[3].c_str() : nullptr);
        } else if (op == "freeconn" && n == 2) {
            auto it = conns_.find(w[1]);
            if (it == conns_.end()) return false;
            CTICSTAConnection::Free(it->second);
            conns_.erase(it);
        } else if (op == "monitor" && (n == 5 || n == 7)) {
            void* subject = nullptr;
            int type = 0;
            if (w[3] == "device") {
                type = CTICSTAMonitor::Device;
                subject = DeviceOf(w[4]);
            } else if (w[3] == "call") {
                type = CTICSTAMonitor::CallSubject;
                subject = CallOf(w[4]);
            } else if (w[3] == "session") {
                type = CTICSTAMonitor::Session;
                subject = ports_.Session(I(w[4]));
            } else if (w[3] == "agent") {
                type = CTICSTAMonitor::AgentMRD;
                subject = AgentOf(w[4]);
            } else if (w[3] == "mrd") {
                type = CTICSTAMonitor::MRD;
                subject = MRDomain::FindMRDomain(I(w[4]));
            }
            if (subject == nullptr) return false;
            CTICSTAMonitor* m = CTICSTAMonitor::Alloc(type, I(w[2]), nullptr);
            if (type == CTICSTAMonitor::Session) m->m_SubjectSessionID = I(w[4]);
            if (type == CTICSTAMonitor::MRD) m->m_MRDomainID = I(w[4]);
            if (type == CTICSTAMonitor::AgentMRD) m->m_TaskAgentID = AgentOf(w[4])->GetSkillTargetID();
            if (n == 7 && w[5] == "callmask") m->m_CallMsgMask = static_cast<uint32_t>(std::stoul(w[6], nullptr, 16));
            m->SetSubject(subject);
            monitors_[w[1]] = m;
            out_ << "monitor " << w[1] << " = MonitorID " << m->m_MonitorID << "\n";
        } else if (op == "begincalls" && n == 2) {
            auto it = monitors_.find(w[1]);
            if (it == monitors_.end()) return false;
            it->second->SendBeginCalls(false);
        } else if (op == "stopmon" && n == 2) {
            auto it = monitors_.find(w[1]);
            if (it == monitors_.end()) return false;
            CTICSTAMonitor::Free(it->second);
            monitors_.erase(it);
        } else if (op == "event" && n >= 3) {
            Call* c = CallOf(w[1]);
            if (c == nullptr) return false;
            int type = -1;
            for (int t = 1; t <= 282 && type < 0; ++t)
                if (w[2] == MsgTypeName(t)) type = t;
            BaseMSGPtr msg = type < 0 ? nullptr : catalog::CreateMessage(static_cast<uint32_t>(type));
            if (msg == nullptr) return false;
            bool setState = false, passConnection = false;
            SetField(*msg, "MonitorID", "0");
            SetField(*msg, "CTIPeripheralID", std::to_string(c->m_PeripheralID));
            SetField(*msg, "PeripheralType", std::to_string(ConvertPeripheralType(c->m_PeripheralType)));
            SetField(*msg, "ConnectionCallID", std::to_string(c->m_CallID));
            SetField(*msg, "ConnectionDeviceIDType", std::to_string(c->m_SrcDeviceIDType));
            SetField(*msg, "ConnectionDeviceID", c->m_SrcDeviceID);
            for (size_t i = 3; i < n; ++i) {
                if (w[i] == "setstate") setState = true;
                else if (w[i] == "passconn") passConnection = true;
                else {
                    const size_t eq = w[i].find('=');
                    if (eq == std::string::npos) return false;
                    SetField(*msg, w[i].substr(0, eq), w[i].substr(eq + 1));
                }
            }
            c->WriteMSG(*msg, setState, passConnection);
        } else if (op == "free" && (n == 2 || n == 3)) {
            Call* c = CallOf(w[1]);
            if (c == nullptr) return false;
            Call::Free(c, n == 2);
            calls_.erase(w[1]);
        } else if (op == "find" && n == 6) {
            Call* c = Call::FindCall(U(w[1]), U(w[2]), I(w[3]), w[4] == "-" ? "" : w[4].c_str(), I(w[5]));
            std::string name = "none";
            for (auto& [k, v] : calls_)
                if (v == c && c != nullptr) name = k;
            out_ << "found " << name << "\n";
        } else if (op == "finddevice" && n == 4) {
            CTICSTADevice* d = FindCTICSTADevice(U(w[1]), I(w[2]), w[3].c_str(), false);
            out_ << "found " << (d != nullptr ? d->m_DeviceID + " (" + CTICSTADevice::DeviceTypeName(d->m_DeviceType) + ")" : std::string("none")) << "\n";
        } else if (op == "advance" && n == 2) {
            clock_.AdvanceMs(std::stoll(w[1]));
        } else if (op == "dump" && n == 3 && w[1] == "call") {
            Call* c = CallOf(w[2]);
            if (c == nullptr) return false;
            out_ << c->GetDumpString();
        } else if (op == "dump" && n == 3 && w[1] == "device") {
            CTICSTADevice* d = DeviceOf(w[2]);
            if (d == nullptr) {
                out_ << "no device " << w[2] << "\n";
                return true;
            }
            out_ << d->GetDumpString();
        } else if (op == "list" && n == 2 && w[1] == "calls") {
            LockGuard<LockObject> guard(Call::GetCallLock());
            Call probe;
            out_ << probe.GetListHeader();
            for (int b = 0; b < Call::kHashBuckets; ++b)
                for (Call* c = Call::FirstInBucket(b); c != nullptr; c = c->NextInBucket())
                    out_ << c->GetListEntry();
        } else if (op == "list" && n == 2 && w[1] == "devices") {
            LockGuard<LockObject> guard(ports_.ServerLock());
            bool first = true;
            for (int b = 0; b < CTICSTADevice::kHashBuckets; ++b)
                for (CTICSTADevice* d = FirstDeviceInBucket(b); d != nullptr; d = NextDeviceInBucket(d)) {
                    if (first) out_ << d->GetListHeader();
                    first = false;
                    out_ << d->GetListEntry();
                }
        } else if (op == "list" && n == 2 && w[1] == "monitors") {
            LockGuard<LockObject> guard(ports_.ServerLock());
            for (auto& [name, m] : monitors_) out_ << name << ": " << m->GetListEntry();
        } else if (StepAgents(w)) {
        } else {
            return CallLifeStep(w);
        }
        return true;
    }

    // ---- agents and media routing domains ----
    struct AgentRef {
        int32_t peripheralID;
        int32_t skillTargetID;
    };
    Agent* AgentOf(const std::string& name) {
        auto it = agents_.find(name);
        if (it == agents_.end()) return nullptr;
        return Agent::FindAgentBySkillTargetID(it->second.peripheralID, it->second.skillTargetID);
    }
    std::string NameOf(Agent* a) {
        if (a == nullptr) return "none";
        for (auto& [k, v] : agents_)
            if (v.peripheralID == a->GetPeripheralID() && v.skillTargetID == a->GetSkillTargetID()) return k;
        return "?";
    }
    static const char* Text(const std::string& s) { return s == "-" ? nullptr : s.c_str(); }

    bool StepAgents(const std::vector<std::string>& w) {
        const std::string& op = w[0];
        const size_t n = w.size();
        if (op == "agent" && (n == 9 || n == 10)) {
            auto* a = new Agent(I(w[2]), I(w[3]), I(w[4]), I(w[5]), w[6].c_str(), Text(w[7]),
                                Text(w[8]), n == 10 && w[9] == "super");
            agents_[w[1]] = {a->GetPeripheralID(), a->GetSkillTargetID()};
        } else if ((op == "setext" || op == "setinstr") && n == 3) {
            Agent* a = AgentOf(w[1]);
            if (a == nullptr) return false;
            if (op == "setext") a->SetExtension(Text(w[2]));
            else a->SetInstrument(Text(w[2]));
        } else if (op == "agentdevice" && n == 3) {
            Agent* a = AgentOf(w[1]);
            CTICSTADevice* d = DeviceOf(w[2]);
            if (a == nullptr || d == nullptr) return false;
            a->SetDevice(d);
        } else if (op == "findagent" && n == 4) {
            Agent* a = nullptr;
            const int32_t p = I(w[2]);
            if (w[1] == "id") a = Agent::FindAgentByAgentID(p, w[3].c_str(), false);
            else if (w[1] == "ext") a = Agent::FindAgentByExtension(p, w[3].c_str());
            else if (w[1] == "instr") a = Agent::FindAgentByInstrument(p, w[3].c_str());
            else if (w[1] == "stid") a = Agent::FindAgentBySkillTargetID(p, I(w[3]));
            else return false;
            out_ << "found " << NameOf(a) << "\n";
        } else if (op == "removeagent" && n == 3) {
            Agent::RemoveAgent(I(w[1]), w[2] == "none" ? "" : w[2].c_str());
        } else if (op == "agentstate" && n == 14) {
            Agent* a = AgentOf(w[1]);
            if (a == nullptr) return false;
            const int changed = a->UpdateAgentState(
                I(w[2]), I(w[3]), I(w[4]), I(w[5]), I(w[6]), I(w[7]), U(w[8]), I(w[9]), I(w[10]),
                w[11] == "-" ? "" : w[11].c_str(), w[12] == "-" ? "" : w[12].c_str(), w[13] == "1");
            out_ << "changed " << changed << "\n";
        } else if (op == "privcall" && (n == 6 || n == 7)) {
            Agent* a = AgentOf(w[1]);
            if (a == nullptr) return false;
            Call* c = a->AddPrivateCall(ports_.maxPrivateCalls, 1,
                                        model::ConnectionID(U(w[3]), static_cast<uint16_t>(I(w[4])), w[5].c_str()),
                                        n == 7 ? w[6].c_str() : nullptr, false);
            if (c != nullptr) calls_[w[2]] = c;
            out_ << "private call " << (c != nullptr ? w[2] : std::string("none")) << "\n";
        } else if (op == "line" && n == 7) {
            Agent* a = AgentOf(w[1]);
            if (a == nullptr) return false;
            a->AddCallToLine(I(w[2]), I(w[3]), w[4].c_str(), I(w[5]), I(w[6]));
        } else if (op == "dropprivate" && n == 3) {
            Agent* a = AgentOf(w[1]);
            if (a == nullptr) return false;
            a->DropPrivateCalls(I(w[2]));
        } else if (op == "agentmrds" && n == 3) {
            Agent* a = AgentOf(w[1]);
            if (a == nullptr) return false;
            std::vector<std::pair<int32_t, uint16_t>> list;
            std::istringstream items(w[2]);
            for (std::string item; std::getline(items, item, ',');) {
                const size_t colon = item.find(':');
                if (colon == std::string::npos) return false;
                list.emplace_back(I(item.substr(0, colon)), static_cast<uint16_t>(I(item.substr(colon + 1))));
            }
            a->SetAgentMRDs(&list);
        } else if (op == "uid" && n == 3) {
            ports_.uniqueInstanceIDs[w[1]] = I(w[2]);
        } else if (op == "associate" && n == 3) {
            Agent::AssociateClient(I(w[1]), w[2].c_str());
        } else if (op == "serverstate" && n == 2) {
            ports_.serverState = I(w[1]);
        } else if (op == "limits" && n == 3) {
            ports_.maxPrivateCalls = I(w[1]);
            ports_.privateCallCleanupDelay = I(w[2]);
        } else if (op == "agentevent" && n >= 2) {
            Agent* a = AgentOf(w[1]);
            if (a == nullptr) return false;
            AgentStateEventMSG msg;
            SetField(msg, "MonitorID", "0");
            SetField(msg, "PeripheralID", std::to_string(a->GetPeripheralID()));
            SetField(msg, "SkillGroupState", std::to_string(a->GetOverallState()));
            SetField(msg, "AgentState", std::to_string(a->GetOverallState()));
            SetField(msg, "AgentID", a->GetAgentID());
            SetField(msg, "AgentExtension", a->m_Extension);
            SetField(msg, "AgentInstrument", a->GetInstrumentNumber());
            for (size_t i = 2; i < n; ++i) {
                const size_t eq = w[i].find('=');
                if (eq == std::string::npos) return false;
                SetField(msg, w[i].substr(0, eq), w[i].substr(eq + 1));
            }
            UpdateREMaskInMSG(&msg, a->m_Device);
            a->WriteMSG(msg);
        } else if (op == "mrd" && (n == 2 || n == 3)) {
            MRDomain* d = n == 3 ? MRDomain::FindOrCreateMRDomain(I(w[1]), w[2].c_str())
                                 : MRDomain::FindMRDomain(I(w[1]));
            if (d == nullptr) d = new MRDomain(I(w[1]), "");
            out_ << "mrd " << d->m_MRDomainID << " origin '" << d->m_Origin << "'\n";
        } else if (op == "dump" && n == 3 && w[1] == "agent") {
            Agent* a = AgentOf(w[2]);
            if (a == nullptr) {
                out_ << "no agent " << w[2] << "\n";
                return true;
            }
            LockGuard<LockObject> guard(ports_.ServerLock());
            out_ << a->GetDumpString() << "\n";
        } else if (op == "list" && n == 2 && w[1] == "agents") {
            LockGuard<LockObject> guard(ports_.ServerLock());
            out_ << Agent::GetListHeader();
            for (int b = 0; b < Agent::kHashBuckets; ++b)
                for (Agent* a = Agent::FirstInBucket(b); a != nullptr; a = a->NextInBucket())
                    out_ << a->GetListEntry();
        } else if (op == "dump" && n == 3 && w[1] == "mrd") {
            LockGuard<LockObject> guard(ports_.ServerLock());
            MRDomain* d = MRDomain::FindMRDomain(I(w[2]));
            out_ << (d != nullptr ? d->GetDumpString() : std::string("no mrd\n"));
        } else if (op == "list" && n == 2 && w[1] == "mrds") {
            LockGuard<LockObject> guard(ports_.ServerLock());
            out_ << MRDomain::GetListHeader();
            for (int b = 0; b < MRDomain::kHashBuckets; ++b)
                for (MRDomain* d = MRDomain::FirstInBucket(b); d != nullptr; d = d->NextInBucket())
                    out_ << d->GetListEntry();
        } else {
            return false;
        }
        return true;
    }

    // ---- a call's life ----

    // Released calls leave the hash: their names go too.
    void ForgetReleasedCalls() {
        for (auto it = calls_.begin(); it != calls_.end();)
            it = it->second->HashIndex() < 0 ? calls_.erase(it) : std::next(it);
    }
    std::string NameOf(Call* call) {
        for (auto& [k, v] : calls_)
            if (v == call) return k;
        return call != nullptr ? "?" : "none";
    }
    void PrintRef() { out_ << "ref " << refType_ << " '" << refID_ << "'\n"; }
    static std::string ConnText(CTICSTAConnection* c) {
        if (c == nullptr) return "none";
        std::string out;
        c->GetDumpString(out);
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        return out.substr(out.find_first_not_of(' '));
    }

    static void PutWord(std::vector<uint8_t>& b, size_t at, uint32_t v) {
        if (b.size() < at + 4) b.resize(at + 4);
        plat::StoreLE32(b.data() + at, v);
    }

    bool Verify(const std::vector<std::string>& w) {
        CTICSTADevice* d = DeviceOf(w[1]);
        if (d == nullptr || w.size() < 5) return false;
        const bool fix = w[3] == "fix", create = w[4] == "create";
        struct Entry {
            uint32_t callID;
            std::string id;
            int type;
            bool hasState;
            int state;
            int status;
            long stateAt;
        };
        std::vector<Entry> entries;
        long count = -2, offset = 0;
        for (size_t i = 5; i < w.size(); ++i) {
            if (w[i].rfind("count=", 0) == 0) { count = std::stol(w[i].substr(6)); continue; }
            if (w[i].rfind("offset=", 0) == 0) { offset = std::stol(w[i].substr(7)); continue; }
            std::vector<std::string> f;
            std::istringstream parts(w[i]);
            for (std::string x; std::getline(parts, x, '/');) f.push_back(x);
            if (f.size() != 5 && f.size() != 6) return false;
            Entry e{U(f[0]), f[1], I(f[2]), f[3] != "-", f[3] != "-" ? I(f[3]) : 0, I(f[4]), -1};
            if (f.size() == 6) e.stateAt = std::stol(f[5].substr(1));
            entries.push_back(e);
        }
        // Entries at offset, then the one-word state lists after them.
        std::vector<uint8_t> data(static_cast<size_t>(offset) + entries.size() * 84, 0);
        size_t lists = data.size();
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            const size_t at = static_cast<size_t>(offset) + i * 84;
            PutWord(data, at, e.callID);
            memcpy(&data[at + 4], e.id.c_str(), std::min<size_t>(e.id.size(), 64));
            PutWord(data, at + 68, static_cast<uint32_t>(e.type));
            PutWord(data, at + 72, e.hasState ? 1 : 0);
            PutWord(data, at + 76, e.stateAt >= 0 ? static_cast<uint32_t>(e.stateAt)
                                                  : static_cast<uint32_t>(lists));
            PutWord(data, at + 80, static_cast<uint32_t>(e.status));
            if (e.hasState && e.stateAt < 0) {
                PutWord(data, lists, static_cast<uint32_t>(e.state));
                lists += 4;
            }
        }
        // Exactly the bytes built: a sanitizer sees any read beyond them.
        std::vector<uint8_t> exact(data.begin(), data.begin() + static_cast<long>(lists));
        const bool ok = d->VerifySnapshot(U(w[2]), count == -2 ? static_cast<int32_t>(entries.size())
                                                               : static_cast<int32_t>(count),
                                          static_cast<uint32_t>(offset), exact.data(),
                                          static_cast<uint32_t>(exact.size()), fix, create);
        Flush();
        out_ << "verify " << (ok ? "passed" : "failed") << "\n";
        return true;
    }

    bool CallLifeStep(const std::vector<std::string>& w) {
        const std::string& op = w[0];
        const size_t n = w.size();
        if (op == "dupes" && n == 2) {
            ports_.removeDuplicates = w[1] == "1";
        } else if (op == "verbose" && n == 2) {
            ports_.verbose = I(w[1]);
        } else if (op == "traces" && n == 2) {
            traces_.reset();
            if (w[1] == "on") traces_ = std::make_unique<ctimsgtest::TraceCapture>();
        } else if (op == "ref" && n == 3) {
            refType_ = static_cast<uint16_t>(I(w[1]));
            refID_ = w[2] == "-" ? "" : w[2];
        } else if (op == "join" && n == 3) {
            Call* a = CallOf(w[1]);
            Call* b = CallOf(w[2]);
            if (a == nullptr || b == nullptr) return false;
            a->Join(b);
        } else if (op == "unjoin" && n == 2) {
            Call* a = CallOf(w[1]);
            if (a == nullptr) return false;
            a->Unjoin();
        } else if (op == "release" && n == 2) {
            Call* a = CallOf(w[1]);
            if (a == nullptr) return false;
            Call::Release(a, true);
            ForgetReleasedCalls();
        } else if (op == "conference" && n >= 4) {
            Call* p = CallOf(w[1]);
            Call* sc = CallOf(w[2]);
            if (p == nullptr || sc == nullptr) return false;
            CallConferencedEventMSG msg;
            for (size_t i = 4; i < n; ++i) {
                const size_t eq = w[i].find('=');
                if (eq == std::string::npos) return false;
                SetField(msg, w[i].substr(0, eq), w[i].substr(eq + 1));
            }
            p->WritePriSecMSG(sc, msg, 0xFFFFFFFF, I(w[3]));
        } else if (op == "transfer" && n == 4) {
            Call* src = CallOf(w[1]);
            Call* target = CallOf(w[2]);
            if (src == nullptr || target == nullptr) return false;
            Call* back = src->TransferConnections(target, U(w[3]), refType_, refID_);
            Flush();
            out_ << "transfer returned " << (back == nullptr ? "none" : NameOf(back)) << "\n";
            ForgetReleasedCalls();
            PrintRef();
        } else if (op == "updatedata" && n == 4) {
            Call* c = CallOf(w[1]);
            if (c == nullptr) return false;
            c->UpdateCallData(U(w[2]), I(w[3]), refType_, refID_);
            ForgetReleasedCalls();
            Flush();
            PrintRef();
        } else if (op == "clear" && n == 3) {
            Call* c = CallOf(w[1]);
            if (c == nullptr) return false;
            c->ClearCall(I(w[2]));
        } else if (op == "updateconn" && n == 9) {
            Call* c = CallOf(w[2]);
            if (c == nullptr) return false;
            CTICSTAConnection* conn = c->UpdateConnection(I(w[3]), I(w[4]), I(w[5]), w[6].c_str(),
                                                          w[7].c_str(), w[8] == "exact");
            if (conn != nullptr) conns_[w[1]] = conn;
            Flush();
            out_ << "updateconn " << w[1] << ": " << ConnText(conn) << "\n";
        } else if (op == "redirect" && n == 3) {
            Call* c = CallOf(w[1]);
            auto it = conns_.find(w[2]);
            if (c == nullptr || it == conns_.end()) return false;
            c->UpdateCallOnRedirect(it->second);
        } else if (op == "verify") {
            const bool ok = Verify(w);
            // Calls the check created get names after their CallIDs.
            LockGuard<LockObject> guard(Call::GetCallLock());
            for (int b = 0; b < Call::kHashBuckets; ++b)
                for (Call* c = Call::FirstInBucket(b); c != nullptr; c = c->NextInBucket())
                    if (NameOf(c) == "?") calls_["call" + std::to_string(c->m_CallID)] = c;
            return ok;
        } else if (op == "snapshotcall" && n == 2) {
            Call* c = CallOf(w[1]);
            if (c == nullptr) return false;
            SnapshotCallConfMSG msg(false, false);
            c->SnapshotCallConfMsg(msg);
            std::string text;
            msg.Trace(text, 24);
            Flush();
            out_ << text << "\n";
        } else {
            return false;
        }
        return true;
    }

    std::ostream& out_;
    plat::FakeClock clock_;
    plat::ScopedClock scoped_{&clock_};
    RecordingPorts ports_;
    std::map<std::string, Call*> calls_;
    std::map<std::string, DeviceRef> devices_;
    std::map<std::string, CTICSTAConnection*> conns_;
    std::map<std::string, CTICSTAMonitor*> monitors_;
    std::map<std::string, AgentRef> agents_;
    // A call's life.
    std::unique_ptr<ctimsgtest::TraceCapture> traces_;
    uint16_t refType_ = 0xFFFF;
    std::string refID_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: model_replay SCRIPT [GOLDEN]\n";
        return 2;
    }
    std::ifstream script(argv[1]);
    if (!script) {
        std::cerr << "cannot read " << argv[1] << "\n";
        return 2;
    }
    std::ostringstream out;
    Replay replay(out);
    const bool ok = replay.Run(script);
    if (argc == 2) {
        std::cout << out.str();
        return ok ? 0 : 1;
    }
    std::ifstream goldenFile(argv[2]);
    std::stringstream golden;
    golden << goldenFile.rdbuf();
    if (ok && golden.str() == out.str()) return 0;
    std::cout << "---- output ----\n" << out.str() << "---- golden (" << argv[2] << ") ----\n"
              << golden.str();
    std::istringstream a(out.str()), b(golden.str());
    std::string la, lb;
    for (int line = 1;; ++line) {
        const bool ga = static_cast<bool>(std::getline(a, la));
        const bool gb = static_cast<bool>(std::getline(b, lb));
        if (!ga && !gb) break;
        if (la != lb || ga != gb) {
            std::cout << "first difference at line " << line << ":\n  got:    " << (ga ? la : "<end>")
                      << "\n  golden: " << (gb ? lb : "<end>") << "\n";
            break;
        }
    }
    return 1;
}
