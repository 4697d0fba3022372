#pragma once
// Agent reporting and management (ARM) messages between the server and OPC: the base that
// the OPC link's sender and the OPC-message dispatcher use, the type numbers and names, and
// the shared implementation that one layout row per type drives (opcmsg/armwire.h).
//
// A message to OPC is default-constructed, filled and serialized; a message from OPC is
// constructed from the received body and its length (the bytes after the ServerNumber
// word). Messages hold no lock and are used by one thread.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "opcmsg/armwire.h"

// The 55 ARM message types, from the ARM rows of the OPC type list (opctypes.def).
enum ARMMsgType : uint32_t {
#define OPC_TYPE_Arm(number, name) name = number,
#define OPC_TYPE_Cti(number, name)
#define OPC_TYPE_Acmi(number, name)
#define OPC_TYPE(number, name, family) OPC_TYPE_##family(number, name)
#include "opcmsg/opctypes.def"
#undef OPC_TYPE
#undef OPC_TYPE_Arm
#undef OPC_TYPE_Cti
#undef OPC_TYPE_Acmi
};

// The name of an ARM type, or "<ARM Msg Type(%d)>" for any other number.
std::string ARMMsgTypeName(uint32_t type);

// The wire layout of an ARM type; null for a number that is not an ARM type.
const opcwire::Layout* ARMLayout(uint32_t type);

class ARMMsgBase {
public:
    virtual ~ARMMsgBase() = default;
    // Whole wire length in bytes.
    virtual uint32_t GetLength() const = 0;
    virtual uint32_t GetMsgType() const = 0;
    // Writes exactly GetLength() bytes at out and returns the position after them. Returns
    // nullptr and writes nothing when GetLength() exceeds `room` or the 4008 bytes that an
    // OPC message has after its ServerNumber word.
    [[nodiscard]] virtual uint8_t* Serialize(uint8_t* out, size_t room) const = 0;
    // The fields as trace text; the base's is empty.
    virtual std::string ToString() const { return {}; }
};

// What the ARM classes share; each class gives its type and its accessors.
class ARMMsgCommon : public ARMMsgBase {
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
    // False for a received body that was refused (it ended before an item it announced, or
    // its ECC size was negative); such a message holds zeros and empty texts.
    bool IsValid() const { return m_Body.Valid(); }

protected:
    explicit ARMMsgCommon(ARMMsgType type);
    ARMMsgCommon(ARMMsgType type, const uint8_t* body, size_t length);

    opcwire::Body m_Body;
};

// Accessor pairs over the fixed part; each also names the field's offset for the layout rows.
#define ARM_I32(Name, Off)                                      \
    static constexpr uint16_t k##Name = Off;                    \
    int32_t Get##Name() const { return m_Body.I32(Off); }       \
    void Set##Name(int32_t v) { m_Body.SetI32(Off, v); }
#define ARM_U32(Name, Off)                                                          \
    static constexpr uint16_t k##Name = Off;                                        \
    uint32_t Get##Name() const { return static_cast<uint32_t>(m_Body.I32(Off)); }   \
    void Set##Name(uint32_t v) { m_Body.SetI32(Off, static_cast<int32_t>(v)); }
#define ARM_U16(Name, Off)                                      \
    static constexpr uint16_t k##Name = Off;                    \
    uint16_t Get##Name() const { return m_Body.U16(Off); }      \
    void Set##Name(uint16_t v) { m_Body.SetU16(Off, v); }
#define ARM_U8(Name, Off)                                       \
    static constexpr uint16_t k##Name = Off;                    \
    uint8_t Get##Name() const { return m_Body.U8(Off); }        \
    void Set##Name(uint8_t v) { m_Body.SetU8(Off, v); }
#define ARM_TASK(Name, Off)                                                               \
    static constexpr uint16_t k##Name = Off;                                              \
    void Get##Name(int32_t& first, int32_t& second, int32_t& third) const {               \
        m_Body.GetTask(Off, first, second, third);                                        \
    }                                                                                     \
    void Set##Name(int32_t first, int32_t second, int32_t third) {                        \
        m_Body.SetTask(Off, first, second, third);                                        \
    }
#define ARM_TEXT(Name, Index)                                          \
    static constexpr uint16_t k##Name = Index;                         \
    CString Get##Name() const { return m_Body.Text(Index); }           \
    void Set##Name(const CString& v) { m_Body.Text(Index) = v; }
#define ARM_UII                                                                   \
    void SetUniqueInstanceID(const CString& v) { m_Body.UII() = v; }              \
    CString GetUniqueInstanceID() const { return m_Body.UII(); }
// Call variables 1 to 10 as texts First to First+9, and the ECC block.
#define ARM_CALL_VARIABLES_AND_ECC(First)                                                   \
    static constexpr uint16_t kCallVariable1 = First;                                       \
    /* Fills ten 41-byte slots: at most 40 characters each, always NUL-ended. */            \
    void GetCallVariables(char (&out)[10][41]) const { m_Body.GetCallVariables(First, out); } \
    void SetCallVariables(const std::array<CString, 10>& v) { m_Body.SetCallVariables(First, v); } \
    /* The ECC data (valid until the message changes) and its size in `size`. */           \
    const uint8_t* GetExpandedCallContext(int32_t& size) const { return m_Body.GetECC(size); } \
    /* Keeps min(size, 2000) bytes; a size of 0 or less keeps none. */                      \
    void SetExpandedCallContext(int32_t size, const uint8_t* data) { m_Body.SetECC(size, data); } \
    /* The fields as trace text, with the call variables and the ECC table when asked. A   \
       server-built ECC that does not load ends the process (broken invariant); an ECC     \
       received from OPC that does not load is reported in the text. */                    \
    std::string ToString(bool includeCallVariables, bool includeECC) const {               \
        return m_Body.Trace(includeCallVariables, includeECC);                             \
    }                                                                                       \
    using ARMMsgCommon::ToString;

// Declares a class of a shared layout with its type: default and received constructors.
#define ARM_OUT_CLASS(Class, LayoutClass, Type)              \
    class Class final : public LayoutClass {                 \
    public:                                                  \
        Class() : LayoutClass(Type) {}                       \
    };
#define ARM_IN_CLASS(Class, LayoutClass, Type)                                   \
    class Class final : public LayoutClass {                                     \
    public:                                                                      \
        Class() : LayoutClass(Type) {}                                           \
        /* Reads `length` received bytes; see IsValid. */                        \
        Class(const uint8_t* body, size_t length) : LayoutClass(Type, body, length) {} \
    };
