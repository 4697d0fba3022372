// Task ids, the data structure field, bit masks and request-enablement masks.
#include <gtest/gtest.h>

#include "tests/ctimsg/trace_capture.h"

#include <string>
#include <vector>

#include "ctimsg/elements.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Wire(const BaseElement& e, uint32_t version, int room = 1200) {
    Bytes buf(static_cast<size_t>(room), 0xEE);
    int n = e.Encode(buf.data(), room, version);
    if (n < 0) return {0xDE, 0xAD};
    buf.resize(static_cast<size_t>(n));
    return buf;
}

TEST(TaskIDs, WireFormTextAndDecode) {
    TaskID fixed(true, true);
    fixed.Set(7, 1, 2);
    EXPECT_EQ(Wire(fixed, 9), (Bytes{0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0, 2}));
    FltTaskID floating(true, true);
    floating.Set(1, 2, 3);
    Bytes v20 = Wire(floating, 20);
    ASSERT_EQ(v20.size(), 16u);
    EXPECT_EQ(Bytes(v20.begin(), v20.begin() + 4), (Bytes{0x01, 0x02, 0x00, 0x0C}));  // tag 258
    std::string t;
    EXPECT_EQ(floating.Trace(t), 1);
    EXPECT_EQ(t, "FltTaskIDElement:1/2/3");

    TaskID decoded(true, true);
    const uint8_t src[12] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1, 0, 0, 0, 2};
    EXPECT_EQ(decoded.Decode(src, 12, 12, 9), 12);
    EXPECT_EQ(decoded.Decode(src, 11, 12, 9), -1);
    EXPECT_EQ(decoded.Decode(src, -1, 11, 9), -1);
    t.clear();
    decoded.ValueText(t);
    EXPECT_EQ(t, "-1/1/2");
    EXPECT_EQ(FormatTaskID(255, 16, 1, 16), "ff/10/1");
}

TEST(DataStructure, TwoByteLengthInEveryVersion) {
    QueryDeviceData data(true, true);
    Bytes payload(300);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
    data.Set(payload.data(), static_cast<int>(payload.size()));
    Bytes v19 = Wire(data, 19);
    ASSERT_EQ(v19.size(), 303u);
    EXPECT_EQ(Bytes(v19.begin(), v19.begin() + 3), (Bytes{0x4A, 0x01, 0x2C}));
    EXPECT_EQ(Bytes(v19.begin() + 3, v19.end()), payload);
    Bytes v20 = Wire(data, 20);
    ASSERT_EQ(v20.size(), 304u);
    EXPECT_EQ(Bytes(v20.begin(), v20.begin() + 4), (Bytes{0x00, 0x4A, 0x01, 0x2C}));
    EXPECT_EQ(Wire(data, 19, 302), (Bytes{0xDE, 0xAD}));

    EXPECT_EQ(data.Validate(19), 0);
    Bytes tooLong(893, 1);
    data.Set(tooLong.data(), 893);
    EXPECT_EQ(data.Validate(19), 23);
    data.Clear();
    int len = -1;
    EXPECT_EQ(data.Get(len), nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(data.Decode(tooLong.data(), 893, 892, 19), -1);
}

TEST(MaskBitsTest, GrowsLittleEndianAndNamesItsBits) {
    REMaskCall call(false, true);
    std::string t;
    call.ValueText(t);
    EXPECT_EQ(t, "<missing> ");
    call.SetBits8(0x05);
    t.clear();
    call.ValueText(t);
    EXPECT_EQ(t, "<0x05> <MC,Ans> ");
    call.SetBits32(0x00030000);  // Trans and SSTrans
    t.clear();
    call.ValueText(t);
    EXPECT_EQ(t, "<0x05000300> <MC,Ans,Trans,SSTrans> ");
    call.Reserve(2);  // already longer: untouched
    int len = 0;
    call.Get(len);
    EXPECT_EQ(len, 4);

    REMaskAgent agent(false, true);
    const uint8_t wide[] = {0xFF, 0xFF, 0xFF};
    agent.Set(wide, 3);
    t.clear();
    agent.ValueText(t);
    EXPECT_EQ(t, "<0xffffff> <Login,Logout,NotReady,Avail,WrkRdy,WrkNotRdy> ");
}

TEST(REMask, CountDecidesRequiredEntriesAndTheEleventhIsRefused) {
    REMaskArray masks(false, true);
    EXPECT_EQ(masks.GetFromVersion(), 16u);
    std::vector<REMaskEntry*> entries;
    for (int i = 0; i < 10; ++i) entries.push_back(masks.AddREMask());
    EXPECT_EQ(entries[0], &masks.Entry(0));
    EXPECT_EQ(entries[9], &masks.Entry(9));
    ctimsgtest::TraceCapture cap;
    EXPECT_EQ(masks.AddREMask(), nullptr);
    EXPECT_NE(cap.Take().find("exceeeded MAX_REMASK_NUM_MASKS=10"),
              std::string::npos);
    EXPECT_EQ(masks.GetNumMasks(), 10);

    masks.Set(3);
    EXPECT_EQ(masks.Validate(16), 0);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(masks.Entry(i).m_CallId.IsRequired(), i < 3) << i;
    // Required entries that are missing fail like any required field.
    EXPECT_EQ(masks.Entry(2).m_Instrument.Validate(16), 6);
    masks.Entry(2).Set("5000", "5000", 17);
    EXPECT_EQ(masks.Entry(2).m_Instrument.Validate(16), 0);
    int len = 0;
    masks.Entry(2).m_CallMask.Get(len);
    EXPECT_EQ(len, 4);

    masks.Set(11);
    EXPECT_EQ(masks.Validate(16), 25);
    masks.Clear();
    EXPECT_FALSE(masks.Entry(0).m_Instrument.IsRequired());

    const uint8_t two[] = {0, 2};
    EXPECT_EQ(masks.Decode(two, 2, 2, 16), 2);
    EXPECT_TRUE(masks.Entry(1).m_AgentMask.IsRequired());
    EXPECT_FALSE(masks.Entry(2).m_AgentMask.IsRequired());
}

TEST(REMask, ChainRunsThroughAllEntries) {
    REMaskArray masks(false, true);
    UINTElement after(4, false, true);
    masks.SetNext(&after);
    int count = 0;
    const BaseElement* last = nullptr;
    for (const BaseElement* e = &masks; e != nullptr; e = e->GetNext()) {
        ++count;
        last = e;
    }
    EXPECT_EQ(count, 1 + 60 + 1);
    EXPECT_EQ(last, &after);
    const uint32_t ids[] = {649, 650, 651, 652, 653, 654, 655, 650};
    const BaseElement* e = &masks;
    for (uint32_t id : ids) {
        EXPECT_EQ(e->GetElementID(), id);
        e = e->GetNext();
    }
}

}  // namespace
