// The live state of one station line, kept by the station as "lines/NAME.json" in the working
// directory and read by the status page, the metrics and marvolen-report --check. The station
// replaces the file whole (never writes it in place) at every change of state and at least
// once a minute, so a reader sees one state or the next, and a heartbeat older than a few
// minutes means the station is hung or gone without saying so.
//
//   {"line":"com1","device":"/dev/ttyS0","state":"in_call","reason":"","office":7,
//    "step":"recibiendo tráfico","bytes_sent":1234,"bytes_received":56789,
//    "since":"2026-12-07T11:49:47+01:00","heartbeat":"2026-12-07T11:50:47+01:00","pid":4242}
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/Dir.h"
#include "platform/Errors.h"
#include "platform/FileOps.h"

namespace marvolen {

// The states a line goes through; "down" carries the reason, "stopped" is written on exit.
inline constexpr char kLineStarting[] = "starting";
inline constexpr char kLineWaiting[] = "waiting";
inline constexpr char kLineInCall[] = "in_call";
// A call has ended and the modem is being hung up and readied for the next one (some ten
// seconds); the line takes calls again, as "waiting", once the modem answers.
inline constexpr char kLineResetting[] = "resetting";
inline constexpr char kLineDown[] = "down";
inline constexpr char kLineStopped[] = "stopped";

// The station writes the file at least this often, even when nothing changes.
inline constexpr std::chrono::seconds kLineHeartbeatInterval{60};
// A heartbeat older than this (and a state other than "stopped") is a station that hangs or
// died without a word.
inline constexpr std::chrono::seconds kLineStaleAfter{180};

struct LineStatus {
  std::string line;    // the line's name: its device's ("ttyS0"), or the service instance's name
  std::string device;  // what the port opens: "/dev/ttyS0", "tcp-modem:127.0.0.1:5000"
  std::string state = kLineStarting;
  std::string reason;            // "down": the system's reason, in words; empty otherwise
  int office = 0;                // "in_call": the office once identified; 0 before and otherwise
  std::string step;              // "in_call": the script's step in words
  std::uint64_t bytes_sent = 0;  // "in_call": moved over the line in this call
  std::uint64_t bytes_received = 0;  //
  WallTime since{};                  // the state has held since
  WallTime heartbeat{};              // when the file was last written
  long pid = 0;                      // the station's process

  bool operator==(const LineStatus&) const = default;
};

// Whether `status` says the line serves calls: up ("waiting", "in_call" or "resetting") with a
// fresh heartbeat at `now`.
bool LineIsUp(const LineStatus& status, WallTime now);
// Whether the heartbeat is stale at `now` (a "stopped" line is never stale: it said goodbye).
bool LineIsStale(const LineStatus& status, WallTime now);

// The file's contents (one JSON object and a line end); times to the second.
std::string LineStatusToJson(const LineStatus& status);
// Throws LineStatusError naming what is wrong when `text` is not such an object.
LineStatus LineStatusFromJson(std::string_view text);

// A line's state that cannot be read: the errno of the read that failed, or the station's
// refusal of a file that is no line state (damaged, too large, no regular file); the text is
// the reason alone, shown after the file's name.
class LineStatusError : public StationError {
 public:
  LineStatusError(std::error_code code, const std::string& why) : StationError(code, why) {}
  // A damaged line state.
  explicit LineStatusError(const std::string& why)
      : StationError(StationRefusal::kDamagedLineStatus, why) {}
};

// "lines" in `work_dir` (which ends in "/"), opened without following a link, as every
// directory of the working tree is: a link there would send the line's state and lock, and
// the clean-up of temporary files beside them, wherever it points. Made when missing. Throws
// FileError.
Dir MakeLinesDir(const std::string& work_dir, const FileOps& ops = SystemFileOps());
// "lines/NAME.json" in `work_dir`. NAME is checked by IsLineName.
std::string LineStatusPath(const std::string& work_dir, std::string_view line);
// A line name is 1 to 32 letters, digits, '-', '_' or '.', not starting with '.': it becomes a
// file name and a metrics label.
bool IsLineName(std::string_view name);
inline constexpr std::size_t kMaxLineName = 32;

// Replaces "lines/NAME.json" in `work_dir` with `status` (creating "lines/" when missing,
// refusing a link there), whole: a reader sees the old state or the new one. Not synced
// (Durability::kAtomic). Throws FileError.
void WriteLineStatus(const std::string& work_dir, const LineStatus& status,
                     const FileOps& ops = SystemFileOps());

// One file of "lines/": the line's state, or why it could not be read.
struct LineStatusFile {
  std::string name;  // the file's name without ".json"
  std::optional<LineStatus> status;
  std::string error;  // when `status` is empty
  // Why it could not be read: the errno of a failed read, or the station's refusal.
  std::error_code code;
};
// Every "lines/*.json" of `work_dir`, by name; none when the directory is missing or a link.
// Files are opened without following links and must be regular; temporary files are skipped.
std::vector<LineStatusFile> ReadLineStatuses(const std::string& work_dir);

}  // namespace marvolen
