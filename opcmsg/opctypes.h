#pragma once
// The OPC message types as constants named as the protocol spells them, all from the one
// list of opctypes.def: the CTI types here (CTI_CSTA_MESSAGE == 28), the ARM types in
// ARMMsgType (armmsg.h) and the ACMI types in ACMIMsgType (acmimsg.h), both included; their
// names: OPCMessageTypeName. Also the message class that every OPC message travels in.
#include <cstdint>

#include "opcmsg/acmimsg.h"
#include "opcmsg/armmsg.h"
#include "opcmsg/opcnames.h"

enum OPCType : uint8_t {
#define OPC_TYPE_Cti(number, name) name = number,
#define OPC_TYPE_Arm(number, name)
#define OPC_TYPE_Acmi(number, name)
#define OPC_TYPE(number, name, family) OPC_TYPE_##family(number, name)
#include "opcmsg/opctypes.def"
#undef OPC_TYPE
#undef OPC_TYPE_Cti
#undef OPC_TYPE_Arm
#undef OPC_TYPE_Acmi
};

// The MDS message class of every message to and from the OPC.
constexpr uint8_t kOPCMessageClass = 17;
