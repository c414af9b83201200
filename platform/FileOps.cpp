#include "platform/FileOps.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/SystemCalls.h"
#include "platform/TempNames.h"

namespace marvolen {

const FileOps& SystemFileOps() {
  static const FileOps ops{
      [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
      [](int fd, const void* data, size_t size) { return ::write(fd, data, size); },
      [](int fd) { return ::fsync(fd); },
      [](int fd) { return ::close(fd); },
      [](const char* from, const char* to) { return ::rename(from, to); },
      [](const char* path) { return ::unlink(path); },
      [](const char* path, off_t length) { return ::truncate(path, length); },
  };
  return ops;
}

namespace {

constexpr size_t kCopyChunk = 64 * 1024;

[[noreturn]] void Fail(const std::string& path, int err) {
  throw FileError("No se puede escribir el archivo " + path + ": " + std::strerror(err));
}

int OpenRetrying(const FileOps& ops, const std::string& path, int flags) {
  return RetryOnEintr([&] { return ops.open(path.c_str(), flags | O_CLOEXEC, 0644); });
}

}  // namespace

int WriteAll(const FileOps& ops, int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = RetryOnEintr([&] { return ops.write(fd, data.data(), data.size()); });
    if (n < 0) return errno;
    if (n == 0) return EIO;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

int SyncDirectory(const FileOps& ops, const std::string& dir) {
  const int fd = RetryOnEintr([&] {
    return ops.open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  });
  if (fd < 0) return errno;
  const int err = RetryOnEintr([&] { return ops.fsync(fd); }) == 0 ? 0 : errno;
  const int close_rc = ops.close(fd);
  if (err != 0) return err;
  return close_rc == 0 ? 0 : errno;
}

int SyncFile(const FileOps& ops, const std::string& path) {
  const int fd =
      RetryOnEintr([&] { return ops.open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0); });
  if (fd < 0) return errno;
  const int err = RetryOnEintr([&] { return ops.fsync(fd); }) == 0 ? 0 : errno;
  const int close_rc = ops.close(fd);
  if (err != 0) return err;
  return close_rc == 0 ? 0 : errno;
}

void TruncateFile(const std::string& path, off_t length, const FileOps& ops) {
  if (RetryOnEintr([&] { return ops.truncate(path.c_str(), length); }) != 0) {
    throw FileError("No se puede recortar el archivo " + path + ": " + std::strerror(errno));
  }
}

void WriteNewFile(const std::string& path, std::string_view data, const FileOps& ops) {
  const int fd = OpenRetrying(ops, path, O_WRONLY | O_CREAT | O_TRUNC);
  if (fd < 0) Fail(path, errno);
  const int err = WriteAll(ops, fd, data);
  const int close_rc = ops.close(fd);
  const int close_err = errno;
  if (err == 0 && close_rc == 0) return;
  ops.unlink(path.c_str());
  Fail(path, err != 0 ? err : close_err);
}

void AppendToFile(const std::string& path, std::string_view data, const FileOps& ops) {
  const int fd = OpenRetrying(ops, path, O_WRONLY | O_CREAT | O_APPEND);
  if (fd < 0) Fail(path, errno);
  const int err = WriteAll(ops, fd, data);
  const int close_rc = ops.close(fd);
  const int close_err = errno;
  if (err != 0) Fail(path, err);
  if (close_rc != 0) Fail(path, close_err);
}

StagedFile::StagedFile(std::string path, const FileOps& ops) : path_(std::move(path)), ops_(ops) {
  const std::filesystem::path final_path(path_);
  const std::filesystem::path dir =
      final_path.has_parent_path() ? final_path.parent_path() : std::filesystem::path(".");
  RemoveStaleTemps(dir);
  temp_ = (dir / TempName(final_path.filename().string())).string();
  fd_ = OpenRetrying(ops_, temp_, O_WRONLY | O_CREAT | O_EXCL);
  if (fd_ < 0) Fail(path_, errno);
}

StagedFile::~StagedFile() {
  if (fd_ >= 0) ops_.close(fd_);
  if (!committed_) ops_.unlink(temp_.c_str());
}

void StagedFile::Abandon(int err) {
  if (fd_ >= 0) ops_.close(fd_);
  fd_ = -1;
  Fail(path_, err);
}

void StagedFile::Write(std::string_view data) {
  if (fd_ < 0) Abandon(EBADF);
  if (const int err = WriteAll(ops_, fd_, data); err != 0) Abandon(err);
}

void StagedFile::CopyFrom(const std::string& source) {
  std::ifstream in(source, std::ios::binary);
  if (!in) throw FileError("No se puede leer el archivo " + source);
  std::vector<char> buffer(kCopyChunk);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    Write(std::string_view(buffer.data(), static_cast<size_t>(in.gcount())));
  }
  if (in.bad()) throw FileError("No se puede leer el archivo " + source);
}

void StagedFile::Sync() {
  if (fd_ < 0) return;
  if (ops_.fsync(fd_) != 0) Abandon(errno);
  const int rc = ops_.close(fd_);
  fd_ = -1;
  if (rc != 0) Fail(path_, errno);
}

void StagedFile::Commit() {
  Sync();
  if (ops_.rename(temp_.c_str(), path_.c_str()) != 0) Fail(path_, errno);
  committed_ = true;
  const std::filesystem::path dir = std::filesystem::path(path_).parent_path();
  if (const int err = SyncDirectory(ops_, dir.string()); err != 0) {
    throw FileError("No se puede asegurar en el disco el archivo " + path_ + " (directorio " +
                    (dir.empty() ? std::string(".") : dir.string()) + "): " + std::strerror(err));
  }
}

void ReplaceFile(const std::string& path, std::string_view data, const FileOps& ops) {
  StagedFile file(path, ops);
  file.Write(data);
  file.Commit();
}

}  // namespace marvolen
