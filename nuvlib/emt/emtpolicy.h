#pragma once
// Policy-based QoS entries: one registry key per connection under the node's policy root,
// naming the connection's ports and peer and its DSCP value. Every process of the node that
// changes them is serialised by the named mutex "Global\Quenlo-ZUR-eQOS-Mutex".
//
// An object holds the mutex from its constructor to its destructor, which saves what is
// left unsaved and releases everything. Use it once per change and drop it.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/registry.h"

namespace emt {

// "Software\Policies\Microsoft\Windows\QoS", under the registry's machine root.
extern const char* const kPolicyRootKey;
extern const char* const kPolicyMutexName;

// "QUENLO-ZUR-QOS-" [ "ID-<byte>-" ] ("LPORT-" local | "RPORT-" remote) "-RIP" a.b.c.d;
// port 0 is written "*". remoteAddress is in network order.
std::string PolicyName(uint8_t policyByte, uint16_t remotePort, uint16_t localPort,
                       uint32_t remoteAddress, bool serverSide);

class ZUR_QoS_Policies {
public:
    // Takes the mutex (1000 ms) and opens the policy root key; ErrorText() is empty when
    // that worked.
    ZUR_QoS_Policies();
    // Commits, closes the key and releases the mutex.
    ~ZUR_QoS_Policies();
    ZUR_QoS_Policies(const ZUR_QoS_Policies&) = delete;
    ZUR_QoS_Policies& operator=(const ZUR_QoS_Policies&) = delete;

    // Writes the connection's policy (defaults when new, then the five current values when
    // they differ) and commits. false with ErrorText() set on failure; the key is then
    // closed and what was written is saved by the destructor.
    [[nodiscard]] bool UpdatePolicy(uint8_t policyByte, uint16_t remotePort, uint16_t localPort,
                                    uint32_t remoteAddress, bool serverSide, uint32_t dscp);
    // Deletes the connection's policy and commits; true when there was none.
    [[nodiscard]] bool DeletePolicy(uint8_t policyByte, uint16_t remotePort, uint16_t localPort,
                                    uint32_t remoteAddress, bool serverSide);
    // Saves the store when something changed: true, or false with ErrorText() set.
    [[nodiscard]] bool Commit();

    const std::string& ErrorText() const { return error_; }
    const std::string& PolicyNameText() const { return name_; }
    bool Dirty() const { return dirty_; }

    // Test-only: the save of the store (default: plat::RegFlushKey of the policy root).
    // Called once per save attempt; an empty function restores the default.
    static void SetSaveForTest(std::function<uint32_t(plat::RegKey)> save);
    // Number of save attempts so far in this process (tests).
    static uint32_t SaveAttempts();

private:
    bool WriteValue(plat::RegKey key, const char* name, const std::string& value, bool verify);
    bool Save(const char* failText);
    void SetError(const std::string& text, uint32_t code);

    std::string error_;
    std::string name_;
    bool dirty_ = false;
    bool mutexHeld_ = false;
    plat::RegKey root_ = nullptr;
};

}  // namespace emt
