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

// Takes the lock of line `name`'s state file, "lines/NAME.lock" in the working directory
// `work_dir`, for this process: two stations on one working directory must not write one
// "lines/NAME.json" (the same port number in two homes, and no MARVOLEN_LINE to tell them
// apart). On failure gives nullopt, with `taken` set when another station holds it, and
// `message` a sentence for the operator.
std::optional<FileLock> LockLineName(const std::string& work_dir, const std::string& name,
                                     bool& taken, std::string& message);

}  // namespace marvolen
