#pragma once
// Reading the fields of an unsolicited CSTA event and writing the ones every call event shares
// into its client message. The event body is the record's (zero-filled past its length, so
// every fixed offset of an event is inside it). Application thread.
#include <cstdint>

#include "opcmsg/tpcstamsg.h"
#include "parlo/app/cstaintake.h"
#include "parlo/model/csta.h"

class BaseMSG;

namespace cstaevent {

// The event's main connection (body offset cstabody::kMain); its deviceID is terminated.
ConnectionID MainConnection(const CSTAMessage& message);
// The extended device ID at a body offset, its deviceID cut to 63 characters.
CSTAExtendedDeviceID Device(const CSTAMessage& message, uint32_t offset);
// A 32-bit word of the body.
int32_t BodyWord(const CSTAMessage& message, uint32_t offset);
// The area word at a byte offset of the message (32 is the area's first word).
int32_t Area(const CSTAMessage& message, uint32_t messageOffset);

// SkillGroupNumber, SkillGroupID and SkillGroupPriority from the number word, whose top byte
// is the priority (128 meaning 0); -1 goes as it stands with priority 0.
void SetSkillGroup(BaseMSG& msg, int32_t numberWord, int32_t skillGroupID);
// TrunkNumber and TrunkGroupNumber, unless both are -1.
void SetTrunks(BaseMSG& msg, int32_t trunkNumber, int32_t trunkGroupNumber);
// LocalConnectionState and EventCause, as 16 bits.
void SetStateAndCause(BaseMSG& msg, int32_t localConnectionState, int32_t cause);

}  // namespace cstaevent
