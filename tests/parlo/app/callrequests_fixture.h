#pragma once
// Call-control requests as a client sends them, and the CSTA requests read back from what the
// server hands to the OPC link: the fixture of the call-control tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ctimsg/eccelement.h"
#include "ctimsg/expandedcallcontext.h"
#include "ctimsg/messages/msgclass.h"
#include "ctimsg/msgtypes.h"
#include "tests/parlo/app/callcontrol_fixture.h"

namespace calltest {

namespace el = elementid;

// A request of `type` naming the call this server never saw (9999 at "7777") wherever the
// type names a connection, every required field given.
inline BaseMSGPtr CallRequestOf(uint32_t type, uint32_t invokeID) {
    BaseMSGPtr m = catalog::CreateMessage(type);
    auto has = [&](uint32_t id) { return m->FindElement(id, 0, false) != nullptr; };
    m->SetUINT(el::InvokeID, invokeID);
    m->SetUINT(el::CTIPeripheralID, static_cast<uint32_t>(kPeriph));
    const uint32_t calls[] = {el::ConnectionCallID, el::ActiveConnCallID, el::OtherConnCallID, el::HeldConnCallID,
                              el::AgentConnectionCallID, el::SupervisorConnectionCallID};
    const uint32_t types[] = {el::ConnectionDeviceIDType, el::ActiveConnDeviceIDType, el::OtherConnDeviceIDType,
                              el::HeldConnDeviceIDType, el::AgentConnectionDeviceIDType,
                              el::SupervisorConnectionDeviceIDType};
    const uint32_t devices[] = {el::ConnectionDeviceID, el::ActiveConnDeviceID, el::OtherConnDeviceID,
                                el::HeldConnDeviceID, el::AgentConnectionDeviceID, el::SupervisorConnectionDeviceID};
    for (size_t i = 0; i < 6; ++i) {
        if (has(calls[i])) m->SetUINT(calls[i], 9999);
        if (has(types[i])) m->SetUSHORT(types[i], 0);
        if (has(devices[i])) m->SetSTRING(devices[i], "7777");
    }
    for (uint32_t id : {el::CallPlacementType, el::CallMannerType, el::AlertRings, el::CallOption, el::FacilityType,
                        el::AnsweringMachine, el::ConsultType, el::NumNamedVariables, el::NumNamedArrays,
                        el::AllocationState, el::DestinationCountry, el::AnswerDetectMode, el::AnswerDetectTime,
                        el::ToneDuration, el::SupervisoryAction, el::CalledDeviceType})
        if (has(id)) m->SetUSHORT(id, 0);
    for (uint32_t id : {el::Priority, el::PostRoute, el::Reservation})
        if (has(id)) m->SetBOOL(id, 0);
    for (uint32_t id : {el::AnswerDetectControl1, el::AnswerDetectControl2, el::PauseDuration, el::SkillGroupNumber})
        if (has(id)) m->SetUINT(id, 0);
    if (has(el::DialedNumberField)) m->SetSTRING(el::DialedNumberField, "5551234");
    if (has(el::OriginatingDeviceID)) m->SetSTRING(el::OriginatingDeviceID, "4100");
    if (has(el::CalledDeviceID)) m->SetSTRING(el::CalledDeviceID, "6000");
    if (has(el::DTMFString)) m->SetSTRING(el::DTMFString, "123#");
    if (type == MAKE_CALL_REQ) m->SetSTRING(el::AgentInstrument, "4100");
    return m;
}

// The call-control request types and the CSTA request each becomes.
struct ControlType {
    uint32_t type;
    uint16_t cstaType;
    bool readsCIL;
};
inline const std::vector<ControlType>& ControlTypes() {
    static const std::vector<ControlType> types = {
        {ALTERNATE_CALL_REQ, 1, true},        {ANSWER_CALL_REQ, 3, true},        {CLEAR_CALL_REQ, 7, true},
        {CLEAR_CONNECTION_REQ, 9, true},      {CONFERENCE_CALL_REQ, 11, false},  {CONSULTATION_CALL_REQ, 13, false},
        {DEFLECT_CALL_REQ, 15, true},         {HOLD_CALL_REQ, 21, true},         {MAKE_CALL_REQ, 23, false},
        {MAKE_PREDICTIVE_CALL_REQ, 25, false}, {RECONNECT_CALL_REQ, 39, true},   {RETRIEVE_CALL_REQ, 41, true},
        {TRANSFER_CALL_REQ, 51, false},       {SEND_DTMF_SIGNAL_REQ, 130, true}, {SUPERVISOR_ASSIST_REQ, 134, false},
        {EMERGENCY_CALL_REQ, 137, false},     {SUPERVISE_CALL_REQ, 140, false},
    };
    return types;
}

// Fields of a CSTA request read back: texts and words of the body and the private data.
inline std::string BodyText(const opcpeer::CstaRequest& r, size_t at, size_t width) {
    return at + width <= r.body.size() ? opcpeer::GetText(r.body.data() + at, width) : "<outside>";
}
inline uint32_t BodyWord(const opcpeer::CstaRequest& r, size_t at) {
    return at + 4 <= r.body.size() ? plat::LoadLE32(r.body.data() + at) : 0xDEADBEEF;
}
inline opcpeer::ConnectionID BodyConnection(const opcpeer::CstaRequest& r, size_t at) {
    return at + 72 <= r.body.size() ? opcpeer::GetConnection(r.body.data() + at) : opcpeer::ConnectionID{};
}
inline std::string PDText(const opcpeer::CstaRequest& r, size_t at, size_t width) {
    return at + width <= r.opc.size() ? opcpeer::GetText(r.opc.data() + at, width) : "<outside>";
}
inline uint32_t PDWord(const opcpeer::CstaRequest& r, size_t at) {
    return at + 4 <= r.opc.size() ? plat::LoadLE32(r.opc.data() + at) : 0xDEADBEEF;
}
inline uint16_t PDHalf(const opcpeer::CstaRequest& r, size_t at) {
    return at + 2 <= r.opc.size() ? plat::LoadLE16(r.opc.data() + at) : 0xDEAD;
}

// A call context in its binary form as sorted "name=value" and "name[index]=value" entries;
// array elements without a value are left out.
inline std::vector<std::string> ContextEntries(const uint8_t* data, int32_t size) {
    std::vector<std::string> out;
    if (size <= 0) return out;
    ExpandedCallContext context;
    if (context.SetECCBindata(size, data) != 0) return {"<bad>"};
    std::vector<NameValueStruct> list;
    (void)context.GetListByName(list);
    for (const NameValueStruct& v : list)
        if (v.isArray != 1 || !v.value.empty())
            out.push_back(v.name + (v.isArray == 1 ? "[" + std::to_string(v.index) + "]" : "") + "=" + v.value);
    std::sort(out.begin(), out.end());
    return out;
}

// Three configured call-context variables named with `prefix` for one test: "color" of at
// most 5 characters, "code" of 10 and the array "list" of two elements of 10.
class ContextVariables {
public:
    ContextVariables(int32_t firstID, const std::string& prefix) : first_(firstID) {
        EXPECT_EQ(ECC_SUCCESS, AddECCVariableDefinition(first_, prefix + "color", 5, 0, 0));
        EXPECT_EQ(ECC_SUCCESS, AddECCVariableDefinition(first_ + 1, prefix + "code", 10, 0, 0));
        EXPECT_EQ(ECC_SUCCESS, AddECCVariableDefinition(first_ + 2, prefix + "list", 10, 2, 1));
    }
    ~ContextVariables() {
        for (int32_t id = first_; id < first_ + 3; ++id) (void)DeleteECCVariableDefinition(id);
    }
    ContextVariables(const ContextVariables&) = delete;
    ContextVariables& operator=(const ContextVariables&) = delete;

private:
    int32_t first_;
};

class CallRequestTest : public CallControlTest {
protected:
    // A call with one connection at "4700" whose own context holds color "red" and code "c1"
    // (the variables named with `prefix`).
    static Call* CallWithContext(uint32_t callID, const std::string& prefix) {
        Call* call = NewCall(callID, {{"4700", 3}});
        ExpandedCallContext own;
        EXPECT_EQ(0, own.SetScalarValue(prefix + "color", "red"));
        EXPECT_EQ(0, own.SetScalarValue(prefix + "code", "c1"));
        int32_t size = 0;
        const uint8_t* data = nullptr;
        EXPECT_EQ(0, own.GetECCBindata(size, data));
        EXPECT_EQ(0, call->SetECCBinData(size, data));
        return call;
    }
    // Sends the request and expects exactly one answer of `answerType` (CONTROL_FAILURE_CONF
    // or FAILURE_CONF) with its InvokeID and `code`, nothing to OPC and no record left. The
    // session's events are passed over.
    void ExpectRefused(Client& c, BaseMSGPtr msg, uint32_t answerType, uint32_t code, const char* cilID = nullptr) {
        (void)Until(c, Fence());
        (void)capture_->Take();
        const int live = OPCReq::CountLive();
        const uint32_t invokeID = msg->GetUINT(el::InvokeID);
        ASSERT_TRUE(c.Send(*msg));
        Received r;
        do r = c.Read();
        while (r.type != 0 && r.type != kFailureConf && r.type != kControlFailureConf);
        ASSERT_EQ(answerType, r.type);
        EXPECT_EQ(invokeID, r.msg->GetUINT(el::InvokeID));
        if (answerType == kControlFailureConf) {
            EXPECT_EQ(code, r.msg->GetUSHORT(el::FailureCode));
            EXPECT_EQ(0u, r.msg->GetUINT(el::PeripheralErrorCode));
            const char* cil = r.msg->GetSTRING(el::WEXACILClientID);
            EXPECT_STREQ(cilID != nullptr ? cilID : "", cil != nullptr ? cil : "");
        } else {
            EXPECT_EQ(code, r.msg->GetUINT(el::Status));
        }
        for (const Received& more : Until(c, Fence()))
            EXPECT_TRUE(more.type != kFailureConf && more.type != kControlFailureConf) << "one answer only";
        EXPECT_TRUE(capture_->Take(kCstaMessage).empty()) << "nothing to OPC";
        EXPECT_EQ(live, OPCReq::CountLive()) << "no record left";
    }
    // Sends the request and reads back the CSTA request it became.
    opcpeer::CstaRequest ExpectSent(Client& c, BaseMSGPtr msg) {
        (void)capture_->Take();
        opcpeer::CstaRequest out;
        EXPECT_TRUE(c.Send(*msg));
        EXPECT_TRUE(NextCsta(&out));
        return out;
    }
};

}  // namespace calltest
