// An advisory lock on one file, held for as long as the FileLock object lives. The system
// drops it when the process ends, however it ends (a crash or a kill included), so a stale
// lock file never keeps a later process out.
//
// The lock belongs to the open file, not to the process: a second TryAcquire on the same
// file fails even inside the process that holds it. It is a POSIX record lock on the
// whole file, which network file systems with POSIX locks carry between machines.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "platform/SystemCalls.h"

namespace marvolen {

class FileLock {
 public:
  // Takes the lock on `path` without waiting, creating the file when it is missing. On
  // failure `error` is EWOULDBLOCK when another holder has the lock, else the errno value of
  // the failed open or lock.
  static std::optional<FileLock> TryAcquire(const std::filesystem::path& path, int& error);

  // Releasing the lock (the object going) leaves the file in place.

  // Replaces the file's content with `text` (who holds the lock, for whoever finds it
  // taken). Failures are ignored: the note is a courtesy, the lock is what counts.
  void WriteNote(const std::string& text);
  // The note of the lock file at `path` (at most a few hundred bytes); empty when there is
  // none or it cannot be read.
  static std::string ReadNote(const std::filesystem::path& path);

 private:
  explicit FileLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

}  // namespace marvolen
