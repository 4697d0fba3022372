#pragma once
// The per-thread "last error" word. Holds the Win32-style numbers the server's callers
// test for (2, 5, 6, 109, 183, 234, 10054, ...) and plain errno values for everything else.
#include <cstdint>
#include <optional>

namespace plat {

inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_INVALID_DATA = 13;
inline constexpr uint32_t ERROR_WRITE_FAULT = 29;
inline constexpr uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_BROKEN_PIPE = 109;
inline constexpr uint32_t ERROR_BUSY = 170;
inline constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr uint32_t ERROR_MORE_DATA = 234;
inline constexpr uint32_t ERROR_NO_MORE_ITEMS = 259;
inline constexpr uint32_t ERROR_PIPE_CONNECTED = 535;
inline constexpr uint32_t ERROR_IO_PENDING = 997;
inline constexpr uint32_t ERROR_BADDB = 1009;
inline constexpr uint32_t ERROR_KEY_DELETED = 1018;

inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_ABANDONED = 0x80;
inline constexpr uint32_t WAIT_TIMEOUT = 258;
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
inline constexpr uint32_t INFINITE = 0xFFFFFFFF;

uint32_t GetLastError();
void SetLastError(uint32_t code);

// The one map from errno to the Win32 number callers test for: file and system errors get
// their Win32 numbers (ENOENT 2, EACCES 5, EBADF 6, ENOMEM 8, EPIPE 109, EEXIST 183, ...),
// errors only sockets give get their Winsock numbers (ECONNRESET 10054, ECONNREFUSED 10061,
// ...). A value the map does not know passes through unchanged. A subsystem whose callers
// expect other numbers for a few cases keeps those in one table of its own on top of this.
uint32_t ErrnoToWin32(int e);
// The number the map gives `e`, or nothing when the map does not know it.
std::optional<uint32_t> KnownErrnoToWin32(int e);

// SetLastError(ErrnoToWin32(errno)); returns the stored value.
uint32_t SetLastErrorFromErrno();

}  // namespace plat
