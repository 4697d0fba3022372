#pragma once
// The texts EMT traces, in order, for the EMT tests: RecordTraces installs the recorder with
// a trace mask; the lines stay for the life of the process.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "nuvlib/emsinternal.h"
#include "nuvlib/emsrecord.h"
#include "nuvlib/emsseams.h"

namespace testsupport {

inline std::mutex& TraceLinesMutex() {
    static std::mutex& mu = *new std::mutex;
    return mu;
}
inline std::vector<std::string>& TraceLines() {
    static std::vector<std::string>& lines = *new std::vector<std::string>;
    return lines;
}
inline void RecordTraceLine(const uint8_t* block, uint32_t length) {
    EMSParsedRecord r;
    if (!EMSParseRecord(block, length, &r)) return;
    std::string text;  // a long text travels in several pieces
    for (uint32_t i = 0; i < r.argCount; ++i) text += r.args[i];
    std::lock_guard<std::mutex> l(TraceLinesMutex());
    TraceLines().push_back(text);
}
inline void RecordTraces(uint32_t mask) {
    static EMSSeams seams{};
    seams.PrintToConsole = &RecordTraceLine;
    EMSInstallSeams(&seams);
    EMSState().traceMask = mask;
}
inline size_t LinesContaining(const std::string& part) {
    std::lock_guard<std::mutex> l(TraceLinesMutex());
    const auto& lines = TraceLines();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& t) {
        return t.find(part) != std::string::npos;
    }));
}

}  // namespace testsupport
