// The archive component's view of the station's one system seam (platform/FileOps.h): the
// calls it makes, by the names it uses, with its whole-transfer reads and writes. Tests make
// a call fail by handing the archiver a FileOps with that member replaced.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/FileOps.h"
#include "platform/SystemCalls.h"

namespace marvolen {

class ArchiveIo {
 public:
  // `ops` must outlive the view.
  explicit ArchiveIo(const FileOps& ops = SystemFileOps()) : ops_(ops) {}

  // Each returns what the system call returns and leaves errno set on failure; opens add
  // O_CLOEXEC.
  int Open(const char* path, int flags, mode_t mode) const;
  int OpenAt(int dir_fd, const char* name, int flags, mode_t mode) const;
  int Close(int fd) const { return ops_.close(fd); }
  int Dup(int fd) const { return ops_.dup(fd); }
  // The whole count, or fewer bytes only at end of file (reads); -1 on an error.
  ssize_t Read(int fd, void* buffer, size_t count) const;
  ssize_t PRead(int fd, void* buffer, size_t count, off_t offset) const;
  ssize_t Write(int fd, const void* buffer, size_t count) const;
  ssize_t PWrite(int fd, const void* buffer, size_t count, off_t offset) const;
  int Stat(const char* path, struct stat* st) const { return ops_.stat(path, st); }
  int FStat(int fd, struct stat* st) const { return ops_.fstat(fd, st); }
  int FStatAt(int dir_fd, const char* name, struct stat* st, int flags) const;
  int FStatVfs(int fd, struct statvfs* st) const { return ops_.fstatvfs(fd, st); }
  int FTruncate(int fd, off_t length) const { return ops_.ftruncate(fd, length); }
  int FSync(int fd) const { return ops_.fsync(fd); }
  // Flushes the whole file system that `fd` lies on.
  int SyncFs(int fd) const { return ops_.syncfs(fd); }
  int FChmod(int fd, mode_t mode) const { return ops_.fchmod(fd, mode); }
  int FSetTimes(int fd, int64_t seconds) const;
  int MkdirAt(int dir_fd, const char* name, mode_t mode) const;
  int UnlinkAt(int dir_fd, const char* name, int flags) const;
  // An anonymous temporary file for read and write, gone when closed.
  int OpenTemporary() const { return ops_.open_temporary(); }

  const FileOps& ops() const { return ops_; }

 private:
  const FileOps& ops_;
};

// `fd` (or none, -1), closed through `io` on every way out of the code that opened it.
UniqueFd ArchiveFd(const ArchiveIo& io, int fd);

}  // namespace marvolen
