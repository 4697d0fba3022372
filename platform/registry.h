#pragma once
// A registry store with Win32 semantics over a directory tree.
//
// Layout: one directory per key under $PARLO_REGISTRY_ROOT; key names are matched without
// regard to ASCII case and keep the case they were created with. All values of a key live
// in the key's ".values" text file, one value a line:
//     "EMSTraceMask"=dword:00000010
//     "EMSLogFileLocation"="logs"          (\\ and \" escape a backslash and a quote)
//     "EMSUserData"=hex:01,80
//     "Path"=expand:"%ROOT%\\bin"          (also accepted as hex(2):..)
//     "Names"=multi:"one","two"            (also accepted as hex(7):..)
//     "Odd"=hex(N):..                       (any other type, or bytes not in canonical form)
// Value names are matched without regard to case as well; "@" or "" is the default value.
// A change is written to a temporary file and renamed over ".values" under an flock of the
// key directory, so readers never see half a file; RegFlushKey fsyncs file and directory.
// Change notification watches the key's ".values" with inotify. The store is private to the
// user that runs the node (platform/filemode.h): key directories are made 0700 and values
// files 0600, or 0750 and 0640 below a directory with the setgid bit.
//
// Every function returns a Win32 error number (0 = success) and leaves the last error alone.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

class Event;

struct RegKeyImpl;
using RegKey = RegKeyImpl*;

inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_MULTI_SZ = 7;

// Limits: a key name component at most 255 characters, a value name at most 16383, value
// data at most kRegMaxValueSize bytes, a ".values" file at most kRegMaxFileSize bytes.
inline constexpr uint32_t kRegMaxKeyNameLength = 255;
inline constexpr uint32_t kRegMaxValueNameLength = 16383;
inline constexpr uint32_t kRegMaxValueSize = 1u << 20;
inline constexpr uint64_t kRegMaxFileSize = 16u << 20;

// The directory of the store: $PARLO_REGISTRY_ROOT, else $HOME/.parlo/registry, else
// /tmp/parlo-registry-<uid>. Read on every call, so a test may point it elsewhere.
std::string RegistryRootPath();

// The root key. Never closed (RegCloseKey on it does nothing).
RegKey RegRoot();

// Every call returns 0 or a Win32 error number. The look-ups (open, create, query, enumerate,
// watch) are [[nodiscard]]: their outputs mean nothing on failure. Writes, deletes, flushes
// and closes may be dropped where a caller has nothing better to do with a failure.
//
// path: key names separated by '\\' relative to parent; empty components are skipped and an
// empty path opens the parent again. A name that is ".", "..", starts with '.', holds '/'
// or is longer than kRegMaxKeyNameLength gives 87. Missing key: 2.
[[nodiscard]] uint32_t RegOpenKey(RegKey parent, const char* path, RegKey* out);
// Opens or creates every key along path; *created (optional) tells whether the last existed.
[[nodiscard]] uint32_t RegCreateKey(RegKey parent, const char* path, RegKey* out, bool* created = nullptr);
// Releases the handle; a RegNotifyChangeKeyValue blocked on it in another thread returns
// 6, and events registered through it are set.
uint32_t RegCloseKey(RegKey key);

// type and size are optional. data null: *size gets the length (0 on success). data too
// small for the value: 234 with *size set to the length needed, data untouched. Missing
// value: 2. A value of a deleted key: 1018.
[[nodiscard]] uint32_t RegQueryValue(RegKey key, const char* name, uint32_t* type, void* data,
                       uint32_t* size);
// Stores size bytes as they are (for REG_SZ the caller counts the NUL). More than
// kRegMaxValueSize bytes, or a name over kRegMaxValueNameLength: 87.
uint32_t RegSetValue(RegKey key, const char* name, uint32_t type, const void* data,
                     uint32_t size);
uint32_t RegDeleteValue(RegKey key, const char* name);
// Deletes the key at path and its values; a key that still has subkeys gives 5.
uint32_t RegDeleteKey(RegKey parent, const char* path);

// Subkey names in case-insensitive order; 259 past the end.
[[nodiscard]] uint32_t RegEnumKey(RegKey key, uint32_t index, std::string* name);
// Values in file order; type optional; 259 past the end.
[[nodiscard]] uint32_t RegEnumValue(RegKey key, uint32_t index, std::string* name, uint32_t* type);

// The same, with the value's bytes.
[[nodiscard]] uint32_t RegEnumValue(RegKey key, uint32_t index, std::string* name, uint32_t* type,
                      std::vector<uint8_t>* data);

struct RegKeyInfo {
    uint32_t subKeys = 0;
    uint32_t maxSubKeyLen = 0;
    uint32_t values = 0;
    uint32_t maxValueNameLen = 0;
    uint32_t maxValueLen = 0;
};
[[nodiscard]] uint32_t RegQueryInfoKey(RegKey key, RegKeyInfo* info);

// Forces the key's values file and directory to disk.
uint32_t RegFlushKey(RegKey key);

// Watches the values of key itself (not of its subkeys). With an event: returns at once
// and sets the event once, at the first change after the call (or when the key is closed
// or deleted). Without one: blocks until a change (0), or until another thread closes the
// key (6). A store that cannot be watched gives the errno-derived number.
[[nodiscard]] uint32_t RegNotifyChangeKeyValue(RegKey key, Event* event);

// Watches of this process that are in place and have not fired yet (both forms). For tests
// that must know a watch is registered before they change or close its key.
size_t RegPendingWatches();

// The directory of an open key (for diagnostics and the CLI).
std::string RegKeyPath(RegKey key);

// Closes a key when it goes out of scope.
class RegKeyHolder {
public:
    RegKeyHolder() = default;
    explicit RegKeyHolder(RegKey key) : key_(key) {}
    ~RegKeyHolder() { reset(); }
    RegKeyHolder(const RegKeyHolder&) = delete;
    RegKeyHolder& operator=(const RegKeyHolder&) = delete;

    RegKey get() const { return key_; }
    RegKey* out() { reset(); return &key_; }
    void reset(RegKey key = nullptr) {
        if (key_) RegCloseKey(key_);
        key_ = key;
    }
    explicit operator bool() const { return key_ != nullptr; }

private:
    RegKey key_ = nullptr;
};

}  // namespace plat
