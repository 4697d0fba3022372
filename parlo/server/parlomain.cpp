#include "parlo/server/parlomain.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "nuvlib/ems.h"
#include "nuvlib/emsinternal.h"
#include "nuvlib/mds/mds.h"
#include "nuvlib/nodemgr.h"
#include "nuvlib/stdobject.h"
#include "nuvlib/tracemeter.h"
#include "platform/process.h"
#include "mdstimer/systimer.h"
#include "parlo/common/buildinfo.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/session/sslchannel.h"
#include "parlo/common/importmetrics.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/server/meters.h"
#include "parlo/server/server.h"
#include "parlo/server/threadmgr.h"

PARLO_REGISTER_COMMAND(ParloMain, "-Parlo", "Parlo", "Parlo Process.");

namespace {

char g_ProcessName[32];

// The node manager's ping bookkeeping (its responder thread alone uses it).
int32_t g_LastOPCMessageCount = 0;
int32_t g_UnchangedPings = 0;

// Registered as the exit callback "ParloPreBreak"; there is nothing to release before a
// debugger break.
void MemoryDebugPreBreak(void*) {}

bool OneOf(const std::string& value, const char* first, const char* second, const char* what,
           std::string& error) {
    if (value == first || value == second) return true;
    error = std::string("Error for ") + what + ". Must be " + first + " or " + second + ".";
    return false;
}

}  // namespace

ParloMain::ParloMain() {
    for (Arg* arg : {static_cast<Arg*>(&m_ProcessName), static_cast<Arg*>(&m_LastShutdownType),
                     static_cast<Arg*>(&m_DuplexConfig), static_cast<Arg*>(&m_Side),
                     static_cast<Arg*>(&m_NUVRoot), static_cast<Arg*>(&m_DMPSystemID),
                     static_cast<Arg*>(&m_RegBase)})
        arg->SetRequired();
}

void ParloMain::DefineArgs() {
    AddArg("ProcessName", &m_ProcessName);
    AddArg("LastShutdownType", &m_LastShutdownType);
    AddArg("DuplexConfig", &m_DuplexConfig);
    AddArg("Side", &m_Side);
    AddArg("NUVRoot", &m_NUVRoot);
    AddArg("DMPSystemID", &m_DMPSystemID);
    AddArg("RegBase", &m_RegBase);
    AddSwitch("PGHost", "/host", &m_PGHost);
    AddSwitch(nullptr, "/debug", &m_Debug);
    AddSwitch(nullptr, "/tsy", &m_Tsy);
    Command::DefineArgs();
}

bool ParloMain::Validate(std::string& error) {
    return OneOf(m_LastShutdownType.GetValue(), "CLEAN", "DIRTY", "LastShutdownType", error) &&
           OneOf(m_DuplexConfig.GetValue(), "SIMPLEX", "DUPLEX", "DuplexConfig", error) &&
           OneOf(m_Side.GetValue(), "A", "B", "Side", error);
}

void StartTestHooks() {
    if (std::getenv("PARLO_TEST_HOOKS") == nullptr) return;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR2);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
    std::thread([set] {
        for (int sig = 0;;)
            if (sigwait(&set, &sig) == 0 && Server::sm_Server != nullptr)
                if (CTIApplication* application = Server::sm_Server->GetApplication())
                    application->FailThreadForTest();
    }).detach();
}

void StartStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
    std::thread([set] {
        int sig = 0;
        while (sigwait(&set, &sig) != 0) {
        }
        // The stop itself may wait on MDS: a second signal must not wait behind it.
        std::thread([set] {
            for (int again = 0;;)
                if (sigwait(&set, &again) == 0) plat::ExitProcess(EMS_EXIT_NODE_MANAGER);
        }).detach();
        (void)NodeManagerHandler(NM_MSG_SHUTDOWN);
        // Last before the exit's own lines, so that it reads as the reason.
        EMSTraceMessage("Parlo: stopped on %s.", sig == SIGINT ? "SIGINT" : "SIGTERM");
        EMSExitProcess(EMS_EXIT_NODE_MANAGER);
    }).detach();
}

void ParloMain::Execute() {
    EMSTraceMessage("ParloMain::Execute");
    Server* server = new (std::nothrow) Server;
    if (server == nullptr) NUV_ALLOC_FAILED(sizeof(Server));
    CTIRegistry* registry = new (std::nothrow) CTIRegistry;
    if (registry == nullptr) NUV_ALLOC_FAILED(sizeof(CTIRegistry));
    const std::string& base = m_RegBase.GetValue();
    CommonInit("Parlo", NodeManagerHandler, m_LastShutdownType.GetValue().c_str(), base.c_str(),
               m_NUVRoot.GetValue().c_str(), m_ProcessName.GetValue().c_str(),
               m_Side.GetValue().c_str(), m_DMPSystemID.GetValue(), 0, 0, 0);
    EMSAddExitCallback(MemoryDebugPreBreak, const_cast<char*>("ParloPreBreak"), false, true);
    server->SetProcessName(m_ProcessName.GetValue());
    server->SetShutdownType(m_LastShutdownType.GetValue() == "CLEAN" ? 1 : 2);
    server->SetDuplex(m_DuplexConfig.GetValue() == "DUPLEX" ? 1 : 0);
    server->SetSide(m_Side.GetValue() == "A" ? 1 : 0);
    server->SetRootDirectory(m_NUVRoot.GetValue());
    server->SetDMPSystemID(m_DMPSystemID.GetValue());
    server->SetRegistryBase(base);
    server->SetMDSConnections(m_Tsy.GetValue() ? 0 : 1);
    server->SetPGHost(m_PGHost.IsSet() ? m_PGHost.GetValue() : ".");
    if (m_Debug.GetValue()) EMSState().debugBreak = 1;
    server->SetRegistry(registry);
    ThreadManager::Init();
    registry->Init("Parlo");
    registry->StartRegistryListener();
    StartSystemEventTimer(registry->Config().TimerFrequency, registry->Config().TimerResolution);
    ConfigureSecureChannel(server->GetRootDirectory());
    server->Init();
    InitPerfmon(base);
    server->StartInput();
}

void ConfigureSecureChannel(const std::string& rootDirectory) {
    const std::string dir = (rootDirectory.empty() ? std::string(".") : rootDirectory) + "/tls/";
    if (!SecureChannelConfigure(dir + "parlo-cert.pem", dir + "parlo-key.pem"))
        EMSTraceMessage("Parlo: no usable certificate and key in %s: TLS clients are refused.", dir.c_str());
}

std::string PerfmonInstanceName(const std::string& registryBase) {
    const size_t slash = registryBase.find('\\');
    std::string name = slash == std::string::npos ? registryBase : registryBase.substr(slash + 1);
    const size_t c = name.rfind('C');
    if (c != std::string::npos && c > 0) {
        name[c - 1] = ' ';
    } else if (const size_t last = name.rfind('\\'); last != std::string::npos) {
        name[last] = ' ';
    }
    return name;
}

void ParloMain::InitPerfmon(std::string registryBase) {
    const std::string instance = PerfmonInstanceName(registryBase);
    EMSTraceMessage("Perfmon Initialization for the instanceName = %s", instance.c_str());
    // Without a published instance the counters stay off; the server serves on.
    (void)ImportMetrics::Instance().Init(instance.c_str());
}

void CommonInit(const char* label, uint32_t (*nodeManagerCallback)(uint32_t),
                const char* lastShutdownType, const char* registryBase, const char* rootDirectory,
                const char* processName, const char* side, int dmpSystemID, int /*startHookArgument*/,
                int /*addExitCallback*/, int noMessageBoxHook) {
    (void)label;
    std::snprintf(g_ProcessName, sizeof g_ProcessName, "%s", processName);
    if (!noMessageBoxHook) NMInstallMessageBoxHook(2);
    CreateStdObjectLock();
    InitTraceMeters(1);
    if (EMSInitialize(registryBase, rootDirectory, g_ProcessName, dmpSystemID, side[0]) == 0) {
        std::printf("CommonInit EMSInitialize failed.\n");
        std::fflush(stdout);
    }
    NMStartResponder(nodeManagerCallback, registryBase, g_ProcessName, lastShutdownType);
    EMSEvent0I2S(0x612E0001, 0, 0, g_ProcessName, BuildText().c_str());
}

uint32_t NodeManagerHandler(uint32_t code) {
    Server* server = Server::sm_Server;
    switch (code) {
        case NM_MSG_PING: {
            CTIRegistry* registry = server ? server->GetRegistry() : nullptr;
            if (registry == nullptr) return NM_MSG_PING_REPLY_OK;
            const int32_t checks =
                static_cast<int32_t>(registry->Dynamic(CTIRegistry::NodeManagerPingTimeChecks));
            if (checks < 1) return NM_MSG_PING_REPLY_OK;
            const int32_t count = server->GetMeter(meterindex::OPCMessages);
            if (count != 0) {
                if (count == g_LastOPCMessageCount) {
                    ++g_UnchangedPings;
                } else {
                    g_LastOPCMessageCount = count;
                    g_UnchangedPings = 0;
                }
            }
            if (g_UnchangedPings >= checks) {
                EMSTraceMessage(
                    "NodeManagerHandler:: The NodeManager ping handler indicated no change to OPC "
                    "Message Count for %d consecutive checks, replying NM_MSG_PING_REPLY_NOT_OK.",
                    g_UnchangedPings);
                return NM_MSG_PING_REPLY_NOT_OK;
            }
            return NM_MSG_PING_REPLY_OK;
        }
        case NM_MSG_SHUTDOWN:
            EMSEvent0I0S(0x612E0002, 0, 0);
            if (server) server->ReportPGStatusText("Parlo shutdown");
            ImportMetrics::Instance().reset();
            (void)MDSStopClient(0);
            return NM_MSG_SHUTDOWN_REPLY_OK;
        default:
            EMSEvent1I0S(0x612E0003, 0, 0, static_cast<int32_t>(code));
            return NM_MSG_UNKNOWN_REPLY;
    }
}
