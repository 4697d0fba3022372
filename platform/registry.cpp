#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/event.h"
#include "platform/filemode.h"
#include "platform/lasterror.h"
#include "platform/process.h"
#include "platform/regtext.h"

namespace plat {

struct RegKeyImpl {
    std::vector<std::string> comps;  // names on disk, relative to the root
    bool isRoot = false;
    std::atomic<int> refs{1};
    std::atomic<bool> closed{false};
};

namespace {

constexpr const char kValuesFile[] = ".values";

RegKeyImpl g_root{{}, true};

void Release(RegKeyImpl* key) {
    if (!key->isRoot && key->refs.fetch_sub(1) == 1) delete key;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

bool LessNoCase(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(Lower(a[i]));
        unsigned char y = static_cast<unsigned char>(Lower(b[i]));
        if (x != y) return x < y;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

std::string JoinPath(const std::vector<std::string>& comps) {
    std::string p = RegistryRootPath();
    for (const auto& c : comps) p += "/" + c;
    return p;
}

std::string KeyDir(const RegKeyImpl* key) { return JoinPath(key->comps); }

// Splits a '\\'-separated path, checking every name.
uint32_t SplitPath(const char* path, std::vector<std::string>* out) {
    out->clear();
    if (!path) return ERROR_SUCCESS;
    std::string_view p(path);
    size_t pos = 0;
    while (pos <= p.size()) {
        size_t end = p.find('\\', pos);
        if (end == std::string_view::npos) end = p.size();
        std::string_view name = p.substr(pos, end - pos);
        pos = end + 1;
        if (name.empty()) continue;
        if (name.size() > kRegMaxKeyNameLength || name[0] == '.' ||
            name.find('/') != std::string_view::npos)
            return ERROR_INVALID_PARAMETER;
        out->emplace_back(name);
    }
    return ERROR_SUCCESS;
}

bool IsDir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The subkey directories of dir, sorted without regard to case.
std::vector<std::string> ListSubkeys(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        if (e->d_type == DT_DIR || (e->d_type == DT_UNKNOWN && IsDir(dir + "/" + e->d_name)))
            names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end(), LessNoCase);
    return names;
}

// The name on disk of the subkey of dir called name (any case); empty when none. An exact
// match wins over other spellings.
std::string FindSubkey(const std::string& dir, const std::string& name) {
    std::string found;
    for (const auto& n : ListSubkeys(dir)) {
        if (n == name) return n;
        if (found.empty() && EqualNoCase(n, name)) found = n;
    }
    return found;
}

// Holds an flock on a directory for the life of the object.
class DirLock {
public:
    explicit DirLock(const std::string& dir) {
        fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) {
            err_ = errno;
            return;
        }
        while (flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                err_ = errno;
                close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~DirLock() {
        if (fd_ >= 0) close(fd_);  // closing drops the flock
    }
    DirLock(const DirLock&) = delete;
    DirLock& operator=(const DirLock&) = delete;
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    int error() const { return err_; }

private:
    int fd_ = -1;
    int err_ = 0;
};

uint32_t KeyGone(const RegKeyImpl* key) {
    return key->isRoot ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
}

// Reads the values of the key in dir. A missing file is an empty key; a file too large to
// be ours is refused with ERROR_BADDB; lines that do not parse are skipped.
uint32_t ReadValuesAt(int dirfd, std::vector<RegValue>* values) {
    values->clear();
    int fd = openat(dirfd, kValuesFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? ERROR_SUCCESS : ErrnoToWin32(errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) > kRegMaxFileSize) {
        close(fd);
        return ERROR_BADDB;
    }
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kRegMaxFileSize) {
            close(fd);
            return ERROR_BADDB;
        }
    }
    close(fd);
    ForEachRegLine(text, [&](std::string_view line, int) {
        RegValue v;
        std::string error;
        if (!ParseRegValue(line, &v, &error)) return true;
        // A name given twice: the later line holds.
        for (auto& old : *values) {
            if (EqualNoCase(old.name, v.name)) {
                old = std::move(v);
                return true;
            }
        }
        values->push_back(std::move(v));
        return true;
    });
    return ERROR_SUCCESS;
}

uint32_t ReadValues(const RegKeyImpl* key, std::vector<RegValue>* values) {
    std::string dir = KeyDir(key);
    int dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) return errno == ENOENT ? KeyGone(key) : ErrnoToWin32(errno);
    uint32_t rc = ReadValuesAt(dirfd, values);
    close(dirfd);
    return rc;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Replaces the values file: a temporary file renamed over it, so a reader sees the old file
// or the new one, never a mix. The caller holds the key's lock.
uint32_t WriteValuesAt(int dirfd, const std::vector<RegValue>& values) {
    std::string text;
    for (const auto& v : values) text += FormatRegValue(v) + "\n";
    std::string tmp = std::string(kValuesFile) + ".tmp." + std::to_string(CurrentProcessId()) +
                      "." + std::to_string(CurrentThreadId());
    int fd = OpenPrivateFile(dirfd, tmp.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) return ErrnoToWin32(errno);
    bool ok = WriteAll(fd, text);
    int err = ok ? 0 : errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && renameat(dirfd, tmp.c_str(), dirfd, kValuesFile) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlinkat(dirfd, tmp.c_str(), 0);
        return err ? ErrnoToWin32(err) : ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

// Runs change on the values of key under the key's lock and writes them back when it
// returns true.
template <typename F>
uint32_t ModifyValues(const RegKeyImpl* key, F change) {
    DirLock lock(KeyDir(key));
    if (!lock.ok()) return lock.error() == ENOENT ? KeyGone(key) : ErrnoToWin32(lock.error());
    std::vector<RegValue> values;
    uint32_t rc = ReadValuesAt(lock.fd(), &values);
    if (rc != ERROR_SUCCESS) return rc;
    bool write = false;
    rc = change(values, write);
    if (rc != ERROR_SUCCESS || !write) return rc;
    return WriteValuesAt(lock.fd(), values);
}

const RegValue* FindValue(const std::vector<RegValue>& values, const char* name) {
    std::string_view n = name ? name : "";
    for (const auto& v : values)
        if (EqualNoCase(v.name, n)) return &v;
    return nullptr;
}

// ---- change notification ----------------------------------------------------------------

// One inotify instance and one thread for the whole process. A registration sets its
// event once, at the first change of the key's values file after it was made.
class Watcher {
public:
    static Watcher& Get() {
        static Watcher* w = [] {
            auto* p = new Watcher;  // never destroyed: its thread lives as long as the process
            pthread_atfork(&Watcher::Prepare, &Watcher::Parent, &Watcher::Child);
            return p;
        }();
        return *w;
    }

    uint32_t Add(RegKeyImpl* key, Event* event) {
        std::lock_guard<std::mutex> lk(mu_);
        // Checked under the lock that RegCloseKey's DropKey takes, so a close either sees
        // this registration or this call sees the close.
        if (key->closed) return ERROR_INVALID_HANDLE;
        if (fd_ < 0) {
            fd_ = inotify_init1(IN_CLOEXEC);
            if (fd_ < 0) return ErrnoToWin32(errno);
            generation_++;
            std::thread(&Watcher::Run, this, fd_, generation_).detach();
        }
        std::string dir = KeyDir(key);
        int wd = inotify_add_watch(fd_, dir.c_str(),
                                   IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                                       IN_ONLYDIR);
        if (wd < 0) return errno == ENOENT ? KeyGone(key) : ErrnoToWin32(errno);
        regs_[wd].push_back({key, event});
        return ERROR_SUCCESS;
    }

    // The key is being closed: its pending registrations fire and are dropped.
    void DropKey(RegKeyImpl* key) {
        std::lock_guard<std::mutex> lk(mu_);
        for (auto it = regs_.begin(); it != regs_.end();) {
            auto& list = it->second;
            for (auto r = list.begin(); r != list.end();) {
                if (r->key == key) {
                    r->event->Set();
                    r = list.erase(r);
                } else {
                    ++r;
                }
            }
            if (list.empty()) {
                inotify_rm_watch(fd_, it->first);
                it = regs_.erase(it);
            } else {
                ++it;
            }
        }
    }

    size_t Pending() {
        std::lock_guard<std::mutex> lk(mu_);
        size_t n = 0;
        for (const auto& [wd, list] : regs_) n += list.size();
        return n;
    }

private:
    struct Reg {
        RegKeyImpl* key;
        Event* event;
    };

    void Run(int fd, unsigned generation) {
        alignas(inotify_event) char buf[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            std::lock_guard<std::mutex> lk(mu_);
            if (generation != generation_) return;  // a forked child replaced us
            for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                auto* e = reinterpret_cast<inotify_event*>(buf + off);
                off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                bool values = (e->mask & (IN_MOVED_TO | IN_CLOSE_WRITE)) && e->len > 0 &&
                              std::strcmp(e->name, kValuesFile) == 0;
                bool gone = e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED);
                if (!values && !gone) continue;
                auto it = regs_.find(e->wd);
                if (it == regs_.end()) continue;
                for (auto& r : it->second) r.event->Set();
                if (!(e->mask & IN_IGNORED)) inotify_rm_watch(fd_, e->wd);
                regs_.erase(it);
            }
        }
    }

    static void Prepare() { Get().mu_.lock(); }
    static void Parent() { Get().mu_.unlock(); }
    // The thread does not live on in a child; the child starts afresh and its parent's
    // registrations are not its own.
    static void Child() {
        Watcher& w = Get();
        if (w.fd_ >= 0) close(w.fd_);
        w.fd_ = -1;
        w.regs_.clear();
        w.mu_.unlock();
    }

    std::mutex mu_;
    int fd_ = -1;
    unsigned generation_ = 0;
    std::map<int, std::vector<Reg>> regs_;
};

}  // namespace

std::string RegistryRootPath() {
    if (const char* env = std::getenv("PARLO_REGISTRY_ROOT"); env && *env) return env;
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.parlo/registry";
    return "/tmp/parlo-registry-" + std::to_string(getuid());
}

RegKey RegRoot() { return &g_root; }

uint32_t RegOpenKey(RegKey parent, const char* path, RegKey* out) {
    if (!parent || !out) return ERROR_INVALID_HANDLE;
    *out = nullptr;
    std::vector<std::string> names;
    if (uint32_t rc = SplitPath(path, &names)) return rc;
    std::vector<std::string> comps = parent->comps;
    if (!IsDir(JoinPath(comps))) return parent->isRoot ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    for (const auto& name : names) {
        std::string found = FindSubkey(JoinPath(comps), name);
        if (found.empty()) return ERROR_FILE_NOT_FOUND;
        comps.push_back(found);
    }
    auto* key = new RegKeyImpl;
    key->comps = std::move(comps);
    *out = key;
    return ERROR_SUCCESS;
}

uint32_t RegCreateKey(RegKey parent, const char* path, RegKey* out, bool* created) {
    if (!parent || !out) return ERROR_INVALID_HANDLE;
    *out = nullptr;
    if (created) *created = false;
    std::vector<std::string> names;
    if (uint32_t rc = SplitPath(path, &names)) return rc;
    std::vector<std::string> comps = parent->comps;
    if (parent->isRoot) {
        // The store itself is made on first use.
        std::string root = RegistryRootPath();
        int err = 0;
        for (size_t pos = 0; pos != std::string::npos;) {
            pos = root.find('/', pos + 1);
            std::string sofar = root.substr(0, pos);
            if (!sofar.empty() && !MakePrivateDir(sofar)) err = errno;
        }
        if (!IsDir(root)) return err ? ErrnoToWin32(err) : ERROR_PATH_NOT_FOUND;
    } else if (!IsDir(JoinPath(comps))) {
        return ERROR_KEY_DELETED;
    }
    bool made = false;
    for (const auto& name : names) {
        std::string dir = JoinPath(comps);
        std::string found = FindSubkey(dir, name);
        made = false;
        if (found.empty()) {
            // Under the parent's lock, so two creators spelling the name differently end
            // up in one key.
            DirLock lock(dir);
            if (!lock.ok()) return ErrnoToWin32(lock.error());
            found = FindSubkey(dir, name);
            if (found.empty()) {
                if (!MakePrivateDir(lock.fd(), name.c_str())) return ErrnoToWin32(errno);
                found = name;
                made = true;
            }
        }
        comps.push_back(found);
    }
    auto* key = new RegKeyImpl;
    key->comps = std::move(comps);
    *out = key;
    if (created) *created = made;
    return ERROR_SUCCESS;
}

uint32_t RegCloseKey(RegKey key) {
    if (!key) return ERROR_INVALID_HANDLE;
    if (key->isRoot) return ERROR_SUCCESS;
    if (key->closed.exchange(true)) return ERROR_INVALID_HANDLE;
    Watcher::Get().DropKey(key);
    Release(key);
    return ERROR_SUCCESS;
}

uint32_t RegQueryValue(RegKey key, const char* name, uint32_t* type, void* data, uint32_t* size) {
    if (!key) return ERROR_INVALID_HANDLE;
    if (data && !size) return ERROR_INVALID_PARAMETER;
    std::vector<RegValue> values;
    if (uint32_t rc = ReadValues(key, &values)) return rc;
    const RegValue* v = FindValue(values, name);
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    uint32_t need = static_cast<uint32_t>(v->data.size());
    if (data) {
        if (*size < need) {
            *size = need;
            return ERROR_MORE_DATA;
        }
        if (need) std::memcpy(data, v->data.data(), need);
    }
    if (size) *size = need;
    return ERROR_SUCCESS;
}

uint32_t RegSetValue(RegKey key, const char* name, uint32_t type, const void* data,
                     uint32_t size) {
    if (!key) return ERROR_INVALID_HANDLE;
    std::string n = name ? name : "";
    if (!IsValidRegValueName(n) || size > kRegMaxValueSize || (size && !data))
        return ERROR_INVALID_PARAMETER;
    const auto* bytes = static_cast<const uint8_t*>(data);
    return ModifyValues(key, [&](std::vector<RegValue>& values, bool& write) {
        RegValue v{n, type, std::vector<uint8_t>(bytes, bytes + size)};
        write = true;
        for (auto& old : values) {
            if (EqualNoCase(old.name, n)) {
                v.name = old.name;  // the name keeps the case it was created with
                old = std::move(v);
                return ERROR_SUCCESS;
            }
        }
        values.push_back(std::move(v));
        return ERROR_SUCCESS;
    });
}

uint32_t RegDeleteValue(RegKey key, const char* name) {
    if (!key) return ERROR_INVALID_HANDLE;
    std::string_view n = name ? name : "";
    return ModifyValues(key, [&](std::vector<RegValue>& values, bool& write) {
        for (auto it = values.begin(); it != values.end(); ++it) {
            if (EqualNoCase(it->name, n)) {
                values.erase(it);
                write = true;
                return ERROR_SUCCESS;
            }
        }
        return ERROR_FILE_NOT_FOUND;
    });
}

uint32_t RegDeleteKey(RegKey parent, const char* path) {
    if (!parent) return ERROR_INVALID_HANDLE;
    std::vector<std::string> names;
    if (uint32_t rc = SplitPath(path, &names)) return rc;
    if (names.empty()) return ERROR_ACCESS_DENIED;  // a key cannot delete itself this way
    std::vector<std::string> comps = parent->comps;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        std::string found = FindSubkey(JoinPath(comps), names[i]);
        if (found.empty()) return ERROR_FILE_NOT_FOUND;
        comps.push_back(found);
    }
    std::string parentDir = JoinPath(comps);
    DirLock parentLock(parentDir);
    if (!parentLock.ok()) return ErrnoToWin32(parentLock.error());
    std::string found = FindSubkey(parentDir, names.back());
    if (found.empty()) return ERROR_FILE_NOT_FOUND;
    std::string dir = parentDir + "/" + found;
    DirLock lock(dir);
    if (!lock.ok()) return ErrnoToWin32(lock.error());
    if (!ListSubkeys(dir).empty()) return ERROR_ACCESS_DENIED;
    // The values file and temporary files a crashed writer may have left.
    if (DIR* d = opendir(dir.c_str())) {
        std::vector<std::string> files;
        while (dirent* e = readdir(d)) {
            if (std::strncmp(e->d_name, kValuesFile, sizeof kValuesFile - 1) == 0)
                files.emplace_back(e->d_name);
        }
        closedir(d);
        for (const auto& f : files) unlinkat(lock.fd(), f.c_str(), 0);
    }
    if (unlinkat(parentLock.fd(), found.c_str(), AT_REMOVEDIR) != 0)
        return errno == ENOTEMPTY || errno == EEXIST ? ERROR_ACCESS_DENIED : ErrnoToWin32(errno);
    return ERROR_SUCCESS;
}

uint32_t RegEnumKey(RegKey key, uint32_t index, std::string* name) {
    if (!key || !name) return ERROR_INVALID_HANDLE;
    std::string dir = KeyDir(key);
    if (!IsDir(dir)) return KeyGone(key);
    auto names = ListSubkeys(dir);
    if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
    *name = names[index];
    return ERROR_SUCCESS;
}

uint32_t RegEnumValue(RegKey key, uint32_t index, std::string* name, uint32_t* type) {
    return RegEnumValue(key, index, name, type, nullptr);
}

uint32_t RegEnumValue(RegKey key, uint32_t index, std::string* name, uint32_t* type,
                      std::vector<uint8_t>* data) {
    if (!key || !name) return ERROR_INVALID_HANDLE;
    std::vector<RegValue> values;
    if (uint32_t rc = ReadValues(key, &values)) return rc;
    if (index >= values.size()) return ERROR_NO_MORE_ITEMS;
    *name = values[index].name;
    if (type) *type = values[index].type;
    if (data) *data = values[index].data;
    return ERROR_SUCCESS;
}

uint32_t RegQueryInfoKey(RegKey key, RegKeyInfo* info) {
    if (!key || !info) return ERROR_INVALID_HANDLE;
    std::vector<RegValue> values;
    if (uint32_t rc = ReadValues(key, &values)) return rc;
    *info = RegKeyInfo{};
    for (const auto& n : ListSubkeys(KeyDir(key))) {
        info->subKeys++;
        info->maxSubKeyLen = std::max<uint32_t>(info->maxSubKeyLen, static_cast<uint32_t>(n.size()));
    }
    for (const auto& v : values) {
        info->values++;
        info->maxValueNameLen =
            std::max<uint32_t>(info->maxValueNameLen, static_cast<uint32_t>(v.name.size()));
        info->maxValueLen =
            std::max<uint32_t>(info->maxValueLen, static_cast<uint32_t>(v.data.size()));
    }
    return ERROR_SUCCESS;
}

uint32_t RegFlushKey(RegKey key) {
    if (!key) return ERROR_INVALID_HANDLE;
    DirLock lock(KeyDir(key));
    if (!lock.ok()) return lock.error() == ENOENT ? KeyGone(key) : ErrnoToWin32(lock.error());
    int fd = openat(lock.fd(), kValuesFile, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        int rc = fsync(fd);
        int err = errno;
        close(fd);
        if (rc != 0) return ErrnoToWin32(err);
    } else if (errno != ENOENT) {
        return ErrnoToWin32(errno);
    }
    if (fsync(lock.fd()) != 0) return ErrnoToWin32(errno);  // the rename itself
    return ERROR_SUCCESS;
}

uint32_t RegNotifyChangeKeyValue(RegKey key, Event* event) {
    if (!key || key->closed) return ERROR_INVALID_HANDLE;
    if (event) return Watcher::Get().Add(key, event);
    // Blocking form: our own event, and a reference that keeps the key alive while another
    // thread may close it.
    key->refs.fetch_add(1);
    Event own(true, false);
    uint32_t rc = Watcher::Get().Add(key, &own);
    if (rc == ERROR_SUCCESS) {
        own.Wait(INFINITE);
        if (key->closed) rc = ERROR_INVALID_HANDLE;
    }
    Release(key);
    return rc;
}

size_t RegPendingWatches() { return Watcher::Get().Pending(); }

std::string RegKeyPath(RegKey key) { return key ? KeyDir(key) : std::string(); }

}  // namespace plat
