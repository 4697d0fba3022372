#pragma once
// Typed readers and writers of single registry values on an open key. Each answers 1 on
// success and 0 on failure; when the registry call itself failed its error is left as the
// thread's last error. None reports anything: the caller decides what a 0 means.
#include <cstdint>

#include "platform/registry.h"

// Reads 4 bytes straight into dest; 1 only for a REG_DWORD. A value of another type of at
// most 4 bytes has already been copied into dest when this answers 0 (no last error then).
[[nodiscard]] int RegGetDWORD(plat::RegKey key, const char* name, uint32_t* dest);
// As RegGetDWORD, but the variable is touched only on success.
[[nodiscard]] int RegGetDWORDSafe(plat::RegKey key, const char* name, uint32_t* variable);
// A REG_DWORD of at most 255 / 65535; the variable is untouched otherwise.
[[nodiscard]] int RegGetBYTE(plat::RegKey key, const char* name, uint8_t* variable);
[[nodiscard]] int RegGetWORD(plat::RegKey key, const char* name, uint16_t* variable);
// A REG_SZ value (REG_EXPAND_SZ is refused): *out receives a new buffer with the stored
// bytes (always NUL-terminated); free it with RegFreeBuffer. Nothing allocated on failure.
[[nodiscard]] int RegGetString(plat::RegKey key, const char* name, char** out);
// A REG_BINARY value: *out receives a new buffer with its bytes and *length its size; free
// it with RegFreeBuffer. Nothing allocated on failure.
[[nodiscard]] int RegGetBinary(plat::RegKey key, const char* name, uint8_t** out, uint32_t* length);
void RegFreeBuffer(void* buffer);

// Writers: 1 when stored, 0 with the registry's error as the last error.
int RegSetDWORD(plat::RegKey key, const char* name, uint32_t value);
int RegSetBOOL(plat::RegKey key, const char* name, uint32_t value);
int RegSetBinary(plat::RegKey key, const char* name, const void* data, uint32_t length);
// Stored with its terminating NUL.
int RegSetString(plat::RegKey key, const char* name, const char* text);
