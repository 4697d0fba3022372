#pragma once
// What the catalogue's messages need beyond their rows: the call-context counts that a
// message built in this server takes from the context it carries. (The short trace of the
// two statistics confirmations is BaseMSG::TraceSummary.)
#include <cstdint>
#include <string>

#include "ctimsg/messages/messages.h"

// Sets NumNamedVariables and NumNamedArrays to the scalars and array elements that the
// message's ExpandedCallContxt holds. Builders call it after filling the context, so that a
// message of this server never fails its own count rule, and the classes without the rule
// never send counts that disagree with their context. False (and nothing set) when the class
// lacks the context or either count.
bool SetECCCounts(BaseMSG& msg);
