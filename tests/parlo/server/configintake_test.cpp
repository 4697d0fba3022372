// CTI_CONFIGURE_REQ: the load/update filter, the ECC variable table, the peripheral table,
// the registration point of the other tables, and records bounded by the message's end.
#include "ctimsg/eccdefs.h"
#include "tests/parlo/server/opc_fixture.h"

namespace srvtest {
namespace {

Payload ECCRecord(uint32_t id, const std::string& name, uint32_t maxLen = 40, uint32_t array = 0) {
    Payload p;
    p.U32(id).U32(maxLen).U32(3).U32(array).U32(1).U32(0).Text(name);
    return p;
}

size_t CountId(const std::vector<Event>& events, uint32_t id) {
    size_t n = 0;
    for (const auto& e : events) n += e.id == id;
    return n;
}

class ConfigTest : public OPCTest {
protected:
    void SetUp() override {
        OPCTest::SetUp();
        server_->CreateApplication();
        for (int table = 0; table < 15; ++table) Server::SetConfigTableParser(table, nullptr);
        std::vector<ECCExpandedCallVariable> all;
        (void)CopyECCVariableDefinitions(all);
        for (const auto& v : all) (void)DeleteECCVariableDefinition(v.ExpandedCallVariableID);
    }
    void Send(const Payload& p) { server_->ProcessConfigMessage(p.bytes.data() + 4, p.bytes.size() - 4); }
};

TEST_F(ConfigTest, LoadAndUpdateFilter) {
    Payload peripheral;
    peripheral.U32(5000).U32(30).U32(0).U32(1);
    Send(Config(1, 11, 1, 1, peripheral.bytes));  // an update before the end marker: ignored
    EXPECT_EQ(server_->GetNumPeripherals(), 0);
    Send(Config(1, 11, 1, 0, peripheral.bytes));
    EXPECT_EQ(server_->GetNumPeripherals(), 1);
    EXPECT_EQ(server_->GetPeripheralType(5000), 30);
    EXPECT_EQ(server_->GetPeripheralFlag(5000), 1);
    EXPECT_EQ(CountId(Events::Take(), 0x612E0014), 1u);

    Send(Config(1, 0, 0, 0));
    EXPECT_EQ(server_->IsConfigured(), 1);
    EXPECT_EQ(CountId(Events::Take(), 0x612E0012), 1u);
    Send(Config(1, 0, 0, 1));  // a second end marker changes nothing
    EXPECT_EQ(CountId(Events::Take(), 0x612E0012), 0u);

    Payload other;
    other.U32(6000).U32(12).U32(0).U32(0);
    Send(Config(1, 11, 1, 0, other.bytes));  // the initial load is over: ignored
    EXPECT_EQ(server_->GetNumPeripherals(), 1);
    Send(Config(1, 11, 1, 1, other.bytes));
    EXPECT_EQ(server_->GetNumPeripherals(), 2);
}

TEST_F(ConfigTest, ExpandedCallVariables) {
    Payload two = ECCRecord(7, "user.one");
    const Payload second = ECCRecord(8, "user.two", 80, 1);
    two.bytes.insert(two.bytes.end(), second.bytes.begin(), second.bytes.end());
    Send(Config(1, 3, 2, 0, two.bytes));
    ECCExpandedCallVariable v;
    ASSERT_EQ(LookupECCVariableByID(8, v), ECC_SUCCESS);
    EXPECT_EQ(v.EnterpriseName, "user.two");
    EXPECT_EQ(v.MaximumLength, 80);
    EXPECT_EQ(v.IsArray, 1);
    auto events = Events::Take();
    ASSERT_EQ(CountId(events, 0x612E0014), 1u);
    EXPECT_EQ(Events::CountText(events, "2|Added|ExpandedCallVariables"), 1u);

    Send(Config(0, 0, 0, 0));  // end of the load
    Send(Config(1, 3, 1, 1, ECCRecord(7, "user.renamed").bytes));  // add of a known id updates
    ASSERT_EQ(LookupECCVariableByID(7, v), ECC_SUCCESS);
    EXPECT_EQ(v.EnterpriseName, "user.renamed");
    Send(Config(3, 3, 1, 1, ECCRecord(9, "user.new").bytes));  // update of an unknown id adds
    EXPECT_EQ(LookupECCVariableByID(9, v), ECC_SUCCESS);
    Events::Take();
    Send(Config(2, 3, 1, 1, ECCRecord(42, "none").bytes));  // remove of an unknown id
    EXPECT_EQ(CountId(Events::Take(), 0x612E0014), 1u);
    Send(Config(2, 3, 1, 1, ECCRecord(7, "x").bytes));
    EXPECT_NE(LookupECCVariableByID(7, v), ECC_SUCCESS);

    EXPECT_EXIT(Send(Config(4, 3, 1, 1, ECCRecord(7, "x").bytes)), ::testing::ExitedWithCode(100002 & 0xFF),
                "Server::ProcessConfigMessage - Invalid config operation 4 specified");
    EXPECT_EXIT(Send(Config(1, 15, 0, 1)), ::testing::ExitedWithCode(100002 & 0xFF),
                "Server::ProcessConfigMessage - Unknown config table \\(15\\)");
}

TEST_F(ConfigTest, RecordsNeverRunPastTheMessage) {
    const struct {
        const char* name;
        uint32_t table;
        uint32_t num;
        std::vector<uint8_t> records;
    } cases[] = {
        {"peripherals promised, none there", 11, 1000000, {}},
        {"a peripheral cut short", 11, 2, Payload().U32(1).U32(2).U32(3).U32(4).U32(5).bytes},
        {"ECC head cut short", 3, 1, Payload().U32(1).U32(2).bytes},
        {"ECC name longer than the message", 3, 1, Payload().U32(1).U32(2).U32(3).U32(0).U32(0).U32(0).U16(500).bytes},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Send(Config(1, c.table, c.num, 0, c.records));
        const auto events = Events::Take();
        EXPECT_EQ(Events::CountText(events, "runs past the end of the message"), 1u);
        EXPECT_EQ(CountId(events, 0x612E0014), 0u);
    }
    // Still serving: a sound message after them is taken.
    Payload ok;
    ok.U32(77).U32(1).U32(0).U32(0);
    Send(Config(1, 11, 1, 0, ok.bytes));
    EXPECT_EQ(server_->GetPeripheralType(77), 1);
    // A message too short for its own header is dropped.
    const uint8_t tiny[8] = {};
    server_->ProcessConfigMessage(tiny, sizeof tiny);
    EXPECT_EQ(Events::CountText(Events::Take(), "too short"), 1u);
}

const uint8_t* TwoWordRecords(int32_t, const uint8_t* record, const uint8_t* end, int32_t) {
    return end - record >= 8 ? record + 8 : nullptr;
}

TEST_F(ConfigTest, RegisteredParsersWalkTheirRecordsAndDefaultsOnlyTrace) {
    Send(Config(1, 6, 3, 0, Payload().U32(1).U32(2).bytes));  // no parser: taken whole
    auto events = Events::Take();
    EXPECT_EQ(Events::CountText(events, "Table=6 taken without its records"), 1u);
    EXPECT_EQ(Events::CountText(events, "3|Added|SkillGroups"), 1u);

    Server::SetConfigTableParser(6, TwoWordRecords);
    Send(Config(3, 6, 2, 0, Payload().U32(1).U32(2).U32(3).U32(4).bytes));
    EXPECT_EQ(Events::CountText(Events::Take(), "2|Updated|SkillGroups"), 1u);
    Send(Config(3, 6, 3, 0, Payload().U32(1).U32(2).U32(3).U32(4).bytes));  // Num promises three
    events = Events::Take();
    EXPECT_EQ(Events::CountText(events, "record 3 of 3 runs past the end"), 1u);
    EXPECT_EQ(CountId(events, 0x612E0014), 0u);

    Send(Config(1, 5, 0, 0));   // Num 0: no batch event
    Send(Config(1, 14, 2, 0, Payload().U32(1).bytes));  // terminals: no batch event
    EXPECT_EQ(CountId(Events::Take(), 0x612E0014), 0u);
}

}  // namespace
}  // namespace srvtest
