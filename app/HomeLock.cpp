#include "app/HomeLock.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "callrec/LineStatus.h"

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
  std::error_code error;
  std::optional<FileLock> lock = FileLock::TryAcquire(path, error);
  if (lock) {
    lock->WriteNote(kNotePrefix + std::to_string(::getpid()) + "\n");
    return lock;
  }
  if (error == std::errc::operation_would_block) {
    const std::string pid = HolderPid(FileLock::ReadNote(path));
    message = "ya hay otra estación en marcha en el directorio de la estación " + home.string() +
              (pid.empty() ? "" : " (proceso " + pid + ")") +
              "; en cada directorio solo puede correr una estación a la vez. Deténgala, o dé a "
              "esta un directorio propio ($MARVOLEN_HOME).";
  } else {
    message = "no se puede bloquear el directorio de la estación: " + path.string() + ": " +
              FileLock::ErrorText(error);
  }
  return std::nullopt;
}

std::optional<FileLock> LockLineName(const std::string& work_dir, const std::string& name,
                                     bool& taken, std::string& message) {
  const std::string file = name + ".lock";
  std::optional<Dir> lines;
  std::string path = work_dir + "lines/" + file;
  std::error_code error;
  try {
    lines.emplace(MakeLinesDir(work_dir));
    path = lines->PathOf(file);
  } catch (const FileError& e) {
    error = e.code();
  }
  std::optional<FileLock> lock = lines ? lines->TryLock(file, error) : std::nullopt;
  taken = !lock && IsTaken(error);
  if (lock) {
    lock->WriteNote(kNotePrefix + std::to_string(::getpid()) + "\n");
  } else if (taken) {
    const std::string pid = HolderPid(lines->LockNote(file));
    message = "la línea " + name + " ya la atiende otra estación en el directorio de trabajo " +
              work_dir + (pid.empty() ? "" : " (proceso " + pid + ")") +
              "; dé a cada línea un nombre propio ($MARVOLEN_LINE).";
  } else {
    message =
        "no se puede bloquear el estado de la línea: " + path + ": " + FileLock::ErrorText(error);
  }
  return lock;
}

}  // namespace marvolen
