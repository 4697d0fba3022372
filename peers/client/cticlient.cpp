#include "peers/client/cticlient.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "ctimsg/element.h"
#include "ctimsg/elementdict.h"
#include "ctimsg/messages/catalog_helpers.h"
#include "ctimsg/messages/msgclass.h"
#include "ctimsg/names.h"
#include "platform/byteorder.h"

namespace cticlient {

uint32_t MsgTypeByName(const std::string& name) {
    for (int type = 1; type < kMsgTypeTableSize; ++type)
        if (name == MsgTypeName(type)) return static_cast<uint32_t>(type);
    return 0;
}

namespace {

// "41ff00" into its bytes; false for an odd count or a character that is no hex digit.
bool FromHex(const std::string& hex, std::string* out) {
    if (hex.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = hex.substr(i, 2);
        const unsigned long b = std::strtoul(pair.c_str(), &end, 16);
        if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(pair[0]))) return false;
        out->push_back(static_cast<char>(b));
    }
    return true;
}

// One call variable: "Name" a scalar, "Name[3]" an array element.
bool SetEccField(BaseMSG& msg, const std::string& name, const std::string& value, std::string* error) {
    if (!msg.FindElement(elementid::ExpandedCallContxt, 0, false)) {
        *error = std::string("no call context in ") + MsgTypeName(static_cast<int32_t>(msg.GetMsgType()));
        return false;
    }
    const size_t open = name.find('[');
    int status = 0;
    if (open == std::string::npos) {
        status = msg.SetECC(elementid::ExpandedCallContxt, name, value);
    } else {
        char* end = nullptr;
        const long index = std::strtol(name.c_str() + open + 1, &end, 10);
        if (open == 0 || end == name.c_str() + open + 1 || std::string(end) != "]" || index < 0 ||
            index > 255) {
            *error = "bad array element ECC." + name;
            return false;
        }
        status = msg.SetECC(elementid::ExpandedCallContxt, name.substr(0, open),
                            static_cast<int32_t>(index), value);
    }
    if (status != 0) {
        *error = "ECC." + name + " refused: " + StatusCodeName(status);
        return false;
    }
    return true;
}

}  // namespace

bool SetField(BaseMSG& msg, const std::string& word, std::string* error) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0) {
        *error = "expected Field=value: " + word;
        return false;
    }
    const std::string name = word.substr(0, eq);
    const std::string value = word.substr(eq + 1);
    if (name.rfind("ECC.", 0) == 0) return SetEccField(msg, name.substr(4), value, error);
    for (BaseElement* e = msg.GetFirstElement(); e; e = e->GetNext()) {
        // The catalogue's field name (its class, as in "CTIPeripheralID") or its trace name.
        const elementdict::Row* row = elementdict::FindRow(e->GetElementID());
        const bool named = (row && row->className && name == row->className) ||
                           name == ElementName(static_cast<int32_t>(e->GetElementID()));
        if (!named) continue;
        if (auto* text = dynamic_cast<STRINGElement*>(e)) {
            if (value.size() + 1 > e->GetMaxBytes()) {
                *error = "value too long for " + name;
                return false;
            }
            text->Set(value);
            return true;
        }
        if (auto* bytes = dynamic_cast<UNSPECElement*>(e)) {
            std::string data = value;
            if (value.rfind("hex:", 0) == 0 && !FromHex(value.substr(4), &data)) {
                *error = "not hex for " + name + ": " + value;
                return false;
            }
            if (data.size() > e->GetMaxBytes()) {
                *error = "value too long for " + name;
                return false;
            }
            bytes->Set(reinterpret_cast<const uint8_t*>(data.data()), static_cast<int>(data.size()));
            return true;
        }
        char* end = nullptr;
        const unsigned long long number = std::strtoull(value.c_str(), &end, 0);
        const long long signedNumber = std::strtoll(value.c_str(), nullptr, 0);
        if (value.empty() || *end != '\0') {
            *error = "not a number for " + name + ": " + value;
            return false;
        }
        const uint32_t bits = value[0] == '-' ? static_cast<uint32_t>(signedNumber)
                                              : static_cast<uint32_t>(number);
        if (WriteNumberValue(e, bits)) return true;
        *error = "field " + name + " cannot be set from the command line";
        return false;
    }
    *error = std::string("no field ") + name + " in " + MsgTypeName(static_cast<int32_t>(msg.GetMsgType()));
    return false;
}

BaseMSGPtr MakeOpenReq(const std::vector<std::string>& words, std::string* error) {
    BaseMSGPtr msg = catalog::CreateMessage(MsgTypeByName("OPEN_REQ"));
    const char* defaults[] = {"InvokeID=1",         "VersionNumber=24", "IdleTimeout=30",
                              "CTIPeripheralID=0xFFFFFFFF", "ServiceMask=0x10", "CallMsgMask=0xFFFFFFFF",
                              "AgentStateMask=0x3FFF", "ConfigMsgMask=0",  "ClientID=parlo-client",
                              "ClientPassword="};
    for (const char* word : defaults)
        if (!SetField(*msg, word, error)) return nullptr;
    for (const std::string& word : words)
        if (!SetField(*msg, word, error)) return nullptr;
    return msg;
}

BaseMSGPtr ParseScriptLine(const std::string& line, std::string* error) {
    error->clear();
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= line.size()) break;
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
        words.push_back(line.substr(i, j - i));
        i = j;
    }
    if (words.empty() || words[0][0] == '#') return nullptr;
    const uint32_t type = MsgTypeByName(words[0]);
    BaseMSGPtr msg = type ? catalog::CreateMessage(type) : nullptr;
    if (!msg) {
        *error = "unknown message type " + words[0];
        return nullptr;
    }
    bool ecc = false, counted = false;
    for (size_t k = 1; k < words.size(); ++k) {
        if (!SetField(*msg, words[k], error)) return nullptr;
        ecc = ecc || words[k].rfind("ECC.", 0) == 0;
        counted = counted || words[k].rfind("NumNamedVariables=", 0) == 0 ||
                  words[k].rfind("NumNamedArrays=", 0) == 0;
    }
    // The counts follow the context unless the line gives them (a test of a wrong count).
    if (ecc && !counted) (void)SetECCCounts(*msg);
    return msg;
}

std::vector<uint8_t> EncodeFrame(BaseMSG& msg, uint32_t version, std::string* error) {
    if (const int status = msg.ValidateToSend(version); status != 0) {
        *error = std::string(MsgTypeName(static_cast<int32_t>(msg.GetMsgType()))) + " not valid: " +
                 StatusCodeName(status) + " at " + ElementName(static_cast<int32_t>(msg.GetFailingElement()));
        return {};
    }
    std::vector<uint8_t> frame(static_cast<size_t>(msg.MaxEncodedSize(version)) + CTI_HEADER_SIZE);
    const int n = msg.Encode(frame.data(), static_cast<int>(frame.size()), version, ALL_CALL_VARIABLES, nullptr, 0);
    if (n < 0) {
        *error = "encode failed";
        return {};
    }
    frame.resize(static_cast<size_t>(n));
    return frame;
}

std::string DescribeFrame(const uint8_t* frame, int length, uint32_t version) {
    uint32_t type = 0;
    if (length >= CTI_HEADER_SIZE)
        type = plat::LoadBE32(frame + 4);
    std::string line = MsgTypeName(static_cast<int32_t>(type));
    line += ' ';
    BaseMSGPtr msg = BaseMSG::Decode(frame, length, version);
    if (!msg) {
        line += "(not decoded, " + std::to_string(length) + " bytes)";
        return line;
    }
    std::string text;
    msg->Trace(text, version);
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    line += text;
    return line;
}

}  // namespace cticlient
