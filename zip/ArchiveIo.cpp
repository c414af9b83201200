#include "zip/ArchiveIo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/SystemCalls.h"

namespace marvolen {

int ArchiveIo::Open(const char* path, int flags, mode_t mode) {
  return RetryOnEintr([&] { return ::open(path, flags | O_CLOEXEC, mode); });
}

int ArchiveIo::OpenAt(int dir_fd, const char* name, int flags, mode_t mode) {
  return RetryOnEintr([&] { return ::openat(dir_fd, name, flags | O_CLOEXEC, mode); });
}

int ArchiveIo::Close(int fd) {
  return ::close(fd);
}

ssize_t ArchiveIo::Read(int fd, void* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t rc =
        RetryOnEintr([&] { return ::read(fd, static_cast<char*>(buffer) + done, count - done); });
    if (rc < 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
    if (rc == 0) break;
    done += static_cast<size_t>(rc);
  }
  return static_cast<ssize_t>(done);
}

ssize_t ArchiveIo::PRead(int fd, void* buffer, size_t count, off_t offset) {
  size_t done = 0;
  while (done < count) {
    const ssize_t rc = RetryOnEintr([&] {
      return ::pread(fd, static_cast<char*>(buffer) + done, count - done,
                     offset + static_cast<off_t>(done));
    });
    if (rc < 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
    if (rc == 0) break;
    done += static_cast<size_t>(rc);
  }
  return static_cast<ssize_t>(done);
}

ssize_t ArchiveIo::Write(int fd, const void* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t rc = RetryOnEintr(
        [&] { return ::write(fd, static_cast<const char*>(buffer) + done, count - done); });
    if (rc <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
    done += static_cast<size_t>(rc);
  }
  return static_cast<ssize_t>(done);
}

ssize_t ArchiveIo::PWrite(int fd, const void* buffer, size_t count, off_t offset) {
  size_t done = 0;
  while (done < count) {
    const ssize_t rc = RetryOnEintr([&] {
      return ::pwrite(fd, static_cast<const char*>(buffer) + done, count - done,
                      offset + static_cast<off_t>(done));
    });
    if (rc <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
    done += static_cast<size_t>(rc);
  }
  return static_cast<ssize_t>(done);
}

off_t ArchiveIo::Seek(int fd, off_t offset, int whence) {
  return ::lseek(fd, offset, whence);
}

int ArchiveIo::FStat(int fd, struct stat* st) {
  return ::fstat(fd, st);
}

int ArchiveIo::FStatAt(int dir_fd, const char* name, struct stat* st, int flags) {
  return ::fstatat(dir_fd, name, st, flags);
}

int ArchiveIo::FStatVfs(int fd, struct statvfs* st) {
  return RetryOnEintr([&] { return ::fstatvfs(fd, st); });
}

int ArchiveIo::FTruncate(int fd, off_t length) {
  return RetryOnEintr([&] { return ::ftruncate(fd, length); });
}

int ArchiveIo::FSync(int fd) {
  return RetryOnEintr([&] { return ::fsync(fd); });
}

int ArchiveIo::SyncFs(int fd) {
  return RetryOnEintr([&] { return ::syncfs(fd); });
}

int ArchiveIo::FChmod(int fd, mode_t mode) {
  return ::fchmod(fd, mode);
}

int ArchiveIo::FSetTimes(int fd, int64_t seconds) {
  const timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  return ::futimens(fd, times);
}

int ArchiveIo::MkdirAt(int dir_fd, const char* name, mode_t mode) {
  return ::mkdirat(dir_fd, name, mode);
}

int ArchiveIo::UnlinkAt(int dir_fd, const char* name, int flags) {
  return ::unlinkat(dir_fd, name, flags);
}

int ArchiveIo::OpenTemporary() {
  std::FILE* f = std::tmpfile();
  if (f == nullptr) return -1;
  const int fd = ::dup(::fileno(f));
  std::fclose(f);
  return fd;
}

ArchiveIo& SystemArchiveIo() {
  static ArchiveIo io;
  return io;
}

UniqueFd ArchiveFd(ArchiveIo& io, int fd) {
  return UniqueFd(fd, [&io](int f) { return io.Close(f); });
}

}  // namespace marvolen
