#pragma once
// ParloMain: the process's main command. Seven positional arguments (ProcessName,
// LastShutdownType, DuplexConfig, Side, NUVRoot, DMPSystemID, RegBase) and the switches
// /host, /debug and /tsy. Execute builds the server and never returns: it ends in the MDS
// receive loop.
#include <cstdint>
#include <string>

#include "nuvlib/command.h"

class ParloMain : public Command {
    PARLO_COMMAND_CLASS()
public:
    ParloMain();
    // True when LastShutdownType, DuplexConfig and Side each hold one of their two words;
    // else false with the complaint in `error`.
    bool Validate(std::string& error) override;
    // Builds the server and its registry (both live to the process's end), starts EMS, the
    // registry watch, the timer wheel and the application, and runs the MDS receive loop.
    void Execute() override;
    void DefineArgs() override;
    // Publishes the performance counters under the instance name of the registry base.
    void InitPerfmon(std::string registryBase);

private:
    ArgString m_ProcessName;
    ArgString m_LastShutdownType;
    ArgString m_DuplexConfig;
    ArgString m_Side;
    ArgString m_NUVRoot;
    ArgNumber m_DMPSystemID{0, 255};
    ArgString m_RegBase;
    ArgString m_PGHost;
    ArgBOOL m_Debug;
    ArgBOOL m_Tsy;
};

// The counter instance name of a registry base: after its first backslash, the character
// before the last "C" becomes a blank ("prod\inst\CG1A" gives "inst CG1A"); without such a
// "C", the last backslash becomes a blank; a base without a backslash is taken whole.
std::string PerfmonInstanceName(const std::string& registryBase);

// The TLS port's certificate and key: the PEM files parlo-cert.pem and parlo-key.pem in
// <root directory>/tls. Without them the TLS port still listens and refuses every client.
void ConfigureSecureChannel(const std::string& rootDirectory);

// The process-wide start: process name, message-box hook, object lock, trace meters, EMS,
// the node-manager responder and the start event 0x612E0001 with the build text.
void CommonInit(const char* label, uint32_t (*nodeManagerCallback)(uint32_t),
                const char* lastShutdownType, const char* registryBase, const char* rootDirectory,
                const char* processName, const char* side, int dmpSystemID, int startHookArgument,
                int addExitCallback, int noMessageBoxHook);

// Process tests only: with PARLO_TEST_HOOKS set, SIGUSR2 ends the application thread as a
// failure would (no shutdown asked for). Call before any thread starts: the signal is blocked
// there, so only the waiting thread takes it.
void StartTestHooks();

// Ctrl-C and SIGTERM stop the server as the node manager's shutdown does (NodeManagerHandler
// with NM_MSG_SHUTDOWN), then end the process with 200004, whether it serves or still waits
// for MDS. Call before any thread starts: the signals are blocked there, so only the waiting
// thread takes them. A second signal during that stop is not waited for: the process ends at
// once with the same code.
void StartStopSignals();

// The node manager's messages: 1 ping (2, or 3 when the OPC message count stood still for
// NodeManagerPingTimeChecks pings), 4 shutdown (5), anything else 7.
uint32_t NodeManagerHandler(uint32_t code);

