#pragma once
// CTI message type numbers as constants, from the type rows of the message catalogue, the
// list that the type-name table (MsgTypeName) is built from too: by the protocol's name
// (OPEN_REQ == 3) and, in namespace ctitype, by message class (ctitype::OpenConfMSG == 4;
// type 91's older class SendDTMFSignalReqMSG_46 is 91 as well). The numbers without type
// (219 to 222, 227, 228) have no constant.
#include <cstdint>

enum CTIMsgType : uint32_t {
#define CTI_MSG_TYPE_Main(type, name) name = type,
#define CTI_MSG_TYPE_Older(type, name)
#define MSG_BEGIN(type, name, Cls, version, dir, ctor, check, size, layout) \
    CTI_MSG_TYPE_##layout(type, name)
#define NO_CLASS(type, name, kind) name = type,
#include "ctimsg/messages/catalog.def"
#undef MSG_BEGIN
#undef NO_CLASS
#undef CTI_MSG_TYPE_Main
#undef CTI_MSG_TYPE_Older
};

namespace ctitype {
enum : uint32_t {
#define MSG_BEGIN(type, name, Cls, ...) Cls = type,
#include "ctimsg/messages/catalog.def"
#undef MSG_BEGIN
};
}  // namespace ctitype
