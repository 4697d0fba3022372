#pragma once
// MRDomain: one media routing domain that events have named, with the monitors whose subject
// it is. Created on first mention and kept until the process ends; found in a table of 32
// buckets (MRDomainID & 31). The table and every domain belong to the server lock
// "RTServerConfig"; each operation takes it when the calling thread does not hold it.
#include <cstdint>
#include <string>

#include "nuvlib/stdqueue.h"

class BaseMSG;
class CTICSTAMonitor;
namespace model {
struct MRDomainTable;
}

class MRDomain {
public:
    static constexpr int kHashBuckets = 32;

    // Appends the new domain to its bucket (under the server lock). The table keeps it for
    // the life of the process; callers never delete it.
    MRDomain(int32_t mrdID, const char* origin);
    MRDomain(const MRDomain&) = delete;
    MRDomain& operator=(const MRDomain&) = delete;

    static void InitHashTable();
    // The first domain of the bucket with that ID, or null. The table keeps it.
    static MRDomain* FindMRDomain(int32_t mrdID);
    // The existing domain, or a new one with that origin (counted on the trace meter
    // "MRDomain: defined MRDomainID"). Never null.
    static MRDomain* FindOrCreateMRDomain(int32_t mrdID, const char* origin);
    // Bucket walks for the console (hold the server lock).
    static MRDomain* FirstInBucket(int bucket);
    MRDomain* NextInBucket() const;
    // The bucket the domain is filed under.
    int32_t HashIndex() const { return m_HashIndex; }

    // The list of monitors whose subject is the domain (CTICSTAMonitor::SubjectLinkOffset);
    // CTICSTAMonitor::SetSubject and Free link and unlink them.
    void AddMonitor(CTICSTAMonitor* monitor);
    void RemoveMonitor(CTICSTAMonitor* monitor);
    // To every monitor of the domain; the message stays the caller's.
    void WriteMSG(BaseMSG& msg);
    StdQueue& MonitorList() { return m_MonitorList; }

    // Console texts (server lock inside; each a new string).
    std::string GetDumpString();
    static std::string GetListHeader();
    std::string GetListEntry();

    int32_t m_MRDomainID;
    std::string m_Origin;

private:
    friend struct model::MRDomainTable;  // files domains by their links

    ~MRDomain() = default;

    int32_t m_HashIndex;
    StdQueueLink m_MRDomainIDHashLinks;
    StdQueue m_MonitorList;
};
