// The open road against the real parlo, parlo-mds and parlo-opc over real sockets: every
// refusal answers the OPEN_REQ's InvokeID with its code and leaves nothing of the session in
// the application; the opens that pass get their OPEN_CONF, events and agent binding.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/msgclass.h"
#include "ctimsg/names.h"
#include "ctimsg/msgtypes.h"
#include "tests/parlo/process/active_parlo.h"
#include "platform/byteorder.h"
#include "tests/support/pattern.h"

namespace {

using parlotest::Process;

class OpenRoad : public parlotest::ActiveParlo {
protected:
    // An OPEN_REQ the client program would not send (it checks the request first), over a
    // plain socket: the answer's (InvokeID, Status), or (0, 0) when none came.
    std::pair<uint32_t, uint32_t> RawOpen(uint32_t invokeID, uint32_t version, uint32_t mask, const char* clientID) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(std::stoi(port_)));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::pair<uint32_t, uint32_t> answer{0, 0};
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
            BaseMSGPtr open = catalog::CreateMessage(ctitype::OpenReqMSG);
            open->SetUINT(elementid::InvokeID, invokeID);
            open->SetUINT(elementid::VersionNumber, 24);
            open->SetUINT(elementid::IdleTimeout, 30);
            open->SetUINT(elementid::CTIPeripheralID, 0xFFFFFFFF);
            open->SetUINT(elementid::ServiceMask, 0x10);
            open->SetUINT(elementid::CallMsgMask, 0xFFFFFFFF);
            open->SetUINT(elementid::AgentStateMask, 0x3FFF);
            open->SetUINT(elementid::ConfigMsgMask, 0);
            open->SetSTRING(elementid::ClientID, clientID);
            uint8_t password[1] = {0};
            open->SetUNSPEC(elementid::ClientPassword, password, 0);
            // A valid request is encoded, then the version and the mask the test wants are put
            // in its fixed part.
            std::vector<uint8_t> frame(static_cast<size_t>(open->MaxEncodedSize(24) + 8));
            const int n = open->Validate(24) == 0
                        ? open->Encode(frame.data(), static_cast<int>(frame.size()), 24, 0x3FF, nullptr, 0)
                        : -1;
            auto put = [&](size_t at, uint32_t v) { plat::StoreBE32(frame.data() + at, v); };
            if (n > 28) {
                put(12, version);  // header (8), InvokeID, then VersionNumber
                put(24, mask);     // then IdleTimeout, CTIPeripheralID, ServiceMask
            }

            if (n > 0 && ::send(fd, frame.data(), static_cast<size_t>(n), MSG_NOSIGNAL) == n) {
                uint8_t reply[16];
                size_t got = 0;
                pollfd p{fd, POLLIN, 0};
                while (got < sizeof reply && ::poll(&p, 1, 20000) > 0) {
                    const ssize_t r = ::recv(fd, reply + got, sizeof reply - got, 0);
                    if (r <= 0) break;
                    got += static_cast<size_t>(r);
                }
                auto word = [&](size_t at) { return plat::LoadBE32(reply + at); };
                if (got == sizeof reply && word(4) == ctitype::FailureConfMSG) answer = {word(8), word(12)};
            }
        }
        ::close(fd);
        return answer;
    }

    // The application's account after it refused `clientID`'s open.
    struct Leftover {
        bool found = false;
        std::string code, record;
        int clients = -1, waiting = -1, bound = -1, requests = -1;
    };
    Leftover RefusalOf(const std::string& clientID) {
        Leftover l;
        const std::string key = "(" + clientID + ") refused with ";
        if (!parlo_->WaitText(key)) return l;
        const std::string& out = parlo_->Output();
        const size_t at = out.find(key);
        const std::string line = out.substr(at, out.find('\n', at) - at);
        const std::vector<std::string> m = testsupport::Match(
            line, "refused with ([[:alnum:]_]+); record ([[:alnum:]_]+), clients (-?[0-9]+), waiting ([0-9]+), "
                  "bound agents ([0-9]+), OPC requests ([0-9]+)");
        if (m.empty()) return l;
        l.found = true;
        l.code = m[1];
        l.record = m[2];
        l.clients = std::stoi(m[3]);
        l.waiting = std::stoi(m[4]);
        l.bound = std::stoi(m[5]);
        l.requests = std::stoi(m[6]);
        return l;
    }


};

constexpr const char* kAllEvents = "ServiceMask=0x10";

// The client prints numbers in hex.
std::string Hex(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

// Every refusal of the road, in an order where each case finds what it needs: the agent
// device of 1002 exists after its inconsistent open; the wait conflict keeps one session.
TEST_F(OpenRoad, EveryRefusalAnswersTheInvokeIDAndLeavesNothing) {
    Opc("arm-answer 98 status=5 path=77", "rule for type 98 path 77 set");
    struct Case {
        const char* clientID;
        std::vector<std::string> fields;
        const char* code;
        int clients = 0, waiting = 0;  // what stays of the sessions the test holds
    };
    const Case cases[] = {
        {"exclusive", {"ServiceMask=0x11", "CTIPeripheralID=5000", "AgentID=1002"}, "E_CTI_INVALID_SERVICE_MASK"},
        {"control-alone", {"ServiceMask=0x04"}, "E_CTI_INVALID_SERVICE_MASK"},
        {"supervisor-alone", {"ServiceMask=0x80"}, "E_CTI_INVALID_SERVICE_MASK"},
        {"arm-no-path", {"ServiceMask=0x400"}, "E_CTI_INVALID_MR_DOMAIN"},
        {"arm-refused", {"ServiceMask=0x400", "ApplicationPathID=77"}, "E_CTI_INVALID_MR_DOMAIN"},
        {"not-supervisor", {"ServiceMask=0x81", "CTIPeripheralID=5000", "AgentID=1002"}, "E_CTI_INVALID_SERVICE_MASK"},
        {"no-agent-supervisor", {"ServiceMask=0x81", "CTIPeripheralID=5000", "AgentID=7777"}, "E_CTI_INVALID_AGENT_DATA"},
        {"unknown-peripheral", {"ServiceMask=0x01", "CTIPeripheralID=6000", "AgentID=1001"},
         "E_CTI_INVALID_PERIPHERAL_ID"},
        {"wrong-extension", {"ServiceMask=0x01", "CTIPeripheralID=5000", "AgentID=1002", "AgentExtension=4999"},
         "E_CTI_INCONSISTENT_AGENT_DATA"},
        {"instrument-of-another", {"ServiceMask=0x01", "CTIPeripheralID=5000", "AgentID=1001", "AgentInstrument=4002"},
         "E_CTI_INCONSISTENT_AGENT_DATA"},
    };
    // What the client program will not send: a service bit the version forbids, a version
    // above 24 (the road refuses it; versions 0, 1 and 4 have no layout to decode, and the
    // older versions' forbidden bits are the unit tests' rows).
    const struct {
        const char* clientID;
        uint32_t version, mask;
        uint32_t code;
    } raw[] = {
        {"forbidden", 24, 0x8000, 19},     // E_CTI_INVALID_SERVICE_MASK
        {"new-version", 25, 0x10, 1},      // E_CTI_INVALID_VERSION
    };
    uint32_t rawInvoke = 60;
    for (const auto& c : raw) {
        SCOPED_TRACE(c.clientID);
        const auto answer = RawOpen(++rawInvoke, c.version, c.mask, c.clientID);
        EXPECT_EQ(rawInvoke, answer.first) << parlo_->Output();
        EXPECT_EQ(c.code, answer.second) << StatusCodeName(static_cast<int32_t>(answer.second));
        // Refused by the road, or before it: no record either way.
        if (parlo_->Output().find(std::string("(") + c.clientID + ") refused with ") != std::string::npos) {
            const Leftover l = RefusalOf(c.clientID);
            EXPECT_EQ("gone", l.record);
            EXPECT_EQ(0, l.clients);
        }
    }

    int invoke = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.clientID);
        std::vector<std::string> fields = c.fields;
        fields.push_back(std::string("ClientID=") + c.clientID);
        fields.push_back("InvokeID=" + std::to_string(++invoke));
        auto client = Client(fields);
        (void)client->WaitExit(30000);
        const std::string conf = LineOf(*client, "FAILURE_CONF");
        EXPECT_NE(std::string::npos, conf.find("InvokeID:" + Hex(invoke) + " ")) << client->Output();
        EXPECT_NE(std::string::npos, conf.find(std::string("Status:") + c.code)) << client->Output();
        const Leftover l = RefusalOf(c.clientID);
        EXPECT_TRUE(l.found) << parlo_->Output();
        EXPECT_EQ(c.code, l.code);
        EXPECT_EQ("gone", l.record);
        EXPECT_EQ(c.clients, l.clients);
        EXPECT_EQ(c.waiting, l.waiting);
        EXPECT_EQ(0, l.bound);
        EXPECT_EQ(0, l.requests);
    }

    // Two sessions wait for the logged-out 1001: another identity loses with 10.
    auto first = Client({"ServiceMask=0x01", "CTIPeripheralID=5000", "AgentID=1001", "ClientID=waiter"});
    ASSERT_TRUE(first->WaitText("OPEN_CONF")) << first->Output() << parlo_->Output();
    auto second = Client({"ServiceMask=0x01", "CTIPeripheralID=5000", "AgentID=1001", "ClientID=rival", "InvokeID=7"});
    (void)second->WaitExit(30000);
    EXPECT_NE(std::string::npos, LineOf(*second, "FAILURE_CONF").find("Status:E_CTI_DEVICE_IN_USE"))
        << second->Output();
    EXPECT_NE(std::string::npos, LineOf(*second, "FAILURE_CONF").find("InvokeID:0x7 ")) << second->Output();
    const Leftover l = RefusalOf("rival");
    ASSERT_TRUE(l.found) << parlo_->Output();
    EXPECT_EQ("gone", l.record);
    EXPECT_EQ(1, l.clients);  // the first still waits
    EXPECT_EQ(1, l.waiting);
    EXPECT_EQ(0, l.bound);
    EXPECT_EQ(0, l.requests);
}

// With AgentLoginRequired a logged-out agent's session is refused instead of parked.
class OpenRoadLoginRequired : public OpenRoad {
protected:
    void BeforeStart() override { parlotest::SetDword(parlotest::kConfigKey, "AgentLoginRequired", 1); }
};

TEST_F(OpenRoadLoginRequired, ALoggedOutAgentIsRefused) {
    auto agent = Client({"ServiceMask=0x01", "CTIPeripheralID=5000", "AgentID=1001", "ClientID=early", "InvokeID=12"});
    ASSERT_TRUE(agent->WaitText("FAILURE_CONF")) << agent->Output() << parlo_->Output();
    EXPECT_NE(std::string::npos, LineOf(*agent, "FAILURE_CONF").find("InvokeID:0xc ")) << agent->Output();
    EXPECT_NE(std::string::npos, LineOf(*agent, "FAILURE_CONF").find("Status:E_CTI_AGENT_NOT_LOGGED_ON"))
        << agent->Output();
    const Leftover l = RefusalOf("early");
    ASSERT_TRUE(l.found) << parlo_->Output();
    EXPECT_EQ("gone", l.record);
    EXPECT_EQ(0, l.clients);
    EXPECT_EQ(0, l.waiting);
    EXPECT_EQ(0, l.bound);
    EXPECT_EQ(0, l.requests);
}

// The session layer's refusals come before the road: the road never sees them.
TEST_F(OpenRoad, SessionLevelRefusalsComeFirst) {
    // A second OPEN_REQ on an open session.
    auto again = Client({kAllEvents, "ClientID=twice"},
                        "OPEN_REQ InvokeID=33 VersionNumber=24 IdleTimeout=30 CTIPeripheralID=0xFFFFFFFF "
                        "ServiceMask=0x10 CallMsgMask=0 AgentStateMask=0 ConfigMsgMask=0 ClientID=twice "
                        "ClientPassword=\n");
    ASSERT_TRUE(again->WaitText("FAILURE_CONF")) << again->Output();
    EXPECT_NE(std::string::npos, LineOf(*again, "FAILURE_CONF").find("InvokeID:0x21 ")) << again->Output();
    EXPECT_NE(std::string::npos, LineOf(*again, "FAILURE_CONF").find("Status:E_CTI_SESSION_ALREADY_OPEN"))
        << again->Output();
    auto holder = Client({kAllEvents, "ClientID=uii-holder", "UniqueInstanceID=desk-9"});
    ASSERT_TRUE(holder->WaitText("OPEN_CONF")) << holder->Output();
    auto twin = Client({kAllEvents, "ClientID=uii-twin", "InvokeID=32", "UniqueInstanceID=desk-9"});
    ASSERT_TRUE(twin->WaitText("FAILURE_CONF")) << twin->Output();
    EXPECT_NE(std::string::npos, LineOf(*twin, "FAILURE_CONF").find("InvokeID:0x20 ")) << twin->Output();
    EXPECT_NE(std::string::npos, LineOf(*twin, "FAILURE_CONF").find("Status:E_CTI_DUPLICATE_UNIQUE_INSTANCE_ID"))
        << twin->Output();
    EXPECT_EQ(std::string::npos, parlo_->Output().find("(uii-twin) refused"));
    EXPECT_EQ(std::string::npos, parlo_->Output().find("(twice) refused"));
}

// ALL_EVENTS: OPEN_CONF with the session type, PG status, OPC time and the peripherals; once
// a peripheral is online every ALL_EVENTS session hears of it at each ALL_EVENTS open; a
// CLIENT_MONITOR session sees the opens.
TEST_F(OpenRoad, NonAgentOpensGetPeripheralsSystemEventsAndTheOpenedEvent) {
    auto monitor = Client({"ServiceMask=0x40", "ClientID=watcher"});
    ASSERT_TRUE(monitor->WaitText("OPEN_CONF")) << monitor->Output();
    auto all = Client({kAllEvents, "ClientID=all1", "CTIPeripheralID=-1"});
    ASSERT_TRUE(all->WaitText("OPEN_CONF")) << all->Output() << parlo_->Output();
    const std::string conf = LineOf(*all, "OPEN_CONF");
    EXPECT_NE(std::string::npos, conf.find("SessionType:1")) << conf;
    EXPECT_NE(std::string::npos, conf.find("PGStatus:")) << conf;
    EXPECT_NE(std::string::npos, conf.find("CCTimestamp:")) << conf;
    EXPECT_NE(std::string::npos, conf.find("NumPeripherals:1")) << conf;
    EXPECT_NE(std::string::npos, conf.find("FltPeripheralID:5000")) << conf;
    ASSERT_TRUE(monitor->WaitText("CLIENT_SESSION_OPENED_EVENT")) << monitor->Output();
    EXPECT_NE(std::string::npos, LineOf(*monitor, "CLIENT_SESSION_OPENED_EVENT").find("ClientID:\"all1\""))
        << monitor->Output();

    auto one = Client({kAllEvents, "ClientID=one", "CTIPeripheralID=5000"});
    ASSERT_TRUE(one->WaitText("OPEN_CONF")) << one->Output();
    EXPECT_NE(std::string::npos, LineOf(*one, "OPEN_CONF").find("NumPeripherals:1")) << one->Output();
    auto other = Client({kAllEvents, "ClientID=other", "CTIPeripheralID=4444"});
    ASSERT_TRUE(other->WaitText("OPEN_CONF")) << other->Output();
    EXPECT_NE(std::string::npos, LineOf(*other, "OPEN_CONF").find("NumPeripherals:0")) << other->Output();

    // Peripheral 5000 online: the event itself, then one more at the next ALL_EVENTS open.
    Opc("pg-status status=0 id=3 arg1=5000", "send CTI_PG_STATUS_EVENT");
    ASSERT_TRUE(all->WaitText("SYSTEM_EVENT")) << all->Output();
    auto late = Client({kAllEvents, "ClientID=late"});
    ASSERT_TRUE(late->WaitText("SYSTEM_EVENT")) << late->Output() << parlo_->Output();
    EXPECT_NE(std::string::npos, LineOf(*late, "SYSTEM_EVENT").find("SystemEventArg1:0x1388")) << late->Output();
    for (Process* p : {all.get(), one.get(), other.get()}) {
        (void)p->WaitCount("MsgType:SYSTEM_EVENT ", 2, 10000);
        EXPECT_EQ(2u, p->Count("MsgType:SYSTEM_EVENT ")) << p->Output();
    }
    EXPECT_EQ(1u, late->Count("MsgType:SYSTEM_EVENT ")) << late->Output();
}

// A logged-in agent is bound at once: OPEN_CONF with its state and its device monitor, the
// call at its device; a call on its line the server did not know is created and reported.
TEST_F(OpenRoad, LoggedInAgentIsBoundAndItsCallsReported) {
    auto all = Client({kAllEvents, "ClientID=all"});
    ASSERT_TRUE(all->WaitText("OPEN_CONF")) << all->Output();
    auto agent = Client({"ServiceMask=0x01", "CTIPeripheralID=5000", "AgentID=1002", "ClientID=desk2"});
    ASSERT_TRUE(agent->WaitText("OPEN_CONF")) << agent->Output() << parlo_->Output();
    const std::string conf = LineOf(*agent, "OPEN_CONF");
    EXPECT_NE(std::string::npos, conf.find("AgentState:TALKING")) << conf;
    EXPECT_EQ(std::string::npos, conf.find("MonitorID:0 ")) << conf;
    EXPECT_NE(std::string::npos, conf.find("AgentExtension:\"4002\"")) << conf;
    ASSERT_TRUE(all->WaitText("BEGIN_CALL_EVENT")) << all->Output() << parlo_->Output();
    EXPECT_NE(std::string::npos, LineOf(*all, "BEGIN_CALL_EVENT").find("ConnectionCallID:3001")) << all->Output();
    EXPECT_TRUE(opc_->WaitText("CTI_SEND_CALL_DATA_IND")) << opc_->Output();

    // The same identity again replaces the session; another one is refused.
    auto again = Client({"ServiceMask=0x01", "CTIPeripheralID=5000", "AgentID=1002", "ClientID=desk2"});
    ASSERT_TRUE(again->WaitText("OPEN_CONF")) << again->Output() << parlo_->Output();
    ASSERT_TRUE(agent->WaitText("FAILURE_EVENT")) << agent->Output();
    EXPECT_NE(std::string::npos, LineOf(*agent, "FAILURE_EVENT").find("Status:E_CTI_NEW_SESSION_OPENED"))
        << agent->Output();
    auto intruder = Client({"ServiceMask=0x01", "CTIPeripheralID=5000", "AgentID=1002", "ClientID=intruder"});
    ASSERT_TRUE(intruder->WaitText("FAILURE_CONF")) << intruder->Output();
    EXPECT_NE(std::string::npos, LineOf(*intruder, "FAILURE_CONF").find("Status:E_CTI_DEVICE_IN_USE"))
        << intruder->Output();
    const Leftover l = RefusalOf("intruder");
    ASSERT_TRUE(l.found) << parlo_->Output();
    EXPECT_EQ("gone", l.record);
    EXPECT_EQ(0, l.bound);
}

// A logged-out agent: OPEN_CONF with its state, and the session waits for the login.
TEST_F(OpenRoad, LoggedOutAgentIsConfirmedAndWaits) {
    auto agent = Client({"ServiceMask=0x01", "CTIPeripheralID=5000", "AgentID=1001", "ClientID=desk1"});
    ASSERT_TRUE(agent->WaitText("OPEN_CONF")) << agent->Output() << parlo_->Output();
    EXPECT_NE(std::string::npos, LineOf(*agent, "OPEN_CONF").find("AgentState:LOGOUT"))
        << agent->Output();
}

// An agent-reporting open waits for OPC's answer on its path: 0 confirms it.
TEST_F(OpenRoad, AgentReportingOpenWaitsForItsPath) {
    Opc("arm-answer 98 none path=55", "rule for type 98 path 55 set");
    auto arm = Client({"ServiceMask=0x400", "ApplicationPathID=55", "ClientID=arm"});
    ASSERT_TRUE(opc_->WaitText("no answer to type 98 by rule")) << opc_->Output();
    const std::string& out = opc_->Output();
    const size_t at = out.find("recv ARM_APP_PATH_UP_REQ");
    ASSERT_NE(std::string::npos, at) << out;
    const std::string line = out.substr(at, out.find('\n', at) - at);
    const std::vector<std::string> m = testsupport::Match(line, "invoke (0x[0-9a-f]+) session ([0-9]+)");
    ASSERT_FALSE(m.empty()) << line;
    EXPECT_EQ(std::string::npos, arm->Output().find("OPEN_CONF")) << "confirmed before the path's answer";
    Opc("arm-event 99 u32@0=" + m[1] + " u32@4=0 u32@8=55 u32@12=" + m[2] + " u8@16=1",
        "send ARM_APP_PATH_UP_RESP");
    ASSERT_TRUE(arm->WaitText("OPEN_CONF")) << arm->Output() << parlo_->Output();
}

}  // namespace
