#pragma once
// The model's recording ports with the real client directory over ClientCB, and recording
// seams in place of the application and the session layer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "nuvlib/stdqueue.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/clientdirectory.h"
#include "parlo/app/clientseams.h"
#include "parlo/model/agent.h"
#include "parlo/model/csta.h"
#include "tests/parlo/model/recording_ports.h"
#include "tests/support/fake_clock.h"

namespace clienttest {

struct StatusRequest {
    int32_t recordSessionID;
    uint32_t status;
    std::string agentID;
    int32_t peripheralID;
    std::vector<int32_t> mrdIDs;
    std::string signature;
};

class RecordingSeams : public ClientSeams {
public:
    RecordingSeams() { loginWait.SetLinkOffset(ClientCB::LoginWaitLinkOffset()); }

    StdQueue& AgentLoginWaitQueue() override { return loginWait; }
    void UnregisterECCVariables(int32_t sessionID) override {
        steps.push_back("UnregisterECCVariables " + std::to_string(sessionID));
    }
    void SendAppPathDownInd(ClientCB& client) override {
        steps.push_back("SendAppPathDownInd state " + std::to_string(client.GetState()) +
                        (client.GetOpenReq() != nullptr ? " with OPEN_REQ" : ""));
    }
    void SendSetClientStatusRequest(int32_t recordSessionID, uint32_t status,
                                    const std::shared_ptr<ClientAssociatedAgent>& agent,
                                    const char* signature) override {
        requests.push_back(
            {recordSessionID, status, agent->AgentID, agent->PeripheralID, agent->MRDIDs, signature});
        steps.push_back("SetClientStatus " + std::to_string(status) + " " + agent->AgentID);
    }
    void CountedClientGone() override { ++countedGone; }

    StdQueue loginWait;
    std::vector<std::string> steps;
    std::vector<StatusRequest> requests;
    int countedGone = 0;
};

// What a test gives a record through the open road's own step (ClientCB::AcceptOpenRequest).
struct OpenValues {
    uint32_t services = 0;
    std::string signature;  // empty: the ClientID
    uint32_t version = 24;
    uint32_t applicationPathID = 0;  // 0: not in the request
    ClientCB::Host host;
    // The agent names the request gives (empty: not given) and its CTIPeripheralID; with any
    // of them the record also takes the agent claim (ClaimAgentOfOpenRequest).
    std::string agentID, extension, instrument;
    int32_t peripheralID = 5000;
};

inline OpenValues Services(uint32_t services) {
    OpenValues v;
    v.services = services;
    return v;
}
inline OpenValues Signature(const std::string& signature) {
    OpenValues v;
    v.signature = signature;
    return v;
}

inline BaseMSGPtr OpenRequestOf(const ClientCB& record, const OpenValues& v) {
    auto open = std::make_unique<OpenReqMSG>();
    open->SetUINT(elementid::InvokeID, 9);
    open->SetUINT(elementid::VersionNumber, v.version);
    open->SetUINT(elementid::IdleTimeout, 30);
    open->SetINT(elementid::CTIPeripheralID, v.peripheralID);
    open->SetUINT(elementid::ServiceMask, v.services);
    open->SetUINT(elementid::CallMsgMask, 0xFFFFFFFF);
    open->SetUINT(elementid::AgentStateMask, 0x3FFF);
    open->SetUINT(elementid::ConfigMsgMask, 0);
    open->SetSTRING(elementid::ClientID, record.GetClientID());
    if (!v.signature.empty()) open->SetSTRING(elementid::ClientSignature, v.signature);
    if (v.applicationPathID != 0) open->SetUINT(elementid::ApplicationPathID, v.applicationPathID);
    if (!v.agentID.empty()) open->SetSTRING(elementid::AgentID, v.agentID);
    if (!v.extension.empty()) open->SetSTRING(elementid::AgentExtension, v.extension);
    if (!v.instrument.empty()) open->SetSTRING(elementid::AgentInstrument, v.instrument);
    return open;
}

// The record takes the values as the open road gives them; its OPEN_REQ stays pending only
// when `keepRequest`.
inline void Accept(ClientCB* record, const OpenValues& v, bool keepRequest = false) {
    record->AcceptOpenRequest(OpenRequestOf(*record, v), v.host, 0);
    if (!v.agentID.empty() || !v.extension.empty() || !v.instrument.empty()) record->ClaimAgentOfOpenRequest();
    if (!keepRequest) record->TakeOpenReq().reset();
}

class ClientTest : public testsupport::FakeClockTest {
protected:
    ClientTest() {
        model::InstallPorts({&ports, &ports, &directory, &ports});
        CTICSTADevice::InitHashTables();
        CTICSTAMonitor::InitHashTable();
        ClientCB::InitHash();
        (void)SetClientSeams(&seams);
    }
    ~ClientTest() override {
        ClientCB::DeleteAll();
        Agent::RemoveAgent(-1, "");
        (void)SetClientSeams(nullptr);
    }

    static Agent* NewAgent(int32_t periph, const char* agentID, const char* ext = "") {
        static int32_t nextSkillTarget = 100;
        return new Agent(periph, 48, nextSkillTarget++, 0, agentID, ext, nullptr, false);
    }

    modeltest::RecordingPorts ports;
    ClientCBDirectory directory;
    RecordingSeams seams;
};

}  // namespace clienttest
