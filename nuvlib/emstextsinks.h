#pragma once
// The sinks of event reporting that live outside its core: console event text, the system
// event log, the event monitor server and the crash handler. Event reporting uses them
// unless another table is installed.
#include "nuvlib/emsseams.h"

extern const EMSSeams kEMSStandardSinks;
// Installs them again (after a test table, for instance).
void EMSInstallStandardSinks();
