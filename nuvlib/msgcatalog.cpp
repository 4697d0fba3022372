#include "nuvlib/msgcatalog.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "platform/lasterror.h"

namespace {

struct Entry {
    uint32_t id;
    const char* text;
};

// One text per event id. The inserts are the record's argument texts, integers first.
constexpr Entry kTexts[] = {
    // Event reporting itself.
    {0x21010003, "%1%2%3%4%5"},
    {0xE101C003, "%1%2%3%4%5"},
    {0xE101C006, "%1%2%3%4%5"},
    {0x2101C004, "A report for event %1 could not be formatted; its format was \"%2\"."},
    {0x2101C005, "Reporting the formatting failure of event %1 failed as well."},
    {0x61010002, "Event reporting has started."},
    {0xE101C002, "Event %1 could not be read, shown or logged and was dropped."},
    // Node-manager responder.
    {0x61020001, "The node manager responder is starting."},
    // Inter-process messaging client.
    {0x21040019, "Frame received from MDS by client %1."},
    {0x2104001A, "Frame sent to MDS by client %1."},
    {0x6104001B, "MDS acknowledged the stop of this client."},
    {0xA104001C, "This client stopped without an acknowledgement from MDS."},
    {0xE1040003, "The MDS client cannot open the registry key %1."},
    {0xE1040004, "The MDS client cannot build its local address from node %1, port %2 for client %3."},
    {0xE1040005, "MDS refused to register this client."},
    {0xE104000A, "The MDS client %1 has a missing or invalid registry value %2."},
    {0xE104000B, "The MDS client cannot build the %1 address from node %2, port %3."},
    {0xE1048001, "The connection to MDS was lost."},
    {0x61048002, "Connected to MDS."},
    {0x61048003, "MDS took this client back after the reconnection."},
    {0x61048004, "The MDS client stopped for a server stop."},
    {0xA1048005, "The MDS client stopped because the process is ending."},
    {0x61048006, "The MDS client stopped (reason 2)."},
    {0xE104800E, "Reconnecting to MDS failed; trying again."},
    // The statuses of the inter-process transport, shown as the status line of an event.
    {0xE1030002, "The inter-process transport is not initialized."},
    {0xE1030003, "The link handle is not valid."},
    {0xE1030004, "The link is not listening."},
    {0xE1030005, "The inter-process transport could not start a thread."},
    {0xE1030006, "The buffer is too small for the message."},
    {0xE1030007, "The peer's handshake is not valid."},
    {0xE1030008, "The port name is not a number."},
    {0xE1030009, "The peer did not complete the handshake in time."},
    {0xE103000A, "The link was closed when the transport cleaned up."},
    {0xE103000B, "The peer sent no first heartbeat."},
    {0xE103000C, "The link is disconnected."},
    {0xE103000D, "A heartbeat could not be sent."},
    {0xE103000E, "A heartbeat could not be received."},
    {0xE103000F, "The peer's heartbeats stopped."},
    {0xE1030010, "No port is free for the heartbeats."},
    {0xE1030011, "The listen queue is full."},
    {0xE1030012, "The listen thread has ended."},
    {0xE1030013, "The process at the other end of the shared-memory link is gone."},
    {0xE1030014, "The other end closed the shared-memory link."},
    {0xE1030015, "This end closed the shared-memory link."},
    {0xE1030016, "The shared-memory link is closed."},
    {0xE1030017, "The shared-memory link was abandoned."},
    {0xE1030019, "The peer broke the link's protocol."},
    {0xE103001A, "The socket took fewer bytes of the message than asked."},
    {0xE103001F, "The peer closed the link."},
    {0xE1030023, "The link broke while an operation was under way."},
    // Capture.
    {0xA10A0002, "A client capture stopped."},
    // Server core and client sessions.
    {0x212E000E, "Session %1: %2"},
    {0x212E000F, "%1"},
    {0x212E0010, "Session %1: capture of client %2 started in %3."},
    {0x212E0011, "Session %1: capture of client %2 stopped (%3)."},
    {0x612E0001, "%1 is starting; build %2."},
    {0x612E0002, "The node manager asked the server to shut down."},
    {0x612E0003, "The node manager sent unknown message %1."},
    {0x612E0005, "MDS is in service."},
    {0x612E0006, "MDS is out of service."},
    {0x612E0007, "The server is %1."},
    {0x612E0008, "The server is going idle."},
    {0x612E0009, "Sending %2 for %3 with the value %1."},
    {0x612E000A, "The setting %3 changed from %1 to %2."},
    {0x612E000B, "%1 client connections, %2 calls in progress; state %3, peripheral status %4."},
    {0x612E000C, "%1"},
    {0x612E000D, "%1"},
    {0x612E0012, "The server's configuration is complete."},
    {0x612E0013, "Peripheral time set to %2 (changed by %1 seconds)."},
    {0x612E0014, "%1 %2 records of the %3 table."},
    {0x612E0015, "Event from %1 to %2: %3"},
    {0x612E0016, "Session %1: %2"},
    {0xA12E0017, "Session %1: %2"},
    {0xA12E8003, "Unexpected MDS status message: class %1, type %2."},
    {0xA12E8005, "Session %1: client %2 sent %3, refused with %4: %5"},
    {0x612E8006, "Connection monitor client %1 (%2) connected from %3."},
    {0xA12E8007, "Connection monitor client %1 (%2) at %3 closed."},
    {0xE12E8008, "Connection monitor client %1 (%2) at %3 failed."},
    {0x612E8009, "Client %1: %2"},
    {0xA12E800A, "Client %1: %2"},
    {0xE12E800B, "Client %1: %2"},
    {0x612E800C, "Client %1, %2: %3"},
    {0xA12E800D, "Client %1, %2: %3"},
    {0xE12E800E, "Client %1, %2: %3"},
    {0xA12E800F, "Client %1 (%2) at %3 cannot see multi-line agents at its protocol version."},
    {0xA12E8010, "Client %1 (%2) at %3 uses a protocol version older than the peripherals need."},
    {0xA12EC001, "Unknown timer type %1 in %2."},
    {0xE12EC002, "Waiting for a change of the registry key %2 failed with error %1."},
    {0xE12EC003, "The registry value %1 under %2 is missing; the process ends."},
    {0xE12EC004, "The registry value %1 under %2 could not be written; the process ends."},
    {0x612EC005, "Listening on port %1 of %2."},
    {0xA12EC006, "The listener on port %1 of %2 ended (%3)."},
    {0x612EC007, "Peripheral status %1%2: %3"},
    {0xA12EC008, "Session %1: a client status request failed with %2 (agent %3, client %4)."},
    {0xA12EC009, "Session %2 (client %3): the output queue reached its limit of %1 messages."},
    {0xA12EC00A, "The limit of %1 client connections is reached; a new connection was closed."},
    {0xA12EC00B, "Bad message from a client: %1 (client %2 at %3)."},
    {0x612EC00C, "The build information changed to %1 (%2)."},
    {0xE12EC00D, "The peripheral controller speaks version %1, not %2: %3"},
    {0xA12EC00E, "A message carried more expanded call context data than fits."},
};

bool ParseLine(const std::string& line, uint32_t* id, std::string* text) {
    if (line.empty() || line[0] == '#') return false;
    size_t tab = line.find('\t');
    if (tab == std::string::npos || tab > 12) return false;
    const std::string idText = line.substr(0, tab);
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(idText.c_str(), &end, 0);
    if (errno != 0 || !end || *end != '\0' || v > 0xFFFFFFFFul) return false;
    *id = static_cast<uint32_t>(v);
    *text = line.substr(tab + 1);
    return true;
}

}  // namespace

MsgCatalog* MsgCatalog::Load() {
    auto* cat = new MsgCatalog;
    for (const Entry& e : kTexts) cat->texts_[e.id] = e.text;
    const char* file = std::getenv("PARLO_MSG_CATALOG");
    if (file && *file) {
        std::ifstream in(file);
        if (!in) {
            plat::SetLastError(errno == ENOENT || errno == 0 ? plat::ERROR_FILE_NOT_FOUND
                                                             : plat::ErrnoToWin32(errno));
            delete cat;
            return nullptr;
        }
        constexpr size_t kMaxLine = 4096;
        constexpr size_t kMaxEntries = 65536;
        std::string line;
        size_t count = 0;
        while (std::getline(in, line) && count < kMaxEntries) {
            if (line.size() > kMaxLine) continue;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            uint32_t id;
            std::string text;
            if (ParseLine(line, &id, &text)) {
                cat->texts_[id] = text;
                ++count;
            }
        }
    }
    return cat;
}

const char* MsgCatalog::Find(uint32_t id) const {
    auto it = texts_.find(id);
    return it == texts_.end() ? nullptr : it->second.c_str();
}

std::vector<uint32_t> MsgCatalog::BuiltInIds() {
    std::vector<uint32_t> ids;
    for (const Entry& e : kTexts) ids.push_back(e.id);
    return ids;
}

namespace {

// Applies a printf conversion written between '!' marks to one insert text.
bool FormatInsert(const std::string& conversion, const char* insert, std::string* out) {
    // flags, width, precision, length, conversion; nothing that reads more arguments.
    size_t i = 0;
    std::string flags, width, precision;
    bool hasDot = false;
    while (i < conversion.size() && std::strchr("-+ #0", conversion[i])) flags += conversion[i++];
    while (i < conversion.size() && isdigit(static_cast<unsigned char>(conversion[i]))) width += conversion[i++];
    if (i < conversion.size() && conversion[i] == '.') {
        ++i;
        hasDot = true;
        while (i < conversion.size() && isdigit(static_cast<unsigned char>(conversion[i])))
            precision += conversion[i++];
        if (precision.empty()) precision = "0";
    }
    if (width.size() > 4 || precision.size() > 4) return false;
    // Length modifiers change nothing here: every number is formatted as long long.
    while (i < conversion.size() && std::strchr("hlLqjztI", conversion[i])) {
        if (conversion[i] == 'I') {
            if (conversion.compare(i, 3, "I64") == 0 || conversion.compare(i, 3, "I32") == 0) i += 2;
        }
        ++i;
    }
    if (i + 1 != conversion.size()) return false;
    char conv = conversion[i];
    std::string fmt = "%" + flags + width + (hasDot ? "." + precision : std::string());
    char buf[10000];
    int n;
    switch (conv) {
        case 's':
        case 'S':
            fmt += 's';
            n = std::snprintf(buf, sizeof buf, fmt.c_str(), insert);
            break;
        case 'c':
        case 'C':
            fmt += 'c';
            n = std::snprintf(buf, sizeof buf, fmt.c_str(), insert[0]);
            break;
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            long long v = std::strtoll(insert, nullptr, 0);
            fmt += "ll";
            fmt += conv;
            n = std::snprintf(buf, sizeof buf, fmt.c_str(), v);
            break;
        }
        default:
            return false;
    }
    if (n < 0) return false;
    out->append(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
    return true;
}

}  // namespace

MsgFormatResult MsgFormat(const char* format, const char* const* inserts, int insertCount,
                          bool ignoreInserts, std::string* out, size_t maxLength) {
    out->clear();
    if (!format) return MsgFormatResult::Fault;
    const char* p = format;
    while (*p) {
        char c = *p;
        if (c == '\r' || c == '\n') {
            // A written line break: nothing at the end, one space inside.
            while (*p == '\r' || *p == '\n') ++p;
            if (*p) out->push_back(' ');
            continue;
        }
        if (c != '%') {
            out->push_back(c);
            ++p;
            continue;
        }
        const char* start = p++;
        char d = *p;
        if (d == '\0') break;
        if (d >= '1' && d <= '9') {
            int index = d - '0';
            ++p;
            if (*p >= '0' && *p <= '9') index = index * 10 + (*p++ - '0');
            std::string conversion;
            bool hasSpec = false;
            if (*p == '!') {
                const char* close = std::strchr(p + 1, '!');
                if (!close || close - p > 32) return MsgFormatResult::Fault;
                conversion.assign(p + 1, close);
                hasSpec = true;
                p = close + 1;
            }
            if (ignoreInserts) {
                out->append(start, p);
                continue;
            }
            if (index > insertCount || !inserts || !inserts[index - 1])
                return MsgFormatResult::Fault;
            if (hasSpec) {
                if (!FormatInsert(conversion, inserts[index - 1], out)) return MsgFormatResult::Fault;
            } else {
                out->append(inserts[index - 1]);
            }
        } else {
            ++p;
            switch (d) {
                case '0':
                    if (out->size() > maxLength) out->resize(maxLength);
                    return MsgFormatResult::Ok;
                case 'n': out->push_back('\n'); break;
                case 'r': out->push_back('\r'); break;
                case 't': out->push_back('\t'); break;
                case 'b': out->push_back(' '); break;
                default: out->push_back(d); break;  // %% %. %! and any other character
            }
        }
        if (out->size() > maxLength) break;
    }
    if (out->size() > maxLength) out->resize(maxLength);
    return MsgFormatResult::Ok;
}
