// Interim: no log file yet.
#include "nuvlib/emsinternal.h"
#include "nuvlib/ems.h"

int EMSInitLogFile() { return 1; }
void EMSReportEvent(const uint8_t*, uint32_t) {}
void EMSCloseLog() {}
void EMSUpdateStatusTitle(const char*) {}
