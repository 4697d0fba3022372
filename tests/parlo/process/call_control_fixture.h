#pragma once
// Call control against the real parlo, parlo-mds and parlo-opc: sessions on real sockets
// send requests, the stand-in OPC prints each CSTA request that reached it field by field
// ("parlo-opc: csta NAME invoke 0x.. Field=value ..."), and the tests read both ends.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/parlo/process/active_parlo.h"
#include "tests/parlo/process/cti_session.h"

namespace parlotest {

// The fixed fields every call-placing request must carry, at their defaults.
inline const std::string kPlacing =
    " CallPlacementType=0 CallMannerType=0 AlertRings=0 CallOption=0 FacilityType=0 AnsweringMachine=0"
    " Priority=0 PostRoute=0";
inline const std::string kNoEcc = " NumNamedVariables=0 NumNamedArrays=0";

inline std::string HexOf(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", v);
    return text;
}

class CallControl : public ActiveParlo {
protected:
    // A session of ServiceMask `mask` (and more OPEN_REQ words), open; null (with a failure)
    // when the server did not open it.
    std::unique_ptr<CtiSession> Open(const std::string& clientID, uint32_t mask,
                                     std::vector<std::string> words = {}) {
        words.push_back("ClientID=" + clientID);
        // Requests to OPC carry it; a confirmation finds the session by it after a failover.
        words.push_back("UniqueInstanceID=" + clientID + "-uii");
        words.push_back("ServiceMask=" + HexOf(mask));
        words.push_back("IdleTimeout=0xFFFFFFFF");
        auto s = std::make_unique<CtiSession>(port_, words, firstInvoke_);
        firstInvoke_ += 0x1000;
        const std::string open = s->Opened();
        EXPECT_NE(open, "") << clientID << ": " << s->All() << s->Error() << parlo_->Output();
        return open.empty() ? nullptr : std::move(s);
    }
    // The agent-mode session of the stand-in's agent (1001 logged out, 1002 talking, 1003
    // supervisor; instruments 4001 to 4003), with CLIENT_CONTROL besides `more` services.
    std::unique_ptr<CtiSession> OpenAgent(const std::string& agentID, uint32_t more = 0,
                                          std::vector<std::string> words = {}) {
        words.insert(words.end(), {"CTIPeripheralID=5000", "AgentID=" + agentID});
        return Open("desk" + agentID + "-" + std::to_string(firstInvoke_), 0x05 | more, words);
    }

    // The stand-in's field line of the CSTA request that carried ClientInvokeID `invoke`,
    // with the header line before it ("recv ... uii ..."): waits up to ms; "" when none came.
    struct Csta {
        std::string header, fields;
        bool found() const { return !fields.empty(); }
    };
    Csta CstaOf(uint32_t invoke, int ms = 20000) {
        const std::string key = " client " + HexOf(invoke) + " periph ";
        Csta c;
        if (!opc_->WaitText(key, ms)) return c;
        const std::string& out = opc_->Output();
        const size_t at = out.find(key);
        const size_t start = out.rfind('\n', at) + 1;
        c.header = out.substr(start, out.find('\n', at) - start);
        // "... type N NAME invoke 0xID client ...": the field line is "csta NAME invoke 0xID ...".
        const size_t invokeAt = c.header.find(" invoke 0x");
        const size_t nameAt = c.header.rfind(' ', invokeAt - 1) + 1;
        const std::string head = "parlo-opc: csta " + c.header.substr(nameAt, invokeAt - nameAt) + " invoke " +
                                 c.header.substr(invokeAt + 8, c.header.find(' ', invokeAt + 8) - invokeAt - 8) + " ";
        if (!opc_->WaitText(head, ms)) return c;
        const size_t p = opc_->Output().find(head);
        // The whole line: a long one may have been read only in part so far.
        while (opc_->Output().find('\n', p) == std::string::npos)
            if (!opc_->WaitCount("\n", opc_->Count("\n") + 1, ms)) return c;
        c.fields = opc_->Output().substr(p, opc_->Output().find('\n', p) - p);
        return c;
    }
    // A script line for the stand-in that prints `ack` once done, waited for anew each time.
    void OpcAgain(const std::string& line, const std::string& ack) {
        const size_t before = opc_->Count(ack);
        Opc(line, ack);
        ASSERT_TRUE(opc_->WaitCount(ack, before + 1)) << opc_->Output();
    }
    // Table 3 of the stand-in: ECC variables the server learns ("ID/MAXLEN/MAXARRAY/ARRAY/
    // ENABLED/FLAG/NAME" each), once the server says it added them.
    void EccVariables(const std::vector<std::string>& vars) {
        // The server is configured already: only updates reach it.
        std::string line = "config 3 update=1";
        for (const std::string& v : vars) line += " var=" + v;
        const std::string added = std::to_string(vars.size()) + " Added records of the ExpandedCallVariables table.";
        const size_t before = parlo_->Count(added);
        OpcAgain(line, "send CTI_CONFIGURE_REQ");
        ASSERT_TRUE(parlo_->WaitCount(added, before + 1)) << parlo_->Output();
    }

    // Peripheral 5000 (internal type 30) again, now flagged (its multiline word), once the
    // server has taken it.
    void FlagPeripheral() {
        const std::string added = "1 Added records of the PeripheralConfigs table.";
        ASSERT_TRUE(parlo_->WaitText(added)) << parlo_->Output();
        const size_t before = parlo_->Count(added);
        OpcAgain("config 11 update=1 peripheral=5000/30/0/1", "send CTI_CONFIGURE_REQ");
        ASSERT_TRUE(parlo_->WaitCount(added, before + 1)) << parlo_->Output();
    }

    // How many CSTA requests the stand-in has printed so far.
    size_t CstaCount() { return opc_->Count("parlo-opc: recv CTI_CSTA_MESSAGE "); }

    // The session's unique instance ID, as the stand-in saw it on a request: "uii \"...\"".
    static std::string UiiOf(const Csta& c) {
        const size_t at = c.header.find(" uii \"");
        return at == std::string::npos ? "" : c.header.substr(at + 6, c.header.find('"', at + 6) - at - 6);
    }

    uint32_t firstInvoke_ = 0x100;
};

}  // namespace parlotest
