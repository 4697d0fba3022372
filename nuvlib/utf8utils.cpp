#include "nuvlib/utf8utils.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <vector>

#include "nuvlib/ems.h"

namespace {

// The platform's number for a text that is not valid in its code page.
constexpr unsigned long kNoUnicodeTranslation = 1113;

std::mutex g_Lock;
std::string g_CodePage = "CP1252";

// One iconv descriptor per call: conversions are rare and iconv_t is not thread-safe.
class Converter {
public:
    Converter(const std::string& to, const std::string& from)
        : m_Cd(iconv_open(to.c_str(), from.c_str())) {}
    ~Converter() {
        if (Ok()) iconv_close(m_Cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool Ok() const { return m_Cd != reinterpret_cast<iconv_t>(-1); }

    // Converts all of `in`; on an unconvertible input character writes `substitute` (when
    // given) and steps over `step` input bytes, else fails. Returns false on failure.
    bool Run(const std::string& in, std::string& out, const char* substitute = nullptr,
             size_t step = 0) {
        out.clear();
        std::vector<char> buffer(in.size() * 4 + 16);
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        while (srcLeft > 0) {
            char* dst = buffer.data();
            size_t dstLeft = buffer.size();
            const size_t r = iconv(m_Cd, &src, &srcLeft, &dst, &dstLeft);
            out.append(buffer.data(), buffer.size() - dstLeft);
            if (r != static_cast<size_t>(-1)) continue;
            if (errno == E2BIG) continue;
            if (errno == EILSEQ && substitute != nullptr && srcLeft >= step) {
                out += substitute;
                src += step;
                srcLeft -= step;
                continue;
            }
            return false;  // invalid or truncated input
        }
        return true;
    }

private:
    iconv_t m_Cd;
};

}  // namespace

bool UTF8UtilsSetLocalCodePage(const std::string& name) {
    Converter probe("UTF-8", name);
    if (!probe.Ok()) return false;
    std::lock_guard<std::mutex> guard(g_Lock);
    g_CodePage = name;
    return true;
}

std::string UTF8UtilsLocalCodePage() {
    std::lock_guard<std::mutex> guard(g_Lock);
    return g_CodePage;
}

std::string UTF8UtilsConvertToUTF8(const std::string& text, size_t fieldSize) {
    if (text.empty() || fieldSize == 0) return {};
    Converter toUtf8("UTF-8", UTF8UtilsLocalCodePage());
    std::string out;
    if (!toUtf8.Ok() || !toUtf8.Run(text, out)) return {};
    if (out.size() > fieldSize - 1) {
        // Step back from the terminator's byte to the start of the character it falls in.
        size_t cut = fieldSize - 1;
        while (cut > 0 && (static_cast<uint8_t>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
    }
    return out;
}

std::string UTF8UtilsConvertUTF82String(const std::string& text, size_t* lengthOut) {
    if (lengthOut != nullptr) *lengthOut = 0;
    if (text.empty()) return {};
    // Two steps as the platform does: strict UTF-8 to wide text, then wide text to the code
    // page with its default character, so an invalid input is never mistaken for a character
    // the code page lacks.
    Converter toWide("UTF-32LE", "UTF-8");
    std::string wide;
    if (!toWide.Ok() || !toWide.Run(text, wide)) {
        EMSTraceMessage("UTF8UtilsConvertUTF82String: MultiByteToWideChar failed with error %lu",
                        kNoUnicodeTranslation);
        return {};
    }
    Converter toLocal(UTF8UtilsLocalCodePage(), "UTF-32LE");
    std::string out;
    if (!toLocal.Ok() || !toLocal.Run(wide, out, "?", 4)) {
        EMSTraceMessage("UTF8UtilsConvertUTF82String: WideCharToMultiByte failed with error %lu",
                        kNoUnicodeTranslation);
        return {};
    }
    if (lengthOut != nullptr) *lengthOut = out.size() + 1;
    return out;
}

void ConvertUTF82String(std::string& text, size_t* lengthOut) {
    text = UTF8UtilsConvertUTF82String(text, lengthOut);
}
