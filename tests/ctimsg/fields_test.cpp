// Every field class against its dictionary row (id, tag, width, minimum version, check), the
// value texts the rows name, and the fields with rules of their own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ctimsg/elements.h"
#include "ctimsg/names.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct ClassEntry {
    const char* name;
    std::unique_ptr<BaseElement> (*make)();
};

const std::vector<ClassEntry>& AllClasses() {
    static const std::vector<ClassEntry> classes = {
#define ELEM(id, cls, ...) {#cls, [] { return std::unique_ptr<BaseElement>(new cls(true, true)); }},
#include "ctimsg/elementdict.def"
#undef ELEM
    };
    return classes;
}

// Sets a number through whichever base the class has; false for non-numbers.
bool SetNumber(BaseElement& e, uint32_t v) {
    if (auto* p = dynamic_cast<UINTElement*>(&e)) return p->Set(v), true;
    if (auto* p = dynamic_cast<INTElement*>(&e)) return p->Set(static_cast<int32_t>(v)), true;
    if (auto* p = dynamic_cast<USHORTElement*>(&e)) return p->Set(static_cast<uint16_t>(v)), true;
    if (auto* p = dynamic_cast<BOOLElement*>(&e)) return p->Set(static_cast<uint16_t>(v)), true;
    if (auto* p = dynamic_cast<UCHARElement*>(&e)) return p->Set(static_cast<uint8_t>(v)), true;
    return false;
}

uint32_t WidthMax(const BaseElement& e) {
    return e.GetMaxBytes() >= 4 ? 0xFFFFFFFFu : (1u << (8 * e.GetMaxBytes())) - 1;
}

// Values to try against a row's check, each with the code Validate must give.
std::vector<std::pair<uint32_t, int>> NumberCases(const elementdict::Check& c, uint32_t max) {
    std::vector<std::pair<uint32_t, int>> out;
    auto add = [&](uint64_t v, bool ok) {
        if (v <= max) out.emplace_back(static_cast<uint32_t>(v), ok ? 0 : c.code);
    };
    switch (c.kind) {
        case elementdict::CheckKind::Range:
            add(c.lo, true);
            add(c.hi, true);
            add(static_cast<uint64_t>(c.hi) + 1, false);
            if (c.lo > 0) add(c.lo - 1, false);
            break;
        case elementdict::CheckKind::RangeOrNone:
            add(c.lo, true);
            add(c.hi, true);
            add(0xFFFF, true);
            if (c.hi + 1 != 0xFFFF) add(static_cast<uint64_t>(c.hi) + 1, false);
            if (c.lo > 0) add(c.lo - 1, false);
            break;
        case elementdict::CheckKind::EventCause:
            for (uint32_t v : {0xFFFFu, 1u, 61u, 1001u, 1066u}) add(v, true);
            for (uint32_t v : {0u, 62u, 1000u, 1067u}) add(v, false);
            break;
        default:
            break;
    }
    return out;
}

TEST(FieldClasses, EveryClassMatchesItsRow) {
    ASSERT_EQ(AllClasses().size(), 699u);
    int checked = 0;
    for (const auto& entry : AllClasses()) {
        const elementdict::Row* row = elementdict::FindRowByClass(entry.name);
        ASSERT_NE(row, nullptr) << entry.name;
        auto e = entry.make();
        SCOPED_TRACE(entry.name);
        EXPECT_EQ(e->GetElementID(), row->id);
        EXPECT_EQ(ElementTag(static_cast<int32_t>(e->GetElementID())), row->tag);
        EXPECT_EQ(e->IsFloating(), row->id >= 432);
        EXPECT_EQ(e->GetMaxBytes(), row->bytes);
        EXPECT_EQ(e->GetFromVersion(), row->from);
        EXPECT_FALSE(e->IsValid());

        // The row's own check, at its edges.
        if (row->check.kind == elementdict::CheckKind::NotEmpty ||
            row->check.kind == elementdict::CheckKind::DigitsOnly) {
            auto* s = dynamic_cast<STRINGElement*>(e.get());
            ASSERT_NE(s, nullptr);
            bool notEmpty = row->check.kind == elementdict::CheckKind::NotEmpty;
            s->Set("");
            EXPECT_EQ(s->Validate(24), notEmpty ? row->check.code : 0);
            s->Set("0123456789");
            EXPECT_EQ(s->Validate(24), 0);
            s->Set("12a");
            EXPECT_EQ(s->Validate(24), notEmpty ? 0 : row->check.code);
            ++checked;
        } else if (row->check.kind != elementdict::CheckKind::None) {
            for (auto [value, code] : NumberCases(row->check, WidthMax(*e))) {
                ASSERT_TRUE(SetNumber(*e, value));
                EXPECT_EQ(e->Validate(24), code) << "value " << value;
                EXPECT_EQ(e->IsValid(), code == 0);
            }
            ++checked;
        }
    }
    EXPECT_GT(checked, 50);
}

TEST(FieldClasses, SharedIdsAndFamilies) {
    CallState callState(true, true);
    CallDeviceConnState connState(true, true);
    EXPECT_EQ(callState.GetElementID(), 499u);
    EXPECT_EQ(connState.GetElementID(), 499u);
    AtcAgentID_Long atc(true, true);
    AgentID_Long longId(true, true);
    EXPECT_EQ(atc.GetElementID(), 611u);
    EXPECT_EQ(longId.GetMaxBytes(), 32u);
    EXPECT_EQ(atc.GetFromVersion(), 10u);

    // Family checks reach every member class.
    AlertingDeviceType device(true, true);
    for (uint16_t v : {0, 70, 79, 0xFFFF}) {
        device.Set(v);
        EXPECT_EQ(device.Validate(9), 0) << v;
    }
    for (uint16_t v : {1, 80}) {
        device.Set(v);
        EXPECT_EQ(device.Validate(9), 27) << v;
    }
    PrimaryDeviceIDType conn(true, true);
    conn.Set(2);
    EXPECT_EQ(conn.Validate(9), 33);
    conn.Set(0xFFFF);
    EXPECT_EQ(conn.Validate(9), 0);
}

class FieldTextTest : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    static std::string Text(const BaseElement& e) {
        std::string t;
        e.ValueText(t);
        return t;
    }
};

TEST_F(FieldTextTest, TextKindsOfTheRows) {
    struct Case {
        std::function<std::unique_ptr<BaseElement>()> make;
        std::function<void(BaseElement&)> set;
        const char* text;
    };
    auto num = [](uint32_t v) { return [v](BaseElement& e) { SetNumber(e, v); }; };
    auto none = [](BaseElement&) {};
    auto mk = [](auto tag) {
        using T = typename decltype(tag)::type;
        return [] { return std::unique_ptr<BaseElement>(new T(true, true)); };
    };
    auto str = [](const char* s) {
        return [s](BaseElement& e) { dynamic_cast<STRINGElement&>(e).Set(s); };
    };
    const Case cases[] = {
        {mk(std::type_identity<InvokeID>{}), num(0x2A), "0x2a "},
        {mk(std::type_identity<InvokeID>{}), none, "<missing> "},
        {mk(std::type_identity<CTIPeripheralID>{}), num(0xFFFFFFFF), "N/A "},
        {mk(std::type_identity<CTIPeripheralID>{}), num(5000), "5000 "},
        {mk(std::type_identity<FltSkillGroupNumber>{}), num(0xFFFFFFFF), "N/A "},
        {mk(std::type_identity<FltSkillGroupNumber>{}), num(static_cast<uint32_t>(-2)), "-2 "},
        {mk(std::type_identity<LineHandle>{}), num(255), "N/A "},
        {mk(std::type_identity<LineHandle>{}), num(3), "3 "},
        {mk(std::type_identity<CCTimestamp>{}), num(0xFFFFFFFF), "<INVALID> "},
        {mk(std::type_identity<CCTimestamp>{}), num(86400 + 3661), "0x15fcd (01/02/70 01:01:01) "},
        {mk(std::type_identity<CTIAgentState>{}), num(3), "AVAILABLE "},
        {mk(std::type_identity<SkillGroupState>{}), num(15), "UNKNOWN AGENT STATE 15 "},
        {mk(std::type_identity<AlertingDeviceType>{}), num(70), "DEVID_TRUNK_IDENTIFIER "},
        {mk(std::type_identity<ConfigurationInformation>{}), num(0x100),
         "ConfigurationInformation: * none * "},
        {mk(std::type_identity<GreetingType>{}), str("Hello"), "Hello"},
        {mk(std::type_identity<CallMsgMask>{}), num(0x20000), "0x20000 "},
    };
    for (const auto& c : cases) {
        auto e = c.make();
        c.set(*e);
        EXPECT_EQ(Text(*e), c.text) << ElementName(static_cast<int32_t>(e->GetElementID()));
    }
}

Bytes Wire(const BaseElement& e, uint32_t version) {
    Bytes buf(600, 0xEE);
    int n = e.Encode(buf.data(), static_cast<int>(buf.size()), version);
    if (n < 0) return {0xDE, 0xAD};
    buf.resize(static_cast<size_t>(n));
    return buf;
}

TEST(VersionRules, MasksAreCutOnTheWireAndCheckedByVersion) {
    ServiceMask service(true, true);
    service.Set(0x20);
    EXPECT_EQ(Wire(service, 2), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(service.Validate(2), 19);
    EXPECT_EQ(Wire(service, 3), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(service.Validate(3), 19);
    EXPECT_EQ(Wire(service, 4), (Bytes{0, 0, 0, 0x20}));
    EXPECT_EQ(service.Validate(4), 0);
    service.Set(0x04000000);
    EXPECT_EQ(service.ValidateToSend(24), 19);
    EXPECT_EQ(service.Get(), 0x04000000u);

    CallMsgMask call(true, true);
    call.Set(0x20000);
    EXPECT_EQ(Wire(call, 2), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(call.Validate(2), 20);
    EXPECT_EQ(call.ValidateToSend(2), 0);
    call.Set(0x10000000);
    EXPECT_EQ(call.Validate(15), 20);
    EXPECT_EQ(call.Validate(16), 0);
    EXPECT_EQ(Wire(call, 9), (Bytes{0x10, 0, 0, 0}));

    TaskMsgMask task(true, true);
    task.Set(0x1801);
    EXPECT_EQ(Wire(task, 9), (Bytes{0, 0, 0, 0x01}));
    EXPECT_EQ(Wire(task, 8), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(task.Validate(9), 91);
    EXPECT_EQ(task.ValidateToSend(9), 91);
    task.Set(0x7FF);
    EXPECT_EQ(task.Validate(9), 0);
    EXPECT_EQ(task.Validate(8), 91);
}

// One event goes to sessions of several versions: the clamp must not stick to the element.
TEST(VersionRules, NumSkillGroupsClampsOnlyTheWireCopy) {
    NumSkillGroups n(true, true);
    n.Set(30);
    EXPECT_EQ(Wire(n, 4), (Bytes{0, 10}));
    EXPECT_EQ(Wire(n, 12), (Bytes{0, 20}));
    EXPECT_EQ(Wire(n, 13), (Bytes{0, 30}));
    EXPECT_EQ(n.Get(), 30);
    n.Set(150);
    EXPECT_EQ(Wire(n, 13), (Bytes{0, 99}));
    EXPECT_EQ(n.Validate(13), 39);
    EXPECT_EQ(n.ValidateToSend(13), 39);
    n.Set(99);
    EXPECT_EQ(n.Validate(13), 0);
}

TEST(VersionRules, AgentInstrumentIsTwelveBytesForOldClients) {
    AgentInstrument inst(true, true);
    inst.Set("123456789012345");
    Bytes v5 = Wire(inst, 5);
    ASSERT_EQ(v5.size(), 2u + 12u);
    EXPECT_EQ(v5[1], 12);
    EXPECT_EQ(std::string(v5.begin() + 2, v5.end() - 1), "12345678901");
    EXPECT_EQ(v5.back(), 0);
    EXPECT_EQ(Wire(inst, 6).size(), 2u + 16u);
    EXPECT_EQ(inst.Validate(5), 23);
    EXPECT_EQ(inst.ValidateToSend(5), 0);
    EXPECT_EQ(inst.Validate(6), 0);
    EXPECT_EQ(inst.Get(), "123456789012345");
}

TEST(OwnRules, TraceFlagsPasswordAndReserved) {
    AgentID agent(true, true);
    agent.Set("1001");
    agent.SetTraceFlag(1);
    std::string t;
    EXPECT_EQ(agent.Trace(t), 0);
    EXPECT_EQ(t, "");
    EXPECT_EQ(agent.Trace(t), 1);
    EXPECT_EQ(t, "AgentID:\"1001\" ");

    ClientPassword password(true, true);
    const uint8_t secret[] = {'p', 'w'};
    password.Set(secret, 2);
    EXPECT_FALSE(password.IsTraced());
    t.clear();
    EXPECT_EQ(password.Trace(t), 0);
    EXPECT_EQ(t, "");

    Reserved reserved(true, true);
    EXPECT_TRUE(reserved.IsPresent());
    EXPECT_EQ(reserved.Validate(2), 0);
    reserved.Set(1);
    EXPECT_EQ(reserved.Validate(2), 22);
}

TEST(OwnRules, TeamConfigKeyIsEightBareBytes) {
    TeamConfigKey key(true, true);
    EXPECT_EQ(key.GetFromVersion(), 10u);
    const uint8_t bytes[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(key.Decode(bytes, -1, 9, 10), 8);
    EXPECT_EQ(Wire(key, 10), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(key.Decode(bytes, -1, 7, 10), -1);
    // A key of another length would shift every fixed field after it.
    key.Set(bytes, 7);
    EXPECT_EQ(Wire(key, 10), (Bytes{0xDE, 0xAD}));
}

}  // namespace
