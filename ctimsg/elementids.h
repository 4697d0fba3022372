#pragma once
// Names and sizes taken from the element dictionary (elementdict.def), for code that needs an
// element id, a tag or the size of a table indexed by them: no id or tag is written twice.
#include <cstdint>

namespace elementid {
// Element ids by class name (ids 499 and 611 have two names each), and the three plain
// members of each REMask entry by their trace names.
enum : uint32_t {
#define ELEM(id, cls, ...) cls = id,
#define ELEM_MEMBER(id, name, ...) name = id,
#include "ctimsg/elementdict.def"
#undef ELEM
#undef ELEM_MEMBER
};
}  // namespace elementid

namespace elementdict {

struct IdTag {
    uint16_t id;
    uint16_t tag;
};
// Every element id with a name, and its tag (0 in the fixed part).
inline constexpr IdTag kIdTags[] = {
#define ELEM(id, cls, base, bytes, from, tag, ...) IdTag{id, tag},
#define ELEM_MEMBER(id, name, base, bytes, from, tag, ...) IdTag{id, tag},
#define NAME_ONLY(id, name, tag, ...) IdTag{id, tag},
#include "ctimsg/elementdict.def"
#undef ELEM
#undef ELEM_MEMBER
#undef NAME_ONLY
};
// Tags that no element row names, with the element they fill (the call context's second
// tag among them).
inline constexpr IdTag kOtherTags[] = {
#define TAG_ONLY(tag, name, element) IdTag{element, tag},
#include "ctimsg/elementdict.def"
#undef TAG_ONLY
};

// The floating tag of an element id, 0 for a fixed-part id or an id without a row.
constexpr uint32_t TagOf(uint32_t id) {
    for (const IdTag& r : kIdTags)
        if (r.id == id) return r.tag;
    return 0;
}

// The tag besides its own that fills an element id, 0 when there is none.
constexpr uint32_t SecondTagOf(uint32_t id) {
    for (const IdTag& r : kOtherTags)
        if (r.id == id) return r.tag;
    return 0;
}

constexpr uint32_t MaxId() {
    uint32_t m = 0;
    for (const IdTag& r : kIdTags) m = r.id > m ? r.id : m;
    return m;
}
constexpr uint32_t MaxTag() {
    uint32_t m = 0;
    for (const IdTag& r : kIdTags) m = r.tag > m ? r.tag : m;
    for (const IdTag& r : kOtherTags) m = r.tag > m ? r.tag : m;
    return m;
}
// Floating fields are the ids with a tag; they all come after the fixed part.
constexpr uint32_t FirstFloatingId() {
    uint32_t m = MaxId();
    for (const IdTag& r : kIdTags) m = r.tag != 0 && r.id < m ? r.id : m;
    return m;
}

inline constexpr uint16_t kMaxElementId = static_cast<uint16_t>(MaxId());
inline constexpr uint16_t kMaxTag = static_cast<uint16_t>(MaxTag());
inline constexpr uint16_t kFirstFloatingId = static_cast<uint16_t>(FirstFloatingId());
// Sizes of tables indexed by element id or by tag (0 included).
inline constexpr uint32_t kElementIdCount = kMaxElementId + 1u;
inline constexpr uint32_t kTagCount = kMaxTag + 1u;

}  // namespace elementdict

// The tags that code handles by name.
// The call context travels as one field per variable: a scalar, or one array element.
inline constexpr uint32_t NAMED_VARIABLE_TAG = elementdict::SecondTagOf(elementid::ExpandedCallContxt);
inline constexpr uint32_t NAMED_ARRAY_TAG = elementdict::TagOf(elementid::ExpandedCallContxt);
// The one tag whose length takes 2 bytes also below version 20.
inline constexpr uint32_t DATA_STRUCTURE_TAG = elementdict::TagOf(elementid::QueryDeviceData);
inline constexpr uint32_t CONNECTION_DEVID_TAG = elementdict::TagOf(elementid::ConnectionDeviceID);
static_assert(NAMED_VARIABLE_TAG != 0 && NAMED_ARRAY_TAG != 0 && DATA_STRUCTURE_TAG != 0);
