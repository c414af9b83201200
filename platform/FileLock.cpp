#include "platform/FileLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/SystemCalls.h"

namespace marvolen {

namespace {

constexpr std::size_t kMaxNote = 256;

int OpenRetrying(const char* path, int flags) {
  return RetryOnEintr([&] { return ::open(path, flags, 0644); });
}

// An open-file-description lock on the whole file, so that it conflicts with every other
// open of the file, in this process too, and survives the closing of unrelated descriptors.
bool LockWhole(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return RetryOnEintr([&] { return ::fcntl(fd, F_OFD_SETLK, &lock); }) == 0;
}

}  // namespace

std::optional<FileLock> FileLock::TryAcquire(const std::filesystem::path& path, int& error) {
  error = 0;
  UniqueFd fd(OpenRetrying(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) {
    error = errno;
    return std::nullopt;
  }
  if (!LockWhole(fd.get())) {
    // Taken elsewhere shows as EAGAIN or EACCES, depending on the system.
    error = errno == EAGAIN || errno == EACCES ? EWOULDBLOCK : errno;
    return std::nullopt;
  }
  return FileLock(std::move(fd));
}

void FileLock::WriteNote(const std::string& text) {
  if (!fd_.valid() || ::ftruncate(fd_.get(), 0) != 0) return;
  const std::string note = text.substr(0, kMaxNote);
  [[maybe_unused]] const ssize_t written =
      RetryOnEintr([&] { return ::pwrite(fd_.get(), note.data(), note.size(), 0); });
}

std::string FileLock::ReadNote(const std::filesystem::path& path) {
  const UniqueFd fd(OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return {};
  std::string note(kMaxNote, '\0');
  const ssize_t n = RetryOnEintr([&] { return ::pread(fd.get(), note.data(), note.size(), 0); });
  note.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return note;
}

}  // namespace marvolen
