#pragma once
// Collects the trace lines that EMS shows on the console while an object lives, one line each
// with a line end, so tests can look for the texts the code traces.
#include <cstdint>
#include <string>

#include "nuvlib/emsrecord.h"
#include "nuvlib/emsseams.h"

namespace ctimsgtest {

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

class TraceCapture {
public:
    TraceCapture() {
        CapturedTraces().clear();
        EMSInstallSeams(&kSeams);
    }
    ~TraceCapture() { EMSInstallSeams(nullptr); }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    // The lines so far; capturing goes on.
    std::string Take() {
        std::string out;
        out.swap(CapturedTraces());
        return out;
    }

private:
    static constexpr EMSSeams kSeams = {CaptureConsoleRecord, nullptr, nullptr, nullptr,
                                        nullptr,              nullptr, nullptr, nullptr};
};

}  // namespace ctimsgtest
