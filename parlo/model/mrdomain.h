#pragma once
// MRDomain: one media routing domain that events have named, with the monitors whose subject
// it is. Created on first mention and kept until the process ends; found in a table of 32
// buckets (MRDomainID & 31) that belongs to the server lock.
#include <cstdint>
#include <string>

#include "nuvlib/stdqueue.h"

class BaseMSG;
class CTICSTAMonitor;

class MRDomain {
public:
    static constexpr int kHashBuckets = 32;

    // Appends the new domain to its bucket (under the server lock). The table keeps it for
    // the life of the process; callers never delete it.
    MRDomain(int32_t mrdID, const char* origin);
    MRDomain(const MRDomain&) = delete;
    MRDomain& operator=(const MRDomain&) = delete;

    static void InitHashTable();
    // The first domain of the bucket with that ID, or null.
    static MRDomain* FindMRDomain(int32_t mrdID);
    // The existing domain, or a new one with that origin (counted on the trace meter
    // "MRDomain: defined MRDomainID").
    static MRDomain* FindOrCreateMRDomain(int32_t mrdID, const char* origin);
    // Bucket walks for the console (hold the server lock).
    static MRDomain* FirstInBucket(int bucket);
    MRDomain* NextInBucket() const;

    void AddMonitor(CTICSTAMonitor* monitor);
    void RemoveMonitor(CTICSTAMonitor* monitor);
    void WriteMSG(BaseMSG& msg);
    StdQueue& MonitorList() { return m_MonitorList; }

    // Console texts (hold the server lock).
    std::string GetDumpString();
    static std::string GetListHeader();
    std::string GetListEntry();

    int32_t m_MRDomainID;
    std::string m_Origin;
    int32_t m_HashIndex;
    StdQueueLink m_MRDomainIDHashLinks;
    StdQueue m_MonitorList;

private:
    ~MRDomain() = default;
};
