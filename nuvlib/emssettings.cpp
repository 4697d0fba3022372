// EMS settings: the library key and the process's own key, re-read whenever one of the
// process key's values changes.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <mutex>
#include <vector>
#include <thread>

#include "nuvlib/ems.h"
#include "nuvlib/emsinternal.h"
#include "nuvlib/emsseams.h"
#include "nuvlib/regvalue.h"
#include "platform/event.h"
#include "platform/lasterror.h"
#include "platform/process.h"

namespace {

constexpr const char* kSoftware = "SOFTWARE\\Quenlo Systems, Inc.";

std::atomic<bool> g_watchStopping{false};

void Warn(const char* valueName) {
    std::printf("EMS: warning couldn't read %s value in registry\n", valueName);
}

// Reads a DWORD setting; a missing or mistyped value warns and keeps the current one.
bool ReadDword(plat::RegKey key, const char* name, uint32_t* value) {
    if (RegGetDWORDSafe(key, name, value) == 1) return true;
    Warn(name);
    return false;
}

bool ReadDword(plat::RegKey key, const char* name, std::atomic<uint32_t>* value) {
    uint32_t v = 0;
    if (!ReadDword(key, name, &v)) return false;
    value->store(v, std::memory_order_relaxed);
    return true;
}

bool ReadText(plat::RegKey key, const char* name, char* dest, size_t size) {
    char* text = nullptr;
    if (RegGetString(key, name, &text) != 1) {
        Warn(name);
        return false;
    }
    EMSCopyText(dest, size, text);
    RegFreeBuffer(text);
    return true;
}

// `changed` is already registered for the key's next change (rc is that registration's
// result), so nothing written between the first read and this thread's start is missed.
void EMSSettingsWatchThread(plat::RegKey key, std::unique_ptr<plat::Event> changed, uint32_t rc) {
    // The event lives as long as the process: the registry's watcher may set it again, up
    // to the process's exit, after this thread has stopped looking at it.
    plat::Event* const event = changed.get();
    {
        static std::mutex& keptMu = *new std::mutex;
        static auto& kept = *new std::vector<std::unique_ptr<plat::Event>>;
        std::lock_guard<std::mutex> lk(keptMu);
        kept.push_back(std::move(changed));
    }
    while (rc == 0) {
        event->Wait(plat::INFINITE);
        if (g_watchStopping.load()) return;
        // Ask for the next change before reading, so none is lost while this one is read.
        rc = plat::RegNotifyChangeKeyValue(key, event);
        EMSReadSettings(key);
    }
    if (g_watchStopping.load()) return;
    std::printf("RegNotifyChangeKeyValue returned %d.  GetLastError() returned %d\n",
                static_cast<int>(rc), static_cast<int>(plat::GetLastError()));
    std::fflush(stdout);
}

}  // namespace

void EMSInitSettings() {
    EMSGlobals& ems = EMSState();
    ems.systemType = 0;
    ems.traceMask = 0;
    ems.ntEventLogLevel = 4;
    ems.logFileMax = 1000000;
    ems.allLogFilesMax = 2000000;
    ems.logFileCountMax = 1000;
    ems.logFileLocation[0] = '\0';
    ems.debugBreak = 0;
    ems.breakOnInit = 0;
    ems.breakOnExit = 0;
    ems.displayToScreen = true;
    ems.displayDisabled = false;
    ems.enableGlobalExceptionHandler = 1;
    ems.generateSmallMemoryDump = 1;
    ems.userDataLength = 0;
    ems.zipCompressionEnabled = EMS_ZIP_NOT_READ;

    const std::string base = std::string(kSoftware) + "\\" + ems.registryBase;
    const std::string libraryPath = base + "\\EMS\\CurrentVersion\\Library";
    plat::RegKey library = nullptr;
    if (plat::RegOpenKey(plat::RegRoot(), libraryPath.c_str(), &library) != 0) {
        std::printf("EMS: warning couldn't open %s key in registry\n", libraryPath.c_str());
    } else {
        uint8_t type = 0;
        if (RegGetBYTE(library, "EMSSystemType", &type) == 1)
            ems.systemType = type;
        else
            Warn("EMSSystemType");
        uint32_t rc = plat::RegCloseKey(library);
        if (rc != 0) std::printf("EMS: warning RegCloseKey returned %d\n", static_cast<int>(rc));
    }

    const std::string processPath = libraryPath + "\\Processes\\" + ems.processName;
    plat::RegKey process = nullptr;
    if (plat::RegOpenKey(plat::RegRoot(), processPath.c_str(), &process) != 0) {
        std::printf("EMS: warning couldn't open %s key in registry\n", processPath.c_str());
        std::fflush(stdout);
        return;
    }
    ems.processKey = process;
    auto changed = std::make_unique<plat::Event>(false);
    const uint32_t rc = plat::RegNotifyChangeKeyValue(process, changed.get());
    EMSReadSettings(process);
    g_watchStopping = false;
    try {
        std::thread(EMSSettingsWatchThread, process, std::move(changed), rc).detach();
    } catch (const std::system_error& e) {
        // The registration still refers to the event: it must outlive the key.
        (void)changed.release();
        std::printf("_beginthread returned -1.  errno = %d\n", e.code().value());
    }
    std::fflush(stdout);
}

void EMSReadSettings(plat::RegKey key) {
    EMSGlobals& ems = EMSState();
    std::lock_guard<std::recursive_mutex> hold(ems.lock);
    uint32_t v = 0;

    if (RegGetDWORDSafe(key, "EMSEnableGlobalExceptionHandler", &v) == 1)
        ems.enableGlobalExceptionHandler = v != 0 ? 1 : 0;
    else {
        Warn("EMSEnableGlobalExceptionHandler");
        ems.enableGlobalExceptionHandler = 1;
    }
    if (RegGetDWORDSafe(key, "EMSGenerateSmallMemoryDump", &v) == 1)
        ems.generateSmallMemoryDump = v;
    else {
        Warn("EMSGenerateSmallMemoryDump");
        ems.generateSmallMemoryDump = 1;
    }
    ReadDword(key, "EMSTraceMask", &ems.traceMask);
    ReadDword(key, "EMSNTEventLogLevel", &ems.ntEventLogLevel);
    ReadDword(key, "EMSLogFileMax", &ems.logFileMax);
    const uint64_t twiceMax = 2ull * ems.logFileMax;
    const uint32_t floor = twiceMax > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(twiceMax);
    if (RegGetDWORDSafe(key, "EMSAllLogFilesMax", &v) == 1) {
        ems.allLogFilesMax = v > floor ? v : floor;
    } else {
        Warn("EMSAllLogFilesMax");
        ems.allLogFilesMax = floor;
    }
    if (ReadDword(key, "EMSLogFileCountMax", &ems.logFileCountMax) && ems.logFileCountMax < 10)
        ems.logFileCountMax = 10;
    ReadDword(key, "EMSDebugBreak", &ems.debugBreak);
    ReadDword(key, "EMSBreakOnInit", &ems.breakOnInit);
    ReadDword(key, "EMSBreakOnExit", &ems.breakOnExit);
    ReadText(key, "EMSLogFileLocation", ems.logFileLocation, sizeof ems.logFileLocation);

    const EMSSeams& seams = EMSCurrentSeams();
    if (ems.enableGlobalExceptionHandler == 1 && seams.InstallCrashHandler != nullptr)
        seams.InstallCrashHandler();

    if (RegGetDWORDSafe(key, "EMSDisplayToScreen", &v) == 1) {
        if (v == 0) {
            EMSTraceMessage("Display of EMS messages to the screen has been dynamically disabled.");
            ems.displayToScreen = false;
            ems.displayDisabled = true;
            if (seams.ReleaseMessageTexts != nullptr) seams.ReleaseMessageTexts();
        } else if (ems.displayDisabled) {
            ems.displayToScreen = true;
            EMSTraceMessage("Display of EMS messages to the screen has been dynamically reenabled.");
            ems.displayDisabled = false;
        }
    } else {
        Warn("EMSDisplayToScreen");
    }

    uint8_t* userData = nullptr;
    uint32_t userLength = 0;
    if (RegGetBinary(key, "EMSUserData", &userData, &userLength) == 1) {
        if (userLength > EMS_USER_DATA_MAX) userLength = EMS_USER_DATA_MAX;
        for (uint32_t i = 0; i < userLength; ++i) ems.userData[i].store(userData[i]);
        ems.userDataLength.store(userLength, std::memory_order_release);
        RegFreeBuffer(userData);
    } else {
        Warn("EMSUserData");
    }

    if (RegGetDWORDSafe(key, "EMSDbgBreakNow", &v) == 1 && v != 0) {
        RegSetDWORD(key, "EMSDbgBreakNow", 0);
        plat::RegFlushKey(key);
        plat::DebugBreak();
    }
    if (RegGetDWORDSafe(key, "EMSDbgFaultNow", &v) == 1 && v != 0) {
        RegSetDWORD(key, "EMSDbgFaultNow", 0);
        plat::RegFlushKey(key);
        std::raise(SIGSEGV);  // taken by the crash handler like any other fault
    }

    if (ems.zipCompressionEnabled == EMS_ZIP_NOT_READ) {
        ems.zipCompressionEnabled = RegGetDWORDSafe(key, "EMSZipCompressionEnabled", &v) == 1 && v != 0;
        if (ems.zipCompressionEnabled) {
            if (!ReadText(key, "EMSZipFormat", ems.zipFormat, sizeof ems.zipFormat) ||
                !ReadText(key, "EMSZipExtension", ems.zipExtension, sizeof ems.zipExtension))
                ems.zipCompressionEnabled = 0;
        }
    }
    std::fflush(stdout);
}

// The thread ends at the next change; the key stays open until the process ends, since the
// thread may be reading through it right now.
void EMSStopSettingsWatch() { g_watchStopping = true; }
