// The network's state from the working directory: the call log, the office directories with
// their parameter files and master tables, and the upgrades. Read in one pass over the log in
// memory bounded by the number of offices, not of calls.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "callrec/CallRecord.h"
#include "callrec/CallStore.h"
#include "callrec/LineStatus.h"

namespace marvolen {

struct ReportOptions {
  std::string work_dir;  // ending in "/"
  WallTime now{};
  int silent_hours = 36;
  int max_refusals = 3;
};

// What an office will get on its next call, by the station's own distribution rules applied
// to the file list it reported on its last identified call.
struct NextDelivery {
  bool known = false;              // false: no reported list, or no directory to survey
  std::string why_unknown;         // shown instead
  std::vector<std::string> files;  // tables and upgrades that differ
  std::string deleted;             // "tablas\NAME" or "upgrade\NAME", or empty
};

// An office's calls that began in one hour (since the epoch) of the last 7 days, for the
// counts over the windows: a window takes whole hours, from the one its start falls in, so that
// an office's state stays the same size whatever its call rate (at most 170 hours).
struct RecentHour {
  long long hour = 0;  // start_ms / one hour
  int calls = 0;
  int failures = 0;  // counted among the failures of 7 days
  int refusals = 0;  // counted among the refusals of 24 hours
};

struct OfficeStatus {
  int office = 0;
  bool has_dir = false;
  std::optional<long long> last_call_ms, last_success_ms, last_traffic_ms;
  std::string last_call_text, last_success_text;  // as recorded, local time
  CallResult last_result = CallResult::kNeverIdentified;
  CallReason last_reason = CallReason::kNone;
  int last_port = 0;
  std::string last_device;
  // A refusal because the office was in a call on another line at that moment is the same
  // office calling twice: neither a failure nor a refusal here, nor its last call.
  int calls_7d = 0, failures_7d = 0, refusals_24h = 0;  // as CountWindows leaves them
  std::vector<RecentHour> recent;  // its calls of the last 7 days, hour by hour, in order
  NextDelivery next;
  // Its last calls' transcripts, relative to the working directory, newest first; with the
  // delivery survey only those still on the disk.
  std::vector<std::string> transcripts;
  // What the office reported holding on its last admitted call that reported it.
  std::optional<OfficeHoldings> held;

  bool Silent(const ReportOptions& o) const;
  // Silent for more than twice the threshold: no longer a late office but a lost one.
  bool LongSilent(const ReportOptions& o) const;
  bool Guessed(const ReportOptions& o) const;
  // Calls under a number with no office directory: a mistyped number, or one still to be set up.
  bool Unknown() const { return !has_dir; }
  // In trouble: an alert, or the last call did not succeed.
  bool InTrouble(const ReportOptions& o) const;
  // Why it is in trouble, in the station's words ("sin llamada desde hace 38 h",
  // "3 rechazos en 24 h"); none when it is not.
  std::vector<std::string> TroubleReasons(const ReportOptions& o) const;
};

// Calls that ended on one line, by result, and the bytes their transfers moved.
struct LineCounts {
  std::array<uint64_t, 4> calls{};  // by CallResult
  uint64_t bytes_sent = 0;          // to the offices
  uint64_t bytes_received = 0;      // from them
};

// The calls' durations, in seconds: upper bounds of the histogram's buckets (the last,
// unbounded, is `count`).
inline constexpr std::array<double, 9> kDurationBounds{5, 10, 30, 60, 120, 300, 600, 1800, 3600};
struct DurationHistogram {
  std::array<uint64_t, kDurationBounds.size()> at_most{};  // cumulative, as exposed
  uint64_t count = 0;
  double sum = 0;
};

// Calls per local day by result, for the last 30 days; key "YYYY-MM-DD".
using DailyCounts = std::map<std::string, std::array<int, 4>>;

struct NetworkReport {
  std::vector<OfficeStatus> offices;                          // by office number
  std::vector<LineStatusFile> lines;                          // "lines/*.json", by name
  std::map<std::string, LineCounts, std::less<>> line_calls;  // by the line's name
  DurationHistogram durations;
  DailyCounts daily;
  uint64_t records = 0;
  std::vector<BadLine> bad_lines;  // the first few; bad_line_count has them all
  uint64_t bad_line_count = 0;
};

// Reads everything: the log with its rotated files, oldest first, the office directories and
// the lines' states; `with_delivery` also surveys each office's files for its next delivery
// and which transcripts are still there. Throws CallLogError when a log file exists but
// cannot be read.
NetworkReport BuildReport(const ReportOptions& options, bool with_delivery = true);
// The same from the calls of `store`.
NetworkReport BuildReport(const CallStore& store, const ReportOptions& options,
                          bool with_delivery = true);

// One office's calls, newest first, from the log and its rotated files, in memory bounded
// whatever their size. A first pass over the files, oldest first, counts them and hands each
// damaged line to `bad`, in order; then `counted` gets the number, and a second pass from the
// end of what the first read, backwards, hands the calls to `sink` one at a time. One office
// is served by one line at a time, so the log's order (that in which calls ended) is that of
// their starts: the last line is the newest call.
void ForEachOfficeCall(const std::string& work_dir, int office,
                       const std::function<void(const BadLine&)>& bad,
                       const std::function<void(uint64_t calls)>& counted,
                       const std::function<void(const CallRecord&)>& sink);

// The pieces the report and the status summary build the network's state from, so that both
// fold a call in the same way.
// The office directories in `work_dir`: by number, their names as spelled on the disk.
std::map<int, std::string> OfficeDirs(const std::string& work_dir);
// The same as one flag per number (up to the highest office number), for a reader that walks
// thousands of offices: a few KiB instead of a name per office.
std::vector<bool> OfficeDirNumbers(const std::string& work_dir);
// Counts the call for its line, the durations and the records.
void AddNetworkCall(NetworkReport& report, const CallSummary& call, std::string& key_scratch);
// Folds the call into its office's state; hours that ended before `keep_from_ms` drop out of
// `recent`. Bounded work per call, whatever the office's call rate.
void AddOfficeCall(OfficeStatus& office, const CallSummary& call, long long keep_from_ms);
// The counts over the windows at `now`, from `recent`: the calls of 7 days and the refusals of
// 24 hours, each window from the start of the hour it begins in.
void CountWindows(OfficeStatus& office, WallTime now);
// The first moment after `options.now` at which the office's row on the page, its trouble or
// its metrics could read otherwise with nothing else changed: a call leaving a window, its
// silence crossing the threshold or another hour, its days without traffic going up. Never
// more than an hour ahead when the row links transcripts, which ageing may remove. The state
// as CountWindows leaves it. `live_hours` / `live_days`: the hours of silence / the days
// without traffic are filled in when the row is shown, and do not count.
long long RowChangesAt(const OfficeStatus& office, const ReportOptions& options,
                       bool live_hours = false, bool live_days = false);
// Keeps only transcript names the recorder gives and, when `look`, those still on the disk.
void KeepTranscriptsOnDisk(OfficeStatus& office, const std::string& work_dir, bool look);
// Where the delivery survey looks, each directory found in its letter case once for all the
// offices surveyed, never once per office: a directory spelled otherwise ("UPGRADES") costs a
// reading of the whole working directory.
struct SurveyPlaces {
  std::string upgrades;                    // the shared "upgrades" directory
  std::map<int, std::string> office_dirs;  // by number, paths
};
// For every office directory, from one reading of `work_dir`.
SurveyPlaces FindSurveyPlaces(const std::string& work_dir);
// For the offices `only`.
SurveyPlaces FindSurveyPlaces(const std::string& work_dir, const std::vector<int>& only);
// What the office will get on its next call, by its directory as it is now.
NextDelivery DeliveryFor(const ReportOptions& options, const OfficeStatus& office,
                         const SurveyPlaces& places);

// The monitoring plugins' statuses, which are also their exit codes.
enum class CheckStatus { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
std::string_view CheckStatusName(CheckStatus status);  // "OK", "WARNING" ...

struct Alert {
  CheckStatus status = CheckStatus::kWarning;
  std::string text;
};

// What needs the operator, lines first: a line down, silent or unreadable (critical), stopped
// (warning); offices unknown, silent (critical past twice the threshold) or refused too often.
std::vector<Alert> Alerts(const NetworkReport& report, const ReportOptions& options);

// A local time to the second, as the operator reads it: "2026-12-07 11:49:47".
std::string ShownTime(WallTime t);
// A line's state in words: "en espera de llamadas", "caída: <reason>" ...
std::string LineStateWords(const LineStatus& status, WallTime now);

// Lines that serve calls now, of all those in "lines/".
int LinesUp(const NetworkReport& report, WallTime now);

// `--check`: the plugin's status line ("MARVOLEN OK - 12 oficinas, 2 líneas en servicio |
// oficinas=12 ..."), then one line per alert; the status is the worst alert's.
struct CheckResult {
  CheckStatus status = CheckStatus::kOk;
  std::string text;
};
CheckResult RenderCheck(const NetworkReport& report, const ReportOptions& options);

// The outputs leave the bad lines out: the program reports them on standard error. Every text
// from the log (names an office reported, error texts) has its control bytes escaped as the
// log view shows them, so that a caller's bytes never reach a terminal as commands; JSON
// escapes them by its own rules.
std::string RenderText(const NetworkReport& report, const ReportOptions& options);
std::string RenderCsv(const NetworkReport& report, const ReportOptions& options);
std::string RenderJson(const NetworkReport& report, const ReportOptions& options);
std::string RenderHtml(const NetworkReport& report, const ReportOptions& options);
// The page and the metrics in pieces, for a writer that streams them office by office
// instead of holding every row: RenderHtml is HtmlPageHead, the rows of the offices in
// trouble, those of the others (each group by number), HtmlPageTail; RenderMetrics is
// MetricsHead, MetricsOffice of each office by number, MetricsTail. The heads and tails read
// everything in `report` but its offices, whose number (`offices`, of them `trouble` in
// trouble) the page's head is given.
std::string HtmlPageHead(const NetworkReport& report, uint64_t offices, uint64_t trouble,
                         const ReportOptions& options);
std::string HtmlOfficeRow(const OfficeStatus& office, const ReportOptions& options);
std::string HtmlPageTail(const DailyCounts& daily);
std::string MetricsHead(const NetworkReport& report, const ReportOptions& options);
std::string MetricsOffice(const OfficeStatus& office);
std::string MetricsTail(const NetworkReport& report);
// `--office`: a heading with the number of calls, then each call with what it moved.
std::string RenderOfficeHeading(int office, uint64_t calls);
std::string RenderOfficeCall(const CallRecord& call);

// The metrics in Prometheus' text format: calls and transfer bytes by line from the log (so
// that they survive restarts), whether each line is up and in a call, each office's last
// success, and a histogram of the calls' durations.
std::string RenderMetrics(const NetworkReport& report, const ReportOptions& options);

// The metrics file's name; node_exporter's textfile collector reads "*.prom" only.
inline constexpr char kMetricsName[] = "marvolen.prom";

// The status page's name in the working directory, and the lock that lets one station at a
// time rewrite it.
inline constexpr char kPageName[] = "estado.html";
inline constexpr char kPageLock[] = "estado.html.lock";

// Brings the status summary beside the log in line (callrec/StatusSummary.h), then rewrites
// the status page ("estado.html" in the working directory, unless `path` is given) and, when
// `metrics_dir` is given (ending in "/"), "marvolen.prom" there, from the summary, each in
// place of the old one at once, so that a browser or a collector never reads half a file.
// Both are attempted; throws the first failure. One station writes at a time: one that finds
// another writing marks the lock file and gives back false at once; the writer writes again
// while the summary or that mark moved during its write, and once more if they moved as it
// let go of the lock. Before each such further page it calls `pause` when given, which waits
// as long as the caller wants the pages spaced and gives back false to write no more now (the
// station is stopping). `stopped`, when given, is asked at every record a reading of the whole
// log hands over (a rebuild of the summary, a page from the log): once it says yes the writer
// gives up at once, leaving what is in place, and gives back false. A summary in line is
// brought up to date and the page written whatever `stopped` says: the last call's page.
bool WriteStatusPage(const ReportOptions& options, const std::string& path = {},
                     const std::string& metrics_dir = {}, const std::function<bool()>& pause = {},
                     const std::function<bool()>& stopped = {});

}  // namespace marvolen
