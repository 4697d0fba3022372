#include "opcmsg/opcnames.h"

#include <array>
#include <cstdio>

namespace {

struct NameRow {
    int number;
    const char* text;
};

#include "opcmsg/opcnames_tables.inc"

// Direct lookup arrays built once from the rows.
template <size_t N, size_t M>
constexpr std::array<const char*, N> Index(const NameRow (&rows)[M]) {
    std::array<const char*, N> out{};
    for (const NameRow& row : rows) out[static_cast<size_t>(row.number)] = row.text;
    return out;
}

constexpr auto kCSTAEventNames = Index<213>(kCSTAEventRows);
constexpr auto kOPCMessageNames = Index<124>(kOPCMessageRows);

constexpr const char* kAgentModes[] = {"LOG_IN", "LOG_OUT", "NOT_READY",
                                       "READY",  "WORK_NOT_READY", "WORK_READY"};
constexpr const char* kAgentStates[] = {
    "AS_LOG_IN",   "AS_LOG_OUT",  "AS_NOT_READY",  "AS_AVAILABLE",    "AS_TALKING",
    "AS_WORK_NOT_READY", "AS_WORK_READY", "AS_BUSY_OTHER", "AS_RESERVED", "AS_UNKNOWN",
    "AS_HOLD",     "AS_ACTIVE",   "AS_PAUSED",     "AS_INTERRUPTED",  "AS_NOT_ACTIVE"};

}  // namespace

const char* OPCMessageTypeName(uint32_t type) {
    if (type < kOPCMessageNames.size() && kOPCMessageNames[type]) return kOPCMessageNames[type];
    // Two threads (the OPC link and the application) name types at once: one buffer each.
    thread_local char buffer[100];
    std::snprintf(buffer, sizeof buffer, "<UNRECOGNIZED Request Type(%d)>",
                  static_cast<int>(type));
    return buffer;
}

const char* CSTAEventTypeName(int32_t type) {
    if (type >= 1 && type < static_cast<int32_t>(kCSTAEventNames.size()) &&
        kCSTAEventNames[static_cast<size_t>(type)])
        return kCSTAEventNames[static_cast<size_t>(type)];
    return "Unknown CSTA Event Type";
}

const char* ConnectionIDDeviceTypeName(int32_t type) {
    return type == 0 ? "Static" : type == 1 ? "Dynamic" : "Unknown";
}

const char* AgentModeName(int32_t mode) {
    return mode >= 0 && mode < 6 ? kAgentModes[mode] : "Unknown";
}

const char* AgentStateASName(int32_t state) {
    return state >= 0 && state < 15 ? kAgentStates[state] : "UNRECOGNIZED-STATE";
}
