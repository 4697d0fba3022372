#pragma once
// The registry an MDS client and the stand-in MDS read, written for one test process,
// and the stand-in started on a loopback port of its own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/registry.h"
#include "tests/nuvlib/emt/spawn.h"

namespace mdstest {

inline const char* kInstance = "ZUR\\Test";

inline void SetString(plat::RegKey k, const char* name, const std::string& v) {
    plat::RegSetValue(k, name, plat::REG_SZ, v.c_str(), static_cast<uint32_t>(v.size() + 1));
}
inline void SetDword(plat::RegKey k, const char* name, uint32_t v) {
    plat::RegSetValue(k, name, plat::REG_DWORD, &v, 4);
}

// Opens or creates a key below the registry root; a failure fails the test.
inline plat::RegKey CreateKey(const std::string& path) {
    plat::RegKey k = nullptr;
    EXPECT_EQ(plat::RegCreateKey(plat::RegRoot(), path.c_str(), &k), 0u) << path;
    return k;
}

inline std::string Base() { return std::string("SOFTWARE\\Quenlo Systems, Inc.\\") + kInstance; }

// heartbeat: in 100 ms units, 65535 for none.
inline void WriteClient(const std::string& name, uint32_t handle, uint32_t heartbeat = 10) {
    plat::RegKey k = CreateKey(Base() + "\\MDS\\CurrentVersion\\Clients\\" + name);
    SetDword(k, "Handle", handle);
    SetString(k, "Node", "127.0.0.1");
    SetDword(k, "HeartBeatInterval", heartbeat);
    SetDword(k, "Synchronized", 0);
    plat::RegCloseKey(k);
}

// What the message buffers read: the node's buffer memory limits and this instance's
// identity (the values of config/mbuf.reg).
inline void WriteBufferSettings() {
    const std::string company = "SOFTWARE\\Quenlo Systems, Inc.\\";
    const std::string limits = company + "ZUR\\SystemSettings\\MBufMemLimit";
    plat::RegKey k = nullptr;
    k = CreateKey(limits);
    SetDword(k, "TotalLimitInPctOfRAM", 10);
    SetDword(k, "MinTotalLimit", 128);
    SetDword(k, "MBufLimitTblRecs", 64);
    SetDword(k, "ShrinkThresInUsagePct", 50);
    plat::RegCloseKey(k);
    const std::pair<const char*, uint32_t> perProcess[] = {
        {"Increment", 131072}, {"Initial", 1048576}, {"MaxInPctOfTotalLimit", 50}};
    for (const auto& [name, value] : perProcess) {
        k = CreateKey(limits + "\\" + name + "\\Process");
        SetDword(k, "Other", value);
        plat::RegCloseKey(k);
    }
    k = CreateKey(company + "ZUR\\CurrentVersion");
    SetDword(k, "InstanceNumber", 0);
    plat::RegCloseKey(k);
    k = CreateKey(Base() + "\\DMP\\CurrentVersion");
    SetDword(k, "SystemID", 1);
    plat::RegCloseKey(k);
}

using testsupport::FreePort;

inline void WriteProcessPort(uint16_t port) {
    plat::RegKey k = nullptr;
    k = CreateKey(Base() + "\\MDS\\CurrentVersion\\Process");
    SetString(k, "Node", "127.0.0.1");
    SetString(k, "MDSPort", std::to_string(port));
    SetString(k, "StateXferPort", std::to_string(port + 1));
    plat::RegCloseKey(k);
}

inline uint16_t WriteProcess() {
    WriteBufferSettings();
    uint16_t port = FreePort();
    WriteProcessPort(port);
    WriteClient("client", 10);
    WriteClient("peer", 11);
    return port;
}

// The stand-in MDS with frame tracing on. Should the port have been taken meanwhile,
// another one is chosen and written to the registry, unless the port must stay.
inline testsupport::Child* StartMds(uint16_t* port, bool samePort = false) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        auto* c = new testsupport::Child(
            {PARLO_MDS_BIN, "--port", std::to_string(*port), "--instance", kInstance, "--trace"});
        if (!c->WaitLine("parlo-mds: listening").empty()) return c;
        delete c;
        if (samePort) continue;  // the old one may still hold it: a new try takes a while
        *port = FreePort();
        WriteProcessPort(*port);
    }
    return nullptr;
}

}  // namespace mdstest
