#pragma once
// What the catalogue's messages need beyond their rows: the short trace form of the two
// statistics confirmations, and the call-context counts that a message built in this server
// takes from the context it carries.
#include <cstdint>
#include <string>

#include "ctimsg/messages/messages.h"

// "MsgType:" and the type name, then InvokeID, PeripheralID and AgentID only: the full text
// of these confirmations runs to thousands of characters.
void TraceSummary(QueryAgentStatisticsConfMSG& msg, std::string& text, uint32_t version);
// The same with InvokeID, PeripheralID, SkillGroupNumber and SkillGroupID.
void TraceSummary(QuerySkillGroupStatisticsConfMSG& msg, std::string& text, uint32_t version);

// Sets NumNamedVariables and NumNamedArrays to the scalars and array elements that the
// message's ExpandedCallContxt holds. Builders call it after filling the context, so that a
// message of this server never fails its own count rule, and the classes without the rule
// never send counts that disagree with their context. False (and nothing set) when the class
// lacks the context or either count.
bool SetECCCounts(BaseMSG& msg);
