#pragma once
// The message catalogue: every CTI message type, and for each message class its members in
// wire order. The rows live in catalog.def (an X-macro file); the message classes, the
// type-to-class factory and the conformance tests are all built from them, so a layout is
// changed in one place only. A macro that a consumer does not define expands to nothing.
//
// ---------------------------------------------------------------------------------------
// Type rows. Every type number 1..282 has exactly one row kind:
//
//   MSG_BEGIN(type, "TYPE_NAME", ClassName, version, Dir, Ctor, Check, Size, Layout)
//       ... member rows in wire order ...
//   MSG_END()
//       one message class. Type 91 has two classes, so two blocks.
//       type       message type number
//       "TYPE_NAME" the type's name as the type-name table spells it
//       ClassName  the class name (misspellings and odd suffixes are the protocol's own)
//       version    the class's minimum protocol version (BaseMSG(version))
//       Dir        how this server uses the type (enum Dir): ToClient, ToServer, Both,
//                  Internal (only queued inside the server), Neither (decoded only)
//       Ctor       constructor kind (enum Ctor): NoArgs, or TraceFlags for the classes
//                  whose constructor takes (eccTraced, cvTraced)
//       Check      validation override (enum Check), slots 3..5 unless noted:
//                  None; OpenService (OPEN_REQ service and agent-identity rules);
//                  EccCount (NumNamedVariables/NumNamedArrays agree with the call
//                  context); AgentIdentity (QUERY_AGENT_STATE_REQ); MonitorTarget
//                  (MONITOR_START_REQ); Termination (slot 3 only: TimeZone,
//                  CallDisposition, Duration)
//       Size       MaxEncodedSize (enum Size): Base (the sum over every member), or
//                  PresentFields (the sum over the present fields only)
//       Layout     Main: the class the factory builds for the type; Older: the older
//                  layout of type 91 that the decoder tries besides the main one
//
//   NO_CLASS(type, "TYPE_NAME", Kind)
//       a type without class. Kind (enum NoClass): NotImplemented (the decoder reports
//       "not yet implemented") or Invalid (the decoder reports an invalid type).
//
// ---------------------------------------------------------------------------------------
// Member rows, inside a MSG_BEGIN/MSG_END block, in chain (= wire) order. Every fixed-part
// member (element id < 432) stands before every floating member.
//
//   FIELD(ElementClass, version, Need, Trace)
//       a single member, occurrence 0.
//       ElementClass  a class of the element dictionary (elementdict.def)
//       version    the member's minimum version in this message: the higher of the
//                  version the message's field list gives (2 where it gives none) and the
//                  element's own, so a message never lowers an element's version
//       Need       Req (required) or Opt (optional); token of enum Need
//       Trace      enum Trace: Always; Never (the class passes traced false); CvFlag (the
//                  second constructor flag); EccFlag (the first constructor flag);
//                  EccAlways (traced whatever the flags say)
//       OPEN_REQ's three Reserved members are three FIELD rows of one element class.
//       REMaskArray and ExpandedCallContxt are FIELD rows: each takes one place in the
//       chain (REMaskArray links its successor through SetNext).
//
//   GROUP_BEGIN(entries, version, splitAt, splitVersion)
//       ENTRY(ElementClass, version) ...
//       [LIST_BEGIN(slots, CountElementClass)  ENTRY(...) ...  LIST_END()] ...
//   GROUP_END()
//       a group of arrays of `entries` entries each, chained entry by entry (entry 0 of
//       each ENTRY in row order, then entry 1 ...); a group with one ENTRY is a lone
//       array. Entry e carries occurrence e. Every entry is built (required false,
//       traced true).
//       version    raises every entry's version (2 = no raise)
//       splitAt    0, or the first entry that exists only from splitVersion
//                  (e.g. 99 skill-group records: entries 0-9 from 3, 10-98 from 5)
//       ENTRY      one array of the group: element class and version (as FIELD's); the
//                  entry's version is the highest of ENTRY's, the group's and (from
//                  splitAt on) splitVersion.
//       A configuration record list is a group of `entries` records whose member lists
//       follow the record's own ENTRY rows:
//   LIST_BEGIN(slots, CountElementClass) ... LIST_END()
//       inside a group of R records: each record r owns `slots` entries of every ENTRY of
//       the list, entry j carrying occurrence r*slots+j (the arrays hold R*slots entries).
//       The record's own fields are chained first, then its first list entry by entry
//       (interleaving the list's ENTRY rows), then its next list, then the next record.
//       CountElementClass is the record's own field that says how many of its slots are
//       used; the decoder realigns the packed entries by it.
//
// Columns hold tokens, not numbers, wherever a consumer may want to switch on them; the
// enums below give the tokens' values.
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
