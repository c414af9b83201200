#include "app/FileOps.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace marvolen {

const FileOps& SystemFileOps() {
  static const FileOps ops{
      [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
      [](int fd, const void* data, size_t size) { return ::write(fd, data, size); },
      [](int fd) { return ::fsync(fd); },
      [](int fd) { return ::close(fd); },
      [](const char* from, const char* to) { return ::rename(from, to); },
      [](const char* path) { return ::unlink(path); },
  };
  return ops;
}

namespace {

[[noreturn]] void Fail(const std::string& path, int err) {
  throw FileError("No se puede escribir el archivo " + path + ": " + std::strerror(err));
}

int OpenRetrying(const FileOps& ops, const std::string& path, int flags) {
  for (;;) {
    const int fd = ops.open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

// Writes all of `data`; 0 on success, else the errno of the failed write.
int WriteAll(const FileOps& ops, int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ops.write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

}  // namespace

void AppendToFile(const std::string& path, std::string_view data, const FileOps& ops) {
  const int fd = OpenRetrying(ops, path, O_WRONLY | O_CREAT | O_APPEND);
  if (fd < 0) Fail(path, errno);
  const int err = WriteAll(ops, fd, data);
  const int close_rc = ops.close(fd);
  const int close_err = errno;
  if (err != 0) Fail(path, err);
  if (close_rc != 0) Fail(path, close_err);
}

void ReplaceFile(const std::string& path, std::string_view data, const FileOps& ops) {
  const std::string temp = path + ".tmp";
  const int fd = OpenRetrying(ops, temp, O_WRONLY | O_CREAT | O_TRUNC);
  if (fd < 0) Fail(temp, errno);
  int err = WriteAll(ops, fd, data);
  if (err == 0 && ops.fsync(fd) != 0) err = errno;
  if (ops.close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ops.rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ops.unlink(temp.c_str());
    Fail(path, err);
  }
}

}  // namespace marvolen
