#include "zip/ArchiveIo.h"

#include <fcntl.h>

#include <ctime>

namespace marvolen {

int ArchiveIo::Open(const char* path, int flags, mode_t mode) const {
  return ops_.open(path, flags | O_CLOEXEC, mode);
}

int ArchiveIo::OpenAt(int dir_fd, const char* name, int flags, mode_t mode) const {
  return ops_.openat(dir_fd, name, flags | O_CLOEXEC, mode);
}

ssize_t ArchiveIo::Read(int fd, void* buffer, size_t count) const {
  return ReadFull(ops_, fd, buffer, count);
}

ssize_t ArchiveIo::PRead(int fd, void* buffer, size_t count, off_t offset) const {
  return PReadFull(ops_, fd, buffer, count, offset);
}

ssize_t ArchiveIo::Write(int fd, const void* buffer, size_t count) const {
  return WriteFull(ops_, fd, buffer, count);
}

ssize_t ArchiveIo::PWrite(int fd, const void* buffer, size_t count, off_t offset) const {
  return PWriteFull(ops_, fd, buffer, count, offset);
}

int ArchiveIo::FStatAt(int dir_fd, const char* name, struct stat* st, int flags) const {
  return ops_.fstatat(dir_fd, name, st, flags);
}

int ArchiveIo::FSetTimes(int fd, int64_t seconds) const {
  const timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  return ops_.futimens(fd, times);
}

int ArchiveIo::MkdirAt(int dir_fd, const char* name, mode_t mode) const {
  return ops_.mkdirat(dir_fd, name, mode);
}

int ArchiveIo::UnlinkAt(int dir_fd, const char* name, int flags) const {
  return ops_.unlinkat(dir_fd, name, flags);
}

UniqueFd ArchiveFd(const ArchiveIo& io, int fd) {
  return AdoptFd(io.ops(), fd);
}

}  // namespace marvolen
