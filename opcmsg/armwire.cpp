#include "opcmsg/armwire.h"

#include <algorithm>
#include <charconv>

#include "ctimsg/expandedcallcontext.h"
#include "nuvlib/ems.h"
#include "platform/byteorder.h"

namespace opcwire {

void AppendInt(std::string& out, int64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void AppendTaskID(std::string& out, int32_t a, int32_t b, int32_t c) {
    AppendInt(out, a);
    out += '/';
    AppendInt(out, b);
    out += '/';
    AppendInt(out, c);
}

namespace {

uint32_t WireLength(const CString& s) { return static_cast<uint32_t>(s.size()) & 0xFFFFu; }

uint8_t* WritePadded(uint8_t* out, const CString& s) {
    const uint32_t n = WireLength(s);
    plat::StoreLE16(out, static_cast<uint16_t>(n));
    if (n > 0) std::memcpy(out + 2, s.data(), n);
    const uint32_t total = PaddedSize(n);
    std::memset(out + 2 + n, 0, total - 2 - n);
    return out + total;
}

// A received padded string at data[pos]; false when it runs past `length`.
bool ReadPadded(const uint8_t* data, size_t length, size_t& pos, CString& text) {
    if (length - pos < 2) return false;
    const uint16_t n = plat::LoadLE16(data + pos);
    const size_t total = PaddedSize(n);
    if (length - pos < total) return false;
    const char* chars = reinterpret_cast<const char*>(data + pos + 2);
    const void* nul = std::memchr(chars, 0, n);
    text.assign(chars, nul != nullptr ? static_cast<const char*>(nul) - chars : n);
    pos += total;
    return true;
}

}  // namespace

uint32_t Body::ListCount() const {
    switch (m_Layout->list) {
    case ListKind::TaskIDs: return static_cast<uint32_t>(I32(m_Layout->countOffset));
    case ListKind::Words: return U16(m_Layout->countOffset);
    default: return 0;
    }
}

uint32_t Body::Length() const {
    const Layout& l = *m_Layout;
    uint64_t n = l.fixedLength;
    if (l.list == ListKind::TaskIDs) n += 12ull * ListCount();
    if (l.list == ListKind::Words) n += 4ull * ListCount();
    const size_t texts = l.texts + (l.uniqueInstanceID ? 1 : 0);
    for (size_t i = 0; i < texts; ++i) n += PaddedSize(WireLength(m_Texts[i]));
    if (l.ecc) n += ECCBlockSize(m_ECCSize);
    return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

uint8_t* Body::Write(uint8_t* out, size_t room) const {
    const Layout& l = *m_Layout;
    const uint32_t total = Length();
    if (total > room || total > kOPCMessageBodyRoom) {
        EMSTraceMessage("%s: message of %u bytes refused, room is %zu bytes", l.name, total,
                        std::min<size_t>(room, kOPCMessageBodyRoom));
        return nullptr;
    }
    uint8_t* p = out;
    std::memcpy(p, m_Fixed, l.fixedLength);
    p += l.fixedLength;
    if (l.list == ListKind::TaskIDs || l.list == ListKind::Words) {
        const uint32_t count = ListCount();
        const size_t elem = l.list == ListKind::TaskIDs ? 12 : 4;
        const size_t held = l.list == ListKind::TaskIDs ? m_Tasks.size() : m_Words.size();
        if (count != 0 && held == count) {
            if (l.list == ListKind::TaskIDs) {
                for (const ARMTaskID& t : m_Tasks) {
                    plat::StoreLE32(p, static_cast<uint32_t>(t.Word1));
                    plat::StoreLE32(p + 4, static_cast<uint32_t>(t.Word2));
                    plat::StoreLE32(p + 8, static_cast<uint32_t>(t.Word3));
                    p += 12;
                }
            } else {
                for (int32_t w : m_Words) {
                    plat::StoreLE32(p, static_cast<uint32_t>(w));
                    p += 4;
                }
            }
        } else if (count != 0) {
            // The count and the list disagree: the count's room goes out as zeros, so the
            // message is still GetLength() bytes long.
            EMSTraceMessage("%s: list holds %zu entries but its count is %u; entries sent as zero",
                            l.name, held, count);
            std::memset(p, 0, elem * count);
            p += elem * count;
        }
    }
    for (size_t i = 0; i < l.texts; ++i) p = WritePadded(p, m_Texts[i]);
    if (l.ecc) {
        plat::StoreLE32(p, static_cast<uint32_t>(m_ECCSize));
        if (m_ECCSize > 0) std::memcpy(p + 4, m_ECC.data(), static_cast<size_t>(m_ECCSize));
        const uint32_t block = ECCBlockSize(m_ECCSize);
        std::memset(p + 4 + m_ECCSize, 0, block - 4 - static_cast<uint32_t>(m_ECCSize));
        p += block;
    }
    if (l.uniqueInstanceID) p = WritePadded(p, UII());
    return p;
}

Body::Body(const Layout& layout, const uint8_t* data, size_t length) : m_Layout(&layout) {
    const Layout& l = layout;
    if (length < l.fixedLength) { Refuse(length, "fixed part"); return; }
    std::memcpy(m_Fixed, data, l.fixedLength);
    size_t pos = l.fixedLength;
    if (l.list == ListKind::TaskIDs || l.list == ListKind::Words) {
        const uint64_t count = ListCount();
        const uint64_t elem = l.list == ListKind::TaskIDs ? 12 : 4;
        if (count * elem > length - pos) { Refuse(length, "list"); return; }
        if (l.list == ListKind::TaskIDs) {
            m_Tasks.resize(count);
            for (ARMTaskID& t : m_Tasks) {
                t.Word1 = static_cast<int32_t>(plat::LoadLE32(data + pos));
                t.Word2 = static_cast<int32_t>(plat::LoadLE32(data + pos + 4));
                t.Word3 = static_cast<int32_t>(plat::LoadLE32(data + pos + 8));
                pos += 12;
            }
        } else {
            m_Words.resize(count);
            for (int32_t& w : m_Words) {
                w = static_cast<int32_t>(plat::LoadLE32(data + pos));
                pos += 4;
            }
        }
    }
    for (size_t i = 0; i < l.texts; ++i) {
        if (!ReadPadded(data, length, pos, m_Texts[i])) { Refuse(length, "texts"); return; }
    }
    if (l.ecc) {
        if (length - pos < 4) { Refuse(length, "ECC block"); return; }
        const int32_t size = static_cast<int32_t>(plat::LoadLE32(data + pos));
        if (size < 0) { Refuse(length, "ECC block (negative size)"); return; }
        if (ECCBlockSize(size) > length - pos) { Refuse(length, "ECC block"); return; }
        SetECC(size, data + pos + 4);
        pos += ECCBlockSize(size);
    }
    if (l.uniqueInstanceID && !ReadPadded(data, length, pos, UII())) {
        { Refuse(length, "UniqueInstanceID"); return; }
    }
}

void Body::Refuse(size_t length, const char* what) {
    EMSTraceMessage("%s: received body of %zu bytes ends inside its %s; message refused",
                    m_Layout->name, length, what);
    m_Valid = false;
    std::memset(m_Fixed, 0, sizeof m_Fixed);
    for (CString& t : m_Texts) t.clear();
    m_ECCSize = 0;
    m_Tasks.clear();
    m_Words.clear();
}

void Body::SetECC(int32_t size, const uint8_t* data) {
    m_ECCSize = std::clamp(size, 0, kARMMaxECCSize);
    if (m_ECCSize > 0) std::memcpy(m_ECC.data(), data, static_cast<size_t>(m_ECCSize));
}

void Body::GetCallVariables(size_t first, char (&out)[10][41]) const {
    for (size_t i = 0; i < 10; ++i) {
        const CString& v = m_Texts[first + i];
        const size_t n = std::min<size_t>(v.size(), 40);
        std::memcpy(out[i], v.data(), n);
        std::memset(out[i] + n, 0, 41 - n);
    }
}

void Body::SetCallVariables(size_t first, const std::array<CString, 10>& values) {
    for (size_t i = 0; i < 10; ++i) m_Texts[first + i] = values[i];
}

std::string Body::Trace(bool includeCallVariables, bool includeECC) const {
    const Layout& l = *m_Layout;
    std::string out;
    out.reserve(256);
    for (size_t k = 0; k < l.traceItems; ++k) {
        const TraceItem& it = l.trace[k];
        if (it.callVariable && !includeCallVariables) continue;
        switch (it.kind) {
        case Item::I32: out += it.label; AppendInt(out, I32(it.arg)); break;
        case Item::U16: out += it.label; AppendInt(out, U16(it.arg)); break;
        case Item::I16: out += it.label; AppendInt(out, static_cast<int16_t>(U16(it.arg))); break;
        case Item::Task:
            out += it.label;
            AppendTaskID(out, I32(it.arg), I32(it.arg + 4), I32(it.arg + 8));
            break;
        case Item::Text: out += it.label; out += m_Texts[it.arg]; break;
        case Item::Label: out += it.label; break;
        case Item::OptUII:
            if (!UII().empty()) {
                out += it.label;
                out += UII();
            }
            break;
        case Item::TaskList:
            out += it.label;
            for (const ARMTaskID& t : m_Tasks) {
                AppendTaskID(out, t.Word1, t.Word2, t.Word3);
                out += ", ";
            }
            break;
        case Item::WordList:
            out += it.label;
            for (int32_t w : m_Words) {
                AppendInt(out, w);
                out += ", ";
            }
            break;
        case Item::ECC: {
            const char* none = it.arg == 0 ? "No ExpandedCallContext\n" : ", No ExpandedCallContext";
            if (!includeECC || m_ECCSize < 1) {
                out += none;
                break;
            }
            ExpandedCallContext ecc;
            const int rc = ecc.SetECCBindata(m_ECCSize, m_ECC.data());
            if (rc != ECC_SUCCESS) {
                if (!l.fromOPC) {
                    // The server's own BINDATA always loads; anything else is a broken invariant.
                    EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n",
                                   "ecc.SetECCBindata(m_ExpandedCallContextSize, "
                                   "m_ExpandedCallContext) == ECC_ERROR_SUCCESS",
                                   "ARMMsg", __LINE__);
                }
                // OPC's bytes are untrusted: say so instead of ending the process.
                out += it.arg == 0 ? "" : ", ";
                out += "ExpandedCallContext of ";
                AppendInt(out, m_ECCSize);
                out += " bytes did not load (error ";
                AppendInt(out, rc);
                out += it.arg == 0 ? ")\n" : ")";
                break;
            }
            ecc.FormatByName(out);
            break;
        }
        }
    }
    return out;
}

}  // namespace opcwire
