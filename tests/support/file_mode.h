#pragma once
// For tests of the modes of what the node writes: a file's permission bits, and a umask
// held for a scope.
#include <sys/stat.h>

#include <filesystem>

namespace testsupport {

// The permission bits (with setgid) of path; -1 when it is not there.
inline int ModeOf(const std::filesystem::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// Holds a umask for the life of the object.
class Umask {
public:
    explicit Umask(mode_t m) : old_(::umask(m)) {}
    ~Umask() { ::umask(old_); }
    Umask(const Umask&) = delete;
    Umask& operator=(const Umask&) = delete;

private:
    mode_t old_;
};

}  // namespace testsupport
