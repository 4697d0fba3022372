#pragma once
// The distributor's loop over its candidate recipients: one frame encoded once, a copy for
// every recipient but the last candidate, which takes the original; each recipient's frame
// tailored for it before it is handed to the session's send. The session layer builds the
// candidate list under its master lock and sends through FanoutSink.
#include <cstdint>
#include <memory>
#include <span>

#include "parlo/session/outfilter.h"

class BaseMSG;
class TransportMSG;

// What one distribution does beyond delivery; the defaults are the distributor's.
struct FanoutRules {
    bool utf8 = true;            // Tressik clients of the ALL_EVENTS list get UTF-8 texts
    bool traceReEncodes = true;  // tailoring traces why it re-encodes a recipient's frame
};

// One candidate recipient, in delivery order. target is the session layer's object, passed
// back to the sink untouched; it must stay valid during the fan-out (the master lock).
struct Candidate {
    RecipientView view;
    bool fromAllEvents = false;  // taken from the ALL_EVENTS list (UTF-8 applies only then)
    void* target = nullptr;
};

// Where the fan-out sends; the session layer's sinks send through the sessions, tests record.
class FanoutSink {
public:
    virtual ~FanoutSink() = default;
    // A copy of frame for one more recipient, or null when it cannot be made (that
    // recipient is skipped).
    virtual std::unique_ptr<TransportMSG> CopyFrame(const TransportMSG& frame) = 0;
    // Puts a re-encoded frame of `length` bytes, made for `version`, in place of frame's
    // bytes; 1, or 0 when it cannot (the recipient is then skipped).
    [[nodiscard]] virtual int ReplaceFrame(TransportMSG& frame, const uint8_t* data, int32_t length,
                             uint32_t version) = 0;
    // The session's send with its filters (SendSessionMSG); stamp says what the frame was
    // encoded for.
    virtual void SendFrame(const Candidate& to, std::unique_ptr<TransportMSG> frame,
                           const FrameStamp& stamp, BaseMSG& msg) = 0;
    // No frame for `to`: its copy could not be made (copying) or its tailoring failed. True
    // goes on with the next candidate; false ends the distribution.
    [[nodiscard]] virtual bool RecipientFailed(const Candidate& to, bool copying) = 0;
};

// A sink that can hand the distributed frame itself, by reference, to a recipient that takes
// it unchanged.
class SharingSink : public FanoutSink {
public:
    // The frame as encoded goes to `to` (SendFrame's filters and records apply as there).
    virtual void ShareFrame(const Candidate& to, BaseMSG& msg) = 0;
};

// The distributor's answer to a recipient without a frame: traces the failure and goes on
// (true).
[[nodiscard]] bool TraceRecipientFailure(const Candidate& to, bool copying);

// Hands the frame (stamped by `stamp`) to every candidate whose version is at least the
// message's minimum and whose event masks pass; the original goes to the last candidate when
// it qualifies, and is dropped otherwise. msg is the frame's message, read (and restored)
// by the tailoring only during the call. traceAll is the EMS trace bit 0x08
// (a candidate's own trace flag 0x01 traces it alone). Returns the number of frames handed.
int FanOut(std::unique_ptr<TransportMSG> frame, const FrameStamp& stamp, BaseMSG& msg,
           std::span<const Candidate> candidates, bool traceAll, FanoutSink& sink,
           const FanoutRules& rules = {});
// FanOut without a copy per recipient: a recipient whose tailoring leaves `frame` as it is
// gets it by reference (sink.ShareFrame); only one that needs other bytes gets a copy of its
// own (CopyFrame, ReplaceFrame, SendFrame). frame stays the caller's. Returns the number of
// recipients handed a frame.
int FanOutShared(const TransportMSG& frame, const FrameStamp& stamp, BaseMSG& msg,
                 std::span<const Candidate> candidates, bool traceAll, SharingSink& sink,
                 const FanoutRules& rules = {});
