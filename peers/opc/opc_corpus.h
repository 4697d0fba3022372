#pragma once
// One message of every kind the stand-in OPC sends, as files, for the seed corpora of the
// fuzz targets that read OPC's messages. Each file holds a message body (what follows the
// ServerNumber word): "csta-conf-TYPE" for each confirmation and the universal failure,
// "csta-event-CLASS-TYPE" for each scripted event kind, "arm-TYPE" for each ARM and ACMI
// type that OPC sends.
#include <string>
#include <utility>
#include <vector>

namespace opcpeer {

// The named messages, in a fixed order.
std::vector<std::pair<std::string, std::vector<uint8_t>>> CorpusMessages();
// Writes them into `dir` (which must exist). False with *error on the first failed write.
[[nodiscard]] bool WriteCorpus(const std::string& dir, std::string* error);

}  // namespace opcpeer
