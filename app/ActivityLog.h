// The activity log: a short, time-stamped line per main event of a call, appended to
// "volenlog.tcp" in the working directory the moment it is logged, each line in one write on a
// descriptor opened for appending. Several stations share the file: lines written at once land
// in time order, whatever line they come from, and a station killed in a call loses none.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/FileOps.h"

namespace marvolen {

inline constexpr char kActivityLogFile[] = "volenlog.tcp";

class ActivityLog {
 public:
  static constexpr size_t kCapacity = 50;

  // `ident_line` and `work_dir` are read at each use: the office field of a line comes from
  // the identification line current when the event is logged (Windows-1252 bytes, as
  // received), and the file lives in the working directory current at the flush (UTF-8,
  // ending in "/"). Both must outlive the log.
  ActivityLog(Clock& clock, const std::string& ident_line, const std::string& work_dir,
              const FileOps& ops = SystemFileOps());

  // With a text (UTF-8): builds a line and appends it to the file at once. A line that cannot
  // be written is kept pending (unless 50 already are, in which case it is dropped) and goes
  // with the next line or flush; the flush reports the error. With an empty text: FlushLog.
  void LogEvent(std::string_view text);

  // Appends the pending lines, each ended by CR LF, to the file and forgets them. With no
  // pending lines the file is not touched. Throws FileError, keeping every pending line.
  void FlushLog();

  // Forgets the pending lines (start-up).
  void ResetCount() { pending_.clear(); }
  const std::vector<std::string>& Pending() const { return pending_; }

  void SetFileOps(const FileOps& ops) { ops_ = ops; }

  // "<date> <time> Of: <office> <text>": the date and time in the formats of the locale
  // named by LC_TIME when that is set, else dd/mm/yyyy and hh:mm:ss; the office is
  // characters 7 to 11 of the identification line.
  std::string FormatLine(std::string_view text) const;

 private:
  Clock& clock_;
  const std::string& ident_line_;
  const std::string& work_dir_;
  // The file as last found in `dir_`: its letter case is looked up once per working directory,
  // not at every line (a working directory holds thousands of office directories).
  const std::string& FilePath();
  void TryFlush();

  FileOps ops_;
  std::vector<std::string> pending_;
  std::string dir_, path_;
};

// The date and the time of `t` as the activity log writes them (see FormatLine).
std::string LogDateText(WallTime t);
std::string LogTimeText(WallTime t);

}  // namespace marvolen
