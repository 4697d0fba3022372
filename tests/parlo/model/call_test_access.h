#pragma once
// Tests only: puts a call in states that no model operation makes, to show how the model
// reacts (a broken join, a private call without an owner, an aged last event).
#include <cstdint>

#include "parlo/model/call.h"

struct CallTestAccess {
    static void SetJoinedCall(Call* call, Call* joined) { call->m_JoinedCall = joined; }
    static void SetPrivate(Call* call, bool isPrivate) { call->m_Private = isPrivate; }
    static void SetReported(Call* call, bool reported) { call->m_Reported = reported; }
    static void SetLastEventTime(Call* call, int64_t seconds) { call->m_LastEventTime = seconds; }
};
