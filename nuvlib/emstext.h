#pragma once
// Event text: records shown on the console as "hh:mm:ss <text>" with the event's inserts,
// readable status lines, and the system event log under the source "Quenlo Systems Inc. ZUR".
#include <cstdint>
#include <string>

class MsgCatalog;

constexpr const char* EMS_EVENT_SOURCE = "Quenlo Systems Inc. ZUR";
constexpr const char* EMS_ARG_MISSING = "<EMS Arg Missing>";

// Event-log entry types (the platform's numbers).
constexpr uint16_t EMS_EVENTLOG_ERROR_TYPE = 1;
constexpr uint16_t EMS_EVENTLOG_WARNING_TYPE = 2;
constexpr uint16_t EMS_EVENTLOG_INFORMATION_TYPE = 4;

// Prints one record on the console (standard output).
void EMSPrintEvent(const uint8_t* block, uint32_t length);
// Prints the status line of a status kind and code; kind 0 prints nothing.
void EMSPrintStatus(uint8_t kind, uint32_t code);
// The status line of the calling thread's last error.
void EMSPrintLastError();
// The readable text of a status: 1 with a text, 0 with a fallback text.
int EMSFormatStatusText(const MsgCatalog* library, uint8_t kind, uint32_t code,
                        std::string* text);

// The catalogue in the slot of an event id (bits 27-24), loaded on first use; null when it
// cannot be loaded. Takes the EMS global lock.
const MsgCatalog* EMSMessageLibrary(uint32_t eventId);
// Frees every loaded catalogue, so that the next use loads it again.
void EMSFreeMessageLibraries();

// Event log: type from the severity, category from the facility.
uint16_t EMSEventType(uint32_t eventId);
uint16_t EMSEventCategory(uint32_t eventId);
// Registers the event source (syslog, plus the event-log file when a log directory is set).
bool EMSRegisterEventSource();
void EMSReportToEventLog(const uint8_t* block, uint32_t length);

// Forgets the once-only failure prints and the loaded catalogues (tests).
void EMSTextResetForTest();
