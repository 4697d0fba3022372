#pragma once
// Builds OPC configuration records as OPC lays them out: little-endian words and string
// fields (u16 length, characters, zero, padding to (length + 6) & ~3 after the length word).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/byteorder.h"

namespace modeltest {

class OPCRecord {
public:
    OPCRecord& U32(uint32_t v) {
        bytes.resize(bytes.size() + 4);
        plat::StoreLE32(bytes.data() + bytes.size() - 4, v);
        return *this;
    }
    OPCRecord& U16(uint16_t v) {
        bytes.resize(bytes.size() + 2);
        plat::StoreLE16(bytes.data() + bytes.size() - 2, v);
        return *this;
    }
    OPCRecord& F64(double d) {
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        U32(static_cast<uint32_t>(bits));
        return U32(static_cast<uint32_t>(bits >> 32));
    }
    OPCRecord& Str(const std::string& s) {
        const size_t start = bytes.size();
        U16(static_cast<uint16_t>(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.resize(start + ((s.size() + 6) & ~size_t{3}), 0);
        return *this;
    }
    // A string field whose length word claims `claimed` characters but holds `s`.
    OPCRecord& LyingStr(const std::string& s, uint16_t claimed) {
        U16(claimed);
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.push_back(0);
        return *this;
    }
    const uint8_t* begin() const { return bytes.data(); }
    const uint8_t* end() const { return bytes.data() + bytes.size(); }
    std::vector<uint8_t> bytes;
};

// Table 6 with the fields the tests vary.
inline OPCRecord SkillGroupRecord(int32_t stid, int32_t number, int32_t periph, uint16_t priority = 1,
                                  uint32_t tressikExcluded = 0, const std::string& desc = "group") {
    OPCRecord r;
    r.U32(stid).U32(number).U32(0).U16(priority).U16(0).U32(1).U32(0).U32(tressikExcluded).U32(0);
    r.U32(periph).U32(0).U32(7).Str("").Str("").Str("").Str(desc).Str("PG1").Str("pq");
    return r;
}

inline OPCRecord ServiceRecord(int32_t stid, int32_t number, int32_t periph,
                               const std::vector<std::pair<int32_t, uint32_t>>& members,
                               const std::string& desc = "service") {
    OPCRecord r;
    r.U32(stid).U32(number).U32(20).U32(1).U32(0).U32(static_cast<uint32_t>(members.size()));
    r.U32(1).U32(0).U32(periph).Str("").Str("").Str("").Str(desc).Str("PG1");
    for (const auto& [id, prio] : members) r.U32(static_cast<uint32_t>(id)).U32(prio);
    return r;
}

inline OPCRecord DeviceRecord(uint32_t id, uint16_t type, int32_t periph, const std::string& ext = "100") {
    OPCRecord r;
    r.U32(id).U16(type).U16(0).U32(periph).U32(id).Str("5551000").Str("").Str(ext).Str("dev");
    return r;
}

inline OPCRecord CallTypeRecord(int32_t id, const std::string& name, const std::string& desc = "ct",
                                uint32_t slt = 20) {
    OPCRecord r;
    r.U32(id).U32(slt).U32(1).Str(name).Str(desc);
    return r;
}

inline OPCRecord MRDRecord(int32_t id, const std::string& name) {
    OPCRecord r;
    r.U32(id).U32(3600).U32(1).Str(name).Str("domain");
    return r;
}

inline OPCRecord PeripheralRecord(int32_t id, uint32_t clientType, uint32_t desk, uint32_t multiline = 0) {
    OPCRecord r;
    r.U32(id).U32(clientType).U32(desk).U32(multiline);
    return r;
}

inline OPCRecord DeskRecord(uint32_t id, uint32_t mask, uint16_t remoteAgentType = 7,
                            const std::string& port = "port1") {
    OPCRecord r;
    r.U32(id).U32(mask);
    for (uint32_t i = 2; i < 15; ++i) r.U32(i);
    r.U16(remoteAgentType).U16(0).U32(64).U32(68).Str(port);
    return r;
}

inline OPCRecord TerminalRecord(const std::string& name, uint32_t type, const std::vector<std::string>& addresses,
                                const std::string& typeName = "phone") {
    OPCRecord r;
    r.U32(99).U32(0).U32(type).U32(static_cast<uint32_t>(addresses.size())).Str(name).Str(typeName);
    for (const std::string& a : addresses) r.Str(a);
    return r;
}

inline OPCRecord KeyRecord(double key) {
    OPCRecord r;
    for (int i = 0; i < 10; ++i) r.U32(0);
    r.F64(key);
    return r;
}

}  // namespace modeltest

namespace modeltest {

// Table 5: one agent record.
struct AgentRecordSpec {
    int32_t stid = 1;
    int32_t periph = 5000;
    std::string login = "1001";
    std::string first = "Ann", last = "Lee", loginName = "ann", description = "", terminal = "";
    uint32_t desk = 11;
    uint32_t supervisor = 0;
    std::vector<int32_t> groups;
    std::vector<std::pair<int32_t, uint16_t>> mrds;
    std::vector<int16_t> services;
    uint32_t word1 = 0;
};

inline OPCRecord AgentRecord(const AgentRecordSpec& s) {
    OPCRecord r;
    r.U32(static_cast<uint32_t>(s.stid)).U32(s.desk).U32(static_cast<uint32_t>(s.groups.size()));
    r.U32(static_cast<uint32_t>(s.mrds.size())).U32(s.word1).U32(s.supervisor).U32(0).U32(0);
    r.U32(static_cast<uint32_t>(s.periph)).U32(3).U16(1).U16(0).U16(static_cast<uint16_t>(s.services.size())).U16(0);
    r.Str("c1").Str("c2").Str(s.login).Str("c3").Str(s.first).Str(s.last).Str(s.loginName).Str(s.description);
    r.Str(s.terminal);
    for (int32_t g : s.groups) r.U32(static_cast<uint32_t>(g));
    for (const auto& [id, state] : s.mrds) r.U32(static_cast<uint32_t>(id)).U16(state).U16(0);
    for (int16_t t : s.services) r.U16(static_cast<uint16_t>(t)).U16(0);
    return r;
}

// Tables 1, 2 and 4.
inline OPCRecord TeamRecord(int32_t periph, int32_t team, const std::string& name, int32_t primary = -1) {
    OPCRecord r;
    r.U32(static_cast<uint32_t>(periph)).U32(static_cast<uint32_t>(team)).U32(static_cast<uint32_t>(primary));
    r.U32(5).U32(6).Str(name);
    return r;
}
inline OPCRecord TeamMemberRecord(int32_t team, int32_t stid, const std::string& name) {
    OPCRecord r;
    r.U32(static_cast<uint32_t>(team)).U32(static_cast<uint32_t>(stid)).Str(name);
    return r;
}

}  // namespace modeltest
