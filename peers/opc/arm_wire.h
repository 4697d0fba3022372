#pragma once
// The agent reporting and management (ARM) and ACMI route messages as the stand-in OPC reads
// and writes them: one table row per message type gives its fixed part, where its ids sit,
// its texts, ECC block, list and unique instance id. Every reader is bounded by the length
// it is given.
#include <cstdint>
#include <string>
#include <vector>

namespace opcpeer {

enum class ArmList : uint8_t {
    kNone,
    kTasks,    // 12-byte task ids, count a u32 of the fixed part
    kMembers,  // u32 count at the head, the MRDIDs, then the PeripheralIDs
    kMrds,     // 4-byte MRD ids, count a u16 of the fixed part
};

enum class ArmRole : uint8_t {
    kRequest,     // to OPC, answered by `answer`
    kIndication,  // to OPC, no answer
    kToOpc,       // another message to OPC (events, route select and end)
    kFromOpc,     // what OPC sends
};

struct ArmLayout {
    uint8_t type;
    const char* name;
    uint16_t fixed;      // bytes of the fixed part
    int8_t invokeAt;     // offsets in the fixed part, -1 when the type has none
    int8_t clientAt;
    int8_t sessionAt;
    int8_t statusAt;     // Status (or the route register Cause, a 16-bit field)
    uint8_t texts;       // padded strings before the ECC block
    bool ecc;
    bool uii;            // UniqueInstanceID last
    ArmList list;
    int8_t listCountAt;  // offset of the count for kTasks and kMrds
    ArmRole role;
    uint8_t answer;      // for a request: the type that answers it
};

// Where the ApplicationPathID sits in the fixed part of an application-path message (up
// request and response, down indication, path data), or -1 for the other types.
int ArmPathAt(uint32_t type);

// The row of an ARM or ACMI type, or null.
const ArmLayout* FindArmLayout(uint32_t type);
const std::vector<ArmLayout>& ArmLayouts();
// "ARM_MEDIA_LOGIN_REQ" and the like; "<ARM Msg Type(%d)>" for other numbers.
std::string ArmTypeName(uint32_t type);

// One message, its fixed part as bytes and the rest taken apart.
struct ArmMessage {
    uint8_t type = 0;
    std::vector<uint8_t> fixed;   // exactly the layout's fixed size
    std::vector<uint32_t> list;   // the list's words (members: N MRDIDs, then N peripherals)
    std::vector<std::string> texts;
    int32_t eccSize = 0;          // as on the wire
    std::vector<uint8_t> ecc;
    std::string uniqueInstanceID;

    uint32_t Word(int at) const;  // a u32 of the fixed part; 0 for offset -1
    void SetWord(int at, uint32_t v);
};

// A message of `layout` with a zero fixed part, empty texts and ECC.
ArmMessage NewArmMessage(const ArmLayout& layout);
// The wire bytes; false when they would not fit the 4008 bytes after the ServerNumber word.
[[nodiscard]] bool WriteArm(const ArmLayout& layout, const ArmMessage& m,
                            std::vector<uint8_t>* out, std::string* error);
// Reads one body of `len` bytes: the fixed part, the list (its count bounded by the body),
// the texts (each to its first NUL, the next found by its count), the ECC block (a negative
// size is malformed; at most 2000 bytes kept, the next item found by the size on the wire),
// the unique instance id, and nothing after it.
[[nodiscard]] bool ReadArm(const ArmLayout& layout, const uint8_t* p, size_t len, ArmMessage* out,
                           std::string* error);

// The answer OPC sends to request `req`: ids and unique instance id echoed, Status 0, the
// other fields plausible. `members` (MRDID, PeripheralID pairs) go into an up response,
// `tasks` (three words each) into a tasks response; *nextTask numbers new tasks.
ArmMessage BuildArmAnswer(const ArmLayout& reqLayout, const ArmMessage& req,
                          const std::vector<std::pair<uint32_t, uint32_t>>& members,
                          const std::vector<uint32_t>& tasks, uint32_t* nextTask);
// ARM_FAILURE_RESP for `req`: its ids, Type, the indication's SessionID, Status.
ArmMessage BuildArmFailure(const ArmLayout& reqLayout, const ArmMessage& req, uint32_t status);

}  // namespace opcpeer
