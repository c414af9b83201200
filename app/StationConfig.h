// The station's settings record "marvolen.tcp" in the station home: exactly 107 single-byte
// characters in Windows-1252, no line end.
//
//   1-50   ModemInitText     blank-padded
//   51-55  BaudRate          decimal digits, left-aligned, blank-padded
//   56     PortNumber        one digit; 0 means "no settings yet"
//   57     ReservedChar      kept as read, written back unchanged
//   58-67  SettingsPassword  blank-padded
//   68-107 WorkDir           blank-padded path
//
// In memory the texts are UTF-8 (they are shown in the window and WorkDir names a directory
// on disk); the record's code page is applied only when reading and writing it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "call/CallServices.h"
#include "platform/FileOps.h"

namespace marvolen {

inline constexpr size_t kStationConfigSize = 107;
inline constexpr char kStationConfigFile[] = "marvolen.tcp";
// The working directory a station without settings proposes, padded to 39 characters as the
// record's default has always been shown in the settings form.
inline constexpr char kDefaultWorkDir[] = "/var/lib/marvolen/                     ";

struct StationConfig {
  std::string ModemInitText;
  int32_t BaudRate = 9600;
  int32_t PortNumber = 0;
  char ReservedChar = ' ';  // the raw byte, so that it is written back exactly as read
  std::string SettingsPassword = std::string(10, ' ');
  std::string WorkDir = kDefaultWorkDir;
};

// The number formed by the leading decimal digits of `text`; 0 when it starts with anything
// else or is empty. Throws ConversionError when the digits overflow 32 bits.
int32_t ParseNumber(std::string_view text);

// The fields of a record of at least 107 bytes (bytes after the 107th are ignored). WorkDir
// loses its trailing blanks and control characters and, unless it is empty, ends in "/".
// A shorter record gives the defaults.
StationConfig ParseStationConfig(std::string_view record);

// The 107-byte record for `config`; fields too long are cut, short ones blank-padded.
// Characters that Windows-1252 cannot hold become '?' (the settings check refuses them first).
std::string BuildStationConfigRecord(const StationConfig& config);

struct LoadedStationConfig {
  StationConfig config;
  bool complete = false;  // false: no file, or fewer than 107 bytes; `config` holds defaults
};

// Reads "marvolen.tcp" (name matched without regard to letter case) from `home`. A missing
// or short file is not an error. Throws FileError when an existing file cannot be read.
LoadedStationConfig LoadStationConfig(const std::filesystem::path& home,
                                      const FileOps& ops = SystemFileOps());
// As above, in the home already open, reached through no path again.
LoadedStationConfig LoadStationConfig(const Dir& home);

// Writes `record` as "marvolen.tcp" in `home` (the existing file, whatever its letter case).
// A failed write leaves the previous record intact. Throws FileError.
void SaveStationConfig(const std::filesystem::path& home, std::string_view record,
                       const FileOps& ops = SystemFileOps());
void SaveStationConfig(const Dir& home, std::string_view record);

// The bounds of every call, from the environment as the service unit sets it:
// MARVOLEN_MAX_CALL_MINUTES (1 to 1440, default 30), MARVOLEN_MAX_IDLE_MINUTES (2 to 1440,
// default 5) and MARVOLEN_MAX_ARCHIVE_MIB (1 to 4096, default 64), read through `getenv`. The
// line's speed is left at its default: it is the settings record's, not the environment's. A value
// that is not a whole number in its range is reported in `problems` (one Spanish line each) and the
// default is kept: a bound is never lifted by a typo.
CallLimits CallLimitsFromEnvironment(const std::function<const char*(const char*)>& getenv,
                                     std::vector<std::string>& problems);

}  // namespace marvolen
