// Policy-based QoS entries kept in the registry store, and EMT's step that applies them.
#include "nuvlib/emt/emtpolicy.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>

#include "nuvlib/emt/emtpriv.h"
#include "nuvlib/ems.h"
#include "platform/clock.h"
#include "platform/lasterror.h"
#include "platform/named.h"

namespace emt {

const char* const kPolicyRootKey = "Software\\Policies\\Microsoft\\Windows\\QoS";
const char* const kPolicyMutexName = "Global\\Quenlo-ZUR-eQOS-Mutex";

namespace {
constexpr uint32_t kMutexWaitMs = 1000;
constexpr uint32_t kSharingViolation = 32;
constexpr int kSaveTries = 10;

std::mutex g_saveMu;
std::function<uint32_t(plat::RegKey)> g_save;  // g_saveMu
std::atomic<uint32_t> g_saveAttempts{0};

// Created on first use and kept open for the life of the process.
std::mutex g_mutexMu;
plat::NamedMutex* g_mutex = nullptr;  // g_mutexMu

std::string PortText(uint16_t port) { return port ? std::to_string(port) : "*"; }

std::string AddressText(uint32_t address) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&address);
    char buf[20];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return buf;
}
}  // namespace

std::string PolicyName(uint8_t policyByte, uint16_t remotePort, uint16_t localPort,
                       uint32_t remoteAddress, bool serverSide) {
    std::string n = "QUENLO-ZUR-QOS-";
    if (policyByte) n += "ID-" + std::to_string(policyByte) + "-";
    n += serverSide ? "LPORT-" + PortText(localPort) : "RPORT-" + PortText(remotePort);
    return n + "-RIP" + AddressText(remoteAddress);
}

void ZUR_QoS_Policies::SetSaveForTest(std::function<uint32_t(plat::RegKey)> save) {
    std::lock_guard<std::mutex> g(g_saveMu);
    g_save = std::move(save);
}
uint32_t ZUR_QoS_Policies::SaveAttempts() { return g_saveAttempts.load(); }

void ZUR_QoS_Policies::SetError(const std::string& text, uint32_t code) {
    // The store has no message texts for its numbers.
    error_ = text + " [FormatMessage(err=" + std::to_string(code) + ") failed";
}

ZUR_QoS_Policies::ZUR_QoS_Policies() {
    // This platform always supports policy QoS: the version question needs no answer.
    {
        std::lock_guard<std::mutex> g(g_mutexMu);
        if (!g_mutex) {
            auto* m = new plat::NamedMutex;
            if (!m->Create(kPolicyMutexName, false)) {
                uint32_t e = plat::GetLastError();
                delete m;
                SetError("ZUR_QoS_Policies CreateMutex(Global\\Quenlo-ZUR-eQOS-Mutex) FAILED", e);
                return;
            }
            g_mutex = m;
        }
    }
    uint32_t w = g_mutex->Lock(kMutexWaitMs);
    if (w == plat::WAIT_TIMEOUT) {
        error_ = "ZUR_QoS_Policies WaitForSingleObject(h, " + std::to_string(kMutexWaitMs) +
                 ") timed out";
        return;
    }
    if (w == plat::WAIT_FAILED) {
        SetError("ZUR_QoS_Policies WaitForSingleObject() failed", plat::GetLastError());
        return;
    }
    if (w != plat::WAIT_OBJECT_0 && w != plat::WAIT_ABANDONED) {
        error_ = "ZUR_QoS_Policies WaitForSingleObject(h, " + std::to_string(kMutexWaitMs) +
                 ") failed with unknown error=" + std::to_string(w);
        return;
    }
    mutexHeld_ = true;
    uint32_t e = plat::RegCreateKey(plat::RegRoot(), kPolicyRootKey, &root_);
    if (e != 0) {
        root_ = nullptr;
        SetError("ZUR_QoS_Policies RegCreateKeyEx(Software\\Policies\\Microsoft\\Windows\\QoS) failed",
                 e);
    }
}

ZUR_QoS_Policies::~ZUR_QoS_Policies() {
    (void)Commit();
    if (root_) plat::RegCloseKey(root_);
    if (mutexHeld_) g_mutex->Unlock();
}

bool ZUR_QoS_Policies::WriteValue(plat::RegKey key, const char* name, const std::string& value,
                                  bool verify) {
    if (verify) {
        char current[101] = {};
        uint32_t type = 0, size = 100;
        if (plat::RegQueryValue(key, name, &type, current, &size) == 0 && type == plat::REG_SZ &&
            std::strlen(current) == value.size() && value == current)
            return true;
    }
    dirty_ = true;
    uint32_t e = plat::RegSetValue(key, name, plat::REG_SZ, value.c_str(),
                                   static_cast<uint32_t>(value.size() + 1));
    if (e != 0) {
        SetError("ZUR_QoS_Policies::WriteValue[" + name_ + "] (" + name + ", " + value + ", " +
                     (verify ? "verify=TRUE" : "verify=FALSE") + ") failed",
                 e);
        return false;
    }
    return true;
}

bool ZUR_QoS_Policies::UpdatePolicy(uint8_t policyByte, uint16_t remotePort, uint16_t localPort,
                                    uint32_t remoteAddress, bool serverSide, uint32_t dscp) {
    if (!root_) return false;
    name_ = PolicyName(policyByte, remotePort, localPort, remoteAddress, serverSide);
    plat::RegKeyHolder key;
    bool created = false;
    uint32_t e = plat::RegCreateKey(root_, name_.c_str(), key.out(), &created);
    if (e != 0) {
        SetError("ZUR_QoS_Policies::UpdatePolicy RegCreateKeyEx(" + name_ + ") failed", e);
        return false;
    }
    static const char* const kDefaults[][2] = {
        {"Version", "1.0"},          {"Application Name", "*"},       {"Protocol", "TCP"},
        {"Local Port", "*"},         {"Local IP", "*"},               {"Local IP Prefix Length", "*"},
        {"Remote Port", "*"},        {"Remote IP", "*"},              {"Remote IP Prefix Length", "*"},
        {"Throttle Rate", "-1"}};
    // A new key that cannot be written whole goes again: no half-written policy stays.
    auto dropNew = [&] {
        key.reset();
        if (created && plat::RegDeleteKey(root_, name_.c_str()) == 0) dirty_ = true;
        return false;
    };
    if (created)
        for (const auto& d : kDefaults)
            if (!WriteValue(key.get(), d[0], d[1], false)) return dropNew();
    const std::pair<const char*, std::string> current[] = {
        {"DSCP Value", std::to_string(dscp)},
        {"Local Port", PortText(localPort)},
        {"Remote Port", PortText(remotePort)},
        {"Remote IP", AddressText(remoteAddress)},
        {"Remote IP Prefix Length", "32"}};
    for (const auto& c : current)
        if (!WriteValue(key.get(), c.first, c.second, true)) return dropNew();
    key.reset();
    return Commit();
}

bool ZUR_QoS_Policies::DeletePolicy(uint8_t policyByte, uint16_t remotePort, uint16_t localPort,
                                    uint32_t remoteAddress, bool serverSide) {
    if (!root_) return false;
    name_ = PolicyName(policyByte, remotePort, localPort, remoteAddress, serverSide);
    {
        plat::RegKeyHolder key;
        if (plat::RegOpenKey(root_, name_.c_str(), key.out()) != 0) return true;
    }
    uint32_t e = plat::RegDeleteKey(root_, name_.c_str());
    if (e != 0) {
        SetError("ZUR_QoS_Policies::DeletePolicy(" + name_ + ") failed", e);
        return false;
    }
    dirty_ = true;
    return Commit();
}

bool ZUR_QoS_Policies::Save(const char* failText) {
    std::function<uint32_t(plat::RegKey)> save;
    {
        std::lock_guard<std::mutex> g(g_saveMu);
        save = g_save;
    }
    uint32_t e = 0;
    for (int attempt = 1; attempt <= kSaveTries; ++attempt) {
        g_saveAttempts.fetch_add(1);
        e = save ? save(root_) : plat::RegFlushKey(root_);
        if ((e & 0xFFFF) != kSharingViolation) break;
        if (attempt < kSaveTries) plat::SleepForMs(10);
    }
    if (e != 0) {
        SetError(failText, e & 0xFFFF);
        return false;
    }
    return true;
}

bool ZUR_QoS_Policies::Commit() {
    if (!root_) return false;
    if (!dirty_) return true;
    // Two saves, as for the two extensions of the original store.
    if (!Save("ZUR_QoS_Policies::Commit(REGISTRY_EXTENSION_GUID) failed")) return false;
    if (!Save("ZUR_QoS_Policies::Commit(2nd GuidExtension) failed")) return false;
    dirty_ = false;
    return true;
}

void ApplyPolicyQos(EmtControlBlock* cb) {
    if (!Lib().policyQos) return;
    ZUR_QoS_Policies policies;
    if (!policies.ErrorText().empty()) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true))
            EMSTraceMessage(
                "ZUR_QoS_Policies failed to initialize [%s], OS may not support MS eQoS, legacy "
                "QoS will be used if possible",
                policies.ErrorText().c_str());
        return;
    }
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ::getsockname(cb->sock, reinterpret_cast<sockaddr*>(&local), &len);
    const uint16_t remotePort = ntohs(cb->remote.sin_port);
    const uint16_t localPort = ntohs(local.sin_port);
    const uint32_t address = cb->remote.sin_addr.s_addr;
    const bool serverSide = !cb->clientSide;
    const EMT_FLOW_QOS& sf = cb->sendFlow;
    if (cb->qosEnabled && !(sf.flags & kQosOff) && sf.dscp != 0) {
        if (policies.UpdatePolicy(sf.policy, remotePort, localPort, address, serverSide,
                                  sf.dscp)) {
            // The system would mark a connection that has a policy; here EMT does.
            int tos = static_cast<int>((sf.dscp % 64) * 4);
            (void)::setsockopt(cb->sock, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
            if (TraceOn(kTraceConn))
                EMSTraceMessage("ZUR_QoS_Policies::UpdatePolicy(%s[dscp:%d]) succeeded",
                                policies.PolicyNameText().c_str(), static_cast<int>(sf.dscp));
        } else if (TraceOn(kTraceConn)) {
            EMSTraceMessage("ZUR_QoS_Policies::UpdatePolicy failed [%s]",
                            policies.ErrorText().c_str());
        }
        return;
    }
    if (policies.DeletePolicy(sf.policy, remotePort, localPort, address, serverSide)) {
        int tos = 0;
        (void)::setsockopt(cb->sock, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
        if (TraceOn(kTraceConn))
            EMSTraceMessage("ZUR_QoS_Policies::DeletePolicy(%s) succeeded",
                            policies.PolicyNameText().c_str());
    } else if (TraceOn(kTraceConn)) {
        EMSTraceMessage("ZUR_QoS_Policies::DeletePolicy failed [%s]", policies.ErrorText().c_str());
    }
}

}  // namespace emt
