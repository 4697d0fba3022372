#pragma once
// Modes of what the node's processes keep for themselves: event logs, the registry store,
// shared memory and the lock files of named objects. Other users of the node read and
// change none of it.
//
// Shared memory and lock files are 0600. Log and registry files are 0600 as well, unless
// the directory that holds them has its setgid bit: an operator who wants a group to read
// them gives the directory that group (chgrp ops var && chmod g+s var), and files made there
// are 0640, directories 0750 (Linux carries the group and the setgid bit down to them).
// Every mode is set after creation, so the umask neither widens nor narrows it.
#include <sys/types.h>

#include <string>

namespace plat {

// Shared memory and lock files.
inline constexpr mode_t kOwnerOnlyMode = 0600;

// 0640 when the directory has its setgid bit, else 0600.
mode_t PrivateFileModeIn(int dirfd);
mode_t PrivateFileModeIn(const std::string& dir);

// Opens name in the directory dirfd (path: in its own directory), created when missing
// (flags may add O_EXCL, O_TRUNC, ...), and gives a new or an existing file the private
// mode of that directory; a file another user owns keeps its mode. -1 with errno set when
// it cannot be opened.
int OpenPrivateFile(int dirfd, const char* name, int flags);
int OpenPrivateFile(const std::string& path, int flags);

// Makes the directory 0700, or 0750 with the setgid bit in a setgid parent. true when made
// or already there; false with errno set otherwise. An existing directory keeps its mode.
bool MakePrivateDir(int parentfd, const char* name);
bool MakePrivateDir(const std::string& path);

// Gives a shared-memory object or lock file just made kOwnerOnlyMode, whatever the umask.
void SetOwnerOnly(int fd);

}  // namespace plat
