#pragma once
// Test helpers of the OPC message tests: the trace lines EMS shows while a capture lives, and
// printf into a std::string for the expected texts.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "nuvlib/emsrecord.h"
#include "nuvlib/emsseams.h"

namespace opctest {

inline std::string& CapturedTraces() {
    static std::string text;
    return text;
}

inline void CaptureConsoleRecord(const uint8_t* block, uint32_t length) {
    EMSParsedRecord parsed;
    if (!EMSParseRecord(block, length, &parsed)) return;
    for (uint32_t i = 0; i < parsed.argCount; ++i) CapturedTraces() += parsed.args[i];
    CapturedTraces() += '\n';
}

// Collects one line per trace while it lives.
class TraceCapture {
public:
    TraceCapture() {
        CapturedTraces().clear();
        EMSInstallSeams(&kSeams);
    }
    ~TraceCapture() { EMSInstallSeams(nullptr); }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::string Take() {
        std::string out;
        out.swap(CapturedTraces());
        return out;
    }

private:
    static constexpr EMSSeams kSeams = {CaptureConsoleRecord, nullptr, nullptr, nullptr,
                                        nullptr,              nullptr, nullptr, nullptr};
};

inline std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string Format(const char* format, ...) {
    char buffer[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

}  // namespace opctest
