#pragma once
// Shows the text of every console event on standard error, so that death tests can match
// fatal reports. Install it inside the death-test statement.
#include <cstdio>

#include "nuvlib/emsrecord.h"
#include "nuvlib/emsseams.h"

namespace testsupport {

inline void PrintEventTextsToStderr(const uint8_t* block, uint32_t length) {
    EMSParsedRecord record;
    if (!EMSParseRecord(block, length, &record)) return;
    for (uint32_t i = 0; i < record.argCount; ++i) std::fprintf(stderr, "%s\n", record.args[i].c_str());
    std::fflush(stderr);
}

inline void ShowFatalTextsOnStderr() {
    static EMSSeams seams{};
    seams.PrintToConsole = &PrintEventTextsToStderr;
    EMSInstallSeams(&seams);
}

}  // namespace testsupport
