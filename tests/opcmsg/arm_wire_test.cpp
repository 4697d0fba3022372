// The ARM wire scheme: padded strings, ECC blocks, the type table, the 4008-byte limit,
// reading received bodies (and refusing the ones that lie), and the counted records of
// application paths.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "opcmsg/armagent.h"
#include "opcmsg/armagentinit.h"
#include "opcmsg/armapppath.h"
#include "opcmsg/armtask.h"
#include "opcmsg/armtasklist.h"
#include "platform/byteorder.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Wire(const ARMMsgBase& m) {
    Bytes b(m.GetLength() + 8, 0xEE);
    uint8_t* end = m.Serialize(b.data(), m.GetLength());
    EXPECT_EQ(end, b.data() + m.GetLength()) << ARMMsgTypeName(m.GetMsgType());
    for (size_t i = m.GetLength(); i < b.size(); ++i) EXPECT_EQ(b[i], 0xEE) << "wrote past GetLength()";
    b.resize(m.GetLength());
    return b;
}

void Put32(Bytes& b, int32_t v) {
    b.resize(b.size() + 4);
    plat::StoreLE32(b.data() + b.size() - 4, static_cast<uint32_t>(v));
}
void PutText(Bytes& b, const std::string& s, uint16_t announced) {
    b.resize(b.size() + 2);
    plat::StoreLE16(b.data() + b.size() - 2, announced);
    b.insert(b.end(), s.begin(), s.end());
    b.resize(b.size() + ((announced + 6u) & ~3u) - 2 - s.size(), 0);
}
void PutText(Bytes& b, const std::string& s) { PutText(b, s, static_cast<uint16_t>(s.size())); }

TEST(ARMWire, PaddedStringsTakeLengthPlusSixRoundedDownToFour) {
    struct Case {
        std::string text;
        Bytes tail;
    } cases[] = {
        {"", {0, 0, 0, 0}},
        {"A", {1, 0, 'A', 0}},
        {"AB", {2, 0, 'A', 'B', 0, 0, 0, 0}},
        {"ABCDE", {5, 0, 'A', 'B', 'C', 'D', 'E', 0}},
        {"ABCDEF", {6, 0, 'A', 'B', 'C', 'D', 'E', 'F', 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        ARMMakeAgentNotRoutableReqMsg m;
        m.SetUniqueInstanceID(c.text);
        Bytes b = Wire(m);
        ASSERT_EQ(b.size(), 16 + c.tail.size()) << c.text;
        EXPECT_EQ(Bytes(b.begin() + 16, b.end()), c.tail) << c.text;
    }
}

TEST(ARMWire, ATextLongerThan65535TravelsWithItsLowSixteenBits) {
    ARMMakeAgentNotRoutableReqMsg m;
    m.SetUniqueInstanceID(std::string(65536 + 3, 'x'));
    EXPECT_EQ(m.GetLength(), 16u + 8u);
    Bytes b = Wire(m);
    EXPECT_EQ(b[16], 3);
    EXPECT_EQ(b[17], 0);
}

TEST(ARMWire, ECCBlocksAndTheTwoThousandByteCap) {
    const struct {
        int32_t size;
        uint32_t block;
        int32_t kept;
    } cases[] = {{0, 4, 0}, {1, 8, 1}, {4, 8, 4}, {5, 12, 5}, {2000, 2004, 2000}, {2500, 2004, 2000}, {-3, 4, 0}};
    const Bytes data(2500, 0x41);
    for (const auto& c : cases) {
        ARMOfferApplicationTaskReqMsg m;
        m.SetExpandedCallContext(c.size, data.data());
        EXPECT_EQ(m.GetLength(), 96 + c.block) << c.size;
        int32_t kept = -1;
        m.GetExpandedCallContext(kept);
        EXPECT_EQ(kept, c.kept);
        Bytes b = Wire(m);
        EXPECT_EQ(static_cast<int32_t>(plat::LoadLE32(&b[92])), c.kept);
        for (uint32_t i = 96 + c.kept; i < 92 + c.block; ++i) EXPECT_EQ(b[i], 0) << "ECC padding";
    }
}

TEST(ARMWire, TypeTableMatchesTheListOfTypes) {
    // An independent transcription: type, name, fixed length, sent by OPC.
    const struct {
        uint32_t type;
        const char* name;
        uint16_t fixed;
        bool fromOPC;
    } rows[] = {
        {49, "ARM_MEDIA_LOGIN_REQ", 44, false}, {50, "ARM_MEDIA_LOGIN_RESP", 16, true},
        {51, "ARM_MEDIA_LOGOUT_IND", 28, false}, {52, "ARM_MAKE_AGENT_ROUTABLE_IND", 24, false},
        {53, "ARM_MAKE_AGENT_NOT_ROUTABLE_REQ", 16, false}, {54, "ARM_MAKE_AGENT_NOT_ROUTABLE_RESP", 12, true},
        {55, "ARM_MAKE_AGENT_READY_IND", 24, false}, {56, "ARM_MAKE_AGENT_NOT_READY_REQ", 20, false},
        {57, "ARM_MAKE_AGENT_NOT_READY_RESP", 12, true}, {58, "ARM_OFFER_TASK_IND", 40, false},
        {59, "ARM_OFFER_APPLICATION_TASK_REQ", 40, false}, {60, "ARM_OFFER_APPLICATION_TASK_RESP", 24, true},
        {61, "ARM_START_TASK_IND", 40, false}, {62, "ARM_START_APPLICATION_TASK_REQ", 40, false},
        {63, "ARM_START_APPLICATION_TASK_RESP", 24, true}, {64, "ARM_PAUSE_TASK_IND", 32, false},
        {65, "ARM_RESUME_TASK_IND", 32, false}, {66, "ARM_WRAPUP_TASK_IND", 32, false},
        {67, "ARM_END_TASK_IND", 40, false}, {68, "ARM_AGENT_MADE_NOT_ROUTABLE_EVENT", 8, true},
        {69, "ARM_AGENT_INTERRUPT_ADVISORY_EVENT", 16, true}, {70, "ARM_AGENT_INTERRUPT_ACCEPTED_IND", 20, false},
        {71, "ARM_AGENT_INTERRUPT_UNACCEPTED_IND", 20, false},
        {72, "ARM_AGENT_INTERRUPT_DONE_ADVISORY_EVENT", 12, true},
        {73, "ARM_AGENT_INTERRUPT_DONE_ACCEPTED_IND", 20, false}, {74, "ARM_CHANGE_MAX_TASK_LIMIT_REQ", 20, false},
        {75, "ARM_CHANGE_MAX_TASK_LIMIT_RESP", 24, true}, {76, "ARM_OVERRIDE_LIMIT_REQ", 16, false},
        {77, "ARM_OVERRIDE_LIMIT_RESP", 20, true}, {78, "ARM_UPDATE_TASK_CONTEXT_IND", 32, false},
        {79, "ARM_BEGIN_AGENT_INIT_IND", 8, false}, {80, "ARM_AGENT_INIT_REQ", 68, false},
        {81, "ARM_AGENT_INIT_RESP", 12, true}, {82, "ARM_END_AGENT_INIT_IND", 4, false},
        {83, "ARM_TASK_INIT_IND", 72, false}, {84, "ARM_AGENT_INIT_READY_EVENT", 8, true},
        {85, "ARM_FAILURE_RESP", 20, true}, {98, "ARM_APP_PATH_UP_REQ", 16, false},
        {99, "ARM_APP_PATH_UP_RESP", 20, true}, {100, "ARM_APP_PATH_DOWN_IND", 12, false},
        {101, "ARM_MAX_TASK_LIFETIME_EXCEEDED_EVENT", 20, true}, {102, "ARM_SET_APP_PATH_DATA_IND", 16, false},
        {103, "ARM_TASK_INIT_REQ", 72, false}, {104, "ARM_TASK_INIT_RESP", 24, true},
        {105, "ARM_APP_PATH_REMOVED_EVENT", 4, true}, {112, "ARM_GET_AGENT_TASKS_REQ", 20, false},
        {113, "ARM_GET_AGENT_TASKS_RESP", 24, true}, {114, "ARM_SNAPSHOT_TASK_REQ", 32, false},
        {115, "ARM_SNAPSHOT_TASK_RESP", 68, true}, {116, "ARM_AGENT_TASKS_REQUEST_EVENT", 20, false},
        {117, "ARM_AGENT_TASKS_BEGIN_EVENT", 8, true}, {118, "ARM_AGENT_TASKS_EVENT", 16, true},
        {119, "ARM_SNAPSHOT_TASK_EVENT", 60, true}, {120, "ARM_AGENT_TASKS_END_EVENT", 12, true},
        {121, "ARM_DESKTOP_CONNECTED_IND", 24, false},
    };
    ASSERT_EQ(std::size(rows), 55u);
    size_t known = 0;
    for (uint32_t t = 0; t < 200; ++t) known += ARMLayout(t) != nullptr ? 1 : 0;
    EXPECT_EQ(known, 55u);
    for (const auto& r : rows) {
        const opcwire::Layout* l = ARMLayout(r.type);
        ASSERT_NE(l, nullptr) << r.type;
        EXPECT_EQ(ARMMsgTypeName(r.type), r.name);
        EXPECT_EQ(l->fixedLength, r.fixed) << r.name;
        EXPECT_EQ(l->fromOPC, r.fromOPC) << r.name;
    }
    EXPECT_EQ(ARMMsgTypeName(86), "<ARM Msg Type(86)>");
    EXPECT_EQ(ARMMsgTypeName(106), "<ARM Msg Type(106)>");
}

TEST(ARMWire, AMessageAboveTheRoomIsRefusedBeforeAnyByteIsWritten) {
    ARMSetAppPathDataIndMsg big;
    big.SetApplicationText1(std::string(2000, 'a'));
    big.SetApplicationText2(std::string(1996, 'b'));  // 16 + 2004 + 2000 + 8 * 4 = 4052
    ASSERT_GT(big.GetLength(), 4008u);
    Bytes buf(8192, 0xEE);
    EXPECT_EQ(big.Serialize(buf.data(), buf.size()), nullptr);
    EXPECT_EQ(buf, Bytes(8192, 0xEE));

    ARMSetAppPathDataIndMsg fits;
    fits.SetApplicationText1(std::string(2000, 'a'));
    fits.SetApplicationText2(std::string(1946, 'b'));
    ASSERT_EQ(fits.GetLength(), 4008u);
    EXPECT_EQ(fits.Serialize(buf.data(), buf.size()), buf.data() + 4008);
    EXPECT_EQ(fits.Serialize(buf.data(), 4007), nullptr) << "room smaller than the message";
}

// A snapshot response with the given ECC size and everything after it.
Bytes SnapshotResponse(int32_t eccSize, size_t eccBytesPresent, const std::string& uii) {
    Bytes b;
    for (int32_t i = 0; i < 17; ++i) Put32(b, 100 + i);
    for (int i = 0; i < 13; ++i) PutText(b, "");
    Put32(b, eccSize);
    b.resize(b.size() + eccBytesPresent, 0x5A);
    PutText(b, uii);
    return b;
}

TEST(ARMRead, TextEndsAtItsFirstNulButTheNextItemIsFoundByItsLength) {
    Bytes b;
    Put32(b, 7);
    Put32(b, 0);
    Put32(b, 9);
    PutText(b, std::string("AB\0CD", 5));  // 8 bytes
    ARMMakeAgentNotRoutableRespMsg m(b.data(), b.size());
    ASSERT_TRUE(m.IsValid());
    EXPECT_EQ(m.GetUniqueInstanceID(), "AB");

    Bytes t(68, 0);
    PutText(t, std::string("X\0YYYY", 6));  // ScriptSelector, 12 bytes
    PutText(t, "second");
    for (int i = 0; i < 11; ++i) PutText(t, "");
    Put32(t, 0);
    PutText(t, "uii");
    ARMSnapshotTaskRespMsg s(t.data(), t.size());
    ASSERT_TRUE(s.IsValid());
    EXPECT_EQ(s.GetScriptSelector(), "X");
    EXPECT_EQ(s.GetApplicationString1(), "second");
    EXPECT_EQ(s.GetUniqueInstanceID(), "uii");
}

TEST(ARMRead, AnECCOf2100KeepsTwoThousandAndTheNextItemIsAt2104) {
    Bytes b = SnapshotResponse(2100, 2100, "after");
    ARMSnapshotTaskRespMsg m(b.data(), b.size());
    ASSERT_TRUE(m.IsValid());
    int32_t size = 0;
    const uint8_t* ecc = m.GetExpandedCallContext(size);
    EXPECT_EQ(size, 2000);
    EXPECT_EQ(ecc[1999], 0x5A);
    EXPECT_EQ(m.GetUniqueInstanceID(), "after");
    EXPECT_EQ(m.GetStatus(), 106);

    // The snapshot event (no UII) with 2400: kept 2000.
    Bytes e;
    for (int32_t i = 0; i < 15; ++i) Put32(e, i);
    for (int i = 0; i < 13; ++i) PutText(e, "");
    Put32(e, 2400);
    e.resize(e.size() + 2400, 1);
    ARMSnapshotTaskEventMSG ev(e.data(), e.size());
    ASSERT_TRUE(ev.IsValid());
    ev.GetExpandedCallContext(size);
    EXPECT_EQ(size, 2000);
}

// Every proper prefix of a well-formed body is refused, read from a buffer of exactly its
// size (AddressSanitizer catches any read past it), and leaves the message empty.
template <class M>
void EveryTruncationIsRefused(const Bytes& whole) {
    M full(whole.data(), whole.size());
    ASSERT_TRUE(full.IsValid()) << ARMMsgTypeName(full.GetMsgType());
    for (size_t n = 0; n < whole.size(); ++n) {
        auto cut = std::make_unique<uint8_t[]>(n + 1);
        std::memcpy(cut.get(), whole.data(), n);
        M m(cut.get(), n);
        EXPECT_FALSE(m.IsValid()) << ARMMsgTypeName(full.GetMsgType()) << " cut to " << n;
        EXPECT_EQ(m.ToString(), M().ToString());
    }
}

TEST(ARMRead, TruncatedBodiesAreRefused) {
    {
        ARMMediaLoginRespMsg m;
        m.SetInvokeID(1);
        m.SetUniqueInstanceID("uii-1");
        EveryTruncationIsRefused<ARMMediaLoginRespMsg>(Wire(m));
    }
    EveryTruncationIsRefused<ARMSnapshotTaskRespMsg>(SnapshotResponse(10, 12, "u"));
    {
        ARMGetAgentTasksRespMsg m;
        m.SetNumTasks(2);
        m.SetTaskIDs({{1, 2, 3}, {4, 5, 6}});
        m.SetUniqueInstanceID("abc");
        EveryTruncationIsRefused<ARMGetAgentTasksRespMsg>(Wire(m));
    }
    {
        ARMAgentTasksEventMSG m;
        m.SetNumTasks(1);
        m.SetTaskIDs({{1, 2, 3}});
        EveryTruncationIsRefused<ARMAgentTasksEventMSG>(Wire(m));
    }
    {
        ARMAppPathUpRespMsg m;
        m.AddAppPathMember(5000, 1);
        m.AddAppPathMember(5001, 2);
        EveryTruncationIsRefused<ARMAppPathUpRespMsg>(Wire(m));
    }
    EveryTruncationIsRefused<ARMAgentMadeNotRoutableEventMsg>(Bytes(8, 1));
    EveryTruncationIsRefused<ARMAppPathRemovedEventMsg>(Bytes(4, 1));
}

TEST(ARMRead, CountsAndSizesThatLieAreRefused) {
    struct Case {
        const char* what;
        std::function<bool()> valid;
    };
    auto tasks = [](uint32_t announced, size_t present) {
        Bytes b;
        for (int32_t v : {1, 2, 3, 0}) Put32(b, v);
        Put32(b, static_cast<int32_t>(announced));
        Put32(b, 9);
        b.resize(b.size() + 12 * present, 7);
        PutText(b, "");
        return b;
    };
    auto members = [](uint32_t announced, size_t present) {
        Bytes b(20, 0);
        Put32(b, static_cast<int32_t>(announced));
        b.resize(b.size() + 8 * present, 3);
        return b;
    };
    const Case cases[] = {
        {"NumTasks 3, two present", [&] { Bytes b = tasks(3, 2); return ARMGetAgentTasksRespMsg(b.data(), b.size()).IsValid(); }},
        {"NumTasks 0xFFFFFFFF", [&] { Bytes b = tasks(0xFFFFFFFFu, 2); return ARMGetAgentTasksRespMsg(b.data(), b.size()).IsValid(); }},
        {"NumTasks 2, two present", [&] { Bytes b = tasks(2, 2); return ARMGetAgentTasksRespMsg(b.data(), b.size()).IsValid(); }},
        {"N = 200, 199 present", [&] { Bytes b = members(200, 199); return ARMAppPathUpRespMsg(b.data(), b.size()).IsValid(); }},
        {"N = 0x20000000", [&] { Bytes b = members(0x20000000u, 4); return ARMAppPathUpRespMsg(b.data(), b.size()).IsValid(); }},
        {"N = 200, 200 present", [&] { Bytes b = members(200, 200); return ARMAppPathUpRespMsg(b.data(), b.size()).IsValid(); }},
        {"ECC size -1", [&] { Bytes b = SnapshotResponse(-1, 0, ""); return ARMSnapshotTaskRespMsg(b.data(), b.size()).IsValid(); }},
        {"ECC size 0x7FFFFFFF", [&] { Bytes b = SnapshotResponse(0x7FFFFFFF, 8, ""); return ARMSnapshotTaskRespMsg(b.data(), b.size()).IsValid(); }},
        {"ECC 3000, 2000 present", [&] { Bytes b = SnapshotResponse(3000, 2000, ""); return ARMSnapshotTaskRespMsg(b.data(), b.size()).IsValid(); }},
        {"UII announces 65535", [&] {
             Bytes b(12, 0);
             const Bytes lie = {0xFF, 0xFF, 'a', 'b', 'c', 0, 0, 0};
             b.insert(b.end(), lie.begin(), lie.end());
             return ARMMakeAgentNotReadyRespMsg(b.data(), b.size()).IsValid();
         }},
    };
    const bool expected[] = {false, false, true, false, false, true, false, false, false, false};
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].valid(), expected[i]) << cases[i].what;
}

TEST(ARMRead, ExtraBytesAfterTheLastItemAreIgnored) {
    Bytes b(12, 0);
    b[0] = 5;
    PutText(b, "id");
    b.resize(b.size() + 16, 0xCC);
    ARMAgentInitRespMsg m(b.data(), b.size());
    EXPECT_TRUE(m.IsValid());
    EXPECT_EQ(m.GetInvokeID(), 5);
    EXPECT_EQ(m.GetUniqueInstanceID(), "id");
}

TEST(ARMRead, CopiesCarryEveryField) {
    Bytes b = SnapshotResponse(3, 3, "copy");
    ARMSnapshotTaskRespMsg original(b.data(), b.size());
    ARMSnapshotTaskRespMsg copy = original;
    EXPECT_EQ(Wire(copy), Wire(original));
    EXPECT_EQ(copy.ToString(true, false), original.ToString(true, false));
}

// ---- Application-path member list and the counted records ----

Bytes UpResponse(const std::vector<std::pair<int32_t, int32_t>>& pairs) {
    Bytes b;
    for (int32_t v : {11, 0, 77, 12}) Put32(b, v);
    b.push_back(1);
    b.resize(20, 0);
    Put32(b, static_cast<int32_t>(pairs.size()));
    for (const auto& p : pairs) Put32(b, p.first);
    for (const auto& p : pairs) Put32(b, p.second);
    return b;
}

TEST(AppPathMembers, ReadingGrowsTheArraysAsTheListSays) {
    struct Case {
        size_t n;
        int32_t capacity;
        uint32_t length;
    } cases[] = {{0, 2, 24}, {3, 4, 48}, {200, 256, 1624}};
    for (const Case& c : cases) {
        std::vector<std::pair<int32_t, int32_t>> pairs;
        for (size_t i = 0; i < c.n; ++i) pairs.emplace_back(5000 + static_cast<int32_t>(i), static_cast<int32_t>(i % 3));
        Bytes b = UpResponse(pairs);
        ARMAppPathUpRespMsg m(b.data(), b.size());
        ASSERT_TRUE(m.IsValid()) << c.n;
        EXPECT_EQ(m.GetAppPathMemberCount(), static_cast<int32_t>(c.n));
        AppPathMemberListPtr list = m.GetAppPathMemberList();
        EXPECT_EQ(list->MRDIDs.Capacity(), c.capacity) << c.n;
        EXPECT_EQ(list->PeripheralIDs.Capacity(), c.capacity) << c.n;
        EXPECT_EQ(m.GetLength(), c.length);
        EXPECT_EQ(Wire(m), b) << "the list writes back as it came";
    }
    Bytes b = UpResponse({{5000, 1}, {5001, 1}, {5002, 2}});
    ARMAppPathUpRespMsg m(b.data(), b.size());
    EXPECT_EQ(m.ToString(), "InvokeID = 11, Status = 0, ApplicationPathID = 77, AppPathMemberList = "
                            "appPathMember count = 3 MRDID/PeripheralID = (5000/1,5001/1,5002/2)");
    Bytes e = UpResponse({});
    EXPECT_EQ(ARMAppPathUpRespMsg(e.data(), e.size()).ToString(),
              "InvokeID = 11, Status = 0, ApplicationPathID = 77, AppPathMemberList = appPathMember count = 0");
    EXPECT_EQ(m.GetSide(), 1);
    EXPECT_EQ(m.GetSessionID(), 12);
}

TEST(AppPathMembers, ContainsMatchesAPairAtOneIndexOnly) {
    Bytes b = UpResponse({{1, 7}, {2, 8}});
    ARMAppPathUpRespMsg m(b.data(), b.size());
    AppPathMemberListPtr list = m.GetAppPathMemberList();
    EXPECT_TRUE(list->Contains(2, 8));
    EXPECT_TRUE(list->Contains(1, 7));
    EXPECT_FALSE(list->Contains(2, 7));
    EXPECT_FALSE(list->Contains(1, 8));
    AppPathMemberList empty;
    EXPECT_FALSE(empty.Contains(0, 0));
}

TEST(AppPathMembers, BuildingTheListGrowsItAndWritesBothArrays) {
    ARMAppPathUpRespMsg m;
    m.ReserveAppPathMembers(3);
    EXPECT_EQ(m.GetAppPathMemberList()->MRDIDs.Capacity(), 4);
    EXPECT_EQ(m.GetAppPathMemberCount(), 0);
    for (int32_t i = 0; i < 5; ++i) m.AddAppPathMember(100 + i, i);
    EXPECT_EQ(m.GetAppPathMemberList()->MRDIDs.Capacity(), 8);
    Bytes b = Wire(m);
    ASSERT_EQ(b.size(), 24u + 40u);
    EXPECT_EQ(plat::LoadLE32(&b[20]), 5u);
    EXPECT_EQ(plat::LoadLE32(&b[24 + 16]), 104u);
    EXPECT_EQ(plat::LoadLE32(&b[44 + 4]), 1u);
}

TEST(AppPathMembers, ArrGrowsByDoublingAndFillsTheDefault) {
    sx::Arr<long, 0> a;
    static_assert(sizeof(sx::Arr<long, 0>::value_type) == 4, "32-bit elements");
    EXPECT_EQ(a.Capacity(), 0);
    EXPECT_EQ(a.HighestIndex(), -1);
    a.At(0) = 9;
    EXPECT_EQ(a.Capacity(), 2);
    a.At(5) = 4;
    EXPECT_EQ(a.Capacity(), 8);
    EXPECT_EQ(a.HighestIndex(), 5);
    EXPECT_EQ(a.At(0), 9);
    EXPECT_EQ(a.At(3), 0);
    sx::Arr<int, 7> b;
    b.Grow(0);
    EXPECT_EQ(b.Peek(1), 7);
}

TEST(CountedRecords, TheLastReferenceDeletesAndTheCountersFollow) {
    const int64_t created = sx::totalObjCnt::created.load();
    const int64_t alive = sx::totalObjCnt::alive.load();
    AppPathMemberList* raw = nullptr;
    {
        Bytes b = UpResponse({{5000, 1}});
        auto message = std::make_unique<ARMAppPathUpRespMsg>(b.data(), b.size());
        raw = message->GetAppPathMemberList().get();
        ARMClientInfoPtr info(new ARMClientInfo(0, 77, message->GetAppPathMemberList()));
        EXPECT_EQ(sx::totalObjCnt::created.load(), created + 2);
        EXPECT_EQ(sx::totalObjCnt::alive.load(), alive + 2);
        EXPECT_EQ(raw->RefCount(), 2) << "the message and the record";

        ARMClientInfoPtr second = info;  // a session's holder and a routing holder
        EXPECT_EQ(info->RefCount(), 2);
        info.Reset();
        EXPECT_EQ(second->RefCount(), 1);
        second = ARMClientInfoPtr();  // the last reference: the record goes, the list stays
        EXPECT_EQ(sx::totalObjCnt::alive.load(), alive + 1);
        EXPECT_EQ(raw->RefCount(), 1);
        EXPECT_TRUE(raw->Contains(5000, 1));

        ARMAppPathUpRespMsg copy = *message;  // copies share the list
        EXPECT_EQ(raw->RefCount(), 2);
        message.reset();
        EXPECT_EQ(raw->RefCount(), 1);
        EXPECT_EQ(sx::totalObjCnt::alive.load(), alive + 1);
    }
    EXPECT_EQ(sx::totalObjCnt::alive.load(), alive);
    EXPECT_EQ(sx::totalObjCnt::created.load(), created + 2);
}

TEST(CountedRecords, SelfAssignmentAndNullAreSafe) {
    const int64_t alive = sx::totalObjCnt::alive.load();
    {
        AppPathMemberListPtr p(new AppPathMemberList);
        AppPathMemberListPtr& same = p;
        p = same;
        EXPECT_EQ(p->RefCount(), 1);
        AppPathMemberListPtr none;
        p = none;
        EXPECT_FALSE(p);
    }
    EXPECT_EQ(sx::totalObjCnt::alive.load(), alive);
}

}  // namespace
