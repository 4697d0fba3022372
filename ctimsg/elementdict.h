#pragma once
// The element dictionary: one row per field class of the CTI protocol, compiled from
// elementdict.def, the one source of element ids, class names, base types, widths, minimum
// versions, floating tags, trace names, value rules and value texts (its opening comment
// documents the columns). The element classes (elements.h), the id names and table sizes
// (elementids.h), and the element-name, element-tag, tag-name and tag-to-element tables
// (names.cpp) are all built from it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ctimsg/elementids.h"

namespace elementdict {

// Base classes of the field classes.
enum class Base : uint8_t {
    UINTElement,
    INTElement,
    USHORTElement,
    UCHARElement,
    BOOLElement,
    STRINGElement,
    UNSPECElement,
    TaskIDType,
    DataStructureField,
    ECCElement,
    MaskBits,
    DeviceIDType,
    ConnectionDeviceIDType,
    CTIAgentState,
    AgentID_Long,
};

// Value rules. Values are compared as the unsigned value of the field's width.
enum class CheckKind : uint8_t {
    None,
    Range,         // lo <= v <= hi
    RangeOrNone,   // lo <= v <= hi, or 0xFFFF (no value)
    EventCause,    // 1..61, 1001..1066 or 0xFFFF
    NotEmpty,      // a present string must not be empty
    DigitsOnly,    // a present non-empty string holds only '0'..'9'
};

struct Check {
    CheckKind kind;
    uint32_t lo;
    uint32_t hi;
    uint16_t code;  // CTI failure code returned when the rule is broken
};

// Value texts.
enum class TextKind : uint8_t {
    None,      // the base's text
    Name,      // a value-name function's text, then a blank
    Hex,       // hexadecimal mask
    NA,        // "N/A " for the no-value id
    NA255,     // "N/A " at 255
    TimeStamp, // local time
    Bare,      // the number alone
    BitNames,  // names of the set bits
};

// Appends the value's name; the element adds the blank.
using AppendNameFn = void (*)(std::string& out, uint32_t value);

struct Text {
    TextKind kind;
    AppendNameFn name;  // for TextKind::Name only
};

// Behaviour that is written by hand instead of coming from the row alone.
enum class Special : uint8_t {
    None,
    ByVersion,     // encoding and checks depend on the protocol version
    NeverTraced,   // never shown in a trace
    OwnTraceFlag,  // a one-shot flag hides its next trace
    BuiltZero,     // built present with value 0; any other value fails
    FixedBytes,    // a fixed-part raw field of exactly its width
    FamilyBase,    // the class is itself the family base of other classes
    REMaskArray,   // the count field that owns the ten REMask entries
    REMaskMember,  // a member of each REMask entry
};

template <auto Fn>
void AppendName(std::string& out, uint32_t value) {
    out.append(Fn(static_cast<int32_t>(value)));
}

struct Row {
    uint16_t id;
    const char* className;  // nullptr for ELEM_MEMBER rows
    Base base;
    uint16_t bytes;
    uint8_t from;
    uint16_t tag;
    const char* tagName;
    const char* traceName;
    Check check;
    Text text;
    Special special;
};

// The failure code that statuscodes.def gives the name `name`; a name it lacks stops the
// build (a throw is no constant expression). The rows name their codes through this, so
// that this header does not bring the codes' constants to everyone who includes it.
consteval uint16_t StatusCode(std::string_view name) {
#define STATUS_CODE(code, codeName) \
    if (name == #codeName) return code;
#include "ctimsg/statuscodes.def"
#undef STATUS_CODE
    throw "elementdict.def names a failure code that statuscodes.def does not have";
}
}  // namespace elementdict

// Row notation used by elementdict.def; `code` is a failure code's name.
#define ELEMENTDICT_CHECK(kind, lo, hi, code) \
    ::elementdict::Check{::elementdict::CheckKind::kind, (lo), (hi), ::elementdict::StatusCode(#code)}
#define CHECK_NONE ::elementdict::Check{::elementdict::CheckKind::None, 0, 0, 0}
#define CHECK_RANGE(lo, hi, code) ELEMENTDICT_CHECK(Range, lo, hi, code)
#define CHECK_RANGE_OR_NONE(lo, hi, code) ELEMENTDICT_CHECK(RangeOrNone, lo, hi, code)
#define CHECK_EVENT_CAUSE(code) ELEMENTDICT_CHECK(EventCause, 0, 0, code)
#define CHECK_NOT_EMPTY(code) ELEMENTDICT_CHECK(NotEmpty, 0, 0, code)
#define CHECK_DIGITS(code) ELEMENTDICT_CHECK(DigitsOnly, 0, 0, code)

#define TEXT_NONE ::elementdict::Text{::elementdict::TextKind::None, nullptr}
#define TEXT_NAME(fn) \
    ::elementdict::Text{::elementdict::TextKind::Name, &::elementdict::AppendName<&::fn>}
#define TEXT_HEX ::elementdict::Text{::elementdict::TextKind::Hex, nullptr}
#define TEXT_NA ::elementdict::Text{::elementdict::TextKind::NA, nullptr}
#define TEXT_NA255 ::elementdict::Text{::elementdict::TextKind::NA255, nullptr}
#define TEXT_TIMESTAMP ::elementdict::Text{::elementdict::TextKind::TimeStamp, nullptr}
#define TEXT_BARE ::elementdict::Text{::elementdict::TextKind::Bare, nullptr}
#define TEXT_BITNAMES ::elementdict::Text{::elementdict::TextKind::BitNames, nullptr}

#include "ctimsg/names.h"
#include "ctimsg/valuenames.h"

namespace elementdict {

inline constexpr Row kRows[] = {
#define ELEM(id, cls, base, bytes, from, tag, tagName, traceName, check, text, special)      \
    Row{id, #cls, Base::base, bytes, from, tag, tagName, traceName, check, text,           \
        Special::special},
#define ELEM_MEMBER(id, name, base, bytes, from, tag, tagName, traceName, check, text, special) \
    Row{id, nullptr, Base::base, bytes, from, tag, tagName, traceName, check, text,        \
        Special::special},
#include "ctimsg/elementdict.def"
#undef ELEM
#undef ELEM_MEMBER
};

inline constexpr std::size_t kRowCount = sizeof(kRows) / sizeof(kRows[0]);

// The row of an element id (of an id with two classes, the first), for code that builds a
// field without a class of its own; an id without a row does not compile.
constexpr const Row& RowOf(uint32_t id) {
    for (const Row& row : kRows)
        if (row.id == id) return row;
    throw "no dictionary row for this element id";
}

// The row of an element id (of an id with two classes, the first), or nullptr.
const Row* FindRow(uint32_t id);
// The row of the class name, or nullptr.
const Row* FindRowByClass(const char* className);

}  // namespace elementdict
