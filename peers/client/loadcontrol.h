#pragma once
// parlo-load's call-control mode (run by hand from bench/parlo/appload.sh): --sessions
// sessions with CLIENT_CONTROL (ALL_EVENTS + CLIENT_CONTROL unless --services says
// otherwise) each keep one call-control request outstanding, on calls the server has never
// seen, so that each goes through the server to the stand-in OPC and back as its
// confirmation. Over --duration seconds after --warmup it counts the requests answered a
// second and the request-to-answer time (median, p99, max); a refusal (FAILURE_CONF,
// CONTROL_FAILURE_CONF) counts as answered and apart, with the first one's type and code.
#include <cstdint>
#include <string>
#include <vector>

namespace parloload {

struct ControlOptions {
    std::string host = "127.0.0.1";
    int port = 0;
    int sessions = 200;
    int threads = 2;
    double duration = 10;
    double warmup = 2;
    uint32_t services = 0x14;
    uint32_t peripheral = 5000;
    // The requests each session sends in turn: hold, retrieve, answer, clear-call, dtmf,
    // make-call, snapshot.
    std::vector<std::string> requests = {"hold", "retrieve", "answer", "clear-call"};
    std::string ident = "ctl";
    std::string readyFile;
};

// Whether `mode` is the call-control mode ("control").
bool IsControlMode(const std::string& mode);
// Reads the words after the mode; false with *error on an unknown word, a request kind it
// does not know or a value out of range (sessions 1..20000, threads 1..64, a port).
[[nodiscard]] bool ParseControlOptions(const std::vector<std::string>& args, ControlOptions* o,
                                       std::string* error);
// The script line (parlo-client's form) of request `kind` for session `index`, or "" for a
// kind it does not know.
std::string ControlRequestLine(const ControlOptions& o, const std::string& kind, int index);
// Runs the mode; the process exit status (1 when a session could not open or a request went
// unanswered). Prints "RESULT mode=control ..." at its end.
int RunControlMode(const ControlOptions& o);

}  // namespace parloload
