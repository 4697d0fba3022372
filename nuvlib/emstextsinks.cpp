#include "nuvlib/emstextsinks.h"

#include "nuvlib/crash.h"
#include "nuvlib/emsserver.h"
#include "nuvlib/emsseams.h"
#include "nuvlib/emstext.h"

namespace {

void InstallCrash() { InstallGlobalExceptionHandler(); }
void OfferToMonitors(const uint8_t* block, uint32_t) { EMSServer::Broadcast(block); }

}  // namespace

constinit const EMSSeams kEMSStandardSinks = {
    EMSPrintEvent,          // PrintToConsole
    EMSRegisterEventSource, // RegisterEventSource
    EMSReportToEventLog,    // ReportToEventLog
    EMSServerInit,          // StartMonitorServer
    OfferToMonitors,        // OfferToMonitors
    InstallCrash,           // InstallCrashHandler
    EMSFreeMessageLibraries,  // ReleaseMessageTexts
    EMSPrintLastError,      // PrintLastErrorStatus
};

void EMSInstallStandardSinks() { EMSInstallSeams(&kEMSStandardSinks); }
