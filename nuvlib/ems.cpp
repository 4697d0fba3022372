// Event reporting: the front ends, record building and dispatch, start-up and orderly exit.
#include "nuvlib/ems.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "nuvlib/emsinternal.h"
#include "nuvlib/emsrecord.h"
#include "nuvlib/emsseams.h"
#include "nuvlib/emstextsinks.h"
#include "nuvlib/mdsport.h"
#include "platform/byteorder.h"
#include "platform/clock.h"
#include "platform/lasterror.h"
#include "platform/process.h"

namespace {

constexpr uint32_t kFormatBuffer = 2048;
constexpr uint32_t kPiece = 239;
constexpr uint32_t kTextStepMin = 512;

// Constant-initialised: reports may come from static initialisers of other units.
constinit EMSSeams g_noSeams = {};
// The standard sinks from the start, so that a report made before EMSInitialize (a failed
// assertion early in main, say) is shown on the console rather than lost.
constinit std::atomic<const EMSSeams*> g_seams{&kEMSStandardSinks};

thread_local bool t_insideMDS = false;

struct ThreadText {
    char* buffer = nullptr;
    uint32_t capacity = 0;
    uint32_t length = 0;
    uint32_t step = kTextStepMin;
    ~ThreadText() { std::free(buffer); }
};
thread_local ThreadText t_text;

struct ExitEntry {
    ExitEntry* next;
    void (*function)(void*);
    void* argument;
    bool beforeBreak;
};
std::mutex& ExitListLock() {
    static std::mutex m;
    return m;
}
ExitEntry* g_exitList = nullptr;
std::atomic<bool> g_exitListRunning{false};

void EMSDispatchEvent(const uint8_t* block, uint32_t length) {
    EMSGlobals& ems = EMSState();
    std::lock_guard<std::recursive_mutex> hold(ems.lock);
    const EMSSeams& seams = EMSCurrentSeams();
    if ((block[emsoff::kFlags] & EMS_FLAG_CONSOLE) && seams.PrintToConsole)
        seams.PrintToConsole(block, length);
    if (!ems.initialised.load(std::memory_order_acquire)) return;
    EMSReportEvent(block, length);
    const uint32_t severity = plat::LoadLE32(block + emsoff::kEventId) >> 30;
    if (ems.eventSourceRegistered && seams.ReportToEventLog &&
        severity >= ems.ntEventLogLevel.load(std::memory_order_relaxed))
        seams.ReportToEventLog(block, length);
    if (seams.OfferToMonitors) seams.OfferToMonitors(block, length);
}

// Formats and reports a printf-style text; false when the formatting failed.
bool EMSFormatAndReport(uint32_t id, uint8_t kind, uint32_t code, const char* format, va_list ap) {
    char text[kFormatBuffer];
    int n = format != nullptr ? std::vsnprintf(text, sizeof text, format, ap) : -1;
    if (n < 0) {
        char idText[16];
        std::snprintf(idText, sizeof idText, "0x%x", id);
        EMSEvent0I2S(EMS_ID_FORMAT_FAULT, 0, 0, idText, format != nullptr ? format : "(null)");
        return false;
    }
    text[sizeof text - 1] = '\0';

    char slots[5][kPiece + 1];
    const char* pieces[5];
    const char* rest = text;
    size_t remaining = std::strlen(text);
    for (int i = 0; i < 5; ++i) {
        if (remaining > kPiece) {
            std::memcpy(slots[i], rest, kPiece);
            slots[i][kPiece] = '\0';
            pieces[i] = slots[i];
            rest += kPiece;
            remaining -= kPiece;
        } else {
            pieces[i] = rest;
            rest += remaining;
            remaining = 0;
        }
    }
    EMSEvent0I5S(id, kind, code, pieces[0], pieces[1], pieces[2], pieces[3], pieces[4]);
    return true;
}

void BreakIntoDebugger() {
    std::lock_guard<std::recursive_mutex> hold(EMSState().lock);
    plat::DebugBreak();
}

}  // namespace

EMSGlobals& EMSState() {
    static EMSGlobals* state = new EMSGlobals;  // never destroyed: reports may come late
    return *state;
}

void EMSCopyText(char* dest, size_t size, const char* src) {
    if (size == 0) return;
    size_t n = src != nullptr ? strnlen(src, size - 1) : 0;
    if (n > 0) std::memcpy(dest, src, n);
    dest[n] = '\0';
}

void EMSInstallSeams(const EMSSeams* seams) {
    g_seams.store(seams != nullptr ? seams : &g_noSeams, std::memory_order_release);
}
const EMSSeams& EMSCurrentSeams() { return *g_seams.load(std::memory_order_acquire); }

void EMSLockGlobal() { EMSState().lock.lock(); }
bool EMSTryLockGlobal() { return EMSState().lock.try_lock(); }
void EMSUnlockGlobal() { EMSState().lock.unlock(); }

// ---- front ends ----

#define EMS_FRONT(name, id, kindExpr, codeExpr, fatal)                                    \
    void name(const char* format, ...) {                                                  \
        const uint8_t kind = (kindExpr);                                                  \
        const uint32_t code = (codeExpr);                                                 \
        va_list ap;                                                                       \
        va_start(ap, format);                                                             \
        EMSFormatAndReport(id, kind, code, format, ap);                                   \
        va_end(ap);                                                                       \
        if constexpr (fatal) EMSExit(EMS_EXIT_FATAL, true);                               \
    }

EMS_FRONT(EMSTraceMessage, EMS_ID_TRACE, EMS_STATUS_NONE, 0, false)
EMS_FRONT(EMSTraceMessageLastError, EMS_ID_TRACE, EMS_STATUS_WIN32, plat::GetLastError(), false)
EMS_FRONT(EMSTraceMessageErrno, EMS_ID_TRACE, EMS_STATUS_ERRNO, static_cast<uint32_t>(errno),
          false)
EMS_FRONT(EMSErrorMessage, EMS_ID_ERROR, EMS_STATUS_NONE, 0, false)
EMS_FRONT(EMSFailMessage, EMS_ID_FAIL, EMS_STATUS_NONE, 0, true)
EMS_FRONT(EMSFailMessageLastError, EMS_ID_FAIL, EMS_STATUS_WIN32, plat::GetLastError(), true)
EMS_FRONT(EMSFailMessageErrno, EMS_ID_FAIL, EMS_STATUS_ERRNO, static_cast<uint32_t>(errno), true)

void EMSTraceMessageStatus(uint32_t code, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    EMSFormatAndReport(EMS_ID_TRACE, EMS_STATUS_WIN32, code, format, ap);
    va_end(ap);
}

void EMSFailMessageStatus(uint32_t code, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    EMSFormatAndReport(EMS_ID_FAIL, EMS_STATUS_WIN32, code, format, ap);
    va_end(ap);
    EMSExit(EMS_EXIT_FATAL, true);
}

// ---- parameterised events ----

void EMSBuildAndSendEvent(uint32_t id, uint8_t kind, uint32_t code, uint32_t dataLength,
                          const void* data, uint32_t intCount, uint32_t strCount, int32_t i1,
                          int32_t i2, int32_t i3, int32_t i4, int32_t i5, const char* s1,
                          const char* s2, const char* s3, const char* s4, const char* s5) {
    EMSGlobals& ems = EMSState();
    const int32_t ints[5] = {i1, i2, i3, i4, i5};
    const char* strs[5] = {s1, s2, s3, s4, s5};
    if (intCount > EMS_MAX_INTS) intCount = EMS_MAX_INTS;
    if (strCount > EMS_MAX_STRINGS) strCount = EMS_MAX_STRINGS;
    bool unreadable = dataLength != 0 && data == nullptr;
    for (uint32_t i = 0; i < strCount; ++i) unreadable = unreadable || strs[i] == nullptr;
    if (unreadable) {
        // An argument that cannot be read drops the event; say which one was lost.
        if (id != EMS_ID_ARGUMENT_FAULT) {
            char idText[16];
            std::snprintf(idText, sizeof idText, "0x%x", id);
            EMSEvent0I1S(EMS_ID_ARGUMENT_FAULT, 0, 0, idText);
        }
        return;
    }

    EMSRecordInput in;
    in.systemType = ems.systemType.load(std::memory_order_relaxed);
    in.systemId = ems.systemId;
    in.statusKind = kind;
    in.statusCode = code;
    in.mdsStamp = static_cast<uint32_t>(MDSCurrentClientPort().GetLastInputStamp());
    in.eventId = id;
    in.time = plat::FileTimeNow();
    in.side = ems.side;
    in.processName = ems.processName;
    in.computerName = ems.computerName;
    in.intCount = intCount;
    in.ints = ints;
    in.strCount = strCount;
    in.strings = strs;
    in.dataLength = dataLength;
    in.data = data;

    EMSEventRecord block;
    const uint32_t length = EMSFillRecord(block, in);
    const bool initialised = ems.initialised.load(std::memory_order_acquire);
    if (!initialised || ems.displayToScreen.load(std::memory_order_relaxed))
        block[emsoff::kFlags] |= EMS_FLAG_CONSOLE;

    if ((id >> 30) >= 1 && initialised) {
        if (t_insideMDS) {
            if (EMSGetTraceMask() & 0x10000000) {
                std::fputs("Nested call of EMS from MDS.  Returning without sending message.\n",
                           stdout);
                std::fflush(stdout);
            }
        } else {
            t_insideMDS = true;
            EMSForwardToMDS(block);
            t_insideMDS = false;
        }
    }
    EMSDispatchEvent(block, length);
}

void EMSEvent0I0S(uint32_t id, uint8_t kind, uint32_t code) {
    EMSBuildAndSendEvent(id, kind, code, 0, nullptr, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr,
                         nullptr, nullptr, nullptr);
}
void EMSEvent1I0S(uint32_t id, uint8_t kind, uint32_t code, int32_t i1) {
    EMSBuildAndSendEvent(id, kind, code, 0, nullptr, 1, 0, i1, 0, 0, 0, 0, nullptr, nullptr,
                         nullptr, nullptr, nullptr);
}
void EMSEvent2I0S(uint32_t id, uint8_t kind, uint32_t code, int32_t i1, int32_t i2) {
    EMSBuildAndSendEvent(id, kind, code, 0, nullptr, 2, 0, i1, i2, 0, 0, 0, nullptr, nullptr,
                         nullptr, nullptr, nullptr);
}
void EMSEvent0I1S(uint32_t id, uint8_t kind, uint32_t code, const char* s1) {
    EMSBuildAndSendEvent(id, kind, code, 0, nullptr, 0, 1, 0, 0, 0, 0, 0, s1, nullptr, nullptr,
                         nullptr, nullptr);
}
void EMSEvent0I2S(uint32_t id, uint8_t kind, uint32_t code, const char* s1, const char* s2) {
    EMSBuildAndSendEvent(id, kind, code, 0, nullptr, 0, 2, 0, 0, 0, 0, 0, s1, s2, nullptr,
                         nullptr, nullptr);
}
void EMSEvent0I3S(uint32_t id, uint8_t kind, uint32_t code, const char* s1, const char* s2,
                  const char* s3) {
    EMSBuildAndSendEvent(id, kind, code, 0, nullptr, 0, 3, 0, 0, 0, 0, 0, s1, s2, s3, nullptr,
                         nullptr);
}
void EMSEvent0I5S(uint32_t id, uint8_t kind, uint32_t code, const char* s1, const char* s2,
                  const char* s3, const char* s4, const char* s5) {
    EMSBuildAndSendEvent(id, kind, code, 0, nullptr, 0, 5, 0, 0, 0, 0, 0, s1, s2, s3, s4, s5);
}
void EMSEvent1I1S(uint32_t id, uint8_t kind, uint32_t code, int32_t i1, const char* s1) {
    EMSBuildAndSendEvent(id, kind, code, 0, nullptr, 1, 1, i1, 0, 0, 0, 0, s1, nullptr, nullptr,
                         nullptr, nullptr);
}
void EMSEvent1I2S(uint32_t id, uint8_t kind, uint32_t code, int32_t i1, const char* s1,
                  const char* s2) {
    EMSBuildAndSendEvent(id, kind, code, 0, nullptr, 1, 2, i1, 0, 0, 0, 0, s1, s2, nullptr,
                         nullptr, nullptr);
}
void EMSEvent1I4S(uint32_t id, uint8_t kind, uint32_t code, int32_t i1, const char* s1,
                  const char* s2, const char* s3, const char* s4) {
    EMSBuildAndSendEvent(id, kind, code, 0, nullptr, 1, 4, i1, 0, 0, 0, 0, s1, s2, s3, s4,
                         nullptr);
}
void EMSEvent2I1S(uint32_t id, uint8_t kind, uint32_t code, int32_t i1, int32_t i2,
                  const char* s1) {
    EMSBuildAndSendEvent(id, kind, code, 0, nullptr, 2, 1, i1, i2, 0, 0, 0, s1, nullptr, nullptr,
                         nullptr, nullptr);
}
void EMSEvent2I2S(uint32_t id, uint8_t kind, uint32_t code, int32_t i1, int32_t i2,
                  const char* s1, const char* s2) {
    EMSBuildAndSendEvent(id, kind, code, 0, nullptr, 2, 2, i1, i2, 0, 0, 0, s1, s2, nullptr,
                         nullptr, nullptr);
}
void EMSEventData0I1S(uint32_t id, uint8_t kind, uint32_t code, uint32_t dataLength,
                      const void* data, const char* s1) {
    EMSBuildAndSendEvent(id, kind, code, dataLength, data, 0, 1, 0, 0, 0, 0, 0, s1, nullptr,
                         nullptr, nullptr, nullptr);
}

// ---- settings read by callers ----

uint32_t EMSGetTraceMask() { return EMSState().traceMask.load(std::memory_order_relaxed); }
bool EMSIsThreadIdPrefixOn() { return false; }
void EMSSetInsideMDS(bool flag) { t_insideMDS = flag; }
bool EMSIsInsideMDS() { return t_insideMDS; }

const uint8_t* EMSGetUserData(uint32_t* length) {
    EMSGlobals& ems = EMSState();
    if (length != nullptr) *length = ems.userDataLength.load(std::memory_order_acquire);
    static_assert(sizeof(std::atomic<uint8_t>) == 1);
    return reinterpret_cast<const uint8_t*>(ems.userData);
}

bool EMSIsUserDataBitSet(uint32_t bit) {
    if (bit == 0) return false;
    EMSGlobals& ems = EMSState();
    const uint32_t byte = (bit - 1) / 8;
    if (byte >= ems.userDataLength.load(std::memory_order_acquire)) return false;
    return (ems.userData[byte].load(std::memory_order_relaxed) & (0x80u >> ((bit - 1) % 8))) != 0;
}

// ---- start-up ----

int EMSInitialize(const char* registryBase, const char* installRoot, const char* processName,
                  int systemId, char side) {
    EMSGlobals& ems = EMSState();
    std::lock_guard<std::recursive_mutex> hold(ems.lock);
    if (ems.initialised.load()) return 0;

    EMSCopyText(ems.registryBase, sizeof ems.registryBase, registryBase);
    EMSCopyText(ems.installRoot, sizeof ems.installRoot, installRoot);
    EMSCopyText(ems.processName, sizeof ems.processName, processName);
    ems.systemId = static_cast<uint8_t>(systemId);
    ems.side = static_cast<uint8_t>(side);

    // A process that installed no sinks of its own gets the standard ones.
    if (&EMSCurrentSeams() == &g_noSeams) EMSInstallSeams(&kEMSStandardSinks);
    EMSInitSettings();
    // The console has no quick-edit mode to switch off here.

    const bool logOk = EMSInitLogFile() == 1;

    const EMSSeams& seams = EMSCurrentSeams();
    bool sourceOk = true;
    ems.eventSourceRegistered = false;
    if (seams.RegisterEventSource != nullptr) {
        sourceOk = seams.RegisterEventSource();
        ems.eventSourceRegistered = sourceOk;
    }

    std::string computer = plat::ComputerName();
    const bool nameOk = !computer.empty();
    if (nameOk)
        EMSCopyText(ems.computerName, sizeof ems.computerName, computer.c_str());
    else
        EMSTraceMessageLastError("GetComputerName failed to get name for SourceSystemName.");

    ems.initialised.store(logOk && nameOk, std::memory_order_release);
    EMSEvent0I0S(EMS_ID_STARTED, 0, 0);

    if (!sourceOk) {
        EMSTraceMessageLastError("EMS library warning: Couldn't register event source.");
        EMSTraceMessage("Registry key under EventLog\\Application may be missing.");
    }
    if (ems.breakOnInit.load()) plat::DebugBreak();
    if (seams.StartMonitorServer != nullptr)
        seams.StartMonitorServer(ems.registryBase, ems.processName);
    return logOk && sourceOk && nameOk ? 1 : 0;
}

// ---- exit ----

bool EMSAddExitCallback(void (*function)(void*), void* argument, bool atHead, bool beforeBreak) {
    if (function == nullptr || g_exitListRunning.load()) return false;
    std::lock_guard<std::mutex> hold(ExitListLock());
    if (g_exitListRunning.load()) return false;
    auto* entry = new ExitEntry{nullptr, function, argument, beforeBreak};
    if (g_exitList == nullptr) {
        g_exitList = entry;
    } else if (atHead) {
        entry->next = g_exitList;
        g_exitList = entry;
    } else {
        ExitEntry* last = g_exitList;
        while (last->next != nullptr) last = last->next;
        last->next = entry;
    }
    return true;
}

void EMSExit(int exitCode, bool breakRequested) {
    EMSGlobals& ems = EMSState();
    if (breakRequested && ems.debugBreak.load()) {
        if (g_exitList != nullptr && !g_exitListRunning.load()) {
            std::unique_lock<std::mutex> hold(ExitListLock());
            g_exitListRunning = true;
            for (ExitEntry* e = g_exitList; e != nullptr; e = e->next)
                if (e->beforeBreak && e->function != nullptr) e->function(e->argument);
            g_exitListRunning = false;
        }
        BreakIntoDebugger();
    }
    if (g_exitList != nullptr && !g_exitListRunning.load()) {
        std::unique_lock<std::mutex> hold(ExitListLock());
        g_exitListRunning = true;
        ExitEntry* e = g_exitList;
        g_exitList = nullptr;
        while (e != nullptr) {
            ExitEntry* next = e->next;
            if (!e->beforeBreak && e->function != nullptr) e->function(e->argument);
            delete e;
            e = next;
        }
    }
    if (!t_insideMDS) {
        t_insideMDS = true;
        MDSCurrentClientPort().StopClient(exitCode == EMS_EXIT_SERVER_STOP ? 0 : 1);
        t_insideMDS = false;
    } else {
        std::fputs("Nested call of EMS from MDS.  Returning without calling MDSStopClient.\n",
                   stdout);
    }
    // The status keeps only the low byte of the code: leave the whole code in the log (a
    // process without one keeps its console free of it).
    if (ems.initialised.load(std::memory_order_acquire))
        EMSTraceMessage("Process exiting with exit code %d.", exitCode);
    {
        std::lock_guard<std::recursive_mutex> hold(ems.lock);
        EMSCloseLog();
    }
    std::fflush(stdout);
    std::fflush(stderr);
    plat::ExitProcess(exitCode);
}

void EMSExitProcess(int exitCode) { EMSExit(exitCode, EMSState().breakOnExit.load() != 0); }

// ---- per-thread text ----

void EMSThreadTextReset(uint32_t initialCapacity) {
    ThreadText& t = t_text;
    std::free(t.buffer);
    t.capacity = initialCapacity > kTextStepMin ? initialCapacity : kTextStepMin;
    t.step = t.capacity;
    t.buffer = static_cast<char*>(std::malloc(t.capacity));
    if (t.buffer == nullptr) NUV_ALLOC_FAILED(t.capacity);
    t.buffer[0] = '\0';
    t.length = 0;
}

void EMSThreadTextAppend(const char* text) {
    if (text == nullptr) return;
    ThreadText& t = t_text;
    if (t.buffer == nullptr) EMSThreadTextReset(t.step);
    const size_t n = std::strlen(text);
    if (n >= t.capacity - t.length - 1) {
        const size_t capacity = t.capacity + t.step + n;
        char* grown = static_cast<char*>(std::malloc(capacity));
        if (grown == nullptr) NUV_ALLOC_FAILED(capacity);
        std::memcpy(grown, t.buffer, t.length);
        std::memcpy(grown + t.length, text, n + 1);
        std::free(t.buffer);
        t.buffer = grown;
        t.capacity = static_cast<uint32_t>(capacity);
    } else {
        std::memcpy(t.buffer + t.length, text, n + 1);
    }
    t.length = static_cast<uint32_t>(std::strlen(t.buffer));
}

const char* EMSThreadTextGet() {
    if (t_text.buffer == nullptr) EMSThreadTextReset(t_text.step);
    return t_text.buffer;
}
