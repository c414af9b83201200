#include "callrec/TranscriptAgeing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <tuple>
#include <utility>

#include "platform/FileOps.h"
#include "platform/LocalTime.h"
#include "platform/SystemCalls.h"

namespace marvolen {

namespace {

constexpr int kOpenDir = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A day directory "YYYY-MM-DD" as a date serial comparable with LocalDateSerial; nullopt for
// any other name.
std::optional<int> DayOf(const std::string& name) {
  int y, m, d;
  char tail;
  if (name.size() != 10 || std::sscanf(name.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3)
    return std::nullopt;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = m - 1;
  tm.tm_mday = d;
  tm.tm_hour = 12;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == -1) return std::nullopt;
  return LocalDateSerial(std::chrono::system_clock::from_time_t(t));
}

bool TakeDigits(std::string_view& s, size_t min, size_t max) {
  size_t n = 0;
  while (n < s.size() && n < max && s[n] >= '0' && s[n] <= '9') ++n;
  if (n < min) return false;
  s.remove_prefix(n);
  return true;
}

bool TakeText(std::string_view& s, std::string_view text) {
  if (!s.starts_with(text)) return false;
  s.remove_prefix(text.size());
  return true;
}

// "HHMMSS-locNN.txt", "HHMMSS-sin-oficina-2.txt": the names the recorder gives transcripts.
bool IsTranscriptName(std::string_view s) {
  if (!TakeDigits(s, 6, 6) || !TakeText(s, "-")) return false;
  if (!TakeText(s, "sin-oficina") && !(TakeText(s, "loc") && TakeDigits(s, 2, 4))) return false;
  if (TakeText(s, "-") && !TakeDigits(s, 1, 2)) return false;
  return s == ".txt";
}

// The names in the directory open at `fd`, in order; none when it cannot be read.
std::vector<std::string> EntryNames(const FileOps& ops, int fd) {
  std::vector<std::string> names = ListDirectory(ops, fd).value_or(std::vector<std::string>{});
  std::sort(names.begin(), names.end());
  return names;
}

class Ageing {
 public:
  Ageing(const std::string& work_dir, WallTime now, const TranscriptLimits& limits,
         const FileOps& ops)
      : work_dir_(work_dir), today_(LocalDateSerial(now)), limits_(limits), ops_(ops) {}

  AgeingResult Run() {
    const std::string calls = work_dir_ + "calls";
    root_ = OpenFd(ops_, calls.c_str(), kOpenDir);
    if (!root_.valid()) {
      if (errno != ENOENT) Cannot(AT_FDCWD, calls, "calls");
      return std::move(result_);
    }
    for (const std::string& name : EntryNames(ops_, root_.get())) Day(name);
    TrimToSize();
    // Today's directory stays even empty: another station may be about to write into it.
    for (const auto& [day, name] : days_)
      if (day < today_) ops_.unlinkat(root_.get(), name.c_str(), AT_REMOVEDIR);
    return std::move(result_);
  }

 private:
  struct Kept {
    int day;
    std::string dir;
    std::string name;
    uint64_t size;
  };

  // A warning for the directory `name` under `at` that could not be opened: a link, or the
  // system's reason (errno, as the open left it).
  void Cannot(int at, const std::string& name, const std::string& relative) {
    const int error = errno;
    if (KindOf(at, name) == S_IFLNK) return Link(relative);
    result_.warnings.push_back(
        ErrorText("Transcripciones: no se puede leer " + relative, ErrnoCode(error)));
  }
  void Link(const std::string& relative) {
    result_.warnings.push_back("Transcripciones: " + relative +
                               " es un enlace simbólico; no se sigue ni se borra");
  }

  // The kind of the entry `name` of the directory open at `dir`, the entry itself when it is a
  // link; 0 when it cannot be read.
  mode_t KindOf(int dir, const std::string& name, uint64_t* size = nullptr) const {
    struct stat st {};
    if (ops_.fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
    return st.st_mode & S_IFMT;
  }

  void Day(const std::string& name) {
    const auto day = DayOf(name);
    if (!day) return;  // not ours: left alone
    const std::string relative = "calls/" + name;
    const mode_t kind = KindOf(root_.get(), name);
    if (kind == S_IFLNK) return Link(relative);
    if (kind != S_IFDIR) return;
    // Opened without following: had it become a link since, this fails instead.
    const UniqueFd dir = OpenAtFd(ops_, root_.get(), name.c_str(), kOpenDir);
    if (!dir.valid()) return Cannot(root_.get(), name, relative);
    days_.emplace_back(*day, name);
    const bool too_old = today_ - *day > limits_.max_age_days;
    for (const std::string& file : EntryNames(ops_, dir.get())) {
      if (!IsTranscriptName(file)) continue;
      uint64_t size = 0;
      const mode_t file_kind = KindOf(dir.get(), file, &size);
      if (file_kind == S_IFLNK) {
        Link(relative + "/" + file);
      } else if (file_kind == S_IFREG && too_old) {
        if (ops_.unlinkat(dir.get(), file.c_str(), 0) == 0) ++result_.removed;
      } else if (file_kind == S_IFREG) {
        kept_.push_back({*day, name, file, size});
      }
    }
  }

  void TrimToSize() {
    std::sort(kept_.begin(), kept_.end(), [](const Kept& a, const Kept& b) {
      return std::tie(a.day, a.dir, a.name) < std::tie(b.day, b.dir, b.name);
    });
    uint64_t total = 0;
    for (const Kept& k : kept_) total += k.size;
    UniqueFd dir;
    std::string open_name;
    for (const Kept& k : kept_) {
      if (total <= limits_.max_total_bytes) break;
      if (k.dir != open_name) {
        dir = OpenAtFd(ops_, root_.get(), k.dir.c_str(), kOpenDir);
        open_name = k.dir;
      }
      if (!dir.valid() || KindOf(dir.get(), k.name) != S_IFREG) continue;
      if (ops_.unlinkat(dir.get(), k.name.c_str(), 0) != 0) continue;
      ++result_.removed;
      total -= k.size;
    }
  }

  const std::string& work_dir_;
  const int today_;
  const TranscriptLimits& limits_;
  const FileOps& ops_;
  UniqueFd root_;
  std::vector<std::pair<int, std::string>> days_;
  std::vector<Kept> kept_;
  AgeingResult result_;
};

}  // namespace

AgeingResult AgeTranscripts(const std::string& work_dir, WallTime now,
                            const TranscriptLimits& limits, const FileOps& ops) {
  return Ageing(work_dir, now, limits, ops).Run();
}

TranscriptAgeing::TranscriptAgeing(std::string work_dir, const Clock& clock,
                                   TranscriptLimits limits)
    : work_dir_(std::move(work_dir)), clock_(clock), limits_(limits) {}

std::vector<std::string> TranscriptAgeing::RunWhenDue(bool in_call) {
  constexpr auto kDay = std::chrono::hours(24);
  if (in_call || (last_run_ && clock_.Now() - *last_run_ < kDay)) return {};
  last_run_ = clock_.Now();
  return AgeTranscripts(work_dir_, clock_.WallNow(), limits_).warnings;
}

}  // namespace marvolen
