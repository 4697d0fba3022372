#pragma once
// The message catalogue: every CTI message type, and for each message class its members in
// wire order. The rows live in catalog.def (an X-macro file whose opening comment documents
// the columns); the message classes, the type-to-class factory and the conformance tests are
// all built from them, so a layout is changed in one place only.
//
// messages.cpp compiles the rows, once, into the tables below: the message classes build
// their members from them, the factory and the decoder find classes in them, and the
// conformance tests read the same rows.
#include <cstdint>
#include <span>
#include <string_view>

namespace catalog {

enum class Dir : uint8_t { ToClient, ToServer, Both, Internal, Neither };
enum class Ctor : uint8_t { NoArgs, TraceFlags };
enum class Check : uint8_t {
    None,
    OpenService,
    EccCount,
    AgentIdentity,
    MonitorTarget,
    Termination
};
enum class Size : uint8_t { Base, PresentFields };
enum class Layout : uint8_t { Main, Older };
enum class NoClass : uint8_t { NotImplemented, Invalid };
enum class Need : uint8_t { Opt, Req };
enum class Trace : uint8_t { Always, Never, CvFlag, EccFlag, EccAlways };

constexpr int kMaxType = 282;

// How to build, find and destroy one element class in raw storage (msgclass.h).
struct ElementMaker;

enum class MemberKind : uint8_t { Field, GroupBegin, GroupEnd, Entry, ListBegin, ListEnd, End };

// One member row of a message, as in catalog.def.
struct MemberRow {
    MemberKind kind;
    const ElementMaker* maker;  // Field, Entry: builds the element class; else nullptr
    uint16_t element;           // Field, Entry: the element id; ListBegin: the count's id
    const char* elementClass;   // Field, Entry, ListBegin (the count's class); else nullptr
    uint8_t version;            // Field, Entry: member version; GroupBegin: the group's
    Need need;                  // Field
    Trace trace;                // Field
    uint16_t count;             // GroupBegin: entries; ListBegin: slots per record
    uint8_t splitAt;            // GroupBegin: first entry of splitVersion, or 0
    uint8_t splitVersion;       // GroupBegin
};

// One message class.
struct MessageRow {
    uint16_t type;
    const char* name;  // the type's name
    const char* className;
    uint8_t version;   // the class's minimum protocol version
    Dir dir;
    Ctor ctor;
    Check check;
    Size size;
    Layout layout;
    const MemberRow* rows;  // its member rows in wire order, closed by an End row
    uint16_t rowCount;      // without the End row
};

// A type without class.
struct MissingTypeRow {
    uint16_t type;
    const char* name;
    NoClass kind;
};

// All 255 classes in type order (type 91's older layout right after its main class).
std::span<const MessageRow> MessageRows();
// The member rows of one class, in wire order (without the closing End row).
std::span<const MemberRow> MemberRows(const MessageRow& message);
// The 28 types without class, in type order.
std::span<const MissingTypeRow> TypesWithoutClass();
// The class of a type (the main or the older layout), or nullptr.
const MessageRow* FindMessageRow(int type, Layout layout = Layout::Main);
// The class of that name, or nullptr.
const MessageRow* FindMessageRowByClass(std::string_view className);

}  // namespace catalog
