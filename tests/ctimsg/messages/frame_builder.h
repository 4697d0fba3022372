#pragma once
// Writes CTI frames by hand for decoder tests: fixed values bare, floating fields with the
// header form of the frame's protocol version, and the length patched in at the end.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ctimsg/basemsg.h"
#include "platform/byteorder.h"

namespace msgtest {

using Bytes = std::vector<uint8_t>;

class Frame {
public:
    Frame(uint32_t type, uint32_t version) : m_Version(version) {
        U32(0);
        U32(type);
    }
    Frame& U32(uint32_t v) { return Raw(BE32(v)); }
    Frame& U16(uint32_t v) { return Raw(BE16(v)); }
    Frame& Raw(const Bytes& b) {
        m_Bytes.insert(m_Bytes.end(), b.begin(), b.end());
        return *this;
    }
    // A floating field; a string carries its NUL.
    Frame& Field(uint32_t tag, const Bytes& value) {
        if (m_Version >= 20) {
            U16(tag);
            U16(static_cast<uint32_t>(value.size()));
        } else if (tag == 74) {
            m_Bytes.push_back(static_cast<uint8_t>(tag));
            U16(static_cast<uint32_t>(value.size()));
        } else {
            m_Bytes.push_back(static_cast<uint8_t>(tag));
            m_Bytes.push_back(static_cast<uint8_t>(value.size()));
        }
        return Raw(value);
    }
    Frame& Str(uint32_t tag, const std::string& text) {
        Bytes v(text.begin(), text.end());
        v.push_back(0);
        return Field(tag, v);
    }
    Frame& Num32(uint32_t tag, uint32_t v) { return Field(tag, BE32(v)); }
    Frame& Num16(uint32_t tag, uint32_t v) { return Field(tag, BE16(v)); }
    // The frame with its true body length.
    Bytes Done() const { return WithLength(static_cast<int32_t>(m_Bytes.size() - 8)); }
    Bytes WithLength(int32_t length) const {
        Bytes out = m_Bytes;
        plat::StoreBE32(out.data(), static_cast<uint32_t>(length));
        return out;
    }

private:
    static Bytes BE16(uint32_t v) {
        Bytes b(2);
        plat::StoreBE16(b.data(), static_cast<uint16_t>(v));
        return b;
    }
    static Bytes BE32(uint32_t v) {
        Bytes b(4);
        plat::StoreBE32(b.data(), v);
        return b;
    }

    uint32_t m_Version;
    Bytes m_Bytes;
};

inline BaseMSGPtr DecodeBytes(const Bytes& frame, uint32_t version) {
    return BaseMSG::Decode(frame.data(), static_cast<int>(frame.size()), version);
}

// Encodes for one session with every call variable, no ECC selection and the REMask bit.
inline Bytes EncodeBytes(const BaseMSG& msg, uint32_t version, uint32_t serviceMask = 0x01000000) {
    Bytes buf(static_cast<size_t>(msg.MaxEncodedSize(version)) + 8);
    int n = msg.Encode(buf.data(), static_cast<int>(buf.size()), version, ALL_CALL_VARIABLES,
                       nullptr, serviceMask);
    if (n < 0) return {};
    buf.resize(static_cast<size_t>(n));
    return buf;
}

}  // namespace msgtest
