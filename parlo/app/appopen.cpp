// The open road: version and services, the application path, the agent look-up and the
// confirmation.
#include "nuvlib/ems.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"

// Until the road is built: nothing waits, nothing binds.
void CTIApplication::OpenValidAgent(ClientCB*, Agent*, uint16_t, int) {}
int CTIApplication::LoginWait(ClientCB*) { return 0; }
void CTIApplication::FailClientOpen(ClientCB*, uint32_t) {}
