#include "records/ParamFileSystem.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SystemCalls.h"

namespace marvolen {

int ParamFileSystem::Open(const std::string& path, int flags, mode_t mode) {
  return RetryOnEintr([&] { return ::open(path.c_str(), flags, mode); });
}

ssize_t ParamFileSystem::PRead(int fd, void* buf, size_t n, off_t offset) {
  return ::pread(fd, buf, n, offset);
}

ssize_t ParamFileSystem::PWrite(int fd, const void* buf, size_t n, off_t offset) {
  return ::pwrite(fd, buf, n, offset);
}

int ParamFileSystem::FSync(int fd) {
  return ::fsync(fd);
}

int ParamFileSystem::FTruncate(int fd, off_t length) {
  return ::ftruncate(fd, length);
}

int ParamFileSystem::FSize(int fd, off_t* size) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -1;
  *size = st.st_size;
  return 0;
}

int ParamFileSystem::Close(int fd) {
  return ::close(fd);
}

int ParamFileSystem::RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // File systems without the no-replace rename: a hard link refuses an existing name too.
  if (::link(from.c_str(), to.c_str()) == 0) {
    // The file is in place; a temporary name left behind would be harmless.
    ::unlink(from.c_str());
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP) return -1;
  // And those without hard links: check, then rename; the window between is the best there is.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::rename(from.c_str(), to.c_str());
}

int ParamFileSystem::Unlink(const std::string& path) {
  return ::unlink(path.c_str());
}

ParamFileSystem& ParamFileSystem::Posix() {
  static ParamFileSystem posix;
  return posix;
}

}  // namespace marvolen
