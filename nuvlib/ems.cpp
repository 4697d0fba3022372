// Interim EMS: reports go to the console only. Replaced by the full event library.
#include "nuvlib/ems.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
thread_local bool t_insideMDS = false;
thread_local std::string t_text;

void Report(const char* tag, const char* format, va_list ap) {
    char buf[2048];
    vsnprintf(buf, sizeof buf, format, ap);
    std::fprintf(stdout, "%s%s\n", tag, buf);
    std::fflush(stdout);
}

void Event(uint32_t id, int n, const char* const* s) {
    std::fprintf(stdout, "event 0x%08X", id);
    for (int i = 0; i < n; ++i) std::fprintf(stdout, " %s", s[i] ? s[i] : "");
    std::fprintf(stdout, "\n");
}
}  // namespace

#define EMS_FRONT(name, tag, fatal)         \
    void name(const char* format, ...) {    \
        va_list ap;                         \
        va_start(ap, format);               \
        Report(tag, format, ap);            \
        va_end(ap);                         \
        if (fatal) std::exit(EMS_EXIT_FATAL); \
    }

EMS_FRONT(EMSTraceMessage, "", false)
EMS_FRONT(EMSTraceMessageLastError, "", false)
EMS_FRONT(EMSTraceMessageErrno, "", false)
EMS_FRONT(EMSErrorMessage, "", false)
EMS_FRONT(EMSFailMessage, "FATAL: ", true)
EMS_FRONT(EMSFailMessageLastError, "FATAL: ", true)
EMS_FRONT(EMSFailMessageErrno, "FATAL: ", true)

void EMSTraceMessageStatus(uint32_t, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    Report("", format, ap);
    va_end(ap);
}
void EMSFailMessageStatus(uint32_t, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    Report("FATAL: ", format, ap);
    va_end(ap);
    std::exit(EMS_EXIT_FATAL);
}

void EMSEvent0I0S(uint32_t id, uint8_t, uint32_t) { Event(id, 0, nullptr); }
void EMSEvent1I0S(uint32_t id, uint8_t, uint32_t, int32_t) { Event(id, 0, nullptr); }
void EMSEvent2I0S(uint32_t id, uint8_t, uint32_t, int32_t, int32_t) { Event(id, 0, nullptr); }
void EMSEvent0I1S(uint32_t id, uint8_t, uint32_t, const char* s1) { Event(id, 1, &s1); }
void EMSEvent0I2S(uint32_t id, uint8_t, uint32_t, const char* s1, const char* s2) {
    const char* s[] = {s1, s2};
    Event(id, 2, s);
}
void EMSEvent0I3S(uint32_t id, uint8_t, uint32_t, const char* s1, const char* s2, const char* s3) {
    const char* s[] = {s1, s2, s3};
    Event(id, 3, s);
}
void EMSEvent0I5S(uint32_t id, uint8_t, uint32_t, const char* s1, const char* s2, const char* s3,
                  const char* s4, const char* s5) {
    const char* s[] = {s1, s2, s3, s4, s5};
    Event(id, 5, s);
}
void EMSEvent1I1S(uint32_t id, uint8_t, uint32_t, int32_t, const char* s1) { Event(id, 1, &s1); }
void EMSEvent1I2S(uint32_t id, uint8_t, uint32_t, int32_t, const char* s1, const char* s2) {
    const char* s[] = {s1, s2};
    Event(id, 2, s);
}
void EMSEvent1I4S(uint32_t id, uint8_t, uint32_t, int32_t, const char* s1, const char* s2,
                  const char* s3, const char* s4) {
    const char* s[] = {s1, s2, s3, s4};
    Event(id, 4, s);
}
void EMSEvent2I1S(uint32_t id, uint8_t, uint32_t, int32_t, int32_t, const char* s1) {
    Event(id, 1, &s1);
}
void EMSEvent2I2S(uint32_t id, uint8_t, uint32_t, int32_t, int32_t, const char* s1,
                  const char* s2) {
    const char* s[] = {s1, s2};
    Event(id, 2, s);
}
void EMSEventData0I1S(uint32_t id, uint8_t, uint32_t, uint32_t, const void*, const char* s1) {
    Event(id, 1, &s1);
}

uint32_t EMSGetTraceMask() { return 0; }
bool EMSIsThreadIdPrefixOn() { return false; }
void EMSSetInsideMDS(bool flag) { t_insideMDS = flag; }
bool EMSIsInsideMDS() { return t_insideMDS; }
int EMSInitialize(const char*, const char*, const char*, int, char) { return 0; }
void EMSExitProcess(int exitCode) { std::exit(exitCode); }
bool EMSAddExitCallback(void (*)(void*), void*, bool, bool) { return true; }
void EMSThreadTextReset(uint32_t initialCapacity) {
    t_text.clear();
    t_text.reserve(initialCapacity);
}
void EMSThreadTextAppend(const char* text) { t_text += text; }
const char* EMSThreadTextGet() { return t_text.c_str(); }
