// The client session record: its hash, its destruction, its console texts and the undoing
// of agent bindings and associations.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ctimsg/messages/messages.h"
#include "ctimsg/servicemask.h"
#include "parlo/model/modelutil.h"
#include "tests/parlo/app/client_fixture.h"

namespace {

using clienttest::ClientTest;

TEST_F(ClientTest, HashSharesBucketsAndRefusesNegativeIDs) {
    auto* five = new ClientCB(5, "five");
    auto* other = new ClientCB(1029, "other");  // 1029 mod 1024 = 5
    EXPECT_EQ(ClientCB::Find(5), five);
    EXPECT_EQ(ClientCB::Find(1029), other);
    EXPECT_EQ(ClientCB::Find(2053), nullptr);
    EXPECT_EQ(ClientCB::Count(), 2);

    // Out of range: traced, never hashed, never found.
    EXPECT_EQ(ClientCB::Find(-5), nullptr);
    EXPECT_EQ(ClientCB::Find(-1024), nullptr);
    auto* negative = new ClientCB(-7, "negative");
    EXPECT_EQ(ClientCB::Count(), 2);
    delete negative;

    ClientCB::DeleteBySessionID(5);
    EXPECT_EQ(ClientCB::Find(5), nullptr);
    EXPECT_EQ(ClientCB::Find(1029), other);
    ClientCB::DeleteBySessionID(5);  // unknown: nothing
    EXPECT_EQ(ClientCB::Count(), 1);
}

TEST_F(ClientTest, CreationDefaults) {
    ClientCB* c = new ClientCB(3, "desk");
    EXPECT_EQ(c->GetState(), ClientCB::OPEN_VALIDATION);
    EXPECT_EQ(c->GetVersion(), 24u);
    EXPECT_EQ(c->GetPeripheralID(), -1);
    EXPECT_EQ(c->GetWEXANumClients(), -1);
    EXPECT_EQ(c->GetFOSTRELNumClients(), 0);
    EXPECT_EQ(c->GetClientID(), "desk");
    EXPECT_TRUE(c->GetClientSignature().empty());
    EXPECT_EQ(c->GetAgent(), nullptr);
    EXPECT_FALSE(ClientCB::GetARMClientInfo(c));

    // The ARM record is shared: a look-up takes a reference, the record's end drops its own.
    ARMClientInfoPtr held = new ARMClientInfo(0, 12, new AppPathMemberList());
    c->SetARMClientInfo(held);
    {
        ARMClientInfoPtr again = ClientCB::GetARMClientInfo(c);
        EXPECT_EQ(again->ApplicationPathID, 12);
        EXPECT_EQ(held->RefCount(), 3);
    }
    ClientCB::DeleteBySessionID(3);
    EXPECT_EQ(held->RefCount(), 1);
}

TEST_F(ClientTest, DestructionUndoesEverythingInOrder) {
    Agent* agent = NewAgent(5000, "1001", "4711");
    ClientCB* c = new ClientCB(7, "desk");
    clienttest::Accept(c, clienttest::Services(servicemask::CLIENT_EVENTS));
    c->SetState(ClientCB::AGENT_LOGIN_WAIT);
    c->SetOpenReq(std::make_unique<OpenReqMSG>());
    seams.loginWait.Append(c);
    c->BindAgent(agent);
    model::ClientInfo info = c->Info();
    agent->SetClientCB(&info);
    AddToAssociateAgentList(c, "1001", 5000, 1, 0);
    AddToAssociateAgentList(c, "2002", 5000, 5, 0);  // an association beside the binding
    Agent* other = NewAgent(5000, "2002");
    other->AddAssociateNonVoiceClient(5, 7);
    CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 7, nullptr);
    CTICSTAMonitor::Alloc(CTICSTAMonitor::CallSubject, 7, nullptr);
    ASSERT_EQ(c->MonitorList().Count(), 2);
    const int freeBefore = CTICSTAMonitor::FreeCount();

    ClientCB::DeleteBySessionID(7);

    EXPECT_EQ(seams.steps, (std::vector<std::string>{
                               "SendAppPathDownInd state 5 with OPEN_REQ",
                               "UnregisterECCVariables 7",
                               "SetClientStatus 0 1001",
                               "SetClientStatus 0 2002",
                           }));
    EXPECT_EQ(seams.loginWait.Count(), 0);
    EXPECT_EQ(CTICSTAMonitor::FreeCount(), freeBefore + 2);
    EXPECT_EQ(ClientCB::Find(7), nullptr);
    EXPECT_EQ(ClientCB::Count(), 0);
    EXPECT_EQ(agent->ClientSessionID(), -1);
    EXPECT_EQ(other->GetAssociateNonVoiceSessionID(5), -1);
    ASSERT_EQ(seams.requests.size(), 2u);
    EXPECT_EQ(seams.requests[0].mrdIDs, std::vector<int32_t>{1});
    EXPECT_EQ(seams.requests[0].recordSessionID, 0);
    EXPECT_EQ(seams.requests[0].signature, "");
    EXPECT_EQ(seams.requests[1].mrdIDs, std::vector<int32_t>{5});
}

// A session replaced by a newer one for the same agent (same client, FAILURE_EVENT 11)
// lingers until its session goes; its end must leave the newer binding alone.
TEST_F(ClientTest, ReplacedAgentSessionLeavesTheNewBinding) {
    Agent* agent = NewAgent(5000, "1001");
    ClientCB* old = new ClientCB(1, "desk");
    ClientCB* fresh = new ClientCB(2, "desk");
    for (ClientCB* c : {old, fresh}) {
        clienttest::Accept(c, clienttest::Services(servicemask::CLIENT_EVENTS));
        c->BindAgent(agent);
    }
    model::ClientInfo info = fresh->Info();
    agent->SetClientCB(&info);

    ClientCB::DeleteBySessionID(1);
    EXPECT_EQ(agent->ClientSessionID(), 2);
    EXPECT_TRUE(seams.requests.empty());
    EXPECT_EQ(fresh->GetAgent(), agent);
}

// CloseClient and the destructor both go through ClearAgentAssociations: afterwards no
// agent names the session, for voice or any other domain, while links that a newer session
// took stay with it.
TEST_F(ClientTest, ClearingAssociationsLeavesNoAgentNamingTheSession) {
    struct Case {
        const char* name;
        std::vector<int32_t> mrds;
    } cases[] = {{"voice and chat", {1, 5}}, {"two non-voice", {5, 6}}, {"voice only", {1}}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Agent* agent = NewAgent(5000, "3003");
        ClientCB* c = new ClientCB(9, "supervisor");
        clienttest::Accept(c, clienttest::Services(0x10));
        model::ClientInfo info = c->Info();
        for (int32_t mrd : k.mrds) {
            AddToAssociateAgentList(c, "3003", 5000, mrd, 0);
            if (mrd == 1)
                agent->SetAssociateClientCB(&info);
            else
                agent->AddAssociateNonVoiceClient(mrd, 9);
        }
        seams.requests.clear();

        ClientCB::ClearAgentAssociations(c);

        EXPECT_TRUE(c->GetAssociatedAgents().empty());
        EXPECT_EQ(agent->AssociateSessionID(), -1);
        for (int32_t mrd : k.mrds) EXPECT_EQ(agent->GetAssociateNonVoiceSessionID(mrd), -1);
        ASSERT_EQ(seams.requests.size(), 1u);
        EXPECT_EQ(seams.requests[0].status, 0u);
        EXPECT_EQ(seams.requests[0].mrdIDs, k.mrds);
        ClientCB::DeleteBySessionID(9);
        Agent::RemoveAgent(-1, "");
    }

    // A link another session holds now is not this session's to undo.
    Agent* agent = NewAgent(5000, "3003");
    ClientCB* c = new ClientCB(9, "supervisor");
    AddToAssociateAgentList(c, "3003", 5000, 1, 0);
    AddToAssociateAgentList(c, "3003", 5000, 5, 0);
    agent->SetAssociateSessionID(11);
    agent->AddAssociateNonVoiceClient(5, 11);
    ClientCB::ClearAgentAssociations(c);
    EXPECT_EQ(agent->AssociateSessionID(), 11);
    EXPECT_EQ(agent->GetAssociateNonVoiceSessionID(5), 11);
}

TEST_F(ClientTest, AssociationListRules) {
    ClientCB* c = new ClientCB(4, "x");
    auto entries = [&] {
        std::vector<std::pair<std::string, std::vector<int32_t>>> out;
        for (const auto& e : c->GetAssociatedAgents())
            out.emplace_back(e->AgentID + "/" + std::to_string(e->PeripheralID), e->MRDIDs);
        return out;
    };
    using Entries = std::vector<std::pair<std::string, std::vector<int32_t>>>;

    AddToAssociateAgentList(c, "A", 5000, 1, 0);
    AddToAssociateAgentList(c, "A", 5000, 1, 0);
    EXPECT_EQ(entries(), (Entries{{"A/5000", {1}}}));
    AddToAssociateAgentList(c, "A", 5000, 5, 0);
    EXPECT_EQ(entries(), (Entries{{"A/5000", {1, 5}}}));
    AddToAssociateAgentList(c, "B", 5000, 1, 0);
    AddToAssociateAgentList(c, "A", 5001, 2, 0);  // another peripheral: its own entry
    EXPECT_EQ(entries(), (Entries{{"A/5001", {2}}, {"B/5000", {1}}, {"A/5000", {1, 5}}}));

    // Refused: no record, empty AgentID, PeripheralID or MRD ID below 1.
    AddToAssociateAgentList(nullptr, "A", 5000, 7, 0);
    AddToAssociateAgentList(c, "", 5000, 7, 0);
    AddToAssociateAgentList(c, "A", 0, 7, 0);
    AddToAssociateAgentList(c, "A", 5000, 0, 0);
    EXPECT_EQ(entries().size(), 3u);

    EXPECT_EQ(ClientCB::FindByAssociatedAgent("B", 5000), c);
    EXPECT_EQ(ClientCB::FindByAssociatedAgent("B", 5001), nullptr);
    EXPECT_EQ(ClientCB::FindByAssociatedAgent(nullptr, 5000), nullptr);

    RemoveFromAssociateAgentList(c, "A", 5000, 5);
    EXPECT_EQ(entries(), (Entries{{"A/5001", {2}}, {"B/5000", {1}}, {"A/5000", {1}}}));
    RemoveFromAssociateAgentList(c, "A", 5000, 9);  // not held: no change
    EXPECT_EQ(entries().size(), 3u);
    RemoveFromAssociateAgentList(c, "A", 5000, 1);  // last MRD: the entry goes
    AddToAssociateAgentList(c, "B", 5000, 6, 0);
    RemoveFromAssociateAgentList(c, "B", 5000, -1);  // whatever it holds
    EXPECT_EQ(entries(), (Entries{{"A/5001", {2}}}));

    EXPECT_TRUE(ContainsVoiceMRD({5, 1}));
    EXPECT_FALSE(ContainsVoiceMRD({5, 6}));
    EXPECT_FALSE(ContainsVoiceMRD({}));
}

TEST_F(ClientTest, DirectoryServesTheModel) {
    ClientCB* c = new ClientCB(12, "desk");
    clienttest::OpenValues values = clienttest::Services(0x10);
    values.version = 19;
    clienttest::Accept(c, values);
    model::ClientInfo info;
    ASSERT_TRUE(model::Clients().Find(12, info));
    EXPECT_EQ(info.sessionID, 12);
    EXPECT_STREQ(info.clientID, "desk");
    EXPECT_EQ(info.version, 19u);
    EXPECT_EQ(info.monitorList, &c->MonitorList());
    EXPECT_FALSE(model::Clients().Find(13, info));

    // A monitor allocated for the client joins its list through the directory.
    CTICSTAMonitor* m = CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 12, nullptr);
    EXPECT_EQ(c->MonitorList().First(), m);
    EXPECT_EQ(m->m_ClientVersion, 19u);

    model::Clients().AddToAssociateAgentList(12, "A", 5000, 1, 0);
    model::Clients().AddToAssociateAgentList(12, "A", 5000, 5, 0);
    EXPECT_EQ(model::Clients().AssociatedAgentMRDs(12, "A", 5000),
              (std::vector<std::vector<int32_t>>{{1, 5}}));
    model::Clients().RemoveFromAssociateAgentList(12, "A", 5000, -1);
    EXPECT_TRUE(model::Clients().AssociatedAgentMRDs(12, "A", 5000).empty());

    Agent* agent = NewAgent(5000, "1001");
    c->BindAgent(agent);
    model::Clients().ClearClientAgent(12);
    EXPECT_EQ(c->GetAgent(), nullptr);
}

TEST_F(ClientTest, ConfigClientsInBucketOrder) {
    for (int32_t id : {2, 1025, 1, 3}) {
        ClientCB* c = new ClientCB(id, "c");
        if (id != 3) c->SetConfigPeripheral(0);
    }
    std::vector<ClientCB*> out;
    ClientCB::GetConfigClients(out);
    std::vector<int32_t> ids;
    for (ClientCB* c : out) ids.push_back(c->GetSessionID());
    EXPECT_EQ(ids, (std::vector<int32_t>{1025, 1, 2}));
}

TEST_F(ClientTest, NamesAndFlags) {
    EXPECT_STREQ(ClientCB::StateName(0), "OPEN_VALIDATION");
    EXPECT_STREQ(ClientCB::StateName(6), "OPEN");
    EXPECT_STREQ(ClientCB::StateName(7), "(?\?INVALID_CLIENT_STATE?\?)");
    EXPECT_STREQ(ClientCB::StateName(0xFFFFFFFF), "(?\?INVALID_CLIENT_STATE?\?)");

    ClientCB* c = new ClientCB(1, "Tressik");
    EXPECT_FALSE(ClientCB::IsTressikClient(c));  // the signature counts, not the ClientID
    clienttest::Accept(c, clienttest::Signature("Tressik"));
    EXPECT_TRUE(ClientCB::IsTressikClient(c));
    clienttest::Accept(c, clienttest::Signature("tressik"));
    EXPECT_FALSE(ClientCB::IsTressikClient(c));
    clienttest::Accept(c, clienttest::Signature("Tressik2"));
    EXPECT_FALSE(ClientCB::IsTressikClient(c));

    EXPECT_FALSE(ClientCB::IsTraceOn(c, 0x01));
    c->SetTraceFlags(0x02);
    EXPECT_FALSE(ClientCB::IsTraceOn(c, 0x01));
    EXPECT_TRUE(ClientCB::IsTraceOn(c, 0x03));
}

TEST_F(ClientTest, DumpText) {
    ClientCB* c = new ClientCB(42, "desk 1");
    clienttest::OpenValues values = clienttest::Services(0x80000000u | 0x01 | 0x02 | 0x2000000);
    values.signature = "sig";
    values.host = {"pc7", "10.0.0.7", 51000};
    values.agentID = "1001";
    values.extension = "4711";
    values.instrument = "4711";
    clienttest::Accept(c, values);
    c->SetState(ClientCB::OPEN);
    AddToAssociateAgentList(c, "2002", 5000, 1, 0);
    AddToAssociateAgentList(c, "2002", 5000, 5, 0);
    AddToAssociateAgentList(c, "3003", 5001, 2, 0);
    CTICSTAMonitor* monitor = CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 42, nullptr);
    std::string monitorLine = "    ";
    monitor->GetDumpString(monitorLine);
    EXPECT_EQ(ClientCB::GetDumpString(c),
              "\nClientCB:\n"
              "    SessionID=42 Version=24 State=OPEN(6) Services=0x82000003(DCUZ) "
              "ClientID=\"desk 1\" Signature=\"sig\", ApplicationPathID=NA\n"
              "    HostName=pc7 HostAddress=10.0.0.7 HostPort=51000\n"
              "    AgentExtension=4711 AgentID=1001 AgentInstrument=4711\n" +
                  monitorLine +
              "\n Associated Agents:   \n "
              "    AccociateAgentID=3003 AssociatePeriph=5001 MRDIDs=2, "
              "    AccociateAgentID=2002 AssociatePeriph=5000 MRDIDs=1, 5, ");

    values.applicationPathID = 77;
    values.services = 0x10 | 0x20 | 0x04 | 0x08 | 0x40 | 0x1000000;
    clienttest::Accept(c, values);
    const std::string dump = ClientCB::GetDumpString(c);
    EXPECT_NE(dump.find("Services=0x100007c(APXMSR) "), std::string::npos) << dump;
    EXPECT_NE(dump.find("ApplicationPathID=77\n"), std::string::npos) << dump;
}

TEST_F(ClientTest, ListLines) {
    EXPECT_EQ(ClientCB::GetListHeader(),
              "Session   Time   Ver Flags      ClientID         AgentID  AgentExt  Signature         "
              "Host                  ConnectionType\tUniqueInstanceID\n");

    const int64_t created = clock_.RealtimeNs();
    ClientCB* c = new ClientCB(42, "desk");
    clienttest::OpenValues values = clienttest::Services(0x10 | 0x02);
    values.signature = "sig";
    values.host = {"pc7", "10.0.0.7", 51000};
    clienttest::Accept(c, values);
    EXPECT_EQ(ClientCB::GetListEntry(c),
              "42       00:00:00 24   AU       desk                                sig              "
              "pc7 (10.0.0.7:51000) N/A           \tN/A\n");

    // The age column: below three days as hours:minutes:seconds, then in days.
    struct Age {
        int64_t seconds;
        const char* text;
    } ages[] = {{3661, "01:01:01"}, {259199, "71:59:59"}, {259200, "  3 days"}, {864000, " 10 days"}};
    for (const Age& a : ages) {
        clock_.SetRealtimeNs(created + a.seconds * 1000000000);
        EXPECT_EQ(ClientCB::GetListEntry(c).substr(9, 8), a.text) << a.seconds;
    }

    // Agent columns (the session layer's columns, with a session: DispatchTest.TheListLine...).
    struct Columns {
        uint32_t mask;
        const char* agentID;
        const char* ext;
        const char* agentColumns;
        const char* flags;
    } columns[] = {
        {0x01, "", "", "* N/A *  * N/A * ", " C       "},
        {0x01 | 0x20, "1001", "4711", "1001     4711    ", " C       "},
        {0x01 | 0x40, "1001", "4711", "  *        *     ", " C   S   "},
        {0x20 | 0x80000000u, "1001", "4711", "                 ", "DP       "},
    };
    for (const Columns& k : columns) {
        clienttest::OpenValues masked = values;
        masked.services = k.mask;
        clienttest::Accept(c, masked);
        c->AdoptAgentNames(k.agentID, k.ext, "");
        const std::string line = ClientCB::GetListEntry(c);
        EXPECT_EQ(line.substr(22, 9), k.flags) << line;
        EXPECT_EQ(line.substr(49, 17), k.agentColumns) << line;
        EXPECT_NE(line.find("pc7 (10.0.0.7:51000) N/A           \tN/A\n"), std::string::npos) << line;
    }
}

// The session layer destroys records on its own thread while a console walks them under
// the server lock: run under ThreadSanitizer, this shows the hash rule holds.
TEST_F(ClientTest, DestroyerAndConsoleThreads) {
    constexpr int kRounds = 300;
    std::atomic<bool> done{false};
    std::atomic<int> walks{0};
    std::thread destroyer([&] {
        for (int round = 0; round < kRounds; ++round) {
            for (int32_t id = 1; id <= 8; ++id) {
                ClientCB* c = new ClientCB(id + 1024 * (round % 3), "client");
                AddToAssociateAgentList(c, "A", 5000, 1 + id % 3, 0);
            }
            for (int32_t id = 1; id <= 8; ++id) ClientCB::DeleteBySessionID(id + 1024 * (round % 3));
        }
        done = true;
    });
    std::thread console([&] {
        while (!done || walks < 2) {
            model::ServerLockGuard guard(model::ServerLock());
            std::string text;
            for (int32_t id = 1; id <= 2048 + 8; ++id)
                if (ClientCB* c = ClientCB::Find(id)) {
                    text += ClientCB::GetListEntry(c);
                    text += ClientCB::GetDumpString(c);
                }
            std::vector<ClientCB*> config;
            ClientCB::GetConfigClients(config);
            (void)ClientCB::FindByAssociatedAgent("A", 5000);
            ++walks;
        }
    });
    destroyer.join();
    console.join();
    EXPECT_EQ(ClientCB::Count(), 0);
    EXPECT_GE(walks.load(), 2);
}

}  // namespace
