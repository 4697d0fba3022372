#pragma once
// The wire form shared by the ARM and ACMI messages: a fixed part of little-endian numbers
// (kept here as its raw bytes, so unset fields and padding are zero), an optional list,
// padded strings, an optional ECC block and, for ARM, the unique instance id last.
// One layout row per message type drives length, writing, reading and trace text.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/byteorder.h"

// The plain text type of the OPC messages. On the wire a text's length is the low 16 bits
// of its length.
using CString = std::string;

// Room for one OPC message body after the ServerNumber word of the 4012-byte buffer.
constexpr uint32_t kOPCMessageBodyRoom = 4008;
// Most ECC bytes a message keeps.
constexpr int32_t kARMMaxECCSize = 2000;

// A task id: three words assigned by OPC; text form "first/second/third".
struct ARMTaskID {
    int32_t Word1 = 0;
    int32_t Word2 = 0;
    int32_t Word3 = 0;
    bool operator==(const ARMTaskID&) const = default;
};

namespace opcwire {

// Bytes a padded string of `length` characters takes: (L+6)&~3.
constexpr uint32_t PaddedSize(uint32_t length) { return (length + 6u) & ~3u; }
// Bytes an ECC block of `size` data bytes takes: (S+7)&~3.
constexpr uint32_t ECCBlockSize(int32_t size) { return (static_cast<uint32_t>(size) + 7u) & ~3u; }

enum class ListKind : uint8_t {
    None,
    TaskIDs,  // count: u32 field of the fixed part; 12 bytes per element
    Words,    // count: u16 field of the fixed part; 4 bytes per element
    Members,  // its own count at its head (application-path member list)
};

// How one trace item renders: its label, then the value.
enum class Item : uint8_t {
    I32,      // signed 32-bit at offset arg
    U16,      // unsigned 16-bit at offset arg
    I16,      // signed 16-bit at offset arg
    Task,     // task id at offset arg, "a/b/c"
    Text,     // text number arg
    Label,    // the label alone
    OptUII,   // label and the unique instance id, only when not empty
    ECC,      // the ECC table; arg 0: else "No ExpandedCallContext\n", 1: ", No ExpandedCallContext"
    TaskList, // each task id followed by ", "
    WordList, // each word followed by ", "
};

struct TraceItem {
    const char* label;
    Item kind;
    uint16_t arg;
    bool callVariable = false;  // shown only when call variables are asked for
};

struct Layout {
    uint32_t type;
    const char* name;
    uint16_t fixedLength;
    uint8_t texts;             // padded strings before the ECC block (call variables among them)
    bool ecc;
    bool uniqueInstanceID;     // one more padded string, last
    ListKind list;
    uint16_t countOffset;      // the list's count field
    bool fromOPC;              // an ECC that does not load is reported in the text, not fatal
    bool plainTextEmpty;       // ToString() is the base's empty text
    const TraceItem* trace;
    uint8_t traceItems;
};

constexpr size_t kMaxFixed = 72;
constexpr size_t kMaxTexts = 16;

// The data of one message in wire terms. Not polymorphic; the message classes hold one.
class Body {
public:
    explicit Body(const Layout& layout) : m_Layout(&layout) {}
    // Reads a received body of `length` bytes, never past it. A body that ends before an
    // item it announces, or carries a negative ECC size, is refused: Valid() is false, the
    // refusal is traced and every field is left zero or empty.
    Body(const Layout& layout, const uint8_t* data, size_t length);

    const Layout& layout() const { return *m_Layout; }
    bool Valid() const { return m_Valid; }

    // Bytes on the wire.
    uint32_t Length() const;
    // Writes exactly Length() bytes at out and returns the position after them; returns
    // nullptr and writes nothing when Length() exceeds `room` or kOPCMessageBodyRoom.
    uint8_t* Write(uint8_t* out, size_t room) const;

    int32_t I32(size_t off) const { return static_cast<int32_t>(plat::LoadLE32(m_Fixed + off)); }
    void SetI32(size_t off, int32_t v) { plat::StoreLE32(m_Fixed + off, static_cast<uint32_t>(v)); }
    uint16_t U16(size_t off) const { return plat::LoadLE16(m_Fixed + off); }
    void SetU16(size_t off, uint16_t v) { plat::StoreLE16(m_Fixed + off, v); }
    uint8_t U8(size_t off) const { return m_Fixed[off]; }
    void SetU8(size_t off, uint8_t v) { m_Fixed[off] = v; }
    void GetTask(size_t off, int32_t& a, int32_t& b, int32_t& c) const {
        a = I32(off); b = I32(off + 4); c = I32(off + 8);
    }
    void SetTask(size_t off, int32_t a, int32_t b, int32_t c) {
        SetI32(off, a); SetI32(off + 4, b); SetI32(off + 8, c);
    }

    CString& Text(size_t i) { return m_Texts[i]; }
    const CString& Text(size_t i) const { return m_Texts[i]; }
    CString& UII() { return m_Texts[m_Layout->texts]; }
    const CString& UII() const { return m_Texts[m_Layout->texts]; }

    // Ten slots of 41 bytes: at most 40 characters of call variable i+1, always ended.
    void GetCallVariables(size_t first, char (&out)[10][41]) const;
    void SetCallVariables(size_t first, const std::array<CString, 10>& values);

    const uint8_t* GetECC(int32_t& size) const { size = m_ECCSize; return m_ECC.data(); }
    // Keeps min(size, 2000) bytes; a size of 0 or less keeps none.
    void SetECC(int32_t size, const uint8_t* data);
    int32_t ECCSize() const { return m_ECCSize; }

    std::vector<ARMTaskID>& Tasks() { return m_Tasks; }
    const std::vector<ARMTaskID>& Tasks() const { return m_Tasks; }
    std::vector<int32_t>& Words() { return m_Words; }
    const std::vector<int32_t>& Words() const { return m_Words; }

    // The layout's trace items; includeECC loads the ECC (fatal for the server's own ECC
    // when it does not load, a note in the text for an ECC from OPC).
    std::string Trace(bool includeCallVariables, bool includeECC) const;

    // The count field of a list layout, as announced.
    uint32_t ListCount() const;

    // Marks a received body of `length` bytes refused: traces it and clears every field.
    void Refuse(size_t length, const char* what);

private:

    const Layout* m_Layout;
    bool m_Valid = true;
    uint8_t m_Fixed[kMaxFixed] = {};
    std::array<CString, kMaxTexts> m_Texts;
    int32_t m_ECCSize = 0;
    // Only the first m_ECCSize bytes are meaningful; left uninitialised so that a message
    // without ECC data costs nothing for it.
    std::array<uint8_t, kARMMaxECCSize> m_ECC;
    std::vector<ARMTaskID> m_Tasks;
    std::vector<int32_t> m_Words;
};

// Appends "a/b/c".
void AppendTaskID(std::string& out, int32_t a, int32_t b, int32_t c);
void AppendInt(std::string& out, int64_t v);

}  // namespace opcwire
