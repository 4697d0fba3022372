#include "platform/regtext.h"

#include <cstdio>

#include "platform/registry.h"

namespace plat {

namespace {

bool HasControl(std::string_view s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

std::string HexList(const std::vector<uint8_t>& data) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(data.size() * 3);
    for (size_t i = 0; i < data.size(); ++i) {
        if (i) out += ',';
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

// A text value in quoted form when its bytes are exactly "text\0" with printable text.
bool AsText(const std::vector<uint8_t>& data, std::string* text) {
    if (data.empty() || data.back() != 0) return false;
    std::string_view s(reinterpret_cast<const char*>(data.data()), data.size() - 1);
    if (s.find('\0') != std::string_view::npos || HasControl(s)) return false;
    *text = std::string(s);
    return true;
}

// "a\0b\0\0" as "a","b"; "\0" alone is the empty list.
bool AsMulti(const std::vector<uint8_t>& data, std::vector<std::string>* items) {
    items->clear();
    if (data.size() == 1 && data[0] == 0) return true;
    if (data.size() < 3 || data[data.size() - 1] != 0 || data[data.size() - 2] != 0) return false;
    std::string cur;
    for (size_t i = 0; i + 1 < data.size(); ++i) {
        char c = static_cast<char>(data[i]);
        if (c == '\0') {
            if (cur.empty() || HasControl(cur)) return false;
            items->push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    return true;
}

struct Cursor {
    std::string_view s;
    size_t pos = 0;

    void SkipSpace() {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
    }
    bool Eat(std::string_view word) {
        if (s.substr(pos, word.size()) != word) return false;
        pos += word.size();
        return true;
    }
    bool AtEnd() {
        SkipSpace();
        return pos >= s.size();
    }
    // A quoted text with \\ and \" escapes.
    bool Quoted(std::string* out, std::string* error) {
        if (pos >= s.size() || s[pos] != '"') {
            *error = "expected '\"'";
            return false;
        }
        ++pos;
        out->clear();
        while (pos < s.size()) {
            char c = s[pos++];
            if (c == '"') return true;
            if (c == '\\') {
                if (pos >= s.size() || (s[pos] != '\\' && s[pos] != '"')) {
                    *error = "bad escape in quoted text";
                    return false;
                }
                c = s[pos++];
            }
            if (out->size() >= kRegMaxValueSize) {
                *error = "text too long";
                return false;
            }
            *out += c;
        }
        *error = "unterminated quoted text";
        return false;
    }
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHexList(Cursor& cur, std::vector<uint8_t>* out, std::string* error) {
    out->clear();
    if (cur.AtEnd()) return true;
    for (;;) {
        cur.SkipSpace();
        int value = 0, digits = 0;
        while (cur.pos < cur.s.size() && digits < 3) {
            int d = HexDigit(cur.s[cur.pos]);
            if (d < 0) break;
            value = value * 16 + d;
            ++digits;
            ++cur.pos;
        }
        if (digits == 0 || digits > 2) {
            *error = "bad byte in hex list";
            return false;
        }
        if (out->size() >= kRegMaxValueSize) {
            *error = "value too long";
            return false;
        }
        out->push_back(static_cast<uint8_t>(value));
        if (cur.AtEnd()) return true;
        if (!cur.Eat(",")) {
            *error = "expected ',' in hex list";
            return false;
        }
    }
}

void AppendText(std::vector<uint8_t>* data, const std::string& text) {
    data->insert(data->end(), text.begin(), text.end());
    data->push_back(0);
}

}  // namespace

bool IsValidRegValueName(std::string_view name) {
    return name.size() <= kRegMaxValueNameLength && !HasControl(name);
}

std::string QuoteRegText(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string FormatRegValue(const RegValue& v) {
    std::string line = v.name.empty() ? std::string("@") : QuoteRegText(v.name);
    line += '=';
    std::string text;
    std::vector<std::string> items;
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t x = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                     (static_cast<uint32_t>(v.data[3]) << 24);
        char buf[32];
        std::snprintf(buf, sizeof buf, "dword:%08x", x);
        line += buf;
    } else if (v.type == REG_SZ && AsText(v.data, &text)) {
        line += QuoteRegText(text);
    } else if (v.type == REG_EXPAND_SZ && AsText(v.data, &text)) {
        line += "expand:" + QuoteRegText(text);
    } else if (v.type == REG_MULTI_SZ && AsMulti(v.data, &items)) {
        line += "multi:";
        for (size_t i = 0; i < items.size(); ++i) {
            if (i) line += ',';
            line += QuoteRegText(items[i]);
        }
    } else if (v.type == REG_BINARY) {
        line += "hex:" + HexList(v.data);
    } else {
        char buf[32];
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        line += buf + HexList(v.data);
    }
    return line;
}

bool ParseRegValue(std::string_view line, RegValue* out, std::string* error) {
    Cursor cur{line};
    cur.SkipSpace();
    RegValue v;
    if (cur.Eat("@")) {
        v.name.clear();
    } else if (!cur.Quoted(&v.name, error)) {
        return false;
    }
    if (!IsValidRegValueName(v.name)) {
        *error = "bad value name";
        return false;
    }
    cur.SkipSpace();
    if (!cur.Eat("=")) {
        *error = "expected '='";
        return false;
    }
    cur.SkipSpace();
    std::string text;
    if (cur.pos < line.size() && line[cur.pos] == '"') {
        if (!cur.Quoted(&text, error)) return false;
        v.type = REG_SZ;
        AppendText(&v.data, text);
    } else if (cur.Eat("dword:")) {
        uint32_t x = 0;
        int digits = 0;
        while (cur.pos < line.size() && HexDigit(line[cur.pos]) >= 0) {
            if (++digits > 8) {
                *error = "dword has more than 8 digits";
                return false;
            }
            x = x * 16 + static_cast<uint32_t>(HexDigit(line[cur.pos++]));
        }
        if (digits == 0) {
            *error = "dword without digits";
            return false;
        }
        v.type = REG_DWORD;
        v.data = {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8),
                  static_cast<uint8_t>(x >> 16), static_cast<uint8_t>(x >> 24)};
    } else if (cur.Eat("hex(")) {
        uint32_t type = 0;
        int digits = 0;
        while (cur.pos < line.size() && HexDigit(line[cur.pos]) >= 0) {
            if (++digits > 8) {
                *error = "type has more than 8 digits";
                return false;
            }
            type = type * 16 + static_cast<uint32_t>(HexDigit(line[cur.pos++]));
        }
        if (digits == 0 || !cur.Eat("):")) {
            *error = "bad hex(type):";
            return false;
        }
        v.type = type;
        if (!ParseHexList(cur, &v.data, error)) return false;
    } else if (cur.Eat("hex:")) {
        v.type = REG_BINARY;
        if (!ParseHexList(cur, &v.data, error)) return false;
    } else if (cur.Eat("expand:")) {
        if (!cur.Quoted(&text, error)) return false;
        v.type = REG_EXPAND_SZ;
        AppendText(&v.data, text);
    } else if (cur.Eat("multi:")) {
        v.type = REG_MULTI_SZ;
        while (!cur.AtEnd()) {
            if (!v.data.empty() && !cur.Eat(",")) {
                *error = "expected ',' in multi list";
                return false;
            }
            cur.SkipSpace();
            if (!cur.Quoted(&text, error)) return false;
            if (text.empty()) {
                *error = "empty text in multi list";
                return false;
            }
            AppendText(&v.data, text);
            if (v.data.size() > kRegMaxValueSize) {
                *error = "value too long";
                return false;
            }
        }
        v.data.push_back(0);
    } else {
        *error = "unknown value form";
        return false;
    }
    if (!cur.AtEnd()) {
        *error = "unexpected text after the value";
        return false;
    }
    if (v.data.size() > kRegMaxValueSize) {
        *error = "value too long";
        return false;
    }
    *out = std::move(v);
    return true;
}

void ForEachRegLine(std::string_view text,
                    const std::function<bool(std::string_view line, int lineNo)>& fn) {
    std::string joined;
    int firstLine = 0;
    bool continuing = false;
    int lineNo = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view raw = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        while (!raw.empty() && (raw.back() == '\r' || raw.back() == ' ' || raw.back() == '\t'))
            raw.remove_suffix(1);
        size_t lead = raw.find_first_not_of(" \t");
        std::string_view body = lead == std::string_view::npos ? std::string_view() : raw.substr(lead);
        if (!continuing) {
            if (body.empty() || body[0] == ';' || body[0] == '#') {
                if (end == text.size()) break;
                continue;
            }
            joined.clear();
            firstLine = lineNo;
        }
        bool more = !body.empty() && body.back() == '\\' && body[0] != '[';
        if (more) body.remove_suffix(1);
        joined.append(body);
        continuing = more;
        if (!continuing && !fn(joined, firstLine)) return;
        if (end == text.size()) break;
    }
    if (continuing && !joined.empty()) fn(joined, firstLine);
}

}  // namespace plat
