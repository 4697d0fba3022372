#include "nuvlib/eventlog.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/filemode.h"
#include "platform/lasterror.h"

namespace {

void Escape(const std::string& s, std::string* out) {
    for (char c : s) {
        switch (c) {
            case '\\': *out += "\\\\"; break;
            case '\t': *out += "\\t"; break;
            case '\r': *out += "\\r"; break;
            case '\n': *out += "\\n"; break;
            default: out->push_back(c);
        }
    }
}

int SyslogPriority(uint16_t type) {
    switch (type) {
        case 1: return LOG_ERR;
        case 2: return LOG_WARNING;
        default: return LOG_INFO;
    }
}

// syslog keeps the ident pointer: it must outlive every later call.
std::string& SyslogIdent() {
    static std::string* ident = new std::string;
    return *ident;
}

}  // namespace

EventLog& TheEventLog() {
    static EventLog* log = new EventLog;  // never destroyed: reports may come late
    return *log;
}

std::string EventLog::FormatLine(const EventLogEntry& e) {
    int64_t ns = plat::FileTimeToUnixNs(e.fileTime);
    time_t secs = static_cast<time_t>(ns / 1000000000);
    int ms = static_cast<int>((ns / 1000000) % 1000);
    if (ns < 0) {
        secs = 0;
        ms = 0;
    }
    tm t{};
    gmtime_r(&secs, &t);
    char head[160];
    std::snprintf(head, sizeof head,
                  "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ\ttype=%u\tcategory=%u\tid=0x%08X\tstrings=%zu",
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ms,
                  e.type, e.category, e.eventId, e.strings.size());
    std::string line = head;
    for (const auto& s : e.strings) {
        line.push_back('\t');
        Escape(s, &line);
    }
    line += "\tdata=";
    static const char* hex = "0123456789ABCDEF";
    for (uint32_t i = 0; i < e.dataLength && e.data; ++i) {
        line.push_back(hex[e.data[i] >> 4]);
        line.push_back(hex[e.data[i] & 15]);
    }
    return line;
}

bool EventLog::Register(const std::string& source, const std::string& directory) {
    Close();
    source_ = source;
    SyslogIdent() = source;
    openlog(SyslogIdent().c_str(), LOG_PID | LOG_NDELAY, LOG_USER);
    registered_ = true;
    if (directory.empty()) return true;
    std::string dir = directory + "/eventlog";
    // Private to the node's user (or its group: platform/filemode.h), as the log files are.
    if (!plat::MakePrivateDir(directory) || !plat::MakePrivateDir(dir)) {
        plat::SetLastErrorFromErrno();
        return false;
    }
    path_ = dir + "/" + source + ".evt";
    fd_ = plat::OpenPrivateFile(path_, O_WRONLY | O_APPEND);
    if (fd_ < 0) {
        plat::SetLastErrorFromErrno();
        path_.clear();
        return false;
    }
    return true;
}

bool EventLog::Report(const EventLogEntry& entry) {
    if (!registered_) {
        plat::SetLastError(plat::ERROR_INVALID_HANDLE);
        return false;
    }
    syslog(SyslogPriority(entry.type), "%s",
           entry.text.empty() ? FormatLine(entry).c_str() : entry.text.c_str());
    if (fd_ < 0) return true;
    std::string line = FormatLine(entry);
    line.push_back('\n');
    // One write per entry: with O_APPEND, entries of several writers never interleave.
    ssize_t n;
    do {
        n = ::write(fd_, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(line.size())) {
        if (n < 0)
            plat::SetLastErrorFromErrno();
        else
            plat::SetLastError(plat::ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}

void EventLog::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    path_.clear();
    if (registered_) closelog();
    registered_ = false;
}
