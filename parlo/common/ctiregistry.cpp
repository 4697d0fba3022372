#include "parlo/common/ctiregistry.h"

#include <cstdio>
#include <cstring>

#include "nuvlib/ems.h"
#include "nuvlib/regvalue.h"
#include "nuvlib/release.h"
#include "nuvlib/utf8utils.h"
#include "parlo/common/buildinfo.h"
#include "parlo/common/importmetrics.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/lasterror.h"

const char* const CTIRegistry::kRoot = "SOFTWARE\\QUENLO SYSTEMS, INC.";

namespace {

constexpr uint32_t kEvMissingValue = 0xE12EC003;
constexpr uint32_t kEvWriteFailed = 0xE12EC004;
constexpr uint32_t kEvWaitFailed = 0xE12EC002;
constexpr uint32_t kEvValueChanged = 0x612E000A;
constexpr uint32_t kEvBuildInfo = 0x612EC00C;
constexpr int64_t kMandatory = -1;

struct DynamicRow {
    const char* name;
    uint32_t start;   // before the values are read
    int64_t missing;  // taken when absent, or kMandatory
};

// One row per value, in the block's order.
constexpr DynamicRow kDynamic[CTIRegistry::kDynamicCount] = {
    {"CallEventTimeout", 3600, 3600},
    {"CaptureMessages", 0, kMandatory},
    {"ConnectionTimeout", 30, kMandatory},
    {"DumpInvalidMessages", 1, kMandatory},
    {"HostnameLookup", 0, kMandatory},
    {"MaxClientConnections", 6000, kMandatory},
    {"MaxPrivateCallsPerAgent", 2, kMandatory},
    {"MaxQueueAllEventClient", 0xFFFFFFFF, kMandatory},
    {"MaxQueueClientEventClient", 16, kMandatory},
    {"MinMessageBuffers", 1024, kMandatory},
    {"MinMessageBuffersPerClient", 4, kMandatory},
    {"NoClientConnectionsTimeout", 60, 60},
    {"OPCHeartbeatTime", 0, kMandatory},
    {"PrivateCallCleanupDelay", 10, kMandatory},
    {"PrivateCallReuseDelay", 10, kMandatory},
    {"SimplexRideThruTime", 90, kMandatory},
    {"VerifySnapshot", 0, kMandatory},
    {"MaxLockTimeout", 0xFFFFFFFF, kMandatory},
    {"DropAnyPartyEnabled", 0, kMandatory},
    {"PARLOOptionalCounters", 0, 0},
    {"NICStatusBasedFailover", 0, 0},
    {"RemoveCGDuplicateConnections", 1, 1},
    {"NodeManagerPingTimeChecks", 0, 0},
};

using D = CTIRegistry::DynamicValue;
// The order in which the key is read (the first missing value is the one reported).
constexpr D kReadOrder[] = {
    D::ConnectionTimeout,         D::DumpInvalidMessages,        D::DropAnyPartyEnabled,
    D::PARLOOptionalCounters,     D::HostnameLookup,             D::MaxClientConnections,
    D::MaxPrivateCallsPerAgent,   D::MaxQueueAllEventClient,     D::MaxQueueClientEventClient,
    D::MinMessageBuffers,         D::MinMessageBuffersPerClient, D::CallEventTimeout,
    D::CaptureMessages,           D::NoClientConnectionsTimeout, D::OPCHeartbeatTime,
    D::PrivateCallCleanupDelay,   D::PrivateCallReuseDelay,      D::SimplexRideThruTime,
    D::VerifySnapshot,            D::MaxLockTimeout,             D::NICStatusBasedFailover,
    D::RemoveCGDuplicateConnections, D::NodeManagerPingTimeChecks};
// The order in which changes are reported.
constexpr D kCompareOrder[] = {
    D::CallEventTimeout,          D::CaptureMessages,            D::DropAnyPartyEnabled,
    D::PARLOOptionalCounters,     D::ConnectionTimeout,          D::DumpInvalidMessages,
    D::HostnameLookup,            D::MaxClientConnections,       D::MaxPrivateCallsPerAgent,
    D::MaxQueueAllEventClient,    D::MaxQueueClientEventClient,  D::MinMessageBuffers,
    D::MinMessageBuffersPerClient, D::NoClientConnectionsTimeout, D::OPCHeartbeatTime,
    D::PrivateCallCleanupDelay,   D::PrivateCallReuseDelay,      D::SimplexRideThruTime,
    D::VerifySnapshot,            D::MaxLockTimeout,             D::NICStatusBasedFailover,
    D::RemoveCGDuplicateConnections, D::NodeManagerPingTimeChecks};
static_assert(sizeof kReadOrder / sizeof kReadOrder[0] == CTIRegistry::kDynamicCount);
static_assert(sizeof kCompareOrder / sizeof kCompareOrder[0] == CTIRegistry::kDynamicCount);

[[noreturn]] void ExitOnRegistryFault(uint32_t eventId, const char* name, const std::string& path) {
    EMSEvent0I2S(eventId, 0, 0, name, path.c_str());
    ImportMetrics::Instance().reset();
    EMSExitProcess(0);
}

[[noreturn]] void MissingValue(const char* name, const std::string& path) {
    ExitOnRegistryFault(kEvMissingValue, name, path);
}

// Opens a key or ends the process with the fatal key report.
void OpenOrFail(const std::string& path, plat::RegKeyHolder* key, bool create = false) {
    const uint32_t status = create ? plat::RegCreateKey(plat::RegRoot(), path.c_str(), key->out())
                                   : plat::RegOpenKey(plat::RegRoot(), path.c_str(), key->out());
    if (status != 0) EMSFailMessageStatus(status, "Couldn't open %s key in registry\n", path.c_str());
}

void ReadMandatory(plat::RegKey key, const char* name, const std::string& path, uint32_t* dest) {
    if (RegGetDWORD(key, name, dest) != 1) MissingValue(name, path);
}

bool ReadText(plat::RegKey key, const char* name, std::string* out) {
    char* text = nullptr;
    if (RegGetString(key, name, &text) != 1) return false;
    *out = text;
    RegFreeBuffer(text);
    return true;
}

}  // namespace

const char* CTIRegistry::DynamicName(DynamicValue v) {
    return v >= 0 && v < kDynamicCount ? kDynamic[v].name : "";
}

CTIRegistry::CTIRegistry() {
    FillStartValues(m_Dynamic, m_Config);
}

CTIRegistry::~CTIRegistry() {
    if (m_WatchThread.joinable()) m_WatchThread.detach();
}

void CTIRegistry::FillStartValues(DynamicBlock& dynamic, ConfigBlock& config) {
    for (int i = 0; i < kDynamicCount; ++i) dynamic.value[i].store(kDynamic[i].start, std::memory_order_relaxed);
    config = ConfigBlock{};
}

void CTIRegistry::SetIdentity(const std::string& registryBase, bool sideA) {
    std::lock_guard<std::mutex> hold(m_IdentityLock);
    m_RegistryBase = registryBase;
    m_SideA = sideA;
}

bool CTIRegistry::SideA() const {
    std::lock_guard<std::mutex> hold(m_IdentityLock);
    return m_SideA;
}

std::string CTIRegistry::RegistryBase() const {
    std::lock_guard<std::mutex> hold(m_IdentityLock);
    return m_RegistryBase;
}

std::string CTIRegistry::BaseKeyPath() const {
    return std::string(kRoot) + "\\" + RegistryBase();
}
std::string CTIRegistry::ConfigKeyPath() const {
    return std::string(kRoot) + "\\" + RegistryBase() + "\\CG\\CurrentVersion\\" + m_ConfigKeyName;
}
std::string CTIRegistry::DynamicKeyPath() const {
    return std::string(kRoot) + "\\" + RegistryBase() + "\\CG\\CurrentVersion\\" + m_DynamicKeyName;
}

void CTIRegistry::Init(const char* programName) {
    m_WatchRunning = false;
    m_ConfigKeyName = std::string(programName) + "\\Config";
    m_DynamicKeyName = std::string(programName) + "\\Dynamic";
    FixMaxQueueAllEventClient();
    FixMaxLockTimeout();
    FillStartValues(m_Dynamic, m_Config);
    ReadConfigRegistryData(m_Config);
    ReadDynamic(m_Dynamic);
}

void CTIRegistry::FixMaxQueueAllEventClient() {
    const std::string path = DynamicKeyPath();
    plat::RegKeyHolder key;
    OpenOrFail(path, &key);
    uint32_t value = 0;
    ReadMandatory(key.get(), "MaxQueueAllEventClient", path, &value);
    if (static_cast<int32_t>(value) < 4001 &&
        RegSetDWORD(key.get(), "MaxQueueAllEventClient", 15000) != 1)
        ExitOnRegistryFault(kEvWriteFailed, "MaxQueueAllEventClient", path);
}

void CTIRegistry::FixMaxLockTimeout() {
    const std::string path = DynamicKeyPath();
    plat::RegKeyHolder key;
    OpenOrFail(path, &key);
    uint32_t value = 0;
    if (RegGetDWORD(key.get(), "MaxLockTimeout", &value) != 1 &&
        RegSetDWORD(key.get(), "MaxLockTimeout", 500) != 1)
        ExitOnRegistryFault(kEvWriteFailed, "MaxLockTimeout", path);
}

void CTIRegistry::ReadDynamic(DynamicBlock& block) {
    const std::string path = DynamicKeyPath();
    plat::RegKeyHolder key;
    OpenOrFail(path, &key);
    for (DynamicValue v : kReadOrder) {
        uint32_t value = 0;
        if (RegGetDWORD(key.get(), kDynamic[v].name, &value) != 1) {
            if (kDynamic[v].missing == kMandatory) MissingValue(kDynamic[v].name, path);
            value = static_cast<uint32_t>(kDynamic[v].missing);
        }
        block.value[v].store(value, std::memory_order_relaxed);
    }
}

void CTIRegistry::ReadConfigRegistryData(ConfigBlock& block) {
    const std::string path = ConfigKeyPath();
    {
        plat::RegKeyHolder key;
        OpenOrFail(path, &key);
        if (RegGetDWORDSafe(key.get(), "AgentLoginRequired", &block.AgentLoginRequired) != 1)
            MissingValue("AgentLoginRequired", path);
        if (RegGetDWORDSafe(key.get(), "DisableUTF8Conversion", &block.DisableUTF8Conversion) == 1)
            EMSTraceMessage("CTIRegistry::ReadConfigRegistryData: key (%s) value (%d)",
                            "DisableUTF8Conversion", static_cast<int>(block.DisableUTF8Conversion));
        // Optional: the code page of OPC's texts, converted to UTF-8 for the clients that ask.
        std::string codePage;
        if (ReadText(key.get(), "LocalCodePage", &codePage) && !UTF8UtilsSetLocalCodePage(codePage))
            EMSTraceMessage("CTIRegistry::ReadConfigRegistryData: LocalCodePage (%s) unknown, keeping %s",
                            codePage.c_str(), UTF8UtilsLocalCodePage().c_str());
        ReadMandatory(key.get(), "CaptureFileMaxBytes", path, &block.CaptureFileMaxBytes);
        ReadMandatory(key.get(), "CaptureTotalMaxBytes", path, &block.CaptureTotalMaxBytes);
        ReadMandatory(key.get(), "ListenBacklog", path, &block.ListenBacklog);
        if (RegGetDWORD(key.get(), "SecurityMode", &block.SecurityMode) != 1) {
            block.SecurityMode = 0;
            EMSTraceMessage(
                "CTIRegistry::ReadConfigRegistryData: ServerMode registry is not available, "
                "Default setting to Mixed-Mode");
        }
        if (block.SecurityMode == 0 && !ReadText(key.get(), "ListenPort", &block.ListenPort))
            MissingValue("ListenPort", path);
        if ((block.SecurityMode == 0 || block.SecurityMode == 1) &&
            !ReadText(key.get(), "SecuredListenPort", &block.SecuredListenPort))
            MissingValue("SecuredListenPort", path);
        ReadMandatory(key.get(), "TimerFrequency", path, &block.TimerFrequency);
        ReadMandatory(key.get(), "TimerResolution", path, &block.TimerResolution);
    }
    const std::string basePath = BaseKeyPath();
    plat::RegKeyHolder base;
    OpenOrFail(basePath, &base);
    const char* name = SideA() ? "CGPublicInterfaceA" : "CGPublicInterfaceB";
    if (!ReadText(base.get(), name, &block.CGPublicInterface)) MissingValue(name, basePath);
}

void CTIRegistry::StartRegistryListener() {
    if (m_WatchRunning)
        EMSFailMessage("CTIRegistry::StartRegistryListener - Called with active listener present.");
    try {
        m_WatchThread = std::thread(&CTIRegistry::RegistryWatchThread, this);
    } catch (...) {
        EMSFailMessage("CTIRegistry::StartRegistryListener - Failed to crate RegistryWatchThread");
    }
    m_WatchThread.detach();  // no stop: it ends with the process
    m_WatchRunning = true;
}

void CTIRegistry::ApplyDynamicChanges() {
    DynamicBlock fresh;
    ReadDynamic(fresh);
    for (DynamicValue v : kCompareOrder) {
        const uint32_t now = fresh.value[v].load(std::memory_order_relaxed);
        const uint32_t was = m_Dynamic.value[v].load(std::memory_order_relaxed);
        if (now == was) continue;
        m_Dynamic.value[v].store(now, std::memory_order_relaxed);
        EMSEvent2I1S(kEvValueChanged, 0, 0, static_cast<int32_t>(was), static_cast<int32_t>(now),
                     kDynamic[v].name);
    }
}

void CTIRegistry::RegistryWatchThread() {
    for (;;) {
        const std::string path = DynamicKeyPath();
        plat::RegKeyHolder key;
        OpenOrFail(path, &key);
        plat::Event changed(true, false);
        for (;;) {
            // Armed before the key is read, so a change made while it is read is not lost.
            changed.Reset();
            const uint32_t status = plat::RegNotifyChangeKeyValue(key.get(), &changed);
            if (status != 0) {
                EMSEvent1I1S(kEvWaitFailed, 0, 0, static_cast<int32_t>(status), path.c_str());
                plat::SleepForMs(10000);
                break;
            }
            ApplyDynamicChanges();
            changed.Wait(plat::INFINITE);
        }
    }
}

void CTIRegistry::UpdateBuildInfo() {
    const std::string info = std::string(GetReleaseString()).substr(0, 120);
    const std::string date = BuildDateText();
    plat::RegKeyHolder key;
    if (plat::RegCreateKey(plat::RegRoot(), ConfigKeyPath().c_str(), key.out()) != 0) return;
    std::string storedInfo, storedDate;
    const bool haveInfo = ReadText(key.get(), "BuildInfo", &storedInfo);
    const bool haveDate = ReadText(key.get(), "BuildDate", &storedDate);
    if (haveInfo && storedInfo == info && haveDate && storedDate == date) return;
    EMSEvent0I2S(kEvBuildInfo, 0, 0, info.c_str(), date.c_str());
    (void)RegSetString(key.get(), "BuildInfo", info.c_str());
    (void)RegSetString(key.get(), "BuildDate", date.c_str());
}

uint32_t CTIRegistry::GenerationCounter() {
    plat::RegKeyHolder key;
    if (plat::RegCreateKey(plat::RegRoot(), ConfigKeyPath().c_str(), key.out()) != 0) return 0;
    uint32_t value = 0;
    if (RegGetDWORD(key.get(), "GenerationCounter", &value) != 1) value = 0;
    const uint32_t generation = value % 16;
    (void)RegSetDWORD(key.get(), "GenerationCounter", (generation + 1) % 16);
    return generation;
}

void CTIRegistry::ReadCGPublicInterface(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return;
    buffer[0] = '\0';
    const std::string path = BaseKeyPath();
    plat::RegKeyHolder key;
    OpenOrFail(path, &key);
    std::string text;
    if (!ReadText(key.get(), SideA() ? "CGPublicInterfaceA" : "CGPublicInterfaceB", &text)) {
        EMSTraceMessage("Failed to read the registry value for CGPublicInterface");
        return;  // the buffer holds an empty text
    }
    std::snprintf(buffer, size, "%s", text.c_str());
}
