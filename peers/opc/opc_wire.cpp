#include "peers/opc/opc_wire.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace opcpeer {

std::string Format(const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string HexOf(const uint8_t* p, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) s += {kDigits[p[i] >> 4], kDigits[p[i] & 15]};
    return s;
}

void PutLE16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    if (b.size() < at + 2) b.resize(at + 2, 0);
    plat::StoreLE16(b.data() + at, v);
}

void PutLE32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    if (b.size() < at + 4) b.resize(at + 4, 0);
    plat::StoreLE32(b.data() + at, v);
}

size_t PaddedSize(size_t chars) { return (chars + 6) & ~static_cast<size_t>(3); }

void AppendPadded(std::vector<uint8_t>& b, const std::string& s) {
    const size_t n = std::min<size_t>(s.size(), 0xFFFF);
    const size_t at = b.size();
    b.resize(at + PaddedSize(n), 0);
    plat::StoreLE16(b.data() + at, static_cast<uint16_t>(n));
    std::memcpy(b.data() + at + 2, s.data(), n);
}

bool ReadPadded(const uint8_t* p, size_t len, size_t* at, std::string* out) {
    if (*at > len || len - *at < 2) return false;
    const size_t n = LoadLE16(p + *at);
    const size_t size = PaddedSize(n);
    if (len - *at < size) return false;
    const char* c = reinterpret_cast<const char*>(p + *at + 2);
    out->assign(c, strnlen(c, n));
    *at += size;
    return true;
}

std::string GetText(const uint8_t* p, size_t width) {
    const char* c = reinterpret_cast<const char*>(p);
    return std::string(c, strnlen(c, width));
}

void PutText(std::vector<uint8_t>& b, size_t at, size_t width, const std::string& s) {
    if (b.size() < at + width) b.resize(at + width, 0);
    std::memset(b.data() + at, 0, width);
    std::memcpy(b.data() + at, s.data(), std::min(width, s.size()));
}

void PutConnection(std::vector<uint8_t>& b, size_t at, const ConnectionID& c) {
    PutLE32(b, at, c.callID);
    PutText(b, at + 4, kDeviceIDSize, c.deviceID);
    PutLE32(b, at + 68, c.deviceIDType);
}

ConnectionID GetConnection(const uint8_t* p) {
    ConnectionID c;
    c.callID = LoadLE32(p);
    c.deviceID = GetText(p + 4, kDeviceIDSize);
    c.deviceIDType = LoadLE32(p + 68);
    return c;
}

namespace {

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

bool AllZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

// A padded string whose fill must be zero (what the server writes): the count, the
// characters, then zero bytes only.
bool ReadCleanPadded(const uint8_t* p, size_t len, size_t* at, std::string* out,
                     const char* what, std::string* error) {
    const size_t start = *at;
    if (!ReadPadded(p, len, at, out))
        return Fail(error, std::string(what) + " string runs past the message");
    const size_t n = LoadLE16(p + start);
    if (out->size() != n) return Fail(error, std::string(what) + " string holds a NUL");
    if (!AllZero(p + start + 2 + n, *at - start - 2 - n))
        return Fail(error, std::string(what) + " string fill is not zero");
    return true;
}

}  // namespace

std::vector<uint8_t> WriteRequest(const CstaRequest& r) {
    std::vector<uint8_t> b(kFixedPart, 0);
    PutLE32(b, 0, r.peripheralID);
    PutLE16(b, 4, r.marker);
    PutLE32(b, 8, r.connection.callID);
    PutLE32(b, 28, r.connection.deviceIDType);
    for (size_t i = 0; i < r.skillGroups.size(); ++i) PutLE32(b, 32 + 4 * i, r.skillGroups[i]);
    PutLE32(b, 208, kEventPartLength);
    PutLE32(b, 212, static_cast<uint32_t>(r.raw.size()));
    PutLE32(b, 216, static_cast<uint32_t>(r.opc.size()));
    AppendPadded(b, r.uniqueInstanceID);
    AppendPadded(b, r.connection.deviceID);
    const size_t h = b.size();
    PutLE16(b, h, r.headerPeripheralID);
    PutLE16(b, h + 2, r.eventClass);
    PutLE16(b, h + 4, r.eventType);
    PutLE32(b, h + 6, r.invokeID);
    PutLE32(b, h + 10, r.clientInvokeID);
    std::vector<uint8_t> body = r.body;
    body.resize(kRequestBodySize, 0);
    b.insert(b.end(), body.begin(), body.end());
    b.insert(b.end(), r.raw.begin(), r.raw.end());
    b.insert(b.end(), r.opc.begin(), r.opc.end());
    return b;
}

bool ReadRequest(const uint8_t* p, size_t len, CstaRequest* out, std::string* error) {
    if (len < kFixedPart) return Fail(error, "shorter than the 244-byte fixed part");
    CstaRequest r;
    r.peripheralID = LoadLE32(p);
    r.marker = LoadLE16(p + 4);
    if (r.marker != 0xFFFF) return Fail(error, "offset 4 is not 0xFFFF");
    if (!AllZero(p + 6, 2) || !AllZero(p + 12, 16) || !AllZero(p + 220, 24))
        return Fail(error, "reserved bytes are not zero");
    r.connection.callID = LoadLE32(p + 8);
    r.connection.deviceIDType = LoadLE32(p + 28);
    for (size_t i = 0; i < r.skillGroups.size(); ++i) r.skillGroups[i] = LoadLE32(p + 32 + 4 * i);
    const uint32_t eventPart = LoadLE32(p + 208);
    const uint32_t rawLen = LoadLE32(p + 212);
    const uint32_t opcLen = LoadLE32(p + 216);
    if (eventPart != kEventPartLength)
        return Fail(error, "event part length " + std::to_string(eventPart) + " is not 364");
    if (rawLen > kMaxRawData)
        return Fail(error, "raw private data length " + std::to_string(rawLen) + " above 990");
    if (opcLen > kMaxOpcData)
        return Fail(error, "OPC private data length " + std::to_string(opcLen) + " above 2872");
    size_t at = kFixedPart;
    if (!ReadCleanPadded(p, len, &at, &r.uniqueInstanceID, "unique instance id", error))
        return false;
    if (!ReadCleanPadded(p, len, &at, &r.connection.deviceID, "device id", error)) return false;
    if (r.connection.deviceID.size() > kDeviceIDSize)
        return Fail(error, "device id of " + std::to_string(r.connection.deviceID.size()) +
                               " characters");
    const size_t need = at + 6 + kEventPartLength + rawLen + opcLen;
    if (need != len)
        return Fail(error, "lengths add up to " + std::to_string(need) + " bytes, message has " +
                               std::to_string(len));
    r.headerPeripheralID = LoadLE16(p + at);
    r.eventClass = LoadLE16(p + at + 2);
    r.eventType = LoadLE16(p + at + 4);
    if (r.eventClass != kClassRequest)
        return Fail(error, "event class " + std::to_string(r.eventClass) + " is not 8");
    if (r.headerPeripheralID != static_cast<uint16_t>(r.peripheralID))
        return Fail(error, "header peripheral id differs from offset 0");
    at += 6;
    r.invokeID = LoadLE32(p + at);
    r.clientInvokeID = LoadLE32(p + at + 4);
    r.body.assign(p + at + 8, p + at + kEventPartLength);
    at += kEventPartLength;
    r.raw.assign(p + at, p + at + rawLen);
    at += rawLen;
    r.opc.assign(p + at, p + at + opcLen);
    *out = std::move(r);
    return true;
}

bool WriteEvent(const CstaEvent& e, std::vector<uint8_t>* out, std::string* error) {
    if (e.body.size() > kMaxEventBody)
        return Fail(error, "body of " + std::to_string(e.body.size()) + " bytes above 1304");
    if (e.raw.size() > kMaxRawData)
        return Fail(error, "raw private data of " + std::to_string(e.raw.size()) + " bytes");
    if (e.opc.size() > kMaxOpcData)
        return Fail(error, "OPC private data of " + std::to_string(e.opc.size()) + " bytes");
    std::vector<uint8_t> b(kFixedPart, 0);
    PutLE32(b, 0, e.peripheralID);
    PutLE16(b, 4, e.peripheralType);
    PutLE16(b, 6, e.taskBegun);
    PutLE32(b, 8, e.callID);
    PutLE32(b, 12, e.skillTargetID);
    for (size_t i = 0; i < 3; ++i) PutLE32(b, 16 + 4 * i, e.taskID[i]);
    PutLE32(b, 28, e.connectionDeviceIDType);
    for (size_t i = 0; i < e.area.size(); ++i) PutLE32(b, 32 + 4 * i, e.area[i]);
    PutLE32(b, 208, static_cast<uint32_t>(e.body.size()));
    PutLE32(b, 212, static_cast<uint32_t>(e.raw.size()));
    PutLE32(b, 216, static_cast<uint32_t>(e.opc.size()));
    PutLE32(b, 220, e.mrDomainID);
    for (size_t i = 0; i < 3; ++i) PutLE32(b, 224 + 4 * i, e.previousTaskID[i]);
    PutLE16(b, 236, e.disposition);
    PutLE16(b, 238, e.applicationDisposition);
    if (e.ecc.size() > kMaxEcc)
        return Fail(error, "ECC of " + std::to_string(e.ecc.size()) + " bytes above 2000");
    for (size_t i = 0; i < kEventStrings; ++i) {
        if (i + 1 != kEccPosition) {
            AppendPadded(b, e.strings[i]);
            continue;
        }
        const size_t at = b.size();
        PutLE32(b, at, e.eccLength >= 0 ? static_cast<uint32_t>(e.eccLength)
                                        : static_cast<uint32_t>(e.ecc.size()));
        b.insert(b.end(), e.ecc.begin(), e.ecc.end());
        b.resize(at + 4 + ((e.ecc.size() + 3) & ~size_t{3}), 0);
    }
    const size_t h = b.size();
    PutLE16(b, h, e.headerPeripheralID);
    PutLE16(b, h + 2, e.eventClass);
    PutLE16(b, h + 4, e.eventType);
    b.insert(b.end(), e.body.begin(), e.body.end());
    b.insert(b.end(), e.raw.begin(), e.raw.end());
    b.insert(b.end(), e.opc.begin(), e.opc.end());
    if (b.size() > kMaxBody)
        return Fail(error, "message of " + std::to_string(b.size()) + " bytes above 4008");
    *out = std::move(b);
    return true;
}

bool ReadEvent(const uint8_t* p, size_t len, CstaEvent* out, std::string* error) {
    if (len < kFixedPart) return Fail(error, "shorter than the 244-byte fixed part");
    CstaEvent e;
    e.peripheralID = LoadLE32(p);
    e.peripheralType = LoadLE16(p + 4);
    e.taskBegun = LoadLE16(p + 6);
    e.callID = LoadLE32(p + 8);
    e.skillTargetID = LoadLE32(p + 12);
    for (size_t i = 0; i < 3; ++i) e.taskID[i] = LoadLE32(p + 16 + 4 * i);
    e.connectionDeviceIDType = LoadLE32(p + 28);
    for (size_t i = 0; i < e.area.size(); ++i) e.area[i] = LoadLE32(p + 32 + 4 * i);
    const uint32_t bodyLen = LoadLE32(p + 208);
    const uint32_t rawLen = LoadLE32(p + 212);
    const uint32_t opcLen = LoadLE32(p + 216);
    e.mrDomainID = LoadLE32(p + 220);
    for (size_t i = 0; i < 3; ++i) e.previousTaskID[i] = LoadLE32(p + 224 + 4 * i);
    e.disposition = LoadLE16(p + 236);
    e.applicationDisposition = LoadLE16(p + 238);
    if (bodyLen > kMaxEventBody)
        return Fail(error, "body length " + std::to_string(bodyLen) + " above 1304");
    if (rawLen > kMaxRawData)
        return Fail(error, "raw private data length " + std::to_string(rawLen) + " above 990");
    if (opcLen > kMaxOpcData)
        return Fail(error, "OPC private data length " + std::to_string(opcLen) + " above 2872");
    size_t at = kFixedPart;
    for (size_t i = 0; i < kEventStrings; ++i) {
        if (i + 1 != kEccPosition) {
            if (!ReadPadded(p, len, &at, &e.strings[i]))
                return Fail(error, "string " + std::to_string(i + 1) + " runs past the message");
            continue;
        }
        if (len - at < 4) return Fail(error, "the ECC block lies past the message");
        const size_t n = LoadLE32(p + at);
        if (n > kMaxEcc) return Fail(error, "ECC length " + std::to_string(n) + " above 2000");
        const size_t size = 4 + ((n + 3) & ~size_t{3});
        if (len - at < size) return Fail(error, "the ECC block runs past the message");
        if (!AllZero(p + at + 4 + n, size - 4 - n))
            return Fail(error, "the ECC block's fill is not zero");
        e.ecc.assign(p + at + 4, p + at + 4 + n);
        at += size;
    }
    const size_t need = at + 6 + size_t{bodyLen} + rawLen + opcLen;
    if (need != len)
        return Fail(error, "lengths add up to " + std::to_string(need) + " bytes, message has " +
                               std::to_string(len));
    e.headerPeripheralID = LoadLE16(p + at);
    e.eventClass = LoadLE16(p + at + 2);
    e.eventType = LoadLE16(p + at + 4);
    at += 6;
    e.body.assign(p + at, p + at + bodyLen);
    at += bodyLen;
    e.raw.assign(p + at, p + at + rawLen);
    at += rawLen;
    e.opc.assign(p + at, p + at + opcLen);
    *out = std::move(e);
    return true;
}

namespace {

enum class ConfBody { kNone, kNewCall, kNewCallParties, kConnection, kDeviceInfo, kSnapshotCall,
                      kSnapshotDevice };

struct TypeRow {
    RequestType t;
    ConfBody conf;
    size_t connectionAt;  // body offset of the ConnectionID or device the answer names
};

// The 24 request types, their typed private data sizes and what their answers carry.
const std::vector<TypeRow>& Rows() {
    static const std::vector<TypeRow> rows = {
        {{1, "CSTA_ALTERNATE_CALL", 64, 2}, ConfBody::kNone, 0},
        {{3, "CSTA_ANSWER_CALL", 64, 4}, ConfBody::kNone, 0},
        {{7, "CSTA_CLEAR_CALL", 64, 8}, ConfBody::kNone, 0},
        {{9, "CSTA_CLEAR_CONNECTION", 68, 10}, ConfBody::kNone, 0},
        {{11, "CSTA_CONFERENCE_CALL", 2824, 12}, ConfBody::kNewCallParties, 72},
        {{13, "CSTA_CONSULTATION_CALL", 2808, 14}, ConfBody::kNewCall, 0},
        {{15, "CSTA_DEFLECT_CALL", 64, 16}, ConfBody::kNone, 0},
        {{21, "CSTA_HOLD_CALL", 4, 22}, ConfBody::kNone, 0},
        {{23, "CSTA_MAKE_CALL", 2764, 24}, ConfBody::kNewCall, 0},
        {{25, "CSTA_MAKE_PREDICTIVE_CALL", 2816, 26}, ConfBody::kNewCall, 0},
        {{37, "CSTA_QUERY_DEVICE_INFO", 4, 38}, ConfBody::kDeviceInfo, 0},
        {{39, "CSTA_RECONNECT_CALL", 0, 40}, ConfBody::kNone, 0},
        {{41, "CSTA_RETRIEVE_CALL", 0, 42}, ConfBody::kNone, 0},
        {{49, "CSTA_SET_AGENT_STATE", 1168, 50}, ConfBody::kNone, 0},
        {{51, "CSTA_TRANSFER_CALL", 2812, 52}, ConfBody::kNewCallParties, 72},
        {{120, "CSTA_SNAPSHOT_CALL", 0, 121}, ConfBody::kSnapshotCall, 0},
        {{122, "CSTA_SNAPSHOT_DEVICE", 0, 123}, ConfBody::kSnapshotDevice, 0},
        {{130, "CSTA_SEND_DTMF", 0, 131}, ConfBody::kNone, 0},
        {{134, "CSTA_SUPERVISOR_ASSIST", 176, 135}, ConfBody::kConnection, 0},
        {{137, "CSTA_EMERGENCY_CALL", 176, 138}, ConfBody::kConnection, 0},
        {{140, "CSTA_SUPERVISE_CALL", 176, 141}, ConfBody::kConnection, 0},
        {{160, "CSTA_AGENT_GREETING_CONTROL_REQ", 0, 159}, ConfBody::kNone, 0},
        {{209, "CSTA_RECORDING_START_REQ", 72, 210}, ConfBody::kNone, 0},
        {{211, "CSTA_RECORDING_STOP_REQ", 68, 212}, ConfBody::kNone, 0},
    };
    return rows;
}

const TypeRow* FindRow(uint16_t type) {
    for (const auto& r : Rows())
        if (r.t.type == type) return &r;
    return nullptr;
}

// The answer's header part: ids, unique instance id and the main connection echoed.
CstaEvent AnswerFrame(const CstaRequest& req, uint16_t type) {
    CstaEvent e;
    e.peripheralID = req.peripheralID;
    e.callID = req.connection.callID;
    e.connectionDeviceIDType = req.connection.deviceIDType;
    e.strings[0] = req.uniqueInstanceID;
    e.strings[1] = req.connection.deviceID;
    e.headerPeripheralID = static_cast<uint16_t>(req.peripheralID);
    e.eventClass = kClassConfirmation;
    e.eventType = type;
    PutLE32(e.body, 0, req.invokeID);
    PutLE32(e.body, 4, req.clientInvokeID);
    return e;
}

// LineHandle 0, LineType 2 (inside): unlike the record's defaults, so a reader that
// drops them shows.
std::vector<uint8_t> LinePD() {
    std::vector<uint8_t> pd;
    PutLE32(pd, 0, 0);
    PutLE32(pd, 4, 2);
    return pd;
}

}  // namespace

const RequestType* FindRequestType(uint16_t type) {
    const TypeRow* r = FindRow(type);
    return r ? &r->t : nullptr;
}

const std::vector<RequestType>& RequestTypes() {
    static const std::vector<RequestType> types = [] {
        std::vector<RequestType> v;
        for (const auto& r : Rows()) v.push_back(r.t);
        return v;
    }();
    return types;
}

bool FieldSet::Apply(std::vector<uint8_t>& b, size_t limit) const {
    for (const auto& f : fields) {
        const size_t width = f.kind == '1' ? 1 : f.kind == '2' ? 2 : f.kind == '4' ? 4 : f.width;
        if (f.offset > limit || width > limit - f.offset) return false;
        switch (f.kind) {
            case '1':
                if (b.size() < f.offset + 1) b.resize(f.offset + 1, 0);
                b[f.offset] = static_cast<uint8_t>(f.value);
                break;
            case '2': PutLE16(b, f.offset, static_cast<uint16_t>(f.value)); break;
            case '4': PutLE32(b, f.offset, f.value); break;
            default: PutText(b, f.offset, f.width, f.text); break;
        }
    }
    return true;
}

CstaEvent BuildConfirmation(const CstaRequest& req, uint32_t* nextCallID) {
    const TypeRow* row = FindRow(req.eventType);
    if (!row) return BuildUniversalFailure(req, 1, 0);
    CstaEvent e = AnswerFrame(req, row->t.confirmation);
    const uint8_t* body = req.body.data();
    constexpr size_t kConf = 8;  // the answer's own fields follow the two invoke ids
    switch (row->conf) {
        case ConfBody::kNone: break;
        case ConfBody::kNewCall:
        case ConfBody::kNewCallParties: {
            ConnectionID nc;
            nc.callID = (*nextCallID)++;
            // MakeCall and MakePredictive name the calling device as a bare text.
            if (row->t.type == 23 || row->t.type == 25)
                nc.deviceID = GetText(body, kDeviceIDSize);
            else
                nc.deviceID = GetConnection(body + row->connectionAt).deviceID;
            PutConnection(e.body, kConf, nc);
            if (row->conf == ConfBody::kNewCallParties) {
                PutLE32(e.body, kConf + 72, 0);  // no party list
                PutLE32(e.body, kConf + 76, 0);
            }
            e.callID = nc.callID;
            e.strings[1] = nc.deviceID;
            e.opc = LinePD();
            break;
        }
        case ConfBody::kConnection: {
            ConnectionID c = GetConnection(body);
            if (row->t.type != 140) c.callID = (*nextCallID)++;
            PutConnection(e.body, kConf, c);
            e.opc = LinePD();
            break;
        }
        case ConfBody::kDeviceInfo: {
            PutText(e.body, kConf, kDeviceIDSize, GetText(body, kDeviceIDSize));
            PutLE32(e.body, kConf + 64, 0);  // DevType
            e.body.resize(kConf + 72, 0);
            e.body[kConf + 68] = 16;       // DevClass
            std::vector<uint8_t> pd(960, 0);
            const uint32_t head[] = {1, 1, 1, 1, 6};  // type, lines, active, held, conference
            for (size_t i = 0; i < 5; ++i) PutLE32(pd, 4 * i, head[i]);
            for (size_t i = 0; i < 10; ++i) {
                PutLE32(pd, 44 + 4 * i, i == 0 ? 0 : 0xFFFFFFFF);
                PutLE32(pd, 84 + 4 * i, i == 0 ? 2 : 3);
            }
            e.opc = std::move(pd);
            break;
        }
        case ConfBody::kSnapshotCall: {
            PutLE32(e.body, kConf, 0);  // no entries
            PutLE32(e.body, kConf + 4, 0);
            std::vector<uint8_t> pd(320, 0);
            PutLE32(pd, 4, 1);  // CallTypeID
            PutConnection(pd, 8, GetConnection(body));
            e.opc = std::move(pd);
            break;
        }
        case ConfBody::kSnapshotDevice:
            PutLE32(e.body, kConf, 0);
            PutLE32(e.body, kConf + 4, 0);
            break;
    }
    return e;
}

CstaEvent BuildUniversalFailure(const CstaRequest& req, uint32_t error, uint32_t peripheralError) {
    CstaEvent e = AnswerFrame(req, kUniversalFailure);
    PutLE32(e.body, 8, error);
    PutLE32(e.opc, 0, peripheralError);
    return e;
}

std::vector<uint8_t> WriteServiceInitiatedPD(const ServiceInitiatedPD& pd) {
    std::vector<uint8_t> b(116, 0);
    PutLE32(b, 0, pd.skillGroup);
    PutLE32(b, 4, pd.line);
    PutLE32(b, 8, pd.lineType);
    PutLE32(b, 12, pd.device);
    PutConnection(b, 16, pd.coc);
    // A NUL-terminated field of 16 bytes: at most 15 characters.
    PutText(b, 88, 16, pd.agentExtension.substr(0, 15));
    PutLE32(b, 104, pd.agentSkillTargetID);
    PutLE32(b, 108, pd.routerCallKey[0]);
    PutLE32(b, 112, pd.routerCallKey[1]);
    AppendPadded(b, pd.corrData);
    return b;
}

std::vector<uint8_t> WriteRecordingTargetInfoPD(const RecordingTargetInfoPD& pd) {
    std::vector<uint8_t> b(24, 0);
    const uint32_t words[] = {pd.line, pd.lineType, pd.recordingType, pd.mediaForkingDeviceType,
                              pd.recorderType, pd.recorderStatus};
    for (size_t i = 0; i < 6; ++i) PutLE32(b, 4 * i, words[i]);
    for (const auto& s : pd.strings) AppendPadded(b, s);
    return b;
}

std::vector<uint8_t> WriteSetModeReq(const SetModeReq& r) {
    std::vector<uint8_t> b;
    const uint32_t words[] = {r.side, r.second, r.pgStatus, r.version, r.opcTime};
    for (size_t i = 0; i < 5; ++i) PutLE32(b, 4 * i, words[i]);
    AppendPadded(b, r.text);
    return b;
}

std::vector<uint8_t> WriteConfigReq(const ConfigReq& r) {
    std::vector<uint8_t> b;
    const uint32_t words[] = {r.op, r.table, r.num, r.update};
    for (size_t i = 0; i < 4; ++i) PutLE32(b, 4 * i, words[i]);
    b.insert(b.end(), r.records.begin(), r.records.end());
    return b;
}

void AppendPeripheral(std::vector<uint8_t>& b, uint32_t id, uint32_t clientType,
                      uint32_t deskSettings, uint32_t multiline) {
    const uint32_t words[] = {id, clientType, deskSettings, multiline};
    for (uint32_t w : words) PutLE32(b, b.size(), w);
}

void AppendEccVariable(std::vector<uint8_t>& b, const uint32_t (&words)[6],
                       const std::string& name) {
    for (uint32_t w : words) PutLE32(b, b.size(), w);
    AppendPadded(b, name);
}

bool ReadAck(const uint8_t* p, size_t len, Ack* out, std::string* error) {
    if (len < 12) return Fail(error, "acknowledgement shorter than 12 bytes");
    out->side = LoadLE32(p);
    out->answeredType = LoadLE32(p + 4);
    out->value = LoadLE32(p + 8);
    return true;
}

std::string OpcTypeName(uint32_t type) {
    switch (type) {
        case kSetIdleReq: return "CTI_SET_IDLE_REQ";
        case kSetActiveReq: return "CTI_SET_ACTIVE_REQ";
        case kOkAck: return "CTI_OK_ACK";
        case kErrorAck: return "CTI_ERROR_ACK";
        case kActiveHeartBeat: return "CTI_ACTIVE_HEART_BEAT_EVENT";
        case kConfigureReq: return "CTI_CONFIGURE_REQ";
        case kTimeNotification: return "CTI_TIME_NOTIFICATION_EVENT";
        case kHeartBeat: return "CTI_HEART_BEAT_EVENT";
        case 12: return "CTI_GET_AGENT_STATE_REQ";
        case 16: return "CTI_SET_CLIENT_STATUS_REQ";
        case 18: return "CTI_GET_AGENT_STATS_REQ";
        case 20: return "CTI_GET_GROUP_STATS_REQ";
        case kCstaMessage: return "CTI_CSTA_MESSAGE";
        case 29: return "CTI_SEND_CALL_DATA_IND";
        case 30: return "CTI_SET_CALL_DATA_REQ";
        case 32: return "CTI_RELEASE_CALL_REQ";
        case 37: return "CTI_VALIDATE_CALL_REQ";
        case 41: return "CTI_SET_APP_DATA_REQ";
        case 45: return "CTI_SET_DEVICE_ATTRIBUTES_REQ";
        case 47: return "CTI_BAD_CALL_REQ";
        case 86: return "CTI_GET_PRE_CALL_REQ";
        case kMaintenanceRequest: return "CTI_MAINTENANCE_MODE_REQUEST";
        case kMaintenanceInProgress: return "CTI_MAINTENANCE_MODE_IN_PROGRESS";
        default: return "OPC_TYPE_" + std::to_string(type);
    }
}

namespace {

// One number of a fixed part: its name, offset and width (1, 2 or 4 bytes); a width of 0
// marks reserved bytes (`offset`, `size` of them) that must be zero.
struct FixedField {
    const char* name;
    uint8_t offset;
    uint8_t width;
    uint8_t size = 0;
};

enum class Tail { kNone, kMrDomainIDs, kEcc };

struct RequestLayout {
    uint8_t type;
    size_t fixed;
    std::vector<FixedField> fields;
    std::vector<const char*> strings;
    Tail tail = Tail::kNone;
};

const std::vector<const char*>& CallVariables() {
    static const std::vector<const char*> names = {
        "CallVariable1", "CallVariable2", "CallVariable3", "CallVariable4", "CallVariable5",
        "CallVariable6", "CallVariable7", "CallVariable8", "CallVariable9", "CallVariable10"};
    return names;
}

std::vector<const char*> Join(std::vector<const char*> a, const std::vector<const char*>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<RequestLayout>& RequestLayouts() {
    static const std::vector<RequestLayout> layouts = {
        {12, 20,
         {{"InvokeID", 0, 4}, {"PeripheralID", 4, 4}, {"MRDomainID", 8, 4}, {"SkillTarID", 12, 4},
          {"ClientInvokeID", 16, 4}},
         {"UniqueInstanceID", "AgentExtension", "AgentID", "AgentInstrument"}},
        {16, 16,
         {{"InvokeID", 0, 4}, {"PeripheralID", 4, 4}, {"Status", 8, 4}, {"NumMRDomainIDs", 12, 2},
          {"reserved", 14, 0, 2}},
         {"AgentID", "Signature", "UniqueInstanceID"},
         Tail::kMrDomainIDs},
        {18, 8, {{"InvokeID", 0, 4}, {"PeripheralID", 4, 4}},
         {"AgentExtension", "AgentID", "AgentInstrument"}},
        {20, 16,
         {{"InvokeID", 0, 4}, {"PeripheralID", 4, 4}, {"SkillGroupID", 8, 4},
          {"SkillGroupNumber", 12, 4}},
         {}},
        {29, 12, {{"PeripheralID", 0, 4}, {"CallID", 4, 4}, {"ConnectionDeviceIDType", 8, 4}},
         {"ConnectionDeviceID"}},
        {30, 44,
         {{"InvokeID", 0, 4}, {"PeripheralID", 4, 4}, {"CallID", 8, 4},
          {"ConnectionDeviceIDType", 12, 4}, {"DestinationDeviceIDType", 16, 4}, {"Srch", 20, 4},
          {"CallType", 24, 2}, {"CalledPartyDisposition", 26, 2}, {"CampaignID", 28, 4},
          {"QueryRuleID", 32, 4}, {"ClientInvokeID", 36, 4}, {"CallOriginatedFrom", 40, 1},
          {"reserved", 41, 0, 3}},
         Join({"UniqueInstanceID", "AgentID", "ConnectionDeviceID", "DestinationDeviceID", "ANI",
               "UserToUser", "CED", "WrapupData", "CustomerPhoneNumber", "CustomerAccountNumber"},
              CallVariables()),
         Tail::kEcc},
        {32, 28,
         {{"InvokeID", 0, 4}, {"PeripheralID", 4, 4}, {"CallID", 8, 4},
          {"ConnectionDeviceIDType", 12, 4}, {"DestinationDeviceIDType", 16, 4}, {"Srch", 20, 4},
          {"ClientInvokeID", 24, 4}},
         {"UniqueInstanceID", "AgentID", "ConnectionDeviceID", "DestinationDeviceID"}},
        {37, 24,
         {{"InvokeID", 0, 4}, {"PeripheralID", 4, 4}, {"CallID", 8, 4},
          {"ConnectionDeviceIDType", 12, 4}, {"DestinationDeviceIDType", 16, 4}, {"Srch", 20, 4}},
         {"AgentID", "ConnectionDeviceID", "DestinationDeviceID"}},
        {41, 24,
         {{"InvokeID", 0, 4}, {"ApplicationPathID", 4, 4}, {"ClientInvokeID", 8, 4},
          {"PreCallInvokeID", 12, 4}, {"CallTypeID", 16, 4}, {"SetAppDataCallId", 20, 4}},
         Join({"UniqueInstanceID"}, CallVariables())},
        {45, 32,
         {{"InvokeID", 0, 4}, {"PeripheralID", 4, 4}, {"ServiceNumber", 8, 4}, {"ServiceID", 12, 4},
          {"SkillGroupAndPri", 16, 4}, {"SkillGroupID", 20, 4}, {"ClientInvokeID", 24, 4},
          {"CallType", 28, 2}, {"CallingDeviceType", 30, 2}},
         {"UniqueInstanceID", "CallingDeviceID"}},
        {47, 20,
         {{"InvokeID", 0, 4}, {"PeripheralID", 4, 4}, {"CallID", 8, 4},
          {"ConnectionDeviceIDType", 12, 4}, {"ClientInvokeID", 16, 4}},
         {"UniqueInstanceID", "AgentID", "ConnectionDeviceID"}},
        {86, 16,
         {{"InvokeID", 0, 4}, {"PeripheralID", 4, 4}, {"MRDomainID", 8, 4}, {"ClientInvokeID", 12, 4}},
         {"UniqueInstanceID"}},
    };
    return layouts;
}

}  // namespace

bool ServerRequest::Number(const std::string& field, uint32_t* value) const {
    for (const auto& [n, v] : numbers)
        if (n == field) return *value = v, true;
    return false;
}

bool ServerRequest::String(const std::string& field, std::string* value) const {
    for (const auto& [n, v] : strings)
        if (n == field) return *value = v, true;
    return false;
}

std::string ServerRequest::Describe() const {
    std::string s;
    for (const auto& [n, v] : numbers) s += " " + n + "=" + std::to_string(v);
    for (const auto& [n, v] : strings) s += " " + n + "=\"" + v + "\"";
    if (!mrDomainIDs.empty()) {
        s += " MRDomainIDs=";
        for (size_t i = 0; i < mrDomainIDs.size(); ++i)
            s += (i ? "," : "") + std::to_string(mrDomainIDs[i]);
    }
    if (!ecc.empty()) s += " ECC=" + std::to_string(ecc.size()) + " bytes";
    return s.empty() ? s : s.substr(1);
}

bool ReadServerRequest(uint8_t type, const uint8_t* p, size_t len, ServerRequest* out,
                       std::string* error) {
    const RequestLayout* layout = nullptr;
    for (const auto& l : RequestLayouts())
        if (l.type == type) layout = &l;
    if (!layout) return *error = "no layout for " + OpcTypeName(type), false;
    ServerRequest r;
    r.name = OpcTypeName(type);
    if (len < layout->fixed)
        return *error = "body of " + std::to_string(len) + " bytes, the fixed part alone has " +
                        std::to_string(layout->fixed),
               false;
    for (const FixedField& f : layout->fields) {
        if (f.width == 0) {
            if (!AllZero(p + f.offset, f.size))
                return *error = "reserved bytes at " + std::to_string(f.offset) + " are not zero",
                       false;
            continue;
        }
        const uint32_t v = f.width == 4 ? LoadLE32(p + f.offset)
                           : f.width == 2 ? LoadLE16(p + f.offset)
                                          : p[f.offset];
        r.numbers.emplace_back(f.name, v);
    }
    size_t at = layout->fixed;
    for (const char* name : layout->strings) {
        if (len - at < 2) return *error = std::string("string ") + name + " lies past the end", false;
        const size_t n = LoadLE16(p + at);
        const size_t size = PaddedSize(n);
        if (len - at < size) return *error = std::string("string ") + name + " runs past the end", false;
        if (!AllZero(p + at + 2 + n, size - 2 - n))
            return *error = std::string("string ") + name + " has padding that is not zero", false;
        r.strings.emplace_back(name, std::string(reinterpret_cast<const char*>(p + at + 2), n));
        at += size;
    }
    if (layout->tail == Tail::kMrDomainIDs) {
        uint32_t count = 0;
        (void)r.Number("NumMRDomainIDs", &count);
        if ((len - at) / 4 < count) return *error = "the media routing domain IDs run past the end", false;
        for (uint32_t i = 0; i < count; ++i, at += 4) r.mrDomainIDs.push_back(LoadLE32(p + at));
    } else if (layout->tail == Tail::kEcc) {
        if (len - at < 4) return *error = "no ECC block", false;
        const size_t n = LoadLE32(p + at);
        if (n > len - at - 4) return *error = "the ECC block runs past the end", false;
        const size_t size = (n + 7) & ~size_t{3};
        if (size > len - at) return *error = "the ECC block's padding runs past the end", false;
        if (!AllZero(p + at + 4 + n, size - 4 - n))
            return *error = "the ECC block has padding that is not zero", false;
        r.ecc.assign(p + at + 4, p + at + 4 + n);
        at += size;
    }
    if (at != len)
        return *error = std::to_string(len - at) + " bytes left after the last field", false;
    *out = std::move(r);
    return true;
}

}  // namespace opcpeer
