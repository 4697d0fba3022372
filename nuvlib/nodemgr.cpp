#include "nuvlib/nodemgr.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "nuvlib/ems.h"
#include "nuvlib/emsinternal.h"
#include "nuvlib/pipe.h"
#include "platform/clock.h"
#include "platform/lasterror.h"
#include "platform/named.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace {

constexpr uint32_t kSetupBit = 0x20000000;
constexpr uint32_t kMessageBit = 0x40000000;

NMDebugSettings g_debug;
uint32_t g_maintenanceState = NM_MAINTENANCE_INITIAL;
std::atomic<bool> g_hookInstalled{false};

bool Traced(uint32_t bit) { return (EMSGetTraceMask() & bit) != 0; }

void Sleep(uint32_t ms) { plat::SleepForMs(ms); }

std::mutex& MaintenanceLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

// The pipe is lost in the middle of the dialogue: end at once, without exit callbacks, or
// the supervisor would start a second copy beside this one.
[[noreturn]] void NMCommitSuicide() {
    EMSTraceMessage("Process lost communication with the Node Manager.  Commiting Suicide");
    plat::ExitProcess(-1);
}

}  // namespace

uint32_t NMReadWord(int fd, uint32_t* word, int* got) {
    uint8_t buf[4];
    ssize_t n;
    do {
        n = ::recv(fd, buf, sizeof buf, MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    *got = 0;
    if (n < 0) {
        const uint32_t e = plat::SetLastErrorFromErrno();
        return e != 0 ? e : plat::ERROR_BROKEN_PIPE;
    }
    if (n == 0) {
        plat::SetLastError(plat::ERROR_BROKEN_PIPE);
        return plat::ERROR_BROKEN_PIPE;
    }
    if (n > 4) {
        plat::SetLastError(plat::ERROR_MORE_DATA);
        return plat::ERROR_MORE_DATA;
    }
    // A short message fills only what arrived; the caller refuses it by the count.
    *got = static_cast<int>(n);
    *word = 0;
    std::memcpy(word, buf, static_cast<size_t>(n));
    return 0;
}

namespace {

void ReadDebugSettings(const char* registryBase, const char* processName, const char* startupType) {
    std::string path = std::string("SOFTWARE\\Quenlo Systems, Inc.\\") + registryBase +
                       "\\NodeManager\\CurrentVersion\\Processes\\" + processName;
    plat::RegKey key = nullptr;
    uint32_t rc = plat::RegOpenKey(plat::RegRoot(), path.c_str(), &key);
    if (rc != 0) {
        if (Traced(kSetupBit))
            EMSTraceMessage("Warning cannot find debug info for process %s in\tregistry.  "
                            "RegOpenKeyEx returned %d\n",
                            path.c_str(), static_cast<int>(rc));
        return;
    }
    auto read = [&](const char* name) -> uint32_t {
        uint32_t type = 0, value = 0, size = sizeof value;
        if (plat::RegQueryValue(key, name, &type, &value, &size) != 0 ||
            type != plat::REG_DWORD || size != sizeof value)
            return 0;
        return value;
    };
    if (std::strcmp(startupType ? startupType : "", "DIRTY") == 0 && read("DbgIgnoreDbgIfDirty")) {
        if (Traced(kSetupBit))
            EMSTraceMessage("Node Manager thread ignoring debug parameters.  Process startup is "
                            "dirty and DbgIgnoreIfDirty is set");
    } else {
        g_debug.startupDelay = read("DbgStartupDelay");
        g_debug.pingDelay = read("DbgPingDelay");
        g_debug.shutdownDelay = read("DbgShutdownDelay");
        g_debug.nackShutdown = read("DbgNackShutdown");
        g_debug.nackPing = read("DbgNackPing");
        g_debug.dieOnPing = read("DbgDieOnPing");
        g_debug.dieOnShutdown = read("DbgDieOnShutdown");
        g_debug.exitDelay = read("DbgExitDelay");
        g_debug.exitCode = read("DbgExitCode");
    }
    plat::RegCloseKey(key);
}

bool WriteWord(int fd, uint32_t word) {
    ssize_t n;
    do {
        n = ::send(fd, &word, sizeof word, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        plat::SetLastErrorFromErrno();
        EMSTraceMessageLastError("NMLib error writing to pipe.\n");
        return false;
    }
    if (n != sizeof word) {
        EMSTraceMessage("NMLib error wrote only %d bytes to pipe.\n", static_cast<int>(n));
        return false;
    }
    return true;
}

void NMResponderThread(NMCallback callback) {
    const NMDebugSettings& dbg = g_debug;
    if (dbg.startupDelay) {
        EMSTraceMessage("Node Manager thread delaying startup by %d milliseconds",
                        static_cast<int>(dbg.startupDelay));
        Sleep(dbg.startupDelay);
    }
    const uint32_t pid = plat::CurrentProcessId();
    const std::string pipeName = NMPipeName(pid);
    int listener = NamedPipeListen(pipeName, 1);
    if (listener < 0) {
        EMSTraceMessageLastError("Error creating node manager named pipe.\n");
        return;
    }
    const std::string eventName = NMReadyEventName(pid);
    if (Traced(kSetupBit)) EMSTraceMessage("About to create and signal event %s\n", eventName.c_str());
    plat::NamedMarkerEvent ready(eventName);
    if (!ready.Set()) {
        EMSTraceMessageLastError("Error setting node manager connect event.\n");
        ::close(listener);
        return;
    }
    int fd;
    do {
        fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) plat::SetLastErrorFromErrno();
    // One instance only: nobody else may connect after the supervisor.
    ::close(listener);
    ::unlink(NamedPipeSocketPath(pipeName).c_str());
    if (fd < 0) {
        EMSTraceMessageLastError("Error connecting to node manager named pipe.\n");
        ready.Reset();
        return;
    }

    for (;;) {
        uint32_t message = 0;
        int got = 0;
        if (NMReadWord(fd, &message, &got) != 0) {
            EMSTraceMessageLastError("NMLib error reading from pipe.\n");
            NMCommitSuicide();
        }
        if (got < 4) {
            EMSTraceMessage("NMLib error read only %d bytes from pipe.\n", got);
            NMCommitSuicide();
        }
        uint32_t reply;
        switch (message) {
            case NM_MSG_PING:
                if (Traced(kMessageBit)) EMSTraceMessage("Node Manager thread received ping message");
                if (dbg.nackPing) {
                    EMSTraceMessage("Node Manager thread nacking ping");
                    reply = NM_MSG_PING_REPLY_NOT_OK;
                    break;
                }
                // Dying takes precedence over a delay.
                if (dbg.dieOnPing) {
                    EMSTraceMessage("Node Manager thread calling ExitProcess() on ping");
                    plat::ExitProcess(static_cast<int>(dbg.exitCode));
                }
                if (dbg.pingDelay) {
                    EMSTraceMessage("Node Manager thread delaying ping by %u milliseconds", dbg.pingDelay);
                    Sleep(dbg.pingDelay);
                }
                reply = callback(NM_MSG_PING);
                break;
            case NM_MSG_SHUTDOWN:
                EMSTraceMessage("Node Manager thread received shutdown message");
                if (dbg.nackShutdown) {
                    EMSTraceMessage("Node Manager thread nacking shutdown");
                    reply = NM_MSG_SHUTDOWN_REPLY_NOT_OK;
                    break;
                }
                if (dbg.dieOnShutdown) {
                    EMSTraceMessage("Node Manager thread calling ExitProcess() on shutdown");
                    plat::ExitProcess(static_cast<int>(dbg.exitCode));
                }
                if (dbg.shutdownDelay) {
                    EMSTraceMessage("Node Manager thread delaying shutdown response by %u milliseconds",
                                    dbg.shutdownDelay);
                    Sleep(dbg.shutdownDelay);
                }
                reply = callback(NM_MSG_SHUTDOWN);
                if (reply == NM_MSG_SHUTDOWN_REPLY_OK)
                    EMSTraceMessage("Node Manager thread sending NM_MSG_SHUTDOWN_REPLY_OK to Node Manager.");
                else if (reply == NM_MSG_SHUTDOWN_REPLY_NOT_OK)
                    EMSTraceMessage("Node Manager thread sending NM_MSG_SHUTDOWN_REPLY_NOT_OK to Node "
                                    "Manager.");
                else
                    EMSTraceMessage("Node Manager thread sending unknown response %d to Node Manager",
                                    static_cast<int>(reply));
                break;
            case NM_MSG_MAINTENANCE_MODE:
                if (Traced(kMessageBit))
                    EMSTraceMessage("Node Manager thread received maintenance mode message type %d",
                                    static_cast<int>(message));
                reply = callback(NM_MSG_MAINTENANCE_MODE);
                NMSetMaintenanceState(reply);
                break;
            case NM_MSG_MAINTENANCE_STATUS:
                if (Traced(kMessageBit))
                    EMSTraceMessage("Node Manager thread received maintenance mode status check msg %d",
                                    static_cast<int>(message));
                reply = NMGetMaintenanceState();
                break;
            default:
                if (Traced(kMessageBit))
                    EMSTraceMessage("Node Manager thread received unknown message type %d",
                                    static_cast<int>(message));
                reply = callback(message);
                break;
        }
        if (!WriteWord(fd, reply)) NMCommitSuicide();
        if (message == NM_MSG_SHUTDOWN) break;
    }

    if (dbg.exitDelay) {
        EMSTraceMessage("Node Manager thread delaying exit after shutdown by %u milliseconds",
                        dbg.exitDelay);
        Sleep(dbg.exitDelay);
    }
    if (Traced(kSetupBit)) EMSTraceMessage("NMLib waiting for pipe to break before exiting process");
    uint32_t message = 0;
    int got = 0;
    if (NMReadWord(fd, &message, &got) != 0) {
        if (Traced(kSetupBit)) EMSTraceMessage("NMLib received error as expected reading from pipe.\n");
    } else {
        EMSTraceMessage("NMLib received unexpected message %d", static_cast<int>(message));
    }
    EMSTraceMessage("Node Manager thread completed clean shutdown dialog with Node Manager.  "
                    "Exiting process.");
    // The server's handler has stopped MDS already; only the log is left to close. Exit
    // callbacks do not run: other threads may still be at work.
    EMSLockGlobal();
    EMSCloseLog();
    plat::ExitProcess(EMS_EXIT_NODE_MANAGER);
}

}  // namespace

std::string NMPipeName(uint32_t pid) { return "NMPipeName" + std::to_string(pid); }
std::string NMReadyEventName(uint32_t pid) {
    return "Global\\NMReadyToConnectEvent" + std::to_string(pid);
}

NMDebugSettings NMGetDebugSettings() { return g_debug; }

uint32_t NMGetMaintenanceState() {
    std::lock_guard<std::mutex> hold(MaintenanceLock());
    return g_maintenanceState;
}

int NMSetMaintenanceState(uint32_t value) {
    if (value < NM_MAINTENANCE_FIRST || value > NM_MAINTENANCE_LAST) return 0;
    std::lock_guard<std::mutex> hold(MaintenanceLock());
    g_maintenanceState = value;
    return 1;
}

void NMInstallMessageBoxHook(int mode) {
    if (mode == 2) g_hookInstalled.exchange(true);
}

int NMMessageBox(void* hWnd, const char* text, const char* caption, uint32_t type) {
    if (!g_hookInstalled.load()) {
        std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
        return 1;
    }
    NMMessageBoxHandler(hWnd, text, caption, type);
}

void NMMessageBoxHandler(void* hWnd, const char* text, const char* caption, uint32_t type) {
    EMSTraceMessage("MessageBox invoked by process or MFC assert.");
    EMSTraceMessage("MessageBox parameters:");
    EMSTraceMessage("\thWnd = %d", static_cast<int>(reinterpret_cast<intptr_t>(hWnd)));
    EMSTraceMessage("\tlpText = \"%s\"", text ? text : "");
    EMSTraceMessage("\tlpCaption = \"%s\"", caption ? caption : "");
    EMSTraceMessage("\tuType = %d", static_cast<int>(type));
    EMSFailMessage("Calling EMSFailMessage.");
}

void NMStartResponder(NMCallback callback, const char* registryBase, const char* processName,
                      const char* startupType) {
    NMInstallMessageBoxHook(2);
    EMSEvent0I0S(NM_EVENT_STARTING, 0, 0);
    ReadDebugSettings(registryBase ? registryBase : "", processName ? processName : "",
                      startupType);
    MaintenanceLock();
    try {
        std::thread(NMResponderThread, callback ? callback : NMDefaultHandler).detach();
    } catch (const std::system_error& e) {
        plat::SetLastError(plat::ErrnoToWin32(e.code().value()));
        EMSTraceMessageLastError("Error creating NMResponderThread");
    }
}

uint32_t NMDefaultHandler(uint32_t message) {
    switch (message) {
        case NM_MSG_PING: return NM_MSG_PING_REPLY_OK;
        case NM_MSG_SHUTDOWN: return NM_MSG_SHUTDOWN_REPLY_OK;
        default:
            EMSEvent1I0S(NM_EVENT_UNKNOWN_MESSAGE, 0, 0, static_cast<int32_t>(message));
            return NM_MSG_UNKNOWN_REPLY;
    }
}
