#pragma once
// The node-manager responder: answers the node's process supervisor on the private pipe
// "NMPipeName<pid>" after setting the ready event "NMReadyToConnectEvent<pid>". Each message
// and reply is one 32-bit word in the host's byte order. Operators can delay or falsify the
// replies through debug values under
//   SOFTWARE\Quenlo Systems, Inc.\<base>\NodeManager\CurrentVersion\Processes\<process>.
// The process ends with 200004 after a shutdown dialogue and with -1 when the pipe is lost.
#include <cstdint>
#include <string>

constexpr uint32_t NM_MSG_PING = 1;
constexpr uint32_t NM_MSG_PING_REPLY_OK = 2;
constexpr uint32_t NM_MSG_PING_REPLY_NOT_OK = 3;
constexpr uint32_t NM_MSG_SHUTDOWN = 4;
constexpr uint32_t NM_MSG_SHUTDOWN_REPLY_OK = 5;
constexpr uint32_t NM_MSG_SHUTDOWN_REPLY_NOT_OK = 6;
constexpr uint32_t NM_MSG_UNKNOWN_REPLY = 7;
constexpr uint32_t NM_MSG_MAINTENANCE_MODE = 9;
constexpr uint32_t NM_MSG_MAINTENANCE_STATUS = 10;
constexpr uint32_t NM_MAINTENANCE_FIRST = 11;
constexpr uint32_t NM_MAINTENANCE_INITIAL = 12;
constexpr uint32_t NM_MAINTENANCE_LAST = 14;
constexpr uint32_t NM_EVENT_STARTING = 0x61020001;
constexpr uint32_t NM_EVENT_UNKNOWN_MESSAGE = 0x612E0003;

// Decides the reply to a message; runs on the responder thread.
using NMCallback = uint32_t (*)(uint32_t message);

// Debug settings (all 0 unless read from the registry).
struct NMDebugSettings {
    uint32_t startupDelay = 0, pingDelay = 0, shutdownDelay = 0;
    uint32_t nackShutdown = 0, nackPing = 0, dieOnPing = 0, dieOnShutdown = 0;
    uint32_t exitDelay = 0, exitCode = 0;
};

// Installs the message-box redirection, reports the start event, reads the debug settings
// and starts the responder thread. startupType is "CLEAN" or "DIRTY".
void NMStartResponder(NMCallback callback, const char* registryBase, const char* processName,
                      const char* startupType);
// Installs the message-box redirection once (mode 2); later calls do nothing.
void NMInstallMessageBoxHook(int mode);
// The process's message-box routine: with the redirection installed it traces its
// arguments and ends the process as a fatal report; without it, the text goes to standard
// error. Answers 1 (OK) when it returns.
int NMMessageBox(void* hWnd, const char* text, const char* caption, uint32_t type);
// What a redirected message box runs: traces its arguments, then a fatal report.
[[noreturn]] void NMMessageBoxHandler(void* hWnd, const char* text, const char* caption,
                                      uint32_t type);

uint32_t NMGetMaintenanceState();
// Refuses (0) values outside 11..14.
int NMSetMaintenanceState(uint32_t value);

// The debug settings in force (read by NMStartResponder).
NMDebugSettings NMGetDebugSettings();
// The names of the pipe and the ready event of a process.
std::string NMPipeName(uint32_t pid);
std::string NMReadyEventName(uint32_t pid);

// Reads one message of the dialogue from the connected pipe `fd`. Returns 0 with the byte
// count in *got and the bytes that arrived in *word (the rest 0), or the error number
// (ERROR_BROKEN_PIPE when the pipe closed, ERROR_MORE_DATA for a message over 4 bytes).
[[nodiscard]] uint32_t NMReadWord(int fd, uint32_t* word, int* got);

// Answers as the server's handler does until the server supplies its own: a ping with 2, a
// shutdown with 5, anything else with 7 after event 0x612E0003.
uint32_t NMDefaultHandler(uint32_t message);
