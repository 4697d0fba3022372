#include "nuvlib/mbuflimit.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "nuvlib/ems.h"
#include "nuvlib/regvalue.h"
#include "platform/byteorder.h"
#include "platform/lasterror.h"
#include "platform/registry.h"

// Record layout, offsets inside one 48-byte record.
namespace {
constexpr size_t kRecInstance = 0;
constexpr size_t kRecSystemId = 1;
constexpr size_t kRecHandle = 2;
constexpr size_t kRecName = 3;  // 13 bytes, the last always 0
constexpr size_t kRecMaximum = 16;
constexpr size_t kRecInitial = 20;
constexpr size_t kRecAssigned = 24;
constexpr size_t kRecIncrement = 28;
constexpr size_t kRecExpansions = 32;
constexpr size_t kRecShrinks = 36;
constexpr size_t kRecIndex = 40;
constexpr size_t kRecPrev = 42;
constexpr size_t kRecNext = 44;

constexpr size_t kHdrTotal = 0;
constexpr size_t kHdrUnassigned = 4;
constexpr size_t kHdrRecords = 8;
constexpr size_t kHdrFirstFree = 12;
constexpr size_t kHdrFirstInUse = 14;

constexpr size_t kKeyPathSize = 260;
constexpr uint32_t kTraceBit = 0x80000000u;

// The table is little-endian whatever the host.
using plat::LoadLE16;
using plat::LoadLE32;
using plat::StoreLE16;
using plat::StoreLE32;

bool Tracing() { return (EMSGetTraceMask() & kTraceBit) != 0; }

uint32_t Clamp(const char* name, uint32_t value, uint32_t lower, uint32_t upper) {
    if (value < lower) {
        if (Tracing())
            EMSTraceMessage(
                "MBufLimitMgr registry value %s (%u) is less than the lower bound (%u). The "
                "lower bound is used instead.",
                name, value, lower);
        return lower;
    }
    if (value > upper) {
        if (Tracing())
            EMSTraceMessage(
                "MBufLimitMgr registry value %s (%u) is larger than the upper bound (%u). The "
                "upper bound is used instead.",
                name, value, upper);
        return upper;
    }
    return value;
}

// 0 for a REG_DWORD value, else the last error the read left (0 for a value of another type).
uint32_t QueryDword(plat::RegKey key, const char* name, uint32_t* value) {
    plat::SetLastError(0);
    if (RegGetDWORDSafe(key, name, value) == 1) return 0;
    uint32_t error = plat::GetLastError();
    return error ? error : plat::ERROR_INVALID_DATA;
}

// Opens a key; a path that would not fit the key buffers fails like a missing key.
uint32_t OpenKey(const std::string& path, plat::RegKey* key) {
    if (path.size() >= kKeyPathSize) return plat::ERROR_FILENAME_EXCED_RANGE;
    return plat::RegOpenKey(plat::RegRoot(), path.c_str(), key);
}
}  // namespace

uint32_t MBufLimitMgr::ComputeTotalLimit(uint64_t physicalBytes, uint32_t pct,
                                         uint32_t minTotalMB) {
    // 64-bit and saturated: a large node must not wrap to a tiny or random total.
    uint64_t byRam = physicalBytes / 100;
    byRam = byRam > UINT64_MAX / 200 ? UINT64_MAX : byRam * pct;
    uint64_t total = std::max<uint64_t>(byRam, static_cast<uint64_t>(minTotalMB) * 1048576);
    return static_cast<uint32_t>(std::min<uint64_t>(total, 0xFFFFFFFFu));
}

MBufLimitMgr::MBufLimitMgr(const char* instancePath, const char* processName)
    : m_ProcessName(processName ? processName : "") {
    ReadSettings(instancePath ? instancePath : "");
    OpenTable();
    Register();
    UnmapTable();
}

void MBufLimitMgr::ReadSettings(const char* instancePath) {
    plat::RegKey key = nullptr;
    uint32_t rc = OpenKey(kSettingsKey, &key);
    if (rc != 0) EMSFailMessage("MBufLimitMgr RegOpenKeyEx failed (%d) on key: %s", rc, kSettingsKey);
    plat::RegKeyHolder settingsKey(key);

    struct Value {
        const char* name;
        uint32_t* target;
        uint32_t lower, upper;
    } values[] = {
        {"TotalLimitInPctOfRAM", &m_Settings.totalPctOfRam, 1, 200},
        {"MinTotalLimit", &m_Settings.minTotalMB, 128, 1024},
        {"MBufLimitTblRecs", &m_Settings.tableRecords, 32, 1024},
        {"ShrinkThresInUsagePct", &m_Settings.shrinkThresholdPct, 10, 100},
    };
    for (const Value& v : values) {
        uint32_t value = 0;
        rc = QueryDword(key, v.name, &value);
        if (rc != 0) {
            EMSFailMessage("MBufLimitMgr RegGetDWORD failed (%d) on value: %s\\%s",
                           static_cast<int>(plat::GetLastError()), kSettingsKey, v.name);
        }
        *v.target = Clamp(v.name, value, v.lower, v.upper);
    }

    struct PerProcess {
        const char* subkey;
        const char* boundName;
        uint32_t* target;
        uint32_t lower, upper;
    } perProcess[] = {
        {"Increment\\Process", "Increment", &m_Settings.increment, 131072, 16777216},
        {"Initial\\Process", "Initial", &m_Settings.initialQuota, 131072, 16777216},
        {"MaxInPctOfTotalLimit\\Process", "MaxInPctOfTotalLimit", &m_Settings.maxPctOfTotal, 0,
         70},
    };
    for (const PerProcess& p : perProcess) {
        plat::RegKey sub = nullptr;
        rc = plat::RegOpenKey(key, p.subkey, &sub);
        if (rc != 0) {
            if (p.target == &m_Settings.increment)
                EMSFailMessage("MBufLimitMgr RegOpenKeyEx failed (%d) on key: %s\\%s", rc,
                               kSettingsKey, p.subkey);
            EMSFailMessage("MBufLimitMgr RegOpenKeyEx failed (%d) on key: %s", rc, p.subkey);
        }
        plat::RegKeyHolder subKey(sub);
        uint32_t value = 0;
        rc = m_ProcessName.empty() ? plat::ERROR_FILE_NOT_FOUND
                                   : QueryDword(sub, m_ProcessName.c_str(), &value);
        if (rc != 0) rc = QueryDword(sub, "Other", &value);
        if (rc != 0) {
            EMSFailMessage("MBufLimitMgr RegGetDWORD failed (%d) on value: %s\\%s\\%s",
                           static_cast<int>(plat::GetLastError()), kSettingsKey, p.subkey, "Other");
        }
        *p.target = Clamp(p.boundName, value, p.lower, p.upper);
    }

    std::string path(instancePath);
    std::string instanceKey = std::string(kCompanyKey) + "\\" + path;
    instanceKey = instanceKey.substr(0, instanceKey.rfind('\\')) + "\\CurrentVersion";
    std::string dmpKey = std::string(kCompanyKey) + "\\" + path + "\\DMP\\CurrentVersion";
    struct Identity {
        std::string keyPath;
        const char* name;
        uint8_t* target;
    } ids[] = {{instanceKey, "InstanceNumber", &m_Instance}, {dmpKey, "SystemID", &m_SystemId}};
    for (const Identity& id : ids) {
        plat::RegKey k = nullptr;
        rc = OpenKey(id.keyPath, &k);
        if (rc != 0)
            EMSFailMessage("MBufLimitMgr RegOpenKeyEx failed (%d) on key: %s", rc,
                           id.keyPath.c_str());
        plat::RegKeyHolder holder(k);
        uint32_t value = 0;
        rc = QueryDword(k, id.name, &value);
        if (rc != 0) {
            EMSFailMessage("MBufLimitMgr RegGetDWORD failed (%d) on value: %s",
                           static_cast<int>(plat::GetLastError()), id.name);
        }
        *id.target = static_cast<uint8_t>(value);
    }

    std::string clientKey = std::string(kCompanyKey) + "\\" + path +
                            "\\MDS\\CurrentVersion\\Clients\\" + m_ProcessName;
    plat::RegKey k = nullptr;
    if (OpenKey(clientKey, &k) == 0) {
        plat::RegKeyHolder holder(k);
        uint32_t value = 0;
        rc = QueryDword(k, "Handle", &value);
        if (rc != 0) {
            EMSFailMessage("MBufLimitMgr RegGetDWORD failed (%d) on value: %s\\%s",
                           static_cast<int>(plat::GetLastError()), clientKey.c_str(), "Handle");
        }
        m_Handle = static_cast<uint8_t>(value);
    } else {
        m_Handle = 255;
    }
}

void MBufLimitMgr::LockTable() {
    uint32_t r = m_TableMutex.Lock(plat::INFINITE);
    // An owner that died holding the mutex leaves it to us; the table is used as found.
    if (r != plat::WAIT_OBJECT_0 && r != plat::WAIT_ABANDONED)
        EMSFailMessage("MBufLimitMgr WaitForSingleObject(...) failed [%d]", plat::GetLastError());
}

void MBufLimitMgr::UnlockTable() {
    if (!m_TableMutex.Unlock())
        EMSFailMessage("MBufLimitMgr ReleaseMutex(...) failed [%d]", plat::GetLastError());
}

uint8_t* MBufLimitMgr::Record(uint16_t index) const {
    if (!m_Table || index == 0 || index > m_Records) return nullptr;
    return m_Table + kHeaderSize + kRecordSize * (index - 1);
}

void MBufLimitMgr::OpenTable() {
    // The mutex is taken before the section is created or opened, so nobody sees a table
    // that its creator is still initialising.
    if (!m_TableMutex.Create(kMutexName))
        EMSFailMessage("MBufLimitMgr CreateMutex(...) failed [%d]", plat::GetLastError());
    LockTable();
    size_t size = kHeaderSize + kRecordSize * m_Settings.tableRecords;
    if (!m_Section.Create(kTableName, size))
        EMSFailMessage("MBufLimitMgr CreateFileMapping(...) failed [%d]", plat::GetLastError());
    MapTable();
    if (!m_Section.Existed()) {
        InitTable();
        EMSTraceMessage("MBufLimitMgr CreateMutex %s", kMutexName);
    } else {
        EMSTraceMessage("MBufLimitMgr OpenMutex %s", kMutexName);
    }
    // The creator's record count holds; never index past what the section really has.
    uint32_t fit = static_cast<uint32_t>((m_Section.Size() - kHeaderSize) / kRecordSize);
    m_Records = std::min<uint32_t>({LoadLE32(m_Table + kHdrRecords), fit, 0xFFFFu});
}

void MBufLimitMgr::InitTable() {
    uint32_t n = m_Settings.tableRecords;
    std::memset(m_Table, 0, kHeaderSize + kRecordSize * n);
    StoreLE32(m_Table + kHdrRecords, n);
    StoreLE16(m_Table + kHdrFirstFree, 1);
    StoreLE16(m_Table + kHdrFirstInUse, 0);
    m_Records = n;
    for (uint32_t i = 1; i <= n; ++i) {
        uint8_t* r = Record(static_cast<uint16_t>(i));
        StoreLE16(r + kRecIndex, static_cast<uint16_t>(i));
        StoreLE16(r + kRecPrev, static_cast<uint16_t>(i - 1));
        StoreLE16(r + kRecNext, static_cast<uint16_t>(i == n ? 0 : i + 1));
    }
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) {
        plat::SetLastError(plat::ErrnoToWin32(errno));
        EMSFailMessage("MBufLimitMgr GlobalMemoryStatusEx(...) failed [%d]", plat::GetLastError());
    }
    uint32_t total = ComputeTotalLimit(static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize),
                                       m_Settings.totalPctOfRam, m_Settings.minTotalMB);
    StoreLE32(m_Table + kHdrTotal, total);
    StoreLE32(m_Table + kHdrUnassigned, total);
}

void MBufLimitMgr::MapTable() {
    m_Table = static_cast<uint8_t*>(m_Section.Data());
    if (!m_Table || m_Section.Size() < kHeaderSize) {
        if (plat::GetLastError() == 0) plat::SetLastError(plat::ERROR_INVALID_DATA);
        EMSFailMessage("MBufLimitMgr MapViewOfFile(...) failed [%d]", plat::GetLastError());
    }
    m_OwnRecord = Record(m_OwnIndex);
}

void MBufLimitMgr::UnmapTable() {
    // The section stays attached for the life of the process (it keeps the table alive on
    // the node); the view is only used between taking and releasing the table mutex.
    m_Table = nullptr;
    m_OwnRecord = nullptr;
}

std::string MBufLimitMgr::RecordMutexName(uint16_t index) const {
    const uint8_t* r = Record(index);
    char name[kMaxNameLength + 1] = {};
    std::memcpy(name, r + kRecName, kMaxNameLength);
    return std::string("Global\\") + name + "@" + std::to_string(index);
}

void MBufLimitMgr::ReclaimIfStale(uint16_t index) {
    plat::NamedMutex probe;
    if (probe.Open(RecordMutexName(index))) return;  // the owner lives
    if (plat::GetLastError() == plat::ERROR_FILE_NOT_FOUND) Deregister(index);
}

void MBufLimitMgr::Register() {
    // The table mutex is still held from OpenTable.
    uint16_t cursor = LoadLE16(m_Table + kHdrFirstInUse);
    uint32_t initial = m_Settings.initialQuota;
    for (uint32_t steps = 0;
         LoadLE32(m_Table + kHdrUnassigned) < initial || LoadLE16(m_Table + kHdrFirstFree) == 0;
         ++steps) {
        uint8_t* r = steps <= m_Records ? Record(cursor) : nullptr;
        if (!r) {
            if (LoadLE32(m_Table + kHdrUnassigned) < initial)
                EMSFailMessage(
                    "MBufLimitMgr can NOT commit the initial quota request (Total:%d, Remain:%d, "
                    "Request:%d)",
                    static_cast<int>(LoadLE32(m_Table + kHdrTotal)),
                    static_cast<int>(LoadLE32(m_Table + kHdrUnassigned)), static_cast<int>(initial));
            EMSFailMessage("MBufLimitMgr buffering memory limit table full (%d records)",
                           static_cast<int>(m_Records));
        }
        uint16_t index = cursor;
        cursor = LoadLE16(r + kRecNext);
        ReclaimIfStale(index);
    }

    uint16_t index = LoadLE16(m_Table + kHdrFirstFree);
    uint8_t* r = Record(index);
    if (!r) EMSFailMessage("MBufLimitMgr buffering memory limit table full (%d records)",
                           static_cast<int>(m_Records));
    uint16_t nextFree = LoadLE16(r + kRecNext);
    StoreLE16(m_Table + kHdrFirstFree, Record(nextFree) ? nextFree : 0);
    if (uint8_t* nf = Record(nextFree)) StoreLE16(nf + kRecPrev, 0);
    uint16_t oldHead = LoadLE16(m_Table + kHdrFirstInUse);
    StoreLE16(r + kRecPrev, 0);
    StoreLE16(r + kRecNext, Record(oldHead) ? oldHead : 0);
    if (uint8_t* h = Record(oldHead)) StoreLE16(h + kRecPrev, index);
    StoreLE16(m_Table + kHdrFirstInUse, index);

    r[kRecInstance] = m_Instance;
    r[kRecSystemId] = m_SystemId;
    r[kRecHandle] = m_Handle;
    std::memset(r + kRecName, 0, 13);
    std::memcpy(r + kRecName, m_ProcessName.data(), std::min(m_ProcessName.size(), kMaxNameLength));
    uint64_t byPct =
        static_cast<uint64_t>(LoadLE32(m_Table + kHdrTotal) / 100) * m_Settings.maxPctOfTotal;
    StoreLE32(r + kRecMaximum, static_cast<uint32_t>(std::max<uint64_t>(byPct, initial)));
    StoreLE32(r + kRecInitial, initial);
    StoreLE32(r + kRecAssigned, initial);
    StoreLE32(r + kRecIncrement, m_Settings.increment);
    StoreLE32(r + kRecExpansions, 0);
    StoreLE32(r + kRecShrinks, 0);
    StoreLE16(r + kRecIndex, index);
    StoreLE32(m_Table + kHdrUnassigned, LoadLE32(m_Table + kHdrUnassigned) - initial);
    m_OwnIndex = index;
    m_OwnRecord = r;

    if (!m_OwnMutex.Create(RecordMutexName(index)))
        EMSFailMessage("MBufLimitMgr CreateMutex(...) failed [%d]", plat::GetLastError());
    if (m_OwnMutex.Existed())
        EMSFailMessage(
            "MBufLimitMgr Register(...) failed. A process with the same ID (%s) already exists.",
            RecordMutexName(index).c_str());
    if (Tracing())
        EMSTraceMessage("MBufLimitMgr successfully registered process %s", m_ProcessName.c_str());
    UnlockTable();
}

void MBufLimitMgr::Deregister(uint16_t index) {
    LockTable();  // recursive: the caller holds it already
    uint8_t* r = Record(index);
    if (r) {
        uint16_t prev = LoadLE16(r + kRecPrev);
        uint16_t next = LoadLE16(r + kRecNext);
        if (uint8_t* p = Record(prev))
            StoreLE16(p + kRecNext, next);
        else
            StoreLE16(m_Table + kHdrFirstInUse, next);
        if (uint8_t* n = Record(next)) StoreLE16(n + kRecPrev, prev);
        uint16_t oldFree = LoadLE16(m_Table + kHdrFirstFree);
        StoreLE16(r + kRecPrev, 0);
        StoreLE16(r + kRecNext, Record(oldFree) ? oldFree : 0);
        if (uint8_t* f = Record(oldFree)) StoreLE16(f + kRecPrev, index);
        StoreLE16(m_Table + kHdrFirstFree, index);
        uint64_t unassigned =
            static_cast<uint64_t>(LoadLE32(m_Table + kHdrUnassigned)) + LoadLE32(r + kRecAssigned);
        StoreLE32(m_Table + kHdrUnassigned,
                  static_cast<uint32_t>(std::min<uint64_t>(unassigned, 0xFFFFFFFFu)));
        if (Tracing()) {
            char name[kMaxNameLength + 1] = {};
            std::memcpy(name, r + kRecName, kMaxNameLength);
            EMSTraceMessage("MBufLimitMgr successfully deregistered process %s", name);
        }
    }
    UnlockTable();
}

void MBufLimitMgr::GetLimits(uint32_t* initial, uint32_t* current, uint32_t* increment,
                             uint32_t* threshold) const {
    *initial = m_Settings.initialQuota;
    *current = m_Settings.initialQuota;
    *increment = m_Settings.increment;
    *threshold = m_Settings.shrinkThresholdPct;
}

uint32_t MBufLimitMgr::Expand(uint32_t bytes) {
    LockTable();
    MapTable();
    uint32_t granted = 0;
    uint8_t* own = m_OwnRecord;
    uint32_t increment = own ? LoadLE32(own + kRecIncrement) : 0;
    if (own && increment != 0 && bytes != 0) {
        uint64_t a = (static_cast<uint64_t>(bytes) + increment - 1) / increment * increment;
        uint64_t assigned = LoadLE32(own + kRecAssigned);
        if (assigned + a <= LoadLE32(own + kRecMaximum)) {
            uint16_t cursor = LoadLE16(m_Table + kHdrFirstInUse);
            bool enough = true;
            for (uint32_t steps = 0; LoadLE32(m_Table + kHdrUnassigned) < a; ++steps) {
                uint8_t* r = steps <= m_Records ? Record(cursor) : nullptr;
                if (!r) {
                    enough = false;
                    break;
                }
                uint16_t index = cursor;
                cursor = LoadLE16(r + kRecNext);
                if (index != m_OwnIndex) ReclaimIfStale(index);
            }
            if (enough) {
                StoreLE32(m_Table + kHdrUnassigned,
                          LoadLE32(m_Table + kHdrUnassigned) - static_cast<uint32_t>(a));
                StoreLE32(own + kRecExpansions, LoadLE32(own + kRecExpansions) + 1);
                StoreLE32(own + kRecAssigned, static_cast<uint32_t>(assigned + a));
                if (Tracing())
                    EMSTraceMessage("MBufLimitMgr buffering memory limit expanded from %u to %u(bytes)",
                                    static_cast<uint32_t>(assigned), static_cast<uint32_t>(assigned + a));
                granted = static_cast<uint32_t>(a);
            }
        }
    }
    UnmapTable();
    UnlockTable();
    return granted;
}

uint32_t MBufLimitMgr::Shrink(uint32_t bytes) {
    LockTable();
    MapTable();
    uint32_t given = 0;
    uint8_t* own = m_OwnRecord;
    uint32_t increment = own ? LoadLE32(own + kRecIncrement) : 0;
    if (own && increment != 0) {
        uint32_t assigned = LoadLE32(own + kRecAssigned);
        uint32_t initial = LoadLE32(own + kRecInitial);
        uint32_t a = bytes - bytes % increment;
        a = std::min(a, assigned > initial ? assigned - initial : 0u);
        if (a != 0) {
            uint64_t unassigned = static_cast<uint64_t>(LoadLE32(m_Table + kHdrUnassigned)) + a;
            StoreLE32(m_Table + kHdrUnassigned,
                      static_cast<uint32_t>(std::min<uint64_t>(unassigned, 0xFFFFFFFFu)));
            StoreLE32(own + kRecAssigned, assigned - a);
            StoreLE32(own + kRecShrinks, LoadLE32(own + kRecShrinks) + 1);
            if (Tracing())
                EMSTraceMessage("MBufLimitMgr buffering memory limit shrunk from %u to %u(bytes)",
                                assigned, assigned - a);
            given = a;
        }
    }
    UnmapTable();
    UnlockTable();
    return given;
}

void MBufLimitMgr::RaiseMaximum(uint32_t bytes) {
    LockTable();
    MapTable();
    if (uint8_t* own = m_OwnRecord) {
        uint64_t raised = static_cast<uint64_t>(LoadLE32(own + kRecMaximum)) +
                          std::max(bytes, LoadLE32(own + kRecIncrement));
        StoreLE32(own + kRecMaximum, static_cast<uint32_t>(std::min<uint64_t>(raised, 0xFFFFFFFFu)));
    }
    UnmapTable();
    UnlockTable();
}

MBufLimitMgr::TableView MBufLimitMgr::ReadTable() {
    LockTable();
    MapTable();
    TableView v{LoadLE32(m_Table + kHdrTotal), LoadLE32(m_Table + kHdrUnassigned),
                LoadLE32(m_Table + kHdrRecords), LoadLE16(m_Table + kHdrFirstFree),
                LoadLE16(m_Table + kHdrFirstInUse)};
    UnmapTable();
    UnlockTable();
    return v;
}

bool MBufLimitMgr::ReadRecord(uint16_t index, RecordView* view) {
    LockTable();
    MapTable();
    const uint8_t* r = Record(index);
    if (r) {
        char name[kMaxNameLength + 1] = {};
        std::memcpy(name, r + kRecName, kMaxNameLength);
        *view = RecordView{r[kRecInstance], r[kRecSystemId], r[kRecHandle], name,
                           LoadLE32(r + kRecMaximum), LoadLE32(r + kRecInitial),
                           LoadLE32(r + kRecAssigned), LoadLE32(r + kRecIncrement),
                           LoadLE32(r + kRecExpansions), LoadLE32(r + kRecShrinks),
                           LoadLE16(r + kRecIndex)};
    }
    bool found = r != nullptr;
    UnmapTable();
    UnlockTable();
    return found;
}
