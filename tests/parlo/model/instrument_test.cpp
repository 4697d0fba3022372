// Instruments and lines: the number rules, the index bounds and the time stamp of a change.
#include <gtest/gtest.h>

#include "parlo/model/instrument.h"
#include "tests/support/fake_clock.h"

namespace {

using InstrumentTest = testsupport::FakeClockTest;

TEST_F(InstrumentTest, NumberAndNewLines) {
    struct Case {
        const char* number;
        const char* stored;
        const char* lineExtension;
    } const cases[] = {
        {nullptr, "", "-1"}, {"", "", "-1"}, {"-1", "", "-1"}, {"5000", "5000", "5000"}, {"-10", "-10", "-10"},
    };
    for (const Case& c : cases) {
        Instrument in(c.number, 1);
        EXPECT_EQ(in.GetInstrumentNumber(), c.stored);
        for (int i = 0; i < Instrument::kNumLines; ++i) {
            const Line* l = in.GetLine(i);
            ASSERT_NE(l, nullptr);
            EXPECT_EQ(l->m_Extension, c.lineExtension);
            EXPECT_EQ(l->m_LineNumber, i);
            EXPECT_EQ(l->m_LineType, 3);
            EXPECT_EQ(l->m_LineState, 5);
            EXPECT_EQ(l->m_CallID, -1);
            EXPECT_EQ(l->m_StateTime, 0u);
        }
    }
}

TEST_F(InstrumentTest, IndexesOutsideTheLinesAreIgnored) {
    Instrument in("5000", 1);
    for (int index : {-1, 11, 1000}) {
        EXPECT_EQ(in.GetLine(index), nullptr);
        in.SetLineType(index, 0);
        in.SetLineState(index, 1, 77, 0, "5000", 4);
    }
    EXPECT_EQ(in.FindLineByCallID(77), nullptr);
    in.SetLineType(10, 7);
    EXPECT_EQ(in.GetLine(10)->m_LineType, 7);
    Line stranger("x", 0);
    stranger.SetState(1, 5, 0, "x", 1);
    in.ClearLine(&stranger);  // not one of its lines
    EXPECT_EQ(stranger.m_CallID, 5);
}

TEST_F(InstrumentTest, LowerIndexWinsAndChangesStampOnce) {
    Instrument in("5000", 1);
    clock_.SetRealtimeNs(1000 * 1000000000LL);
    in.SetLineState(4, 1, 77, 0, "5000", 3);
    in.SetLineState(2, 2, 77, 0, "5000", 3);
    EXPECT_EQ(in.FindLineByCallID(77), in.GetLine(2));
    EXPECT_EQ(in.FindLineByCallIDAndNumber(77, 4), in.GetLine(4));
    EXPECT_EQ(in.FindLineByCallIDAndNumber(77, 5), nullptr);

    Line* l = in.GetLine(4);
    const uint32_t first = l->m_StateTime;
    EXPECT_EQ(first, 1000u);
    clock_.AdvanceMs(5000);
    l->SetState(1, 77, 0, "5000", 3);  // the same five values
    EXPECT_EQ(l->m_StateTime, first);
    l->SetState(1, 77, 0, "5001", 3);  // the device ID alone differs
    EXPECT_EQ(l->m_StateTime, first + 5);

    in.SetLineType(4, 0);
    in.ClearLine(l);
    EXPECT_EQ(l->m_LineType, 0);
    EXPECT_EQ(l->m_LineState, 3);
    EXPECT_EQ(l->m_CallID, -1);
    EXPECT_EQ(l->m_DeviceIDType, -1);
    EXPECT_EQ(l->m_DeviceID, "");
    EXPECT_EQ(l->m_SkillGroup, -1);
}

}  // namespace
