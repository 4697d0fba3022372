#pragma once
// The model's recording ports with the real client directory over ClientCB, and recording
// seams in place of the application and the session layer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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
        steps.push_back("SendAppPathDownInd state " + std::to_string(client.m_State) +
                        (client.m_OpenReq != nullptr ? " with OPEN_REQ" : ""));
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
