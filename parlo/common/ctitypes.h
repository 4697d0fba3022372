#pragma once
// CTI message type numbers by message class name, taken from the catalogue's rows, so the
// output side names a type without writing its number again (ctitype::OpenConfMSG == 4).
#include <cstdint>

namespace ctitype {
enum : uint32_t {
#define MSG_BEGIN(type, name, Cls, ...) Cls = type,
#include "ctimsg/messages/catalog.def"
#undef MSG_BEGIN
};
}  // namespace ctitype
