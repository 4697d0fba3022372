#pragma once
// Test helpers of the OPC message tests: the trace lines EMS shows while a capture lives
// (the codec tests' capture), and printf into a std::string for the expected texts.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "tests/ctimsg/trace_capture.h"

namespace opctest {

using ctimsgtest::TraceCapture;

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
