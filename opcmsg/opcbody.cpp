#include "opcmsg/opcbody.h"

#include <cstdio>

std::string OPCBodyResult::Text() const {
    if (ok) return {};
    char where[40] = "";
    if (index >= 0) std::snprintf(where, sizeof where, " of entry %d", index);
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s%s at offset %zu runs past the %zu-byte body", item, where,
                  offset, length);
    return buf;
}
