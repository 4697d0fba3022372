#pragma once
// The stand-in OPC's script (parlo-opc --script) that takes a server from its start to
// ACTIVE, as a peripheral controller does: set-idle, the peripheral table, any further
// tables, table 0 (the end of the load) and set-active, each request waiting for its
// acknowledgement, then OPC's own heartbeats.
#include <string>

namespace testsupport {

struct Activation {
    std::string setIdle = "side=1 echo=1";  // the set-idle's fields
    std::string tables{};                    // config lines between the peripheral table and table 0
    std::string setActive = "side=1 hb=5";   // the set-active's fields
    int heartbeatMs = 1000;                  // OPC's heartbeat period from then on; 0 for none
};

// The script lines, each ending in '\n'; a test appends what it does once the server is
// active. The peripheral table names one peripheral, 5000, of client type 30.
inline std::string ActivationScript(const Activation& a = {}) {
    std::string s = "set-idle " + a.setIdle + "\n" +
                    "wait ack timeout=20000\n"
                    "config 11 peripheral=5000/30/0/0\n" +
                    a.tables +
                    "config 0\n"
                    "set-active " + a.setActive + "\n" +
                    "wait ack timeout=20000\n";
    if (a.heartbeatMs > 0) s += "heartbeat " + std::to_string(a.heartbeatMs) + "\n";
    return s;
}

}  // namespace testsupport
