#include "ctimsg/valuenames.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "ctimsg/eventmasks.h"

namespace {

#include "ctimsg/valuenames_tables.inc"

using Buffer = char[64];

// Formats an unknown value into the caller's own per-thread buffer.
const char* Unknown(Buffer& buffer, const char* pattern, int32_t value) {
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return buffer;
}

// Entry value of the table, or the unknown text; a table hole counts as unknown.
template <std::size_t N>
const char* Lookup(const char* const (&table)[N], int32_t value, Buffer& buffer,
                   const char* pattern, int32_t first = 0) {
    int64_t index = int64_t{value} - first;
    if (index >= 0 && index < static_cast<int64_t>(N) && table[index] != nullptr)
        return table[index];
    return Unknown(buffer, pattern, value);
}

template <std::size_t N>
bool InRange(const char* const (&)[N], int32_t value, int32_t first) {
    return value >= first && int64_t{value} - first < static_cast<int64_t>(N);
}

struct Sparse {
    int32_t value;
    const char* name;
};

template <std::size_t N>
const char* LookupSparse(const Sparse (&table)[N], int32_t value, Buffer& buffer,
                         const char* pattern) {
    for (const Sparse& entry : table)
        if (entry.value == value) return entry.name;
    return Unknown(buffer, pattern, value);
}

// The two operations that always hand back their buffer, also for known values.
template <std::size_t N>
const char* CopyToBuffer(const Sparse (&table)[N], int32_t value, Buffer& buffer,
                         const char* pattern) {
    const char* name = LookupSparse(table, value, buffer, pattern);
    if (name != buffer) {
        std::memset(buffer, 0, sizeof buffer);
        std::snprintf(buffer, sizeof buffer, "%s", name);
    }
    return buffer;
}

constexpr int32_t kNoValue = 65535;

}  // namespace

#define VALUE_NAME(fn, table, pattern)             \
    const char* fn(int32_t value) {                \
        thread_local Buffer buffer;                \
        return Lookup(table, value, buffer, pattern); \
    }

VALUE_NAME(AgentStateName, kAgentStateNames, "UNKNOWN AGENT STATE %d")
VALUE_NAME(AgentWorkModeName, kAgentWorkModeNames, "UNKNOWN AGENT WORK MODE %d")
VALUE_NAME(AllocationStateName, kAllocationStateNames, "UNKNOWN ALLOCATION STATE %d")
VALUE_NAME(AnswerDetectModeName, kAnswerDetectModeNames, "UNKNOWN ANSWER DETECT MODE %d")
VALUE_NAME(AnsweringMachineName, kAnsweringMachineNames, "UNKNOWN ANSWERING MACHINE TYPE %d")
VALUE_NAME(CallMannerTypeName, kCallMannerTypeNames, "UNKNOWN CALL MANNER TYPE %d")
VALUE_NAME(CallOptionName, kCallOptionNames, "UNKNOWN CALL OPTION %d")
VALUE_NAME(CallPlacementTypeName, kCallPlacementTypeNames, "UNKNOWN CALL PLACEMENT TYPE %d")
VALUE_NAME(ConfigAgentTypeName, kConfigAgentTypeNames, "UNKNOWN ERROR CODE %d")
VALUE_NAME(ConfigDeviceTypeName, kConfigDeviceTypeNames, "UNKNOWN ERROR CODE %d")
VALUE_NAME(ConfigEndStatusName, kConfigEndStatusNames, "UNKNOWN ERROR CODE %d")
VALUE_NAME(ConfigKeyStatusName, kConfigKeyStatusNames, "UNKNOWN ERROR CODE %d")
VALUE_NAME(ConfigRecordTypeName, kConfigRecordTypeNames, "UNKNOWN ERROR CODE %d")
VALUE_NAME(ConfigTypeName, kConfigTypeNames, "UNKNOWN ERROR CODE %d")
VALUE_NAME(ConsultTypeName, kConsultTypeNames, "UNKNOWN CONSULT TYPE %d")
VALUE_NAME(DestinationCountryName, kDestinationCountryNames, "UNKNOWN DESTINATION COUNTRY %d")
VALUE_NAME(DistributionName, kDistributionNames, "UNKNOWN DISTRIBUTION TYPE %d")
VALUE_NAME(FacilityTypeName, kFacilityTypeNames, "UNKNOWN FACILITY TYPE %d")
VALUE_NAME(LineTypeName, kLineTypeNames, "UNKNOWN LINE TYPE %d")
// Cause 2 has no name of its own and reads as unknown.
VALUE_NAME(RouteRegistrationCauseName, kRouteRegistrationCauseNames, "UNKNOWN CAUSE %d")
VALUE_NAME(RTPDirectionName, kRTPDirectionNames, "UNKNOWN RTP DIRECTION %d")
VALUE_NAME(RTPTypeName, kRTPTypeNames, "UNKNOWN RTP TYPE %d")
VALUE_NAME(SilentMonitorStatusName, kSilentMonitorStatusNames, "UNKNOWN SILENT MONITOR STATUS %d")
VALUE_NAME(ObjectStateName, kObjectStateNames, "INVALID OBJECT STATE %d")
VALUE_NAME(CalledPartyDispositionName, kCalledPartyDispositionNames,
           "UNKNOWN CALLED PARTY DISPOSITION TYPE %d")
VALUE_NAME(ARMStatusName, kARMStatusNames, "UNKNOWN ERROR CODE %d")

#undef VALUE_NAME

const char* QueryDeviceDataTypeName(uint16_t value) {
    thread_local Buffer buffer;
    return Lookup(kQueryDeviceDataTypeNames, value, buffer, "UNKNOWN QUERY DEVICE DATA TYPE %d");
}

const char* LocalConnectionStateName(int32_t value) {
    if (value == kNoValue) return "LCS_NONE";
    static constexpr const char* kNames[] = {"LCS_NULL",    "LCS_INITIATE", "LCS_ALERTING",
                                             "LCS_CONNECT", "LCS_HOLD",     "LCS_QUEUED",
                                             "LCS_FAIL"};
    thread_local Buffer buffer;
    return Lookup(kNames, value, buffer, "UNKNOWN LOCAL CONNECTION STATE %d");
}

const char* CallTypeName(int32_t value) {
    if (value == kNoValue) return "NULL_CALLTYPE";
    thread_local Buffer buffer;
    return Lookup(kCallTypeNames, value, buffer, "UNKNOWN CALL TYPE %d");
}

const char* PeripheralTypeName(int32_t value) {
    if (value == kNoValue) return kPeripheralTypeNames[0];
    thread_local Buffer buffer;
    return Lookup(kPeripheralTypeNames, value, buffer, "UNKNOWN PERIPHERAL TYPE %d");
}

const char* PGStatusEventName(int32_t value) {
    thread_local Buffer buffer;
    // Entry 0 is a placeholder that is never handed out.
    if (value == 0) return Unknown(buffer, "UNKNOWN PGSTATUS EVENT CODE %d", value);
    return Lookup(kPGStatusEventNames, value, buffer, "UNKNOWN PGSTATUS EVENT CODE %d");
}

const char* EventCauseName(int32_t value) {
    if (value == kNoValue) return kEventCauseNames[0];
    thread_local Buffer buffer;
    constexpr const char* kPattern = "UNKNOWN EVENT CAUSE %d";
    if (InRange(kEventCauseXNames, value, 1000))
        return Lookup(kEventCauseXNames, value, buffer, kPattern, 1000);
    return Lookup(kEventCauseNames, value, buffer, kPattern);
}

const char* FailureCodeName(int32_t value) {
    thread_local Buffer buffer;
    constexpr const char* kPattern = "UNKNOWN FAILURE CODE %d";
    if (InRange(kFailureCode256Names, value, 256))
        return Lookup(kFailureCode256Names, value, buffer, kPattern, 256);
    if (InRange(kFailureCode1001Names, value, 1001))
        return Lookup(kFailureCode1001Names, value, buffer, kPattern, 1001);
    return Lookup(kFailureCodeNames, value, buffer, kPattern);
}

const char* AgentActionName(int32_t value) {
    static constexpr Sparse kNames[] = {{0, "AGENT_ACTION_STOP_GREETING"},
                                        {1, "AGENT_ACTION_DISABLE_GREETING"},
                                        {2, "AGENT_ACTION_ENABLE_GREETING"}};
    thread_local Buffer buffer;
    return CopyToBuffer(kNames, value, buffer, "UNKNOWN AGENT ACTION %d");
}

const char* AgentGreetingEventName(int32_t value) {
    static constexpr Sparse kNames[] = {{0, "AGENT_GREETING_STARTED"},
                                        {1, "AGENT_GREETING_ENDED"},
                                        {2, "AGENT_GREETING_FAILED"}};
    thread_local Buffer buffer;
    return CopyToBuffer(kNames, value, buffer, "UNKNOWN EVENT CODE %d");
}

const char* ClassOfDeviceName(int32_t value) {
    static constexpr Sparse kNames[] = {
        {16, "DEVC_OTHER"}, {32, "DEVC_IMAGE"}, {64, "DEVC_DATA"}, {128, "DEVC_VOICE"}};
    thread_local Buffer buffer;
    return LookupSparse(kNames, value, buffer, "UNKNOWN CLASS OF DEVICE %d");
}

const char* ConnectionDeviceIDTypeName(int32_t value) {
    static constexpr Sparse kNames[] = {{0, "CONNECTION_ID_STATIC"},
                                        {1, "CONNECTION_ID_DYNAMIC"},
                                        {65535, "CONNECTION_ID_NONE"}};
    thread_local Buffer buffer;
    return LookupSparse(kNames, value, buffer, "UNKNOWN CONNECTION DEVICE ID TYPE %d");
}

const char* DeviceIDTypeName(int32_t value) {
    static constexpr Sparse kNames[] = {
        {0, "DEVID_DEVICE_IDENTIFIER"},          {70, "DEVID_TRUNK_IDENTIFIER"},
        {71, "DEVID_TRUNK_GROUP_IDENTIFIER"},    {72, "DEVID_IP_PHONE_MAC_IDENTIFIER"},
        {73, "DEVID_CTI_PORT_IDENTIFIER"},       {74, "DEVID_ROUTE_POINT_IDENTIFIER"},
        {75, "DEVID_EXTERNAL_IDENTIFIER"},       {76, "DEVID_AGENT_DEVICE_IDENTIFIER"},
        {77, "DEVID_QUEUE_IDENTIFIER"},          {78, "DEVID_NON_ACD_DEVICE_IDENTIFIER"},
        {79, "DEVID_SHARED_DEVICE_IDENTIFIER"},  {65535, "DEVID_NONE"}};
    thread_local Buffer buffer;
    return LookupSparse(kNames, value, buffer, "UNKNOWN DEVICE ID TYPE %d");
}

const char* TypeOfDeviceName(int32_t value) {
    static constexpr Sparse kNames[] = {
        {0, "DEVT_STATION"},         {1, "DEVT_LINE"},           {2, "DEVT_BUTTON"},
        {3, "DEVT_ACD"},             {4, "DEVT_TRUNK"},          {5, "DEVT_OPERATOR"},
        {16, "DEVT_STATION_GROUP"},  {17, "DEVT_LINE_GROUP"},    {18, "DEVT_BUTTON_GROUP"},
        {19, "DEVT_ACD_GROUP"},      {20, "DEVT_TRUNK_GROUP"},   {21, "DEVT_OPERATOR_GROUP"},
        {255, "DEVT_OTHER"}};
    thread_local Buffer buffer;
    return LookupSparse(kNames, value, buffer, "UNKNOWN TYPE OF DEVICE %d");
}

std::string ConfigInformationText(int32_t mask) {
    std::string text = "ConfigurationInformation: ";
    bool any = false;
    for (const eventmasks::NamedBit& bit : configinfomask::kNames) {
        if ((static_cast<uint32_t>(mask) & 0xFFFF & bit.bit) == 0) continue;
        if (any) text += ", ";
        text += bit.name;
        any = true;
    }
    if (!any) text += "* none *";
    return text;
}

const char* PGStatusText(int32_t status) {
    thread_local char buffer[128];
    const uint32_t bits = static_cast<uint32_t>(status);
    if (bits == 0) return "NORMAL";
    if ((bits & ~0x6F1Fu) != 0) {
        std::snprintf(buffer, sizeof buffer, "UNKNOWN 0x%x", bits);
        return buffer;
    }
    std::size_t used = 0;
    buffer[0] = '\0';
    // Appends a part; one that does not fit is cut at the buffer's end.
    auto add = [&](const char* part) {
        int n = std::snprintf(buffer + used, sizeof buffer - used, "%s%s", used ? ", " : "", part);
        if (n > 0) used = std::min(sizeof buffer - 1, used + static_cast<std::size_t>(n));
    };
    if (bits & 0x1) add("PERIPHERAL CONTROLLER DOWN");
    if (bits & 0x2)
        add("CENTRAL CONTROLLER OFFLINE");
    else if (bits & 0x4)
        add("PERIPHERAL(S) OFFLINE");
    else if (bits & 0x8)
        add("PARLO OFFLINE");
    else if (bits & 0x10)
        add("LIMITED FUNCTION");
    static constexpr const char* kAcdStates[] = {nullptr,
                                                 "ACD_INITIALIZING",
                                                 "ACD_SHUTTING_DOWN",
                                                 "ACD_SHUTDOWN",
                                                 "ACD_IN_SERVICE_",
                                                 "ACD_PARTIAL_SERVICE",
                                                 "ACD_OUT_OF_SERVICE",
                                                 nullptr};
    if (const char* acd = kAcdStates[(bits & 0x700) >> 8]) add(acd);
    return buffer;
}
