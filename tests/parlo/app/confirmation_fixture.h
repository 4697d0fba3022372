#pragma once
// OPC's confirmations injected into the running application of the call-control fixture:
// outstanding records the test makes, CTI_CSTA_MESSAGEs that answer them, and agents with
// their devices in the model.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctimsg/servicemask.h"
#include "opcmsg/cstaconfirmations.h"
#include "opcmsg/opctypes.h"
#include "parlo/app/clientcb.h"
#include "tests/parlo/app/callcontrol_fixture.h"
#include "tests/parlo/app/csta_message_builder.h"

namespace calltest {

using opctest::Bytes;

// A session that watches the peripheral and controls calls, without receiving every event.
constexpr uint32_t kMonitorControl = servicemask::PERIPHERAL_MONITOR | servicemask::CLIENT_CONTROL;

// The CSTA event type of a confirmation class, from its row.
#define CONF_TYPE(Class) kCSTAConfirmations[static_cast<int>(CSTAConfRow::Class)].eventType

// The private data of a confirmation that carries a line: handle and type.
inline Bytes Line(uint32_t handle, uint32_t type) {
    Bytes b;
    opctest::Add32(b, handle);
    opctest::Add32(b, type);
    return b;
}
inline Bytes NewConnection(int32_t callID, const char* device, uint32_t type = 0) {
    Bytes b;
    opctest::AddConn(b, static_cast<uint32_t>(callID), device, type);
    return b;
}

class ConfirmationTest : public CallControlTest {
protected:
    // The SessionID of the open session with that ClientID.
    static int32_t SessionOf(const std::string& clientID) {
        model::ServerLockGuard guard(model::ServerLock());
        for (ClientCB* c : ClientCB::GetAllClients())
            if (c->GetClientID() == clientID) return c->GetSessionID();
        ADD_FAILURE() << "no session " << clientID;
        return -1;
    }
    // Opens a session that is not agent-mode; its SessionID, or -1 when it did not open.
    int32_t OpenSession(Client& c, uint32_t services, const char* clientID) {
        return Open(c, services, clientID) ? SessionOf(clientID) : -1;
    }
    // An outstanding record of the session's request; the confirmation names its OPC invoke ID.
    OPCReq* Record(int32_t sessionID, uint32_t clientInvokeID) {
        OPCReq* r = OPCReq::Allocate(sessionID, clientInvokeID, ++opcInvokeID_);
        r->ReceiveTime = plat::FileTimeNow();
        return r;
    }
    // OPC's confirmation of `type` for the record, with the body fields and private data.
    void Confirm(uint16_t type, const OPCReq* record, const Bytes& fields = {}, const Bytes& opc = {},
                 const Bytes& raw = {}) {
        cstatest::CSTAMessageBuilder b =
            cstatest::Confirmation(type, record->OPCInvokeID, record->ClientInvokeID, "", fields, opc);
        b.raw = raw;
        Inject(CTI_CSTA_MESSAGE, b.Encode());
    }
    // An agent logged on at `instrument`, with the device of that ID.
    static Agent* AgentAt(const char* agentID, const char* instrument, int32_t skillTargetID) {
        auto* a = new Agent(kPeriph, 30, skillTargetID, 0, agentID, instrument, instrument, false);
        (void)a->SetDevice(Device(instrument));
        return a;
    }
    // A private call of the agent at its instrument, as a make-call confirmation leaves it.
    static Call* PrivateCall(Agent* agent, uint32_t callID) {
        Call* call = agent->AddPrivateCall(8, 16, model::ConnectionID(callID, 0, agent->GetInstrumentNumber().c_str()),
                                           "", false);
        EXPECT_NE(nullptr, call);
        return call;
    }
    static const Received* First(const std::vector<Received>& got, uint32_t type) {
        for (const Received& r : got)
            if (r.type == type) return &r;
        return nullptr;
    }

    uint32_t opcInvokeID_ = 0x01000000;
};

}  // namespace calltest
