#include "app/StationConfig.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <optional>

#include "platform/CodePage.h"
#include "platform/Dir.h"
#include "platform/FileNames.h"
#include "platform/Numbers.h"
#include "platform/ShownText.h"
#include "platform/SystemCalls.h"

namespace marvolen {

namespace fs = std::filesystem;

int32_t ParseNumber(std::string_view text) {
  std::string digits = "0";
  for (char c : text) {
    if (c < '0' || c > '9') break;
    digits += c;
  }
  int64_t value = 0;
  for (char c : digits) {
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<int32_t>::max()) throw ConversionError(digits);
  }
  return static_cast<int32_t>(value);
}

namespace {

std::string TrimTrailingControls(std::string_view text) {
  size_t end = text.size();
  while (end > 0 && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  return std::string(text.substr(0, end));
}

// `utf8` in Windows-1252, blank-padded or cut to `width` bytes.
std::string Field(std::string_view utf8, size_t width) {
  std::string bytes = Utf8ToAnsiExact(utf8).text;
  bytes.resize(width, ' ');
  return bytes;
}

}  // namespace

StationConfig ParseStationConfig(std::string_view record) {
  StationConfig config;
  if (record.size() < kStationConfigSize) return config;
  config.ModemInitText = AnsiToUtf8Exact(record.substr(0, 50));
  config.BaudRate = ParseNumber(record.substr(50, 5));
  config.PortNumber = ParseNumber(record.substr(55, 1));
  config.ReservedChar = record[56];
  config.SettingsPassword = AnsiToUtf8Exact(record.substr(57, 10));
  std::string dir = AnsiToUtf8Exact(TrimTrailingControls(record.substr(67, 40)));
  if (!dir.empty() && dir.back() != '/') dir += '/';
  config.WorkDir = dir;
  return config;
}

std::string BuildStationConfigRecord(const StationConfig& config) {
  std::string record;
  record.reserve(kStationConfigSize);
  record += Field(config.ModemInitText, 50);
  record += Field(std::to_string(config.BaudRate), 5);
  record += Field(std::to_string(config.PortNumber), 1);
  record += config.ReservedChar;
  record += Field(config.SettingsPassword, 10);
  record += Field(config.WorkDir, 40);
  return record;
}

LoadedStationConfig LoadStationConfig(const fs::path& home, const FileOps& ops) {
  std::error_code error;
  const std::optional<Dir> dir = Dir::TryOpen(home.string(), Dir::Links::kFollow, error, ops);
  // A home that is not there holds no record, as one without the file.
  if (!dir && IsNotFound(error)) return {};
  if (!dir) throw FileError(error, "No se puede leer el directorio " + home.string());
  return LoadStationConfig(*dir);
}

LoadedStationConfig LoadStationConfig(const Dir& home) {
  LoadedStationConfig loaded;
  const auto file = home.FindNoCase(kStationConfigFile);
  if (!file) return loaded;
  const std::string doing = "No se puede leer el archivo " + home.PathOf(*file);
  const UniqueFd fd = home.OpenFile(*file, O_RDONLY);
  if (!fd.valid()) throw FileError(errno, doing);
  // Bytes after the record's end are never looked at, so reading stops there.
  std::string record(kStationConfigSize, '\0');
  const ssize_t n = ReadFull(home.ops(), fd.get(), record.data(), record.size());
  if (n < 0) throw FileError(errno, doing);
  record.resize(static_cast<size_t>(n));
  loaded.complete = record.size() >= kStationConfigSize;
  loaded.config = ParseStationConfig(record);
  return loaded;
}

void SaveStationConfig(const fs::path& home, std::string_view record, const FileOps& ops) {
  SaveStationConfig(Dir::Open(home.string(), Dir::Links::kFollow, ops), record);
}

void SaveStationConfig(const Dir& home, std::string_view record) {
  const std::string file = home.FindNoCase(kStationConfigFile).value_or(kStationConfigFile);
  home.Replace(file, record);
  // Earlier versions staged the record under one fixed name; a save they did not finish
  // left it behind.
  home.Remove(file + ".tmp");
}

namespace {

// One bound from `name`: its value when it is a whole number from `least` to `most`, else
// `fallback` (and a line in `problems` when the variable was set).
std::int32_t BoundFromEnvironment(const std::function<const char*(const char*)>& getenv,
                                  const char* name, std::int32_t fallback, std::int32_t least,
                                  std::int32_t most, std::vector<std::string>& problems) {
  const char* value = getenv(name);
  if (value == nullptr) return fallback;
  const std::optional<std::int32_t> number = TryStrToInt(value);
  if (number && *number >= least && *number <= most) return *number;
  problems.push_back(std::string(name) + " no válido (\"" + ShownText(value) +
                     "\"): debe ser un número de " + std::to_string(least) + " a " +
                     std::to_string(most) + "; se usa " + std::to_string(fallback));
  return fallback;
}

std::int32_t WholeMinutes(Millis time) {
  return static_cast<std::int32_t>(std::chrono::duration_cast<std::chrono::minutes>(time).count());
}

}  // namespace

CallLimits CallLimitsFromEnvironment(const std::function<const char*(const char*)>& getenv,
                                     std::vector<std::string>& problems) {
  const CallLimits defaults;
  CallLimits limits;
  limits.max_call_time = std::chrono::minutes(
      BoundFromEnvironment(getenv, "MARVOLEN_MAX_CALL_MINUTES",
                           WholeMinutes(defaults.max_call_time), 1, 1440, problems));
  // An idle bound under two minutes would cut calls inside the protocol's own silences.
  limits.max_idle_time = std::chrono::minutes(
      BoundFromEnvironment(getenv, "MARVOLEN_MAX_IDLE_MINUTES",
                           WholeMinutes(defaults.max_idle_time), 2, 1440, problems));
  limits.max_archive_bytes =
      static_cast<std::uint64_t>(BoundFromEnvironment(
          getenv, "MARVOLEN_MAX_ARCHIVE_MIB",
          static_cast<std::int32_t>(defaults.max_archive_bytes >> 20), 1, 4096, problems))
      << 20;
  return limits;
}

}  // namespace marvolen
