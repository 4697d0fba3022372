#pragma once
// MDSIO: the server's link to the OPC over MDS. For now it registers with MDS and runs the
// receive loop with handlers that only trace; the OPC dispatch replaces them.
#include <atomic>

class MDSIO {
public:
    // Whether client events are built (the server ACTIVE or STANDBY).
    static void SetServerActive(int active) { s_ServerActive.store(active); }
    static int IsServerActive() { return s_ServerActive.load(); }
    // The OPCHeartBeat timer's check; nothing is counted yet.
    static void CheckOPCHeartBeat() {}
    // Registers under the process name (instance: the registry base; flag: the side) and
    // runs the MDS receive loop on the calling thread. Returns only when the loop ends or
    // the registration failed.
    static void CTIInputManager(const char* processName, const char* registryBase, int side,
                                int mdsConnections);

private:
    static inline std::atomic<int> s_ServerActive{0};
};
