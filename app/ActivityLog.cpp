#include "app/ActivityLog.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <ctime>

#include "platform/CodePage.h"
#include "platform/FileNames.h"
#include "platform/ShownText.h"

namespace marvolen {

namespace {

std::tm LocalTm(WallTime t) {
  const std::time_t secs =
      std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(t));
  std::tm tm{};
  ::localtime_r(&secs, &tm);
  return tm;
}

// The LC_TIME locale named in the environment, or nullptr when none is named or it is not
// installed; the caller then uses the fixed formats.
class TimeLocale {
 public:
  TimeLocale() {
    const char* name = std::getenv("LC_TIME");
    if (name != nullptr && *name != '\0') locale_ = ::newlocale(LC_TIME_MASK, name, nullptr);
  }
  ~TimeLocale() {
    if (locale_ != nullptr) ::freelocale(locale_);
  }
  TimeLocale(const TimeLocale&) = delete;
  TimeLocale& operator=(const TimeLocale&) = delete;

  // `item` (D_FMT or T_FMT) of the locale applied to `tm`, or `fallback` without a locale.
  std::string Format(nl_item item, const char* fallback, const std::tm& tm) const {
    const char* format = locale_ != nullptr ? ::nl_langinfo_l(item, locale_) : fallback;
    if (format == nullptr || *format == '\0') format = fallback;
    char buf[128];
    const size_t n = locale_ != nullptr ? ::strftime_l(buf, sizeof buf, format, &tm, locale_)
                                        : std::strftime(buf, sizeof buf, format, &tm);
    return std::string(buf, n);
  }

 private:
  locale_t locale_ = nullptr;
};

}  // namespace

std::string LogDateText(WallTime t) {
  return TimeLocale().Format(D_FMT, "%d/%m/%Y", LocalTm(t));
}

std::string LogTimeText(WallTime t) {
  return TimeLocale().Format(T_FMT, "%H:%M:%S", LocalTm(t));
}

ActivityLog::ActivityLog(Clock& clock, const std::string& ident_line, const std::string& work_dir,
                         const FileOps& ops)
    : clock_(clock), ident_line_(ident_line), work_dir_(work_dir), ops_(ops) {}

std::string ActivityLog::FormatLine(std::string_view text) const {
  const std::string office =
      ident_line_.size() > 6 ? AnsiToUtf8(std::string_view(ident_line_).substr(6, 5)) : "";
  std::string line = LogDateText(clock_.WallNow());
  line += ' ';
  line += LogTimeText(clock_.WallNow());
  line += " Of: ";
  // Both come from the line or an archive at times; the file is read on a terminal.
  line += ShownText(office);
  line += ' ';
  line += ShownText(text);
  return line;
}

void ActivityLog::LogEvent(std::string_view text) {
  if (text.empty()) {
    FlushLog();
    return;
  }
  std::string line = FormatLine(text);
  // Lines kept from a failed write go first, so that a file that can be written again takes
  // this line too rather than find the buffer full.
  if (pending_.size() == kCapacity) TryFlush();
  if (pending_.size() < kCapacity) pending_.push_back(std::move(line));
  TryFlush();
}

void ActivityLog::TryFlush() {
  try {
    FlushLog();
  } catch (const FileError&) {
    // Kept pending: the next line tries again, and the flush at the end of the call reports it.
  }
}

const std::string& ActivityLog::FilePath() {
  const std::string dir = work_dir_.empty() ? std::string("./") : work_dir_;
  if (dir != dir_ || path_.empty()) {
    const auto existing = FindNoCase(dir, kActivityLogFile);
    path_ = existing ? existing->string() : work_dir_ + kActivityLogFile;
    dir_ = dir;
  }
  return path_;
}

void ActivityLog::FlushLog() {
  if (pending_.empty()) return;
  std::string data;
  for (const std::string& line : pending_) {
    data += line;
    data += "\r\n";
  }
  AppendToFile(FilePath(), data, ops_);
  pending_.clear();
}

}  // namespace marvolen
