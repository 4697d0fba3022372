#pragma once
// The CTI failure codes as constants named as the protocol spells them
// (E_CTI_INVALID_SERVICE_MASK == 19), from statuscodes.def, the list that the name table
// (StatusCodeName) is built from too. int, like the statuses the element checks return.
enum CTIStatusCode : int {
#define STATUS_CODE(code, name) name = code,
#include "ctimsg/statuscodes.def"
#undef STATUS_CODE
};
