#pragma once
// The message catalogue: every CTI message type, and for each message class its members in
// wire order. The rows live in catalog.def (an X-macro file whose opening comment documents
// the columns); the message classes, the type-to-class factory and the conformance tests are
// all built from them, so a layout is changed in one place only.
//
// catalog.cpp compiles the rows into the tables below, for code that walks a layout at run
// time (the generic message builder, the factory, the conformance tests).
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

enum class MemberKind : uint8_t { Field, GroupBegin, GroupEnd, Entry, ListBegin, ListEnd };

// One member row of a message, as in catalog.def.
struct MemberRow {
    MemberKind kind;
    uint16_t element;          // Field, Entry: the element id; ListBegin: the count's id
    const char* elementClass;  // Field, Entry, ListBegin (the count's class); else nullptr
    uint8_t version;           // Field, Entry: member version; GroupBegin: the group's
    Need need;                 // Field
    Trace trace;               // Field
    uint16_t count;            // GroupBegin: entries; ListBegin: slots per record
    uint8_t splitAt;           // GroupBegin: first entry of splitVersion, or 0
    uint8_t splitVersion;      // GroupBegin
};

// One message class.
struct MessageRow {
    uint16_t type;
    const char* name;  // the type's name
    const char* className;
    uint8_t version;
    Dir dir;
    Ctor ctor;
    Check check;
    Size size;
    Layout layout;
    uint16_t firstRow;  // its member rows: MemberRows()[firstRow, firstRow + rowCount)
    uint16_t rowCount;
};

// A type without class.
struct MissingTypeRow {
    uint16_t type;
    const char* name;
    NoClass kind;
};

// All 255 classes in type order (type 91's older layout right after its main class).
std::span<const MessageRow> MessageRows();
// All member rows of all classes, class after class.
std::span<const MemberRow> AllMemberRows();
// The member rows of one class, in wire order.
std::span<const MemberRow> MemberRows(const MessageRow& message);
// The 28 types without class, in type order.
std::span<const MissingTypeRow> TypesWithoutClass();
// The class of a type (the main or the older layout), or nullptr.
const MessageRow* FindMessageRow(int type, Layout layout = Layout::Main);
// The class of that name, or nullptr.
const MessageRow* FindMessageRowByClass(std::string_view className);

}  // namespace catalog
