// The activity log: a short, time-stamped line per main event of a call, kept in memory
// during the call and appended to "volenlog.tcp" in the working directory when the call ends
// or the station stops, so that a call costs no file access while it runs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/FileOps.h"
#include "platform/Clock.h"

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

  // With a text (UTF-8): builds a line and keeps it unless 50 are already pending, in which
  // case it is dropped. With an empty text: FlushLog.
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
  FileOps ops_;
  std::vector<std::string> pending_;
};

// The date and the time of `t` as the activity log writes them (see FormatLine).
std::string LogDateText(WallTime t);
std::string LogTimeText(WallTime t);

}  // namespace marvolen
