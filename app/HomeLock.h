// One station per home: a running station holds a lock in its home, so that a second
// station started on the same home (the same settings, staging directories and "envio.zip")
// refuses to start instead of mixing one office's files into another's call.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/FileLock.h"

namespace marvolen {

// The lock file in the station home. It stays when the station ends; only the lock on it
// counts, and the system drops that with the process.
inline constexpr char kHomeLockFile[] = "marvolen.lock";

// Takes the lock of the station home `home` for this process, creating the home when it is
// missing. On failure gives nullopt and sets `message` to a sentence for the operator: another
// station runs on this home (with its process number when known), or the lock file cannot be
// made.
std::optional<FileLock> LockStationHome(const std::filesystem::path& home, std::string& message);

}  // namespace marvolen
