// The call data of make call, make predictive call, consultation, conference and transfer as
// it reaches OPC: absent texts, user-to-user data, call variables, the dialed-number form of
// transfer, the call context merged over the call's and cut to the configured lengths, the
// UTF-8 conversion of a Tressik session, and the merge failure that sends nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ctimsg/eccdefs.h"
#include "ctimsg/eccelement.h"
#include "ctimsg/expandedcallcontext.h"
#include "ctimsg/names.h"
#include "ctimsg/servicemask.h"
#include "tests/parlo/app/callrequests_fixture.h"

namespace {

using namespace calltest;
using namespace servicemask;

// Where the call data sits in each request's private data.
struct Layout {
    uint32_t type;
    const char* name;
    size_t variables, userToUser, wrapup, facilityCode, ecc;
    bool placing;  // make call and make predictive call
};
const Layout kLayouts[] = {
    {MAKE_CALL_REQ, "make", 32, 442, 577, 617, 760, true},
    {MAKE_PREDICTIVE_CALL_REQ, "predictive", 48, 458, 593, 633, 812, true},
    {CONSULTATION_CALL_REQ, "consultation", 32, 442, 577, 617, 804, false},
    {CONFERENCE_CALL_REQ, "conference", 28, 438, 573, 613, 820, false},
    {TRANSFER_CALL_REQ, "transfer", 32, 442, 577, 617, 808, false},
};
const Layout& LayoutOf(uint32_t type) {
    for (const Layout& l : kLayouts)
        if (l.type == type) return l;
    return kLayouts[0];
}

uint8_t PDByte(const opcpeer::CstaRequest& r, size_t at) { return at < r.opc.size() ? r.opc[at] : 0xEE; }

// The call context a request carried (ContextEntries).
std::vector<std::string> ContextOf(const opcpeer::CstaRequest& r, const Layout& l) {
    const uint32_t size = PDWord(r, l.ecc);
    if (size > 2000 || l.ecc + 4 + size > r.opc.size()) return {"<outside>"};
    return ContextEntries(r.opc.data() + l.ecc + 4, static_cast<int32_t>(size));
}

class CallDataTest : public CallRequestTest {
protected:
    void SetUp() override {
        CallRequestTest::SetUp();
        controllerClient_ = std::make_unique<Client>(Port());
        ASSERT_TRUE(Open(*controllerClient_, ALL_EVENTS | CLIENT_CONTROL, "controller"));
    }
    void TearDown() override {
        controllerClient_.reset();
        CallRequestTest::TearDown();
    }
    BaseMSGPtr Req(uint32_t type) { return CallRequestOf(type, ++invoke_); }
    // Sets the call context and its counts.
    static void Context(BaseMSG& m, const std::vector<NameValueStruct>& entries) {
        uint16_t scalars = 0, arrays = 0;
        for (const NameValueStruct& e : entries) {
            const int rc = e.isArray == 1 ? m.SetECC(el::ExpandedCallContxt, e.name, e.index, e.value)
                                          : m.SetECC(el::ExpandedCallContxt, e.name, e.value);
            ASSERT_EQ(0, rc) << e.name;
            (e.isArray == 1 ? arrays : scalars)++;
        }
        m.SetUSHORT(el::NumNamedVariables, scalars);
        m.SetUSHORT(el::NumNamedArrays, arrays);
    }

    ContextVariables variables_{7301, "user."};
    std::unique_ptr<Client> controllerClient_;
    uint32_t invoke_ = 300;
};

TEST_F(CallDataTest, AbsentTextsGoOutAsEachRequestHasThem) {
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(l.name);
        const opcpeer::CstaRequest sent = ExpectSent(*controllerClient_, Req(l.type));
        for (size_t slot : {size_t{0}, size_t{9}}) {
            const uint8_t first = PDByte(sent, l.variables + 41 * slot);
            EXPECT_EQ(l.placing ? 0x00 : 0xFF, first) << "call variable " << slot + 1;
        }
        EXPECT_EQ(l.placing ? 0x00 : 0xFF, PDByte(sent, l.wrapup)) << "wrap-up data";
        EXPECT_EQ(l.placing ? 0u : 2u, PDHalf(sent, l.userToUser));
        EXPECT_EQ(0xFFFFu, PDHalf(sent, l.userToUser + 2));
        if (!l.placing) {
            EXPECT_EQ(0xFF, PDByte(sent, l.userToUser + 4));
            EXPECT_EQ(0x00, PDByte(sent, l.userToUser + 5));
        }
        EXPECT_EQ("", PDText(sent, l.facilityCode, 40));
        EXPECT_EQ(0u, PDWord(sent, l.ecc)) << "no call context";
    }
}

TEST_F(CallDataTest, PresentDataGoesOutCutToItsRoom) {
    const std::string variable(40, 'v');  // as long as a call variable may be
    std::vector<uint8_t> userToUser(131);  // as long as the protocol carries
    for (size_t i = 0; i < userToUser.size(); ++i) userToUser[i] = static_cast<uint8_t>(i + 1);
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(l.name);
        BaseMSGPtr m = Req(l.type);
        m->SetSTRING(el::CallVariable1, variable);
        m->SetSTRING(el::CallVariable10, "ten");
        m->SetSTRING(el::CallWrapupData, "wrap");
        m->SetSTRING(el::FacilityCode, "fac");
        m->SetUNSPEC(el::UserToUserField, userToUser.data(), static_cast<int>(userToUser.size()));
        const opcpeer::CstaRequest sent = ExpectSent(*controllerClient_, std::move(m));
        EXPECT_EQ(variable, PDText(sent, l.variables, 41));
        EXPECT_EQ("ten", PDText(sent, l.variables + 41 * 9, 41));
        EXPECT_EQ("wrap", PDText(sent, l.wrapup, 40));
        EXPECT_EQ("fac", PDText(sent, l.facilityCode, 40));
        EXPECT_EQ(130u, PDHalf(sent, l.userToUser)) << "cut to 130";
        EXPECT_EQ(std::vector<uint8_t>(userToUser.begin(), userToUser.begin() + 130),
                  std::vector<uint8_t>(sent.opc.begin() + static_cast<long>(l.userToUser + 4),
                                       sent.opc.begin() + static_cast<long>(l.userToUser + 134)));
        if (l.type == MAKE_CALL_REQ || l.type == MAKE_PREDICTIVE_CALL_REQ || l.type == CONSULTATION_CALL_REQ) {
            const OPCReq* record = OPCReq::Find(sent.invokeID);
            ASSERT_NE(nullptr, record);
            EXPECT_EQ(static_cast<uint32_t>(kPeriph), record->PeripheralID);
            EXPECT_EQ("5551234", record->DialedNumber);
        }
    }
}

TEST_F(CallDataTest, MakeCallsSendTheirDevicesAndKeepThemInTheRecord) {
    BaseMSGPtr m = Req(MAKE_CALL_REQ);
    m->SetSTRING(el::CallControlTable, "cct7");
    opcpeer::CstaRequest sent = ExpectSent(*controllerClient_, std::move(m));
    EXPECT_EQ("4100", BodyText(sent, 0, 64));
    EXPECT_EQ("5551234", BodyText(sent, 64, 64));
    EXPECT_EQ(0u, PDWord(sent, 8)) << "ConsultType";
    EXPECT_EQ("cct7", PDText(sent, 744, 16));
    EXPECT_EQ("4100", OPCReq::Find(sent.invokeID)->Instrument);

    m = Req(MAKE_PREDICTIVE_CALL_REQ);
    m->SetSTRING(el::OriginatingLineID, "line9");
    m->SetUSHORT(el::AllocationState, 1);
    sent = ExpectSent(*controllerClient_, std::move(m));
    EXPECT_EQ("4100", BodyText(sent, 0, 64)) << "OriginatingDeviceID";
    EXPECT_EQ(1u, BodyWord(sent, 128));
    EXPECT_EQ("line9", PDText(sent, 753, 40));
    EXPECT_EQ("4100", OPCReq::Find(sent.invokeID)->Instrument);
}

// Transfer to a number: no held connection is looked for; the held party is the device as
// named with call ID -1 and type 0, and the number goes in the private data.
TEST_F(CallDataTest, TransferToADialedNumber) {
    for (uint32_t type : {TRANSFER_CALL_REQ, CONFERENCE_CALL_REQ}) {
        SCOPED_TRACE(type);
        const size_t dialedAt = type == TRANSFER_CALL_REQ ? 744 : 733;
        BaseMSGPtr m = Req(type);
        m->SetUINT(el::HeldConnCallID, 0xFFFFFFFF);
        m->SetUSHORT(el::HeldConnDeviceIDType, 1);
        m->SetSTRING(el::HeldConnDeviceID, "4999");
        m->SetSTRING(el::DialedNumberField, "5550100");
        opcpeer::CstaRequest sent = ExpectSent(*controllerClient_, std::move(m));
        const opcpeer::ConnectionID held = BodyConnection(sent, 0);
        EXPECT_EQ(0xFFFFFFFFu, held.callID);
        EXPECT_EQ("4999", held.deviceID);
        EXPECT_EQ(0u, held.deviceIDType);
        EXPECT_EQ(9999u, BodyConnection(sent, 72).callID) << "ActiveCall";
        EXPECT_EQ("5550100", PDText(sent, dialedAt, 64));
        if (type == TRANSFER_CALL_REQ) {
            EXPECT_EQ(1u, PDWord(sent, 8)) << "ConsultType";
        }

        // Without a number the held connection is the named one and no number goes out.
        m = Req(type);
        m->SetUINT(el::HeldConnCallID, 0xFFFFFFFF);
        m->SetSTRING(el::DialedNumberField, "");
        sent = ExpectSent(*controllerClient_, std::move(m));
        EXPECT_EQ("7777", BodyConnection(sent, 0).deviceID);
        EXPECT_EQ("", PDText(sent, dialedAt, 64));
    }
}

// The conference and transfer records: which calls are private, the dialed digits of the
// call the context comes from, and where the conference's two calls meet.
TEST_F(CallDataTest, ConferenceRecordsThePrivateCallsAndWhereTheCallsMeet) {
    SetDynamic(CTIRegistry::MaxPrivateCallsPerAgent, 3);
    Client agent(Port());
    ASSERT_TRUE(OpenAgent(agent, "1002", "desk1002"));
    (void)Until(agent, Fence());
    Call* active = app_->AddPrivateCallAtInstrument(nullptr, kPeriph, 16, 6301, "4002", 0, "5550001", "4002", "t");
    ASSERT_NE(nullptr, active);
    Call* held = NewCall(6302, {{"4002", 4}, {"5550002", 3}});
    held->m_DialedNumber = "5550002";
    BaseMSGPtr m = Req(CONFERENCE_CALL_REQ);
    m->SetUINT(el::ActiveConnCallID, 6301);
    m->SetSTRING(el::ActiveConnDeviceID, "4002");
    m->SetUINT(el::HeldConnCallID, 6302);
    m->SetSTRING(el::HeldConnDeviceID, "4002");
    m->SetSTRING(el::AgentInstrument, "4002");
    const opcpeer::CstaRequest sent = ExpectSent(*controllerClient_, std::move(m));
    const OPCReq* record = OPCReq::Find(sent.invokeID);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(0x2u, record->PrivateCallFlags) << "the active call is private, the held one not";
    EXPECT_EQ(6301u, record->CallID);
    EXPECT_EQ(6302u, record->OtherCallID);
    EXPECT_EQ("5550002", record->DialedNumber) << "the held call's digits";
    EXPECT_EQ("4002", record->Instrument) << "both calls are at the agent's device";
}

TEST_F(CallDataTest, TheContextIsMergedOverTheCallsAndCutAndAnUnknownNameLeftOut) {
    CallWithContext(6401, "user.");
    (void)srvtest::Events::Take();
    BaseMSGPtr m = Req(CONSULTATION_CALL_REQ);
    m->SetUINT(el::ActiveConnCallID, 6401);
    m->SetSTRING(el::ActiveConnDeviceID, "4700");
    Context(*m, {{"user.color", 0, 0, "magenta"},   // one longer than 5: cut
                 {"user.nothere", 0, 0, "x"},       // not configured: left out
                 {"user.list", 1, 1, "second"}});
    const opcpeer::CstaRequest sent = ExpectSent(*controllerClient_, std::move(m));
    EXPECT_EQ(6401u, sent.connection.callID);
    const std::vector<std::string> expected = {"user.code=c1", "user.color=magen", "user.list[1]=second"};
    EXPECT_EQ(expected, ContextOf(sent, LayoutOf(CONSULTATION_CALL_REQ)));
    const auto events = srvtest::Events::Take();
    EXPECT_EQ(1u, srvtest::Events::CountText(events, "CTIApplication::MergeECCData: Failed to find ECC variable named "
                                                     "\"[Expanded Call Context tracing disabled]\""));
    EXPECT_EQ(1u, srvtest::Events::CountText(events, "Truncating ECC variable \"[Expanded Call Context tracing "
                                                     "disabled]\""));
}

TEST_F(CallDataTest, AMergeThatFailsAnswersItsStatusAndSendsNothing) {
    ExpandedCallContext probe;
    const int code = probe.SetArrayValue("user.list", 5, "beyond");
    ASSERT_NE(0, code);
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(l.name);
        BaseMSGPtr m = Req(l.type);
        Context(*m, {{"user.color", 0, 0, "ok"}, {"user.list", 1, 5, "beyond"}});
        ExpectRefused(*controllerClient_, std::move(m), kFailureConf, ECCErrorToCTIError(code, 1));
    }
}

// A Tressik session's texts come in UTF-8 and go out in the local code page (CP1252 here)
// unless DisableUTF8Conversion was set at start; the context's length test follows the
// conversion.
class TressikTest : public CallDataTest {
protected:
    opcpeer::CstaRequest MakeCallFromTressik() {
        Client tressik(Port());
        EXPECT_TRUE(Open(tressik, ALL_EVENTS | CLIENT_CONTROL, "tressik1", "Tressik"));
        BaseMSGPtr m = Req(MAKE_CALL_REQ);
        m->SetSTRING(el::CallVariable1, "caf\xC3\xA9");
        m->SetSTRING(el::CallWrapupData, "\xC3\xA9t\xC3\xA9");
        // Six characters in twelve bytes: within the 10 of user.code once converted.
        Context(*m, {{"user.code", 0, 0, "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"}});
        return ExpectSent(tressik, std::move(m));
    }
};
class TressikUnconvertedTest : public TressikTest {
protected:
    TressikUnconvertedTest() { disableUTF8_ = 1; }
};

TEST_F(TressikTest, TextsAreConvertedToTheLocalCodePage) {
    const opcpeer::CstaRequest sent = MakeCallFromTressik();
    const Layout& l = LayoutOf(MAKE_CALL_REQ);
    EXPECT_EQ("caf\xE9", PDText(sent, l.variables, 41));
    EXPECT_EQ("\xE9t\xE9", PDText(sent, l.wrapup, 40));
    EXPECT_EQ(std::vector<std::string>{"user.code=" + std::string(6, '\xE9')}, ContextOf(sent, l));
}

TEST_F(TressikUnconvertedTest, WithTheConversionDisabledTextsGoAsTheyCame) {
    const opcpeer::CstaRequest sent = MakeCallFromTressik();
    const Layout& l = LayoutOf(MAKE_CALL_REQ);
    EXPECT_EQ("caf\xC3\xA9", PDText(sent, l.variables, 41));
    EXPECT_EQ("\xC3\xA9t\xC3\xA9", PDText(sent, l.wrapup, 40));
    EXPECT_EQ(std::vector<std::string>{"user.code=\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"}, ContextOf(sent, l))
        << "unconverted, the ten bytes of the limit";
}

}  // namespace
