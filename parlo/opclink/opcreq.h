#pragma once
// OPCReq: a request passed on to the OPC, remembered until the OPC answers it. Records sit in
// two tables of 128 buckets (by OPC invoke id & 127, by session id mod 128) and are recycled
// oldest-released first. One mutex guards the tables: the application thread and the
// console's test requests use them at the same time. A record's fields are not guarded: the
// thread that allocated or found it uses them, and its pointer is valid until the record is
// released (any of the releases below, or ClearAll); a released record is reused.
#include <cstdint>
#include <string>

class OPCReq {
public:
    static constexpr int kBuckets = 128;

    int32_t SessionID = 0;
    uint32_t ClientInvokeID = 0;
    uint32_t OPCInvokeID = 0;
    std::string WEXACILClientID;
    // 0 ordinary request, 1 agent state query, 2 task monitor start.
    uint32_t PrivateCallFlags = 0;
    uint32_t PeripheralID = 0xFFFFFFFF;
    uint32_t CallID = 0xFFFFFFFF;
    uint32_t DeviceIDType = 0xFFFFFFFF;
    uint32_t OtherCallID = 0;
    uint32_t UncontrolledDrop = 0;  // clear connection: 1 when an uncontrolled device is dropped
    std::string Instrument;
    std::string DeviceID;
    std::string DialedNumber;
    uint64_t ReceiveTime = 0;  // FILETIME; kept across reuse until the caller writes it
    uint64_t SendTime = 0;     // FILETIME; likewise

    OPCReq(const OPCReq&) = delete;
    OPCReq& operator=(const OPCReq&) = delete;

    // Empties the tables (the server's constructor).
    static void InitTables();
    // A live record on both tables; the tables own it (the caller must not delete it). Never
    // null: an allocation failure ends the process.
    static OPCReq* Allocate(int32_t sessionID, uint32_t clientInvokeID, uint32_t opcInvokeID);
    // The first live record allocated with that id, or null. The record stays the tables'.
    static OPCReq* Find(uint32_t opcInvokeID);
    // Moves a live record to the end of the free list (nothing for null).
    static void Release(OPCReq* request);
    // The first live record of that id, when there is one.
    static void ReleaseByInvokeID(uint32_t opcInvokeID);
    // Every live record of that session.
    static void ReleaseSession(int32_t sessionID);
    // Destroys every record, live and free; pointers held by callers become invalid.
    static void ClearAll();
    // Live and free record counts (console dump and tests).
    static int CountLive();
    static int CountFree();

private:
    OPCReq() = default;
    ~OPCReq() = default;
    friend struct OPCReqTables;
    OPCReq* m_InvokeNext = nullptr;
    OPCReq* m_InvokePrev = nullptr;
    OPCReq* m_SessionNext = nullptr;
    OPCReq* m_SessionPrev = nullptr;
};
