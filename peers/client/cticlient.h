#pragma once
// The message side of parlo-client: messages built from "Field=value" words, frames read
// off a stream, and the one line printed per received message.
#include <cstdint>
#include <string>
#include <vector>

#include "ctimsg/basemsg.h"

namespace cticlient {

// The CTI message type named `name` ("OPEN_REQ"), or 0 when no type has that name.
uint32_t MsgTypeByName(const std::string& name);

// Sets the field named by `word` ("ServiceMask=0x10", "ClientID=desk1"; numbers in C
// notation) in msg. Bytes (UserToUser) are the value's text, or its bytes in hex after
// "hex:" ("UserToUser=hex:41ff00"); "ECC.Name=value" sets a call variable and
// "ECC.Name[3]=value" an element of a call array. false with a reason in *error when the
// word has no '=', the message has no such field, or the value does not fit.
[[nodiscard]] bool SetField(BaseMSG& msg, const std::string& word, std::string* error);

// OPEN_REQ with the client's defaults (version 24, IdleTimeout 30, ALL_EVENTS, ClientID
// "parlo-client"), then each word applied in order. Null with *error on a bad word.
[[nodiscard]] BaseMSGPtr MakeOpenReq(const std::vector<std::string>& words, std::string* error);

// One script line: a type name, then Field=value words; NumNamedVariables and
// NumNamedArrays follow the ECC. words unless the line gives either. Null with *error when
// the line cannot be made into a message; a blank or '#' line gives null with an empty *error.
[[nodiscard]] BaseMSGPtr ParseScriptLine(const std::string& line, std::string* error);

// The frame of msg at `version`, or empty (with the status in *error) when it does not
// validate or encode.
std::vector<uint8_t> EncodeFrame(BaseMSG& msg, uint32_t version, std::string* error);

// The printed line of one received frame (header included): the type name, a blank, then
// the catalogue's trace text. Never reads past frame + length.
std::string DescribeFrame(const uint8_t* frame, int length, uint32_t version);

// The largest frame body a client accepts from the server.
constexpr uint32_t kMaxBody = 12628;

}  // namespace cticlient
