#include "opcmsg/cstaconfirmations.h"

#include <cstring>

#include "nuvlib/ems.h"
#include "opcmsg/opcnames.h"

using plat::LoadLE16;
using plat::LoadLE32;
using plat::StoreLE16;
using plat::StoreLE32;

const CSTAConfDesc kCSTAConfirmations[static_cast<int>(CSTAConfRow::Count)] = {
#define CSTA_CONF(Class, type, body, pd, copies) \
    {#Class, type, CSTAConfBody::body, CSTAConfPD::pd, copies},
#include "opcmsg/cstaconfirmations.def"
#undef CSTA_CONF
};

namespace {

constexpr uint32_t kPartyEntry = 144;
constexpr uint32_t kSnapshotCallEntry = 148;
constexpr uint32_t kSnapshotDeviceEntry = 84;
constexpr uint32_t kForwardEntry = 72;

uint32_t TypedSize(CSTAConfPD pd) {
    switch (pd) {
    case CSTAConfPD::Line:
        return cstaconfpd::kLineSize;
    case CSTAConfPD::UniversalFailure:
        return cstaconfpd::kUniversalFailureSize;
    case CSTAConfPD::DeviceInfo:
        return cstaconfpd::kDeviceInfoSize;
    case CSTAConfPD::SnapshotCall:
        return cstaconfpd::kSnapshotCallSize;
    default:
        return 0;
    }
}

// The received raw block's data length, never above what a block holds.
uint32_t RawLength(const CSTAEventRecord& record) {
    const uint32_t n = PrivateDataLength(record.RawBlock());
    return n > kRawPrivateDataRoom ? kRawPrivateDataRoom : n;
}

}  // namespace

TPCSTAConfMsg::TPCSTAConfMsg(const CSTAConfDesc& desc, uint16_t peripheralID,
                             const CSTAEventRecord& record, const uint8_t* opcBlock)
    : TPCSTAMsg(record.InvokeID(), record.ClientInvokeID(), TypedSize(desc.pd)), m_Desc(&desc) {
    WriteHeader(peripheralID, kCSTAClassConfirmation, desc.eventType, record.InvokeID(),
                record.ClientInvokeID());
    WriteDefaults();
    if (record.EventClass() != kCSTAClassConfirmation || record.EventType() != desc.eventType)
        EMSFailMessage("Construction of %s failed eventClass=%d eventType=%d", desc.className,
                       record.EventClass(), record.EventType());
    CopyBody(record);
    if (desc.copiesPrivateData && opcBlock) SetPrivateData(opcBlock);
}

void TPCSTAConfMsg::WriteDefaults() {
    uint8_t* body = Body();
    switch (m_Desc->body) {
    case CSTAConfBody::NewCall:
    case CSTAConfBody::Connection:
    case CSTAConfBody::PartyList:
        SetConnectionID(body, -1, nullptr, 0);
        break;
    case CSTAConfBody::AgentState:
        StoreLE32(body, 1);
        break;
    case CSTAConfBody::DeviceInfo:
        StoreLE32(body + 64, 255);
        body[68] = 16;
        break;
    case CSTAConfBody::SnapshotDevice:
        StoreLE32(body, 0xFFFFFFFF);
        break;
    default:
        break;  // the rest default to the zeroed record
    }
    uint8_t* pd = PrivateData();
    switch (m_Desc->pd) {
    case CSTAConfPD::Line:
        StoreLE32(pd + cstaconfpd::kLineHandle, 0xFFFFFFFF);
        StoreLE32(pd + cstaconfpd::kLineType, 3);
        break;
    case CSTAConfPD::DeviceInfo:
        StoreLE32(pd + cstaconfpd::kPeripheralType, 0xFFFFFFFF);
        StoreLE32(pd + cstaconfpd::kMaxActiveCalls, 0xFFFFFFFF);
        StoreLE32(pd + cstaconfpd::kMaxHeldCalls, 0xFFFFFFFF);
        StoreLE32(pd + cstaconfpd::kMaxDevicesInConference, 0xFFFFFFFF);
        for (uint32_t i = 0; i < 10; ++i) {
            StoreLE32(pd + cstaconfpd::kLineHandles + 4 * i, 0xFFFFFFFF);
            StoreLE32(pd + cstaconfpd::kLineTypes + 4 * i, 3);
        }
        break;
    case CSTAConfPD::SnapshotCall:
        StoreLE32(pd + cstaconfpd::kCallTypeID, 0xFFFFFFFF);
        SetConnectionID(pd + cstaconfpd::kCOC, -1, nullptr, 0);
        break;
    default:
        break;
    }
    if (const uint32_t size = TypedSize(m_Desc->pd))
        (void)AppendPrivateData(OPCBlock(), pd, size, kOPCPrivateDataBlockSize);
}

ConnectionID TPCSTAConfMsg::GetNewCall() const { return ConnectionID::Read(Body()); }
ConnectionID TPCSTAConfMsg::GetConnection() const { return ConnectionID::Read(Body()); }
uint32_t TPCSTAConfMsg::GetDeviceType() const { return LoadLE32(Body() + 64); }
uint8_t TPCSTAConfMsg::GetDeviceClass() const { return Body()[68]; }
uint32_t TPCSTAConfMsg::GetError() const { return LoadLE32(Body()); }

void TPCSTAConfMsg::CopyBody(const CSTAEventRecord& record) {
    const uint8_t* in = record.ConfirmationBody();
    uint8_t* body = Body();
    switch (m_Desc->body) {
    case CSTAConfBody::None:
        break;
    case CSTAConfBody::NewCall:
    case CSTAConfBody::Connection:
    case CSTAConfBody::PartyList: {
        const ConnectionID c = ConnectionID::Read(in);
        SetConnectionID(body, c.callID, c.deviceID, c.deviceIDType);
        if (m_Desc->body == CSTAConfBody::PartyList) CopyList(record, 72, 76, kPartyEntry);
        break;
    }
    case CSTAConfBody::Byte:
        body[0] = in[0];
        break;
    case CSTAConfBody::AgentState:
    case CSTAConfBody::Error:
        std::memcpy(body, in, 4);
        break;
    case CSTAConfBody::LastNumber:
        TPCSTAMsg::CopyDeviceID(body, nullptr);
        std::memcpy(body, in, opcbytes::FieldLength(in, 64));
        break;
    case CSTAConfBody::DeviceInfo:
        std::memcpy(body, in, opcbytes::FieldLength(in, 64));
        std::memcpy(body + 64, in + 64, 5);
        break;
    case CSTAConfBody::Forward: {
        int16_t count = static_cast<int16_t>(LoadLE16(in));
        if (count > 7) count = 7;
        StoreLE16(body, static_cast<uint16_t>(count));
        for (int i = 0; i < count; ++i) {
            const uint8_t* from = in + 4 + i * kForwardEntry;
            uint8_t* to = body + 4 + i * kForwardEntry;
            std::memcpy(to, from, 5);  // ForwardingType, ForwardingOn
            std::memcpy(to + 5, from + 5, opcbytes::FieldLength(from + 5, 64));
        }
        break;
    }
    case CSTAConfBody::SnapshotCall:
        CopyList(record, 0, 4, kSnapshotCallEntry);
        break;
    case CSTAConfBody::SnapshotDevice:
        CopySnapshotDevice(record);
        break;
    }
}

// Moves a list of `entrySize` entries from the received raw block into this record's own;
// the count and offset sit in the body at the given offsets.
void TPCSTAConfMsg::CopyList(const CSTAEventRecord& record, uint32_t countOffset,
                             uint32_t listOffset, uint32_t entrySize) {
    const uint8_t* in = record.ConfirmationBody();
    const int32_t count = static_cast<int32_t>(LoadLE32(in + countOffset));
    const uint32_t offset = LoadLE32(in + listOffset);
    const uint32_t available = RawLength(record);
    const uint32_t fits = offset <= available ? (available - offset) / entrySize : 0;
    uint32_t n = count > 0 ? static_cast<uint32_t>(count) : 0;
    if (n > fits || count < 0) {
        EMSTraceMessage(
            "%s: list of %d entries at offset %u does not fit the %u bytes of raw private "
            "data; %u kept",
            m_Desc->className, count, offset, available, n > fits ? fits : n);
        if (n > fits) n = fits;
    }
    StoreLE32(Body() + countOffset, n);
    int placed = 0;
    if (n) placed = AppendPrivateData(RawBlock(), PrivateDataPointer(record.RawBlock(), offset),
                                      n * entrySize, kRawPrivateDataBlockSize);
    StoreLE32(Body() + listOffset, static_cast<uint32_t>(placed < 0 ? 0 : placed));
}

void TPCSTAConfMsg::CopySnapshotDevice(const CSTAEventRecord& record) {
    const uint8_t* in = record.ConfirmationBody();
    const int32_t count = static_cast<int32_t>(LoadLE32(in));
    const uint32_t offset = LoadLE32(in + 4);
    StoreLE32(Body(), static_cast<uint32_t>(count));
    StoreLE32(Body() + 4, 0);
    if (count <= 0) return;  // nothing to copy; a negative count is kept as it came
    const uint32_t available = RawLength(record);
    const uint8_t* raw = PrivateDataPointer(record.RawBlock(), 0);
    uint32_t n = offset <= available ? (available - offset) / kSnapshotDeviceEntry : 0;
    if (n > static_cast<uint32_t>(count)) n = static_cast<uint32_t>(count);
    // The state lists go first, then the entries; both must fit in 990 bytes.
    uint8_t entries[kRawPrivateDataRoom];
    uint32_t listBytes = 0;
    uint32_t kept = 0;
    bool cut = n < static_cast<uint32_t>(count);
    for (; kept < n; ++kept) {
        uint8_t* entry = entries + kept * kSnapshotDeviceEntry;
        std::memcpy(entry, raw + offset + kept * kSnapshotDeviceEntry, kSnapshotDeviceEntry);
        const int32_t states = static_cast<int32_t>(LoadLE32(entry + 72));
        const uint32_t stateOffset = LoadLE32(entry + 76);
        uint32_t s = states > 0 ? static_cast<uint32_t>(states) : 0;
        const uint32_t sFits = stateOffset <= available ? (available - stateOffset) / 4 : 0;
        if (s > sFits || states < 0) {
            cut = true;
            if (s > sFits) s = sFits;
        }
        if (listBytes + 4 * s + (kept + 1) * kSnapshotDeviceEntry > kRawPrivateDataRoom) {
            cut = true;
            break;
        }
        const int placed = s ? AppendPrivateData(RawBlock(), raw + stateOffset, 4 * s,
                                                 kRawPrivateDataBlockSize)
                             : static_cast<int>(listBytes);
        StoreLE32(entry + 72, s);
        StoreLE32(entry + 76, static_cast<uint32_t>(placed < 0 ? 0 : placed));
        listBytes += 4 * s;
    }
    if (cut)
        EMSTraceMessage(
            "%s: %d entries at offset %u do not fit the %u bytes of raw private data; %u kept",
            m_Desc->className, count, offset, available, kept);
    StoreLE32(Body(), kept);
    const int placed = kept ? AppendPrivateData(RawBlock(), entries, kept * kSnapshotDeviceEntry,
                                                kRawPrivateDataBlockSize)
                            : static_cast<int>(listBytes);
    StoreLE32(Body() + 4, static_cast<uint32_t>(placed < 0 ? 0 : placed));
}

const CSTAConfDesc* FindCSTAConfirmation(uint16_t eventType) {
    for (const CSTAConfDesc& d : kCSTAConfirmations)
        if (d.eventType == eventType) return &d;
    return nullptr;
}

std::unique_ptr<TPCSTAConfMsg> CreateCSTAConfirmation(uint16_t peripheralID,
                                                      const CSTAEventRecord& record) {
    if (record.EventClass() != kCSTAClassConfirmation) return nullptr;
    const uint8_t* block = record.OPCBlock();
    switch (record.EventType()) {
#define CSTA_CONF(Class, type, body, pd, copies) \
    case type:                                   \
        return std::make_unique<Class>(peripheralID, record, block);
#include "opcmsg/cstaconfirmations.def"
#include "platform/byteorder.h"
#undef CSTA_CONF
    default:
        return nullptr;
    }
}
