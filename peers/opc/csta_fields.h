#pragma once
// The fields of every CSTA request the server sends, read from the stand-in's own table of
// the request bodies and their typed private data, so that a test sees from one printed line
// what reached OPC. Also the named answers of the snapshot and query requests.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "peers/opc/opc_wire.h"

namespace opcpeer {

// ECC variable names by their ExpandedCallVariableID, for the variables of a BINDATA.
using EccNames = std::map<int32_t, std::string>;

// "Name=value ..." of the request's body and private data, in their order on the wire:
// a connection as (callID,"device",type), a text quoted (bytes below 0x20 or above 0x7E as
// \xNN, so the one-byte text 0xFF reads "\xff"), user-to-user data and a BINDATA that does
// not parse in hex, each ECC variable as ECC.Name="value" or ECC.Name[i]="value" (#ID for a
// name `names` does not hold). Empty for a type without a layout here. Reads nothing beyond
// the request's 356 body bytes and its private data.
std::string DescribeCstaRequest(const CstaRequest& r, const EccNames& names);

// The variables of a BINDATA as DescribeCstaRequest prints them (" ECC.A=\"1\" ..."); false
// when it does not parse (the text then holds what parsed before).
[[nodiscard]] bool DescribeBindata(const uint8_t* p, size_t n, const EccNames& names,
                                   std::string* out);

// Chosen parts of a snapshot or query answer, put over the usual confirmation.
struct AnswerForm {
    // Snapshot call: the parties (raw private-data entries of 148 bytes) and private data.
    struct Party {
        ConnectionID connection;
        uint32_t state = 3;
    };
    bool hasParties = false;
    std::vector<Party> parties;
    bool hasCallType = false, hasCallTypeID = false, hasCoc = false, hasRecording = false;
    uint32_t callType = 0, callTypeID = 0, recording = 0;
    ConnectionID coc;
    std::string guid, tessaly;
    bool hasServices = false;
    std::vector<uint32_t> services;
    // Snapshot device: the entries (84 bytes each) with their state lists (none: no state).
    struct Entry {
        ConnectionID connection;
        std::vector<uint32_t> states;
        uint32_t silentMonitor = 0;
    };
    bool hasEntries = false;
    std::vector<Entry> entries;
    // Query device info: the lines (more than ten: NumLines says so, ten slots hold them).
    bool hasLines = false;
    std::vector<std::pair<uint32_t, uint32_t>> lines;  // handle, type
    bool hasNumLines = false;
    uint32_t numLines = 0;
    bool empty() const {
        return !hasParties && !hasCallType && !hasCallTypeID && !hasCoc && !hasRecording &&
               guid.empty() && tessaly.empty() && !hasServices && !hasEntries && !hasLines &&
               !hasNumLines;
    }
};

// Takes one word of an `answer` line that names a part of a form (parties=, entries=, lines=,
// numlines=, calltype=, calltypeid=, coc=, recording=, guid=, tessaly=, services=). Returns
// false when the key is not one of them; true with *error set when the value is bad.
[[nodiscard]] bool ParseFormWord(const std::string& key, const std::string& value,
                                 AnswerForm* form, std::string* error);

// Writes the form into `answer` (the confirmation of a request of type 120, 122 or 37, body
// beginning with the two invoke ids). False with a reason when the form does not fit.
[[nodiscard]] bool ApplyForm(const AnswerForm& form, uint16_t requestType, CstaEvent* answer,
                             std::string* error);

}  // namespace opcpeer
