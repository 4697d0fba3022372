#include "platform/filemode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace plat {

namespace {

bool SetGroupBit(const struct stat& st) { return (st.st_mode & S_ISGID) != 0; }

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// fn's answer for a descriptor of path's directory; -1 with errno when it cannot be opened.
template <typename F>
int InDirectoryOf(const std::string& path, F fn) {
    const int dirfd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) return -1;
    const int result = fn(dirfd);
    const int saved = errno;
    ::close(dirfd);
    errno = saved;
    return result;
}

}  // namespace

mode_t PrivateFileModeIn(int dirfd) {
    struct stat st {};
    return ::fstat(dirfd, &st) == 0 && SetGroupBit(st) ? 0640 : 0600;
}

mode_t PrivateFileModeIn(const std::string& dir) {
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && SetGroupBit(st) ? 0640 : 0600;
}

int OpenPrivateFile(int dirfd, const char* name, int flags) {
    const mode_t mode = PrivateFileModeIn(dirfd);
    const int fd = ::openat(dirfd, name, flags | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    const int saved = errno;
    (void)::fchmod(fd, mode);  // fails harmlessly on another user's file
    errno = saved;
    return fd;
}

int OpenPrivateFile(const std::string& path, int flags) {
    const std::string name = NameOf(path);
    return InDirectoryOf(path, [&](int dirfd) { return OpenPrivateFile(dirfd, name.c_str(), flags); });
}

bool MakePrivateDir(int parentfd, const char* name) {
    struct stat parent {};
    const bool group = ::fstat(parentfd, &parent) == 0 && SetGroupBit(parent);
    const mode_t mode = group ? 02750 : 0700;
    if (::mkdirat(parentfd, name, mode) != 0) return errno == EEXIST;
    const int fd = ::openat(parentfd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fchmod(fd, mode);
        ::close(fd);
    }
    return true;
}

bool MakePrivateDir(const std::string& path) {
    std::string dir = path;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir == "/" || dir.empty()) return true;
    const std::string name = NameOf(dir);
    return InDirectoryOf(dir, [&](int dirfd) { return MakePrivateDir(dirfd, name.c_str()) ? 1 : -1; }) == 1;
}

void SetOwnerOnly(int fd) { (void)::fchmod(fd, kOwnerOnlyMode); }

}  // namespace plat
