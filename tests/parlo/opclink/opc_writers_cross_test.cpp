// The server's OPC writers read back with the stand-in OPC's own layouts (peers/opc): every
// field lands where the other side looks for it, strings and blocks are padded with zeros,
// and nothing is left over.
#include <functional>
#include <map>

#include "opcmsg/cstarequests.h"
#include "parlo/opclink/opcwriters.h"
#include "peers/opc/opc_wire.h"
#include "tests/parlo/server/opc_fixture.h"

namespace srvtest {
namespace {

class WritersCross : public OPCTest {
protected:
    Sent Only() {
        auto sent = TakeSent();
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? Sent{} : sent[0];
    }
};

struct Case {
    const char* name;
    uint8_t type;
    std::function<bool()> write;
    std::map<std::string, uint32_t> numbers;
    std::map<std::string, std::string> strings;
};

std::vector<std::string> Variables(const std::string& prefix) {
    std::vector<std::string> v;
    for (int i = 1; i <= 10; ++i) v.push_back(prefix + std::to_string(i));
    return v;
}

TEST_F(WritersCross, EveryRequestReadsBackFieldByField) {
    MDSIO::SetServerNumber(0x0A0B0C0D);
    const std::vector<Case> cases = {
        {"get agent state", 12,
         [] { return SendGetAgentStateReq(0x101, 5000, 7, 0x55, "4001", "1001", "inst", "Test", 0x66, kNoSession); },
         {{"InvokeID", 0x101}, {"PeripheralID", 5000}, {"MRDomainID", 7}, {"SkillTarID", 0x55}, {"ClientInvokeID", 0x66}},
         {{"UniqueInstanceID", ""}, {"AgentExtension", "4001"}, {"AgentID", "1001"}, {"AgentInstrument", "inst"}}},
        {"get agent statistics", 18,
         [] { return SendGetAgentStatisticsReq(0x102, 5001, "ext", "agent", "in"); },
         {{"InvokeID", 0x102}, {"PeripheralID", 5001}},
         {{"AgentExtension", "ext"}, {"AgentID", "agent"}, {"AgentInstrument", "in"}}},
        {"get group statistics", 20,
         [] { return SendGetGroupStatisticsReq(0x103, 5002, 0x77, 0x88); },
         {{"InvokeID", 0x103}, {"PeripheralID", 5002}, {"SkillGroupID", 0x88}, {"SkillGroupNumber", 0x77}},
         {}},
        {"get call data", 29,
         [] { return SendGetCallDataReq(5003, 42, 1, "4002"); },
         {{"PeripheralID", 5003}, {"CallID", 42}, {"ConnectionDeviceIDType", 1}},
         {{"ConnectionDeviceID", "4002"}}},
        {"release call", 32,
         [] { return SendReleaseCallReq(0x104, 5004, 43, 2, "dev", 0xFFFFFFFF, "", "ag", 1, 0x67, kNoSession); },
         {{"InvokeID", 0x104}, {"PeripheralID", 5004}, {"CallID", 43}, {"ConnectionDeviceIDType", 2},
          {"DestinationDeviceIDType", 0xFFFFFFFF}, {"Srch", 1}, {"ClientInvokeID", 0x67}},
         {{"UniqueInstanceID", ""}, {"AgentID", "ag"}, {"ConnectionDeviceID", "dev"}, {"DestinationDeviceID", ""}}},
        {"validate call", 37,
         [] { return SendValidateCallReq(0x105, 5005, 44, 3, "d", 4, "dest", "a", 0); },
         {{"InvokeID", 0x105}, {"PeripheralID", 5005}, {"CallID", 44}, {"ConnectionDeviceIDType", 3},
          {"DestinationDeviceIDType", 4}, {"Srch", 0}},
         {{"AgentID", "a"}, {"ConnectionDeviceID", "d"}, {"DestinationDeviceID", "dest"}}},
        {"set device attributes", 45,
         [] { return SendSetDeviceAttributesReq(0x106, 5006, 11, 12, 0x0D00000E, 15, 0xFFFE, 3, "5551", 0x68, kNoSession); },
         {{"InvokeID", 0x106}, {"PeripheralID", 5006}, {"ServiceNumber", 11}, {"ServiceID", 12},
          {"SkillGroupAndPri", 0x0D00000E}, {"SkillGroupID", 15}, {"ClientInvokeID", 0x68},
          {"CallType", 0xFFFE}, {"CallingDeviceType", 3}},
         {{"UniqueInstanceID", ""}, {"CallingDeviceID", "5551"}}},
        {"bad call", 47,
         [] { return SendBadCallReq(0x107, 5007, 45, -1, "dv", "agt", 0x69, kNoSession); },
         {{"InvokeID", 0x107}, {"PeripheralID", 5007}, {"CallID", 45}, {"ConnectionDeviceIDType", 0xFFFFFFFF},
          {"ClientInvokeID", 0x69}},
         {{"UniqueInstanceID", ""}, {"AgentID", "agt"}, {"ConnectionDeviceID", "dv"}}},
        {"get pre-call messages", 86,
         [] { return SendGetPrecallMessagesReq(0x108, 5008, 1, 0x6A, kNoSession); },
         {{"InvokeID", 0x108}, {"PeripheralID", 5008}, {"MRDomainID", 1}, {"ClientInvokeID", 0x6A}},
         {{"UniqueInstanceID", ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.write());
        const Sent s = Only();
        EXPECT_EQ(s.type, c.type);
        ASSERT_GE(s.payload.size(), 4u);
        EXPECT_EQ(s.Word(0), 0x0A0B0C0Du);
        opcpeer::ServerRequest r;
        std::string error;
        ASSERT_TRUE(opcpeer::ReadServerRequest(s.type, s.payload.data() + 4, s.payload.size() - 4, &r, &error))
            << error;
        EXPECT_EQ(r.numbers.size(), c.numbers.size());
        for (const auto& [field, want] : c.numbers) {
            uint32_t got = 0;
            EXPECT_TRUE(r.Number(field, &got)) << field;
            EXPECT_EQ(got, want) << field;
        }
        EXPECT_EQ(r.strings.size(), c.strings.size());
        for (const auto& [field, want] : c.strings) {
            std::string got;
            EXPECT_TRUE(r.String(field, &got)) << field;
            EXPECT_EQ(got, want) << field;
        }
    }
}

// The two requests with a tail: the set-client-status request's media routing domain IDs
// and the set-call-data request's strings and ECC block; the set-application-data request's
// ten variables, the absent ones as the one-character marker.
TEST_F(WritersCross, TailsAndVariablesReadBack) {
    server_->SetState(Server::ACTIVATING);
    server_->SetState(Server::ACTIVE);
    OPCAgentInfo info{"1001", 5000, {1, 7, 9}};
    OPCReq::Allocate(1, 1, 0x12);
    ASSERT_TRUE(SendSetClientStatusRequest(0x12, 0x40, info, "signature"));
    Sent s = Only();
    opcpeer::ServerRequest r;
    std::string error, text;
    uint32_t n = 0;
    ASSERT_TRUE(opcpeer::ReadServerRequest(s.type, s.payload.data() + 4, s.payload.size() - 4, &r, &error)) << error;
    EXPECT_TRUE(r.Number("NumMRDomainIDs", &n));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(r.mrDomainIDs, (std::vector<uint32_t>{1, 7, 9}));
    EXPECT_TRUE(r.String("Signature", &text));
    EXPECT_EQ(text, "signature");

    SetCallDataFields f;
    f.invokeID = 0x201;
    f.peripheralID = 5000;
    f.callID = 77;
    f.deviceIDType = 1;
    f.deviceID = "4001";
    f.agentID = "1001";
    f.ani = "5551234";
    const std::string wrapup = "wrap";
    f.wrapupData = &wrapup;
    f.callVariables = Variables("v");
    f.callVariables[4] = kAbsentValue;
    const std::vector<uint8_t> ecc = {1, 2, 3, 4, 5};
    f.eccData = ecc.data();
    f.eccLength = static_cast<uint32_t>(ecc.size());
    f.callType = 0xFFFF;
    f.callOriginatedFrom = 0xAB;
    f.clientInvokeID = 0x202;
    ASSERT_TRUE(SendSetCallDataReq(f));
    s = Only();
    ASSERT_TRUE(opcpeer::ReadServerRequest(s.type, s.payload.data() + 4, s.payload.size() - 4, &r, &error)) << error;
    EXPECT_EQ(r.ecc, ecc);
    for (const auto& [field, want] : std::map<std::string, uint32_t>{
             {"InvokeID", 0x201}, {"CallID", 77}, {"CallType", 0xFFFF}, {"CallOriginatedFrom", 0xAB},
             {"ClientInvokeID", 0x202}, {"DestinationDeviceIDType", 0xFFFFFFFF}}) {
        EXPECT_TRUE(r.Number(field, &n)) << field;
        EXPECT_EQ(n, want) << field;
    }
    for (const auto& [field, want] : std::map<std::string, std::string>{
             {"ANI", "5551234"}, {"WrapupData", "wrap"}, {"ConnectionDeviceID", "4001"},
             {"CallVariable1", "v1"}, {"CallVariable5", kAbsentValue}, {"CallVariable10", "v10"}}) {
        EXPECT_TRUE(r.String(field, &text)) << field;
        EXPECT_EQ(text, want) << field;
    }

    std::vector<std::string> vars = Variables("x");
    vars[0] = kAbsentValue;
    ASSERT_TRUE(SendSetAppDataReq(0x301, 9, vars, 3, 0x302, 4, 0x303, kNoSession));
    s = Only();
    ASSERT_TRUE(opcpeer::ReadServerRequest(s.type, s.payload.data() + 4, s.payload.size() - 4, &r, &error)) << error;
    ASSERT_EQ(r.strings.size(), 11u);
    EXPECT_EQ(r.strings[1].second, kAbsentValue);
    EXPECT_EQ(r.strings[10].second, "x10");
    EXPECT_TRUE(r.Number("PreCallInvokeID", &n));
    EXPECT_EQ(n, 0x302u);
}

// The CSTA envelope through the stand-in's request reader; before any set-idle the
// ServerNumber is 0xFFFFFFFF.
TEST_F(WritersCross, CstaRequestReadsBack) {
    TPCSTAHoldCallMsg hold(5000, 0x0100000A, 0x33);
    ASSERT_TRUE(SendCSTAMessage(nullptr, -1, nullptr, hold, nullptr, kNoSession));
    const Sent s = Only();
    EXPECT_EQ(s.Word(0), 0xFFFFFFFFu);
    opcpeer::CstaRequest r;
    std::string error;
    ASSERT_TRUE(opcpeer::ReadRequest(s.payload.data() + 4, s.payload.size() - 4, &r, &error)) << error;
    EXPECT_EQ(r.peripheralID, 5000u);
    EXPECT_EQ(r.headerPeripheralID, 5000u);
    EXPECT_EQ(r.connection.callID, 0xFFFFFFFFu);
    EXPECT_EQ(r.connection.deviceID, "");
    EXPECT_EQ(r.uniqueInstanceID, "");
    for (uint32_t w : r.skillGroups) EXPECT_EQ(w, 0xFFFFFFFFu);
    EXPECT_EQ(r.invokeID, 0x0100000Au);
    EXPECT_EQ(r.clientInvokeID, 0x33u);
}

// The stand-in refuses what does not fit its layout: a short body, a string past the end,
// non-zero padding, bytes left over.
TEST(ServerRequestReader, RefusesBodiesThatDoNotFit) {
    std::vector<uint8_t> good;
    opcpeer::PutLE32(good, 0, 1);
    opcpeer::PutLE32(good, 4, 2);
    opcpeer::PutLE32(good, 8, 3);
    opcpeer::PutLE32(good, 12, 4);
    opcpeer::AppendPadded(good, "ab");  // UniqueInstanceID
    opcpeer::ServerRequest r;
    std::string error;
    ASSERT_TRUE(opcpeer::ReadServerRequest(86, good.data(), good.size(), &r, &error)) << error;
    struct Bad {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> spoil;
    };
    const Bad bads[] = {
        {"short fixed part", [](std::vector<uint8_t>& b) { b.resize(12); }},
        {"string past the end", [](std::vector<uint8_t>& b) { b[16] = 200; }},
        {"padding not zero", [](std::vector<uint8_t>& b) { b.back() = 1; }},
        {"bytes left over", [](std::vector<uint8_t>& b) { b.push_back(0); }},
        {"no string", [](std::vector<uint8_t>& b) { b.resize(16); }},
    };
    for (const Bad& bad : bads) {
        SCOPED_TRACE(bad.name);
        std::vector<uint8_t> b = good;
        bad.spoil(b);
        EXPECT_FALSE(opcpeer::ReadServerRequest(86, b.data(), b.size(), &r, &error));
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(opcpeer::ReadServerRequest(99, good.data(), good.size(), &r, &error));
}

}  // namespace
}  // namespace srvtest
