#include "app/HomeLock.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace marvolen {

namespace fs = std::filesystem;

namespace {

constexpr char kNotePrefix[] = "marvolen pid ";

// The holder's process number from its note, or empty when the note does not say.
std::string HolderPid(const std::string& note) {
  if (note.rfind(kNotePrefix, 0) != 0) return {};
  const std::string pid = note.substr(std::strlen(kNotePrefix));
  const std::size_t digits = pid.find_first_not_of("0123456789");
  return pid.substr(0, digits);
}

}  // namespace

std::optional<FileLock> LockStationHome(const fs::path& home, std::string& message) {
  std::error_code ec;
  fs::create_directories(home, ec);
  const fs::path path = home / kHomeLockFile;
  int error = 0;
  std::optional<FileLock> lock = FileLock::TryAcquire(path, error);
  if (lock) {
    lock->WriteNote(kNotePrefix + std::to_string(::getpid()) + "\n");
    return lock;
  }
  if (error == EWOULDBLOCK) {
    const std::string pid = HolderPid(FileLock::ReadNote(path));
    message = "another station is already running on the station home " + home.string() +
              (pid.empty() ? "" : " (process " + pid + ")") +
              "; only one station may run on a home at a time. Stop it, or give this one a "
              "home of its own ($MARVOLEN_HOME).";
  } else {
    message = "cannot lock the station home: " + path.string() + ": " + std::strerror(error);
  }
  return std::nullopt;
}

}  // namespace marvolen
