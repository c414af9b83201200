// The system calls of the archive component, behind one seam. The real implementation is
// plain POSIX with EINTR retried; tests derive from it to make one call fail (a file another
// program holds locked, a full disk, a directory that cannot be made) where running as root
// would otherwise let every call succeed.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/SystemCalls.h"

namespace marvolen {

class ArchiveIo {
 public:
  virtual ~ArchiveIo() = default;

  // Each returns what the system call returns and leaves errno set on failure.
  virtual int Open(const char* path, int flags, mode_t mode);
  virtual int OpenAt(int dir_fd, const char* name, int flags, mode_t mode);
  virtual int Close(int fd);
  // Read and write retry EINTR and partial transfers: they return the full count, or fewer
  // bytes only at end of file (read) or on an error (-1 when nothing was transferred).
  virtual ssize_t Read(int fd, void* buffer, size_t count);
  virtual ssize_t PRead(int fd, void* buffer, size_t count, off_t offset);
  virtual ssize_t Write(int fd, const void* buffer, size_t count);
  virtual ssize_t PWrite(int fd, const void* buffer, size_t count, off_t offset);
  virtual off_t Seek(int fd, off_t offset, int whence);
  virtual int FStat(int fd, struct stat* st);
  virtual int FStatAt(int dir_fd, const char* name, struct stat* st, int flags);
  virtual int FStatVfs(int fd, struct statvfs* st);
  virtual int FTruncate(int fd, off_t length);
  virtual int FSync(int fd);
  // Flushes the whole file system that `fd` lies on.
  virtual int SyncFs(int fd);
  virtual int FChmod(int fd, mode_t mode);
  virtual int FSetTimes(int fd, int64_t seconds);
  virtual int MkdirAt(int dir_fd, const char* name, mode_t mode);
  virtual int UnlinkAt(int dir_fd, const char* name, int flags);
  // An anonymous temporary file for read and write, gone when closed.
  virtual int OpenTemporary();
};

// The process's one real implementation.
ArchiveIo& SystemArchiveIo();

// `fd` (or none, -1), closed through `io` on every way out of the code that opened it.
UniqueFd ArchiveFd(ArchiveIo& io, int fd);

}  // namespace marvolen
