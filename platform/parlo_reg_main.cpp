// parlo-reg: reads and writes the registry store from the shell, for operators and tests.
//   parlo-reg get KEY NAME
//   parlo-reg set KEY NAME TYPE VALUE...   TYPE: dword | sz | expand | binary | multi
//   parlo-reg del|delete KEY [NAME]        without NAME: the key and all below it
//   parlo-reg dump [KEY]
//   parlo-reg import FILE...
// KEY separates names with '\' or '/'. The store is $PARLO_REGISTRY_ROOT; without it, ./run's
// store var/registry when the current directory holds one (the top of a checkout), else the
// platform's default.
// Failures are told in words on stderr: a missing store, key or value by name, other
// errors with their number. Exit status: 0 done, 1 failed, 2 usage or a bad value.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "platform/lasterror.h"
#include "platform/registry.h"
#include "platform/regtext.h"

using namespace plat;

namespace {

constexpr uint64_t kMaxImportFile = 64u << 20;

int Usage() {
    std::fprintf(stderr,
                 "usage: parlo-reg get KEY NAME\n"
                 "       parlo-reg set KEY NAME dword|sz|expand|binary|multi VALUE...\n"
                 "       parlo-reg del|delete KEY [NAME]\n"
                 "       parlo-reg dump [KEY]\n"
                 "       parlo-reg import FILE...\n");
    return 2;
}

std::string KeyArg(std::string key) {
    for (auto& c : key)
        if (c == '/') c = '\\';
    return key;
}

// An error number in words, where it has some.
std::string Words(uint32_t rc) {
    switch (rc) {
    case ERROR_FILE_NOT_FOUND: return "not found";
    case ERROR_PATH_NOT_FOUND: return "path not found";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_BADDB: return "the key's values file is too large to be the store's";
    case ERROR_KEY_DELETED: return "the key was deleted meanwhile";
    default: return "error " + std::to_string(rc);
    }
}

std::string Shown(const std::string& path) { return path.empty() ? "(the root)" : path; }

bool StoreExists() {
    struct stat st;
    return stat(RegistryRootPath().c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A key that could not be opened, created or deleted.
int KeyFailed(const std::string& path, uint32_t rc) {
    const std::string root = RegistryRootPath();
    if ((rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND) && !StoreExists()) {
        const char* env = std::getenv("PARLO_REGISTRY_ROOT");
        std::fprintf(stderr, "parlo-reg: no registry at %s (%s)\n", root.c_str(),
                     env && *env ? "named by PARLO_REGISTRY_ROOT"
                                 : "PARLO_REGISTRY_ROOT is not set");
    } else if (rc == ERROR_FILE_NOT_FOUND) {
        std::fprintf(stderr, "parlo-reg: no key %s in the registry at %s\n", path.c_str(),
                     root.c_str());
    } else if (rc == ERROR_INVALID_PARAMETER) {
        std::fprintf(stderr,
                     "parlo-reg: key %s: not a valid key name (a name may not start with '.' "
                     "or be longer than %u characters)\n",
                     path.c_str(), kRegMaxKeyNameLength);
    } else {
        std::fprintf(stderr, "parlo-reg: key %s: %s\n", Shown(path).c_str(), Words(rc).c_str());
    }
    return 1;
}

// A value of an open key that could not be read, written or deleted.
int ValueFailed(const std::string& path, const std::string& name, uint32_t rc) {
    if (rc == ERROR_FILE_NOT_FOUND)
        std::fprintf(stderr, "parlo-reg: no value %s in key %s\n", QuoteRegText(name).c_str(),
                     Shown(path).c_str());
    else if (rc == ERROR_INVALID_PARAMETER)
        std::fprintf(stderr,
                     "parlo-reg: value %s in key %s: not a valid value name, or more than %u "
                     "bytes\n",
                     QuoteRegText(name).c_str(), Shown(path).c_str(), kRegMaxValueSize);
    else
        std::fprintf(stderr, "parlo-reg: value %s in key %s: %s\n", QuoteRegText(name).c_str(),
                     Shown(path).c_str(), Words(rc).c_str());
    return 1;
}

int Get(const std::string& path, const std::string& name) {
    RegKeyHolder key;
    if (uint32_t rc = RegOpenKey(RegRoot(), path.c_str(), key.out())) return KeyFailed(path, rc);
    uint32_t type = 0, size = 0;
    if (uint32_t rc = RegQueryValue(key.get(), name.c_str(), &type, nullptr, &size))
        return ValueFailed(path, name, rc);
    RegValue v{name, type, std::vector<uint8_t>(size)};
    if (uint32_t rc = RegQueryValue(key.get(), name.c_str(), &type, v.data.data(), &size))
        return ValueFailed(path, name, rc);
    v.data.resize(size);
    v.type = type;
    std::string line = FormatRegValue(v);
    // The part after "name=".
    std::string prefix = (name.empty() ? std::string("@") : QuoteRegText(name)) + "=";
    std::printf("%s\n", line.substr(prefix.size()).c_str());
    return 0;
}

bool ParseDword(const std::string& text, uint32_t* out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long x = std::strtoull(text.c_str(), &end, 0);
    if (errno || *end || x > 0xFFFFFFFFull || text[0] == '-') return false;
    *out = static_cast<uint32_t>(x);
    return true;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* out) {
    std::string digits;
    for (char c : text) {
        if (c == ',' || c == ' ') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        digits += c;
    }
    if (digits.size() % 2 || digits.size() / 2 > kRegMaxValueSize) return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        out->push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

int Set(const std::string& path, const std::string& name, const std::string& typeName,
        const std::vector<std::string>& args) {
    RegValue v;
    if (typeName == "dword") {
        uint32_t x = 0;
        if (args.size() != 1 || !ParseDword(args[0], &x)) {
            std::fprintf(stderr, "parlo-reg: bad dword value\n");
            return 2;
        }
        v.type = REG_DWORD;
        v.data = {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8),
                  static_cast<uint8_t>(x >> 16), static_cast<uint8_t>(x >> 24)};
    } else if (typeName == "sz" || typeName == "expand") {
        if (args.size() != 1) return Usage();
        v.type = typeName == "sz" ? REG_SZ : REG_EXPAND_SZ;
        v.data.assign(args[0].begin(), args[0].end());
        v.data.push_back(0);
    } else if (typeName == "binary") {
        if (args.size() > 1) return Usage();
        if (!args.empty() && !ParseHexBytes(args[0], &v.data)) {
            std::fprintf(stderr, "parlo-reg: bad hex bytes\n");
            return 2;
        }
        v.type = REG_BINARY;
    } else if (typeName == "multi") {
        v.type = REG_MULTI_SZ;
        for (const auto& a : args) {
            v.data.insert(v.data.end(), a.begin(), a.end());
            v.data.push_back(0);
        }
        v.data.push_back(0);
    } else {
        return Usage();
    }
    RegKeyHolder key;
    if (uint32_t rc = RegCreateKey(RegRoot(), path.c_str(), key.out())) return KeyFailed(path, rc);
    if (uint32_t rc = RegSetValue(key.get(), name.c_str(), v.type, v.data.data(),
                                  static_cast<uint32_t>(v.data.size())))
        return ValueFailed(path, name, rc);
    return 0;
}

uint32_t DeleteTree(RegKey parent, const std::string& path) {
    RegKeyHolder key;
    if (uint32_t rc = RegOpenKey(parent, path.c_str(), key.out())) return rc;
    std::string sub;
    // Always index 0: each pass removes the first subkey.
    while (RegEnumKey(key.get(), 0, &sub) == ERROR_SUCCESS) {
        if (uint32_t rc = DeleteTree(key.get(), sub)) return rc;
    }
    key.reset();
    return RegDeleteKey(parent, path.c_str());
}

int Del(const std::string& path, const std::string* name) {
    if (name) {
        RegKeyHolder key;
        if (uint32_t rc = RegOpenKey(RegRoot(), path.c_str(), key.out()))
            return KeyFailed(path, rc);
        if (uint32_t rc = RegDeleteValue(key.get(), name->c_str()))
            return ValueFailed(path, *name, rc);
        return 0;
    }
    if (uint32_t rc = DeleteTree(RegRoot(), path)) return KeyFailed(path, rc);
    return 0;
}

uint32_t Dump(RegKey key, const std::string& path) {
    std::printf("[%s]\n", path.c_str());
    std::string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
    for (uint32_t i = 0; RegEnumValue(key, i, &name, &type, &data) == ERROR_SUCCESS; ++i)
        std::printf("%s\n", FormatRegValue(RegValue{name, type, data}).c_str());
    std::printf("\n");
    std::vector<std::string> subs;
    for (uint32_t i = 0; RegEnumKey(key, i, &name) == ERROR_SUCCESS; ++i) subs.push_back(name);
    for (const auto& s : subs) {
        RegKeyHolder sub;
        if (RegOpenKey(key, s.c_str(), sub.out()) != ERROR_SUCCESS) continue;  // gone meanwhile
        Dump(sub.get(), path.empty() ? s : path + "\\" + s);
    }
    return ERROR_SUCCESS;
}

int DumpCmd(const std::string& path) {
    RegKeyHolder key;
    if (uint32_t rc = RegOpenKey(RegRoot(), path.c_str(), key.out())) return KeyFailed(path, rc);
    Dump(key.get(), path);
    return 0;
}

int Import(const char* file) {
    std::error_code ec;
    auto fileSize = std::filesystem::file_size(file, ec);
    if (ec) {
        std::fprintf(stderr, "parlo-reg: %s: %s\n", file, ec.message().c_str());
        return 1;
    }
    if (fileSize > kMaxImportFile) {
        std::fprintf(stderr, "parlo-reg: %s: file too large\n", file);
        return 1;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "parlo-reg: %s: %s\n", file, std::strerror(errno));
        return 1;
    }
    std::string text;
    text.resize(static_cast<size_t>(fileSize));
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    int errors = 0;
    RegKeyHolder key;
    std::string keyPath;
    ForEachRegLine(text, [&](std::string_view line, int lineNo) {
        auto report = [&](const std::string& msg) {
            std::fprintf(stderr, "parlo-reg: %s:%d: %s\n", file, lineNo, msg.c_str());
            ++errors;
        };
        if (line.front() == '[') {
            key.reset();
            if (line.back() != ']') {
                report("bad key line");
                return true;
            }
            keyPath = std::string(line.substr(1, line.size() - 2));
            static const char hklm[] = "HKEY_LOCAL_MACHINE";
            if (keyPath.compare(0, sizeof hklm - 1, hklm) == 0 &&
                (keyPath.size() == sizeof hklm - 1 || keyPath[sizeof hklm - 1] == '\\'))
                keyPath.erase(0, sizeof hklm - 1);
            if (uint32_t rc = RegCreateKey(RegRoot(), keyPath.c_str(), key.out()))
                report("cannot create key " + keyPath + ": " + Words(rc));
            return true;
        }
        RegValue v;
        std::string error;
        if (!ParseRegValue(line, &v, &error)) {
            report(error);
            return true;
        }
        if (!key) {
            report("value outside a key");
            return true;
        }
        if (uint32_t rc = RegSetValue(key.get(), v.name.c_str(), v.type, v.data.data(),
                                      static_cast<uint32_t>(v.data.size())))
            report("cannot set " + v.name + ": " + Words(rc));
        return true;
    });
    return errors ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    if (const char* env = std::getenv("PARLO_REGISTRY_ROOT"); !env || !*env) {
        std::error_code ec;
        if (std::filesystem::is_directory("var/registry", ec))
            ::setenv("PARLO_REGISTRY_ROOT", std::filesystem::absolute("var/registry", ec).c_str(), 1);
    }
    std::string cmd = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (cmd == "get" && args.size() == 2) return Get(KeyArg(args[0]), args[1]);
    if (cmd == "set" && args.size() >= 3)
        return Set(KeyArg(args[0]), args[1], args[2],
                   std::vector<std::string>(args.begin() + 3, args.end()));
    if ((cmd == "del" || cmd == "delete") && (args.size() == 1 || args.size() == 2))
        return Del(KeyArg(args[0]), args.size() == 2 ? &args[1] : nullptr);
    if (cmd == "dump" && args.size() <= 1) return DumpCmd(args.empty() ? "" : KeyArg(args[0]));
    if (cmd == "import" && !args.empty()) {
        int rc = 0;
        for (int i = 2; i < argc; ++i) rc |= Import(argv[i]);
        return rc;
    }
    return Usage();
}
