#include "parlo/server/sessiondomain.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "ctimsg/basemsg.h"
#include "ctimsg/names.h"
#include "nuvlib/ems.h"

namespace {
SessionDomain g_DefaultDomain;
std::atomic<SessionDomain*> g_Domain{nullptr};
}  // namespace

bool SessionDomain::FindAgentBySkillTargetID(int32_t, uint32_t, AgentSnapshot&) { return false; }
bool SessionDomain::FindAgentByAgentID(const std::string&, uint32_t, AgentSnapshot&) { return false; }
void SessionDomain::ForEachTeam(const std::function<void(const TeamInfo&)>&) {}
bool SessionDomain::FindTeamByPrimarySupervisor(int32_t, TeamInfo&) { return false; }
bool SessionDomain::HasClient(uint32_t) { return false; }
bool SessionDomain::IsTressikClient(uint32_t) { return false; }
bool SessionDomain::AppPathContains(uint32_t, uint32_t, uint32_t) { return false; }
void SessionDomain::WriteToSessionMonitors(StdQueue*, BaseMSG&) {}

int SessionDomain::ValidateMessage(const char* caller, BaseMSG& msg) {
    if (msg.ValidateToSend(24) == 0) return 1;
    std::string element = ElementName(msg.GetFailingElement());
    if (msg.GetFailingOccurrence() >= 1) element += "[" + std::to_string(msg.GetFailingOccurrence()) + "]";
    if (element.size() > 63) element.resize(63);
    const std::string stars(69, '*');
    EMSTraceMessage("%s", stars.c_str());
    EMSTraceMessage("Warning: %s - INVALID MESSAGE, err:%s, element:%s", caller,
                    StatusCodeName(msg.GetStatus()), element.c_str());
    EMSTraceMessage("%s", stars.c_str());
    return 0;
}

SessionDomain& GetSessionDomain() {
    SessionDomain* domain = g_Domain.load();
    return domain != nullptr ? *domain : g_DefaultDomain;
}

void SetSessionDomain(SessionDomain* domain) { g_Domain.store(domain); }
