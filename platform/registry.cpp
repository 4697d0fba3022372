#include "platform/registry.h"

#include "platform/lasterror.h"

namespace plat {

struct RegKeyImpl {};

namespace {
RegKeyImpl g_root;
}

std::string RegistryRootPath() { return std::string(); }
RegKey RegRoot() { return &g_root; }
uint32_t RegOpenKey(RegKey, const char*, RegKey*) { return ERROR_FILE_NOT_FOUND; }
uint32_t RegCreateKey(RegKey, const char*, RegKey*, bool*) { return ERROR_ACCESS_DENIED; }
uint32_t RegCloseKey(RegKey) { return ERROR_SUCCESS; }
uint32_t RegQueryValue(RegKey, const char*, uint32_t*, void*, uint32_t*) {
    return ERROR_FILE_NOT_FOUND;
}
uint32_t RegSetValue(RegKey, const char*, uint32_t, const void*, uint32_t) {
    return ERROR_ACCESS_DENIED;
}
uint32_t RegDeleteValue(RegKey, const char*) { return ERROR_FILE_NOT_FOUND; }
uint32_t RegDeleteKey(RegKey, const char*) { return ERROR_FILE_NOT_FOUND; }
uint32_t RegEnumKey(RegKey, uint32_t, std::string*) { return ERROR_NO_MORE_ITEMS; }
uint32_t RegEnumValue(RegKey, uint32_t, std::string*, uint32_t*) { return ERROR_NO_MORE_ITEMS; }
uint32_t RegFlushKey(RegKey) { return ERROR_SUCCESS; }
uint32_t RegNotifyChangeKeyValue(RegKey, Event*) { return ERROR_INVALID_HANDLE; }
std::string RegKeyPath(RegKey) { return std::string(); }

}  // namespace plat
