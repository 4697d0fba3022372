#pragma once
// Protocol name tables: names of element ids, tags, message types and failure codes, the
// event-filter tables (categories, event-mask bits, agent-state bits, task bits), the
// peripheral type map and the call-context result map. Every lookup answers an index
// outside its table with the table's entry 0 (or the text given) and never fails.
#include <cstdint>

#include "ctimsg/elementids.h"

constexpr int kElementTableSize = static_cast<int>(elementdict::kElementIdCount);
constexpr int kTagTableSize = static_cast<int>(elementdict::kTagCount);
constexpr int kMsgTypeTableSize = 283;  // message types 0..282
// The name of message type 0 and of the numbers without type.
constexpr const char* kNoMsgTypeName = "*INVALID*";
constexpr int kStatusCodeTableSize = 111;
constexpr int kAgentStateBitCount = 15;
constexpr int kTaskMaskBitCount = 11;
constexpr int kPeripheralMapSize = 56;

// Element trace name; outside the table "*INVALID ELEMENT*".
const char* ElementName(int32_t elementId);
namespace names_detail {
// The element-tag table, kElementTableSize entries (read inline by ElementTag).
extern const uint32_t* const kElementTags;
}  // namespace names_detail
// Floating tag of an element id; 0 for fixed-part ids and outside the table. Inline: every
// floating field of every frame looks up its tag.
inline uint32_t ElementTag(int32_t elementId) {
    return elementId >= 0 && elementId < kElementTableSize ? names_detail::kElementTags[elementId]
                                                           : 0;
}
// Tag name; negative tags and tags past the table give "*INVALID TAG*".
const char* TagName(int32_t tag);
namespace names_detail {
// The tag-element table, kTagTableSize entries (read inline by TagElement).
extern const uint32_t* const kTagElements;
}  // namespace names_detail
// The element id a received tag fills; 0 for tags that fill none. Inline: every received
// field looks it up.
inline uint32_t TagElement(int32_t tag) {
    return tag >= 0 && tag < kTagTableSize ? names_detail::kTagElements[tag] : 0;
}
// Message type name; outside 0..282 "*INVALID*".
const char* MsgTypeName(int32_t msgType);
// CTI failure code name; other codes give "UNKNOWN ERROR CODE %d" in a per-thread buffer.
const char* StatusCodeName(int32_t code);

// Event filtering (also reached through BaseMSG).
uint32_t GetCategory(int32_t msgType);          // 0 outside 0..282
uint32_t GetCallEventMaskBit(int32_t msgType);  // 0 outside 0..282
uint32_t GetAgentStateMaskBit(int32_t agentState);  // 0 outside 0..14
uint32_t GetTaskMsgMaskBit(int32_t index);          // 1 << index for 0..10, else 0

// Internal peripheral type to CTI peripheral type; 65535 outside the map.
uint32_t ConvertPeripheralType(int32_t internalType);
// Expanded-call-context result code to CTI failure code.
uint32_t ECCErrorToCTIError(int32_t eccCode, int32_t isArray);

// Start-up check that the element-tag and tag-element tables agree at four anchors; on a
// mismatch the process ends through EMSFailMessage.
void CheckTables();

namespace names_detail {
// The check over caller-given tables, so that a broken table can be shown to end the
// process. elementTags has kElementTableSize entries, tagElements kTagTableSize.
void CheckTables(const uint32_t* elementTags, const uint32_t* tagElements);
// The tables the lookups use.
const uint32_t* ElementTagTable();
const uint32_t* TagElementTable();
}  // namespace names_detail
