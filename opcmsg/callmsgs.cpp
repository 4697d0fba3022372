#include "opcmsg/callmsgs.h"

#include <utility>

#include "platform/byteorder.h"

using plat::LoadLE16;
using plat::LoadLE32;

namespace {

constexpr size_t kCallCreatedFixed = 56;
constexpr size_t kCallDataUpdateFixed = 60;
constexpr size_t kCallStateFixed = 20;
constexpr size_t kCallReclassifiedFixed = 32;
constexpr size_t kCallTypeChangedFixed = 16;

int16_t GetI16(const uint8_t* p) { return static_cast<int16_t>(LoadLE16(p)); }

// The fields at offsets 0 to 19, laid out alike in both call data messages.
void ReadCallDataHead(const uint8_t* f, OPCCallData* d) {
    d->PeripheralID = LoadLE32(f);
    d->PeripheralType = LoadLE16(f + 4);
    d->NumCTIClients = GetI16(f + 6);
    d->CallType = LoadLE16(f + 8);
    d->CalledPartyDisposition = LoadLE16(f + 10);
    d->CampaignID = LoadLE32(f + 12);
    d->QueryRuleID = LoadLE32(f + 16);
}

void ReadRouterCallKey(const uint8_t* p, OPCCallData* d) {
    d->RouterCallKeyDay = LoadLE32(p);
    d->RouterCallKeyCallID = LoadLE32(p + 4);
    d->RouterCallKeySequenceNum = LoadLE32(p + 8);
}

// The ten texts and ten call variables that open the strings of both call data messages.
void ReadCallDataStrings(OPCBodyCursor& c, OPCCallData* d) {
    for (std::string* s : {&d->SrcDeviceID, &d->DestDeviceID, &d->ANI, &d->UserToUser, &d->DNIS,
                           &d->CED, &d->DialedNumber, &d->CallWrapupData, &d->CustomerPhoneNumber,
                           &d->CustomerAccountNumber})
        if (!c.String(s, "string")) return;
    for (size_t i = 0; i < kOPCCallVariables; ++i) {
        std::string& v = d->CallVariable[i];
        if (!c.String(&v, "call variable", static_cast<int>(i))) return;
        if (v.size() > kOPCCallVariableLength) v.resize(kOPCCallVariableLength);
    }
}

// The ECC block and the history entries that end both call data messages. Every announced
// entry must be there; only the first kOPCCallMaxHistory are kept.
void ReadCallDataTail(OPCBodyCursor& c, OPCCallData* d) {
    if (!c.ECC(&d->ECC, kOPCCallMaxECCLength, "ECC block")) return;
    const size_t count = d->NumCTIClients > 0 ? static_cast<size_t>(d->NumCTIClients) : 0;
    d->History.reserve(count < kOPCCallMaxHistory ? count : kOPCCallMaxHistory);
    for (size_t i = 0; i < count; ++i) {
        const int index = static_cast<int>(i);
        OPCCallHistoryEntry entry;
        if (!c.String(&entry.CTIClientSignature, "history signature", index)) return;
        const uint8_t* stamp = c.Take(4, "history time stamp", index);
        if (!stamp) return;
        entry.CTIClientTimestamp = LoadLE32(stamp);
        if (d->History.size() < kOPCCallMaxHistory) d->History.push_back(std::move(entry));
    }
}

}  // namespace

OPCBodyResult ParseCallCreatedEvent(const uint8_t* body, size_t length, OPCCallCreatedEvent* out) {
    *out = OPCCallCreatedEvent();
    OPCBodyCursor c(body, length);
    const uint8_t* f = c.Take(kCallCreatedFixed, "fixed part");
    if (!f) return c.Result();
    OPCCallCreatedEvent r;
    ReadCallDataHead(f, &r);
    // 20: a word the server does not read.
    r.ConnectionCallID = LoadLE32(f + 24);
    r.SrcDeviceIDType = LoadLE32(f + 28);
    r.DestDeviceIDType = LoadLE32(f + 32);
    r.TrunkGroup = LoadLE32(f + 36);
    ReadRouterCallKey(f + 40, &r);
    r.CTIHint = LoadLE32(f + 52);
    ReadCallDataStrings(c, &r);
    ReadCallDataTail(c, &r);
    if (c.Result()) *out = std::move(r);
    return c.Result();
}

OPCBodyResult ParseCallDataUpdateEvent(const uint8_t* body, size_t length,
                                       OPCCallDataUpdateEvent* out) {
    *out = OPCCallDataUpdateEvent();
    OPCBodyCursor c(body, length);
    const uint8_t* f = c.Take(kCallDataUpdateFixed, "fixed part");
    if (!f) return c.Result();
    OPCCallDataUpdateEvent r;
    ReadCallDataHead(f, &r);
    r.ConnectionCallID = LoadLE32(f + 20);
    r.TrunkGroup = LoadLE32(f + 24);
    r.Active = LoadLE16(f + 28);
    r.SrcDeviceIDType = LoadLE32(f + 32);
    r.DestDeviceIDType = LoadLE32(f + 36);
    ReadRouterCallKey(f + 40, &r);
    r.CTIHint = LoadLE16(f + 52);
    r.SrcConnectionState = GetI16(f + 54);
    r.DestConnectionState = GetI16(f + 56);
    ReadCallDataStrings(c, &r);
    c.String(&r.SrcAgentExtension, "string");
    c.String(&r.DestAgentExtension, "string");
    ReadCallDataTail(c, &r);
    if (c.Result()) *out = std::move(r);
    return c.Result();
}

OPCBodyResult ParseCallStateEvent(const uint8_t* body, size_t length, OPCCallStateEvent* out) {
    *out = OPCCallStateEvent();
    OPCBodyCursor c(body, length);
    const uint8_t* f = c.Take(kCallStateFixed, "fixed part");
    OPCCallStateEvent r;
    if (!f || !c.String(&r.ConnectionDeviceID, "string")) return c.Result();
    r.PeripheralID = LoadLE32(f);
    // 4: a word the server does not read.
    r.ConnectionCallID = LoadLE32(f + 8);
    r.ConnectionDeviceIDType = LoadLE32(f + 12);
    r.CTIHint = LoadLE32(f + 16);
    *out = std::move(r);
    return c.Result();
}

OPCBodyResult ParseCallReclassifiedEvent(const uint8_t* body, size_t length,
                                         OPCCallReclassifiedEvent* out) {
    *out = OPCCallReclassifiedEvent();
    OPCBodyCursor c(body, length);
    const uint8_t* f = c.Take(kCallReclassifiedFixed, "fixed part");
    if (!f) return c.Result();
    OPCCallReclassifiedEvent r;
    r.PeripheralID = LoadLE32(f);
    // 4: a word the server does not read.
    r.OldConnectionCallID = LoadLE32(f + 8);
    r.NewConnectionCallID = LoadLE32(f + 12);
    r.OldDeviceIDType = LoadLE32(f + 16);
    r.NewSrcDeviceIDType = LoadLE32(f + 20);
    r.NewDestDeviceIDType = LoadLE32(f + 24);
    r.CTIHint = LoadLE32(f + 28);
    for (std::string* s : {&r.OldDeviceID, &r.NewSrcDeviceID, &r.NewDestDeviceID})
        if (!c.String(s, "string")) return c.Result();
    *out = std::move(r);
    return c.Result();
}

OPCBodyResult ParseCallTypeChangedEvent(const uint8_t* body, size_t length,
                                        OPCCallTypeChangedEvent* out) {
    *out = OPCCallTypeChangedEvent();
    OPCBodyCursor c(body, length);
    const uint8_t* f = c.Take(kCallTypeChangedFixed, "fixed part");
    OPCCallTypeChangedEvent r;
    if (!f || !c.String(&r.ConnectionDeviceID, "string")) return c.Result();
    r.PeripheralID = LoadLE32(f);
    r.ConnectionCallID = LoadLE32(f + 4);
    r.ConnectionDeviceIDType = LoadLE32(f + 8);
    r.CallTypeID = LoadLE32(f + 12);
    *out = std::move(r);
    return c.Result();
}
