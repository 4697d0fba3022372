#pragma once
// EMS: the process's event reporting. Every subsystem reports through these calls.
#include <cstdint>

#define EMS_PRINTF(f, a) __attribute__((format(printf, f, a)))

// Event ids reported by EMS itself.
constexpr uint32_t EMS_ID_TRACE = 0x21010003;
constexpr uint32_t EMS_ID_FAIL = 0xE101C003;
constexpr uint32_t EMS_ID_ERROR = 0xE101C006;
constexpr uint32_t EMS_ID_FORMAT_FAULT = 0x2101C004;
constexpr uint32_t EMS_ID_FORMAT_FAULT_NESTED = 0x2101C005;
constexpr uint32_t EMS_ID_STARTED = 0x61010002;
constexpr uint32_t EMS_ID_ARGUMENT_FAULT = 0xE101C002;

// Status kinds stored with every event.
enum EMSStatusKind : uint8_t {
    EMS_STATUS_NONE = 0,
    EMS_STATUS_WIN32 = 1,
    EMS_STATUS_ERRNO = 2,
    EMS_STATUS_EMT = 3,
    EMS_STATUS_MDS = 4,
    EMS_STATUS_SS7 = 6,
};

// Exit codes used across the system.
constexpr int EMS_EXIT_FATAL = 100002;
constexpr int EMS_EXIT_FORCED = 100003;
constexpr int EMS_EXIT_SERVER_STOP = 100008;
constexpr int EMS_EXIT_CONSOLE = 9999;
constexpr int EMS_EXIT_NODE_MANAGER = 200004;

void EMSTraceMessage(const char* format, ...) EMS_PRINTF(1, 2);
void EMSTraceMessageLastError(const char* format, ...) EMS_PRINTF(1, 2);
void EMSTraceMessageStatus(uint32_t code, const char* format, ...) EMS_PRINTF(2, 3);
void EMSTraceMessageErrno(const char* format, ...) EMS_PRINTF(1, 2);
void EMSErrorMessage(const char* format, ...) EMS_PRINTF(1, 2);
[[noreturn]] void EMSFailMessage(const char* format, ...) EMS_PRINTF(1, 2);
[[noreturn]] void EMSFailMessageLastError(const char* format, ...) EMS_PRINTF(1, 2);
[[noreturn]] void EMSFailMessageStatus(uint32_t code, const char* format, ...) EMS_PRINTF(2, 3);
[[noreturn]] void EMSFailMessageErrno(const char* format, ...) EMS_PRINTF(1, 2);

// Parameterised events: exactly I integers and S strings.
void EMSEvent0I0S(uint32_t id, uint8_t kind, uint32_t code);
void EMSEvent1I0S(uint32_t id, uint8_t kind, uint32_t code, int32_t i1);
void EMSEvent2I0S(uint32_t id, uint8_t kind, uint32_t code, int32_t i1, int32_t i2);
void EMSEvent0I1S(uint32_t id, uint8_t kind, uint32_t code, const char* s1);
void EMSEvent0I2S(uint32_t id, uint8_t kind, uint32_t code, const char* s1, const char* s2);
void EMSEvent0I3S(uint32_t id, uint8_t kind, uint32_t code, const char* s1, const char* s2,
                  const char* s3);
void EMSEvent0I5S(uint32_t id, uint8_t kind, uint32_t code, const char* s1, const char* s2,
                  const char* s3, const char* s4, const char* s5);
void EMSEvent1I1S(uint32_t id, uint8_t kind, uint32_t code, int32_t i1, const char* s1);
void EMSEvent1I2S(uint32_t id, uint8_t kind, uint32_t code, int32_t i1, const char* s1,
                  const char* s2);
void EMSEvent1I4S(uint32_t id, uint8_t kind, uint32_t code, int32_t i1, const char* s1,
                  const char* s2, const char* s3, const char* s4);
void EMSEvent2I1S(uint32_t id, uint8_t kind, uint32_t code, int32_t i1, int32_t i2,
                  const char* s1);
void EMSEvent2I2S(uint32_t id, uint8_t kind, uint32_t code, int32_t i1, int32_t i2,
                  const char* s1, const char* s2);
void EMSEventData0I1S(uint32_t id, uint8_t kind, uint32_t code, uint32_t dataLength,
                      const void* data, const char* s1);

uint32_t EMSGetTraceMask();
bool EMSIsThreadIdPrefixOn();
void EMSSetInsideMDS(bool flag);
bool EMSIsInsideMDS();

// 1 on success; 0 on failure or when already initialised.
[[nodiscard]] int EMSInitialize(const char* registryBase, const char* installRoot,
                                const char* processName, int systemId, char side);
[[noreturn]] void EMSExitProcess(int exitCode);
// Refused (returns false) while the exit list is running.
bool EMSAddExitCallback(void (*function)(void*), void* argument, bool atHead, bool beforeBreak);

// Ends the process through the exit callbacks with the given code; the break into the debugger
// (and the before-break callbacks) happen only when asked for and EMSDebugBreak is set.
[[noreturn]] void EMSExit(int exitCode, bool breakRequested);

// Builds one event record and sends it to every sink. At most 5 integers and 5 strings; a
// counted string that is null drops the event (reported as event 0xE101C002).
void EMSBuildAndSendEvent(uint32_t id, uint8_t kind, uint32_t code, uint32_t dataLength,
                          const void* data, uint32_t intCount, uint32_t strCount, int32_t i1,
                          int32_t i2, int32_t i3, int32_t i4, int32_t i5, const char* s1,
                          const char* s2, const char* s3, const char* s4, const char* s5);

// Publishes the console title in the process-status section for the other processes.
void EMSUpdateStatusTitle(const char* title);

// User-data trace bits (registry value EMSUserData): bit n (1-based) is byte (n-1)/8 under
// mask 0x80 >> ((n-1) % 8). The array holds at most 260 bytes.
const uint8_t* EMSGetUserData(uint32_t* length);
bool EMSIsUserDataBitSet(uint32_t bit);

// The EMS global lock (recursive), for sinks and the crash handler.
void EMSLockGlobal();
[[nodiscard]] bool EMSTryLockGlobal();
void EMSUnlockGlobal();

// The calling thread's growable text buffer, valid until its next reset.
void EMSThreadTextReset(uint32_t initialCapacity);
void EMSThreadTextAppend(const char* text);
const char* EMSThreadTextGet();

// Broken invariants and allocation failures end the process with these texts.
#define NUV_ASSERT(expr)                                                                  \
    do {                                                                                  \
        if (!(expr))                                                                      \
            EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n", #expr, __FILE__, \
                           __LINE__);                                                     \
    } while (0)
#define NUV_ALLOC_FAILED(bytes)                                                        \
    EMSFailMessage("Memory allocation of %d bytes failed:  File: %s.  Line %d\n", \
                   static_cast<int>(bytes), __FILE__, __LINE__)
