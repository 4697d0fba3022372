#include "nuvlib/emstext.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "nuvlib/ems.h"
#include "nuvlib/emsinternal.h"
#include "nuvlib/emsrecord.h"
#include "nuvlib/eventlog.h"
#include "nuvlib/msgcatalog.h"
#include "platform/byteorder.h"
#include "platform/clock.h"
#include "platform/lasterror.h"

namespace {

constexpr uint32_t kSlots = 16;
constexpr uint32_t kEventSlot = 1;
constexpr uint32_t kMsgNotFound = 317;  // the platform's "message not found"
constexpr size_t kStatusLineMax = 1023;
constexpr size_t kFallbackMax = 259;

MsgCatalog* g_slots[kSlots] = {};
bool g_printerFailureShown = false;
bool g_statusFailureShown = false;
bool g_eventLogFailureShown = false;
thread_local bool t_reportingFault = false;

// Scoped hold of the EMS global lock (recursive), released early where a report follows.
class GlobalLock {
public:
    GlobalLock() { EMSLockGlobal(); }
    ~GlobalLock() { Release(); }
    void Release() {
        if (held_) EMSUnlockGlobal();
        held_ = false;
    }

private:
    bool held_ = true;
};

void Console(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string Printf(const char* format, ...) EMS_PRINTF(1, 2);
std::string Printf(const char* format, ...) {
    char buf[kStatusLineMax + 1];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return n < 0 ? std::string() : std::string(buf);
}

// Loads the catalogue of a slot; the caller holds the global lock.
MsgCatalog* LoadSlot(uint32_t slot) {
    if (!g_slots[slot]) g_slots[slot] = MsgCatalog::Load();
    return g_slots[slot];
}

std::string CatalogName() {
    const char* file = std::getenv("PARLO_MSG_CATALOG");
    return file && *file ? file : "the event text catalogue";
}

// Event 0xE101C002 for a record that could not be shown or logged; never nested.
void ReportFault(uint32_t eventId) {
    if (t_reportingFault) return;
    t_reportingFault = true;
    char idText[16];
    std::snprintf(idText, sizeof idText, "0x%x", eventId);
    EMSEvent0I1S(EMS_ID_ARGUMENT_FAULT, 0, 0, idText);
    t_reportingFault = false;
}

// The platform's own text for an error number; false when it has none. The last-error word
// holds the platform's numbers for the errors callers test for and errno values otherwise.
bool PlatformText(uint32_t code, std::string* text) {
    static const struct {
        uint32_t code;
        const char* text;
    } kPlatform[] = {
        {2, "The system cannot find the file specified."},
        {3, "The system cannot find the path specified."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {8, "Not enough memory is available."},
        {13, "The data is invalid."},
        {29, "The device cannot be written to."},
        {80, "The file exists."},
        {87, "The parameter is incorrect."},
        {109, "The pipe has been ended."},
        {170, "The resource is busy."},
        {183, "The object already exists."},
        {206, "The name is too long."},
        {231, "All pipe instances are busy."},
        {234, "More data is available."},
        {258, "The wait timed out."},
        {259, "No more data is available."},
        {317, "No text exists for this message number."},
        {535, "A client is already connected to the pipe."},
        {997, "An overlapped operation is in progress."},
        {1009, "The registry store is corrupt."},
        {1018, "The registry key has been deleted."},
    };
    for (const auto& e : kPlatform) {
        if (e.code == code) {
            *text = e.text;
            return true;
        }
    }
    if (code == 0 || code > INT_MAX) return false;
    char buf[256];
    const char* s = strerror_r(static_cast<int>(code), buf, sizeof buf);
    if (!s || std::strncmp(s, "Unknown error", 13) == 0) return false;
    *text = s;
    return true;
}

bool ErrnoText(uint32_t code, std::string* text) {
    if (code == 0 || code > INT_MAX) return false;
    char buf[256];
    const char* s = strerror_r(static_cast<int>(code), buf, sizeof buf);
    if (!s || std::strncmp(s, "Unknown error", 13) == 0) return false;
    *text = s;
    return true;
}

std::string TimeText(uint64_t fileTime) {
    if (fileTime == 0) return "[Bad time value] ";
    int64_t ns = plat::FileTimeToUnixNs(fileTime);
    // Local time = UTC minus the bias, taken from the process's clock.
    int64_t secs = ns / 1000000000 - static_cast<int64_t>(plat::LocalBiasMinutes()) * 60;
    time_t t = static_cast<time_t>(secs);
    tm local{};
    if (secs < 0 || !gmtime_r(&t, &local)) return "[Bad time value] ";
    return Printf("%.2d:%.2d:%.2d ", local.tm_hour, local.tm_min, local.tm_sec);
}

}  // namespace

const MsgCatalog* EMSMessageLibrary(uint32_t eventId) {
    GlobalLock hold;
    return LoadSlot((eventId >> 24) & 0xF);
}

void EMSFreeMessageLibraries() {
    GlobalLock hold;
    for (auto& slot : g_slots) {
        delete slot;
        slot = nullptr;
    }
}

void EMSTextResetForTest() {
    EMSFreeMessageLibraries();
    g_printerFailureShown = g_statusFailureShown = g_eventLogFailureShown = false;
}

int EMSFormatStatusText(const MsgCatalog* library, uint8_t kind, uint32_t code,
                        std::string* text) {
    text->clear();
    switch (kind) {
        case EMS_STATUS_NONE: return 1;
        case EMS_STATUS_ERRNO:
            if (!ErrnoText(code, text))
                *text = Printf("Unknown C Runtime errno value: %d", static_cast<int>(code));
            return 1;
        case EMS_STATUS_SS7: *text = Printf("SS7 status code = %d", static_cast<int>(code)); return 1;
        default: break;
    }
    const char* format = library ? library->Find(code) : nullptr;
    if (format && MsgFormat(format, nullptr, 0, true, text) == MsgFormatResult::Ok) return 1;
    if (PlatformText(code, text)) return 1;
    format = library ? library->Find(code | 0x20000000u) : nullptr;
    if (format && MsgFormat(format, nullptr, 0, true, text) == MsgFormatResult::Ok) return 1;
    *text = Printf("Unknown status code %d.  GetLastError() after FormatMessage() returned %d",
                   static_cast<int>(code), static_cast<int>(kMsgNotFound));
    if (text->size() > kFallbackMax) text->resize(kFallbackMax);
    return 0;
}

void EMSPrintStatus(uint8_t kind, uint32_t code) {
    GlobalLock hold;
    MsgCatalog* library = LoadSlot(kEventSlot);
    if (!library) {
        if (!g_statusFailureShown) {
            g_statusFailureShown = true;
            uint32_t error = plat::GetLastError();
            Console(Printf("EMS library: LoadLibrary failed.  GetLastError() returned %d\n",
                           static_cast<int>(error)));
            Console(Printf("Couldn't access %s.  It may not be in your path.\n",
                           CatalogName().c_str()));
        }
        return;
    }
    if (kind == EMS_STATUS_NONE) return;
    std::string text;
    if (!EMSFormatStatusText(library, kind, code, &text)) {
        Console(Printf("  Failed to format status code %d type %d\n", static_cast<int>(code),
                       static_cast<int>(kind)));
        return;
    }
    const int c = static_cast<int>(code);
    const char* t = text.c_str();
    switch (kind) {
        case EMS_STATUS_WIN32: Console(Printf("  Last API Error [%d]: %s\n", c, t)); break;
        case EMS_STATUS_ERRNO: Console(Printf("  Last C Runtime Error [%d]: %s\n", c, t)); break;
        case EMS_STATUS_EMT: Console(Printf("  Last EMT Error [%d]: %s\n", c, t)); break;
        case EMS_STATUS_MDS: Console(Printf("  Last MDS Error [%d]: %s\n", c, t)); break;
        case EMS_STATUS_SS7: Console(Printf("  Last ICP Status [%d] %s\n", c, t)); break;
        default: Console(Printf("  Last status code [%d]: %s\n", c, t)); break;
    }
}

void EMSPrintLastError() { EMSPrintStatus(EMS_STATUS_WIN32, plat::GetLastError()); }

void EMSPrintEvent(const uint8_t* block, uint32_t length) {
    EMSParsedRecord rec;
    const uint32_t id = length >= 20 ? plat::LoadLE32(block + emsoff::kEventId) : 0;
    if (!EMSParseRecord(block, length, &rec)) {
        ReportFault(id);
        return;
    }
    GlobalLock hold;
    MsgCatalog* library = LoadSlot((id >> 24) & 0xF);
    if (!library) {
        if (!g_printerFailureShown) {
            g_printerFailureShown = true;
            uint32_t error = plat::GetLastError();
            Console(Printf("EMS library: LoadLibrary failed.  GetLastError() returned %d\n",
                           static_cast<int>(error)));
            Console(Printf("Couldn't access Message resource file for Facility Code 0x%x. It "
                           "may not be in your path or the registry path is invalid\n",
                           (id >> 16) & 0xFFF));
        }
        return;
    }
    const char* inserts[5];
    for (uint32_t i = 0; i < 5; ++i)
        inserts[i] = i < rec.argCount ? rec.args[i].c_str() : EMS_ARG_MISSING;
    const char* format = library->Find(id);
    if (!format) {
        Console(Printf("FormatMessage for message ID %lx failed.  GetLastError() returned %d\n",
                       static_cast<unsigned long>(id), static_cast<int>(kMsgNotFound)));
        hold.Release();
        EMSPrintStatus(EMS_STATUS_WIN32, kMsgNotFound);
        return;
    }
    std::string text;
    if (MsgFormat(format, inserts, 5, false, &text) != MsgFormatResult::Ok) {
        hold.Release();
        ReportFault(id);
        return;
    }
    Console(TimeText(plat::LoadLE64(block + emsoff::kTime)) + text + "\n");
    const uint8_t kind = block[emsoff::kStatusKind];
    if (kind != EMS_STATUS_NONE) EMSPrintStatus(kind, plat::LoadLE32(block + emsoff::kStatusCode));
}

uint16_t EMSEventType(uint32_t eventId) {
    switch (eventId >> 30) {
        case 2: return EMS_EVENTLOG_WARNING_TYPE;
        case 3: return EMS_EVENTLOG_ERROR_TYPE;
        default: return EMS_EVENTLOG_INFORMATION_TYPE;
    }
}

uint16_t EMSEventCategory(uint32_t eventId) {
    uint32_t facility = (eventId >> 16) & 0xFFF;
    return facility == 0 ? 267 : static_cast<uint16_t>(facility & 0xFF);
}

bool EMSRegisterEventSource() {
    GlobalLock hold;
    // The event-log file lives beside the log files.
    if (!TheEventLog().Register(EMS_EVENT_SOURCE, EMSLogDirectory())) {
        hold.Release();
        EMSPrintLastError();
        return false;
    }
    return true;
}

void EMSReportToEventLog(const uint8_t* block, uint32_t length) {
    EMSParsedRecord rec;
    const uint32_t id = length >= 20 ? plat::LoadLE32(block + emsoff::kEventId) : 0;
    if (!EMSParseRecord(block, length, &rec)) {
        ReportFault(id);
        return;
    }
    GlobalLock hold;
    EventLogEntry entry;
    entry.fileTime = plat::LoadLE64(block + emsoff::kTime);
    entry.type = EMSEventType(id);
    entry.category = EMSEventCategory(id);
    entry.eventId = id;
    for (uint32_t i = 0; i < rec.argCount; ++i) entry.strings.push_back(rec.args[i]);
    // The raw data is the record from its version byte: variable length + 32 bytes.
    uint32_t raw = plat::LoadLE16(block + emsoff::kVarLength) + 32u;
    if (raw > length - 4) raw = length - 4;
    entry.data = block + 4;
    entry.dataLength = raw;
    if (MsgCatalog* library = LoadSlot((id >> 24) & 0xF)) {
        const char* inserts[10];
        for (uint32_t i = 0; i < rec.argCount; ++i) inserts[i] = rec.args[i].c_str();
        if (const char* format = library->Find(id))
            MsgFormat(format, inserts, static_cast<int>(rec.argCount), false, &entry.text);
    }
    if (!TheEventLog().Report(entry) && !g_eventLogFailureShown) {
        g_eventLogFailureShown = true;
        Console(Printf("ReportEvent failed.  GetLastError returned %d\n",
                       static_cast<int>(plat::GetLastError())));
    }
}
