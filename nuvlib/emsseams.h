#pragma once
// Sinks and helpers of EMS that live in other parts of the library (console event text and
// the system event log, the event monitor server, the crash handler). They install their
// operations here during start-up, before EMSInitialize. A member left null means that sink
// does not exist in this process: EMS skips it, and an absent event source is not counted
// as a start-up failure. Nothing here is called without the EMS global lock except
// InstallCrashHandler (called from the settings reload, which holds it too).
#include <cstdint>

struct EMSSeams {
    // Shows one record on the console (the record carries the console flag 0x80).
    void (*PrintToConsole)(const uint8_t* block, uint32_t length);
    // Registers the system event-log source at start-up; false when that failed.
    bool (*RegisterEventSource)();
    // Reports one record to the system event log (its severity has passed the level).
    void (*ReportToEventLog)(const uint8_t* block, uint32_t length);
    // Starts the event monitor server at the end of start-up.
    void (*StartMonitorServer)(const char* registryBase, const char* processName);
    // Offers one record to every connected event monitor.
    void (*OfferToMonitors)(const uint8_t* block, uint32_t length);
    // Installs the process's crash handler (a second call must do nothing).
    void (*InstallCrashHandler)();
    // Console display was switched off: release the cached message-text handles.
    void (*ReleaseMessageTexts)();
    // Prints the status line of the thread's last error after a log-file failure.
    void (*PrintLastErrorStatus)();
};

// Installs a table (kept by pointer, so it must outlive the process's use); null removes it.
void EMSInstallSeams(const EMSSeams* seams);
// The table in force: the standard sinks until another is installed, all members null
// after EMSInstallSeams(nullptr).
const EMSSeams& EMSCurrentSeams();
