// REMask entries: the masks of one entry, the entries of an agent's device, and a call event
// that carries one entry per connection at each agent device (at most ten).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "ctimsg/messages/messages.h"
#include "ctimsg/elementids.h"
#include "ctimsg/structured.h"
#include "parlo/model/agent.h"
#include "parlo/model/remask.h"
#include "tests/parlo/model/model_fixture.h"

namespace modeltest {
namespace {

uint32_t Bits(const MaskBits& mask) {
    int length = 0;
    const uint8_t* bytes = mask.Get(length);
    uint32_t v = 0;
    for (int i = 0; i < length && i < 4; ++i) v |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    return v;
}

class REMaskTest : public ModelTest {
protected:
    ~REMaskTest() override { Agent::RemoveAgent(-1, ""); }
};

TEST_F(REMaskTest, OneEntryFromStateDeskSettingsAndConnection) {
    struct Case {
        const char* what;
        int32_t callID;
        uint16_t callType;
        int32_t state, agentState, deskMask, wrapUp, connected, active, dest;
        uint32_t agentMask, callMask, flags;
    } const cases[] = {
        {"not ready, no connection", -1, 0, -1, 2, 0, 0, 0, 0, -1, 0x0A, 0x21, 0x00},
        {"talking, outbound, destination alerting", 70, 0, 3, 4, 0, 2, 1, 1, 2, 0x0C,
         0x08 | 0x400 | 0x20 | 0x8000 | 0x40 | 0x200 | 0x10 | 0x20000 | 0x800 | 0x2000, 0x00},
        {"held beside a connected call", 71, 0, 4, 4, 0, 2, 1, 2, -1, 0x0C,
         0x100 | 0x40000 | 0x10000 | 0x80 | 0x02 | 0x08 | 0x400, 0x00},
        {"desk settings and wrap-up 3", -1, 0, -1, 3, 0x18, 3, 0, 0, -1, 0x04, 0x00, 0x38},
        // The -1 rules of an agent without desk settings.
        {"talking without desk settings", 72, 23, 3, 4, -1, -1, 1, 1, 1, 0x3C,
         0x08 | 0x400 | 0x20 | 0x8000 | 0x200 | 0x20000 | 0x1000 | 0x2000, 0x18},
        {"alerting, logged out", 73, 21, 2, 1, 0, 0, 0, 0, -1, 0x01, 0x04, 0x00},
    };
    for (const Case& c : cases) {
        REMaskEntry entry;
        CTIUpdateREMask::ComputeEntry("5000", "1500", c.callID, c.callType, c.state, c.agentState,
                                      c.deskMask, c.wrapUp, c.connected, c.active, c.dest, &entry);
        EXPECT_EQ(Bits(entry.m_AgentMask), c.agentMask) << c.what;
        EXPECT_EQ(Bits(entry.m_CallMask), c.callMask) << c.what;
        EXPECT_EQ(Bits(entry.m_FunctionFlags), c.flags) << c.what;
        EXPECT_EQ(entry.m_CallId.Get(), static_cast<uint32_t>(c.callID)) << c.what;
    }
}

TEST_F(REMaskTest, DeviceEntriesAndTheMessageField) {
    Agent* a = new Agent(5000, 48, 77, 0, "1001", "1500", "5000", false);
    CTICSTADevice* d = NewDevice(5000, 76, "1500", "1500");
    a->SetDevice(d);
    (void)a->UpdateAgentState(2, 0, 1, 9, 0, 0, 0, 0, 0, "", "", true);
    a->SetExtension("1500");
    a->SetInstrument("5000");

    CallEstablishedEventMSG msg;
    UpdateREMaskInMSG(&msg, d);
    auto* field = static_cast<REMaskArray*>(msg.FindElement(elementid::REMaskArray, 0, false));
    ASSERT_NE(field, nullptr);
    ASSERT_EQ(field->GetNumMasks(), 1);
    EXPECT_EQ(field->Entry(0).m_CallId.Get(), 0xFFFFFFFFu);
    EXPECT_EQ(field->Entry(0).m_Instrument.Get(), "5000");
    EXPECT_EQ(field->Entry(0).m_Extension.Get(), "1500");
    EXPECT_EQ(Bits(field->Entry(0).m_AgentMask), 0x0Au);
    EXPECT_EQ(Bits(field->Entry(0).m_CallMask), 0x21u);
    // Refilled, not appended; no device leaves it empty.
    UpdateREMaskInMSG(&msg, d);
    EXPECT_EQ(field->GetNumMasks(), 1);
    UpdateREMaskInMSG(&msg, nullptr);
    EXPECT_EQ(field->GetNumMasks(), 0);
}

TEST_F(REMaskTest, DeviceCountsFilterAndOverride) {
    Agent* a = new Agent(5000, 48, 77, 0, "1001", "1500", "5000", false);
    CTICSTADevice* d = NewDevice(5000, 76, "1500", "1500");
    a->SetDevice(d);
    (void)a->UpdateAgentState(4, 0, 1, 9, 0, 0, 0, 0, 0, "", "", true);
    Call* c100 = NewCall(5000, 100);
    Call* c101 = NewCall(5000, 101);
    Call* c102 = NewCall(5000, 102);
    CTICSTAConnection::Alloc(d, c100, 3, 1, 0, "1500", "test");
    CTICSTAConnection::Alloc(d, c101, 2, 1, 0, "1500", "test");  // alerting: not counted
    CTICSTAConnection* monitor = CTICSTAConnection::Alloc(d, c102, 3, 1, 0, "1500", "test");
    monitor->m_SilentMonitorStatus = 2;  // a silent monitor's connection is not counted

    struct Case {
        uint32_t override, filter;
        const char* ids;
    } const cases[] = {
        {0xFFFFFFFF, 0xFFFFFFFF, "100 101 102 "},
        {0xFFFFFFFF, 101, "101 "},
        {555, 0xFFFFFFFF, "555 555 555 "},
        {555, 102, "555 "},
        {0xFFFFFFFF, 999, ""},
    };
    for (const Case& c : cases) {
        REMaskArray field(false, false);
        d->AddREMaskEntries(&field, c.override, c.filter);
        std::string ids;
        for (int i = 0; i < field.GetNumMasks(); ++i)
            ids += std::to_string(field.Entry(i).m_CallId.Get()) + " ";
        EXPECT_EQ(ids, c.ids) << c.override << " " << c.filter;
    }
    // One counted connection: the CS_CONNECT entry has the single-call bits.
    REMaskArray field(false, false);
    d->AddREMaskEntries(&field, 0xFFFFFFFF, 100);
    EXPECT_NE(Bits(field.Entry(0).m_CallMask) & 0x8000u, 0u);
    EXPECT_NE(Bits(field.Entry(0).m_CallMask) & 0x20000u, 0u);
    // A second connected call makes two: the bits go.
    CTICSTAConnection::Alloc(d, NewCall(5000, 103), 4, 1, 0, "1500", "test");
    REMaskArray again(false, false);
    d->AddREMaskEntries(&again, 0xFFFFFFFF, 100);
    EXPECT_EQ(Bits(again.Entry(0).m_CallMask) & 0x28000u, 0u);
}

TEST_F(REMaskTest, CallEventCarriesOneEntryPerAgentDeviceConnectionAtMostTen) {
    Agent* a = new Agent(5000, 48, 77, 0, "1001", "1500", "5000", false);
    Agent* b = new Agent(5000, 48, 78, 0, "1002", "1600", "6000", false);
    CTICSTADevice* da = NewDevice(5000, 76, "1500", "1500");
    CTICSTADevice* db = NewDevice(5000, 76, "1600", "1600");
    CTICSTADevice* trunk = NewDevice(5000, 70, "9000");
    a->SetDevice(da);
    b->SetDevice(db);
    (void)a->UpdateAgentState(4, 0, 1, 9, 0, 0, 0, 0, 0, "", "", true);
    (void)b->UpdateAgentState(3, 0, 1, 9, 0, 0, 0, 0, 0, "", "", true);

    Call* call = NewCall(5000, 100);
    CTICSTAConnection::Alloc(da, call, 3, 1, 0, "1500", "test");
    CTICSTAConnection::Alloc(db, call, 2, 2, 0, "1600", "test");
    CTICSTAConnection::Alloc(trunk, call, 3, 1, 0, "9000", "test");
    Call* other = NewCall(5000, 101);
    CTICSTAConnection::Alloc(da, other, 4, 1, 0, "1500", "test");

    auto entries = [&](Call* c) {
        CallEstablishedEventMSG msg;
        FillRequired(msg);
        ports.lines.clear();
        c->WriteMSG(msg, false, false);
        auto* field = static_cast<REMaskArray*>(msg.FindElement(elementid::REMaskArray, 0, false));
        std::string out;
        for (int i = 0; i < field->GetNumMasks(); ++i)
            out += field->Entry(i).m_Extension.Get() + ":" +
                   std::to_string(static_cast<int32_t>(field->Entry(i).m_CallId.Get())) + " ";
        return out;
    };
    // Agent a's device has two connections (calls 100 and 101), b's one; the trunk none.
    EXPECT_EQ(entries(call), "1500:100 1500:101 1600:100 ");

    // Twelve calls at agent a's device: the field stops at ten entries.
    for (uint32_t id = 200; id < 212; ++id)
        CTICSTAConnection::Alloc(da, NewCall(5000, id), 3, 1, 0, "1500", "test");
    const std::string many = entries(call);
    EXPECT_EQ(static_cast<int>(std::count(many.begin(), many.end(), ' ')), 10) << many;
    EXPECT_EQ(many.find("1600"), std::string::npos);
}

}  // namespace
}  // namespace modeltest
