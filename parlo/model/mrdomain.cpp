#include "parlo/model/mrdomain.h"

#include <cstddef>
#include <new>

#include "nuvlib/ems.h"
#include "nuvlib/tracemeter.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"

using model::ServerLock;
using model::ServerLockGuard;

namespace model {

// The 32 buckets of domains.
struct MRDomainTable {
    StdQueue buckets[MRDomain::kHashBuckets];
    MRDomainTable() {
        for (StdQueue& b : buckets) b.SetLinkOffset(MemberOffset(&MRDomain::m_MRDomainIDHashLinks));
    }
};

}  // namespace model

using model::MRDomainTable;

namespace {

MRDomainTable& Table() {
    static MRDomainTable table;
    return table;
}

int BucketOf(int32_t mrdID) { return static_cast<int>(static_cast<uint32_t>(mrdID) & 31u); }

}  // namespace

MRDomain::MRDomain(int32_t mrdID, const char* origin)
    : m_MRDomainID(mrdID), m_Origin(origin != nullptr ? origin : ""), m_HashIndex(BucketOf(mrdID)) {
    m_MonitorList.SetLinkOffset(CTICSTAMonitor::SubjectLinkOffset());
    ServerLockGuard guard(ServerLock());
    NUV_ASSERT(!m_MRDomainIDHashLinks.IsQueued());
    Table().buckets[m_HashIndex].Append(this);
}

void MRDomain::InitHashTable() { (void)Table(); }

MRDomain* MRDomain::FindMRDomain(int32_t mrdID) {
    ServerLockGuard guard(ServerLock());
    StdQueue& b = Table().buckets[BucketOf(mrdID)];
    for (auto* d = static_cast<MRDomain*>(b.First()); d != nullptr;
         d = static_cast<MRDomain*>(b.Next(d)))
        if (d->m_MRDomainID == mrdID) return d;
    return nullptr;
}

MRDomain* MRDomain::FindOrCreateMRDomain(int32_t mrdID, const char* origin) {
    ServerLockGuard guard(ServerLock());
    if (MRDomain* d = FindMRDomain(mrdID)) return d;
    auto* d = new (std::nothrow) MRDomain(mrdID, origin);
    if (d == nullptr) NUV_ALLOC_FAILED(sizeof(MRDomain));
    TraceMeterCount("MRDomain: defined MRDomainID", "", __FILE__, __LINE__, 0);
    return d;
}

MRDomain* MRDomain::FirstInBucket(int bucket) {
    if (bucket < 0 || bucket >= kHashBuckets) return nullptr;
    return static_cast<MRDomain*>(Table().buckets[bucket].First());
}

MRDomain* MRDomain::NextInBucket() const {
    return static_cast<MRDomain*>(Table().buckets[m_HashIndex].Next(const_cast<MRDomain*>(this)));
}

void MRDomain::AddMonitor(CTICSTAMonitor* monitorP) {
    NUV_ASSERT(!m_MonitorList.LinkOf(monitorP)->IsQueued());
    ServerLockGuard guard(ServerLock());
    m_MonitorList.Append(monitorP);
}

void MRDomain::RemoveMonitor(CTICSTAMonitor* monitorP) {
    NUV_ASSERT(m_MonitorList.LinkOf(monitorP)->IsQueued());
    ServerLockGuard guard(ServerLock());
    m_MonitorList.Remove(monitorP);
}

void MRDomain::WriteMSG(BaseMSG& msg) {
    ServerLockGuard guard(ServerLock());
    for (auto* m = static_cast<CTICSTAMonitor*>(m_MonitorList.First()); m != nullptr;
         m = static_cast<CTICSTAMonitor*>(m_MonitorList.Next(m)))
        m->WriteMSG(&msg);
}

std::string MRDomain::GetDumpString() {
    ServerLockGuard guard(ServerLock());
    std::string out = model::Format("MRDomainID=%d Origin=%s\n", m_MRDomainID, m_Origin.c_str());
    CTICSTAMonitor::AppendDumpLines(m_MonitorList, out);
    out += "\n";
    return out;
}

std::string MRDomain::GetListHeader() { return "MRDomainID Monitors  Origin\n"; }

std::string MRDomain::GetListEntry() {
    ServerLockGuard guard(ServerLock());
    return model::Format("%8d    %4d     %s\n", m_MRDomainID, m_MonitorList.Count(),
                         m_Origin.c_str());
}
