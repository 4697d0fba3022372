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

namespace {

// Whether `to` takes a message of this type, version and agent state at all.
bool Takes(const RecipientView& view, uint32_t type, uint32_t minVersion, int32_t agentState) {
    return view.version >= minVersion && PassesEventMasks(view, type, agentState);
}

// Tailors the frame for `to`: replace gets the re-encoded bytes when it needs other ones.
template <class Replace>
bool TailorFor(const Candidate& to, FrameStamp& own, BaseMSG& msg, bool traceAll, const FanoutRules& rules,
               Replace&& replace) {
    const RecipientView& view = to.view;
    const bool trace = rules.traceReEncodes && (traceAll || (view.traceFlags & sessiontrace::kSession) != 0);
    return TailorMessageForClient(own, view.version, msg, view.registeredCallVars, view.registeredVariables,
                                  view.serviceMask, trace, rules.utf8 && to.fromAllEvents && view.tressik,
                                  std::forward<Replace>(replace));
}

}  // namespace

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
        if (!Takes(to.view, type, minVersion, agentState)) continue;
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
        TransportMSG& target = *mine;
        if (!TailorFor(to, own, msg, traceAll, rules, [&](const uint8_t* data, int32_t length) {
                return sink.ReplaceFrame(target, data, length, to.view.version);
            })) {
            if (!sink.RecipientFailed(to, false)) break;
            continue;
        }
        sink.SendFrame(to, std::move(mine), own, msg);
        ++handed;
    }
    return handed;
}

int FanOutShared(const TransportMSG& frame, const FrameStamp& stamp, BaseMSG& msg,
                 std::span<const Candidate> candidates, bool traceAll, SharingSink& sink,
                 const FanoutRules& rules) {
    const uint32_t type = msg.GetMsgType();
    const uint32_t minVersion = msg.GetMinVersion();
    const int32_t agentState = DistributionAgentState(msg);
    int handed = 0;
    for (const Candidate& to : candidates) {
        if (!Takes(to.view, type, minVersion, agentState)) continue;
        FrameStamp own = stamp;
        // The copy is made only when the tailoring needs other bytes. One pointer captured:
        // the replacer is built for every recipient and must not allocate.
        struct Own {
            SharingSink& sink;
            const TransportMSG& frame;
            uint32_t version;
            std::unique_ptr<TransportMSG> copy;
            bool copyFailed = false;
        } state{sink, frame, to.view.version, nullptr};
        const bool tailored = TailorFor(to, own, msg, traceAll, rules, [p = &state](const uint8_t* data, int32_t length) {
            if (!p->copy) p->copy = p->sink.CopyFrame(p->frame);
            if (!p->copy) {
                p->copyFailed = true;
                return 0;
            }
            return p->sink.ReplaceFrame(*p->copy, data, length, p->version);
        });
        if (!tailored) {
            if (!sink.RecipientFailed(to, state.copyFailed)) break;
            continue;
        }
        if (state.copy)
            sink.SendFrame(to, std::move(state.copy), own, msg);
        else
            sink.ShareFrame(to, msg);
        ++handed;
    }
    return handed;
}
