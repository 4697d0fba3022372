#pragma once
// The stand-in OPC's behaviour, apart from its MDS link so that tests can drive it: it
// answers each CSTA request with its confirmation (or what a script rule says), and runs
// script commands that send set-idle / set-active requests, inject CSTA events, wait for
// messages and sleep. Every message it takes or sends is printed as one line.
//
// Script commands, one a line ('#' starts a comment; values may be "quoted"):
//   set-idle [server=N] [side=N] [echo=N] [pg=N] [version=N] [time=N] [text=T]
//   set-active [server=N] [side=N] [hb=N] [pg=N] [version=N] [time=N] [text=T]
//   answer TYPE default | none | failure [error=N] [pec=N] [invoke=N]
//   answer TYPE [FIELD...] [bodylen=N] [rawlen=N] [opclen=N] [invoke=N] [as=CONFTYPE]
//                                                    chosen values over the usual answer;
//                                                    invoke= an InvokeID of its own (one the
//                                                    server never issued), as= a confirmation
//                                                    of another type (28: CSTA_QUERY_MWI_CONF)
//   answer 120 [parties=CID/DEV/TYPE/STATE,...] [calltype=N] [calltypeid=N] [coc=CID/DEV/TYPE]
//              [recording=N] [guid=T] [tessaly=T] [services=N,...]   the call snapshot's
//                                                    parties and private data
//   answer 122 entries=CID/DEV/TYPE/STATES/SM,...    the device snapshot's entries; STATES
//                                                    is S or S1+S2 (a state list), - for none
//   answer 37 lines=HANDLE/TYPE,... [numlines=N]     the device query's lines (ten slots;
//                                                    NumLines counts them all unless numlines=)
//   event CLASS TYPE [KEY=VALUE...] [ecc=HEX] [ecclen=N]
//                                                    an unsolicited event or event report;
//                                                    position 17 is the ECC block (empty, or
//                                                    the BINDATA ecc=, ecclen= a length to
//                                                    state instead of its own)
//   time [value=N]                                   CTI_TIME_NOTIFICATION_EVENT (seconds)
//   heartbeat MS | stop                              CTI_HEART_BEAT_EVENT every MS on the clock
//   config TABLE [op=N] [update=N] [num=N] [peripheral=ID/TYPE/DESK/MULTI,...]
//                [var=ID/MAXLEN/MAXARRAY/ARRAY/ENABLED/FLAG/NAME]... [raw=HEX]
//                                                    CTI_CONFIGURE_REQ; Num counts the given
//                                                    records (1 for table 10) unless num= says
//   maintenance [value=N] [side=N]                   CTI_MAINTENANCE_MODE_REQUEST
//   maintenance-in-progress [word=N] [accepted=N] [side=N]
//   wait ok-ack|error-ack|ack|csta|active-hb|OPCTYPE [timeout=MS]
//   sleep MS
//   exit
// ARM and ACMI messages (requests are answered, indications are not, by default):
//   arm-answer TYPE default | none | failure [status=N]
//   arm-answer TYPE [status=N] [FIELD...]     chosen values in the answer's fixed part
//   arm-answer ... path=N                     the rule holds only for requests naming that
//                                             ApplicationPathID (before the type's own rule)
//   arm-members MRDID/PERIPHERAL,... | none   the members of an up response (two by default)
//   arm-tasks W1/W2/W3,... | none             the tasks of a tasks response or event
//   arm-event TYPE [FIELD...] [tN=TEXT] [uii=T] [ecc=HEX] [eccfill=N] [tasks=...]
//             [members=...]                   any message OPC sends, with chosen fields
// A FIELD is u8@OFF=V, u16@OFF=V, u32@OFF=V or textW@OFF=T (a W-byte text) in the answer's
// or event's body (offsets after the two invoke ids of a confirmation), or the same with
// "raw." or "opc." in front for the two private-data blocks.
// Agent messages (agent, agent-event, agent-state, agent-removed, pg-status,
// client-status-result, raw): see opc_agents.h.
// Every CSTA request is printed twice: the "recv CTI_CSTA_MESSAGE" line of its header, then
// a "csta NAME invoke 0x.. Field=value ..." line of its body and private data (csta_fields.h),
// ECC variables by the names the script's `config 3 var=` gave them.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <istream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "peers/opc/arm_wire.h"
#include "peers/opc/csta_fields.h"
#include "peers/opc/opc_agents.h"
#include "peers/opc/opc_wire.h"

namespace opcpeer {

class StandIn {
public:
    // Sends one OPC message (the payload begins with the ServerNumber word) to an MDS
    // handle; returns false when it could not be handed over.
    using SendFn =
        std::function<bool(uint8_t destination, uint8_t type, const std::vector<uint8_t>&)>;
    // Prints one line (no line end).
    using PrintFn = std::function<void(const std::string&)>;

    // `peer` is the MDS handle of the server that scripted messages go to (0xFF: none).
    StandIn(SendFn send, PrintFn print, uint8_t peer);
    ~StandIn();
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    void SetTrace(bool on) { trace_ = on; }

    // One received class-17 message: its sender, OPC type and payload of `len` bytes.
    void OnMessage(uint8_t sender, uint8_t type, const uint8_t* payload, size_t len);

    // Runs one script line (line numbers are for the error lines). Returns false for
    // "exit"; a bad line is printed and skipped.
    bool RunLine(const std::string& line, int lineNo);
    // The normal start: set-idle (repeated until answered, the server may come later),
    // table 11 with one peripheral, table 0, set-active, then heartbeats. False when the
    // server did not answer.
    struct StartOptions {
        uint32_t serverNumber = 1;
        uint32_t side = 1;          // 1 side A, 0 side B
        uint32_t hbSeconds = 5;     // the set-active's heartbeat time
        uint32_t heartbeatMs = 1000;
        uint32_t peripheralID = 5000;
        uint32_t clientType = 30;
        uint32_t idleTries = 60;
        int64_t retryMs = 1000;
        int64_t ackWaitMs = 15000;
    };
    bool RunStart(const StartOptions& options);
    // Runs every line of `in`; returns false when the script said "exit".
    bool RunScript(std::istream& in);

private:
    struct Rule {
        enum Kind { kDefault, kNone, kFailure, kFields } kind = kDefault;
        uint32_t error = 0;
        uint32_t peripheralError = 0;
        FieldSet body, raw, opc;
        long bodyLen = -1, rawLen = -1, opcLen = -1;
        bool hasInvoke = false, hasAs = false;
        uint32_t invoke = 0;
        uint16_t as = 0;
        AnswerForm form;
    };

    struct ArmRule {
        enum Kind { kDefault, kNone, kFailure, kFields } kind = kDefault;
        bool hasStatus = false;
        uint32_t status = 0;
        FieldSet fields;
    };

    void OnCsta(uint8_t sender, uint32_t serverNumber, const uint8_t* p, size_t len);
    void OnArm(uint8_t sender, uint32_t serverNumber, const ArmLayout& layout, const uint8_t* p,
               size_t len);
    void SendArm(uint8_t destination, uint32_t serverNumber, const ArmMessage& m);
    void Send(uint8_t destination, uint8_t type, uint32_t serverNumber,
              const std::vector<uint8_t>& body);
    // Answers carry the ServerNumber word of what they answer; other messages the number of
    // the last set-idle request (0 before one).
    void SendEvent(uint8_t destination, uint32_t serverNumber, const CstaEvent& e);
    uint32_t ServerNumber();
    void Print(const std::string& line);
    void Received(uint8_t type);

    bool CmdSetMode(uint8_t type, const std::vector<std::string>& args, std::string* error);
    bool CmdAnswer(const std::vector<std::string>& args, std::string* error);
    bool CmdEvent(const std::vector<std::string>& args, std::string* error);
    bool CmdTime(const std::vector<std::string>& args, std::string* error);
    bool CmdHeartbeat(const std::vector<std::string>& args, std::string* error);
    bool CmdConfig(const std::vector<std::string>& args, std::string* error);
    bool CmdMaintenance(uint8_t type, const std::vector<std::string>& args, std::string* error);
    void HeartbeatLoop();
    // Takes the first unconsumed message type that matches, waiting up to `ms`.
    bool WaitMatch(const std::function<bool(uint8_t)>& match, int64_t ms);
    bool CmdWait(const std::vector<std::string>& args, std::string* error);
    bool CmdArmAnswer(const std::vector<std::string>& args, std::string* error);
    bool CmdArmEvent(const std::vector<std::string>& args, std::string* error);

    SendFn send_;
    PrintFn print_;
    uint8_t peer_;
    bool trace_ = false;

    std::mutex mu_;
    std::condition_variable cv_;
    std::map<uint16_t, Rule> rules_;   // by request type
    std::deque<uint8_t> unconsumed_;  // OPC types received and not yet waited for
    uint32_t nextCallID_ = 1000;
    EccNames eccNames_;                // the ECC variables the script configured
    uint32_t serverNumber_ = 0;
    std::map<uint8_t, ArmRule> armRules_;  // by ARM or ACMI type
    std::map<std::pair<uint8_t, uint32_t>, ArmRule> armPathRules_;  // by type and path ID
    AgentSide agents_;                     // the agent table and its answers
    std::vector<std::pair<uint32_t, uint32_t>> members_ = {{5000, 1}, {5001, 1}};
    std::vector<uint32_t> tasks_ = {1, 2, 3, 4, 5, 6};
    uint32_t nextTask_ = 1;
    std::mutex printMu_;
    // The heartbeat sender: its period (0: stopped) and a generation that wakes it on change.
    std::condition_variable hbCv_;
    uint32_t hbPeriodMs_ = 0;
    uint64_t hbGeneration_ = 0;
    bool hbQuit_ = false;
    std::thread hbThread_;
};

// Splits a script line into words; a value may be "quoted" (\" and \\ inside). Returns
// false on an unterminated quote.
[[nodiscard]] bool SplitWords(const std::string& line, std::vector<std::string>* words);

// Parses "5000/1,5001/1" (pairs) or "1/2/3,4/5/6" (triples) into words; "none" is empty.
[[nodiscard]] bool ParseGroups(const std::string& text, size_t groupSize,
                               std::vector<uint32_t>* words);

// Parses "u32@12=7", "text64@4=1001" and the like (with an optional "raw." / "opc." in front
// already removed) into a field. False when the word is no field.
[[nodiscard]] bool ParseField(const std::string& word, FieldSet::Field* out);

}  // namespace opcpeer
