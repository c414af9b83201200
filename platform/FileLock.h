// An advisory lock on one file, held for as long as the FileLock object lives. The system
// drops it when the process ends, however it ends (a crash or a kill included), so a stale
// lock file never keeps a later process out.
//
// The lock belongs to the open file, not to the process: a second TryAcquire on the same
// file fails even inside the process that holds it. It is a POSIX record lock on the
// whole file, which network file systems with POSIX locks carry between machines.
//
// The lock file must be a regular file: a symbolic link in its place is never followed (nor
// created through), and a directory, a FIFO or a device is never written into; each is an
// error like any other failure to take the lock.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "platform/FileOps.h"
#include "platform/SystemCalls.h"

namespace marvolen {

class FileLock {
 public:
  // Takes the lock on `path` without waiting, creating the file when it is missing. On
  // failure `error` is std::errc::operation_would_block when another holder has the lock,
  // StationRefusal::kNotRegularFile when `path` is a FIFO, a device or a socket, else the
  // errno of the failed open (ELOOP for a symbolic link, EISDIR for a directory) or lock.
  // The lock file is opened, locked and written through `ops`, which must outlive the lock.
  static std::optional<FileLock> TryAcquire(const std::filesystem::path& path,
                                            std::error_code& error,
                                            const FileOps& ops = SystemFileOps());
  // As TryAcquire, on `name` in the directory open at `dir_fd` (Dir::TryLock).
  static std::optional<FileLock> TryAcquireAt(int dir_fd, const std::string& name,
                                              std::error_code& error, const FileOps& ops);
  // A TryAcquire error in words for the operator: the system's text, or what is wrong with
  // the file.
  static std::string ErrorText(std::error_code error);

  // Releasing the lock (the object going) leaves the file in place.

  // Replaces the file's content with `text` (who holds the lock, for whoever finds it
  // taken). Failures are ignored: the note is a courtesy, the lock is what counts.
  void WriteNote(const std::string& text);
  // The note of the lock file at `path` (at most a few hundred bytes); empty when there is
  // none, it cannot be read or it is no regular file.
  static std::string ReadNote(const std::filesystem::path& path,
                              const FileOps& ops = SystemFileOps());
  static std::string ReadNoteAt(int dir_fd, const std::string& name, const FileOps& ops);

 private:
  FileLock(UniqueFd fd, const FileOps& ops) : fd_(std::move(fd)), ops_(&ops) {}
  UniqueFd fd_;
  const FileOps* ops_;
};

}  // namespace marvolen
