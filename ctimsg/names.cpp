#include "ctimsg/names.h"

#include <cstdio>

#include "ctimsg/elementdict.h"
#include "nuvlib/ems.h"

namespace {

#include "ctimsg/names_tables.inc"

constexpr const char* kInvalidElement = "*INVALID ELEMENT*";
constexpr const char* kInvalidTag = "*INVALID TAG*";

struct NameOnly {
    uint16_t id;
    const char* name;
    uint16_t tag;
    const char* tagName;
    uint16_t tagElement;
};
constexpr NameOnly kNameOnly[] = {
#define NAME_ONLY(id, name, tag, tagName, tagElement) NameOnly{id, name, tag, tagName, tagElement},
#include "ctimsg/elementdict.def"
#undef NAME_ONLY
};

struct TagOnly {
    uint16_t tag;
    const char* name;
    uint16_t tagElement;
};
constexpr TagOnly kTagOnly[] = {
#define TAG_ONLY(tag, name, tagElement) TagOnly{tag, name, tagElement},
#include "ctimsg/elementdict.def"
#undef TAG_ONLY
};

// The four element/tag tables, built from the dictionary rows at compile time.
struct ElementTables {
    const char* elementNames[kElementTableSize]{};
    uint32_t elementTags[kElementTableSize]{};
    const char* tagNames[kTagTableSize]{};
    uint32_t tagElements[kTagTableSize]{};
    bool consistent = true;  // no id or tag given two different meanings

    constexpr void Name(uint32_t id, const char* name, uint32_t tag) {
        if (elementNames[id] != nullptr && !Same(elementNames[id], name)) consistent = false;
        if (elementNames[id] != nullptr && elementTags[id] != tag) consistent = false;
        elementNames[id] = name;
        elementTags[id] = tag;
    }
    constexpr void Tag(uint32_t tag, const char* name, uint32_t element) {
        if (tag == 0) return;
        const char* shown = name[0] != '\0' ? name : kInvalidTag;
        if (tagNames[tag] != nullptr &&
            (!Same(tagNames[tag], shown) || tagElements[tag] != element))
            consistent = false;
        tagNames[tag] = shown;
        tagElements[tag] = element;
    }
    static constexpr bool Same(const char* a, const char* b) {
        while (*a != '\0' && *a == *b) ++a, ++b;
        return *a == *b;
    }
};

constexpr ElementTables BuildTables() {
    ElementTables t;
    for (const elementdict::Row& row : elementdict::kRows) {
        t.Name(row.id, row.traceName, row.tag);
        t.Tag(row.tag, row.tagName, row.id);
    }
    for (const NameOnly& n : kNameOnly) {
        t.Name(n.id, n.name, n.tag);
        t.Tag(n.tag, n.tagName, n.tagElement);
    }
    for (const TagOnly& n : kTagOnly) t.Tag(n.tag, n.name, n.tagElement);
    t.elementNames[0] = kInvalidElement;
    t.tagNames[0] = kInvalidTag;
    for (int id = 1; id < kElementTableSize; ++id) {
        if (t.elementNames[id] == nullptr) t.consistent = false;
        // Fixed-part ids carry no tag, floating ids one of 1..311.
        if ((id < elementdict::kFirstFloatingId) != (t.elementTags[id] == 0)) t.consistent = false;
    }
    for (int tag = 1; tag < kTagTableSize; ++tag)
        if (t.tagNames[tag] == nullptr) t.consistent = false;
    return t;
}

constexpr ElementTables kTables = BuildTables();
static_assert(kTables.consistent, "element dictionary: every id and tag named once, consistently");

// Message categories by type ranges.
struct Range {
    uint16_t first, last;
    uint8_t category;
};
constexpr Range kCategoryRanges[] = {
    {1, 2, 1}, {31, 31, 1},
    {3, 8, 2}, {259, 259, 2}, {277, 281, 2},
    {9, 25, 3}, {34, 34, 3}, {86, 86, 3}, {105, 106, 3}, {116, 117, 3}, {128, 128, 3},
    {189, 189, 3}, {211, 216, 3}, {229, 229, 3}, {248, 248, 3}, {251, 251, 3}, {272, 275, 3},
    {30, 30, 4},
    {26, 29, 5}, {32, 33, 5}, {36, 37, 5}, {93, 98, 5}, {101, 104, 5}, {107, 108, 5},
    {110, 115, 5}, {118, 119, 5}, {121, 122, 5}, {126, 127, 5}, {129, 138, 5}, {143, 150, 5},
    {201, 206, 5}, {208, 208, 5}, {230, 238, 5}, {245, 247, 5}, {252, 254, 5}, {260, 261, 5},
    {276, 276, 5}, {282, 282, 5},
    {35, 35, 6}, {38, 65, 6}, {78, 79, 6}, {82, 85, 6}, {91, 92, 6}, {139, 142, 6},
    {249, 250, 6}, {268, 271, 6},
    {66, 77, 7}, {80, 81, 7}, {87, 90, 7},
    {151, 188, 8}, {190, 190, 8}, {209, 210, 8}, {217, 218, 8}, {223, 226, 8}, {239, 241, 8},
    {255, 258, 8}, {262, 267, 8},
    {99, 100, 9}, {109, 109, 9},
    {120, 120, 10}, {123, 125, 10},
    {191, 200, 11}, {207, 207, 11},
};

struct TypeBit {
    uint16_t type;
    uint32_t bit;
};
// Call events and task events share the bit values.
constexpr TypeBit kEventMaskBits[] = {
    {9, 0x1},          {21, 0x2},         {10, 0x4},         {11, 0x8},
    {12, 0x10},        {13, 0x20},        {14, 0x40},        {15, 0x80},
    {17, 0x100},       {18, 0x200},       {19, 0x400},       {20, 0x800},
    {22, 0x1000},      {23, 0x2000},      {24, 0x4000},      {25, 0x8000},
    {16, 0x10000},     {34, 0x20000},     {86, 0x40000},     {105, 0x80000},
    {106, 0x100000},   {116, 0x200000},   {117, 0x400000},   {128, 0x800000},
    {189, 0x1000000},  {248, 0x8000000},  {272, 0x10000000}, {273, 0x20000000},
    {274, 0x40000000}, {275, 0x80000000},
    {194, 0x1},        {195, 0x2},        {196, 0x4},        {197, 0x8},
    {199, 0x10},       {191, 0x20},       {198, 0x40},       {192, 0x80},
    {193, 0x100},      {200, 0x200},      {207, 0x400},
};

struct TypeTables {
    uint8_t categories[kMsgTypeTableSize]{};
    uint32_t eventMaskBits[kMsgTypeTableSize]{};
    int assigned = 0;        // types given a category other than 0
    bool consistent = true;  // no type in two ranges, no type with two bits
};

constexpr TypeTables BuildTypeTables() {
    TypeTables t;
    for (const Range& r : kCategoryRanges)
        for (int type = r.first; type <= r.last; ++type) {
            if (t.categories[type] != 0) t.consistent = false;
            t.categories[type] = r.category;
            ++t.assigned;
        }
    for (const TypeBit& b : kEventMaskBits) {
        if (t.eventMaskBits[b.type] != 0) t.consistent = false;
        t.eventMaskBits[b.type] = b.bit;
    }
    return t;
}

constexpr TypeTables kTypeTables = BuildTypeTables();
// Category 0 holds type 0, the six unnamed types 219-222, 227, 228 and types 242-244.
static_assert(kTypeTables.consistent && kTypeTables.assigned == kMsgTypeTableSize - 10,
              "message categories: every type in exactly one category");

// Internal peripheral type to CTI peripheral type; every other internal type has none.
constexpr struct {
    uint8_t internal;
    uint16_t cti;
} kPeripheralPairs[] = {
    {1, 4},   {4, 1},   {5, 2},   {6, 6},   {9, 3},   {10, 6},  {11, 7},  {12, 5},
    {13, 8},  {15, 9},  {18, 10}, {19, 11}, {24, 12}, {26, 13}, {27, 14}, {28, 15},
    {29, 16}, {30, 17}, {32, 18}, {47, 19}, {48, 20}, {49, 21}, {50, 22}, {51, 23},
    {52, 24}, {53, 25}, {54, 27}, {55, 26},
};

struct PeripheralMap {
    uint16_t cti[kPeripheralMapSize];
};

constexpr PeripheralMap BuildPeripheralMap() {
    PeripheralMap map{};
    for (uint16_t& cti : map.cti) cti = 65535;
    for (const auto& pair : kPeripheralPairs) map.cti[pair.internal] = pair.cti;
    return map;
}

constexpr PeripheralMap kPeripheralMap = BuildPeripheralMap();

bool InTable(int32_t index, int32_t size) { return index >= 0 && index < size; }

}  // namespace

const char* ElementName(int32_t elementId) {
    return InTable(elementId, kElementTableSize) ? kTables.elementNames[elementId]
                                                 : kInvalidElement;
}

const uint32_t* const names_detail::kElementTags = kTables.elementTags;

const char* TagName(int32_t tag) {
    return InTable(tag, kTagTableSize) ? kTables.tagNames[tag] : kInvalidTag;
}

const uint32_t* const names_detail::kTagElements = kTables.tagElements;

const char* MsgTypeName(int32_t msgType) {
    return kMsgTypeNames[InTable(msgType, kMsgTypeTableSize) ? msgType : 0];
}

const char* StatusCodeName(int32_t code) {
    if (InTable(code, kStatusCodeTableSize)) return kStatusCodeNames[code];
    thread_local char buffer[64];
    std::snprintf(buffer, sizeof buffer, "UNKNOWN ERROR CODE %d", code);
    return buffer;
}

uint32_t GetCategory(int32_t msgType) {
    return InTable(msgType, kMsgTypeTableSize) ? kTypeTables.categories[msgType] : 0;
}

uint32_t GetCallEventMaskBit(int32_t msgType) {
    return InTable(msgType, kMsgTypeTableSize) ? kTypeTables.eventMaskBits[msgType] : 0;
}

uint32_t GetAgentStateMaskBit(int32_t agentState) {
    // State 9 (UNKNOWN) has no bit; the states after it move down one bit.
    if (!InTable(agentState, kAgentStateBitCount) || agentState == 9) return 0;
    return agentState < 9 ? 1u << agentState : 1u << (agentState - 1);
}

uint32_t GetTaskMsgMaskBit(int32_t index) {
    return InTable(index, kTaskMaskBitCount) ? 1u << index : 0;
}

uint32_t ConvertPeripheralType(int32_t internalType) {
    return InTable(internalType, kPeripheralMapSize) ? kPeripheralMap.cti[internalType] : 65535;
}

uint32_t ECCErrorToCTIError(int32_t eccCode, int32_t isArray) {
    switch (eccCode) {
        case 0: return 0;
        case -1: case -2: case -5: return 17;
        case -4: return 73;
        case -6: return 74;
        case -7: return 62;
        case -8: return 75;
        case -9: return 76;
        case -10: case -11: return 61;
        case 1: return 68;
        case 2: return 67;
        default: return isArray != 0 ? 68 : 67;
    }
}

namespace names_detail {

const uint32_t* ElementTagTable() { return kTables.elementTags; }
const uint32_t* TagElementTable() { return kTables.tagElements; }

void CheckTables(const uint32_t* elementTags, const uint32_t* tagElements) {
    static constexpr struct {
        uint32_t element, tag;
    } kAnchors[] = {{elementid::ClientID, 1},
                    {elementid::CallVariable1, 13},
                    {elementid::ServiceSkillTargetID, 132},
                    {elementid::TessalyConfigId, 311}};
    for (const auto& anchor : kAnchors) {
        uint32_t tag = elementTags[anchor.element];
        uint32_t back = tag < kTagTableSize ? tagElements[tag] : 0;
        if (tag != anchor.tag || back != anchor.element)
            EMSFailMessage(
                "BaseMSG::CheckTables - BUSTED ... element %d (%s) -> tag %d (%s) -> element %d (%s)",
                static_cast<int>(anchor.element), ElementName(static_cast<int32_t>(anchor.element)),
                static_cast<int>(tag), TagName(static_cast<int32_t>(tag)), static_cast<int>(back),
                ElementName(static_cast<int32_t>(back)));
    }
}

}  // namespace names_detail

void CheckTables() { names_detail::CheckTables(kTables.elementTags, kTables.tagElements); }
