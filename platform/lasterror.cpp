#include "platform/lasterror.h"

#include <cerrno>

namespace plat {

namespace {
thread_local uint32_t t_lastError = 0;
}

uint32_t GetLastError() { return t_lastError; }
void SetLastError(uint32_t code) { t_lastError = code; }

namespace {
struct ErrnoNumber {
    int e;
    uint32_t code;
};
constexpr ErrnoNumber kErrnoMap[] = {
    {0, ERROR_SUCCESS},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EPIPE, ERROR_BROKEN_PIPE},
    {EBUSY, ERROR_BUSY},
    {EEXIST, ERROR_ALREADY_EXISTS},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EIO, ERROR_WRITE_FAULT},
    // Only sockets give these: their Winsock numbers.
    {ENOTSOCK, 10038},
    {EINPROGRESS, 10036},
    {EALREADY, 10037},
    {EMSGSIZE, 10040},
    {ENOPROTOOPT, 10042},
    {EOPNOTSUPP, 10045},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    {ENOBUFS, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},
    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
};
}  // namespace

std::optional<uint32_t> KnownErrnoToWin32(int e) {
    for (const ErrnoNumber& n : kErrnoMap)
        if (n.e == e) return n.code;
    return std::nullopt;
}

uint32_t ErrnoToWin32(int e) { return KnownErrnoToWin32(e).value_or(static_cast<uint32_t>(e)); }

uint32_t SetLastErrorFromErrno() {
    uint32_t code = ErrnoToWin32(errno);
    t_lastError = code;
    return code;
}

}  // namespace plat
