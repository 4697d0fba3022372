#include "peers/opc/csta_fields.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace opcpeer {

namespace {

enum class Kind { kConn, kText, kSecret, kU32, kI32, kU16, kI16, kI8, kCallVars, kUserToUser,
                  kEcc, kGroups };

// One field: in the body (the 356 bytes after the two invoke ids) or in the typed private
// data, at `offset`, of `width` bytes for texts.
struct Field {
    const char* name;
    bool pd;
    size_t offset;
    Kind kind;
    size_t width = 0;
};

struct Layout {
    uint16_t type;
    std::vector<Field> fields;
};

Field Body(const char* name, size_t at, Kind kind, size_t width = 0) {
    return {name, false, at, kind, width};
}
Field PD(const char* name, size_t at, Kind kind, size_t width = 0) {
    return {name, true, at, kind, width};
}

std::vector<Field> Agent(bool supervisor) {
    std::vector<Field> f = {PD("AGExt", 0, Kind::kText, 16), PD("AGID", 16, Kind::kText, 32),
                            PD("AGInst", 48, Kind::kText, 64)};
    if (supervisor) f.push_back(PD("SupervisorInstrument", 112, Kind::kText, 64));
    return f;
}

// The private data shared by the five call-placing types; -1 where a type lacks the field.
// Columns: conference, consultation, make call, make predictive call, transfer.
std::vector<Field> Placing(int column) {
    struct Row {
        const char* name;
        Kind kind;
        size_t width;
        int at[5];
    };
    static const Row rows[] = {
        {"CallPlacement", Kind::kU32, 0, {0, 0, 0, 0, 0}},
        {"CallManner", Kind::kU32, 0, {4, 4, 4, 4, 4}},
        {"ConsultType", Kind::kU32, 0, {-1, 8, 8, -1, 8}},
        {"AlertRings", Kind::kI16, 0, {8, 12, 12, 8, 12}},
        {"CallOption", Kind::kU32, 0, {12, 16, 16, 12, 16}},
        {"FacilityType", Kind::kU32, 0, {16, 20, 20, 16, 20}},
        {"AnsMachTreat", Kind::kU32, 0, {20, 24, 24, 20, 24}},
        {"Priority", Kind::kU16, 0, {24, 28, 28, 24, 28}},
        {"PostRoute", Kind::kU16, 0, {26, 30, 30, -1, 30}},
        {"DestinationCountry", Kind::kU32, 0, {-1, -1, -1, 28, -1}},
        {"AnswerDetectMode", Kind::kU32, 0, {-1, -1, -1, 32, -1}},
        {"AnswerDetectTime", Kind::kI16, 0, {-1, -1, -1, 36, -1}},
        {"AnswerDetectControl1", Kind::kI32, 0, {-1, -1, -1, 40, -1}},
        {"AnswerDetectControl2", Kind::kI32, 0, {-1, -1, -1, 44, -1}},
        {"CallVariable", Kind::kCallVars, 0, {28, 32, 32, 48, 32}},
        {"UserToUser", Kind::kUserToUser, 0, {438, 442, 442, 458, 442}},
        {"WrapupData", Kind::kText, 40, {573, 577, 577, 593, 577}},
        {"FacilityCode", Kind::kText, 40, {613, 617, 617, 633, 617}},
        {"AuthorizationCode", Kind::kText, 40, {653, 657, 657, 673, 657}},
        {"AccountCode", Kind::kText, 40, {693, 697, 697, 713, 697}},
        {"DialedNumber", Kind::kText, 64, {733, -1, -1, -1, 744}},
        {"CallingDevice", Kind::kText, 64, {-1, 737, -1, -1, -1}},
        {"OriginatingLineID", Kind::kText, 40, {-1, -1, -1, 753, -1}},
        {"CCT", Kind::kText, 16, {804, -1, 744, 793, -1}},
        {"ECC", Kind::kEcc, 0, {820, 804, 760, 812, 808}},
    };
    std::vector<Field> f;
    for (const Row& r : rows)
        if (r.at[column] >= 0) f.push_back(PD(r.name, static_cast<size_t>(r.at[column]), r.kind, r.width));
    return f;
}

std::vector<Field> Join(std::vector<Field> a, const std::vector<Field>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<Layout>& Layouts() {
    static const std::vector<Layout> layouts = {
        {1, {Body("ActiveCall", 0, Kind::kConn), Body("OtherCall", 72, Kind::kConn),
             PD("AnsweringDevice", 0, Kind::kText, 64)}},
        {3, {Body("AlertingCall", 0, Kind::kConn), PD("AnsweringDevice", 0, Kind::kText, 64)}},
        {7, {Body("Call", 0, Kind::kConn), PD("SubjectDevice", 0, Kind::kText, 64)}},
        {9, {Body("Call", 0, Kind::kConn), PD("CompoundRequestType", 0, Kind::kI32),
             PD("SubjectDevice", 4, Kind::kText, 64)}},
        {11, Join({Body("HeldCall", 0, Kind::kConn), Body("ActiveCall", 72, Kind::kConn)}, Placing(0))},
        {13, Join({Body("ActiveCall", 0, Kind::kConn), Body("CalledDevice", 72, Kind::kText, 64)},
                  Placing(1))},
        {15, {Body("DeflectCall", 0, Kind::kConn), Body("CalledDevice", 72, Kind::kText, 64),
              PD("AgentInstrument", 0, Kind::kText, 64)}},
        {21, {Body("ActiveCall", 0, Kind::kConn), Body("Reservation", 72, Kind::kI8),
              PD("CompoundRequestType", 0, Kind::kI32)}},
        {23, Join({Body("CallingDevice", 0, Kind::kText, 64), Body("CalledDevice", 64, Kind::kText, 64)},
                  Placing(2))},
        {25, Join({Body("CallingDevice", 0, Kind::kText, 64), Body("CalledDevice", 64, Kind::kText, 64),
                   Body("AllocationState", 128, Kind::kU32)},
                  Placing(3))},
        {37, {Body("Device", 0, Kind::kText, 64), PD("DataRequest", 0, Kind::kU32)}},
        {39, {Body("ActiveCall", 0, Kind::kConn), Body("HeldCall", 72, Kind::kConn)}},
        {41, {Body("HeldCall", 0, Kind::kConn)}},
        {49, {Body("Device", 0, Kind::kText, 64), Body("AgentMode", 64, Kind::kU32),
              Body("AgentID", 68, Kind::kText, 32), Body("AgentGroup", 100, Kind::kText, 64),
              Body("AgentPassword", 164, Kind::kSecret, 64), Body("TerminalName", 228, Kind::kText, 64),
              Body("SSOEnabled", 292, Kind::kU16), PD("EventReasonCode", 0, Kind::kU32),
              PD("WorkMode", 4, Kind::kU32), PD("NumAdditionalGroups", 8, Kind::kU32),
              PD("NumHandledCalls", 12, Kind::kU32), PD("PositionID", 16, Kind::kText, 32),
              PD("SupervisorID", 48, Kind::kText, 32), PD("ClientAddress", 80, Kind::kText, 64),
              PD("AdditionalGroups", 144, Kind::kGroups)}},
        {51, Join({Body("HeldCall", 0, Kind::kConn), Body("ActiveCall", 72, Kind::kConn)}, Placing(4))},
        {120, {Body("SnapshotObject", 0, Kind::kConn)}},
        {122, {Body("SnapshotObject", 0, Kind::kText, 64)}},
        {130, {Body("TransferParty", 0, Kind::kConn), Body("ReceiveParty", 72, Kind::kConn),
               Body("DTMFSequence", 144, Kind::kText, 64), Body("ToneDuration", 208, Kind::kI32),
               Body("PauseDuration", 212, Kind::kI32)}},
        {134, Join({Body("Call", 0, Kind::kConn)}, Agent(false))},
        {137, Join({Body("Call", 0, Kind::kConn)}, Agent(false))},
        {140, Join({Body("AgentCall", 0, Kind::kConn), Body("SupervisorCall", 72, Kind::kConn),
                    Body("Action", 144, Kind::kU16)},
                   Agent(true))},
        {160, {Body("Action", 0, Kind::kU32), Body("AgentID", 4, Kind::kText, 32)}},
        {209, {Body("ActiveCall", 0, Kind::kConn), PD("PlayToneDirection", 0, Kind::kI32),
               PD("InvocationType", 4, Kind::kI32), PD("InitiatingDevice", 8, Kind::kText, 64)}},
        {211, {Body("ActiveCall", 0, Kind::kConn), PD("InvocationType", 0, Kind::kI32),
               PD("InitiatingDevice", 4, Kind::kText, 64)}},
    };
    return layouts;
}

std::string Quoted(const uint8_t* p, size_t width) {
    std::string s = "\"";
    for (size_t i = 0; i < width && p[i]; ++i) {
        const uint8_t c = p[i];
        if (c == '"' || c == '\\') {
            s += '\\';
            s += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            char b[5];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            s += b;
        } else {
            s += static_cast<char>(c);
        }
    }
    return s + "\"";
}

std::string Connection(const uint8_t* p) {
    return "(" + std::to_string(static_cast<int32_t>(LoadLE32(p))) + "," + Quoted(p + 4, kDeviceIDSize) +
           "," + std::to_string(LoadLE32(p + 68)) + ")";
}

// The width a field takes in its block.
size_t WidthOf(const Field& f) {
    switch (f.kind) {
        case Kind::kConn: return kConnectionIDSize;
        case Kind::kText:
        case Kind::kSecret: return f.width;
        case Kind::kU32:
        case Kind::kI32: return 4;
        case Kind::kU16:
        case Kind::kI16: return 2;
        case Kind::kI8: return 1;
        case Kind::kCallVars: return 410;
        case Kind::kUserToUser: return 4 + 131;
        case Kind::kEcc: return 4 + kMaxEcc;
        case Kind::kGroups: return 19 * 32;
    }
    return 0;
}

}  // namespace

bool DescribeBindata(const uint8_t* p, size_t n, const EccNames& names, std::string* out) {
    auto nameOf = [&](int32_t id) {
        auto it = names.find(id);
        return it != names.end() ? it->second : "#" + std::to_string(id);
    };
    // One NUL-terminated value at *at, within n.
    auto value = [&](size_t* at, std::string* v) {
        const void* nul = std::memchr(p + *at, 0, n - *at);
        if (!nul) return false;
        const size_t len = static_cast<size_t>(static_cast<const uint8_t*>(nul) - (p + *at));
        *v = Quoted(p + *at, len);
        *at += len + 1;
        return true;
    };
    size_t at = 0;
    while (at < n) {
        if (n - at < 4) return false;
        const int32_t id = static_cast<int32_t>(LoadLE32(p + at));
        at += 4;
        std::string v;
        if (id > 0) {
            if (!value(&at, &v)) return false;
            if (id != 0x7FFFFFFF) *out += " ECC." + nameOf(id) + "=" + v;
            continue;
        }
        if (at >= n) return false;
        const size_t count = p[at++];
        for (size_t i = 0; i < count; ++i) {
            if (at >= n || !value(&at, &v)) return false;
            if (static_cast<uint32_t>(id) != 0x80000000u)
                *out += " ECC." + nameOf(-id) + "[" + std::to_string(i) + "]=" + v;
        }
    }
    return true;
}

std::string DescribeCstaRequest(const CstaRequest& r, const EccNames& names) {
    const Layout* layout = nullptr;
    for (const Layout& l : Layouts())
        if (l.type == r.eventType) layout = &l;
    if (!layout) return "";
    std::string s;
    for (const Field& f : layout->fields) {
        const std::vector<uint8_t>& block = f.pd ? r.opc : r.body;
        const size_t width = WidthOf(f);
        if (f.offset > block.size() || block.size() - f.offset < std::min<size_t>(width, 4)) {
            s += std::string(" ") + f.name + "=(absent)";
            continue;
        }
        // A field that the block ends inside is read as far as the block goes.
        const uint8_t* p = block.data() + f.offset;
        const size_t room = block.size() - f.offset;
        std::string v;
        switch (f.kind) {
            case Kind::kConn:
                v = room < kConnectionIDSize ? "(cut)" : Connection(p);
                break;
            case Kind::kText: v = Quoted(p, std::min(f.width, room)); break;
            case Kind::kSecret:
                v = "(" + std::to_string(strnlen(reinterpret_cast<const char*>(p), std::min(f.width, room))) +
                    " characters)";
                break;
            case Kind::kU32: v = std::to_string(LoadLE32(p)); break;
            case Kind::kI32: v = std::to_string(static_cast<int32_t>(LoadLE32(p))); break;
            case Kind::kU16: v = std::to_string(LoadLE16(p)); break;
            case Kind::kI16: v = std::to_string(static_cast<int16_t>(LoadLE16(p))); break;
            case Kind::kI8: v = std::to_string(static_cast<int8_t>(p[0])); break;
            case Kind::kCallVars:
                for (size_t i = 0; i < 10 && 41 * i < room; ++i)
                    s += " CallVariable" + std::to_string(i + 1) + "=" +
                         Quoted(p + 41 * i, std::min<size_t>(41, room - 41 * i));
                continue;
            case Kind::kUserToUser: {
                const size_t n = LoadLE16(p);
                s += " UserToUserLength=" + std::to_string(n) +
                     Format(" UserToUserMark=0x%x", LoadLE16(p + 2));
                s += " UserToUser=" + HexOf(p + 4, std::min({n, size_t{131}, room - 4}));
                continue;
            }
            case Kind::kEcc: {
                const size_t n = LoadLE32(p);
                s += " ECCSize=" + std::to_string(n);
                const size_t have = std::min({n, kMaxEcc, room - 4});
                std::string vars;
                if (DescribeBindata(p + 4, have, names, &vars) && have == n)
                    s += vars;
                else
                    s += " ECC=" + HexOf(p + 4, have);
                continue;
            }
            case Kind::kGroups: {
                uint32_t count = 0;
                if (r.opc.size() >= 12) count = LoadLE32(r.opc.data() + 8);
                std::string list;
                for (size_t i = 0; i < count && i < 19 && 32 * (i + 1) <= room; ++i)
                    list += (i ? "," : "") + Quoted(p + 32 * i, 32);
                v = "[" + list + "]";
                break;
            }
        }
        s += std::string(" ") + f.name + "=" + v;
    }
    return s.empty() ? s : s.substr(1);
}

namespace {

// "a/b/c,d/e/f" into groups of words split at '/'; the group count and sizes are the
// caller's to check.
std::vector<std::vector<std::string>> Groups(const std::string& text) {
    std::vector<std::vector<std::string>> groups;
    if (text.empty() || text == "none") return groups;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        std::vector<std::string> words;
        const std::string g = text.substr(start, end - start);
        size_t from = 0;
        for (;;) {
            const size_t slash = g.find('/', from);
            words.push_back(g.substr(from, slash == std::string::npos ? std::string::npos : slash - from));
            if (slash == std::string::npos) break;
            from = slash + 1;
        }
        groups.push_back(std::move(words));
        start = end + 1;
    }
    return groups;
}

bool Number(const std::string& s, uint32_t* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 0);
    if (*end || v < -2147483648LL || v > 0xFFFFFFFFLL) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// CID/DEV/TYPE from three words.
bool ConnectionOf(const std::vector<std::string>& w, size_t at, ConnectionID* c) {
    if (w.size() < at + 3 || w[at + 1].size() > kDeviceIDSize) return false;
    c->deviceID = w[at + 1];
    return Number(w[at], &c->callID) && Number(w[at + 2], &c->deviceIDType);
}

}  // namespace

bool ParseFormWord(const std::string& key, const std::string& value, AnswerForm* form,
                   std::string* error) {
    auto bad = [&] { *error = "bad " + key + " " + value; return true; };
    uint32_t n = 0;
    if (key == "parties") {
        // CID/DEV/TYPE/STATE,...
        form->hasParties = true;
        form->parties.clear();
        for (const auto& g : Groups(value)) {
            AnswerForm::Party p;
            if (g.size() != 4 || !ConnectionOf(g, 0, &p.connection) || !Number(g[3], &p.state)) return bad();
            form->parties.push_back(p);
        }
    } else if (key == "entries") {
        // CID/DEV/TYPE/STATES/SM,... where STATES is S1+S2... or - for none.
        form->hasEntries = true;
        form->entries.clear();
        for (const auto& g : Groups(value)) {
            AnswerForm::Entry e;
            if (g.size() != 5 || !ConnectionOf(g, 0, &e.connection) || !Number(g[4], &e.silentMonitor))
                return bad();
            if (g[3] != "-") {
                size_t from = 0;
                for (;;) {
                    const size_t plus = g[3].find('+', from);
                    uint32_t state = 0;
                    if (!Number(g[3].substr(from, plus == std::string::npos ? std::string::npos : plus - from),
                                &state))
                        return bad();
                    e.states.push_back(state);
                    if (plus == std::string::npos) break;
                    from = plus + 1;
                }
            }
            form->entries.push_back(std::move(e));
        }
    } else if (key == "lines") {
        // HANDLE/TYPE,...
        form->hasLines = true;
        form->lines.clear();
        for (const auto& g : Groups(value)) {
            uint32_t h = 0, t = 0;
            if (g.size() != 2 || !Number(g[0], &h) || !Number(g[1], &t)) return bad();
            form->lines.emplace_back(h, t);
        }
    } else if (key == "services") {
        form->hasServices = true;
        form->services.clear();
        for (const auto& g : Groups(value)) {
            uint32_t s = 0;
            if (g.size() != 1 || !Number(g[0], &s)) return bad();
            form->services.push_back(s);
        }
    } else if (key == "coc") {
        const auto g = Groups(value);
        if (g.size() != 1 || !ConnectionOf(g[0], 0, &form->coc) || g[0].size() != 3) return bad();
        form->hasCoc = true;
    } else if (key == "guid" || key == "tessaly") {
        if (value.size() > (key == "guid" ? 63u : 39u)) return bad();
        (key == "guid" ? form->guid : form->tessaly) = value;
    } else if (key == "numlines" || key == "calltype" || key == "calltypeid" || key == "recording") {
        if (!Number(value, &n)) return bad();
        if (key == "numlines") form->hasNumLines = true, form->numLines = n;
        else if (key == "calltype") form->hasCallType = true, form->callType = n;
        else if (key == "calltypeid") form->hasCallTypeID = true, form->callTypeID = n;
        else form->hasRecording = true, form->recording = n;
    } else {
        return false;
    }
    return true;
}

bool ApplyForm(const AnswerForm& form, uint16_t requestType, CstaEvent* answer, std::string* error) {
    constexpr size_t kConf = 8;  // the answer's own fields follow the two invoke ids
    auto fail = [&](const std::string& why) { *error = why; return false; };
    const bool call = form.hasParties || form.hasCallType || form.hasCallTypeID || form.hasCoc ||
                      form.hasRecording || !form.guid.empty() || !form.tessaly.empty() ||
                      form.hasServices;
    const bool device = form.hasEntries;
    const bool query = form.hasLines || form.hasNumLines;
    if ((call && requestType != 120) || (device && requestType != 122) || (query && requestType != 37))
        return fail("the form does not belong to an answer of type " + std::to_string(requestType));
    if (call) {
        if (form.hasParties) {
            // Entries of 148 bytes: a static device (not read), the party, its state.
            std::vector<uint8_t> raw;
            for (const auto& p : form.parties) {
                const size_t at = raw.size();
                PutText(raw, at, kDeviceIDSize, p.connection.deviceID);
                PutConnection(raw, at + 72, p.connection);
                PutLE32(raw, at + 144, p.state);
            }
            if (raw.size() > kMaxRawData) return fail("the parties do not fit the raw private data");
            answer->raw = std::move(raw);
            PutLE32(answer->body, kConf, static_cast<uint32_t>(form.parties.size()));
            PutLE32(answer->body, kConf + 4, 0);
        }
        std::vector<uint8_t>& pd = answer->opc;
        if (pd.size() < 320) pd.resize(320, 0);
        if (form.hasCallType) PutLE32(pd, 0, form.callType);
        if (form.hasCallTypeID) PutLE32(pd, 4, form.callTypeID);
        if (form.hasCoc) PutConnection(pd, 8, form.coc);
        if (form.hasRecording) PutLE32(pd, 80, form.recording);
        if (!form.guid.empty()) PutText(pd, 84, 64, form.guid);
        if (!form.tessaly.empty()) PutText(pd, 148, 40, form.tessaly);
        if (form.hasServices) {
            PutLE32(pd, 188, static_cast<uint32_t>(form.services.size()));
            for (size_t i = 0; i < form.services.size() && i < 32; ++i) PutLE32(pd, 192 + 4 * i, form.services[i]);
        }
    }
    if (device) {
        // The entries first, then each entry's state list: offsets count from the raw data's
        // first byte.
        std::vector<uint8_t> raw(84 * form.entries.size(), 0);
        for (size_t i = 0; i < form.entries.size(); ++i) {
            const auto& e = form.entries[i];
            const size_t at = 84 * i;
            PutConnection(raw, at, e.connection);
            PutLE32(raw, at + 72, static_cast<uint32_t>(e.states.size()));
            PutLE32(raw, at + 76, e.states.empty() ? 0 : static_cast<uint32_t>(raw.size()));
            PutLE32(raw, at + 80, e.silentMonitor);
            for (uint32_t s : e.states) PutLE32(raw, raw.size(), s);
        }
        if (raw.size() > kMaxRawData) return fail("the entries do not fit the raw private data");
        answer->raw = std::move(raw);
        PutLE32(answer->body, kConf, static_cast<uint32_t>(form.entries.size()));
        PutLE32(answer->body, kConf + 4, 0);
    }
    if (query) {
        std::vector<uint8_t>& pd = answer->opc;
        if (pd.size() < 960) pd.resize(960, 0);
        if (form.hasLines) {
            for (size_t i = 0; i < 10; ++i) {
                const bool given = i < form.lines.size();
                PutLE32(pd, 44 + 4 * i, given ? form.lines[i].first : 0xFFFFFFFF);
                PutLE32(pd, 84 + 4 * i, given ? form.lines[i].second : 3);
            }
            PutLE32(pd, 4, static_cast<uint32_t>(form.lines.size()));
        }
        if (form.hasNumLines) PutLE32(pd, 4, form.numLines);
    }
    return true;
}

}  // namespace opcpeer
