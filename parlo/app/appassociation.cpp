// Binding agent-mode sessions to their agents, and agents to their devices.
#include "nuvlib/ems.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"

// Until association is built: nothing binds.
int CTIApplication::CompleteAgentAssociation(ClientCB*, Agent*, int) { return 0; }
int CTIApplication::ResolveAgentConflict(ClientCB*, ClientCB*) { return 0; }
void CTIApplication::SetAgentDevice(Agent*, CTICSTADevice*) {}
