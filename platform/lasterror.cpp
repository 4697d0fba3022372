#include "platform/lasterror.h"

#include <cerrno>

namespace plat {

namespace {
thread_local uint32_t t_lastError = 0;
}

uint32_t GetLastError() { return t_lastError; }
void SetLastError(uint32_t code) { t_lastError = code; }

uint32_t ErrnoToWin32(int e) {
    switch (e) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EBUSY: return ERROR_BUSY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EIO: return ERROR_WRITE_FAULT;
    default: return static_cast<uint32_t>(e);
    }
}

uint32_t SetLastErrorFromErrno() {
    uint32_t code = ErrnoToWin32(errno);
    t_lastError = code;
    return code;
}

}  // namespace plat
