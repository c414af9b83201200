#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/FileOps.h"
#include "platform/SystemCalls.h"

namespace marvolen {

namespace {

constexpr std::size_t kMaxNote = 256;

// Never through a symbolic link (whoever can write the directory could aim it at any file the
// station may write), and without waiting: a FIFO put in the file's place would otherwise
// hold the open until someone opens its other end.
// A lock named by path (AT_FDCWD) is opened by path, as every path is.
UniqueFd OpenLockFile(const FileOps& ops, int dir_fd, const char* name, int flags) {
  flags |= O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  if (dir_fd == AT_FDCWD) return OpenFd(ops, name, flags, 0644);
  return OpenAtFd(ops, dir_fd, name, flags, 0644);
}

// None when `fd` is a regular file, else the error TryAcquire reports for it.
std::error_code RegularFileError(const FileOps& ops, int fd) {
  struct stat st {};
  if (ops.fstat(fd, &st) != 0) return {errno, std::generic_category()};
  if (S_ISREG(st.st_mode)) return {};
  return StationRefusal::kNotRegularFile;
}

// An open-file-description lock on the whole file, so that it conflicts with every other
// open of the file, in this process too, and survives the closing of unrelated descriptors.
bool LockWhole(const FileOps& ops, int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return ops.fcntl_lock(fd, F_OFD_SETLK, &lock) == 0;
}

}  // namespace

std::optional<FileLock> FileLock::TryAcquire(const std::filesystem::path& path,
                                             std::error_code& error, const FileOps& ops) {
  return TryAcquireAt(AT_FDCWD, path.string(), error, ops);
}

std::optional<FileLock> FileLock::TryAcquireAt(int dir_fd, const std::string& name,
                                               std::error_code& error, const FileOps& ops) {
  error.clear();
  UniqueFd fd = OpenLockFile(ops, dir_fd, name.c_str(), O_RDWR | O_CREAT);
  if (!fd.valid()) {
    error.assign(errno, std::generic_category());
    return std::nullopt;
  }
  // A directory fails the open itself (EISDIR); a FIFO, a device or a socket opens, and is
  // refused here before anything is written into it.
  if ((error = RegularFileError(ops, fd.get()))) return std::nullopt;
  if (!LockWhole(ops, fd.get())) {
    // Taken elsewhere shows as EAGAIN or EACCES, depending on the system.
    error.assign(errno == EAGAIN || errno == EACCES ? EWOULDBLOCK : errno, std::generic_category());
    return std::nullopt;
  }
  return FileLock(std::move(fd), ops);
}

std::string FileLock::ErrorText(std::error_code error) {
  // What O_NOFOLLOW answers for a symbolic link, in words that say so.
  if (error == std::errc::too_many_symbolic_link_levels)
    return "es un enlace simbólico, no se sigue";
  if (error.category() == RefusalCategory()) return error.message();
  return SystemReason(error.value());
}

void FileLock::WriteNote(const std::string& text) {
  if (!fd_.valid() || ops_->ftruncate(fd_.get(), 0) != 0) return;
  const std::string note = text.substr(0, kMaxNote);
  [[maybe_unused]] const ssize_t written = ops_->pwrite(fd_.get(), note.data(), note.size(), 0);
}

std::string FileLock::ReadNote(const std::filesystem::path& path, const FileOps& ops) {
  return ReadNoteAt(AT_FDCWD, path.string(), ops);
}

std::string FileLock::ReadNoteAt(int dir_fd, const std::string& name, const FileOps& ops) {
  const UniqueFd fd = OpenLockFile(ops, dir_fd, name.c_str(), O_RDONLY);
  if (!fd.valid() || RegularFileError(ops, fd.get())) return {};
  std::string note(kMaxNote, '\0');
  const ssize_t n = ops.pread(fd.get(), note.data(), note.size(), 0);
  note.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return note;
}

}  // namespace marvolen
