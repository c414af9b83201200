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

#include "callrec/CallLog.h"
#include "callrec/CallRecord.h"

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

struct OfficeStatus {
  int office = 0;
  bool has_dir = false;
  std::optional<long long> last_call_ms, last_success_ms, last_traffic_ms;
  std::string last_call_text, last_success_text;  // as recorded, local time
  CallResult last_result = CallResult::kNeverIdentified;
  CallReason last_reason = CallReason::kNone;
  int last_port = 0;
  std::string last_device;
  int calls_7d = 0, failures_7d = 0, refusals_24h = 0;
  NextDelivery next;
  std::string last_identified;  // the last record holding the office's file list (JSON)
  long long last_identified_ms = 0;

  bool Silent(const ReportOptions& o) const;
  bool Guessed(const ReportOptions& o) const;
  // In trouble: an alert, or the last call did not succeed.
  bool InTrouble(const ReportOptions& o) const;
};

struct BadLine {
  uint64_t number = 0;
  std::string why;
};

// Calls per local day by result, for the last 30 days; key "YYYY-MM-DD".
using DailyCounts = std::map<std::string, std::array<int, 4>>;

struct NetworkReport {
  std::vector<OfficeStatus> offices;  // by office number
  DailyCounts daily;
  uint64_t records = 0;
  std::vector<BadLine> bad_lines;  // the first few; bad_line_count has them all
  uint64_t bad_line_count = 0;
};

// Reads everything; `with_delivery` also surveys each office's files for its next delivery.
// Throws CallLogError when the log exists but cannot be read.
NetworkReport BuildReport(const ReportOptions& options, bool with_delivery = true);

// One office's calls, newest first, in memory bounded whatever the log's size. A first pass
// over the log counts them and hands each damaged line to `bad`, in order; then `counted`
// gets the number, and a second pass from the end of what the first read, backwards, hands
// the calls to `sink` one at a time. One office is served by one line at a time, so the log's
// order (that in which calls ended) is that of their starts: the last line is the newest call.
void ForEachOfficeCall(const std::string& work_dir, int office, const BadLineSink& bad,
                       const std::function<void(uint64_t calls)>& counted,
                       const std::function<void(const CallRecord&)>& sink);

// One alert per line: silent offices and offices with too many refusals.
std::vector<std::string> Alerts(const NetworkReport& report, const ReportOptions& options);

// The outputs leave the bad lines out: the program reports them on standard error. Every text
// from the log (names an office reported, error texts) has its control bytes escaped as the
// log view shows them, so that a caller's bytes never reach a terminal as commands; JSON
// escapes them by its own rules.
std::string RenderText(const NetworkReport& report, const ReportOptions& options);
std::string RenderCsv(const NetworkReport& report, const ReportOptions& options);
std::string RenderJson(const NetworkReport& report, const ReportOptions& options);
std::string RenderHtml(const NetworkReport& report, const ReportOptions& options);
// `--office`: a heading with the number of calls, then each call with what it moved.
std::string RenderOfficeHeading(int office, uint64_t calls);
std::string RenderOfficeCall(const CallRecord& call);

// Rewrites the status page ("estado.html" in the working directory, unless `path` is given)
// in place of the old one at once, so a browser never reads half a page. Throws on failure.
void WriteStatusPage(const ReportOptions& options, const std::string& path = {});

}  // namespace marvolen
