#pragma once
// Registry settings of the buffer memory limit table for tests, written into the test
// process's own registry root.
#include <string>

#include "nuvlib/mbuflimit.h"
#include "nuvlib/regvalue.h"
#include "platform/registry.h"

namespace testsupport {

// The instance path the tests register under, and the keys it implies.
inline const char* kMBufInstance = "ZUR\\cust\\parlo";

struct MBufSettings {
    uint32_t pctOfRam = 1;
    uint32_t minTotalMB = 128;
    uint32_t records = 32;
    uint32_t shrinkPct = 50;
    uint32_t increment = 131072;
    uint32_t initial = 8 * 131072;
    uint32_t maxPct = 70;
    uint32_t instance = 3;
    uint32_t systemId = 7;
    bool withClientKey = false;
    uint32_t handle = 9;
};

inline void SetDword(const std::string& key, const char* name, uint32_t value) {
    plat::RegKey k = nullptr;
    if (plat::RegCreateKey(plat::RegRoot(), key.c_str(), &k) != 0) return;
    RegSetDWORD(k, name, value);
    plat::RegCloseKey(k);
}

inline void WriteMBufSettings(const MBufSettings& s) {
    const std::string base = MBufLimitMgr::kSettingsKey;
    SetDword(base, "TotalLimitInPctOfRAM", s.pctOfRam);
    SetDword(base, "MinTotalLimit", s.minTotalMB);
    SetDword(base, "MBufLimitTblRecs", s.records);
    SetDword(base, "ShrinkThresInUsagePct", s.shrinkPct);
    SetDword(base + "\\Increment\\Process", "Other", s.increment);
    SetDword(base + "\\Initial\\Process", "Other", s.initial);
    SetDword(base + "\\MaxInPctOfTotalLimit\\Process", "Other", s.maxPct);
    const std::string company = MBufLimitMgr::kCompanyKey;
    SetDword(company + "\\ZUR\\cust\\CurrentVersion", "InstanceNumber", s.instance);
    SetDword(company + "\\ZUR\\cust\\parlo\\DMP\\CurrentVersion", "SystemID", s.systemId);
}

inline void WriteClientHandle(const std::string& process, uint32_t handle) {
    SetDword(std::string(MBufLimitMgr::kCompanyKey) + "\\ZUR\\cust\\parlo\\MDS\\CurrentVersion\\Clients\\" + process,
             "Handle", handle);
}

}  // namespace testsupport
