#include "peers/opc/opc_agents.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "peers/opc/opc_wire.h"
#include "platform/clock.h"

namespace opcpeer {

namespace {


bool Number(const std::string& s, uint32_t* out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 0);
    if (errno || *end || v < -2147483648LL || v > 0xFFFFFFFFLL) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool Split(const std::string& word, std::string* key, std::string* value) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    *key = word.substr(0, eq);
    *value = word.substr(eq + 1);
    return true;
}

// "a/b/c,d/e/f" into groups of `size` texts; "none" gives no group.
bool Groups(const std::string& text, size_t size, std::vector<std::vector<std::string>>* out) {
    out->clear();
    if (text == "none") return true;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        const std::string group = text.substr(start, end - start);
        std::vector<std::string> parts;
        size_t from = 0;
        while (true) {
            const size_t slash = group.find('/', from);
            parts.push_back(group.substr(from, slash == std::string::npos ? std::string::npos : slash - from));
            if (slash == std::string::npos) break;
            from = slash + 1;
        }
        if (parts.size() != size) return false;
        out->push_back(std::move(parts));
        start = end + 1;
    }
    return true;
}

void Append32(std::vector<uint8_t>& b, uint32_t v) { PutLE32(b, b.size(), v); }
void Append16(std::vector<uint8_t>& b, uint16_t v) { PutLE16(b, b.size(), v); }

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

std::vector<uint8_t> WriteAgentStateResp(const AgentStateResp& r) {
    std::vector<uint8_t> b;
    Append32(b, r.invokeID);
    Append32(b, r.peripheralID);
    Append16(b, static_cast<uint16_t>(r.peripheralType));
    Append16(b, static_cast<uint16_t>(r.agentState));
    Append32(b, r.stateDuration);
    Append32(b, r.skillTargetID);
    Append32(b, r.teamID);
    Append32(b, r.sgSkillTargetID);
    Append32(b, r.sgNumberWord);
    Append16(b, static_cast<uint16_t>(r.lines.size()));
    Append16(b, static_cast<uint16_t>(r.currentLine));
    Append32(b, 0);  // 36: four bytes the server does not read
    Append16(b, static_cast<uint16_t>(r.skillGroups.size()));
    Append16(b, static_cast<uint16_t>(r.online));
    for (uint32_t v : {r.supervisor, r.mrDomainID, r.numTasks, r.maxTaskLimit, r.maxBeyondTaskLimit,
                       r.agentMode, r.availability, r.clientInvokeID})
        Append32(b, v);
    for (const std::string* s : {&r.uniqueInstanceID, &r.extension, &r.agentID, &r.instrument, &r.signature})
        AppendPadded(b, *s);
    for (const AgentSkillGroup& g : r.skillGroups) {
        Append32(b, g.numberWord);
        Append32(b, g.skillTargetID);
        Append16(b, static_cast<uint16_t>(g.state));
        Append16(b, 0);
    }
    for (const AgentLine& l : r.lines) {
        for (uint32_t v : {l.index, l.type, l.callID, l.sourceType, l.destType}) Append32(b, v);
        AppendPadded(b, l.source);
        AppendPadded(b, l.dest);
    }
    return b;
}

std::vector<uint8_t> WriteAgentEvent(const std::vector<AgentEventRecord>& records, int64_t count) {
    std::vector<uint8_t> b;
    Append32(b, count >= 0 ? static_cast<uint32_t>(count) : static_cast<uint32_t>(records.size()));
    for (const AgentEventRecord& r : records) {
        Append32(b, r.peripheralID);
        Append16(b, r.peripheralType);
        Append16(b, static_cast<uint16_t>(r.sgState));
        Append16(b, static_cast<uint16_t>(r.state));
        Append16(b, r.reason);
        for (uint32_t v : {r.sgDuration, r.duration, r.skillTargetID, r.teamID, r.sgSkillTargetID,
                           r.sgNumberWord})
            Append32(b, v);
        Append16(b, static_cast<uint16_t>(r.numLines));
        Append16(b, static_cast<uint16_t>(r.currentLine));
        for (uint32_t v : {r.clientStatus, r.mrDomainID, r.numTasks, r.maxTaskLimit, r.maxBeyondTaskLimit,
                           r.agentMode, r.availability, r.direction})
            Append32(b, v);
        for (const std::string* s : {&r.extension, &r.agentID, &r.instrument, &r.signature, &r.terminal,
                                     &r.uniqueInstanceID})
            AppendPadded(b, *s);
    }
    return b;
}

std::vector<uint8_t> WriteAgentRemovedInd(uint32_t peripheralID, const std::string& agentID) {
    std::vector<uint8_t> b;
    Append32(b, peripheralID);
    AppendPadded(b, agentID);
    return b;
}

std::vector<uint8_t> WritePGStatusEvent(uint32_t status, uint32_t id, uint32_t arg1, uint32_t arg2,
                                        uint32_t arg3, const std::string& text) {
    std::vector<uint8_t> b;
    for (uint32_t v : {status, id, arg1, arg2, arg3}) Append32(b, v);
    AppendPadded(b, text);
    return b;
}

std::vector<uint8_t> WriteSetClientStatusResp(uint32_t invokeID, uint32_t result) {
    std::vector<uint8_t> b;
    Append32(b, invokeID);
    Append32(b, result);
    return b;
}

AgentTable AgentTable::Defaults() {
    AgentTable t;
    t.SetPeripheral(5000, 30);
    AgentEntry out;
    out.peripheralID = 5000;
    out.skillTargetID = 9001;
    out.agentID = "1001";
    out.extension = out.instrument = "4001";
    out.state = 1;  // LOGOUT
    out.teamID = 7;
    out.skillGroups = {{0x01000011, 9101, 1}};
    out.lines = {{0, 3, 0xFFFFFFFF, 0, 0, "", ""}};
    t.Put(out);

    AgentEntry talking;
    talking.peripheralID = 5000;
    talking.skillTargetID = 9002;
    talking.agentID = "1002";
    talking.extension = talking.instrument = "4002";
    talking.state = 4;  // TALKING
    talking.teamID = 7;
    talking.skillGroups = {{0x01000011, 9101, 4}, {0x02000012, 9102, 4}};
    talking.lines = {{0, 0, 3001, 0, 0, "4002", "5551234"}, {1, 3, 0xFFFFFFFF, 0, 0, "", ""}};
    t.Put(talking);

    AgentEntry supervisor;
    supervisor.peripheralID = 5000;
    supervisor.skillTargetID = 9003;
    supervisor.agentID = "1003";
    supervisor.extension = supervisor.instrument = "4003";
    supervisor.state = 3;  // AVAILABLE
    supervisor.supervisor = 1;
    supervisor.teamID = 7;
    supervisor.skillGroups = {{0x01000011, 9101, 3}};
    supervisor.lines = {{0, 3, 0xFFFFFFFF, 0, 0, "", ""}};
    t.Put(supervisor);
    return t;
}

void AgentTable::SetPeripheral(uint32_t peripheralID, int16_t type) {
    for (auto& p : peripherals_)
        if (p.first == peripheralID) {
            p.second = type;
            return;
        }
    peripherals_.emplace_back(peripheralID, type);
}

int16_t AgentTable::PeripheralType(uint32_t peripheralID) const {
    for (const auto& p : peripherals_)
        if (p.first == peripheralID) return p.second;
    return -1;
}

std::string AgentTable::Key(uint32_t peripheralID, const std::string& agentID) {
    return std::to_string(peripheralID) + '/' + agentID;
}

void AgentTable::Reindex() {
    byAgentID_.clear();
    for (size_t i = 0; i < agents_.size(); ++i) byAgentID_.emplace(Key(agents_[i].peripheralID, agents_[i].agentID), i);
}

void AgentTable::Put(const AgentEntry& agent) {
    if (PeripheralType(agent.peripheralID) == -1) SetPeripheral(agent.peripheralID, 0);
    const auto [it, added] = byAgentID_.emplace(Key(agent.peripheralID, agent.agentID), agents_.size());
    if (added)
        agents_.push_back(agent);
    else
        agents_[it->second] = agent;
}

std::vector<AgentEntry*> AgentTable::Range(uint32_t peripheralID, const std::string& from, size_t limit) {
    std::vector<AgentEntry*> out;
    size_t i = 0;
    if (!from.empty()) {
        const auto it = byAgentID_.find(Key(peripheralID, from));
        if (it == byAgentID_.end()) return out;
        i = it->second;
    }
    for (; i < agents_.size() && out.size() < limit; ++i)
        if (agents_[i].peripheralID == peripheralID) out.push_back(&agents_[i]);
    return out;
}

AgentEntry* AgentTable::Find(uint32_t peripheralID, const std::string& agentID, const std::string& extension,
                             const std::string& instrument, uint32_t skillTargetID) {
    auto match = [&](auto field) -> AgentEntry* {
        for (auto& a : agents_)
            if (a.peripheralID == peripheralID && field(a)) return &a;
        return nullptr;
    };
    if (!agentID.empty()) {
        const auto it = byAgentID_.find(Key(peripheralID, agentID));
        return it == byAgentID_.end() ? nullptr : &agents_[it->second];
    }
    if (!extension.empty()) return match([&](const AgentEntry& a) { return a.extension == extension; });
    if (!instrument.empty()) return match([&](const AgentEntry& a) { return a.instrument == instrument; });
    if (skillTargetID != 0)
        return match([&](const AgentEntry& a) { return a.skillTargetID == skillTargetID; });
    return nullptr;
}

size_t AgentTable::Remove(uint32_t peripheralID, const std::string& agentID) {
    const bool all = agentID.empty() || agentID == "-1";
    const size_t before = agents_.size();
    agents_.erase(std::remove_if(agents_.begin(), agents_.end(),
                                 [&](const AgentEntry& a) {
                                     return a.peripheralID == peripheralID && (all || a.agentID == agentID);
                                 }),
                  agents_.end());
    Reindex();
    return before - agents_.size();
}

AgentStateResp AgentTable::Answer(const GetAgentStateReq& q) {
    AgentStateResp r;
    r.invokeID = q.invokeID;
    r.clientInvokeID = q.clientInvokeID;
    r.uniqueInstanceID = q.uniqueInstanceID;
    r.peripheralID = q.peripheralID;
    r.peripheralType = PeripheralType(q.peripheralID);
    r.mrDomainID = q.mrDomainID;
    r.skillTargetID = q.skillTargetID;
    r.extension = q.extension;
    r.instrument = q.instrument;
    const AgentEntry* a = r.peripheralType == -1 ? nullptr
                                                 : Find(q.peripheralID, q.agentID, q.extension, q.instrument,
                                                        q.skillTargetID);
    if (a == nullptr) return r;  // empty AgentID, state UNKNOWN
    r.agentState = a->state;
    r.skillTargetID = a->skillTargetID;
    r.teamID = a->teamID;
    r.supervisor = a->supervisor;
    r.agentID = a->agentID;
    r.extension = a->extension;
    r.instrument = a->instrument;
    r.signature = a->signature;
    r.skillGroups = a->skillGroups;
    r.lines = a->lines;
    if (!a->skillGroups.empty()) {
        r.sgNumberWord = a->skillGroups.front().numberWord;
        r.sgSkillTargetID = a->skillGroups.front().skillTargetID;
    }
    return r;
}

std::vector<Outgoing> AgentSide::Answer(uint8_t sender, uint8_t type, const ServerRequest& request) {
    std::vector<Outgoing> answers;
    auto number = [&](const char* field) {
        uint32_t v = 0;
        (void)request.Number(field, &v);
        return v;
    };
    auto text = [&](const char* field) {
        std::string v;
        (void)request.String(field, &v);
        return v;
    };
    if (type == kGetAgentStateReq) {
        GetAgentStateReq q;
        q.invokeID = number("InvokeID");
        q.peripheralID = number("PeripheralID");
        q.mrDomainID = number("MRDomainID");
        q.skillTargetID = number("SkillTarID");
        q.clientInvokeID = number("ClientInvokeID");
        q.uniqueInstanceID = text("UniqueInstanceID");
        q.extension = text("AgentExtension");
        q.agentID = text("AgentID");
        q.instrument = text("AgentInstrument");
        AgentStateResp r;
        {
            std::lock_guard<std::mutex> g(mu_);
            r = table_.Answer(q);
        }
        Outgoing o{kGetAgentStateResp, WriteAgentStateResp(r), ""};
        o.line = Format("parlo-opc: send CTI_GET_AGENT_STATE_RESP to %d invoke 0x%x client 0x%x periph %d "
                        "type %d agent %s state %d uii %s groups %zu lines %zu",
                        sender, r.invokeID, r.clientInvokeID, static_cast<int32_t>(r.peripheralID),
                        r.peripheralType, Quoted(r.agentID).c_str(), r.agentState,
                        Quoted(r.uniqueInstanceID).c_str(), r.skillGroups.size(), r.lines.size());
        answers.push_back(std::move(o));
    } else if (type == kSetClientStatusReq) {
        const uint32_t invokeID = number("InvokeID");
        uint32_t result;
        {
            std::lock_guard<std::mutex> g(mu_);
            result = clientStatusResult_;
            // A granted change is what OPC then reports of the agent's client.
            AgentEntry* a = table_.Find(number("PeripheralID"), text("AgentID"));
            if (a && result == 0) {
                a->hasClient = number("Status") != 0;
                a->signature = a->hasClient ? text("Signature") : std::string();
            }
        }
        Outgoing o{kSetClientStatusResp, WriteSetClientStatusResp(invokeID, result), ""};
        o.line = Format("parlo-opc: send CTI_SET_CLIENT_STATUS_RESP to %d invoke 0x%x result %u", sender,
                        invokeID, result);
        answers.push_back(std::move(o));
    }
    return answers;
}

bool AgentSide::Takes(const std::string& command) {
    for (const char* c : {"agent", "agent-event", "agent-state", "agent-removed", "pg-status",
                          "client-status-result", "raw", "agents", "agent-events"})
        if (command == c) return true;
    return false;
}

bool AgentSide::CmdAgent(const std::vector<std::string>& args, std::string* error) {
    AgentEntry a;
    if (args.size() < 3 || !Number(args[1], &a.peripheralID))
        return *error = "agent needs a peripheral and an AgentID", false;
    a.agentID = args[2];
    int16_t type = -1;
    for (size_t i = 3; i < args.size(); ++i) {
        std::string k, v;
        uint32_t n = 0;
        if (!Split(args[i], &k, &v)) return *error = "bad word " + args[i], false;
        if (k == "ext") a.extension = v;
        else if (k == "inst") a.instrument = v;
        else if (k == "sig") a.signature = v, a.hasClient = !v.empty();
        else if (k == "groups") {
            std::vector<std::vector<std::string>> groups;
            if (!Groups(v, 3, &groups)) return *error = "bad skill groups " + v, false;
            for (const auto& g : groups) {
                AgentSkillGroup sg;
                uint32_t state = 0;
                if (!Number(g[0], &sg.numberWord) || !Number(g[1], &sg.skillTargetID) || !Number(g[2], &state))
                    return *error = "bad skill groups " + v, false;
                sg.state = static_cast<int16_t>(state);
                a.skillGroups.push_back(sg);
            }
        } else if (k == "lines") {
            std::vector<std::vector<std::string>> lines;
            if (!Groups(v, 7, &lines)) return *error = "bad lines " + v, false;
            for (const auto& l : lines) {
                AgentLine line;
                if (!Number(l[0], &line.index) || !Number(l[1], &line.type) || !Number(l[2], &line.callID) ||
                    !Number(l[3], &line.sourceType) || !Number(l[5], &line.destType))
                    return *error = "bad lines " + v, false;
                line.source = l[4];
                line.dest = l[6];
                a.lines.push_back(line);
            }
        } else if (!Number(v, &n)) {
            return *error = "bad number in " + args[i], false;
        } else if (k == "type") type = static_cast<int16_t>(n);
        else if (k == "stid") a.skillTargetID = n;
        else if (k == "state") a.state = static_cast<int16_t>(n);
        else if (k == "supervisor") a.supervisor = n;
        else if (k == "team") a.teamID = n;
        else return *error = "unknown key " + k, false;
    }
    std::lock_guard<std::mutex> g(mu_);
    if (type != -1) table_.SetPeripheral(a.peripheralID, type);
    table_.Put(a);
    return true;
}

bool AgentSide::CmdAgentEvent(const std::vector<std::string>& args, std::vector<Outgoing>* out,
                              std::string* error) {
    std::vector<AgentEventRecord> records;
    std::vector<std::pair<size_t, int16_t>> states;  // record, state for the table
    int64_t count = -1;
    std::lock_guard<std::mutex> g(mu_);
    size_t i = 1;
    while (i < args.size()) {
        if (args[i] == "+") {
            ++i;
            continue;
        }
        std::string k, v;
        uint32_t n = 0;
        if (Split(args[i], &k, &v) && k == "count") {
            if (!Number(v, &n)) return *error = "bad count " + v, false;
            count = n;
            ++i;
            continue;
        }
        // A record: PERIPH AGENTID, then its fields up to the next "+".
        AgentEventRecord r;
        if (i + 1 >= args.size() || !Number(args[i], &r.peripheralID))
            return *error = "agent-event needs a peripheral and an AgentID", false;
        r.agentID = args[i + 1];
        i += 2;
        const AgentEntry* a = table_.Find(r.peripheralID, r.agentID);
        const int16_t type = table_.PeripheralType(r.peripheralID);
        r.peripheralType = static_cast<uint16_t>(type == -1 ? 0 : type);
        if (a) {
            r.state = a->state;
            r.skillTargetID = a->skillTargetID;
            r.teamID = a->teamID;
            r.extension = a->extension;
            r.instrument = a->instrument;
            r.signature = a->signature;
            r.clientStatus = a->hasClient ? 1 : 0;
            r.numLines = static_cast<int16_t>(a->lines.size());
            if (!a->skillGroups.empty()) {
                r.sgNumberWord = a->skillGroups.front().numberWord;
                r.sgSkillTargetID = a->skillGroups.front().skillTargetID;
            }
        }
        bool stateGiven = false;
        for (; i < args.size() && args[i] != "+"; ++i) {
            if (!Split(args[i], &k, &v)) return *error = "bad word " + args[i], false;
            if (k == "count") break;
            std::string* texts[] = {&r.extension, &r.instrument, &r.signature, &r.terminal, &r.uniqueInstanceID};
            const char* textKeys[] = {"ext", "inst", "sig", "term", "uii"};
            bool done = false;
            for (size_t t = 0; t < 5; ++t)
                if (k == textKeys[t]) *texts[t] = v, done = true;
            if (done) continue;
            if (!Number(v, &n)) return *error = "bad number in " + args[i], false;
            const struct {
                const char* key;
                uint32_t* at;
            } words[] = {{"sgdur", &r.sgDuration},         {"dur", &r.duration},
                         {"stid", &r.skillTargetID},       {"team", &r.teamID},
                         {"sgstid", &r.sgSkillTargetID},   {"sg", &r.sgNumberWord},
                         {"clientstatus", &r.clientStatus}, {"mrd", &r.mrDomainID},
                         {"tasks", &r.numTasks},           {"maxtasks", &r.maxTaskLimit},
                         {"maxbeyond", &r.maxBeyondTaskLimit}, {"mode", &r.agentMode},
                         {"avail", &r.availability},       {"dir", &r.direction}};
            for (const auto& w : words)
                if (k == w.key) *w.at = n, done = true;
            if (done) continue;
            if (k == "type") r.peripheralType = static_cast<uint16_t>(n);
            else if (k == "sgstate") r.sgState = static_cast<int16_t>(n);
            else if (k == "state") r.state = static_cast<int16_t>(n), stateGiven = true;
            else if (k == "reason") r.reason = static_cast<uint16_t>(n);
            else if (k == "numlines") r.numLines = static_cast<int16_t>(n);
            else if (k == "curline") r.currentLine = static_cast<int16_t>(n);
            else return *error = "unknown key " + k, false;
        }
        if (stateGiven && r.mrDomainID == 1) states.emplace_back(records.size(), r.state);
        records.push_back(std::move(r));
    }
    if (records.empty()) return *error = "agent-event needs a record", false;
    // The voice state of each agent follows the records, so later answers agree with them.
    for (const auto& [index, state] : states)
        if (AgentEntry* a = table_.Find(records[index].peripheralID, records[index].agentID)) a->state = state;
    Outgoing o{kAgentEvent, WriteAgentEvent(records, count), ""};
    std::string list;
    for (const auto& r : records)
        list += Format(" [periph %d agent %s state %d mrd %u]", static_cast<int32_t>(r.peripheralID),
                       Quoted(r.agentID).c_str(), r.state, r.mrDomainID);
    o.line = Format("parlo-opc: send CTI_AGENT_EVENT count %lld records %zu%s",
                    static_cast<long long>(count >= 0 ? count : static_cast<int64_t>(records.size())),
                    records.size(), list.c_str());
    out->push_back(std::move(o));
    return true;
}

bool AgentSide::CmdAgentState(const std::vector<std::string>& args, std::vector<Outgoing>* out,
                              std::string* error) {
    GetAgentStateReq q;
    q.invokeID = 0xFFFFFFFF;
    q.mrDomainID = 1;
    if (args.size() < 3 || !Number(args[1], &q.peripheralID))
        return *error = "agent-state needs a peripheral and an AgentID", false;
    q.agentID = args[2];
    bool hasState = false;
    uint32_t state = 0;
    for (size_t i = 3; i < args.size(); ++i) {
        std::string k, v;
        uint32_t n = 0;
        if (!Split(args[i], &k, &v)) return *error = "bad word " + args[i], false;
        if (k == "uii") q.uniqueInstanceID = v;
        else if (!Number(v, &n)) return *error = "bad number in " + args[i], false;
        else if (k == "invoke") q.invokeID = n;
        else if (k == "client") q.clientInvokeID = n;
        else if (k == "state") state = n, hasState = true;
        else return *error = "unknown key " + k, false;
    }
    AgentStateResp r;
    {
        std::lock_guard<std::mutex> g(mu_);
        r = table_.Answer(q);
    }
    if (hasState) r.agentState = static_cast<int16_t>(state);
    Outgoing o{kGetAgentStateResp, WriteAgentStateResp(r), ""};
    o.line = Format("parlo-opc: send CTI_GET_AGENT_STATE_RESP invoke 0x%x client 0x%x periph %d type %d "
                    "agent %s state %d uii %s groups %zu lines %zu",
                    r.invokeID, r.clientInvokeID, static_cast<int32_t>(r.peripheralID), r.peripheralType,
                    Quoted(r.agentID).c_str(), r.agentState, Quoted(r.uniqueInstanceID).c_str(),
                    r.skillGroups.size(), r.lines.size());
    out->push_back(std::move(o));
    return true;
}

void SendInOrder(std::vector<Outgoing>& out, const std::function<void(const Outgoing&)>& send) {
    for (Outgoing& o : out) {
        if (o.notBeforeNs > 0) plat::SleepUntil(o.notBeforeNs);
        if (o.stamp) o.stamp(o, plat::MonotonicNs());
        send(o);
    }
}

std::string SendStamp(int64_t nowNs) {
    return Format("@@%016llx-", static_cast<unsigned long long>(nowNs));
}

namespace {

// Bounds of the load commands: enough for the connection cap's worth of agent sessions
// and a two-minute run at the highest rate.
constexpr uint32_t kMaxGeneratedAgents = 100000;
constexpr uint32_t kMaxPacedRecords = 200000;
constexpr uint32_t kMaxRate = 100000;
constexpr uint32_t kMaxRecordsPerMessage = 16;
constexpr int16_t kNotReady = 2;
constexpr int16_t kAvailable = 3;

}  // namespace

bool AgentSide::CmdAgents(const std::vector<std::string>& args, std::string* error) {
    uint32_t count = 0, first = 0;
    if (args.size() < 3 || !Number(args[1], &count) || !Number(args[2], &first) || count == 0 ||
        count > kMaxGeneratedAgents)
        return *error = Format("agents needs a count (1-%u) and a first AgentID", kMaxGeneratedAgents), false;
    uint32_t periph = 5000, ext = 0, stid = 0, state = static_cast<uint32_t>(kAvailable), team = 0;
    bool hasExt = false, hasStid = false;
    for (size_t i = 3; i < args.size(); ++i) {
        std::string k, v;
        uint32_t n = 0;
        if (!Split(args[i], &k, &v) || !Number(v, &n)) return *error = "bad word " + args[i], false;
        if (k == "periph") periph = n;
        else if (k == "ext") ext = n, hasExt = true;
        else if (k == "stid") stid = n, hasStid = true;
        else if (k == "state") state = n;
        else if (k == "team") team = n;
        else return *error = "unknown key " + k, false;
    }
    const uint64_t last = uint64_t{first} + count - 1;
    const uint64_t lastExt = (hasExt ? uint64_t{ext} : uint64_t{first} + 500000) + count - 1;
    const uint64_t lastStid = (hasStid ? uint64_t{stid} : uint64_t{first} + 1000000) + count - 1;
    if (last > 0x7FFFFFFF || lastExt > 0x7FFFFFFF || lastStid > 0x7FFFFFFF)
        return *error = "agents: the numbers run past 0x7FFFFFFF", false;
    if (!hasExt) ext = first + 500000;
    if (!hasStid) stid = first + 1000000;
    std::lock_guard<std::mutex> g(mu_);
    for (uint32_t k = 0; k < count; ++k) {
        AgentEntry a;
        a.peripheralID = periph;
        a.agentID = std::to_string(first + k);
        a.extension = a.instrument = std::to_string(ext + k);
        a.skillTargetID = stid + k;
        a.state = static_cast<int16_t>(state);
        a.teamID = team;
        a.skillGroups = {{0x01000011, 9101, a.state}};
        a.lines = {{0, 3, 0xFFFFFFFF, 0, 0, "", ""}};
        table_.Put(a);
    }
    return true;
}

bool AgentSide::CmdAgentEvents(const std::vector<std::string>& args, std::vector<Outgoing>* out,
                               std::string* error) {
    uint32_t rate = 0, count = 0;
    if (args.size() < 3 || !Number(args[1], &rate) || !Number(args[2], &count) || rate == 0 || rate > kMaxRate ||
        count == 0 || count > kMaxPacedRecords)
        return *error = Format("agent-events needs a rate (1-%u a second) and a count (1-%u)", kMaxRate,
                               kMaxPacedRecords),
               false;
    uint32_t periph = 5000, limit = kMaxGeneratedAgents, per = 1;
    std::string from;
    for (size_t i = 3; i < args.size(); ++i) {
        std::string k, v;
        uint32_t n = 0;
        if (!Split(args[i], &k, &v)) return *error = "bad word " + args[i], false;
        if (k == "from") {
            from = v;
            continue;
        }
        if (!Number(v, &n)) return *error = "bad number in " + args[i], false;
        if (k == "periph") periph = n;
        else if (k == "agents" && n > 0) limit = n;
        else if (k == "per" && n > 0 && n <= kMaxRecordsPerMessage) per = n;
        else return *error = "bad word " + args[i], false;
    }
    std::lock_guard<std::mutex> g(mu_);
    const std::vector<AgentEntry*> agents = table_.Range(periph, from, limit);
    if (agents.empty()) return *error = "agent-events: no agent to report", false;
    const int16_t type = table_.PeripheralType(periph);
    const int64_t start = plat::MonotonicNs();
    const uint32_t messages = (count + per - 1) / per;
    std::vector<Outgoing> paced;
    paced.reserve(messages);
    for (uint32_t m = 0, k = 0; m < messages; ++m) {
        std::vector<AgentEventRecord> records;
        std::string list;
        for (; k < count && records.size() < per; ++k) {
            AgentEntry& a = *agents[k % agents.size()];
            a.state = a.state == kAvailable ? kNotReady : kAvailable;
            AgentEventRecord r;
            r.peripheralID = periph;
            r.peripheralType = static_cast<uint16_t>(type == -1 ? 0 : type);
            r.state = a.state;
            r.reason = static_cast<uint16_t>(a.state == kNotReady ? 1 + k % 900 : 0);
            r.skillTargetID = a.skillTargetID;
            r.teamID = a.teamID;
            r.agentID = a.agentID;
            r.extension = a.extension;
            r.instrument = a.instrument;
            r.signature = a.signature;
            r.clientStatus = a.hasClient ? 1 : 0;
            r.numLines = static_cast<int16_t>(a.lines.size());
            if (!a.skillGroups.empty()) {
                r.sgNumberWord = a.skillGroups.front().numberWord;
                r.sgSkillTargetID = a.skillGroups.front().skillTargetID;
            }
            list += Format(" [agent %s state %d reason %u]", Quoted(a.agentID).c_str(), r.state, r.reason);
            records.push_back(std::move(r));
        }
        Outgoing o;
        o.type = kAgentEvent;
        o.notBeforeNs = start + static_cast<int64_t>(uint64_t{m} * per * 1000000000ULL / rate);
        o.line = Format("parlo-opc: send CTI_AGENT_EVENT paced %u/%u records %zu%s", m + 1, messages,
                        records.size(), list.c_str());
        o.stamp = [records = std::move(records)](Outgoing& self, int64_t nowNs) mutable {
            const std::string stamp = SendStamp(nowNs);
            for (AgentEventRecord& r : records) r.terminal = stamp;
            self.body = WriteAgentEvent(records);
            self.line += Format(" stamp %s late %lld us", stamp.c_str(),
                                static_cast<long long>((nowNs - self.notBeforeNs) / 1000));
        };
        paced.push_back(std::move(o));
    }
    for (Outgoing& o : paced) out->push_back(std::move(o));
    return true;
}

bool AgentSide::RunCommand(const std::vector<std::string>& args, std::vector<Outgoing>* out,
                           std::string* error) {
    if (args.empty()) return *error = "no command", false;
    const std::string& c = args[0];
    if (c == "agent") return CmdAgent(args, error);
    if (c == "agent-event") return CmdAgentEvent(args, out, error);
    if (c == "agent-state") return CmdAgentState(args, out, error);
    if (c == "agents") return CmdAgents(args, error);
    if (c == "agent-events") return CmdAgentEvents(args, out, error);
    if (c == "agent-removed") {
        uint32_t peripheral = 0;
        if (args.size() < 2 || args.size() > 3 || !Number(args[1], &peripheral))
            return *error = "agent-removed needs a peripheral", false;
        const std::string agentID = args.size() == 3 ? args[2] : std::string();
        size_t removed;
        {
            std::lock_guard<std::mutex> g(mu_);
            removed = table_.Remove(peripheral, agentID);
        }
        out->push_back({kAgentRemovedInd, WriteAgentRemovedInd(peripheral, agentID),
                        Format("parlo-opc: send CTI_AGENT_REMOVED_IND periph %d agent %s (%zu left the table)",
                               static_cast<int32_t>(peripheral), Quoted(agentID).c_str(), removed)});
        return true;
    }
    if (c == "pg-status") {
        uint32_t status = 0, id = 0, arg1 = 0, arg2 = 0, arg3 = 0;
        std::string text;
        for (size_t i = 1; i < args.size(); ++i) {
            std::string k, v;
            uint32_t n = 0;
            if (!Split(args[i], &k, &v)) return *error = "bad word " + args[i], false;
            if (k == "text") text = v;
            else if (!Number(v, &n)) return *error = "bad number in " + args[i], false;
            else if (k == "status") status = n;
            else if (k == "id") id = n;
            else if (k == "arg1") arg1 = n;
            else if (k == "arg2") arg2 = n;
            else if (k == "arg3") arg3 = n;
            else return *error = "unknown key " + k, false;
        }
        if (text.size() > 0xFFFF) return *error = "text too long", false;
        out->push_back({kPGStatusEvent, WritePGStatusEvent(status, id, arg1, arg2, arg3, text),
                        Format("parlo-opc: send CTI_PG_STATUS_EVENT status 0x%x id %u arg1 %d arg2 %d arg3 %d "
                               "text %s",
                               status, id, static_cast<int32_t>(arg1), static_cast<int32_t>(arg2),
                               static_cast<int32_t>(arg3), Quoted(text).c_str())});
        return true;
    }
    if (c == "client-status-result") {
        uint32_t n = 0;
        if (args.size() != 2 || !Number(args[1], &n)) return *error = "client-status-result needs a number", false;
        std::lock_guard<std::mutex> g(mu_);
        clientStatusResult_ = n;
        return true;
    }
    if (c == "raw") {
        uint32_t type = 0;
        if (args.size() < 2 || args.size() > 3 || !Number(args[1], &type) || type > 0xFF)
            return *error = "raw needs an OPC type and hex bytes", false;
        const std::string hex = args.size() == 3 ? args[2] : std::string();
        if (hex.size() % 2 || hex.size() / 2 > kMaxBody) return *error = "bad hex length", false;
        std::vector<uint8_t> body;
        for (size_t i = 0; i < hex.size(); i += 2) {
            uint32_t byte = 0;
            if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
                !std::isxdigit(static_cast<unsigned char>(hex[i + 1])) || !Number("0x" + hex.substr(i, 2), &byte))
                return *error = "bad hex in raw", false;
            body.push_back(static_cast<uint8_t>(byte));
        }
        const size_t size = body.size();
        out->push_back({static_cast<uint8_t>(type), std::move(body),
                        Format("parlo-opc: send %s raw body %zu bytes", OpcTypeName(type).c_str(), size)});
        return true;
    }
    return *error = "unknown command " + c, false;
}

}  // namespace opcpeer
