#pragma once
// The stand-in OPC's agent side: the byte layouts of the agent messages, written on their own
// from the message tables (apart from the server's readers, so that tests compare two
// readings), an agent table per peripheral, the answers to the server's agent-state and
// client-status requests, and the script commands that inject agent messages.
//
// Script commands (values may be "quoted"; numbers decimal or 0x hex, negative ones wrap):
//   agent PERIPH AGENTID [type=N] [stid=N] [ext=T] [inst=T] [state=N] [supervisor=N]
//         [sig=T] [team=N] [groups=WORD/STID/STATE,...|none]
//         [lines=INDEX/TYPE/CALL/SRCTYPE/SRC/DSTTYPE/DST,...|none]
//                                   adds or replaces an agent of the table
//   agent-event PERIPH AGENTID [FIELD=V...] [+ PERIPH AGENTID [FIELD=V...]]... [count=N]
//                                   CTI_AGENT_EVENT, one record per agent, each from the
//                                   table (state and identity) with chosen fields over it;
//                                   the agent's state in the table follows the record
//         fields: type sgstate state reason sgdur dur stid team sgstid sg numlines curline
//                 clientstatus mrd tasks maxtasks maxbeyond mode avail dir
//                 ext inst sig term uii
//   agent-state PERIPH AGENTID [invoke=N] [client=N] [uii=T] [state=N]
//                                   an unsolicited CTI_GET_AGENT_STATE_RESP (invoke -1)
//   agent-removed PERIPH [AGENTID]  CTI_AGENT_REMOVED_IND (no AgentID: an empty one); the
//                                   agent (or, for none or "-1", the peripheral's agents)
//                                   leaves the table
//   pg-status [status=N] [id=N] [arg1=N] [arg2=N] [arg3=N] [text=T]
//                                   CTI_PG_STATUS_EVENT
//   client-status-result N          the result of later CTI_SET_CLIENT_STATUS_RESPs (0 at
//                                   first)
//   raw TYPE HEX                    any OPC type with the given body bytes
// For the load figures:
//   agents N FIRSTID [periph=5000] [ext=E] [stid=S] [state=3] [team=0]
//                                   N agents with AgentIDs FIRSTID.., extensions and
//                                   instruments E.. (FIRSTID + 500000 by default),
//                                   SkillTargetIDs S.. (FIRSTID + 1000000), all in `state`
//                                   (AVAILABLE), one skill group and one idle line each
//   agent-events RATE COUNT [periph=5000] [from=AGENTID] [agents=N] [per=K]
//                                   COUNT CTI_AGENT_EVENT records at RATE records a second
//                                   (K a message, 1 by default), paced on the platform
//                                   clock, to the peripheral's agents in table order from
//                                   `from` (N of them; all by default) in turn; each record
//                                   toggles its agent between AVAILABLE and NOT_READY (with
//                                   a new reason code) so that every one is a change, and
//                                   carries the time it was sent as its TerminalDeviceName
//                                   ("@@" and 16 hex digits of the monotonic ns, followed
//                                   by '-'), the stamp parlo-load reads back
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "peers/opc/opc_wire.h"

namespace opcpeer {

constexpr uint8_t kGetAgentStateReq = 12;
constexpr uint8_t kGetAgentStateResp = 13;
constexpr uint8_t kAgentEvent = 14;
constexpr uint8_t kAgentRemovedInd = 15;
constexpr uint8_t kSetClientStatusReq = 16;
constexpr uint8_t kSetClientStatusResp = 17;
constexpr uint8_t kPGStatusEvent = 39;

// What an agent-state request asks (CTI_GET_AGENT_STATE_REQ's fields).
struct GetAgentStateReq {
    uint32_t invokeID = 0, peripheralID = 0, mrDomainID = 0, skillTargetID = 0, clientInvokeID = 0;
    std::string uniqueInstanceID, extension, agentID, instrument;
};

// The bodies the stand-in sends.
struct AgentSkillGroup {
    uint32_t numberWord = 0xFFFFFFFF;  // number in bits 0-23, priority in 24-31
    uint32_t skillTargetID = 0;
    int16_t state = 9;
};
struct AgentLine {
    uint32_t index = 0, type = 3, callID = 0xFFFFFFFF, sourceType = 0, destType = 0;
    std::string source, dest;
};

struct AgentStateResp {
    uint32_t invokeID = 0xFFFFFFFF;
    uint32_t peripheralID = 0;
    int16_t peripheralType = -1;
    int16_t agentState = 9;
    uint32_t stateDuration = 0, skillTargetID = 0, teamID = 0, sgSkillTargetID = 0;
    uint32_t sgNumberWord = 0xFFFFFFFF;
    int16_t currentLine = 0;
    int16_t online = 1;
    uint32_t supervisor = 0, mrDomainID = 1, numTasks = 0, maxTaskLimit = 0, maxBeyondTaskLimit = 0;
    uint32_t agentMode = 0, availability = 0, clientInvokeID = 0;
    std::string uniqueInstanceID, extension, agentID, instrument, signature;
    std::vector<AgentSkillGroup> skillGroups;
    std::vector<AgentLine> lines;
};
std::vector<uint8_t> WriteAgentStateResp(const AgentStateResp& r);

struct AgentEventRecord {
    uint32_t peripheralID = 0;
    uint16_t peripheralType = 0;
    int16_t sgState = 9, state = 9;
    uint16_t reason = 0;
    uint32_t sgDuration = 0, duration = 0, skillTargetID = 0, teamID = 0, sgSkillTargetID = 0;
    uint32_t sgNumberWord = 0xFFFFFFFF;
    int16_t numLines = 0, currentLine = 0;
    uint32_t clientStatus = 0, mrDomainID = 1, numTasks = 0, maxTaskLimit = 0, maxBeyondTaskLimit = 0;
    uint32_t agentMode = 0, availability = 0, direction = 0;
    std::string extension, agentID, instrument, signature, terminal, uniqueInstanceID;
};
// The count word is the number of records unless `count` (>= 0) says otherwise.
std::vector<uint8_t> WriteAgentEvent(const std::vector<AgentEventRecord>& records, int64_t count = -1);
std::vector<uint8_t> WriteAgentRemovedInd(uint32_t peripheralID, const std::string& agentID);
std::vector<uint8_t> WritePGStatusEvent(uint32_t status, uint32_t id, uint32_t arg1, uint32_t arg2,
                                        uint32_t arg3, const std::string& text);
std::vector<uint8_t> WriteSetClientStatusResp(uint32_t invokeID, uint32_t result);

// One agent as OPC knows it.
struct AgentEntry {
    uint32_t peripheralID = 0;
    uint32_t skillTargetID = 0;
    std::string agentID, extension, instrument;
    int16_t state = 1;
    uint32_t supervisor = 0;
    uint32_t teamID = 0;
    std::string signature;  // of the client the server last named for the agent
    bool hasClient = false;
    std::vector<AgentSkillGroup> skillGroups;
    std::vector<AgentLine> lines;
};

// The agents per peripheral and each peripheral's internal type.
class AgentTable {
public:
    // Peripheral 5000 of type 30 (the one the normal start announces) with three agents:
    // 1001 logged out, 1002 talking with a call on its first line, 1003 a supervisor.
    static AgentTable Defaults();

    void SetPeripheral(uint32_t peripheralID, int16_t type);
    // The peripheral's internal type, or -1 for one it does not know.
    int16_t PeripheralType(uint32_t peripheralID) const;
    // Adds or replaces the agent with that peripheral and AgentID (the peripheral becomes
    // known, of type 0 unless it was).
    void Put(const AgentEntry& agent);
    // By AgentID when given, else extension, else instrument, else SkillTargetID; null when
    // none matches (the pointer lives until the table changes).
    AgentEntry* Find(uint32_t peripheralID, const std::string& agentID, const std::string& extension = "",
                     const std::string& instrument = "", uint32_t skillTargetID = 0);
    // One agent, or every agent of the peripheral for an empty AgentID or "-1". Returns how
    // many left.
    size_t Remove(uint32_t peripheralID, const std::string& agentID);
    // The answer to a request: the agent's state, or for an agent the table does not know an
    // empty AgentID and state UNKNOWN (9); for a peripheral it does not know, type -1.
    AgentStateResp Answer(const GetAgentStateReq& request);
    // The peripheral's agents in table order, from the one with AgentID `from` (the first
    // when empty), at most `limit`; empty when `from` is not there. The pointers live until
    // the table changes.
    std::vector<AgentEntry*> Range(uint32_t peripheralID, const std::string& from, size_t limit);
    size_t Size() const { return agents_.size(); }

private:
    static std::string Key(uint32_t peripheralID, const std::string& agentID);
    void Reindex();

    std::vector<std::pair<uint32_t, int16_t>> peripherals_;
    std::vector<AgentEntry> agents_;
    std::unordered_map<std::string, size_t> byAgentID_;  // Key() -> index in agents_
};

// A message to send: its OPC type, its body (after the ServerNumber word) and the line that
// tells of it. A paced message is not sent before `notBeforeNs` of the platform's monotonic
// clock (0: at once), and `stamp` (when set) then writes the send time into it.
struct Outgoing {
    Outgoing() = default;
    Outgoing(uint8_t t, std::vector<uint8_t> b, std::string l) : type(t), body(std::move(b)), line(std::move(l)) {}

    uint8_t type = 0;
    std::vector<uint8_t> body;
    std::string line;
    int64_t notBeforeNs = 0;
    std::function<void(Outgoing&, int64_t nowNs)> stamp;
};

// Hands each message of `out` to `send` in order, waiting for the paced ones on the
// platform clock and stamping them just before they go.
void SendInOrder(std::vector<Outgoing>& out, const std::function<void(const Outgoing&)>& send);

// The send-time stamp of a paced agent event: "@@", 16 lower-case hex digits, '-'.
std::string SendStamp(int64_t nowNs);

// The agent side as the stand-in runs it; safe to call from the receive and script threads.
class AgentSide {
public:
    AgentSide() : table_(AgentTable::Defaults()) {}

    // The answers to `sender` for a request of `type` that the server sent (as
    // ReadServerRequest read it): CTI_GET_AGENT_STATE_RESP to CTI_GET_AGENT_STATE_REQ,
    // CTI_SET_CLIENT_STATUS_RESP to CTI_SET_CLIENT_STATUS_REQ; none for other requests.
    std::vector<Outgoing> Answer(uint8_t sender, uint8_t type, const ServerRequest& request);

    // Whether `command` is one of this side's script commands.
    static bool Takes(const std::string& command);
    // Runs one of them: the messages to send to the server in `out`; false with `error` for
    // a bad line (nothing to send, the table unchanged).
    [[nodiscard]] bool RunCommand(const std::vector<std::string>& args, std::vector<Outgoing>* out,
                                  std::string* error);

private:
    bool CmdAgent(const std::vector<std::string>& args, std::string* error);
    bool CmdAgentEvent(const std::vector<std::string>& args, std::vector<Outgoing>* out,
                       std::string* error);
    bool CmdAgentState(const std::vector<std::string>& args, std::vector<Outgoing>* out,
                       std::string* error);
    bool CmdAgents(const std::vector<std::string>& args, std::string* error);
    bool CmdAgentEvents(const std::vector<std::string>& args, std::vector<Outgoing>* out,
                        std::string* error);

    std::mutex mu_;
    AgentTable table_;
    uint32_t clientStatusResult_ = 0;
};

}  // namespace opcpeer
