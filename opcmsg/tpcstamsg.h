#pragma once
// The CSTA record exchanged with OPC: the base of every CSTA request and confirmation class,
// the connection identifier, the record that a received CTI_CSTA_MESSAGE is unpacked into,
// and the field engine that the request tables drive.
//
// A record is one flat little-endian byte area, laid out as OPC's event is:
//   0 u16 PeripheralID, 2 u16 eventClass, 4 u16 eventType, 6 two zero bytes,
//   8 u32 InvokeID, 12 u32 ClientInvokeID, 16 the body area (1296 bytes; a request body is
//   its first 356 bytes), 1312 the raw private-data block (1024), 2336 the OPC private-data
//   block (2906). Nothing of the host's layout or padding is in it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "opcmsg/opcbytes.h"
#include "opcmsg/opclib.h"
#include "platform/byteorder.h"

constexpr uint32_t kCSTAHeaderSize = 8;            // 6 bytes of ACS header, 2 zero
constexpr uint32_t kCSTAEventAreaSize = 1304;      // InvokeID, ClientInvokeID, body area
constexpr uint32_t kCSTABodyAreaSize = 1296;
constexpr uint32_t kCSTARequestBodySize = 356;     // the request body that travels
constexpr uint32_t kCSTARequestEventSize = 364;    // InvokeID + ClientInvokeID + body
constexpr uint32_t kCSTARecInvokeID = 8;
constexpr uint32_t kCSTARecClientInvokeID = 12;
constexpr uint32_t kCSTARecBody = 16;
constexpr uint32_t kCSTARecRawBlock = kCSTAHeaderSize + kCSTAEventAreaSize;            // 1312
constexpr uint32_t kCSTARecOPCBlock = kCSTARecRawBlock + kRawPrivateDataBlockSize;     // 2336
constexpr uint32_t kCSTARecordSize = kCSTARecOPCBlock + kOPCPrivateDataBlockSize;      // 5242
constexpr uint32_t kRawPrivateDataRoom = kRawPrivateDataBlockSize - kPrivateDataHeadSize;  // 990
constexpr uint32_t kOPCPrivateDataRoom = kOPCPrivateDataBlockSize - kPrivateDataHeadSize;  // 2872

constexpr uint16_t kCSTAClassUnsolicited = 4;
constexpr uint16_t kCSTAClassConfirmation = 5;
constexpr uint16_t kCSTAClassEventReport = 6;
constexpr uint16_t kCSTAClassRequest = 8;

// A CSTA connection identifier as a value. On the wire it is 72 bytes: u32 callID,
// char[64] deviceID (no NUL when full), u32 deviceIDType (0 static, 1 dynamic).
struct ConnectionID {
    int32_t callID = -1;
    char deviceID[65] = {};  // always terminated here
    uint32_t deviceIDType = 0;

    static constexpr uint32_t kWireSize = 72;
    static ConnectionID Read(const uint8_t* wire);
};

// One received CTI_CSTA_MESSAGE as the unpacker leaves it (see cstawire.h): the ACS header,
// the event body (zero-filled past its length), both private-data blocks, and views of the
// message's strings 1 to 16 and of its ECC block, which point into the message given to the
// unpacker and live as long as it does. A view holds the characters the string's length
// states (a NUL among them is OPC's).
class CSTAEventRecord {
public:
    uint16_t PeripheralID() const { return plat::LoadLE16(m_Bytes); }
    uint16_t EventClass() const { return plat::LoadLE16(m_Bytes + 2); }
    uint16_t EventType() const { return plat::LoadLE16(m_Bytes + 4); }
    const uint8_t* Header() const { return m_Bytes; }
    // The event body: for a confirmation it starts with InvokeID and ClientInvokeID.
    const uint8_t* EventBody() const { return m_Bytes + kCSTAHeaderSize; }
    uint32_t EventBodyLength() const { return m_BodyLength; }
    uint32_t InvokeID() const { return plat::LoadLE32(m_Bytes + kCSTARecInvokeID); }
    uint32_t ClientInvokeID() const { return plat::LoadLE32(m_Bytes + kCSTARecClientInvokeID); }
    // A confirmation's own fields (event body offset 8).
    const uint8_t* ConfirmationBody() const { return m_Bytes + kCSTARecBody; }
    const uint8_t* RawBlock() const { return m_Bytes + kCSTARecRawBlock; }
    const uint8_t* OPCBlock() const { return m_Bytes + kCSTARecOPCBlock; }
    uint8_t* Bytes() { return m_Bytes; }
    const uint8_t* Bytes() const { return m_Bytes; }

    std::string_view UniqueInstanceID;    // string 1
    std::string_view DeviceID;            // string 2 (end-task events: WrapupData)
    std::string_view ApplicationData;     // string 3
    std::string_view ScriptSelector;      // string 4
    std::string_view ApplicationString1;  // string 5
    std::string_view ApplicationString2;  // string 6
    std::string_view CallVariables[10];   // strings 7 to 16
    std::span<const uint8_t> ECC;         // position 17: the BINDATA, at most 2000 bytes

private:
    friend bool UnpackCSTAMessage(const uint8_t*, uint32_t, CSTAEventRecord*);
    alignas(8) uint8_t m_Bytes[kCSTARecordSize] = {};
    uint32_t m_BodyLength = 0;
};

// How a field of a request body or typed private data is filled (see TPCSTAMsg).
enum class CSTAFieldKind : uint8_t {
    Conn,        // ConnectionID, 72 bytes
    DevText,     // device text: up to width characters, NUL-filled, no NUL when full
    Bounded,     // at most width-1 characters and a NUL
    Plain,       // up to width characters, no NUL when full
    U32,
    U16,
    I16,
    I8,
    CallVars,    // ten 41-byte slots
    UserToUser,  // u16 length, u16 mark 0xFFFF, 131 bytes of data
    ECC,         // u32 size, 2000 bytes of BINDATA
    Groups,      // nineteen plain texts of 32 bytes
};
enum class CSTAArea : uint8_t { Body, PD };

// One row of a request class's field table: the one place where its offset, kind, width and
// default are written down.
struct CSTAField {
    const char* name;
    CSTAArea area;
    uint16_t offset;
    CSTAFieldKind kind;
    uint16_t width;
    int32_t def;
};

class TPCSTAMsg {
public:
    TPCSTAMsg(uint32_t invokeID, uint32_t clientInvokeID);
    virtual ~TPCSTAMsg() = default;
    TPCSTAMsg(const TPCSTAMsg&) = default;
    TPCSTAMsg& operator=(const TPCSTAMsg&) = default;

    // Calls the second Trace with prefix, dumpPrivateData and option.
    virtual void Trace(const char* prefix, int dumpPrivateData, int includePV, int includeECC,
                       int option);
    // "TPCSTAMsg: %s InvokeID=0x%x InvokeIDHashIndex=%d, ClientInvokeID=0x%x".
    virtual void Trace(const char* prefix, int dumpPrivateData, int option);

    void Initialize(uint32_t invokeID, uint32_t clientInvokeID);

    uint16_t PeripheralID() const { return plat::LoadLE16(m_Bytes); }
    uint16_t eventClass() const { return plat::LoadLE16(m_Bytes + 2); }
    uint16_t eventType() const { return plat::LoadLE16(m_Bytes + 4); }
    uint32_t InvokeID() const { return m_InvokeID; }
    uint32_t ClientInvokeID() const { return m_ClientInvokeID; }
    uint32_t InvokeIDHashIndex() const { return m_InvokeIDHashIndex; }

    // The record's bytes (layout at the top of this header).
    const uint8_t* Bytes() const { return m_Bytes; }
    uint8_t* Body() { return m_Bytes + kCSTARecBody; }
    const uint8_t* Body() const { return m_Bytes + kCSTARecBody; }
    // InvokeID, ClientInvokeID and the body: the 364 bytes of a request's event part.
    const uint8_t* EventPart() const { return m_Bytes + kCSTARecInvokeID; }
    uint8_t* RawBlock() { return m_Bytes + kCSTARecRawBlock; }
    const uint8_t* RawBlock() const { return m_Bytes + kCSTARecRawBlock; }
    uint8_t* OPCBlock() { return m_Bytes + kCSTARecOPCBlock; }
    const uint8_t* OPCBlock() const { return m_Bytes + kCSTARecOPCBlock; }
    // The typed private data: data offset 0 of the OPC block.
    uint8_t* PrivateData() { return PrivateDataPointer(OPCBlock(), 0); }
    const uint8_t* PrivateData() const { return PrivateDataPointer(OPCBlock(), 0); }
    // A u32 word of the typed private data at `offset` (below 2872, unchecked otherwise).
    uint32_t PrivateDataWord(uint32_t offset) const {
        return plat::LoadLE32(PrivateData() + offset);
    }

    // Sets the 72-byte connection at `connection` (inside this record): a device id over 64
    // characters is traced and cut, a type above 1 is traced and the old type stays.
    void SetConnectionID(uint8_t* connection, int32_t callID, const char* deviceID,
                         uint32_t deviceIDType);
    // Copies a received block (head and data) over the OPC block; a stated length above 2872
    // is cut to 2872 with a trace.
    void SetPrivateData(const uint8_t* block);
    // Hex dump of the OPC block's data as traces of up to 192 bytes each.
    void PrivateDataDump() const;

    // Device texts: up to 64 characters, NUL-filled; a null text empties the field.
    static void CopyDeviceID(uint8_t* field, const char* text);
    static void ClearDeviceID(uint8_t* field) { CopyDeviceID(field, nullptr); }

protected:
    // As the public constructor, zeroing only the first `zeroedData` data bytes of the OPC
    // block (at most 2872): a class's typed private data.
    TPCSTAMsg(uint32_t invokeID, uint32_t clientInvokeID, uint32_t zeroedData);

    // The field engine of the request tables.
    uint8_t* FieldPointer(const CSTAField& f) {
        return (f.area == CSTAArea::Body ? Body() : PrivateData()) + f.offset;
    }
    const uint8_t* FieldPointer(const CSTAField& f) const {
        return (f.area == CSTAArea::Body ? Body() : PrivateData()) + f.offset;
    }
    void ResetField(const CSTAField& f);
    void SetConnField(const CSTAField& f, int32_t callID, const char* deviceID,
                      uint32_t deviceIDType);
    void SetTextField(const CSTAField& f, const char* text);
    void SetNumberField(const CSTAField& f, int64_t value);
    void SetCallVariablesField(const CSTAField& f, const char* slots);
    void SetUserToUserField(const CSTAField& f, const void* data, int32_t length);
    void SetECCField(const CSTAField& f, int32_t size, const void* data);
    void SetGroupField(const CSTAField& f, int32_t index, const char* text);
    ConnectionID ConnField(const CSTAField& f) const { return ConnectionID::Read(FieldPointer(f)); }
    std::string TextField(const CSTAField& f) const;
    int64_t NumberField(const CSTAField& f) const;

    template <CSTAFieldKind K, class... A>
    void SetField(const CSTAField& f, A... a) {
        if constexpr (K == CSTAFieldKind::Conn) {
            SetConnField(f, a...);
        } else if constexpr (K == CSTAFieldKind::DevText || K == CSTAFieldKind::Bounded ||
                             K == CSTAFieldKind::Plain) {
            SetTextField(f, a...);
        } else if constexpr (K == CSTAFieldKind::CallVars) {
            SetCallVariablesField(f, a...);
        } else if constexpr (K == CSTAFieldKind::UserToUser) {
            SetUserToUserField(f, a...);
        } else if constexpr (K == CSTAFieldKind::ECC) {
            SetECCField(f, a...);
        } else if constexpr (K == CSTAFieldKind::Groups) {
            SetGroupField(f, a...);
        } else {
            SetNumberField(f, static_cast<int64_t>(a)...);
        }
    }
    template <CSTAFieldKind K>
    auto GetField(const CSTAField& f) const {
        if constexpr (K == CSTAFieldKind::Conn) {
            return ConnField(f);
        } else if constexpr (K == CSTAFieldKind::DevText || K == CSTAFieldKind::Bounded ||
                             K == CSTAFieldKind::Plain) {
            return TextField(f);
        } else if constexpr (K == CSTAFieldKind::U32 || K == CSTAFieldKind::U16 ||
                             K == CSTAFieldKind::I16 || K == CSTAFieldKind::I8) {
            return NumberField(f);
        } else {
            return FieldPointer(f);
        }
    }

    void WriteHeader(uint16_t peripheralID, uint16_t eventClass, uint16_t eventType,
                     uint32_t invokeID, uint32_t clientInvokeID);

    alignas(8) uint8_t m_Bytes[kCSTARecordSize];
    uint32_t m_InvokeID;
    uint32_t m_ClientInvokeID;
    uint32_t m_InvokeIDHashIndex;
};
