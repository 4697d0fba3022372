// Interim: defaults only, until the registry settings land.
#include "nuvlib/emsinternal.h"

void EMSInitSettings() {}
void EMSReadSettings(plat::RegKey) {}
void EMSStopSettingsWatch() {}
