#include "platform/TempNames.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/FileNames.h"

namespace marvolen {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSuffix = ".tmp";
// Seconds after which a temporary file of a live process is taken as another machine's.
constexpr auto kForeignAge = std::chrono::seconds(std::chrono::hours(1));

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

std::vector<fs::path> RemoveStaleTemps(const fs::path& dir, const FileOps& ops) {
  std::vector<fs::path> removed;
  const UniqueFd dir_fd = OpenFd(ops, dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (!dir_fd.valid()) return removed;
  for (const std::string& name : RemoveStaleTempsAt(ops, dir_fd.get()))
    removed.push_back(dir / name);
  return removed;
}

std::vector<std::string> RemoveStaleTempsAt(const FileOps& ops, int dir_fd) {
  std::vector<std::string> removed;
  const auto names = ListDirectory(ops, dir_fd);
  if (!names) return removed;
  const std::time_t now = std::time(nullptr);
  for (const std::string& name : *names) {
    const auto pid = PidOfTempName(name);
    if (!pid || *pid == ::getpid()) continue;
    struct stat st {};
    const bool timed = ops.fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!ProcessIsGone(*pid) && !(timed && now - st.st_mtime > kForeignAge.count())) continue;
    if (!RemoveTreeAt(ops, dir_fd, name)) removed.push_back(name);
  }
  return removed;
}

std::vector<fs::path> RemoveInterruptedTemps(const fs::path& home, const fs::path& work_dir,
                                             const FileOps& ops) {
  // Each directory is cleaned as it is found, never listed first: a working directory of
  // thousands of offices would otherwise hold thousands of paths, twice, at every start.
  std::vector<fs::path> removed;
  std::vector<fs::path> roots;  // the home and the working directory, as they really are
  const auto clean = [&](const fs::path& dir, bool chosen) {
    // The home and the working directory are the operator's choice, links included; what
    // lies in them is entered only when it is a directory itself.
    std::error_code type_ec;
    const fs::file_status status =
        chosen ? fs::status(dir, type_ec) : fs::symlink_status(dir, type_ec);
    if (status.type() != fs::file_type::directory) return;
    if (chosen) {
      // One directory chosen as both is cleaned once.
      const fs::path canonical = fs::weakly_canonical(dir, type_ec);
      if (std::find(roots.begin(), roots.end(), canonical) != roots.end()) return;
      roots.push_back(canonical);
    }
    for (fs::path& path : RemoveStaleTemps(dir, ops)) removed.push_back(std::move(path));
  };
  std::error_code ec;
  clean(home, true);
  for (fs::directory_iterator it(home, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (EqualsNoCase(name, "tablas") || EqualsNoCase(name, "upgrade")) clean(it->path(), false);
  }
  if (!work_dir.empty()) {
    clean(work_dir, true);
    for (fs::directory_iterator it(work_dir, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.size() > 3 && EqualsNoCase(name.substr(0, 3), "loc")) clean(it->path(), false);
    }
    // The status summary beside the call log, and its directories of offices.
    const fs::path summary = work_dir / "calls.summary";
    if (fs::is_directory(fs::symlink_status(summary, ec))) {
      clean(summary, false);
      for (fs::directory_iterator it(summary, ec), end; !ec && it != end; it.increment(ec))
        clean(it->path(), false);
    }
  }
  return removed;
}

}  // namespace marvolen
