#include "nuvlib/emstextsinks.h"

#include "nuvlib/crash.h"
#include "nuvlib/emsseams.h"
#include "nuvlib/emstext.h"

namespace {

void InstallCrash() { InstallGlobalExceptionHandler(); }

constexpr EMSSeams kSinks = {
    EMSPrintEvent,          // PrintToConsole
    EMSRegisterEventSource, // RegisterEventSource
    EMSReportToEventLog,    // ReportToEventLog
    nullptr,                // StartMonitorServer
    nullptr,                // OfferToMonitors
    InstallCrash,           // InstallCrashHandler
    EMSFreeMessageLibraries,  // ReleaseMessageTexts
    EMSPrintLastError,      // PrintLastErrorStatus
};

}  // namespace

void EMSInstallStandardSinks() { EMSInstallSeams(&kSinks); }
