#include "ctimsg/names.h"

#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <span>

#include "ctimsg/elementdict.h"
#include "ctimsg/eventmasks.h"
#include "ctimsg/statuscodes.h"
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
    {FAILURE_CONF, FAILURE_EVENT, 1}, {SYSTEM_EVENT, SYSTEM_EVENT, 1},
    {OPEN_REQ, CLOSE_CONF, 2}, {SESSION_FAILED_MSG, SESSION_FAILED_MSG, 2},
    {STANDBY_ACTIVE_EVENT, STOPPING_REQUESTS_TO_THIS_SIDE_IND, 2},
    {CALL_DELIVERED_EVENT, CALL_DATA_UPDATE_EVENT, 3},
    {CALL_REACHED_NETWORK_EVENT, CALL_REACHED_NETWORK_EVENT, 3},
    {CALL_DEQUEUED_EVENT, CALL_DEQUEUED_EVENT, 3},
    {AGENT_PRE_CALL_EVENT, AGENT_PRE_CALL_ABORT_EVENT, 3},
    {RTP_STARTED_EVENT, RTP_STOPPED_EVENT, 3},
    {AGENT_TEAM_CONFIG_EVENT, AGENT_TEAM_CONFIG_EVENT, 3},
    {AGENT_LEGACY_PRE_CALL_EVENT, AGENT_LEGACY_PRE_CALL_EVENT, 3},
    {ROUTE_REGISTER_EVENT, CALL_PRIORITYQUEUE_CHANGED_EVENT, 3},
    {ESCAPE_MESSAGE_EVENT, ESCAPE_MESSAGE_EVENT, 3},
    {CALL_AGENT_GREETING_EVENT, CALL_AGENT_GREETING_EVENT, 3},
    {REMASK_CHANGE_EVENT, REMASK_CHANGE_EVENT, 3},
    {NETWORK_RECORDING_STARTED_EVENT, NETWORK_RECORDING_TARGET_INFO_EVENT, 3},
    {AGENT_STATE_EVENT, AGENT_STATE_EVENT, 4},
    {SET_CALL_DATA_REQ, RELEASE_CALL_CONF, 5},
    {CLIENT_EVENT_REPORT_REQ, CLIENT_EVENT_REPORT_CONF, 5},
    {QUERY_AGENT_STATE_REQ, QUERY_AGENT_STATE_CONF, 5},
    {MONITOR_START_REQ, CHANGE_MONITOR_MASK_CONF, 5},
    {SESSION_MONITOR_START_REQ, SESSION_MONITOR_STOP_CONF, 5},
    {USER_MESSAGE_REQ, USER_MESSAGE_CONF, 5},
    {REGISTER_VARIABLES_REQ, QUERY_SKILL_GROUP_STATISTICS_CONF, 5},
    {SUPERVISOR_ASSIST_REQ, SUPERVISOR_ASSIST_CONF, 5},
    {EMERGENCY_CALL_REQ, EMERGENCY_CALL_CONF, 5},
    {AGENT_TEAM_CONFIG_REQ, AGENT_TEAM_CONFIG_CONF, 5},
    {SET_APP_DATA_REQ, MONITOR_AGENT_TEAM_STOP_CONF, 5},
    {REGISTER_SERVICE_REQ, STOP_RECORDING_CONF, 5},
    {TASK_MONITOR_START_REQ, CHANGE_TASK_MONITOR_MASK_CONF, 5},
    {SET_APP_PATH_DATA_IND, SET_APP_PATH_DATA_IND, 5},
    {CONFIG_REQUEST_KEY_EVENT, CONFIG_DEVICE_EVENT, 5},
    {CONFIG_CALL_TYPE_EVENT, CALL_TERMINATION_EVENT, 5},
    {CONFIG_MEDIA_CLASS_EVENT_MSG, CONFIG_MRD_EVENT, 5},
    {CONFIG_PERIPHERAL_EVENT, CONFIG_AGENT_DESK_SETTINGS_EVENT, 5},
    {CONFIG_TERMINAL_EVENT, CONFIG_TERMINAL_EVENT, 5},
    {CONFIG_AGENT_SERVICE_EVENT, CONFIG_AGENT_SERVICE_EVENT, 5},
    {CONTROL_FAILURE_CONF, CONTROL_FAILURE_CONF, 6},
    {SET_AGENT_STATE_REQ, TRANSFER_CALL_CONF, 6},
    {QUERY_DEVICE_INFO_REQ, QUERY_DEVICE_INFO_CONF, 6},
    {SNAPSHOT_CALL_REQ, SNAPSHOT_DEVICE_CONF, 6},
    {SEND_DTMF_SIGNAL_REQ, SEND_DTMF_SIGNAL_CONF, 6},
    {BAD_CALL_REQ, SET_DEVICE_ATTRIBUTES_CONF, 6},
    {AGENT_GREETING_CONTROL_REQ, AGENT_GREETING_CONTROL_CONF, 6},
    {START_NETWORK_RECORDING_REQ, STOP_NETWORK_RECORDING_CONF, 6},
    {QUERY_MSG_WAITING_IND_REQ, SET_FORWARDING_CONF, 7},
    {QUERY_LAST_NUMBER_DIALED_REQ, QUERY_LAST_NUMBER_DIALED_CONF, 7},
    {QUERY_AGENT_WORK_MODE_REQ, SET_AGENT_WORK_MODE_CONF, 7},
    {MEDIA_LOGIN_REQ, GET_PRECALL_MESSAGES_CONF, 8}, {FAILURE_RESP, FAILURE_RESP, 8},
    {TASK_INIT_REQ, TASK_INIT_RESP, 8}, {AGENT_UPDATED_EVENT, QUEUE_UPDATED_EVENT, 8},
    {QUERY_QUEUE_STATISTICS_REQ, QUERY_SUMMARY_STATISTICS_CONF, 8},
    {QUERY_AGENT_QUEUE_STATISTICS_REQ, ENVIRONMENT_CHANGE_EVENT, 8},
    {GET_AGENT_TASKS_REQ, SNAPSHOT_TASK_RESP, 8},
    {AGENT_TASKS_REQUEST_EVENT, DESKTOP_CONNECTED_IND, 8},
    {CLIENT_SESSION_OPENED_EVENT, CLIENT_SESSION_CLOSED_EVENT, 9},
    {USER_MESSAGE_EVENT, USER_MESSAGE_EVENT, 9},
    {SUPERVISOR_ASSIST_EVENT, SUPERVISOR_ASSIST_EVENT, 10},
    {EMERGENCY_CALL_EVENT, SUPERVISE_CALL_CONF, 10},
    {BEGIN_TASK_EVENT, TASK_DATA_UPDATE_EVENT, 11},
    {MAX_TASK_LIFETIME_EXCEEDED_EVENT, MAX_TASK_LIFETIME_EXCEEDED_EVENT, 11},
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
    // Call events and task events share the bit values, each in its own mask.
    using Rows = std::span<const eventmasks::TypeBit>;
    for (Rows rows : {Rows(callmsgmask::kEventBits), Rows(taskmsgmask::kEventBits)})
        for (const eventmasks::TypeBit& b : rows) {
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
    static_assert(std::size(agentstatemask::kStates) == kAgentStateBitCount);
    return InTable(agentState, kAgentStateBitCount) ? agentstatemask::kStates[agentState].bit : 0;
}

uint32_t GetTaskMsgMaskBit(int32_t index) {
    return InTable(index, kTaskMaskBitCount) ? 1u << index : 0;
}

uint32_t ConvertPeripheralType(int32_t internalType) {
    return InTable(internalType, kPeripheralMapSize) ? kPeripheralMap.cti[internalType] : 65535;
}

uint32_t ECCErrorToCTIError(int32_t eccCode, int32_t isArray) {
    switch (eccCode) {
        case 0: return E_CTI_NO_ERROR;
        case -1: case -2: case -5: return E_CTI_UNSPECIFIED_FAILURE;
        case -4: return E_CTI_TOO_MUCH_DATA;
        case -6: return E_CTI_VALUE_TOO_LONG;
        case -7: return E_CTI_INVALID_CHARACTER;
        case -8: return E_CTI_SCALAR_FUNCTION_ON_ARRAY;
        case -9: return E_CTI_ARRAY_FUNCTION_ON_SCALAR;
        case -10: case -11: return E_CTI_INVALID_ARRAY_INDEX;
        case 1: return E_CTI_NAMED_ARRAY_NOT_CONFIGURED;
        case 2: return E_CTI_NAMED_VARIABLE_NOT_CONFIGURED;
        default: return isArray != 0 ? E_CTI_NAMED_ARRAY_NOT_CONFIGURED
                                     : E_CTI_NAMED_VARIABLE_NOT_CONFIGURED;
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
