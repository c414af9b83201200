#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>

#include "call/Admission.h"
#include "callrec/CallLog.h"
#include "callrec/Report.h"
#include "tests/callrec/Scratch.h"

namespace marvolen {
namespace {

using test::ReadAll;
using test::ScratchDir;
using test::WriteAll;

constexpr char kNow[] = "2026-12-07T12:00:00.000+00:00";

class ReportTest : public ::testing::Test {
 protected:
  ReportTest() {
    options_.work_dir = dir_.Path();
    options_.now = *ParseIso(kNow);
  }

  // A call of `office` that began `hours_ago` before now.
  void Call(std::optional<int> office, double hours_ago, CallResult result,
            CallReason reason = CallReason::kNone, bool traffic = false,
            std::optional<std::vector<ReportedFile>> files = std::nullopt) {
    CallRecord r;
    r.start = options_.now - Millis(static_cast<long long>(hours_ago * 3600 * 1000));
    r.end = r.start + Millis(60000);
    r.port = 1;
    r.device = "/dev/ttyS0";
    r.office = office;
    r.result = result;
    r.reason = reason;
    r.admitted = result == CallResult::kSuccess || result == CallResult::kAborted;
    r.table_kind = "tbl";
    if (traffic) r.traffic = {{"x.trf", 10}};
    r.office_files = std::move(files);
    AppendCallRecord(dir_.Path() + kCallLogName, r);
  }

  const OfficeStatus& Office(const NetworkReport& report, int n) {
    for (const OfficeStatus& s : report.offices)
      if (s.office == n) return s;
    throw std::runtime_error("office missing");
  }

  ScratchDir dir_;
  ReportOptions options_;
};

TEST_F(ReportTest, CountsPerOfficeOverTheirWindows) {
  Call(7, 200, CallResult::kSuccess, CallReason::kNone, true);  // 8 days ago: not in 7 days
  Call(7, 30, CallResult::kAborted, CallReason::kCarrierLost);
  Call(7, 2, CallResult::kSuccess);
  Call(7, 1, CallResult::kRefused, CallReason::kWrongPassword);
  Call(std::nullopt, 1, CallResult::kNeverIdentified);
  const NetworkReport report = BuildReport(options_);
  ASSERT_EQ(report.offices.size(), 1u);
  const OfficeStatus& s = Office(report, 7);
  EXPECT_EQ(s.calls_7d, 3);
  EXPECT_EQ(s.failures_7d, 2);
  EXPECT_EQ(s.refusals_24h, 1);
  EXPECT_EQ(s.last_result, CallResult::kRefused);
  EXPECT_EQ(s.last_reason, CallReason::kWrongPassword);
  EXPECT_EQ(*s.last_success_ms, *s.last_call_ms - 3600 * 1000);
  EXPECT_EQ(report.records, 5u);
  const std::string text = RenderText(report, options_);
  EXPECT_NE(text.find("refused:wrong_password"), std::string::npos) << text;
  // The status page says it in the station's language.
  const std::string html = RenderHtml(report, options_);
  EXPECT_NE(html.find("<td>rechazada (clave incorrecta)</td>"), std::string::npos) << html;
  EXPECT_EQ(html.find("wrong_password"), std::string::npos) << html;
  // traffic filed 200 h before now minus the call's minute: 8 whole days.
  EXPECT_NE(RenderCsv(report, options_).find(",8,"), std::string::npos);
  int today = 0;
  for (int c : report.daily.at("2026-12-07")) today += c;
  EXPECT_EQ(today, 3);  // the calls 1 and 2 hours ago, and the one that never identified
}

TEST_F(ReportTest, AlertsForSilentOfficesAndPasswordGuessers) {
  std::filesystem::create_directories(dir_.Path() + "loc10");  // never called
  std::filesystem::create_directories(dir_.Path() + "loc1x");  // not an office directory
  Call(7, 2, CallResult::kSuccess);
  Call(9, 40, CallResult::kSuccess);
  for (int i = 0; i < 3; ++i) Call(8, 5 + i, CallResult::kRefused, CallReason::kWrongPassword);
  Call(8, 30, CallResult::kRefused, CallReason::kWrongPassword);  // outside 24 h
  Call(8, 1, CallResult::kSuccess);
  const NetworkReport report = BuildReport(options_);
  EXPECT_EQ(report.offices.size(), 4u);
  EXPECT_EQ(Alerts(report, options_),
            (std::vector<std::string>{"office 8: 3 refusals in the last 24 h (password guessing?)",
                                      "office 9: no completed call for 40 h (last " +
                                          Office(report, 9).last_success_text + ")",
                                      "office 10: no completed call on record"}));
  options_.silent_hours = 48;
  options_.max_refusals = 4;
  EXPECT_EQ(Alerts(report, options_),
            std::vector<std::string>{"office 10: no completed call on record"});

  const std::string html = RenderHtml(report, options_);
  EXPECT_NE(html.find("<svg"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_NE(html.find("class=\"success\""), std::string::npos);
  // Offices in trouble first: 8 (last call fine, but refusals), 9, 10, then 7.
  EXPECT_LT(html.find("<td>10</td>"), html.find("<td>7</td>"));
  // Office 10 never called: the page says so, and why its next delivery is unknown.
  EXPECT_NE(html.find("<td>10</td><td>-</td><td>nunca</td><td>nunca</td><td>-</td>"),
            std::string::npos)
      << html;
  EXPECT_NE(html.find("<td>? (la oficina no informó sus archivos)</td>"), std::string::npos);
  EXPECT_NE(html.find("<th>próxima llamada</th>"), std::string::npos);
  EXPECT_NE(html.find(">sin identificación</text>"), std::string::npos);  // the chart's legend
  EXPECT_NE(RenderText(report, options_).find("never"), std::string::npos);
}

TEST_F(ReportTest, NextDeliveryUsesTheStationsDistribution) {
  const std::string office = dir_.Path() + "loc07/";
  WriteAll(office + "TARIFA.TBL", "tarifa v1");
  WriteAll(office + "ZONAS.TBL", "zonas");
  // A name with a byte Windows-1252 leaves undefined is held in its own bytes.
  WriteAll(office + "A\u0081.TBL", "a");
  const int32_t tarifa = ByteSum(office + "TARIFA.TBL");
  Call(7, 2, CallResult::kSuccess, CallReason::kNone, false,
       std::vector<ReportedFile>{{"A\u0081.TBL", 'a', ".TBL"},
                                 {"TARIFA.TBL", tarifa, ".TBL"},
                                 {"VIEJA.TBL", 3, ".TBL"}});
  NetworkReport report = BuildReport(options_);
  NextDelivery next = Office(report, 7).next;
  ASSERT_TRUE(next.known) << next.why_unknown;
  EXPECT_EQ(next.files, std::vector<std::string>{"ZONAS.TBL"});
  EXPECT_EQ(next.deleted, "tablas\\VIEJA.TBL");

  // A caller with the office's number and a wrong password reports another list: the office
  // does not hold it, and its next call stays as it was.
  Call(7, 1, CallResult::kRefused, CallReason::kWrongPassword, false,
       std::vector<ReportedFile>{{"TARIFA.TBL", tarifa, ".TBL"},
                                 {"ZONAS.TBL", ByteSum(office + "ZONAS.TBL"), ".TBL"}});
  next = Office(BuildReport(options_), 7).next;
  EXPECT_EQ(next.files, std::vector<std::string>{"ZONAS.TBL"});
  EXPECT_EQ(next.deleted, "tablas\\VIEJA.TBL");

  // The operator replaces the master table: the office will get it again.
  WriteAll(office + "TARIFA.TBL", "tarifa v2");
  report = BuildReport(options_);
  next = Office(report, 7).next;
  EXPECT_EQ(next.files, (std::vector<std::string>{"TARIFA.TBL", "ZONAS.TBL"}));
  EXPECT_NE(RenderText(report, options_).find("TARIFA.TBL ZONAS.TBL delete tablas\\VIEJA.TBL"),
            std::string::npos);
  EXPECT_NE(
      RenderHtml(report, options_).find("<td>TARIFA.TBL ZONAS.TBL borrar tablas\\VIEJA.TBL</td>"),
      std::string::npos);
  // The report reads the office's directory and writes nothing there.
  EXPECT_FALSE(std::filesystem::exists(office + "MARVOLEN.TCP"));
}

// The office's list is the one from before the call: what the call delivered and deleted is
// taken into account, in whatever letter case the office's directory is spelled.
TEST_F(ReportTest, NextDeliveryCountsWhatTheLastCallDeliveredAndDeleted) {
  namespace fs = std::filesystem;
  const std::string office = dir_.Path() + "LOC08/";
  WriteAll(office + "TARIFA.TBL", "tarifa");
  WriteAll(office + "ZONAS.TBL", "zonas");
  CallRecord r;
  r.start = options_.now - std::chrono::hours(2);
  r.end = r.start + Millis(60000);
  r.office = 8;
  r.result = CallResult::kSuccess;
  r.admitted = true;
  r.table_kind = "tbl";
  r.office_files = std::vector<ReportedFile>{{"TARIFA.TBL", ByteSum(office + "TARIFA.TBL"), ".TBL"},
                                             {"VIEJA.TBL", 3, ".TBL"}};
  r.files_sent = {{"ZONAS.TBL", "table", 5}};
  r.deleted = "tablas\\VIEJA.TBL";
  r.transfers = {TransferSummary{TransferDirection::kSend, "envio.zip", 300, 3, 128, 0, true, 1,
                                 "Transferencia Ok"}};
  AppendCallRecord(dir_.Path() + kCallLogName, r);
  const auto before_call = std::chrono::file_clock::from_sys(r.start - std::chrono::hours(1));
  for (const char* name : {"TARIFA.TBL", "ZONAS.TBL"})
    fs::last_write_time(office + name, before_call);

  NextDelivery next = Office(BuildReport(options_), 8).next;
  ASSERT_TRUE(next.known) << next.why_unknown;
  EXPECT_TRUE(next.files.empty()) << next.files.front();
  EXPECT_EQ(next.deleted, "");

  // A delivered table whose master was written after the call began goes again.
  fs::last_write_time(office + "ZONAS.TBL",
                      std::chrono::file_clock::from_sys(r.start + Millis(1000)));
  next = Office(BuildReport(options_), 8).next;
  EXPECT_EQ(next.files, std::vector<std::string>{"ZONAS.TBL"});

  // A transfer that failed delivered nothing.
  fs::last_write_time(office + "ZONAS.TBL", before_call);
  r.transfers[0].result = "Transferencia Abortada";
  r.start += Millis(1);
  AppendCallRecord(dir_.Path() + kCallLogName, r);
  next = Office(BuildReport(options_), 8).next;
  EXPECT_EQ(next.files, std::vector<std::string>{"ZONAS.TBL"});
}

TEST_F(ReportTest, OfficeCallsNewestFirstAndBadLinesReported) {
  Call(7, 3, CallResult::kSuccess);
  WriteAll(dir_.Path() + "x", "");
  { std::ofstream(dir_.Path() + kCallLogName, std::ios::app) << "{\"start\":\n"; }
  Call(7, 1, CallResult::kAborted, CallReason::kStall);
  Call(8, 2, CallResult::kSuccess);
  std::vector<uint64_t> bad;
  std::vector<CallRecord> calls;
  ForEachOfficeCall(
      dir_.Path(), 7, [&](uint64_t n, std::string_view) { bad.push_back(n); },
      [](uint64_t counted) { EXPECT_EQ(counted, 2u); },
      [&](const CallRecord& r) { calls.push_back(r); });
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].result, CallResult::kAborted);
  EXPECT_EQ(bad, std::vector<uint64_t>{2});
  const NetworkReport report = BuildReport(options_);
  EXPECT_EQ(report.bad_line_count, 1u);
  ASSERT_EQ(report.bad_lines.size(), 1u);
  EXPECT_EQ(report.bad_lines[0].number, 2u);
}

// Names an office reported and texts of failures it caused reach a terminal or a browser
// escaped: an ESC sequence from a caller never retitles or clears them.
TEST_F(ReportTest, ControlBytesFromTheLogAreShownEscaped) {
  WriteAll(dir_.Path() + "loc07/TARIFA.TBL", "tarifa");
  const std::string name = "VI\x1B]0;x\x07.TBL", shown = "VI\\x1B]0;x\\x07.TBL";
  Call(7, 2, CallResult::kSuccess, CallReason::kNone, false,
       std::vector<ReportedFile>{{"TARIFA.TBL", ByteSum(dir_.Path() + "loc07/TARIFA.TBL"), ".TBL"},
                                 {name, 3, ".TBL"}});
  CallRecord r;
  r.detail =
      "ERROR de descompresión: \x9B"
      "2J.trf";
  r.deleted = "tablas\\" + name;
  const NetworkReport report = BuildReport(options_);
  for (const std::string& out : {RenderText(report, options_), RenderCsv(report, options_),
                                 RenderHtml(report, options_), RenderOfficeCall(r)}) {
    EXPECT_NE(out.find("tablas\\" + shown), std::string::npos) << out;
    EXPECT_EQ(out.find_first_of("\x1B\x07\x9B"), std::string::npos) << out;
  }
  EXPECT_NE(RenderOfficeCall(r).find("(ERROR de descompresión: \\x9B2J.trf)"), std::string::npos);
}

// `--office` on a log far larger than the bound, the office's calls all through it: the
// program's peak memory stays under 64 MB, and every call comes, newest first.
TEST_F(ReportTest, OfficeCallsOfABigLogStayInBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__)
  constexpr size_t kLogBytes = 2 << 20;  // the sanitizer keeps freed memory: order only
#else
  constexpr size_t kLogBytes = 64 << 20;
#endif
  CallRecord r;
  r.result = CallResult::kSuccess;
  r.office_files.emplace(40, ReportedFile{"TARIFA.TBL", 1000, ".TBL"});
  std::vector<std::string> expected;  // office 7's calls as shown, oldest first
  {
    std::ofstream log(dir_.Path() + kCallLogName, std::ios::binary);
    log << std::string(3 << 20, 'x') << "\n";  // one overlong line
    for (size_t bytes = 0, i = 0; bytes < kLogBytes; ++i) {
      r.start = options_.now - std::chrono::minutes(1000000 - i);
      r.end = r.start + Millis(30000);
      r.office = i % 10 == 9 ? 8 : 7;
      const std::string line = RecordToJson(r) + "\n";
      const bool cut = i % 5000 == 1;
      log << (cut ? line.substr(0, 40) + "\n" : line);
      if (!cut && r.office == 7) expected.push_back(RenderOfficeCall(r));
      bytes += line.size();
    }
  }
  const std::string out = dir_.Path() + "out.txt";
  ASSERT_EQ(std::system((std::string(REPORT_BIN) + " -C " + dir_.Path() + " --office 7 >" + out +
                         " 2>/dev/null")
                            .c_str()),
            0);
  rusage usage{};  // of the largest process this test waited for: the report
  getrusage(RUSAGE_CHILDREN, &usage);
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(usage.ru_maxrss, 64 * 1024) << "peak kB";
#endif
  std::string want = RenderOfficeHeading(7, expected.size());
  for (auto call = expected.rbegin(); call != expected.rend(); ++call) want += *call;
  EXPECT_TRUE(ReadAll(out) == want) << "not every call, or not newest first";
}

int RunReport(const std::string& args) {
  const int status =
      std::system((std::string(REPORT_BIN) + " " + args + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ReportTest, CheckExitsOneOnAnAlertOnly) {
  Call(7, 2, CallResult::kSuccess);
  const std::string base = "-C " + dir_.Path() + " --now " + kNow + " --check";
  EXPECT_EQ(RunReport(base), 0);
  Call(9, 40, CallResult::kSuccess);
  EXPECT_EQ(RunReport(base), 1);
  EXPECT_EQ(RunReport(base + " --silent-hours 48"), 0);
  EXPECT_EQ(RunReport("--silent-hours 48"), 2);  // only with --check
  EXPECT_EQ(RunReport("-C " + dir_.Path() + " --html " + dir_.Path() + "page.html"), 0);
  EXPECT_NE(ReadAll(dir_.Path() + "page.html").find("</svg>"), std::string::npos);
  WriteStatusPage(options_);
  EXPECT_NE(ReadAll(dir_.Path() + "estado.html").find("<td>9</td>"), std::string::npos);
}

}  // namespace
}  // namespace marvolen
