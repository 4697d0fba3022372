// The stand-in OPC's own layouts: the request reader against the request as the server
// writes it, the confirmations it builds for each request type, the event writer and reader,
// and the private data of the two events whose private data the server reads.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "peers/opc/opc_wire.h"

namespace opcpeer {
namespace {

CstaRequest MakeRequest(uint16_t type, const std::string& uii = "", uint32_t invoke = 0x1234,
                        uint32_t client = 0x55) {
    CstaRequest r;
    r.peripheralID = 5000;
    r.headerPeripheralID = 5000;
    r.eventType = type;
    r.invokeID = invoke;
    r.clientInvokeID = client;
    r.uniqueInstanceID = uii;
    const RequestType* t = FindRequestType(type);
    r.opc.assign(t ? t->privateDataSize : 0, 0);
    return r;
}

TEST(OpcRequest, BytesOfAMakeCallWithoutConnection) {
    for (const auto& [uii, stringSize] : {std::pair<std::string, size_t>{"abcde", 8},
                                          {"abcdef", 12}}) {
        CstaRequest r = MakeRequest(23, uii, 0x01020304, 0x0A0B0C0D);
        std::memcpy(r.body.data(), "5001", 4);
        const std::vector<uint8_t> b = WriteRequest(r);
        const size_t h = 244 + stringSize + 4;
        ASSERT_EQ(b.size(), h + 6 + 364 + 2764);
        EXPECT_EQ(LoadLE32(&b[0]), 5000u);
        EXPECT_EQ(LoadLE16(&b[4]), 0xFFFF);
        EXPECT_EQ(LoadLE32(&b[8]), 0xFFFFFFFFu);  // no connection
        EXPECT_EQ(LoadLE32(&b[28]), 0u);
        for (size_t i = 0; i < 44; ++i) EXPECT_EQ(LoadLE32(&b[32 + 4 * i]), 0xFFFFFFFFu);
        EXPECT_EQ(LoadLE32(&b[208]), 364u);
        EXPECT_EQ(LoadLE32(&b[212]), 0u);
        EXPECT_EQ(LoadLE32(&b[216]), 2764u);
        EXPECT_EQ(LoadLE16(&b[244]), uii.size());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[246]), uii.size()), uii);
        EXPECT_EQ(LoadLE16(&b[244 + stringSize]), 0u);  // empty device string
        EXPECT_EQ(LoadLE16(&b[h]), 5000u);
        EXPECT_EQ(LoadLE16(&b[h + 2]), 8u);
        EXPECT_EQ(LoadLE16(&b[h + 4]), 23u);
        EXPECT_EQ(LoadLE32(&b[h + 6]), 0x01020304u);
        EXPECT_EQ(LoadLE32(&b[h + 10]), 0x0A0B0C0Du);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[h + 14])), "5001");

        CstaRequest back;
        std::string error;
        ASSERT_TRUE(ReadRequest(b.data(), b.size(), &back, &error)) << error;
        EXPECT_EQ(back.uniqueInstanceID, uii);
        EXPECT_EQ(back.eventType, 23);
        EXPECT_EQ(back.invokeID, 0x01020304u);
        EXPECT_EQ(back.body, r.body);
        EXPECT_EQ(back.opc.size(), 2764u);
    }
}

TEST(OpcRequest, ConnectionTravelsInTheHeader) {
    CstaRequest r = MakeRequest(21);
    r.connection = {77, "1001.22", 1};
    const std::vector<uint8_t> b = WriteRequest(r);
    CstaRequest back;
    std::string error;
    ASSERT_TRUE(ReadRequest(b.data(), b.size(), &back, &error)) << error;
    EXPECT_EQ(back.connection.callID, 77u);
    EXPECT_EQ(back.connection.deviceID, "1001.22");
    EXPECT_EQ(back.connection.deviceIDType, 1u);
    EXPECT_EQ(LoadLE32(&b[8]), 77u);
    EXPECT_EQ(LoadLE32(&b[28]), 1u);
}

// Requests that lie, each read from a buffer of exactly its size (ASan sees an over-read).
TEST(OpcRequest, LyingRequestsAreRefusedWithAReason) {
    CstaRequest good = MakeRequest(23, "abcde");
    const std::vector<uint8_t> base = WriteRequest(good);
    const size_t h = 244 + 8 + 4;
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> mutate;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"short", [](auto& b) { b.resize(243); }, "shorter than"},
        {"event part", [](auto& b) { PutLE32(b, 208, 363); }, "event part length 363"},
        {"raw above 990", [](auto& b) { PutLE32(b, 212, 991); }, "above 990"},
        {"opc above 2872", [](auto& b) { PutLE32(b, 216, 2873); }, "above 2872"},
        {"opc beyond message", [](auto& b) { PutLE32(b, 216, 2768); }, "lengths add up"},
        {"trailing byte", [](auto& b) { b.push_back(0); }, "lengths add up"},
        {"truncated", [](auto& b) { b.pop_back(); }, "lengths add up"},
        {"uii count", [](auto& b) { PutLE16(b, 244, 0xFFFF); }, "unique instance id string runs"},
        {"uii NUL", [](auto& b) { b[247] = 0; }, "holds a NUL"},
        {"uii fill", [](auto& b) { b[251] = 'x'; }, "fill is not zero"},
        {"reserved 6", [](auto& b) { b[6] = 1; }, "reserved"},
        {"reserved 12", [](auto& b) { b[27] = 1; }, "reserved"},
        {"reserved 220", [](auto& b) { b[243] = 1; }, "reserved"},
        {"marker", [](auto& b) { PutLE16(b, 4, 0xFFFE); }, "not 0xFFFF"},
        {"class", [h](auto& b) { PutLE16(b, h + 2, 5); }, "event class 5"},
        {"header peripheral", [h](auto& b) { PutLE16(b, h, 1); }, "peripheral"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> b = base;
        c.mutate(b);
        std::vector<uint8_t> exact(b);
        exact.shrink_to_fit();
        CstaRequest out;
        std::string error;
        EXPECT_FALSE(ReadRequest(exact.data(), exact.size(), &out, &error)) << c.name;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
    }
    // A device string of 65 characters does not fit its 64-byte field.
    CstaRequest longDev = MakeRequest(21);
    longDev.connection.deviceID = std::string(65, '7');
    const std::vector<uint8_t> b = WriteRequest(longDev);
    CstaRequest out;
    std::string error;
    EXPECT_FALSE(ReadRequest(b.data(), b.size(), &out, &error));
    EXPECT_NE(error.find("device id of 65"), std::string::npos) << error;
    longDev.connection.deviceID.pop_back();
    const std::vector<uint8_t> ok = WriteRequest(longDev);
    EXPECT_TRUE(ReadRequest(ok.data(), ok.size(), &out, &error)) << error;
}

// What each confirmation carries, transcribed from the confirmation table on its own:
// request type, confirmation type, size of the confirmation's own body, private data.
struct ConfCase {
    uint16_t request, confirmation;
    size_t ownBody, privateData;
};
const ConfCase kConfirmations[] = {
    {1, 2, 0, 0},      {3, 4, 0, 0},      {7, 8, 0, 0},       {9, 10, 0, 0},
    {11, 12, 80, 8},   {13, 14, 72, 8},   {15, 16, 0, 0},     {21, 22, 0, 0},
    {23, 24, 72, 8},   {25, 26, 72, 8},   {37, 38, 72, 960},  {39, 40, 0, 0},
    {41, 42, 0, 0},    {49, 50, 0, 0},    {51, 52, 80, 8},    {120, 121, 8, 320},
    {122, 123, 8, 0},  {130, 131, 0, 0},  {134, 135, 72, 8},  {137, 138, 72, 8},
    {140, 141, 72, 8}, {160, 159, 0, 0},  {209, 210, 0, 0},   {211, 212, 0, 0},
};

TEST(OpcConfirmation, EveryRequestTypeGetsItsConfirmationWithIdsEchoed) {
    ASSERT_EQ(RequestTypes().size(), std::size(kConfirmations));
    uint32_t callID = 1000;
    for (const auto& c : kConfirmations) {
        const RequestType* t = FindRequestType(c.request);
        ASSERT_NE(t, nullptr) << c.request;
        EXPECT_EQ(t->confirmation, c.confirmation);
        CstaRequest req = MakeRequest(c.request, "uii-7", 0x100 + c.request, 0x900 + c.request);
        CstaEvent conf = BuildConfirmation(req, &callID);
        std::vector<uint8_t> bytes;
        std::string error;
        ASSERT_TRUE(WriteEvent(conf, &bytes, &error)) << error;
        CstaEvent back;
        ASSERT_TRUE(ReadEvent(bytes.data(), bytes.size(), &back, &error)) << error;
        EXPECT_EQ(back.eventClass, 5);
        EXPECT_EQ(back.eventType, c.confirmation);
        EXPECT_EQ(back.headerPeripheralID, 5000);
        ASSERT_EQ(back.body.size(), 8 + c.ownBody) << c.request;
        EXPECT_EQ(LoadLE32(&back.body[0]), 0x100u + c.request);
        EXPECT_EQ(LoadLE32(&back.body[4]), 0x900u + c.request);
        EXPECT_EQ(back.strings[0], "uii-7");
        EXPECT_EQ(back.opc.size(), c.privateData) << c.request;
        EXPECT_TRUE(back.raw.empty());
    }
}

TEST(OpcConfirmation, NewCallTakesAFreshCallIdAndCarriesLinePrivateData) {
    uint32_t callID = 1000;
    CstaRequest make = MakeRequest(23);
    std::memcpy(make.body.data(), "5001", 4);
    CstaRequest consult = MakeRequest(13);
    std::vector<uint8_t> body(356, 0);
    PutConnection(body, 0, {7, "5002", 0});
    consult.body = body;
    CstaRequest transfer = MakeRequest(51);
    body.assign(356, 0);
    PutConnection(body, 0, {8, "held", 0});
    PutConnection(body, 72, {9, "5003", 1});
    transfer.body = body;
    const std::pair<CstaRequest*, const char*> cases[] = {
        {&make, "5001"}, {&consult, "5002"}, {&transfer, "5003"}};
    uint32_t expected = 1000;
    for (const auto& [req, device] : cases) {
        CstaEvent conf = BuildConfirmation(*req, &callID);
        const ConnectionID nc = GetConnection(conf.body.data() + 8);
        EXPECT_EQ(nc.callID, expected++);
        EXPECT_EQ(nc.deviceID, device);
        EXPECT_EQ(nc.deviceIDType, 0u);
        EXPECT_EQ(conf.callID, nc.callID);
        ASSERT_EQ(conf.opc.size(), 8u);
        EXPECT_EQ(LoadLE32(&conf.opc[0]), 0u);  // LineHandle
        EXPECT_EQ(LoadLE32(&conf.opc[4]), 2u);  // LineType
    }
    EXPECT_EQ(callID, 1003u);
    // The party list of Transfer is empty, at offset 0.
    CstaEvent conf = BuildConfirmation(transfer, &callID);
    EXPECT_EQ(LoadLE32(&conf.body[8 + 72]), 0u);
    EXPECT_EQ(LoadLE32(&conf.body[8 + 76]), 0u);
}

TEST(OpcConfirmation, UniversalFailureCarriesErrorAndPeripheralErrorCode) {
    CstaEvent e = BuildUniversalFailure(MakeRequest(21, "u", 9, 10), 12, 99);
    EXPECT_EQ(e.eventClass, 5);
    EXPECT_EQ(e.eventType, 53);
    ASSERT_EQ(e.body.size(), 12u);
    EXPECT_EQ(LoadLE32(&e.body[0]), 9u);
    EXPECT_EQ(LoadLE32(&e.body[4]), 10u);
    EXPECT_EQ(LoadLE32(&e.body[8]), 12u);
    ASSERT_EQ(e.opc.size(), 4u);
    EXPECT_EQ(LoadLE32(&e.opc[0]), 99u);
    EXPECT_EQ(e.strings[0], "u");
}

TEST(OpcEvent, MessageLayoutAndItsLimits) {
    CstaEvent e;
    e.peripheralID = 5000;
    e.callID = 42;
    e.connectionDeviceIDType = 1;
    e.mrDomainID = 1;
    e.strings[0] = "abcde";
    e.strings[1] = "1001";
    e.headerPeripheralID = 5000;
    e.eventClass = 4;
    e.eventType = 57;
    e.body.assign(20, 0);
    e.raw.assign(4, 1);
    e.opc.assign(8, 2);
    std::vector<uint8_t> b;
    std::string error;
    ASSERT_TRUE(WriteEvent(e, &b, &error)) << error;
    // 244, then 8 + 8 + 16 x 4 bytes of strings, the header, body, raw, opc.
    const size_t h = 244 + 8 + 8 + 16 * 4;
    ASSERT_EQ(b.size(), h + 6 + 20 + 4 + 8);
    EXPECT_EQ(LoadLE32(&b[8]), 42u);
    EXPECT_EQ(LoadLE32(&b[208]), 20u);
    EXPECT_EQ(LoadLE32(&b[212]), 4u);
    EXPECT_EQ(LoadLE32(&b[216]), 8u);
    EXPECT_EQ(LoadLE32(&b[220]), 1u);
    EXPECT_EQ(LoadLE16(&b[h + 2]), 4u);
    EXPECT_EQ(LoadLE16(&b[h + 4]), 57u);

    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> mutate;
        const char* reason;
    };
    const std::vector<Case> lies = {
        {"short", [](auto& v) { v.resize(200); }, "shorter"},
        {"body above 1304", [](auto& v) { PutLE32(v, 208, 1305); }, "above 1304"},
        {"raw above 990", [](auto& v) { PutLE32(v, 212, 991); }, "above 990"},
        {"opc above 2872", [](auto& v) { PutLE32(v, 216, 2873); }, "above 2872"},
        {"body beyond message", [](auto& v) { PutLE32(v, 208, 1000); }, "lengths add up"},
        {"string count", [](auto& v) { PutLE16(v, 244 + 8 + 8 + 4 * 15, 0xFFF0); }, "string 18"},
        {"trailing", [](auto& v) { v.push_back(0); }, "lengths add up"},
    };
    for (const auto& c : lies) {
        std::vector<uint8_t> v = b;
        c.mutate(v);
        std::vector<uint8_t> exact(v);
        exact.shrink_to_fit();
        CstaEvent out;
        EXPECT_FALSE(ReadEvent(exact.data(), exact.size(), &out, &error)) << c.name;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
    }
    CstaEvent back;
    ASSERT_TRUE(ReadEvent(b.data(), b.size(), &back, &error)) << error;
    EXPECT_EQ(back.strings[0], "abcde");
    EXPECT_EQ(back.strings[1], "1001");
    EXPECT_EQ(back.raw, e.raw);
    EXPECT_EQ(back.opc, e.opc);

    // The writer refuses what the server's record cannot hold.
    e.body.assign(1305, 0);
    EXPECT_FALSE(WriteEvent(e, &b, &error));
    e.body.assign(1304, 0);
    e.opc.assign(2872, 0);
    EXPECT_FALSE(WriteEvent(e, &b, &error));  // 4000 bytes of parts: above 4008 in all
    EXPECT_NE(error.find("above 4008"), std::string::npos) << error;
}

TEST(OpcEventPrivateData, ServiceInitiatedLayout) {
    ServiceInitiatedPD pd;
    pd.skillGroup = 3;
    pd.line = 4;
    pd.lineType = 0;
    pd.device = 6;
    pd.coc = {88, "1001", 1};
    pd.agentExtension = "4711";
    pd.agentSkillTargetID = 5005;
    pd.routerCallKey[0] = 150;
    pd.routerCallKey[1] = 151;
    pd.corrData = "abcde";
    const std::vector<uint8_t> b = WriteServiceInitiatedPD(pd);
    ASSERT_EQ(b.size(), 116u + 8u);
    EXPECT_EQ(LoadLE32(&b[0]), 3u);
    EXPECT_EQ(LoadLE32(&b[12]), 6u);
    EXPECT_EQ(LoadLE32(&b[16]), 88u);
    EXPECT_EQ(GetText(&b[20], 64), "1001");
    EXPECT_EQ(LoadLE32(&b[84]), 1u);
    EXPECT_EQ(GetText(&b[88], 16), "4711");
    EXPECT_EQ(LoadLE32(&b[104]), 5005u);
    EXPECT_EQ(LoadLE32(&b[108]), 150u);
    EXPECT_EQ(LoadLE32(&b[112]), 151u);
    size_t at = 116;
    std::string corr;
    ASSERT_TRUE(ReadPadded(b.data(), b.size(), &at, &corr));
    EXPECT_EQ(corr, "abcde");
    // The extension field keeps its terminator.
    pd.agentExtension = std::string(20, 'x');
    EXPECT_EQ(GetText(&WriteServiceInitiatedPD(pd)[88], 16), std::string(15, 'x'));
}

TEST(OpcEventPrivateData, RecordingTargetInfoLayout) {
    RecordingTargetInfoPD pd;
    EXPECT_EQ(WriteRecordingTargetInfoPD(pd).size(), 24u + 9 * 4);
    for (size_t i = 0; i < 9; ++i) pd.strings[i] = std::string(i + 1, static_cast<char>('a' + i));
    pd.recorderStatus = 0;
    const std::vector<uint8_t> b = WriteRecordingTargetInfoPD(pd);
    EXPECT_EQ(LoadLE32(&b[0]), 0xFFFFFFFFu);
    EXPECT_EQ(LoadLE32(&b[4]), 3u);
    EXPECT_EQ(LoadLE32(&b[8]), 0x7FFFFFFFu);
    EXPECT_EQ(LoadLE32(&b[16]), 0x7FFFFFFFu);
    EXPECT_EQ(LoadLE32(&b[20]), 0u);
    size_t at = 24;
    for (size_t i = 0; i < 9; ++i) {
        std::string s;
        ASSERT_TRUE(ReadPadded(b.data(), b.size(), &at, &s));
        EXPECT_EQ(s, pd.strings[i]);
    }
    EXPECT_EQ(at, b.size());
}

TEST(OpcPaddedString, SizesAndBoundedReads) {
    EXPECT_EQ(PaddedSize(0), 4u);
    EXPECT_EQ(PaddedSize(1), 4u);
    EXPECT_EQ(PaddedSize(2), 8u);
    EXPECT_EQ(PaddedSize(5), 8u);
    EXPECT_EQ(PaddedSize(6), 12u);
    std::vector<uint8_t> b;
    AppendPadded(b, "AB");
    EXPECT_EQ(b, (std::vector<uint8_t>{2, 0, 'A', 'B', 0, 0, 0, 0}));
    size_t at = 0;
    std::string s;
    EXPECT_FALSE(ReadPadded(b.data(), 7, &at, &s));  // the fill is cut off
    EXPECT_EQ(at, 0u);
    EXPECT_FALSE(ReadPadded(b.data(), 1, &at, &s));
    EXPECT_TRUE(ReadPadded(b.data(), b.size(), &at, &s));
    EXPECT_EQ(s, "AB");
}

}  // namespace
}  // namespace opcpeer
