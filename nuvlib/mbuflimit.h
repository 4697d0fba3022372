#pragma once
// The node-wide table of buffering memory. Every process that buffers messages registers a
// record in one shared-memory table with its initial quota, maximum and increment, and
// grows or shrinks its assignment in whole increments against the node's total limit.
// A process that ends without deregistering leaves its record behind; its per-process
// mutex disappears with it, and whoever runs short reclaims the record and its bytes.
//
// Table layout (little-endian): header {u32 total, u32 unassigned, u32 record count,
// u16 first free, u16 first in use}, then 48-byte records (see mbuflimit.cpp).
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/named.h"

class MBufLimitMgr {
public:
    static constexpr const char* kTableName = "Global\\MBUF Limit Table";
    static constexpr const char* kMutexName = "Global\\MBUF Limit Table Mutex";
    static constexpr const char* kSettingsKey =
        "SOFTWARE\\Quenlo Systems, Inc.\\ZUR\\SystemSettings\\MBufMemLimit";
    static constexpr const char* kCompanyKey = "SOFTWARE\\Quenlo Systems, Inc.";
    static constexpr size_t kHeaderSize = 16;
    static constexpr size_t kRecordSize = 48;
    static constexpr size_t kMaxNameLength = 12;

    struct Settings {
        uint32_t totalPctOfRam = 0;
        uint32_t minTotalMB = 0;
        uint32_t tableRecords = 0;
        uint32_t shrinkThresholdPct = 0;
        uint32_t increment = 0;
        uint32_t initialQuota = 0;
        uint32_t maxPctOfTotal = 0;
    };

    // A copy of one record, for statistics and tests.
    struct RecordView {
        uint8_t instance, systemId, handle;
        std::string name;
        uint32_t maximum, initial, assigned, increment, expansions, shrinks;
        uint16_t index;
    };
    struct TableView {
        uint32_t total, unassigned, records;
        uint16_t firstFree, firstInUse;
    };

    // Reads the settings, opens (or creates) the table and registers this process. Every
    // failure is fatal.
    MBufLimitMgr(const char* instancePath, const char* processName);
    ~MBufLimitMgr() = default;
    MBufLimitMgr(const MBufLimitMgr&) = delete;
    MBufLimitMgr& operator=(const MBufLimitMgr&) = delete;

    void GetLimits(uint32_t* initial, uint32_t* current, uint32_t* increment,
                   uint32_t* threshold) const;
    // Bytes newly assigned (whole increments), or 0 when nothing could be assigned.
    [[nodiscard]] uint32_t Expand(uint32_t bytes);
    // Bytes given back (whole increments), never below the initial quota.
    [[nodiscard]] uint32_t Shrink(uint32_t bytes);
    // Raises this process's maximum by the larger of bytes and the increment.
    void RaiseMaximum(uint32_t bytes);

    const Settings& GetSettings() const { return m_Settings; }
    uint16_t GetOwnIndex() const { return m_OwnIndex; }
    uint8_t GetHandle() const { return m_Handle; }
    TableView ReadTable();
    [[nodiscard]] bool ReadRecord(uint16_t index, RecordView* view);

    // Total limit of a new table: max(RAM / 100 * pct, minimum MB), saturated at 32 bits.
    static uint32_t ComputeTotalLimit(uint64_t physicalBytes, uint32_t pct, uint32_t minTotalMB);

private:
    void ReadSettings(const char* instancePath);
    void OpenTable();
    // The view of the table and the own record's address, valid only while the table mutex
    // is held: each operation maps before its work and unmaps after it.
    void MapTable();
    void UnmapTable();
    void InitTable();
    void Register();
    void Deregister(uint16_t index);
    // Tests the owner of a record in use and reclaims the record when its owner has ended.
    void ReclaimIfStale(uint16_t index);
    void LockTable();
    void UnlockTable();
    uint8_t* Record(uint16_t index) const;
    std::string RecordMutexName(uint16_t index) const;

    Settings m_Settings;
    std::string m_ProcessName;
    uint8_t m_Instance = 0;
    uint8_t m_SystemId = 0;
    uint8_t m_Handle = 255;
    plat::SharedSection m_Section;
    plat::NamedMutex m_TableMutex;
    plat::NamedMutex m_OwnMutex;
    uint8_t* m_Table = nullptr;
    uint8_t* m_OwnRecord = nullptr;
    uint32_t m_Records = 0;  // records that fit the mapped section
    uint16_t m_OwnIndex = 0;
};
