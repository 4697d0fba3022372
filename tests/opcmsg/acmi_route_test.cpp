// The ACMI route messages: layouts, signed 16-bit fields, reading OPC's route request and
// refusing bodies that end early, and the trace texts.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "opcmsg/acmimsg.h"
#include "platform/byteorder.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Wire(const ACMIMsgBase& m) {
    Bytes b(m.GetLength() + 8, 0xEE);
    uint8_t* end = m.Serialize(b.data(), b.size());
    EXPECT_EQ(end, b.data() + m.GetLength());
    for (size_t i = m.GetLength(); i < b.size(); ++i) EXPECT_EQ(b[i], 0xEE) << "wrote past GetLength()";
    b.resize(m.GetLength());
    return b;
}

void Put32(Bytes& b, uint32_t v) {
    b.resize(b.size() + 4);
    plat::StoreLE32(b.data() + b.size() - 4, v);
}
void Put16(Bytes& b, uint16_t v) {
    b.resize(b.size() + 2);
    plat::StoreLE16(b.data() + b.size() - 2, v);
}
void PutText(Bytes& b, const std::string& s) {
    Put16(b, static_cast<uint16_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    b.resize(b.size() + ((s.size() + 6) & ~size_t{3}) - 2 - s.size(), 0);
}

// A route request as OPC sends it: 15 texts and an ECC block.
Bytes RouteRequest(int32_t eccSize) {
    Bytes b;
    for (uint32_t v : {1u, 5000u, 77u, 9u}) Put32(b, v);
    Put16(b, 3);       // DeviceIDType
    Put16(b, 0xFFFF);  // TimeOut
    Put32(b, 10);
    Put16(b, 0xFFFE);  // COCConnectionDeviceIDType
    Put16(b, 3);       // Options
    for (const char* t : {"8000", "5551234", "4001", "4002", "42"}) PutText(b, t);
    for (int i = 1; i <= 10; ++i) PutText(b, "var" + std::to_string(i) + std::string(20 + i, 'x'));
    Put32(b, static_cast<uint32_t>(eccSize));
    b.resize(b.size() + ((static_cast<size_t>(eccSize) + 7) & ~size_t{3}) - 4, 0x33);
    return b;
}

TEST(ACMIRoute, OutgoingLayouts) {
    ACMIRouteRegisterReqMsg reg;
    reg.SetInvokeID(0x01020304);
    reg.SetClientInvokeID(0xFFFFFFFF);
    reg.SetPeripheralID(5000);
    reg.SetAction(1);
    EXPECT_EQ(Wire(reg), (Bytes{4, 3, 2, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0x88, 0x13, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    reg.SetRoutePoint("8000");
    EXPECT_EQ(reg.GetLength(), 24u);
    EXPECT_EQ(reg.ToString(), "InvokeID = 16909060, Action = 1, RoutePoint = 8000\n");

    ACMIRouteEndEventMsg end;
    end.SetInvokeID(2);
    end.SetxRefID(77);
    end.SetStatus(1008);
    EXPECT_EQ(Wire(end), (Bytes{2, 0, 0, 0, 77, 0, 0, 0, 0xF0, 0x03, 0, 0}));
    EXPECT_EQ(end.ToString(), "InvokeID = 2, status = 1008\n");

    ACMIRouteSelectEventMsg select;
    EXPECT_EQ(select.GetLength(), 16u + 11u * 4u + 4u);
    Bytes b = Wire(select);
    EXPECT_EQ(Bytes(b.end() - 4, b.end()), Bytes(4, 0)) << "ECC size 0";
    select.SetInvokeID(5);
    select.SetControlFlags(1);
    select.SetEnterpriseQueueTime(2);
    select.SetRouteSelected("4001");
    select.SetCallVariable10("ten");
    EXPECT_EQ(select.ToString(), "");
    EXPECT_EQ(select.ToString(false), "InvokeID = 5, ControlFlags = 1, EnterpriseQueueTime = 2, RouteSelected = 4001\n");
    EXPECT_EQ(select.ToString(true), "InvokeID = 5, ControlFlags = 1, EnterpriseQueueTime = 2, RouteSelected = 4001"
                                     ", CallVariable1 = , CallVariable2 = , CallVariable3 = , CallVariable4 = "
                                     ", CallVariable5 = , CallVariable6 = , CallVariable7 = , CallVariable8 = "
                                     ", CallVariable9 = , CallVariable10 = ten\n");
    EXPECT_EQ(reg.GetMsgType() + end.GetMsgType() + select.GetMsgType(), 106u + 110u + 109u);
}

TEST(ACMIRoute, RegisterResponseAndRouteEndFromOPC) {
    Bytes resp;
    Put32(resp, 9);
    Put32(resp, 4);
    Put16(resp, 0xFFFF);
    Put16(resp, 0);
    ACMIRouteRegisterRespMsg r(resp.data(), resp.size());
    ASSERT_TRUE(r.IsValid());
    EXPECT_EQ(r.GetCause(), -1);
    EXPECT_EQ(r.GetLength(), 12u);
    EXPECT_EQ(r.ToString(), "InvokeID = 9, Cause = -1\n");
    ACMIRouteEndEventMsg end(resp.data(), resp.size());
    EXPECT_EQ(end.GetStatus(), -1);
    EXPECT_FALSE(ACMIRouteEndEventMsg(resp.data(), 11).IsValid());
}

TEST(ACMIRoute, RouteRequestIsReadWithSignedShortFieldsAndItsECC) {
    const Bytes b = RouteRequest(200);
    ACMIRouteRequestEventMsg m(b.data(), b.size());
    ASSERT_TRUE(m.IsValid());
    EXPECT_EQ(m.GetLength(), b.size());
    EXPECT_EQ(m.GetTimeOut(), -1);
    EXPECT_EQ(static_cast<uint16_t>(m.GetTimeOut()), 65535) << "what the CTI Timeout takes";
    EXPECT_EQ(m.GetOptions(), 3);
    EXPECT_EQ(m.GetCurrentRoute(), "8000");
    EXPECT_EQ(m.GetCED(), "42");
    EXPECT_EQ(m.GetCallVariable10(), "var10" + std::string(30, 'x'));
    int32_t size = 0;
    const uint8_t* ecc = m.GetExpandedCallContext(size);
    EXPECT_EQ(size, 200);
    EXPECT_EQ(ecc[199], 0x33);
    char vars[10][41];
    m.GetCallVariables(vars);
    EXPECT_EQ(std::string(vars[9]), std::string("var10" + std::string(30, 'x')).substr(0, 35));
    EXPECT_EQ(m.ToString(), "");
    EXPECT_EQ(m.ToString(false),
              "InvokeID = 1, CallID = 9, DeviceIDType = 3, TimeOut = -1, CurrentRoute = 8000, CallingDevice = 5551234, "
              "DeviceID = 4001, COCConnectionCallID= 10, COCConnectionDeviceID = 4002, "
              "COCConnectionDeviceIDType = -2 Options = 3\n");
    const std::string withVars = m.ToString(true);
    EXPECT_NE(withVars.find("COCConnectionDeviceIDType = -2, CallVariable1 = var1x"), std::string::npos);
    EXPECT_NE(withVars.find("\nCallVariable6 = var6"), std::string::npos);
    EXPECT_NE(withVars.find("\nCallVariable10 = var10xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx Options = 3\n"), std::string::npos);
    EXPECT_EQ(Wire(m), b) << "read and written back";

    const Bytes big = RouteRequest(2100);
    ACMIRouteRequestEventMsg capped(big.data(), big.size());
    ASSERT_TRUE(capped.IsValid());
    capped.GetExpandedCallContext(size);
    EXPECT_EQ(size, 2000);
}

TEST(ACMIRoute, TruncatedRouteRequestsAreRefused) {
    const Bytes whole = RouteRequest(9);
    for (size_t n = 0; n < whole.size(); ++n) {
        auto cut = std::make_unique<uint8_t[]>(n + 1);
        std::memcpy(cut.get(), whole.data(), n);
        ACMIRouteRequestEventMsg m(cut.get(), n);
        EXPECT_FALSE(m.IsValid()) << n;
        EXPECT_EQ(m.GetCurrentRoute(), "");
    }
    Bytes negative = RouteRequest(0);
    plat::StoreLE32(negative.data() + negative.size() - 4, static_cast<uint32_t>(-8));
    EXPECT_FALSE(ACMIRouteRequestEventMsg(negative.data(), negative.size()).IsValid());
}

TEST(ACMIRoute, MessagesAboveTheRoomAreNotWritten) {
    ACMIRouteSelectEventMsg m;
    std::array<CString, 10> vars;
    vars.fill(std::string(400, 'c'));
    m.SetCallVariables(vars);
    const Bytes ecc(2000, 1);
    m.SetExpandedCallContext(2000, ecc.data());
    ASSERT_GT(m.GetLength(), 4008u);
    Bytes buf(8192, 0xEE);
    EXPECT_EQ(m.Serialize(buf.data(), buf.size()), nullptr);
    EXPECT_EQ(buf, Bytes(8192, 0xEE));
}

}  // namespace
