#include "parlo/session/fanout.h"

#include "ctimsg/basemsg.h"
#include "nuvlib/ems.h"
#include "parlo/common/svrtrace.h"
#include "parlo/session/transport.h"

bool TraceRecipientFailure(const Candidate& to, bool copying) {
    if (copying) {
        EMSTraceMessage("SessionProtocol::WriteMSG: msgP not found");
    } else if ((EMSGetTraceMask() & tracebit::kDefault) != 0) {
        EMSTraceMessage("SessionProtocol::WriteMSG - Error SessionMSG allocation failed for session %lu",
                        static_cast<unsigned long>(to.view.sessionID));
    }
    return true;
}

int FanOut(std::unique_ptr<TransportMSG> frame, const FrameStamp& stamp, BaseMSG& msg,
           std::span<const Candidate> candidates, bool traceAll, FanoutSink& sink,
           const FanoutRules& rules) {
    const uint32_t type = msg.GetMsgType();
    const uint32_t minVersion = msg.GetMinVersion();
    const int32_t agentState = DistributionAgentState(msg);
    size_t remaining = candidates.size();
    int handed = 0;
    for (const Candidate& to : candidates) {
        --remaining;
        const RecipientView& view = to.view;
        if (view.version < minVersion || !PassesEventMasks(view, type, agentState)) continue;
        std::unique_ptr<TransportMSG> mine;
        if (remaining > 0) {
            mine = sink.CopyFrame(*frame);
            if (!mine) {
                if (!sink.RecipientFailed(to, true)) break;
                continue;
            }
        } else {
            mine = std::move(frame);
        }
        FrameStamp own = stamp;
        const bool trace = rules.traceReEncodes && (traceAll || (view.traceFlags & sessiontrace::kSession) != 0);
        TransportMSG& target = *mine;
        const auto replace = [&](const uint8_t* data, int32_t length) {
            return sink.ReplaceFrame(target, data, length, view.version);
        };
        if (!TailorMessageForClient(own, view.version, msg, view.registeredCallVars,
                                    view.registeredVariables, view.serviceMask, trace,
                                    rules.utf8 && to.fromAllEvents && view.tressik, replace)) {
            if (!sink.RecipientFailed(to, false)) break;
            continue;
        }
        sink.SendFrame(to, std::move(mine), own, msg);
        ++handed;
    }
    return handed;
}
