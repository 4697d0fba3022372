#include "parlo/model/noopports.h"

#include "parlo/model/agent.h"
#include "parlo/model/agentteam.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/mrdomain.h"

namespace model {

NoopPorts::NoopPorts()
    : m_Lock(LockObject::USAGE_CRITICAL_SECTION, nullptr, "RTServerConfig", 0xFFFFFFFF, 0, 0) {}

void NoopPorts::Install() {
    Ports p{this, this, this, this};
    InstallPorts(p);
    Call::InitCallList();
    CTICSTADevice::InitHashTables();
    CTICSTAConnection::InitFreeList();
    CTICSTAMonitor::InitHashTable();
    Agent::InitHashTables();
    MRDomain::InitHashTable();
    AgentTeam::InitHashTable();
}

}  // namespace model
