#pragma once
// The CSTA confirmation classes: one class per confirmation type (cstaconfirmations.def),
// each built from a received CSTA record by shared code that its table row drives.
//
// Construction (peripheralID, record, opcBlock): writes the class's defaults, checks that the
// record is class 5 of the class's type (else EMSFailMessage "Construction of <class> failed
// eventClass=%d eventType=%d", which ends the process), copies the body (lists into the
// confirmation's own raw block, offsets rewritten to count from its first data byte), then
// copies `opcBlock` (a received PrivateDataBlock: head and data) over its OPC block. Lists
// that reach past the received raw data or the 990 bytes a record holds are cut to the whole
// entries that fit, with a trace. `opcBlock` may be null (no private data).
#include <cstdint>
#include <memory>

#include "opcmsg/tpcstamsg.h"

enum class CSTAConfBody : uint8_t {
    None,
    NewCall,         // 0: ConnectionID
    PartyList,       // 0: NewCall, 72: u32 ConnCount, 76: u32 offset of 144-byte party entries
    Connection,      // 0: ConnectionID
    Byte,            // 0: i8 (Message, DoNotDisturb)
    AgentState,      // 0: u32 AgentState, default 1
    Error,           // 0: u32 Error
    LastNumber,      // 0: char[64]
    DeviceInfo,      // 0: char Dev[64], 64: u32 DevType (255), 68: u8 DevClass (16)
    Forward,         // 0: i16 ForwardCount (clamped to 7), 4: seven 72-byte forward entries
    SnapshotCall,    // 0: u32 Count, 4: u32 offset of 148-byte entries
    SnapshotDevice,  // 0: u32 Count (-1), 4: u32 offset of 84-byte entries and state lists
};
enum class CSTAConfPD : uint8_t { None, Line, UniversalFailure, DeviceInfo, SnapshotCall };

struct CSTAConfDesc {
    const char* className;
    uint16_t eventType;
    CSTAConfBody body;
    CSTAConfPD pd;
    bool copiesPrivateData;
};

// Offsets of the typed private data of confirmations (from the OPC block's first data byte).
namespace cstaconfpd {
constexpr uint32_t kLineHandle = 0, kLineType = 4, kLineSize = 8;
constexpr uint32_t kPeripheralErrorCode = 0, kUniversalFailureSize = 4;
constexpr uint32_t kPeripheralType = 0, kNumLines = 4, kMaxActiveCalls = 8, kMaxHeldCalls = 12,
                   kMaxDevicesInConference = 16, kMakeCallSetup = 20,
                   kTransferConferenceSetup = 24, kCallEventsSupported = 28,
                   kCallControlSupported = 32, kOtherFeaturesSupported = 36,
                   kPeripheralSpecific = 40, kLineHandles = 44, kLineTypes = 84, kDataType = 124,
                   kDataLength = 128, kData = 132, kDeviceInfoSize = 960;
constexpr uint32_t kCallType = 0, kCallTypeID = 4, kCOC = 8, kRecordingStatus = 80,
                   kProtocolReferenceGUID = 84, kTessalyConfigId = 148,
                   kNumOfEnabledServices = 188, kEnabledServices = 192, kSnapshotCallSize = 320;
}  // namespace cstaconfpd

class TPCSTAConfMsg : public TPCSTAMsg {
public:
    const CSTAConfDesc& Description() const { return *m_Desc; }

    // Plain reads of the body; each belongs to the body kinds named.
    ConnectionID GetNewCall() const;     // NewCall, PartyList
    ConnectionID GetConnection() const;  // Connection
    uint32_t GetDeviceType() const;      // DeviceInfo
    uint8_t GetDeviceClass() const;      // DeviceInfo
    uint32_t GetError() const;           // Error (universal failure)
    // The body's Count and entry-list offset (SnapshotCall, SnapshotDevice); the offset and
    // each entry's state-list offset count from RawBlock's first data byte.
    const uint8_t* GetSnapshotData() const { return Body(); }

protected:
    TPCSTAConfMsg(const CSTAConfDesc& desc, uint16_t peripheralID, const CSTAEventRecord& record,
                  const uint8_t* opcBlock);

private:
    void WriteDefaults();
    void CopyBody(const CSTAEventRecord& record);
    void CopyList(const CSTAEventRecord& record, uint32_t countOffset, uint32_t listOffset,
                  uint32_t entrySize);
    void CopySnapshotDevice(const CSTAEventRecord& record);
    const CSTAConfDesc* m_Desc;
};

// The table rows, one per class, in the order of cstaconfirmations.def.
enum class CSTAConfRow : uint8_t {
#define CSTA_CONF(Class, type, body, pd, copies) Class,
#include "opcmsg/cstaconfirmations.def"
#undef CSTA_CONF
    Count
};
extern const CSTAConfDesc kCSTAConfirmations[static_cast<int>(CSTAConfRow::Count)];

#define CSTA_CONF(Class, type, body, pd, copies)                                              \
    class Class : public TPCSTAConfMsg {                                                      \
    public:                                                                                   \
        Class(uint16_t peripheralID, const CSTAEventRecord& record, const uint8_t* opcBlock)  \
            : TPCSTAConfMsg(kCSTAConfirmations[static_cast<int>(CSTAConfRow::Class)],         \
                            peripheralID, record, opcBlock) {}                                \
    };
#include "opcmsg/cstaconfirmations.def"
#undef CSTA_CONF

// The row of a confirmation event type, or null for a type with no class.
const CSTAConfDesc* FindCSTAConfirmation(uint16_t eventType);

// Builds the confirmation class that the record's event type selects, with the record's OPC
// block; null (nothing built) when the record is not class 5 or its type has no class.
std::unique_ptr<TPCSTAConfMsg> CreateCSTAConfirmation(uint16_t peripheralID,
                                                      const CSTAEventRecord& record);
