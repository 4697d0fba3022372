#pragma once
// ACMI route messages between the server and OPC (types 106 to 110). Same wire scheme as
// the ARM messages (opcmsg/armwire.h) without a unique instance id; 16-bit fields are
// signed, and a lone one at the end of a fixed part is followed by two zero bytes.
//
// Messages to OPC (106, 109, 110) are default-constructed and filled; messages from OPC
// (107, 108, 110) are constructed from the received body and its length.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "opcmsg/armmsg.h"
#include "opcmsg/armwire.h"

// The five ACMI types, from the ACMI rows of the OPC type list (opctypes.def).
enum ACMIMsgType : uint32_t {
#define OPC_TYPE_Acmi(number, name) name = number,
#define OPC_TYPE_Cti(number, name)
#define OPC_TYPE_Arm(number, name)
#define OPC_TYPE(number, name, family) OPC_TYPE_##family(number, name)
#define OPC_UNNAMED_TYPE(number, name, family) OPC_TYPE_##family(number, name)
#include "opcmsg/opctypes.def"
#undef OPC_TYPE
#undef OPC_UNNAMED_TYPE
#undef OPC_TYPE_Acmi
#undef OPC_TYPE_Cti
#undef OPC_TYPE_Arm
    // The request that registers a route point: the type-name table calls it an event.
    ACMI_ROUTE_REGISTER_REQ = ACMI_ROUTE_REGISTER_EVENT,
};

// The wire layout of an ACMI type; null for any other number.
const opcwire::Layout* ACMILayout(uint32_t type);

class ACMIMsgBase {
public:
    virtual ~ACMIMsgBase() = default;
    virtual uint32_t GetLength() const = 0;
    virtual uint32_t GetMsgType() const = 0;
    // Writes exactly GetLength() bytes at out and returns the position after them; nullptr,
    // with nothing written, when GetLength() exceeds `room` or 4008 bytes.
    [[nodiscard]] virtual uint8_t* Serialize(uint8_t* out, size_t room) const = 0;
    // The base's text is empty.
    virtual std::string ToString() const { return {}; }
};

class ACMIMsgCommon : public ACMIMsgBase {
public:
    uint32_t GetLength() const override { return m_Body.Length(); }
    uint32_t GetMsgType() const override { return m_Body.layout().type; }
    [[nodiscard]] uint8_t* Serialize(uint8_t* out, size_t room) const override {
        return m_Body.Write(out, room);
    }
    std::string ToString() const override {
        return m_Body.layout().plainTextEmpty ? std::string() : m_Body.Trace(false, false);
    }
    virtual uint32_t GetFixedLength() const { return m_Body.layout().fixedLength; }
    // False for a received body that was refused (see opcwire::Body); it holds zeros.
    bool IsValid() const { return m_Body.Valid(); }

protected:
    explicit ACMIMsgCommon(ACMIMsgType type);
    ACMIMsgCommon(ACMIMsgType type, const uint8_t* body, size_t length);

    opcwire::Body m_Body;
};

#define ACMI_U32(Name, Off)                                                         \
    static constexpr uint16_t k##Name = Off;                                        \
    uint32_t Get##Name() const { return static_cast<uint32_t>(m_Body.I32(Off)); }   \
    void Set##Name(uint32_t v) { m_Body.SetI32(Off, static_cast<int32_t>(v)); }
#define ACMI_I16(Name, Off)                                                         \
    static constexpr uint16_t k##Name = Off;                                        \
    int16_t Get##Name() const { return static_cast<int16_t>(m_Body.U16(Off)); }     \
    void Set##Name(int16_t v) { m_Body.SetU16(Off, static_cast<uint16_t>(v)); }
#define ACMI_CALL_VARIABLES_AND_ECC(First)                                                    \
    ARM_TEXT(CallVariable1, First + 0)                                                        \
    ARM_TEXT(CallVariable2, First + 1)                                                        \
    ARM_TEXT(CallVariable3, First + 2)                                                        \
    ARM_TEXT(CallVariable4, First + 3)                                                        \
    ARM_TEXT(CallVariable5, First + 4)                                                        \
    ARM_TEXT(CallVariable6, First + 5)                                                        \
    ARM_TEXT(CallVariable7, First + 6)                                                        \
    ARM_TEXT(CallVariable8, First + 7)                                                        \
    ARM_TEXT(CallVariable9, First + 8)                                                        \
    ARM_TEXT(CallVariable10, First + 9)                                                       \
    /* Fills ten 41-byte slots: at most 40 characters each, always NUL-ended. */              \
    void GetCallVariables(char (&out)[10][41]) const { m_Body.GetCallVariables(First, out); } \
    void SetCallVariables(const std::array<CString, 10>& v) { m_Body.SetCallVariables(First, v); } \
    /* The ECC data (valid until the message changes) and its size in `size`. */             \
    const uint8_t* GetExpandedCallContext(int32_t& size) const { return m_Body.GetECC(size); } \
    /* Keeps min(size, 2000) bytes; a size of 0 or less keeps none. */                        \
    void SetExpandedCallContext(int32_t size, const uint8_t* data) { m_Body.SetECC(size, data); } \
    /* The trace text, with the call variables when asked; ToString() is empty. */            \
    std::string ToString(bool includeCallVariables) const {                                   \
        return m_Body.Trace(includeCallVariables, false);                                     \
    }                                                                                         \
    using ACMIMsgCommon::ToString;

class ACMIRouteRegisterReqMsg final : public ACMIMsgCommon {
public:
    ACMIRouteRegisterReqMsg() : ACMIMsgCommon(ACMI_ROUTE_REGISTER_REQ) {}
    ACMI_U32(InvokeID, 0)
    ACMI_U32(PeripheralID, 8)
    ACMI_I16(Action, 12)
    ARM_TEXT(RoutePoint, 0)
    ACMI_U32(ClientInvokeID, 4)
};

class ACMIRouteRegisterRespMsg final : public ACMIMsgCommon {
public:
    ACMIRouteRegisterRespMsg() : ACMIMsgCommon(ACMI_ROUTE_REGISTER_RESP) {}
    ACMIRouteRegisterRespMsg(const uint8_t* body, size_t length)
        : ACMIMsgCommon(ACMI_ROUTE_REGISTER_RESP, body, length) {}
    ACMI_U32(InvokeID, 0)
    ACMI_I16(Cause, 8)
    ACMI_U32(ClientInvokeID, 4)
};

class ACMIRouteRequestEventMsg final : public ACMIMsgCommon {
public:
    ACMIRouteRequestEventMsg() : ACMIMsgCommon(ACMI_ROUTE_REQUEST_EVENT) {}
    ACMIRouteRequestEventMsg(const uint8_t* body, size_t length)
        : ACMIMsgCommon(ACMI_ROUTE_REQUEST_EVENT, body, length) {}
    ACMI_U32(InvokeID, 0)
    ACMI_U32(PeripheralID, 4)
    ACMI_U32(xRefID, 8)
    ACMI_U32(CallID, 12)
    ACMI_I16(DeviceIDType, 16)
    ACMI_I16(TimeOut, 18)
    ARM_TEXT(CurrentRoute, 0)
    ARM_TEXT(CallingDevice, 1)
    ARM_TEXT(DeviceID, 2)
    ACMI_U32(COCConnectionCallID, 20)
    ARM_TEXT(COCConnectionDeviceID, 3)
    ACMI_I16(COCConnectionDeviceIDType, 24)
    ACMI_CALL_VARIABLES_AND_ECC(5)
    ARM_TEXT(CED, 4)
    ACMI_I16(Options, 26)
};

class ACMIRouteSelectEventMsg final : public ACMIMsgCommon {
public:
    ACMIRouteSelectEventMsg() : ACMIMsgCommon(ACMI_ROUTE_SELECT_EVENT) {}
    ACMI_U32(InvokeID, 0)
    ACMI_U32(xRefID, 4)
    ACMI_U32(ControlFlags, 8)
    ACMI_U32(EnterpriseQueueTime, 12)
    ARM_TEXT(RouteSelected, 0)
    ACMI_CALL_VARIABLES_AND_ECC(1)
};

class ACMIRouteEndEventMsg final : public ACMIMsgCommon {
public:
    ACMIRouteEndEventMsg() : ACMIMsgCommon(ACMI_ROUTE_END_EVENT) {}
    ACMIRouteEndEventMsg(const uint8_t* body, size_t length)
        : ACMIMsgCommon(ACMI_ROUTE_END_EVENT, body, length) {}
    ACMI_U32(InvokeID, 0)
    ACMI_U32(xRefID, 4)
    ACMI_I16(Status, 8)
};
