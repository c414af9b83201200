#include "platform/TempNames.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <optional>
#include <system_error>
#include <vector>

namespace marvolen {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSuffix = ".tmp";
constexpr auto kForeignAge = std::chrono::hours(1);

bool AllDigits(std::string_view text) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The process id in a name of the TempName pattern; nullopt for any other name.
std::optional<long> PidOfTempName(std::string_view name) {
  if (name.size() < 2 || name.front() != '.' || !name.ends_with(kSuffix)) return std::nullopt;
  name.remove_suffix(kSuffix.size());
  const size_t serial_dot = name.rfind('.');
  if (serial_dot == std::string_view::npos || !AllDigits(name.substr(serial_dot + 1))) {
    return std::nullopt;
  }
  name = name.substr(0, serial_dot);
  const size_t pid_dot = name.rfind('.');
  if (pid_dot == std::string_view::npos || pid_dot == 0) return std::nullopt;
  const std::string_view pid = name.substr(pid_dot + 1);
  if (!AllDigits(pid)) return std::nullopt;
  return std::stol(std::string(pid));
}

bool ProcessIsGone(long pid) {
  if (pid <= 0) return false;
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

std::string TempName(std::string_view final_name) {
  static std::atomic<unsigned> serial{0};
  return "." + std::string(final_name) + "." + std::to_string(::getpid()) + "." +
         std::to_string(serial++) + std::string(kSuffix);
}

void RemoveStaleTemps(const fs::path& dir) {
  std::error_code ec;
  std::vector<fs::path> stale;
  const auto now = fs::file_time_type::clock::now();
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const auto pid = PidOfTempName(it->path().filename().string());
    if (!pid || *pid == ::getpid()) continue;
    std::error_code time_ec;
    const auto written = fs::last_write_time(it->path(), time_ec);
    if (ProcessIsGone(*pid) || (!time_ec && now - written > kForeignAge)) {
      stale.push_back(it->path());
    }
  }
  for (const fs::path& path : stale) fs::remove_all(path, ec);
}

}  // namespace marvolen
