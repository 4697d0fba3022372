#pragma once
// The system event log of this host: syslog(3) under the source's name and, where a log
// directory is known, an append-only file "<dir>/eventlog/<source>.evt" with one line per
// entry:
//   <UTC time>\ttype=<n>\tcategory=<n>\tid=0x<8 hex>\tstrings=<n>[\t<string>...]\tdata=<hex>
// Strings escape '\\', tab, CR and LF as \\ \t \r \n. The time is ISO 8601 with milliseconds.
#include <cstdint>
#include <string>
#include <vector>

struct EventLogEntry {
    uint64_t fileTime = 0;  // 100 ns units since 1601, UTC
    uint16_t type = 4;
    uint16_t category = 0;
    uint32_t eventId = 0;
    std::vector<std::string> strings;
    const uint8_t* data = nullptr;
    uint32_t dataLength = 0;
    std::string text;  // the formatted message, for syslog
};

class EventLog {
public:
    // Opens syslog under the source's name and, with a directory, the entry file (created
    // with its folder when missing, both private: platform/filemode.h). False when the file
    // cannot be opened.
    [[nodiscard]] bool Register(const std::string& source, const std::string& directory);
    // False (with the last error set) when the entry could not be written.
    bool Report(const EventLogEntry& entry);
    void Close();
    const std::string& FilePath() const { return path_; }
    bool IsRegistered() const { return registered_; }

    // One entry as its line (without the line end).
    static std::string FormatLine(const EventLogEntry& entry);

private:
    std::string source_;
    std::string path_;
    int fd_ = -1;
    bool registered_ = false;
};

// The process's event log.
EventLog& TheEventLog();
