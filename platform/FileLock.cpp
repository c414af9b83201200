#include "platform/FileLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace marvolen {

namespace {

constexpr std::size_t kMaxNote = 256;

int OpenRetrying(const char* path, int flags) {
  int fd;
  do {
    fd = ::open(path, flags, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// An open-file-description lock on the whole file, so that it conflicts with every other
// open of the file, in this process too, and survives the closing of unrelated descriptors.
bool LockWhole(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  int rc;
  do {
    rc = ::fcntl(fd, F_OFD_SETLK, &lock);
  } while (rc < 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace

std::optional<FileLock> FileLock::TryAcquire(const std::filesystem::path& path, int& error) {
  error = 0;
  const int fd = OpenRetrying(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = errno;
    return std::nullopt;
  }
  if (!LockWhole(fd)) {
    // Taken elsewhere shows as EAGAIN or EACCES, depending on the system.
    error = errno == EAGAIN || errno == EACCES ? EWOULDBLOCK : errno;
    ::close(fd);
    return std::nullopt;
  }
  return FileLock(fd);
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);
}

void FileLock::WriteNote(const std::string& text) {
  if (fd_ < 0 || ::ftruncate(fd_, 0) != 0) return;
  const std::string note = text.substr(0, kMaxNote);
  [[maybe_unused]] const ssize_t written = ::pwrite(fd_, note.data(), note.size(), 0);
}

std::string FileLock::ReadNote(const std::filesystem::path& path) {
  const int fd = OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return {};
  std::string note(kMaxNote, '\0');
  const ssize_t n = ::pread(fd, note.data(), note.size(), 0);
  ::close(fd);
  note.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return note;
}

}  // namespace marvolen
