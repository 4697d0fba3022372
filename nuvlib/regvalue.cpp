#include "nuvlib/regvalue.h"

#include <cstdlib>
#include <cstring>

#include "platform/byteorder.h"
#include "platform/lasterror.h"

namespace {

// Reads a value of one accepted type into a new buffer (one spare NUL after its bytes).
int GetBuffer(plat::RegKey key, const char* name, uint32_t wantedType, uint8_t** out,
              uint32_t* length) {
    *out = nullptr;
    uint32_t type = 0;
    uint32_t size = 0;
    uint32_t rc = plat::RegQueryValue(key, name, &type, nullptr, &size);
    if (rc != 0) {
        plat::SetLastError(rc);
        return 0;
    }
    auto* buffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size) + 1));
    if (buffer == nullptr) return 0;
    uint32_t got = size;
    rc = plat::RegQueryValue(key, name, &type, buffer, &got);
    if (rc != 0) {
        plat::SetLastError(rc);
        std::free(buffer);
        return 0;
    }
    if (type != wantedType) {
        std::free(buffer);
        return 0;
    }
    buffer[got] = 0;
    *out = buffer;
    if (length != nullptr) *length = got;
    return 1;
}

int Set(plat::RegKey key, const char* name, uint32_t type, const void* data, uint32_t size) {
    uint32_t rc = plat::RegSetValue(key, name, type, data, size);
    if (rc != 0) {
        plat::SetLastError(rc);
        return 0;
    }
    return 1;
}

}  // namespace

int RegGetDWORD(plat::RegKey key, const char* name, uint32_t* dest) {
    uint32_t type = 0;
    uint32_t size = 4;
    uint32_t rc = plat::RegQueryValue(key, name, &type, dest, &size);
    if (rc != 0) {
        plat::SetLastError(rc);
        return 0;
    }
    return type == plat::REG_DWORD ? 1 : 0;
}

int RegGetDWORDSafe(plat::RegKey key, const char* name, uint32_t* variable) {
    uint32_t value = 0;
    if (RegGetDWORD(key, name, &value) != 1) return 0;
    *variable = value;
    return 1;
}

int RegGetBYTE(plat::RegKey key, const char* name, uint8_t* variable) {
    uint32_t value = 0;
    if (RegGetDWORD(key, name, &value) != 1 || value > 255) return 0;
    *variable = static_cast<uint8_t>(value);
    return 1;
}

int RegGetWORD(plat::RegKey key, const char* name, uint16_t* variable) {
    uint32_t value = 0;
    if (RegGetDWORD(key, name, &value) != 1 || value > 65535) return 0;
    *variable = static_cast<uint16_t>(value);
    return 1;
}

int RegGetString(plat::RegKey key, const char* name, char** out) {
    uint8_t* buffer = nullptr;
    int ok = GetBuffer(key, name, plat::REG_SZ, &buffer, nullptr);
    *out = reinterpret_cast<char*>(buffer);
    return ok;
}

int RegGetBinary(plat::RegKey key, const char* name, uint8_t** out, uint32_t* length) {
    return GetBuffer(key, name, plat::REG_BINARY, out, length);
}

void RegFreeBuffer(void* buffer) { std::free(buffer); }

int RegSetDWORD(plat::RegKey key, const char* name, uint32_t value) {
    uint8_t bytes[4];
    plat::StoreLE32(bytes, value);
    return Set(key, name, plat::REG_DWORD, bytes, 4);
}

int RegSetBOOL(plat::RegKey key, const char* name, uint32_t value) {
    return RegSetDWORD(key, name, value);
}

int RegSetBinary(plat::RegKey key, const char* name, const void* data, uint32_t length) {
    return Set(key, name, plat::REG_BINARY, data, length);
}

int RegSetString(plat::RegKey key, const char* name, const char* text) {
    if (text == nullptr) text = "";
    return Set(key, name, plat::REG_SZ, text, static_cast<uint32_t>(std::strlen(text) + 1));
}
