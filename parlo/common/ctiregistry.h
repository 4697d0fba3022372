#pragma once
// CTIRegistry: the server's configuration from the registry. The Config block is read once
// at start; the Dynamic block is read at start and kept live by RegistryWatchThread, the
// only writer of its words (each a std::atomic, so a reader sees the old or the new value).
// Key paths: <root>\<registry base>\CG\CurrentVersion\<program>\Config (and \Dynamic).
// A mandatory value that is missing ends the process with event 0xE12EC003 and exit code 0.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/registry.h"

class CTIRegistry {
public:
    // The Dynamic block, in its order.
    enum DynamicValue : int {
        CallEventTimeout,
        CaptureMessages,
        ConnectionTimeout,
        DumpInvalidMessages,
        HostnameLookup,
        MaxClientConnections,
        MaxPrivateCallsPerAgent,
        MaxQueueAllEventClient,
        MaxQueueClientEventClient,
        MinMessageBuffers,
        MinMessageBuffersPerClient,
        NoClientConnectionsTimeout,
        OPCHeartbeatTime,
        PrivateCallCleanupDelay,
        PrivateCallReuseDelay,
        SimplexRideThruTime,
        VerifySnapshot,
        MaxLockTimeout,
        DropAnyPartyEnabled,
        PARLOOptionalCounters,
        NICStatusBasedFailover,
        RemoveCGDuplicateConnections,
        NodeManagerPingTimeChecks,
        kDynamicCount
    };
    struct DynamicBlock {
        std::atomic<uint32_t> value[kDynamicCount];
    };
    struct ConfigBlock {
        uint32_t AgentLoginRequired = 0;
        uint32_t CaptureFileMaxBytes = 0;
        uint32_t CaptureTotalMaxBytes = 0;
        uint32_t ListenBacklog = 5;
        std::string ListenPort;
        std::string SecuredListenPort;
        std::string CGPublicInterface;
        uint32_t SecurityMode = 0;
        uint32_t TimerFrequency = 0;
        uint32_t TimerResolution = 0;
        uint32_t DisableUTF8Conversion = 0;
    };

    static const char* const kRoot;  // "SOFTWARE\QUENLO SYSTEMS, INC."
    static const char* DynamicName(DynamicValue v);

    // Every value at its start value; nothing read yet.
    CTIRegistry();
    // A watch thread still running is let go (it ends with the process): the registry of a
    // started server lives to the process's end.
    virtual ~CTIRegistry();
    CTIRegistry(const CTIRegistry&) = delete;
    CTIRegistry& operator=(const CTIRegistry&) = delete;

    // The registry base under kRoot and the side whose values (CGPublicInterfaceA or B) are
    // read; the server sets them from its command line before Init. Until set: no base, A.
    void SetIdentity(const std::string& registryBase, bool sideA);
    // Reads both blocks with the start corrections, under the identity set last. Ends the
    // process on a missing mandatory value or an unopened key.
    void Init(const char* programName);
    // Starts the watch thread (fatal when one runs already). It runs to the end of the
    // process and does not keep it from exiting.
    void StartRegistryListener();
    // Writes the release text and build date into the Config key when they differ from what
    // is stored (reported with EMS 0x612EC00C); a key that cannot be made is left alone.
    void UpdateBuildInfo();
    // The generation 0 to 15; advances the stored counter by one modulo 16.
    uint32_t GenerationCounter();
    // Copies this side's CG public interface text into buffer (size bytes, terminated);
    // an empty text when the value cannot be read.
    void ReadCGPublicInterface(char* buffer, size_t size);

    // Init's steps (virtual so that a test can replace one). The fixes write the corrected
    // start values into the Dynamic key (MaxQueueAllEventClient below 4001 becomes 15000; a
    // missing MaxLockTimeout becomes 500); the reads fill `block`. Each ends the process on a
    // key that cannot be opened, a mandatory value that is missing or a write that fails.
    virtual void FixMaxQueueAllEventClient();
    virtual void FixMaxLockTimeout();
    virtual void ReadDynamic(DynamicBlock& block);
    virtual void ReadConfigRegistryData(ConfigBlock& block);

    // The live value (read at the moment of use).
    uint32_t Dynamic(DynamicValue v) const { return m_Dynamic.value[v].load(std::memory_order_relaxed); }
    // Stores a live value; the watch thread's job, also used by tests without a store.
    void SetDynamic(DynamicValue v, uint32_t value) {
        m_Dynamic.value[v].store(value, std::memory_order_relaxed);
    }
    // Read once by Init; not changed afterwards, so any thread may read it.
    const ConfigBlock& Config() const { return m_Config; }

    // The key paths under the identity set last.
    std::string BaseKeyPath() const;
    std::string ConfigKeyPath() const;
    std::string DynamicKeyPath() const;

    // One pass of the watch thread after a change: re-reads the Dynamic key and reports
    // (event 0x612E000A) and stores each value that differs from the live block.
    void ApplyDynamicChanges();

private:
    static void FillStartValues(DynamicBlock& dynamic, ConfigBlock& config);
    void RegistryWatchThread();
    bool SideA() const;
    std::string RegistryBase() const;

    std::thread m_WatchThread;
    bool m_WatchRunning = false;
    DynamicBlock m_Dynamic;
    ConfigBlock m_Config;
    std::string m_ConfigKeyName;
    std::string m_DynamicKeyName;
    mutable std::mutex m_IdentityLock;
    std::string m_RegistryBase;
    bool m_SideA = true;
};
