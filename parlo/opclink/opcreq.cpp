#include "parlo/opclink/opcreq.h"

#include <mutex>
#include <new>

#include "nuvlib/ems.h"

namespace {

// A doubly linked queue through one pair of links of the record.
template <OPCReq* OPCReq::*Next, OPCReq* OPCReq::*Prev>
struct Queue {
    OPCReq* head = nullptr;
    OPCReq* tail = nullptr;
    void Append(OPCReq* r) {
        r->*Next = nullptr;
        r->*Prev = tail;
        if (tail) tail->*Next = r; else head = r;
        tail = r;
    }
    void Unlink(OPCReq* r) {
        if (r->*Prev) (r->*Prev)->*Next = r->*Next; else head = r->*Next;
        if (r->*Next) (r->*Next)->*Prev = r->*Prev; else tail = r->*Prev;
        r->*Next = nullptr;
        r->*Prev = nullptr;
    }
};

}  // namespace

struct OPCReqTables {
    using InvokeQueue = Queue<&OPCReq::m_InvokeNext, &OPCReq::m_InvokePrev>;
    using SessionQueue = Queue<&OPCReq::m_SessionNext, &OPCReq::m_SessionPrev>;
    std::mutex mu;
    InvokeQueue byInvoke[OPCReq::kBuckets];
    SessionQueue bySession[OPCReq::kBuckets];
    InvokeQueue freeList;  // free records use the invoke links

    static int SessionBucket(int32_t id) {
        return static_cast<int>(static_cast<uint32_t>(id) % OPCReq::kBuckets);
    }
    static int InvokeBucket(uint32_t id) { return static_cast<int>(id & (OPCReq::kBuckets - 1)); }

    OPCReq* FindLocked(uint32_t id) {
        for (OPCReq* r = byInvoke[InvokeBucket(id)].head; r; r = r->m_InvokeNext)
            if (r->OPCInvokeID == id) return r;
        return nullptr;
    }
    void ReleaseLocked(OPCReq* r) {
        bySession[SessionBucket(r->SessionID)].Unlink(r);
        byInvoke[InvokeBucket(r->OPCInvokeID)].Unlink(r);
        freeList.Append(r);
    }
    static void Destroy(OPCReq* r) { delete r; }
};

namespace {
OPCReqTables& Tables() {
    static OPCReqTables* tables = new OPCReqTables;  // lives for the process
    return *tables;
}
}  // namespace

void OPCReq::InitTables() { ClearAll(); }

OPCReq* OPCReq::Allocate(int32_t sessionID, uint32_t clientInvokeID, uint32_t opcInvokeID) {
    OPCReqTables& t = Tables();
    std::lock_guard<std::mutex> hold(t.mu);
    OPCReq* r = t.freeList.head;
    if (r != nullptr) {
        t.freeList.Unlink(r);
    } else {
        r = new (std::nothrow) OPCReq;
        if (r == nullptr)
            EMSFailMessage("Memory allocation of %d bytes failed:  File: %s.  Line %d\n",
                           static_cast<int>(sizeof(OPCReq)), "OPCReq", __LINE__);
    }
    r->SessionID = sessionID;
    r->ClientInvokeID = clientInvokeID;
    r->OPCInvokeID = opcInvokeID;
    r->WEXACILClientID.clear();
    r->PrivateCallFlags = 0;
    r->PeripheralID = r->CallID = r->DeviceIDType = 0xFFFFFFFF;
    r->OtherCallID = r->UncontrolledDrop = 0;
    r->Instrument.clear();
    r->DeviceID.clear();
    r->DialedNumber.clear();
    t.bySession[OPCReqTables::SessionBucket(sessionID)].Append(r);
    t.byInvoke[OPCReqTables::InvokeBucket(opcInvokeID)].Append(r);
    return r;
}

OPCReq* OPCReq::Find(uint32_t opcInvokeID) {
    OPCReqTables& t = Tables();
    std::lock_guard<std::mutex> hold(t.mu);
    return t.FindLocked(opcInvokeID);
}

void OPCReq::Release(OPCReq* request) {
    if (request == nullptr) return;
    OPCReqTables& t = Tables();
    std::lock_guard<std::mutex> hold(t.mu);
    t.ReleaseLocked(request);
}

void OPCReq::ReleaseByInvokeID(uint32_t opcInvokeID) {
    OPCReqTables& t = Tables();
    std::lock_guard<std::mutex> hold(t.mu);
    if (OPCReq* r = t.FindLocked(opcInvokeID)) t.ReleaseLocked(r);
}

void OPCReq::ReleaseSession(int32_t sessionID) {
    OPCReqTables& t = Tables();
    std::lock_guard<std::mutex> hold(t.mu);
    OPCReq* r = t.bySession[OPCReqTables::SessionBucket(sessionID)].head;
    while (r != nullptr) {
        OPCReq* next = r->m_SessionNext;
        if (r->SessionID == sessionID) t.ReleaseLocked(r);
        r = next;
    }
}

void OPCReq::ClearAll() {
    OPCReqTables& t = Tables();
    std::lock_guard<std::mutex> hold(t.mu);
    for (auto& q : t.byInvoke)
        while (q.head) q.Unlink(q.head);
    for (auto& q : t.bySession)
        while (OPCReq* r = q.head) {
            q.Unlink(r);
            OPCReqTables::Destroy(r);
        }
    while (OPCReq* r = t.freeList.head) {
        t.freeList.Unlink(r);
        OPCReqTables::Destroy(r);
    }
}

int OPCReq::CountLive() {
    OPCReqTables& t = Tables();
    std::lock_guard<std::mutex> hold(t.mu);
    int n = 0;
    for (auto& q : t.byInvoke)
        for (OPCReq* r = q.head; r; r = r->m_InvokeNext) ++n;
    return n;
}

int OPCReq::CountFree() {
    OPCReqTables& t = Tables();
    std::lock_guard<std::mutex> hold(t.mu);
    int n = 0;
    for (OPCReq* r = t.freeList.head; r; r = r->m_InvokeNext) ++n;
    return n;
}
