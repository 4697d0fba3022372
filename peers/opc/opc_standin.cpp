#include "peers/opc/opc_standin.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"

namespace opcpeer {

namespace {

constexpr size_t kMaxUnconsumed = 4096;
constexpr int64_t kDefaultWaitMs = 10000;
constexpr size_t kMaxEccFill = kMaxBody;

// A number in decimal or 0x hex; negative values wrap to their 32-bit pattern.
bool ParseNumber(const std::string& s, uint32_t* out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 0);
    if (errno || *end || v < -2147483648LL || v > 0xFFFFFFFFLL) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}


// key=value; false when the word has no '='.
bool KeyValue(const std::string& word, std::string* key, std::string* value) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    *key = word.substr(0, eq);
    *value = word.substr(eq + 1);
    return true;
}

const std::map<std::string, uint16_t>& EventTypeNames() {
    static const std::map<std::string, uint16_t> names = {
        {"call-cleared", 54},      {"conferenced", 55},  {"connection-cleared", 56},
        {"delivered", 57},         {"established", 59},  {"held", 61},
        {"retrieved", 65},         {"service-initiated", 66},
        {"transferred", 67},       {"recording-target-info", 208},
        {"private", kPrivateEvent},
    };
    return names;
}

}  // namespace

bool SplitWords(const std::string& line, std::vector<std::string>* words) {
    words->clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= line.size() || line[i] == '#') break;
        std::string w;
        bool quoted = false;
        while (i < line.size()) {
            const char c = line[i];
            if (quoted) {
                if (c == '\\' && i + 1 < line.size()) {
                    w += line[i + 1];
                    i += 2;
                    continue;
                }
                if (c == '"') quoted = false;
                else w += c;
                ++i;
                continue;
            }
            if (c == ' ' || c == '\t' || c == '\r') break;
            if (c == '"') quoted = true;
            else w += c;
            ++i;
        }
        if (quoted) return false;
        words->push_back(std::move(w));
    }
    return true;
}

bool ParseField(const std::string& word, FieldSet::Field* out) {
    std::string key, value;
    if (!KeyValue(word, &key, &value)) return false;
    const size_t at = key.find('@');
    if (at == std::string::npos) return false;
    const std::string kind = key.substr(0, at);
    uint32_t offset = 0;
    if (!ParseNumber(key.substr(at + 1), &offset) || offset > kMaxBody) return false;
    FieldSet::Field f{};
    f.offset = offset;
    if (kind == "u8" || kind == "u16" || kind == "u32") {
        f.kind = kind == "u8" ? '1' : kind == "u16" ? '2' : '4';
        if (!ParseNumber(value, &f.value)) return false;
    } else if (kind.rfind("text", 0) == 0) {
        uint32_t width = 0;
        if (!ParseNumber(kind.substr(4), &width) || width == 0 || width > kMaxBody) return false;
        f.kind = 't';
        f.width = width;
        f.text = value;
    } else {
        return false;
    }
    *out = f;
    return true;
}

bool ParseGroups(const std::string& text, size_t groupSize, std::vector<uint32_t>* words) {
    words->clear();
    if (text == "none") return true;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        const std::string group = text.substr(start, end - start);
        size_t from = 0;
        for (size_t i = 0; i < groupSize; ++i) {
            size_t slash = group.find('/', from);
            if (i + 1 == groupSize) slash = group.size();
            if (slash == std::string::npos) return false;
            uint32_t v = 0;
            if (!ParseNumber(group.substr(from, slash - from), &v)) return false;
            words->push_back(v);
            from = slash + 1;
        }
        start = end + 1;
    }
    return true;
}

StandIn::StandIn(SendFn send, PrintFn print, uint8_t peer)
    : send_(std::move(send)), print_(std::move(print)), peer_(peer) {}

StandIn::~StandIn() {
    {
        std::lock_guard<std::mutex> g(mu_);
        hbQuit_ = true;
    }
    hbCv_.notify_all();
    if (hbThread_.joinable()) hbThread_.join();
}

void StandIn::HeartbeatLoop() {
    std::unique_lock<std::mutex> lock(mu_);
    uint32_t count = 0;
    while (!hbQuit_) {
        if (hbPeriodMs_ == 0) {
            const uint64_t gen = hbGeneration_;
            plat::WaitUntil(hbCv_, lock, plat::kNoDeadline,
                            [&] { return hbQuit_ || hbGeneration_ != gen; });
            continue;
        }
        const uint64_t gen = hbGeneration_;
        const bool changed = plat::WaitUntil(hbCv_, lock, plat::DeadlineAfterMs(hbPeriodMs_),
                                             [&] { return hbQuit_ || hbGeneration_ != gen; });
        if (changed) continue;
        const uint32_t server = serverNumber_;
        ++count;
        lock.unlock();
        Print(Format("parlo-opc: send CTI_HEART_BEAT_EVENT to %d server %u count %u", peer_,
                     server, count));
        Send(peer_, kHeartBeat, server, {});
        lock.lock();
    }
}

bool StandIn::CmdHeartbeat(const std::vector<std::string>& args, std::string* error) {
    uint32_t ms = 0;
    if (args.size() != 2 || (args[1] != "stop" && (!ParseNumber(args[1], &ms) || ms == 0)))
        return *error = "heartbeat needs milliseconds or stop", false;
    if (peer_ == 0xFF && ms) return *error = "no peer to send to", false;
    {
        std::lock_guard<std::mutex> g(mu_);
        hbPeriodMs_ = ms;
        ++hbGeneration_;
        if (ms && !hbThread_.joinable()) hbThread_ = std::thread([this] { HeartbeatLoop(); });
    }
    hbCv_.notify_all();
    Print(ms ? Format("parlo-opc: heartbeat every %u ms", ms) : "parlo-opc: heartbeat stopped");
    return true;
}

bool StandIn::CmdTime(const std::vector<std::string>& args, std::string* error) {
    uint32_t value = 0;
    for (size_t i = 1; i < args.size(); ++i) {
        std::string k, v;
        if (!KeyValue(args[i], &k, &v) || k != "value" || !ParseNumber(v, &value))
            return *error = "bad word " + args[i], false;
    }
    if (peer_ == 0xFF) return *error = "no peer to send to", false;
    const uint32_t server = ServerNumber();
    Print(Format("parlo-opc: send CTI_TIME_NOTIFICATION_EVENT to %d server %u time %u", peer_,
                 server, value));
    std::vector<uint8_t> body;
    PutLE32(body, 0, value);
    Send(peer_, kTimeNotification, server, body);
    return true;
}

bool StandIn::CmdConfig(const std::vector<std::string>& args, std::string* error) {
    ConfigReq r;
    if (args.size() < 2 || !ParseNumber(args[1], &r.table))
        return *error = "config needs a table", false;
    bool hasNum = false;
    uint32_t records = 0;
    for (size_t i = 2; i < args.size(); ++i) {
        std::string k, v;
        if (!KeyValue(args[i], &k, &v)) return *error = "bad word " + args[i], false;
        uint32_t n = 0;
        if (k == "peripheral") {
            std::vector<uint32_t> w;
            if (!ParseGroups(v, 4, &w)) return *error = "bad peripheral list " + v, false;
            for (size_t j = 0; j < w.size(); j += 4) {
                AppendPeripheral(r.records, w[j], w[j + 1], w[j + 2], w[j + 3]);
                ++records;
            }
        } else if (k == "var") {
            // Six numbers, then the name (which may hold anything but a '/').
            uint32_t words[6] = {};
            size_t from = 0;
            for (uint32_t& w : words) {
                const size_t slash = v.find('/', from);
                if (slash == std::string::npos || !ParseNumber(v.substr(from, slash - from), &w))
                    return *error = "bad variable " + v, false;
                from = slash + 1;
            }
            AppendEccVariable(r.records, words, v.substr(from));
            ++records;
            std::lock_guard<std::mutex> g(mu_);
            eccNames_[static_cast<int32_t>(words[0])] = v.substr(from);
        } else if (k == "raw") {
            if (v.size() % 2) return *error = "odd hex in raw", false;
            for (size_t j = 0; j < v.size(); j += 2) {
                uint32_t byte = 0;
                if (!ParseNumber("0x" + v.substr(j, 2), &byte))
                    return *error = "bad hex in raw", false;
                r.records.push_back(static_cast<uint8_t>(byte));
            }
        } else if (ParseNumber(v, &n) && (k == "op" || k == "update" || k == "num")) {
            if (k == "op") r.op = n;
            else if (k == "update") r.update = n;
            else r.num = n, hasNum = true;
        } else {
            return *error = "bad word " + args[i], false;
        }
    }
    if (!hasNum) r.num = r.table == 10 && records == 0 && !r.records.empty() ? 1 : records;
    if (peer_ == 0xFF) return *error = "no peer to send to", false;
    const uint32_t server = ServerNumber();
    Print(Format("parlo-opc: send CTI_CONFIGURE_REQ to %d server %u op %u table %u num %u "
                 "update %u records %zu bytes",
                 peer_, server, r.op, r.table, r.num, r.update, r.records.size()));
    Send(peer_, kConfigureReq, server, WriteConfigReq(r));
    return true;
}

bool StandIn::CmdMaintenance(uint8_t type, const std::vector<std::string>& args,
                             std::string* error) {
    uint32_t value = 0, word = 0, accepted = 1, side = 1;
    for (size_t i = 1; i < args.size(); ++i) {
        std::string k, v;
        uint32_t n = 0;
        if (!KeyValue(args[i], &k, &v) || !ParseNumber(v, &n))
            return *error = "bad word " + args[i], false;
        if (k == "side") side = n;
        else if (k == "value" && type == kMaintenanceRequest) value = n;
        else if (k == "word" && type == kMaintenanceInProgress) word = n;
        else if (k == "accepted" && type == kMaintenanceInProgress) accepted = n;
        else return *error = "unknown key " + k, false;
    }
    if (peer_ == 0xFF) return *error = "no peer to send to", false;
    const uint32_t server = ServerNumber();
    std::vector<uint8_t> body;
    if (type == kMaintenanceRequest) {
        PutLE32(body, 0, value);
        PutLE32(body, 4, side);
        Print(Format("parlo-opc: send CTI_MAINTENANCE_MODE_REQUEST to %d server %u value %u "
                     "side %u",
                     peer_, server, value, side));
    } else {
        PutLE32(body, 0, word);
        PutLE32(body, 4, accepted);
        PutLE32(body, 8, side);
        Print(Format("parlo-opc: send CTI_MAINTENANCE_MODE_IN_PROGRESS to %d server %u word %u "
                     "accepted %u side %u",
                     peer_, server, word, accepted, side));
    }
    Send(peer_, type, server, body);
    return true;
}

uint32_t StandIn::ServerNumber() {
    std::lock_guard<std::mutex> g(mu_);
    return serverNumber_;
}

void StandIn::Print(const std::string& line) {
    std::lock_guard<std::mutex> g(printMu_);
    print_(line);
}

void StandIn::Received(uint8_t type) {
    {
        std::lock_guard<std::mutex> g(mu_);
        unconsumed_.push_back(type);
        if (unconsumed_.size() > kMaxUnconsumed) unconsumed_.pop_front();
    }
    cv_.notify_all();
}

void StandIn::Send(uint8_t destination, uint8_t type, uint32_t serverNumber,
                   const std::vector<uint8_t>& body) {
    std::vector<uint8_t> payload;
    PutLE32(payload, 0, serverNumber);
    payload.insert(payload.end(), body.begin(), body.end());
    if (payload.size() > kMaxPayload) {
        Print(Format("parlo-opc: error: %s of %zu bytes does not fit, not sent",
                     OpcTypeName(type).c_str(), payload.size()));
        return;
    }
    if (!send_(destination, type, payload))
        Print(Format("parlo-opc: error: %s to %d not sent", OpcTypeName(type).c_str(),
                     destination));
    else if (trace_)
        Print("parlo-opc: bytes " + HexOf(payload.data(), payload.size()));
}

void StandIn::SendEvent(uint8_t destination, uint32_t serverNumber, const CstaEvent& e) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!WriteEvent(e, &bytes, &error)) {
        Print("parlo-opc: error: event not sent: " + error);
        return;
    }
    std::string ids;
    if (e.eventClass == kClassConfirmation && e.body.size() >= 8)
        ids = Format(" invoke 0x%x client 0x%x", LoadLE32(e.body.data()), LoadLE32(e.body.data() + 4));
    if (e.eventType == kUniversalFailure && e.body.size() >= 12 && e.opc.size() >= 4)
        ids += Format(" error %u pec %u", LoadLE32(e.body.data() + 8), LoadLE32(e.opc.data()));
    std::string ecc = e.ecc.empty() ? "" : Format(" ecc %zu", e.ecc.size());
    Print(Format("parlo-opc: send CTI_CSTA_MESSAGE to %d class %u type %u%s call %d dev \"%s\" "
                 "uii \"%s\" body %zu raw %zu opc %zu%s",
                 destination, e.eventClass, e.eventType, ids.c_str(),
                 static_cast<int32_t>(e.callID), e.strings[1].c_str(), e.strings[0].c_str(),
                 e.body.size(), e.raw.size(), e.opc.size(), ecc.c_str()));
    Send(destination, kCstaMessage, serverNumber, bytes);
}

void StandIn::OnMessage(uint8_t sender, uint8_t type, const uint8_t* payload, size_t len) {
    if (trace_) Print("parlo-opc: bytes " + HexOf(payload, len));
    if (len < 4) {
        Print(Format("parlo-opc: error: %s from %d: %zu bytes, no ServerNumber word",
                     OpcTypeName(type).c_str(), sender, len));
        Received(type);
        return;
    }
    const uint32_t serverNumber = LoadLE32(payload);
    const uint8_t* body = payload + 4;
    const size_t bodyLen = len - 4;
    const ArmLayout* arm = FindArmLayout(type);
    if (type == kCstaMessage) {
        OnCsta(sender, serverNumber, body, bodyLen);
    } else if (arm && arm->role != ArmRole::kFromOpc) {
        OnArm(sender, serverNumber, *arm, body, bodyLen);
    } else if (type == kOkAck || type == kErrorAck) {
        Ack ack;
        std::string error;
        if (!ReadAck(body, bodyLen, &ack, &error))
            Print(Format("parlo-opc: error: %s from %d: %s", OpcTypeName(type).c_str(), sender,
                         error.c_str()));
        else
            Print(Format("parlo-opc: recv %s from %d server %u side %u answers %u (%s) value %u",
                         OpcTypeName(type).c_str(), sender, serverNumber, ack.side,
                         ack.answeredType, OpcTypeName(ack.answeredType).c_str(), ack.value));
    } else if (type == kActiveHeartBeat) {
        Print(Format("parlo-opc: recv CTI_ACTIVE_HEART_BEAT_EVENT from %d server %u length %zu",
                     sender, serverNumber, bodyLen));
    } else {
        // The other requests the server writes: their name and their first words.
        std::string words;
        for (size_t at = 0; at + 4 <= bodyLen && at < 32; at += 4)
            words += Format(" %u", LoadLE32(body + at));
        Print(Format("parlo-opc: recv %s from %d server %u length %zu words%s",
                     OpcTypeName(type).c_str(), sender, serverNumber, bodyLen, words.c_str()));
        ServerRequest request;
        std::string error;
        if (ReadServerRequest(type, body, bodyLen, &request, &error)) {
            Print("parlo-opc: fields " + request.Describe());
            for (const Outgoing& answer : agents_.Answer(sender, type, request)) {
                Print(answer.line);
                Send(sender, answer.type, serverNumber, answer.body);
            }
        } else if (error.rfind("no layout", 0) != 0)
            Print(Format("parlo-opc: error: %s from %d: %s", OpcTypeName(type).c_str(), sender,
                         error.c_str()));
    }
    Received(type);
}

void StandIn::OnCsta(uint8_t sender, uint32_t serverNumber, const uint8_t* p, size_t len) {
    CstaRequest req;
    std::string error;
    if (!ReadRequest(p, len, &req, &error)) {
        Print(Format("parlo-opc: error: CTI_CSTA_MESSAGE from %d: %s (no answer)", sender,
                     error.c_str()));
        return;
    }
    const RequestType* rt = FindRequestType(req.eventType);
    Print(Format("parlo-opc: recv CTI_CSTA_MESSAGE from %d server %u class %u type %u %s invoke "
                 "0x%x client 0x%x periph %u call %d dev \"%s\" uii \"%s\" raw %zu opc %zu",
                 sender, serverNumber, req.eventClass, req.eventType, rt ? rt->name : "?",
                 req.invokeID, req.clientInvokeID, req.peripheralID,
                 static_cast<int32_t>(req.connection.callID), req.connection.deviceID.c_str(),
                 req.uniqueInstanceID.c_str(), req.raw.size(), req.opc.size()));
    if (rt) {
        EccNames names;
        {
            std::lock_guard<std::mutex> g(mu_);
            names = eccNames_;
        }
        Print(Format("parlo-opc: csta %s invoke 0x%x ", rt->name, req.invokeID) +
              DescribeCstaRequest(req, names));
    }
    if (rt && req.opc.size() != rt->privateDataSize) {
        Print(Format("parlo-opc: error: CTI_CSTA_MESSAGE from %d: %s carries %zu bytes of "
                     "private data, not %u (no answer)",
                     sender, rt->name, req.opc.size(), rt->privateDataSize));
        return;
    }
    Rule rule;
    uint32_t callID;
    {
        std::lock_guard<std::mutex> g(mu_);
        auto it = rules_.find(req.eventType);
        if (it != rules_.end()) rule = it->second;
        callID = nextCallID_;
    }
    CstaEvent answer;
    switch (rule.kind) {
        case Rule::kNone:
            Print(Format("parlo-opc: no answer to type %u by rule", req.eventType));
            return;
        case Rule::kFailure:
            answer = BuildUniversalFailure(req, rule.error, rule.peripheralError);
            if (rule.hasInvoke) PutLE32(answer.body, 0, rule.invoke);
            break;
        case Rule::kDefault:
        case Rule::kFields:
            if (!rt) {
                Print(Format("parlo-opc: error: CTI_CSTA_MESSAGE from %d: unknown request type "
                             "%u, answered with a universal failure",
                             sender, req.eventType));
                answer = BuildUniversalFailure(req, 1, 0);
                break;
            }
            answer = BuildConfirmation(req, &callID);
            if (rule.kind == Rule::kFields && !rule.form.empty()) {
                std::string why;
                if (!ApplyForm(rule.form, req.eventType, &answer, &why)) {
                    Print("parlo-opc: error: " + why);
                    return;
                }
            }
            if (rule.kind == Rule::kFields) {
                // Offsets of the body are those after the two invoke ids.
                std::vector<uint8_t> own(answer.body.begin() + 8, answer.body.end());
                if (rule.bodyLen >= 0) own.resize(static_cast<size_t>(rule.bodyLen), 0);
                if (rule.rawLen >= 0) answer.raw.resize(static_cast<size_t>(rule.rawLen), 0);
                if (rule.opcLen >= 0) answer.opc.resize(static_cast<size_t>(rule.opcLen), 0);
                if (!rule.body.Apply(own, kMaxEventBody - 8) ||
                    !rule.raw.Apply(answer.raw, kMaxRawData) ||
                    !rule.opc.Apply(answer.opc, kMaxOpcData)) {
                    Print("parlo-opc: error: a chosen field lies beyond its block");
                    return;
                }
                answer.body.resize(8);
                answer.body.insert(answer.body.end(), own.begin(), own.end());
                if (rule.hasInvoke) PutLE32(answer.body, 0, rule.invoke);
                if (rule.hasAs) answer.eventType = rule.as;
            }
            break;
    }
    {
        std::lock_guard<std::mutex> g(mu_);
        if (callID > nextCallID_) nextCallID_ = callID;
    }
    SendEvent(sender, serverNumber, answer);
}

namespace {

// "invoke 0x.. client 0x.. session N status N" for the fields the layout has.
std::string ArmIds(const ArmLayout& l, const ArmMessage& m) {
    std::string s;
    if (l.invokeAt >= 0) s += Format(" invoke 0x%x", m.Word(l.invokeAt));
    if (l.clientAt >= 0) s += Format(" client 0x%x", m.Word(l.clientAt));
    if (l.sessionAt >= 0) s += Format(" session %d", static_cast<int32_t>(m.Word(l.sessionAt)));
    if (l.statusAt >= 0) {
        // The route register cause is a 16-bit field.
        const uint32_t v = l.type == 107 ? static_cast<uint32_t>(static_cast<int16_t>(
                                               LoadLE16(m.fixed.data() + l.statusAt)))
                                         : m.Word(l.statusAt);
        s += Format(" status %d", static_cast<int32_t>(v));
    }
    if (l.uii) s += " uii \"" + m.uniqueInstanceID + "\"";
    return s;
}

}  // namespace

void StandIn::SendArm(uint8_t destination, uint32_t serverNumber, const ArmMessage& m) {
    const ArmLayout* l = FindArmLayout(m.type);
    std::vector<uint8_t> bytes;
    std::string error;
    if (!l || !WriteArm(*l, m, &bytes, &error)) {
        Print("parlo-opc: error: " + ArmTypeName(m.type) + " not sent: " + error);
        return;
    }
    Print(Format("parlo-opc: send %s (%u) to %d%s length %zu", l->name, m.type, destination,
                 ArmIds(*l, m).c_str(), bytes.size()));
    Send(destination, m.type, serverNumber, bytes);
}

void StandIn::OnArm(uint8_t sender, uint32_t serverNumber, const ArmLayout& layout,
                    const uint8_t* p, size_t len) {
    ArmMessage m;
    std::string error;
    if (!ReadArm(layout, p, len, &m, &error)) {
        Print(Format("parlo-opc: error: %s from %d: %s (no answer)", layout.name, sender,
                     error.c_str()));
        return;
    }
    Print(Format("parlo-opc: recv %s (%u) from %d server %u%s length %zu", layout.name,
                 layout.type, sender, serverNumber, ArmIds(layout, m).c_str(), len));
    ArmRule rule;
    std::vector<std::pair<uint32_t, uint32_t>> members;
    std::vector<uint32_t> tasks;
    uint32_t nextTask;
    {
        std::lock_guard<std::mutex> g(mu_);
        auto it = armRules_.find(layout.type);
        if (it != armRules_.end()) rule = it->second;
        if (const int at = ArmPathAt(layout.type); at >= 0) {
            auto byPath = armPathRules_.find({layout.type, m.Word(at)});
            if (byPath != armPathRules_.end()) rule = byPath->second;
        }
        members = members_;
        tasks = tasks_;
        nextTask = nextTask_;
    }
    if (rule.kind == ArmRule::kNone) {
        Print(Format("parlo-opc: no answer to type %u by rule", layout.type));
        return;
    }
    if (rule.kind == ArmRule::kFailure) {
        SendArm(sender, serverNumber, BuildArmFailure(layout, m, rule.hasStatus ? rule.status : 1));
        return;
    }
    if (layout.role == ArmRole::kRequest) {
        ArmMessage answer = BuildArmAnswer(layout, m, members, tasks, &nextTask);
        {
            std::lock_guard<std::mutex> g(mu_);
            nextTask_ = std::max(nextTask_, nextTask);
        }
        const ArmLayout* a = FindArmLayout(answer.type);
        if (rule.hasStatus && a && a->statusAt >= 0) {
            if (a->type == 107) PutLE16(answer.fixed, static_cast<size_t>(a->statusAt),
                                      static_cast<uint16_t>(rule.status));
            else answer.SetWord(a->statusAt, rule.status);
        }
        if (a && !rule.fields.Apply(answer.fixed, a->fixed)) {
            Print("parlo-opc: error: a chosen field lies beyond the fixed part");
            return;
        }
        SendArm(sender, serverNumber, answer);
        return;
    }
    // Follow-ups: the task list of an agent-tasks request, the ready event after an agent
    // initialisation.
    if (layout.type == 116) {
        const uint32_t agent = m.Word(0), session = m.Word(4);
        ArmMessage begin = NewArmMessage(*FindArmLayout(117));
        begin.SetWord(0, agent);
        begin.SetWord(4, session);
        ArmMessage list = NewArmMessage(*FindArmLayout(118));
        list.SetWord(0, session);
        list.SetWord(4, members.empty() ? 1 : members.front().first);
        list.SetWord(8, agent);
        list.list = tasks;
        ArmMessage end = NewArmMessage(*FindArmLayout(120));
        end.SetWord(0, agent);
        end.SetWord(4, session);
        SendArm(sender, serverNumber, begin);
        SendArm(sender, serverNumber, list);
        SendArm(sender, serverNumber, end);
    } else if (layout.type == 82) {
        ArmMessage ready = NewArmMessage(*FindArmLayout(84));
        ready.SetWord(0, 1);  // ReadyCount
        ready.SetWord(4, m.Word(0));
        SendArm(sender, serverNumber, ready);
    }
}

bool StandIn::CmdArmAnswer(const std::vector<std::string>& args, std::string* error) {
    uint32_t type = 0;
    const ArmLayout* l = nullptr;
    if (args.size() < 2 || !ParseNumber(args[1], &type) || !(l = FindArmLayout(type)) ||
        l->role == ArmRole::kFromOpc)
        return *error = "arm-answer needs an ARM or ACMI type that OPC receives", false;
    ArmRule rule;
    bool hasPath = false;
    uint32_t path = 0;
    size_t i = 2;
    if (i < args.size() && (args[i] == "default" || args[i] == "none" || args[i] == "failure")) {
        rule.kind = args[i] == "default" ? ArmRule::kDefault
                    : args[i] == "none"  ? ArmRule::kNone
                                         : ArmRule::kFailure;
        ++i;
    } else {
        rule.kind = ArmRule::kFields;
    }
    for (; i < args.size(); ++i) {
        std::string k, v;
        FieldSet::Field f;
        if (rule.kind == ArmRule::kFields && ParseField(args[i], &f)) {
            rule.fields.fields.push_back(f);
            continue;
        }
        if (KeyValue(args[i], &k, &v) && k == "path" && ArmPathAt(type) >= 0 && ParseNumber(v, &path)) {
            hasPath = true;
            continue;
        }
        if (!KeyValue(args[i], &k, &v) || k != "status" || !ParseNumber(v, &rule.status) ||
            rule.kind == ArmRule::kDefault || rule.kind == ArmRule::kNone)
            return *error = "bad word " + args[i], false;
        rule.hasStatus = true;
    }
    const ArmLayout* a = FindArmLayout(l->answer);
    std::vector<uint8_t> scratch;
    if (!rule.fields.Apply(scratch, a ? a->fixed : 0))
        return *error = "a field lies beyond the answer's fixed part", false;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (hasPath)
            armPathRules_[{static_cast<uint8_t>(type), path}] = rule;
        else
            armRules_[static_cast<uint8_t>(type)] = rule;
    }
    if (hasPath)
        Print(Format("parlo-opc: rule for type %u path %u set", type, path));
    else
        Print(Format("parlo-opc: rule for type %u set", type));
    return true;
}

bool StandIn::CmdArmEvent(const std::vector<std::string>& args, std::string* error) {
    uint32_t type = 0;
    const ArmLayout* l = nullptr;
    if (args.size() < 2 || !ParseNumber(args[1], &type) || !(l = FindArmLayout(type)))
        return *error = "arm-event needs an ARM or ACMI type", false;
    ArmMessage m = NewArmMessage(*l);
    {
        std::lock_guard<std::mutex> g(mu_);
        if (l->list == ArmList::kTasks) m.list = tasks_;
        if (l->list == ArmList::kMembers)
            for (size_t pass = 0; pass < 2; ++pass)
                for (const auto& mp : members_) m.list.push_back(pass ? mp.second : mp.first);
    }
    FieldSet fields;
    for (size_t i = 2; i < args.size(); ++i) {
        std::string k, v;
        FieldSet::Field f;
        if (ParseField(args[i], &f)) {
            fields.fields.push_back(f);
            continue;
        }
        if (!KeyValue(args[i], &k, &v)) return *error = "bad word " + args[i], false;
        if (k.size() >= 2 && k[0] == 't' &&
            k.find_first_not_of("0123456789", 1) == std::string::npos) {
            const size_t n = static_cast<size_t>(std::atoi(k.c_str() + 1));
            if (n < 1 || n > l->texts) return *error = "no text " + k, false;
            m.texts[n - 1] = v;
        } else if (k == "uii" && l->uii) {
            m.uniqueInstanceID = v;
        } else if (k == "ecc" && l->ecc && v.size() % 2 == 0 && v.size() <= 2 * kMaxBody) {
            m.ecc.clear();
            for (size_t c = 0; c < v.size(); c += 2) {
                char* end = nullptr;
                const std::string byte = v.substr(c, 2);
                const long b = std::strtol(byte.c_str(), &end, 16);
                if (*end) return *error = "bad hex in " + args[i], false;
                m.ecc.push_back(static_cast<uint8_t>(b));
            }
        } else if (k == "eccfill" && l->ecc) {
            uint32_t n = 0;
            if (!ParseNumber(v, &n) || n > kMaxEccFill)
                return *error = "bad word " + args[i], false;
            m.ecc.assign(n, 0x5A);
        } else if (k == "tasks" && l->list == ArmList::kTasks) {
            if (!ParseGroups(v, 3, &m.list)) return *error = "bad task list " + v, false;
        } else if (k == "members" && l->list == ArmList::kMembers) {
            std::vector<uint32_t> pairs;
            if (!ParseGroups(v, 2, &pairs)) return *error = "bad member list " + v, false;
            m.list.clear();
            for (size_t pass = 0; pass < 2; ++pass)
                for (size_t j = pass; j < pairs.size(); j += 2) m.list.push_back(pairs[j]);
        } else {
            return *error = "bad word " + args[i], false;
        }
    }
    if (!fields.Apply(m.fixed, l->fixed)) return *error = "a field lies beyond the fixed part", false;
    if (peer_ == 0xFF) return *error = "no peer to send to", false;
    SendArm(peer_, ServerNumber(), m);
    return true;
}

bool StandIn::CmdSetMode(uint8_t type, const std::vector<std::string>& args,
                         std::string* error) {
    SetModeReq r;
    uint32_t server = 1;
    for (size_t i = 1; i < args.size(); ++i) {
        std::string k, v;
        uint32_t n = 0;
        if (!KeyValue(args[i], &k, &v)) return *error = "bad word " + args[i], false;
        if (k == "text") {
            r.text = v;
            continue;
        }
        if (!ParseNumber(v, &n)) return *error = "bad number in " + args[i], false;
        if (k == "server") server = n;
        else if (k == "side") r.side = n;
        else if ((k == "echo" && type == kSetIdleReq) || (k == "hb" && type == kSetActiveReq))
            r.second = n;
        else if (k == "pg") r.pgStatus = n;
        else if (k == "version") r.version = n;
        else if (k == "time") r.opcTime = n;
        else return *error = "unknown key " + k, false;
    }
    if (peer_ == 0xFF) return *error = "no peer to send to", false;
    Print(Format("parlo-opc: send %s to %d server %u side %u %s %u pg %u version %u time %u "
                 "text \"%s\"",
                 OpcTypeName(type).c_str(), peer_, server, r.side,
                 type == kSetIdleReq ? "echo" : "hb", r.second, r.pgStatus, r.version, r.opcTime,
                 r.text.c_str()));
    if (type == kSetIdleReq) {
        std::lock_guard<std::mutex> g(mu_);
        serverNumber_ = server;
    }
    Send(peer_, type, server, WriteSetModeReq(r));
    return true;
}

bool StandIn::CmdAnswer(const std::vector<std::string>& args, std::string* error) {
    uint32_t type = 0;
    if (args.size() < 2 || !ParseNumber(args[1], &type) || type > 0xFFFF)
        return *error = "answer needs a request type", false;
    Rule rule;
    size_t i = 2;
    if (i < args.size() && args[i] == "default") {
        ++i;
    } else if (i < args.size() && args[i] == "none") {
        rule.kind = Rule::kNone;
        ++i;
    } else if (i < args.size() && args[i] == "failure") {
        rule.kind = Rule::kFailure;
        for (++i; i < args.size(); ++i) {
            std::string k, v;
            uint32_t n = 0;
            if (!KeyValue(args[i], &k, &v) || !ParseNumber(v, &n))
                return *error = "bad word " + args[i], false;
            if (k == "error") rule.error = n;
            else if (k == "pec") rule.peripheralError = n;
            else if (k == "invoke") rule.hasInvoke = true, rule.invoke = n;
            else return *error = "unknown key " + k, false;
        }
    } else {
        rule.kind = Rule::kFields;
        for (; i < args.size(); ++i) {
            std::string k, v, w = args[i];
            FieldSet* set = &rule.body;
            if (w.rfind("raw.", 0) == 0) set = &rule.raw, w = w.substr(4);
            else if (w.rfind("opc.", 0) == 0) set = &rule.opc, w = w.substr(4);
            FieldSet::Field f;
            if (ParseField(w, &f)) {
                set->fields.push_back(f);
                continue;
            }
            if (!KeyValue(args[i], &k, &v)) return *error = "bad word " + args[i], false;
            if (ParseFormWord(k, v, &rule.form, error)) {
                if (!error->empty()) return false;
                continue;
            }
            uint32_t n = 0;
            if (!ParseNumber(v, &n)) return *error = "bad word " + args[i], false;
            if (k == "bodylen" && n <= kMaxEventBody - 8) rule.bodyLen = n;
            else if (k == "rawlen" && n <= kMaxRawData) rule.rawLen = n;
            else if (k == "opclen" && n <= kMaxOpcData) rule.opcLen = n;
            else if (k == "invoke") rule.hasInvoke = true, rule.invoke = n;
            else if (k == "as" && n <= 0xFFFF) rule.hasAs = true, rule.as = static_cast<uint16_t>(n);
            else return *error = "bad word " + args[i], false;
        }
    }
    if (i < args.size()) return *error = "bad word " + args[i], false;
    std::vector<uint8_t> scratch;
    if (!rule.body.Apply(scratch, kMaxEventBody - 8) || !rule.raw.Apply(scratch, kMaxRawData) ||
        !rule.opc.Apply(scratch, kMaxOpcData))
        return *error = "a field lies beyond its block", false;
    if (!rule.form.empty()) {
        CstaEvent check;
        if (!ApplyForm(rule.form, static_cast<uint16_t>(type), &check, error)) return false;
    }
    {
        std::lock_guard<std::mutex> g(mu_);
        rules_[static_cast<uint16_t>(type)] = rule;
    }
    Print(Format("parlo-opc: rule for type %u set", type));
    return true;
}

bool StandIn::CmdEvent(const std::vector<std::string>& args, std::string* error) {
    uint32_t cls = 0, type = 0;
    if (args.size() < 3 || !ParseNumber(args[1], &cls) || cls > 0xFFFF)
        return *error = "event needs a class and a type", false;
    auto named = EventTypeNames().find(args[2]);
    if (named != EventTypeNames().end()) type = named->second;
    else if (!ParseNumber(args[2], &type) || type > 0xFFFF)
        return *error = "bad event type " + args[2], false;
    CstaEvent e;
    e.eventClass = static_cast<uint16_t>(cls);
    e.eventType = static_cast<uint16_t>(type);
    FieldSet body, raw, opc;
    long bodyLen = 4, rawLen = -1, opcLen = -1;  // the body starts with a monitor id
    bool si = false, rti = false;
    ServiceInitiatedPD sipd;
    RecordingTargetInfoPD rtipd;
    for (size_t i = 3; i < args.size(); ++i) {
        std::string w = args[i], k, v;
        FieldSet* set = &body;
        if (w.rfind("raw.", 0) == 0) set = &raw, w = w.substr(4);
        else if (w.rfind("opc.", 0) == 0) set = &opc, w = w.substr(4);
        FieldSet::Field f;
        if (ParseField(w, &f)) {
            set->fields.push_back(f);
            continue;
        }
        if (!KeyValue(args[i], &k, &v)) return *error = "bad word " + args[i], false;
        if (k == "ecc") {
            if (v.size() % 2 || v.size() > 2 * kMaxEcc) return *error = "bad ecc " + v, false;
            e.ecc.clear();
            for (size_t j = 0; j < v.size(); j += 2) {
                uint32_t b = 0;
                if (!ParseNumber("0x" + v.substr(j, 2), &b)) return *error = "bad hex in ecc", false;
                e.ecc.push_back(static_cast<uint8_t>(b));
            }
            continue;
        }
        // Strings first: they take any text.
        if (k.size() >= 2 && k[0] == 's' && k.find_first_not_of("0123456789", 1) ==
                                                std::string::npos) {
            const int n = std::atoi(k.c_str() + 1);
            if (n < 1 || n > static_cast<int>(kEventStrings))
                return *error = "no string " + k, false;
            if (n == static_cast<int>(kEccPosition))
                return *error = "position 17 is the ECC block: ecc=HEX", false;
            e.strings[n - 1] = v;
            continue;
        }
        if (k == "si.agext") { sipd.agentExtension = v; si = true; continue; }
        if (k == "si.corr") { sipd.corrData = v; si = true; continue; }
        if (k == "si.cocdev") { sipd.coc.deviceID = v; si = true; continue; }
        static const char* const rtiStrings[] = {"rti.corr", "rti.s2", "rti.addr", "rti.term",
                                                 "rti.mfdname", "rti.guid", "rti.cluster",
                                                 "rti.uri", "rti.err"};
        bool done = false;
        for (size_t s = 0; s < 9; ++s)
            if (k == rtiStrings[s]) {
                rtipd.strings[s] = v;
                rti = done = true;
            }
        if (done) continue;
        uint32_t n = 0;
        if (!ParseNumber(v, &n)) return *error = "bad number in " + args[i], false;
        const struct { const char* key; uint32_t* at; bool* pd; } numbers[] = {
            {"periph", &e.peripheralID, nullptr},
            {"call", &e.callID, nullptr},
            {"stid", &e.skillTargetID, nullptr},
            {"devtype", &e.connectionDeviceIDType, nullptr},
            {"mrd", &e.mrDomainID, nullptr},
            {"si.sg", &sipd.skillGroup, &si},
            {"si.line", &sipd.line, &si},
            {"si.linetype", &sipd.lineType, &si},
            {"si.dev", &sipd.device, &si},
            {"si.coccall", &sipd.coc.callID, &si},
            {"si.cocdevtype", &sipd.coc.deviceIDType, &si},
            {"si.agstid", &sipd.agentSkillTargetID, &si},
            {"si.key1", &sipd.routerCallKey[0], &si},
            {"si.key2", &sipd.routerCallKey[1], &si},
            {"rti.line", &rtipd.line, &rti},
            {"rti.linetype", &rtipd.lineType, &rti},
            {"rti.rectype", &rtipd.recordingType, &rti},
            {"rti.mfdtype", &rtipd.mediaForkingDeviceType, &rti},
            {"rti.rtype", &rtipd.recorderType, &rti},
            {"rti.rstatus", &rtipd.recorderStatus, &rti},
        };
        for (const auto& num : numbers)
            if (k == num.key) {
                *num.at = n;
                if (num.pd) *num.pd = true;
                done = true;
            }
        if (done) continue;
        if (k == "ptype") e.peripheralType = static_cast<uint16_t>(n);
        else if (k == "taskbegun") e.taskBegun = static_cast<uint16_t>(n);
        else if (k == "disp") e.disposition = static_cast<uint16_t>(n);
        else if (k == "appdisp") e.applicationDisposition = static_cast<uint16_t>(n);
        else if (k == "hperiph") e.headerPeripheralID = static_cast<uint16_t>(n);
        else if (k.rfind("area", 0) == 0 && k.size() > 4 &&
                 std::atoi(k.c_str() + 4) < static_cast<int>(e.area.size()) &&
                 k.find_first_not_of("0123456789", 4) == std::string::npos)
            e.area[std::atoi(k.c_str() + 4)] = n;
        else if (k == "bodylen" && n <= kMaxEventBody) bodyLen = n;
        else if (k == "rawlen" && n <= kMaxRawData) rawLen = n;
        else if (k == "opclen" && n <= kMaxOpcData) opcLen = n;
        else if (k == "ecclen") e.eccLength = n;
        else return *error = "bad word " + args[i], false;
    }
    if (si && rti) return *error = "si.* and rti.* in one event", false;
    if (si) e.opc = WriteServiceInitiatedPD(sipd);
    if (rti) e.opc = WriteRecordingTargetInfoPD(rtipd);
    if (e.headerPeripheralID == 0) e.headerPeripheralID = static_cast<uint16_t>(e.peripheralID);
    e.body.assign(static_cast<size_t>(bodyLen), 0);
    if (rawLen >= 0) e.raw.resize(static_cast<size_t>(rawLen), 0);
    if (opcLen >= 0) e.opc.resize(static_cast<size_t>(opcLen), 0);
    if (!body.Apply(e.body, kMaxEventBody) || !raw.Apply(e.raw, kMaxRawData) ||
        !opc.Apply(e.opc, kMaxOpcData))
        return *error = "a field lies beyond its block", false;
    if (peer_ == 0xFF) return *error = "no peer to send to", false;
    SendEvent(peer_, ServerNumber(), e);
    return true;
}

bool StandIn::WaitMatch(const std::function<bool(uint8_t)>& match, int64_t ms) {
    std::unique_lock<std::mutex> lock(mu_);
    auto find = [&] {
        for (auto it = unconsumed_.begin(); it != unconsumed_.end(); ++it)
            if (match(*it)) {
                unconsumed_.erase(it);
                return true;
            }
        return false;
    };
    return plat::WaitUntil(cv_, lock, plat::DeadlineAfterMs(ms), find);
}

bool StandIn::RunStart(const StartOptions& o) {
    auto isAck = [](uint8_t t) { return t == kOkAck || t == kErrorAck; };
    const std::string side = " side=" + std::to_string(o.side);
    // The server may come up after us: repeat the set-idle until it is answered.
    bool idle = false;
    for (uint32_t i = 0; i < o.idleTries && !idle; ++i) {
        RunLine("set-idle server=" + std::to_string(o.serverNumber) + side + " text=start", 0);
        idle = WaitMatch(isAck, o.retryMs);
    }
    if (!idle) {
        Print("parlo-opc: start: no answer to the set-idle");
        return false;
    }
    RunLine("config 11 peripheral=" + std::to_string(o.peripheralID) + "/" +
                std::to_string(o.clientType) + "/0/0",
            0);
    RunLine("config 0", 0);
    RunLine("set-active" + side + " hb=" + std::to_string(o.hbSeconds), 0);
    if (!WaitMatch(isAck, o.ackWaitMs)) {
        Print("parlo-opc: start: no answer to the set-active");
        return false;
    }
    RunLine("heartbeat " + std::to_string(o.heartbeatMs), 0);
    Print("parlo-opc: start done");
    return true;
}

bool StandIn::CmdWait(const std::vector<std::string>& args, std::string* error) {
    if (args.size() < 2) return *error = "wait needs a message", false;
    const std::string& what = args[1];
    std::function<bool(uint8_t)> match;
    uint32_t type = 0;
    if (what == "ok-ack") match = [](uint8_t t) { return t == kOkAck; };
    else if (what == "error-ack") match = [](uint8_t t) { return t == kErrorAck; };
    else if (what == "ack") match = [](uint8_t t) { return t == kOkAck || t == kErrorAck; };
    else if (what == "csta") match = [](uint8_t t) { return t == kCstaMessage; };
    else if (what == "active-hb") match = [](uint8_t t) { return t == kActiveHeartBeat; };
    else if (ParseNumber(what, &type) && type < 256)
        match = [type](uint8_t t) { return t == type; };
    else return *error = "bad message " + what, false;
    int64_t ms = kDefaultWaitMs;
    for (size_t i = 2; i < args.size(); ++i) {
        std::string k, v;
        uint32_t n = 0;
        if (!KeyValue(args[i], &k, &v) || k != "timeout" || !ParseNumber(v, &n))
            return *error = "bad word " + args[i], false;
        ms = n;
    }
    const bool got = WaitMatch(match, ms);
    Print(got ? "parlo-opc: wait " + what + " done"
              : Format("parlo-opc: wait %s timed out after %lld ms", what.c_str(),
                       static_cast<long long>(ms)));
    return true;
}

bool StandIn::RunLine(const std::string& line, int lineNo) {
    std::vector<std::string> args;
    std::string error;
    bool ok = true;
    if (!SplitWords(line, &args)) {
        ok = false;
        error = "unterminated quote";
    } else if (args.empty()) {
        return true;
    } else if (args[0] == "exit") {
        Print("parlo-opc: exit");
        return false;
    } else if (args[0] == "set-idle") {
        ok = CmdSetMode(kSetIdleReq, args, &error);
    } else if (args[0] == "set-active") {
        ok = CmdSetMode(kSetActiveReq, args, &error);
    } else if (args[0] == "time") {
        ok = CmdTime(args, &error);
    } else if (args[0] == "heartbeat") {
        ok = CmdHeartbeat(args, &error);
    } else if (args[0] == "config") {
        ok = CmdConfig(args, &error);
    } else if (args[0] == "maintenance") {
        ok = CmdMaintenance(kMaintenanceRequest, args, &error);
    } else if (args[0] == "maintenance-in-progress") {
        ok = CmdMaintenance(kMaintenanceInProgress, args, &error);
    } else if (args[0] == "answer") {
        ok = CmdAnswer(args, &error);
    } else if (args[0] == "event") {
        ok = CmdEvent(args, &error);
    } else if (args[0] == "arm-answer") {
        ok = CmdArmAnswer(args, &error);
    } else if (args[0] == "arm-event") {
        ok = CmdArmEvent(args, &error);
    } else if (args[0] == "arm-members" || args[0] == "arm-tasks") {
        const bool members = args[0] == "arm-members";
        std::vector<uint32_t> words;
        if (args.size() != 2 || !ParseGroups(args[1], members ? 2 : 3, &words)) {
            ok = false;
            error = "bad list";
        } else {
            std::lock_guard<std::mutex> g(mu_);
            if (members) {
                members_.clear();
                for (size_t j = 0; j < words.size(); j += 2)
                    members_.emplace_back(words[j], words[j + 1]);
            } else {
                tasks_ = words;
            }
        }
    } else if (AgentSide::Takes(args[0])) {
        std::vector<Outgoing> out;
        ok = agents_.RunCommand(args, &out, &error);
        if (ok && !out.empty() && peer_ == 0xFF) {
            ok = false;
            error = "no peer to send to";
        } else if (ok && out.empty()) {
            Print("parlo-opc: " + args[0] + " set");
        }
        if (ok)
            SendInOrder(out, [this](const Outgoing& o) {
                Print(Format("%s to %d", o.line.c_str(), peer_));
                Send(peer_, o.type, ServerNumber(), o.body);
            });
    } else if (args[0] == "wait") {
        ok = CmdWait(args, &error);
    } else if (args[0] == "sleep") {
        uint32_t ms = 0;
        if (args.size() != 2 || !ParseNumber(args[1], &ms)) {
            ok = false;
            error = "sleep needs milliseconds";
        } else {
            plat::SleepForMs(ms);
        }
    } else {
        ok = false;
        error = "unknown command " + args[0];
    }
    if (!ok) Print(Format("parlo-opc: script line %d: %s", lineNo, error.c_str()));
    return true;
}

bool StandIn::RunScript(std::istream& in) {
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        if (!RunLine(line, ++n)) return false;
    Print("parlo-opc: script done");
    return true;
}

}  // namespace opcpeer
