#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "call/Admission.h"
#include "callrec/CallLog.h"
#include "callrec/Report.h"
#include "callrec/StatusSummary.h"
#include "platform/FileLock.h"
#include "platform/ShownText.h"
#include "records/OfficeParamFile.h"
#include "tests/callrec/Scratch.h"
#include "zip/Codec.h"

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
    AppendCallRecord(dir_.Path() + kCallLogName,
                     Rec(office, hours_ago, result, reason, traffic, std::move(files)));
  }
  CallRecord Rec(std::optional<int> office, double hours_ago, CallResult result,
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
    return r;
  }

  // Writes the line's state file: `state` since an hour ago, the heartbeat `minutes_ago`.
  void Line(const std::string& name, const char* state, const std::string& reason = "",
            int minutes_ago = 0) {
    LineStatus s;
    s.line = name;
    s.device = "/dev/ttyS0";
    s.state = state;
    s.reason = reason;
    s.since = options_.now - std::chrono::hours(1);
    s.heartbeat = options_.now - std::chrono::minutes(minutes_ago);
    WriteLineStatus(dir_.Path(), s);
  }

  static std::string Cell(const std::string& column, const std::string& text) {
    return "data-label=\"" + column + "\">" + text + "</td>";
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
  EXPECT_NE(html.find(Cell("resultado", "rechazada (clave incorrecta)")), std::string::npos)
      << html;
  EXPECT_EQ(html.find("wrong_password"), std::string::npos) << html;
  // traffic filed 200 h before now minus the call's minute: 8 whole days.
  EXPECT_NE(RenderCsv(report, options_).find(",8,"), std::string::npos);
  int today = 0;
  for (int c : report.daily.at("2026-12-07")) today += c;
  EXPECT_EQ(today, 3);  // the calls 1 and 2 hours ago, and the one that never identified
}

TEST_F(ReportTest, AlertsForSilentOfficesAndPasswordGuessers) {
  for (const char* office : {"loc07", "loc08", "loc09", "loc10"})  // 10 never called
    std::filesystem::create_directories(dir_.Path() + office);
  std::filesystem::create_directories(dir_.Path() + "loc1x");  // not an office directory
  Call(7, 2, CallResult::kSuccess);
  Call(9, 40, CallResult::kSuccess);
  for (int i = 0; i < 3; ++i) Call(8, 5 + i, CallResult::kRefused, CallReason::kWrongPassword);
  Call(8, 30, CallResult::kRefused, CallReason::kWrongPassword);  // outside 24 h
  Call(8, 1, CallResult::kSuccess);
  // Someone trying numbers the station has no directory for: refusals too.
  for (int i = 0; i < 3; ++i) Call(4321, 2 + i, CallResult::kRefused, CallReason::kUnknownOffice);
  const NetworkReport report = BuildReport(options_);
  EXPECT_EQ(report.offices.size(), 5u);
  EXPECT_EQ(Office(report, 4321).refusals_24h, 3);
  const auto texts = [&] {
    std::vector<std::string> out;
    for (const Alert& a : Alerts(report, options_))
      out.push_back(std::string(CheckStatusName(a.status)) + " " + a.text);
    return out;
  };
  EXPECT_EQ(texts(), (std::vector<std::string>{
                         "WARNING oficina 8: 3 rechazos en 24 h (¿alguien prueba claves?)",
                         "WARNING oficina 9: sin llamada desde hace 40 h (última " +
                             Office(report, 9).last_success_text.substr(0, 10) + " " +
                             Office(report, 9).last_success_text.substr(11, 5) + ")",
                         "WARNING oficina 10: ninguna llamada completada",
                         "WARNING oficina 4321: oficina desconocida (no hay directorio loc4321)",
                         "WARNING oficina 4321: 3 rechazos en 24 h (¿alguien prueba claves?)"}));
  options_.silent_hours = 19;  // 40 h is more than twice that: lost, not late
  EXPECT_EQ(texts()[1].substr(0, 21), "CRITICAL oficina 9: s");
  options_.silent_hours = 48;
  options_.max_refusals = 4;
  EXPECT_EQ(texts(), (std::vector<std::string>{
                         "WARNING oficina 10: ninguna llamada completada",
                         "WARNING oficina 4321: oficina desconocida (no hay directorio loc4321)"}));

  const std::string html = RenderHtml(report, options_);
  EXPECT_NE(html.find("<svg"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_NE(html.find("class=\"success\""), std::string::npos);
  // Offices in trouble first: 8 (last call fine, but refusals), 9, 10, then 7.
  EXPECT_LT(html.find(Cell("oficina", "10")), html.find(Cell("oficina", "7")));
  // Office 10 never called: the page says so, and why its next delivery is unknown.
  EXPECT_NE(html.find(Cell("oficina", "10") + "<td " + Cell("línea", "-") + "<td " +
                      Cell("última llamada", "nunca") + "<td " + Cell("último éxito", "nunca") +
                      "<td " + Cell("resultado", "-")),
            std::string::npos)
      << html;
  EXPECT_NE(html.find(Cell("próxima llamada", "? (la oficina no informó sus archivos)")),
            std::string::npos);
  EXPECT_NE(html.find("<th>próxima llamada</th>"), std::string::npos);
  EXPECT_NE(html.find("</span>sin identificación"), std::string::npos);  // the chart's legend
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
       std::vector<ReportedFile>{
           {"A\u0081.TBL", 'a', ".TBL"}, {"TARIFA.TBL", tarifa, ".TBL"}, {"VIEJA.TBL", 3, ".TBL"}});
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
  EXPECT_NE(RenderHtml(report, options_)
                .find(Cell("próxima llamada", "TARIFA.TBL ZONAS.TBL borrar tablas\\VIEJA.TBL")),
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
      dir_.Path(), 7, [&](const BadLine& b) { bad.push_back(b.number); },
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
  std::filesystem::create_directories(dir_.Path() + "loc07");
  Call(7, 2, CallResult::kSuccess);
  const std::string base = "-C " + dir_.Path() + " --now " + kNow + " --check";
  EXPECT_EQ(RunReport(base), 0);
  std::filesystem::create_directories(dir_.Path() + "loc09");
  Call(9, 40, CallResult::kSuccess);
  EXPECT_EQ(RunReport(base), 1);
  EXPECT_EQ(RunReport(base + " --silent-hours 48"), 0);
  EXPECT_EQ(RunReport("--silent-hours 48"), 2);  // only with --check
  EXPECT_EQ(RunReport("-C " + dir_.Path() + " --html " + dir_.Path() + "page.html"), 0);
  EXPECT_NE(ReadAll(dir_.Path() + "page.html").find("</svg>"), std::string::npos);
  WriteStatusPage(options_);
  EXPECT_NE(ReadAll(dir_.Path() + "estado.html").find(Cell("oficina", "9")), std::string::npos);
}

// The page an operator keeps open: the lines first, a summary, why each office is in trouble,
// its transcripts, times to the second and numbers grouped as they are read.
TEST_F(ReportTest, PageShowsLinesTroubleInWordsAndTranscripts) {
  for (const char* d : {"loc07", "loc08", "loc09"})
    std::filesystem::create_directories(dir_.Path() + d);
  LineStatus call;
  call.line = "com1";
  call.state = kLineInCall;
  call.office = 7;
  call.step = "recibiendo tráfico";
  call.bytes_sent = 1234567;
  call.since = call.heartbeat = options_.now - Millis(1500);
  WriteLineStatus(dir_.Path(), call);
  Line("com2", kLineDown, "No such file or directory");
  CallRecord seen = Rec(9, 40, CallResult::kSuccess), gone = seen, unsafe = seen;
  seen.transcript = "calls/2026-12-05/200000-loc09.txt";
  gone.transcript = "calls/2026-12-05/200100-loc09.txt";  // aged away
  unsafe.transcript = "calls/../secreto.txt";             // there, but no name the recorder gives
  WriteAll(dir_.Path() + seen.transcript, "x");
  WriteAll(dir_.Path() + "secreto.txt", "x");
  for (const CallRecord& r : {gone, seen, unsafe}) AppendCallRecord(dir_.Path() + kCallLogName, r);
  for (int i = 0; i < 3; ++i) Call(8, 5 + i, CallResult::kRefused, CallReason::kWrongPassword);
  Call(8, 1, CallResult::kSuccess);
  {
    std::ofstream log(dir_.Path() + kCallLogName, std::ios::app);
    for (int i = 0; i < 1200; ++i) log << RecordToJson(Rec(7, 1, CallResult::kSuccess)) << "\n";
  }

  const std::string html = RenderHtml(BuildReport(options_), options_);
  EXPECT_NE(html.find("<meta http-equiv=\"refresh\" content=\"60\">"), std::string::npos);
  EXPECT_NE(html.find("viewBox=\"0 0 "), std::string::npos);
  EXPECT_NE(
      html.find(">3 oficinas: 1 en orden, 2 con problemas &middot; 1 de 2 líneas en servicio<"),
      std::string::npos)
      << html;
  EXPECT_NE(html.find(ShownTime(options_.now) + " &middot; 1.207 llamadas registradas"),
            std::string::npos);
  EXPECT_EQ(html.find(".000"), std::string::npos);  // no milliseconds anywhere
  const size_t lines = html.find("id=\"lines\""), offices = html.find("id=\"offices\"");
  EXPECT_LT(lines, offices);
  for (const std::string& shown :
       {Cell("estado", "en llamada con la oficina 7: recibiendo tráfico"),
        Cell("bytes enviados / recibidos", "1.234.567 / 0"), Cell("desde", ShownTime(call.since)),
        Cell("estado", "caída: No such file or directory"),
        Cell("avisos", "sin llamada desde hace 40 h"), Cell("avisos", "3 rechazos en 24 h"),
        Cell("transcripciones",
             "<a href=\"calls/2026-12-05/200000-loc09.txt\">12-05 20:00:00</a>")}) {
    EXPECT_LT(html.find(shown), std::string::npos) << shown;
  }
  EXPECT_EQ(html.find("200100-loc09"), std::string::npos);
  EXPECT_EQ(html.find("secreto"), std::string::npos);
  // A heartbeat gone quiet says so, whatever state the file last held.
  Line("com1", kLineWaiting, "", 10);
  EXPECT_NE(RenderHtml(BuildReport(options_), options_)
                .find(Cell("estado", "sin noticias desde hace 10 min (la estación no responde)")),
            std::string::npos);
}

// An office served on the other line at that moment is refused as busy: no sign of a guesser,
// and its real call stays its last one.
TEST_F(ReportTest, BusyRefusalsAreNotFailuresNorGuessing) {
  std::filesystem::create_directories(dir_.Path() + "loc07");
  Call(7, 2, CallResult::kSuccess);
  for (int i = 0; i < 4; ++i) Call(7, 1, CallResult::kRefused, CallReason::kInCallOnOtherLine);
  const NetworkReport report = BuildReport(options_);
  const OfficeStatus& s = Office(report, 7);
  EXPECT_EQ(s.calls_7d, 5);
  EXPECT_EQ(s.failures_7d, 0);
  EXPECT_EQ(s.refusals_24h, 0);
  EXPECT_EQ(s.last_result, CallResult::kSuccess);
  EXPECT_FALSE(s.InTrouble(options_));
  EXPECT_TRUE(Alerts(report, options_).empty());
}

// Writes `text` as a gzip file, as logrotate's compression leaves it.
void WriteGz(const std::string& path, const std::string& text) {
  gzFile gz = gzopen(path.c_str(), "wb");
  ASSERT_NE(gz, nullptr);
  ASSERT_EQ(gzwrite(gz, text.data(), static_cast<unsigned>(text.size())),
            static_cast<int>(text.size()));
  ASSERT_EQ(gzclose(gz), Z_OK);
}

// What logrotate leaves (delaycompress: ".1" plain, older ones compressed) is read, oldest
// first; a file being compressed is read once; other names are not the log's.
TEST_F(ReportTest, RotatedLogsAreReadOldestFirst) {
  const auto line = [&](double hours_ago, CallResult result) {
    return RecordToJson(Rec(7, hours_ago, result)) + "\n";
  };
  const std::string log = dir_.Path() + kCallLogName;
  WriteGz(log + ".3.gz", line(50, CallResult::kSuccess));
  WriteGz(log + ".2.gz", line(40, CallResult::kRefused));
  WriteAll(log + ".2", line(40, CallResult::kRefused));  // still being compressed
  WriteAll(log + ".1", line(30, CallResult::kAborted));
  WriteAll(log + ".old", "not a record\n");
  WriteAll(log + ".01", "not a record\n");
  Call(7, 20, CallResult::kSuccess);
  const NetworkReport report = BuildReport(options_);
  EXPECT_EQ(report.records, 4u);
  EXPECT_EQ(report.bad_line_count, 0u);
  std::vector<std::string> seen;
  ForEachOfficeCall(
      dir_.Path(), 7, [](const BadLine& b) { ADD_FAILURE() << b.file << b.why; },
      [](uint64_t calls) { EXPECT_EQ(calls, 4u); },
      [&](const CallRecord& r) { seen.push_back(std::string(ResultName(r.result))); });
  EXPECT_EQ(seen, (std::vector<std::string>{"success", "aborted", "refused", "success"}));

  // A compressed file cut short is an unreadable log, not a shorter history.
  const std::string whole = ReadAll(log + ".3.gz");
  WriteAll(log + ".4.gz", whole.substr(0, whole.size() - 6));
  try {
    BuildReport(options_);
    ADD_FAILURE() << "read";
  } catch (const CallLogError& e) {
    // zlib's code, and the station's words for it rather than zlib's English.
    EXPECT_EQ(e.code(), std::error_code(Z_BUF_ERROR, ZlibCategory()));
    EXPECT_EQ(std::string(e.what()), "No se puede leer " + log +
                                         ".4.gz: archivo comprimido dañado (datos comprimidos "
                                         "incompletos)");
  }
}

// The exposition format, checked strictly: HELP and TYPE once per family before its samples,
// names and labels well formed and escaped, no series twice, counters not negative, histogram
// buckets rising, cumulative and closed by +Inf equal to the count. Gives each sample's value by
// its series, or fails the test.
std::map<std::string, double> ParseExposition(const std::string& text) {
  static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) \S.*)");
  static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram))");
  static const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (\S+))");
  static const std::regex label(R"(([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)\"(,|$))");
  std::map<std::string, double> values;
  std::set<std::string> families;
  std::string family, kind;
  bool typed = false;
  double last_le = -1, last_bucket = 0;
  std::istringstream in(text);
  EXPECT_TRUE(text.empty() || text.back() == '\n');
  for (std::string line; std::getline(in, line);) {
    EXPECT_EQ(ShownText(line), line) << "not UTF-8, or a control character";
    std::smatch m;
    if (std::regex_match(line, m, help)) {
      EXPECT_TRUE(families.insert(m[1]).second) << "family twice: " << line;
      family = m[1];
      typed = false;
      last_le = -1;
    } else if (std::regex_match(line, m, type)) {
      EXPECT_EQ(m[1], family) << line;
      EXPECT_FALSE(typed) << line;
      typed = true;
      kind = m[2];
      if (kind == "counter") {
        EXPECT_TRUE(family.ends_with("_total")) << line;
      }
    } else if (std::regex_match(line, m, sample)) {
      EXPECT_TRUE(typed) << "sample before its TYPE: " << line;
      const std::string name = m[1];
      const std::string suffix = name.substr(std::min(name.size(), family.size()));
      EXPECT_TRUE(
          name.starts_with(family) &&
          (suffix.empty() || (kind == "histogram" &&
                              (suffix == "_bucket" || suffix == "_sum" || suffix == "_count"))))
          << line;
      std::map<std::string, std::string> labels;
      std::string rest = m[3];
      for (std::smatch l; !rest.empty();) {
        if (!std::regex_search(rest, l, label) || l.position(0) != 0) {
          ADD_FAILURE() << "label: " << line;
          return values;
        }
        EXPECT_TRUE(labels.emplace(l[1], l[2]).second) << line;
        rest = l.suffix();
      }
      std::string value_text = m[4];
      char* end = nullptr;
      const double value = value_text == "+Inf" ? INFINITY : std::strtod(value_text.c_str(), &end);
      EXPECT_TRUE(value_text == "+Inf" || (end && *end == 0)) << line;
      if (kind == "counter" || suffix == "_bucket" || suffix == "_count") {
        EXPECT_GE(value, 0) << line;
      }
      if (suffix == "_bucket") {
        EXPECT_TRUE(labels.count("le")) << line;
        const double le =
            labels["le"] == "+Inf" ? INFINITY : std::strtod(labels["le"].c_str(), nullptr);
        EXPECT_GT(le, last_le) << line;
        EXPECT_GE(value, last_bucket) << line;
        last_le = le;
        last_bucket = value;
      }
      if (suffix == "_count") {
        EXPECT_EQ(last_le, INFINITY) << "no +Inf bucket: " << line;
        EXPECT_EQ(value, last_bucket) << line;
      }
      std::string series = name + "{";
      for (const auto& [k, v] : labels) series += k + "=" + v + ",";
      EXPECT_TRUE(values.emplace(series + "}", value).second) << "series twice: " << line;
    } else {
      ADD_FAILURE() << "not the exposition format: " << line;
    }
  }
  return values;
}

TEST_F(ReportTest, MetricsAreStrictExpositionFormatFromTheLogAndTheLines) {
  CallRecord a = Rec(7, 2, CallResult::kSuccess);
  a.line_name = "norte";
  a.end = a.start + Millis(45500);
  a.transfers = {
      TransferSummary{TransferDirection::kSend, "envio.zip", 300, 3, 128, 0, true, 1, "ok"},
      TransferSummary{TransferDirection::kReceive, "recibo.zip", 2000, 2, 1024, 0, true, 1, "ok"}};
  AppendCallRecord(dir_.Path() + kCallLogName, a);
  a.end = a.start + Millis(4000);
  AppendCallRecord(dir_.Path() + kCallLogName, a);
  Call(8, 1, CallResult::kRefused, CallReason::kWrongPassword);  // no line name: port 1's
  CallRecord odd = Rec(std::nullopt, 1, CallResult::kNeverIdentified);
  odd.line_name = "x\"y\\";  // no such name is ever given; escaped all the same
  AppendCallRecord(dir_.Path() + kCallLogName, odd);
  LineStatus busy;
  busy.line = "norte";
  busy.state = kLineInCall;
  busy.heartbeat = options_.now;
  WriteLineStatus(dir_.Path(), busy);
  Line("sur", kLineDown, "sin \"módem\"\\");
  // A line's name taken from a file name, which no setting checked: never raw in a label.
  std::filesystem::copy_file(dir_.Path() + "lines/sur.json", dir_.Path() + "lines/\xFF\xFE.json");
  const std::string metrics_dir = dir_.Path() + "textfile/";
  std::filesystem::create_directories(metrics_dir);
  WriteStatusPage(options_, {}, metrics_dir);
  const std::string text = ReadAll(metrics_dir + kMetricsName);
  const auto v = ParseExposition(text);
  const std::map<std::string, double> expected{
      {"marvolen_calls_total{line=norte,result=success,}", 2},
      {"marvolen_calls_total{line=norte,result=refused,}", 0},
      {"marvolen_calls_total{line=com1,result=refused,}", 1},
      {"marvolen_calls_total{line=x\\\"y\\\\,result=never_identified,}", 1},
      {"marvolen_calls_total{line=sur,result=aborted,}", 0},
      {"marvolen_line_up{line=norte,}", 1},
      {"marvolen_line_up{line=sur,}", 0},
      {"marvolen_line_up{line=\\\\xFF\\\\xFE,}", 0},
      {"marvolen_call_in_progress{line=norte,}", 1},
      {"marvolen_call_in_progress{line=sur,}", 0},
      {"marvolen_office_last_success_timestamp_seconds{office=7,}",
       static_cast<double>(
           std::chrono::duration_cast<std::chrono::seconds>(a.start.time_since_epoch()).count())},
      {"marvolen_transfer_bytes_total{direction=sent,line=norte,}", 600},
      {"marvolen_transfer_bytes_total{direction=received,line=norte,}", 4000},
      {"marvolen_call_duration_seconds_bucket{le=5,}", 1},
      {"marvolen_call_duration_seconds_bucket{le=60,}", 4},
      {"marvolen_call_duration_seconds_count{}", 4},
      {"marvolen_call_duration_seconds_sum{}", 169.5}};
  for (const auto& [series, value] : expected) {
    ASSERT_TRUE(v.count(series)) << series << " missing from\n" << text;
    EXPECT_EQ(v.at(series), value) << series;
  }
  EXPECT_EQ(v.count("marvolen_office_last_success_timestamp_seconds{office=8,}"), 0u);
  EXPECT_TRUE(std::filesystem::exists(dir_.Path() + "estado.html"));
  // The parser itself refuses what a collector would.
  EXPECT_NONFATAL_FAILURE(
      ParseExposition("# HELP a_total x\n# TYPE a_total counter\na_total{l=\"\"\"} 1\n"), "label");
}

// Runs marvolen-report with `args`; its standard output and error go to `out`.
int RunReportOut(const std::string& args, std::string& out, const std::string& scratch) {
  const std::string file = scratch + "check.out";
  const int status =
      std::system((std::string(REPORT_BIN) + " " + args + " >" + file + " 2>&1").c_str());
  out = ReadAll(file);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// --check as a monitoring plugin: one status line with performance data, the alerts after it,
// the worst first; exit 0, 1, 2, or 3 when it cannot tell.
TEST_F(ReportTest, CheckSpeaksTheMonitoringPluginsLanguage) {
  namespace fs = std::filesystem;
  fs::create_directories(dir_.Path() + "loc07");
  fs::create_directories(dir_.Path() + "loc09");
  struct Case {
    std::function<void()> setup;
    std::string args;
    int exit;
    std::string first_line;  // its start
    std::string holds;       // somewhere after it
  };
  const std::vector<Case> cases{
      {[&] {
         Call(7, 2, CallResult::kSuccess);
         Call(9, 3, CallResult::kSuccess);
         Line("com1", kLineWaiting);
       },
       "", 0, "MARVOLEN OK - 2 oficinas, 1 línea en servicio | oficinas=2 alertas=0 ", ""},
      // A damaged line is counted, not told on every run: cron would mail it for ever.
      {[&] { std::ofstream(dir_.Path() + kCallLogName, std::ios::app) << "{\"start\":\n"; },
       "--quiet", 0, "", ""},
      {[&] {
         for (int i = 0; i < 3; ++i)
           Call(7, 1, CallResult::kRefused, CallReason::kInCallOnOtherLine);
       },
       "", 0, "MARVOLEN OK - ", ""},
      {[&] { Call(12, 1, CallResult::kRefused, CallReason::kBadOfficeNumber); }, "", 1,
       "MARVOLEN WARNING - 3 oficinas, 1 línea en servicio, 1 alerta | ",
       "\nWARNING: oficina 12: oficina desconocida (no hay directorio loc12)\n"},
      {[&] { Line("com2", kLineDown, "No such file or directory"); }, "--quiet", 2,
       "MARVOLEN CRITICAL - 3 oficinas, 1 de 2 líneas en servicio, 2 alertas | ",
       "\nCRITICAL: línea com2: caída: No such file or directory desde " +
           ShownTime(options_.now - std::chrono::hours(1)) + "\n"},
      {[&] {
         fs::remove(LineStatusPath(dir_.Path(), "com2"));
         Line("com1", kLineWaiting, "", 10);
       },
       "", 2, "MARVOLEN CRITICAL - 3 oficinas, 0 de 1 línea en servicio",
       "\nCRITICAL: línea com1: sin noticias desde hace 10 min"},
      {[&] { Line("com1", kLineStopped); }, "", 1, "MARVOLEN WARNING - ",
       "WARNING: línea com1: detenida"},
      {[&] { Line("com1", kLineWaiting); }, "--silent-hours 1", 2, "MARVOLEN CRITICAL - ",
       "CRITICAL: oficina 9: sin llamada desde hace 3 h"},
      {[] {}, "--silent-hours 2", 1, "MARVOLEN WARNING - ",
       "WARNING: oficina 9: sin llamada desde hace 3 h"},
      {[] {}, "--silent-hours 0", 3, "MARVOLEN UNKNOWN - --silent-hours: entre 1 y 8784 horas\n",
       ""},
      {[] {}, "--max-refusals 1001", 3, "MARVOLEN UNKNOWN - --max-refusals: entre 1 y 1000\n", ""},
      {[] {}, "--silent-hours x", 3, "MARVOLEN UNKNOWN - opción no válida: ", ""},
      {[] {}, "--bogus", 3, "MARVOLEN UNKNOWN - opción no válida: ", ""},
      {[] {}, "-C " + dir_.Path() + "nonexistent", 3,
       "MARVOLEN UNKNOWN - el directorio de trabajo " + dir_.Path() + "nonexistent/ no existe", ""},
      {[&] { fs::create_directories(dir_.Path() + "calls.jsonl.1"); }, "", 3,
       "MARVOLEN UNKNOWN - No se lee " + dir_.Path() + "calls.jsonl.1: no es un archivo regular\n",
       ""},
  };
  for (const Case& c : cases) {
    c.setup();
    std::string out;
    const std::string dir = c.args.starts_with("-C ") ? "" : "-C " + dir_.Path() + " ";
    EXPECT_EQ(RunReportOut(dir + "--now " + kNow + " --check " + c.args, out, dir_.Path()), c.exit)
        << c.args << "\n"
        << out;
    EXPECT_EQ(out.substr(0, c.first_line.size()), c.first_line) << c.args;
    if (c.first_line.empty()) {
      EXPECT_EQ(out, "") << "--quiet on OK says nothing";
    }
    EXPECT_EQ(std::count(out.begin(), out.begin() + static_cast<long>(out.find('\n') + 1), '|'),
              c.exit == 3 || out.empty() ? 0 : 1)
        << out;
    EXPECT_NE(out.find(c.holds), std::string::npos) << c.args << "\n" << out;
  }
  // Without --check a missing directory is an error too, not an empty network.
  EXPECT_EQ(RunReport("-C " + dir_.Path() + "nonexistent"), 2);
}

// Every field the page and the metrics show, office by office: the summary beside the log
// must say what the whole log says.
void ExpectSame(const NetworkReport& log, const NetworkReport& summary, const ReportOptions& o) {
  EXPECT_EQ(summary.records, log.records);
  EXPECT_EQ(summary.bad_line_count, log.bad_line_count);
  EXPECT_EQ(summary.daily, log.daily);
  ASSERT_EQ(summary.line_calls.size(), log.line_calls.size());
  for (const auto& [name, counts] : log.line_calls) {
    ASSERT_TRUE(summary.line_calls.count(name)) << name;
    EXPECT_EQ(summary.line_calls.at(name).calls, counts.calls) << name;
    EXPECT_EQ(summary.line_calls.at(name).bytes_sent, counts.bytes_sent) << name;
  }
  EXPECT_EQ(summary.durations.at_most, log.durations.at_most);
  EXPECT_DOUBLE_EQ(summary.durations.sum, log.durations.sum);
  ASSERT_EQ(summary.offices.size(), log.offices.size());
  for (size_t i = 0; i < log.offices.size(); ++i) {
    const OfficeStatus &a = log.offices[i], &b = summary.offices[i];
    SCOPED_TRACE("office " + std::to_string(a.office));
    EXPECT_EQ(b.office, a.office);
    EXPECT_EQ(b.has_dir, a.has_dir);
    EXPECT_EQ(b.last_call_ms, a.last_call_ms);
    EXPECT_EQ(b.last_call_text, a.last_call_text);
    EXPECT_EQ(b.last_result, a.last_result);
    EXPECT_EQ(b.last_reason, a.last_reason);
    EXPECT_EQ(b.last_device, a.last_device);
    EXPECT_EQ(b.last_success_ms, a.last_success_ms);
    EXPECT_EQ(b.last_traffic_ms, a.last_traffic_ms);
    EXPECT_EQ(b.calls_7d, a.calls_7d);
    EXPECT_EQ(b.failures_7d, a.failures_7d);
    EXPECT_EQ(b.refusals_24h, a.refusals_24h);
    EXPECT_EQ(b.transcripts, a.transcripts);
    EXPECT_EQ(b.next.known, a.next.known);
    EXPECT_EQ(b.next.why_unknown, a.next.why_unknown);
    EXPECT_EQ(b.next.files, a.next.files);
    EXPECT_EQ(b.next.deleted, a.next.deleted);
    EXPECT_EQ(b.TroubleReasons(o), a.TroubleReasons(o));
  }
}

// The log of a working directory, read in rounds: `before_round` runs before each reading
// after the first, as another station or logrotate would act meanwhile.
class RoundsStore final : public CallStore {
 public:
  explicit RoundsStore(const std::string& work_dir) : log_(work_dir) {}

  void Append(const CallRecord& record) override { log_.Append(record); }
  StoreMark Scan(const CallFilter& filter, const CallSink& sink,
                 const BadRecordSink& bad) const override {
    rounds = 1;
    return log_.Scan(filter, sink, bad);
  }
  std::optional<StoreMark> ScanUpTo(const StoreMark& mark, const CallFilter& filter,
                                    const CallSink& sink, const BadRecordSink& bad) const override {
    ++rounds;
    if (before_round) before_round();
    return log_.ScanUpTo(mark, filter, sink, bad);
  }
  StoreMark End() const override { return log_.End(); }
  std::optional<StoreMark> ScanSince(const StoreMark& since, const StoreMark& until,
                                     const CallFilter& filter, const CallSink& sink,
                                     const BadRecordSink& bad) const override {
    return log_.ScanSince(since, until, filter, sink, bad);
  }
  void ScanNewestFirst(const CallFilter& filter, const BadRecordSink& bad,
                       const std::function<void(uint64_t calls)>& counted,
                       const std::function<void(const CallRecord&)>& sink) const override {
    log_.ScanNewestFirst(filter, bad, counted, sink);
  }
  std::optional<CallRecord> LatestAdmitted(int office) const override {
    return log_.LatestAdmitted(office);
  }

  std::function<void()> before_round;
  mutable int rounds = 0;

 private:
  JsonLinesCallStore log_;
};

// A generated history of several lines, offices with and without directories and tables,
// every result, busy refusals, wrong passwords reporting other lists, transcripts, traffic, a
// damaged line, a record half written when a summary is updated and one rotation: the summary,
// brought in line call after call as the stations do, agrees with the report on every office.
TEST_F(ReportTest, SummaryAndReportAgreeOnEveryOfficeOfAGeneratedHistory) {
  std::mt19937 random(20261208);
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  for (int office = 1; office <= 30; ++office) {
    if (office % 5 == 0) continue;  // calls under numbers with no directory
    const std::string dir = dir_.Path() + (office % 7 == 0 ? "LOC" : "loc") +
                            (office < 10 ? "0" : "") + std::to_string(office) + "/";
    std::filesystem::create_directories(dir);
    if (office % 3 != 0) WriteAll(dir + "TARIFA.TBL", "tarifa " + std::to_string(office));
    if (office % 2 == 0) WriteAll(dir + "ZONAS.TBL", "zonas");
  }
  std::filesystem::create_directories(dir_.Path() + "loc31");  // a directory, never a call
  const JsonLinesCallStore store(dir_.Path());
  StatusSummary summary(dir_.Path(), store);
  const std::string log = dir_.Path() + kCallLogName;
  constexpr std::array<CallResult, 4> kResultsOf{CallResult::kSuccess, CallResult::kRefused,
                                                 CallResult::kNeverIdentified,
                                                 CallResult::kAborted};
  for (int i = 0; i < 400; ++i) {
    const double hours_ago = 240.0 * (400 - i) / 400 + pick(100) / 100.0;
    const CallResult result = kResultsOf[static_cast<size_t>(pick(10) < 6 ? 0 : pick(4))];
    CallReason reason = CallReason::kNone;
    if (result == CallResult::kRefused)
      reason = pick(3) == 0 ? CallReason::kInCallOnOtherLine : CallReason::kWrongPassword;
    if (result == CallResult::kAborted) reason = CallReason::kStall;
    const int office = 1 + pick(30);
    std::optional<std::vector<ReportedFile>> files;
    if (pick(2) == 0)
      files = std::vector<ReportedFile>{{"TARIFA.TBL", pick(5), ".TBL"}, {"VIEJA.TBL", 3, ".TBL"}};
    CallRecord r = Rec(pick(40) == 0 ? std::optional<int>() : office, hours_ago, result, reason,
                       pick(3) == 0, files);
    r.line_name = "com" + std::to_string(1 + pick(4));
    r.transcript = "calls/2026-12-01/" + std::to_string(i) + "-loc.txt";
    if (pick(2) == 0) WriteAll(dir_.Path() + r.transcript, "t");
    r.transfers = {TransferSummary{TransferDirection::kSend, "envio.zip",
                                   static_cast<uint64_t>(pick(1000)), 1, 128, 0, true, 1,
                                   pick(2) ? "Transferencia OK" : "Transferencia Abortada"}};
    r.files_sent = {{"ZONAS.TBL", "table", 5}};
    if (pick(4) == 0) r.deleted = "tablas\\VIEJA.TBL";
    if (i == 150 || i == 300) {
      // Another station's record seen half written (as on a network file system): it is
      // counted once whole, not as two damaged pieces.
      const std::string line = RecordToJson(r) + "\n";
      std::ofstream(log, std::ios::app) << line.substr(0, 30);
      ASSERT_EQ(summary.Update(options_.now, i == 150 ? StatusSummary::kAnySize : 0, Millis(0)),
                i == 150 ? StatusSummary::Outcome::kRebuilt : StatusSummary::Outcome::kInLine);
      std::ofstream(log, std::ios::app) << line.substr(30);
    } else {
      AppendCallRecord(log, r);
    }
    if (i == 149) {
      ASSERT_EQ(summary.Update(options_.now, 0, Millis(0)), StatusSummary::Outcome::kNeedsRebuild);
    }
    if (i == 200) {
      std::ofstream(log, std::ios::app) << "{\"start\": \"cut\"\n";
    }
    if (i == 250) std::filesystem::rename(log, log + ".1");
    if (i == 320) {  // half a record, as a power cut leaves it: closed by the next one
      std::ofstream(log, std::ios::app) << RecordToJson(r).substr(0, 30);
    }
    if (i >= 150) {
      ASSERT_NE(summary.Update(options_.now, 0, Millis(0)), StatusSummary::Outcome::kNeedsRebuild)
          << i;
    }
  }
  const NetworkReport from_log = BuildReport(options_);
  const auto from_summary = summary.Read(options_);
  ASSERT_TRUE(from_summary);
  EXPECT_EQ(from_log.records, 400u);
  EXPECT_EQ(from_log.bad_line_count, 2u);
  ExpectSame(from_log, *from_summary, options_);
  EXPECT_EQ(RenderMetrics(*from_summary, options_), RenderMetrics(from_log, options_));
  // The station writes its page and metrics office by office, rows set aside: byte for byte
  // what the report renders whole.
  const std::string metrics_dir = dir_.Path() + "metrics/";
  std::filesystem::create_directory(metrics_dir);
  ASSERT_TRUE(WriteStatusPage(options_, {}, metrics_dir));
  EXPECT_EQ(ReadAll(dir_.Path() + "estado.html"), RenderHtml(from_log, options_));
  EXPECT_EQ(ReadAll(metrics_dir + kMetricsName), RenderMetrics(from_log, options_));
  // Rebuilt with room for a few offices at a time: in rounds, each reading the rotated file
  // and the log again up to where the first stopped, while another station appends a call.
  RoundsStore rounds(dir_.Path());
  rounds.before_round = [&] { Call(3, 0.5, CallResult::kRefused, CallReason::kWrongPassword); };
  StatusSummary in_rounds(dir_.Path(), rounds, SystemFileOps(), 4096);
  ASSERT_EQ(in_rounds.Rebuild(options_.now, Millis(0)), StatusSummary::Outcome::kRebuilt);
  EXPECT_GT(rounds.rounds, 4);
  const auto rebuilt = in_rounds.Read(options_);
  ASSERT_TRUE(rebuilt);
  ExpectSame(from_log, *rebuilt, options_);
  EXPECT_EQ(RenderMetrics(*rebuilt, options_), RenderMetrics(from_log, options_));
  ASSERT_EQ(summary.Update(options_.now, 0, Millis(0)), StatusSummary::Outcome::kUpdated);
  // Each call appended meanwhile is counted once, by the next update.
  ExpectSame(BuildReport(options_), *summary.Read(options_), options_);

  // The log rotated and compressed during a rebuild: the rounds read another file, so the
  // rebuild starts again on the log as it is now.
  rounds.before_round = [&, once = true]() mutable {
    if (!std::exchange(once, false)) return;
    std::filesystem::remove(log + ".1");
    WriteGz(log + ".1.gz", ReadAll(log));
    std::filesystem::remove(log);
  };
  ASSERT_EQ(in_rounds.Rebuild(options_.now, Millis(0)), StatusSummary::Outcome::kRebuilt);
  EXPECT_FALSE(std::filesystem::exists(log));
  ExpectSame(BuildReport(options_), *in_rounds.Read(options_), options_);
}

// A crash between an office's file and the head leaves the office a generation ahead: it is
// read as it was, and the next update counts the call once.
TEST_F(ReportTest, SummaryNeverCountsWhatItsHeadDoesNotAndIsRebuiltWhenDamaged) {
  const JsonLinesCallStore store(dir_.Path());
  StatusSummary summary(dir_.Path(), store);
  const std::string head = dir_.Path() + kSummaryDir + "/head.json";
  Call(7, 3, CallResult::kSuccess);
  ASSERT_EQ(summary.Update(options_.now, 1 << 20, Millis(0)), StatusSummary::Outcome::kRebuilt);
  const std::string old_head = ReadAll(head);
  Call(7, 2, CallResult::kRefused, CallReason::kWrongPassword);
  ASSERT_EQ(summary.Update(options_.now, 0, Millis(0)), StatusSummary::Outcome::kUpdated);
  WriteAll(head, old_head);  // the crash: the office's file went, the head did not
  auto read = summary.Read(options_);
  ASSERT_TRUE(read);
  EXPECT_EQ(Office(*read, 7).last_result, CallResult::kSuccess);
  EXPECT_EQ(Office(*read, 7).calls_7d, 1);
  ASSERT_EQ(summary.Update(options_.now, 0, Millis(0)), StatusSummary::Outcome::kUpdated);
  ExpectSame(BuildReport(options_), *summary.Read(options_), options_);
  EXPECT_EQ(summary.Update(options_.now, 0, Millis(0)), StatusSummary::Outcome::kInLine);

  // Damaged: unread, and rebuilt only where allowed.
  const std::string office = dir_.Path() + kSummaryDir + "/00/0007.json";
  WriteAll(office, ReadAll(office).substr(0, 20));
  EXPECT_FALSE(summary.Read(options_));
  Call(7, 1, CallResult::kSuccess);
  EXPECT_EQ(summary.Update(options_.now, 0, Millis(0)), StatusSummary::Outcome::kNeedsRebuild);
  EXPECT_EQ(summary.Update(options_.now, 1 << 20, Millis(0)), StatusSummary::Outcome::kRebuilt);
  ExpectSame(BuildReport(options_), *summary.Read(options_), options_);
  // Damage no update meets, in an office that does not call: the page comes from the kept
  // rows and never reads it; the office's next call meets it and has the summary rebuilt,
  // never a page built from the log.
  WriteAll(office, ReadAll(office).substr(0, 20));
  const uint64_t generation = summary.Generation();
  ASSERT_TRUE(WriteStatusPage(options_));
  EXPECT_EQ(summary.Generation(), generation);
  EXPECT_EQ(ReadAll(dir_.Path() + "estado.html"), RenderHtml(BuildReport(options_), options_));
  Call(7, 0.5, CallResult::kSuccess);
  ASSERT_TRUE(WriteStatusPage(options_));
  ASSERT_TRUE(summary.Read(options_));
  ExpectSame(BuildReport(options_), *summary.Read(options_), options_);
  EXPECT_EQ(ReadAll(dir_.Path() + "estado.html"), RenderHtml(BuildReport(options_), options_));

  // Another station counting: nothing is written without the lock.
  std::error_code error;
  auto held = FileLock::TryAcquire(dir_.Path() + kSummaryLock, error);
  ASSERT_TRUE(held);
  const std::string before = ReadAll(head);
  Call(8, 1, CallResult::kSuccess);
  EXPECT_EQ(summary.Update(options_.now, 0, Millis(30)), StatusSummary::Outcome::kLocked);
  EXPECT_EQ(ReadAll(head), before);
  held.reset();
  std::filesystem::remove(dir_.Path() + kSummaryLock);
  std::filesystem::create_directory(dir_.Path() + kSummaryLock);
  EXPECT_THROW(summary.Update(options_.now, 0, Millis(30)), FileError);
  EXPECT_EQ(ReadAll(head), before);
  std::filesystem::remove(dir_.Path() + kSummaryLock);

  // The summary's directory swapped for a link to one elsewhere (here a whole summary): it is
  // neither read nor cleaned up nor written through, and the page comes from the log.
  const std::string summary_dir = dir_.Path() + kSummaryDir, elsewhere = dir_.Path() + "else";
  std::filesystem::rename(summary_dir, elsewhere);
  std::filesystem::create_directory_symlink("else", summary_dir);
  const std::string kept = ReadAll(elsewhere + "/head.json");
  EXPECT_FALSE(summary.Read(options_));
  EXPECT_THROW(summary.Update(options_.now, 1 << 20, Millis(30)), FileError);
  EXPECT_EQ(ReadAll(elsewhere + "/head.json"), kept);
  EXPECT_THROW(WriteStatusPage(options_), FileError);
  EXPECT_NE(ReadAll(dir_.Path() + "estado.html").find("data-label=\"oficina\">8</td>"),
            std::string::npos);
  EXPECT_EQ(ReadAll(elsewhere + "/head.json"), kept);
}

// One station writes the page at a time: another finds the lock, writes nothing and leaves a
// mark; without the lock nothing is written at all.
TEST_F(ReportTest, PageIsWrittenByOneStationAtATime) {
  Call(7, 1, CallResult::kSuccess);
  const std::string lock = dir_.Path() + kPageLock;
  std::error_code error;
  {
    auto held = FileLock::TryAcquire(lock, error);
    ASSERT_TRUE(held);
    struct stat before {};
    ::stat(lock.c_str(), &before);
    ::usleep(20'000);
    EXPECT_FALSE(WriteStatusPage(options_));
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() + "estado.html"));
    struct stat after {};
    ::stat(lock.c_str(), &after);
    EXPECT_NE(after.st_mtim.tv_nsec + after.st_mtim.tv_sec * 1'000'000'000LL,
              before.st_mtim.tv_nsec + before.st_mtim.tv_sec * 1'000'000'000LL);
  }
  EXPECT_TRUE(WriteStatusPage(options_));
  EXPECT_NE(ReadAll(dir_.Path() + "estado.html").find(Cell("oficina", "7")), std::string::npos);
  // Another station rebuilding the summary (its lock held, the head gone): the page is left to
  // it, never built from the log meanwhile, which would hold the whole network.
  {
    auto rebuilding = FileLock::TryAcquire(dir_.Path() + kSummaryLock, error);
    ASSERT_TRUE(rebuilding);
    std::filesystem::remove(dir_.Path() + kSummaryDir + "/head.json");
    std::filesystem::remove(dir_.Path() + "estado.html");
    EXPECT_TRUE(WriteStatusPage(options_));
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() + "estado.html"));
  }
  EXPECT_TRUE(WriteStatusPage(options_));
  EXPECT_NE(ReadAll(dir_.Path() + "estado.html").find(Cell("oficina", "7")), std::string::npos);
  // A summary that cannot be written (a file in its directory's place) still leaves a page,
  // from the log, and its error is told.
  std::filesystem::remove_all(dir_.Path() + kSummaryDir);
  WriteAll(dir_.Path() + kSummaryDir, "not a directory");
  Call(8, 1, CallResult::kSuccess);
  EXPECT_THROW(WriteStatusPage(options_), FileError);
  EXPECT_NE(ReadAll(dir_.Path() + "estado.html").find(Cell("oficina", "8")), std::string::npos);
  // A lock that cannot be taken (a directory in its place) stops the page, it is no licence.
  std::filesystem::remove(lock);
  std::filesystem::create_directory(lock);
  std::filesystem::remove(dir_.Path() + "estado.html");
  EXPECT_THROW(WriteStatusPage(options_), FileError);
  EXPECT_FALSE(std::filesystem::exists(dir_.Path() + "estado.html"));
  // Nor does a FIFO, refused at once without waiting for a writer; the metrics do not depend
  // on the page's lock and still go out.
  std::filesystem::remove(lock);
  ASSERT_EQ(::mkfifo(lock.c_str(), 0644), 0);
  const std::string metrics_dir = dir_.Path() + "textfile/";
  std::filesystem::create_directory(metrics_dir);
  EXPECT_THROW(WriteStatusPage(options_, {}, metrics_dir), FileError);
  EXPECT_FALSE(std::filesystem::exists(dir_.Path() + "estado.html"));
  EXPECT_EQ(ParseExposition(ReadAll(metrics_dir + kMetricsName))
                .count("marvolen_calls_total{line=com1,result=success,}"),
            1u);
}

// The page and the metrics put together from the rows the summary keeps: byte for byte what the
// report renders from the whole log, as hours and days go by with no call (windows empty,
// offices fall silent, days without traffic go up) and directories come and go; and a page
// that follows no call reads no office's file (one damaged there goes unread, never rebuilt).
TEST_F(ReportTest, PageFromKeptRowsFollowsTheReportAsTimeAndDirectoriesChange) {
  std::filesystem::create_directories(dir_.Path() + "loc03");
  std::filesystem::create_directories(dir_.Path() + "loc04");
  Call(3, 1, CallResult::kSuccess, CallReason::kNone, true);
  Call(4, 20, CallResult::kSuccess);
  Call(4, 3.5, CallResult::kRefused, CallReason::kWrongPassword);
  Call(4, 2.5, CallResult::kRefused, CallReason::kWrongPassword);
  Call(4, 0.5, CallResult::kRefused, CallReason::kWrongPassword);
  Call(5, 160, CallResult::kAborted, CallReason::kStall);  // no directory
  Call(std::nullopt, 1, CallResult::kNeverIdentified);
  const std::string metrics_dir = dir_.Path() + "metrics/";
  std::filesystem::create_directory(metrics_dir);
  const auto expect_page = [&](const std::string& when) {
    SCOPED_TRACE(when);
    ASSERT_TRUE(WriteStatusPage(options_, {}, metrics_dir));
    const NetworkReport report = BuildReport(options_);
    EXPECT_EQ(ReadAll(dir_.Path() + "estado.html"), RenderHtml(report, options_));
    EXPECT_EQ(ReadAll(metrics_dir + kMetricsName), RenderMetrics(report, options_));
  };
  expect_page("now");
  const JsonLinesCallStore store(dir_.Path());
  const StatusSummary summary(dir_.Path(), store);
  const uint64_t generation = summary.Generation();
  const std::string office3 = dir_.Path() + kSummaryDir + "/00/0003.json";
  const std::string kept3 = ReadAll(office3);
  WriteAll(office3, "damaged");
  expect_page("again, an office's file damaged");
  EXPECT_EQ(summary.Generation(), generation);
  WriteAll(office3, kept3);
  const WallTime start = options_.now;
  for (const double hours : {0.6, 2.0, 21.0, 24.0, 37.5, 50.0, 75.0, 168.0, 170.0, 200.0}) {
    options_.now = start + Millis(static_cast<long long>(hours * 3600 * 1000));
    if (hours == 21.0) std::filesystem::create_directories(dir_.Path() + "loc05");
    if (hours == 37.5) std::filesystem::remove(dir_.Path() + "loc04");
    if (hours == 50.0) std::filesystem::create_directories(dir_.Path() + "LOC77");
    expect_page(std::to_string(hours) + " h later");
  }
  // A silent office's hours of silence and days without traffic go up on the page with no
  // reading of its file: its row is not rendered again every hour.
  const uint64_t quiet = summary.Generation();
  WriteAll(office3, "damaged");
  options_.now = start + std::chrono::hours(203);
  expect_page("203 h later, office 3 long silent, its file damaged");
  EXPECT_EQ(summary.Generation(), quiet);
  WriteAll(office3, kept3);
  Call(77, -199.5, CallResult::kSuccess);
  expect_page("a call after all that");
  EXPECT_GT(summary.Generation(), generation);
  // A call counted at its end with no reading of the working directory: its office's row
  // follows its own directory, gone meanwhile; a directory come meanwhile waits for the page's
  // update, which reads them all.
  std::filesystem::remove(dir_.Path() + "loc03");
  std::filesystem::create_directories(dir_.Path() + "loc06");
  Call(3, 0.1, CallResult::kSuccess);
  StatusSummary at_end(dir_.Path(), store);
  at_end.LeaveDirectoriesToThePage();
  ASSERT_EQ(at_end.Update(options_.now, 0, Millis(0)), StatusSummary::Outcome::kUpdated);
  expect_page("a call counted with no reading of the directories");
}

// A flood of calls from one office keeps its state the size of a week of hours: the office's
// file stays small and each update reads and writes it whole at no growing cost.
TEST_F(ReportTest, AFloodOfCallsKeepsAnOfficesStateSmall) {
  std::string lines;
  for (int i = 0; i < 20000; ++i) {
    lines += RecordToJson(Rec(6, 70.0 * (20000 - i) / 20000, CallResult::kRefused,
                              CallReason::kWrongPassword)) +
             "\n";
  }
  WriteAll(dir_.Path() + kCallLogName, lines);
  const JsonLinesCallStore store(dir_.Path());
  StatusSummary summary(dir_.Path(), store);
  ASSERT_EQ(summary.Update(options_.now, StatusSummary::kAnySize, Millis(0)),
            StatusSummary::Outcome::kRebuilt);
  Call(6, 0.1, CallResult::kRefused, CallReason::kWrongPassword);
  ASSERT_EQ(summary.Update(options_.now, 0, Millis(0)), StatusSummary::Outcome::kUpdated);
  EXPECT_LT(std::filesystem::file_size(dir_.Path() + kSummaryDir + "/00/0006.json"), 16u << 10);
  const NetworkReport report = BuildReport(options_);
  EXPECT_EQ(Office(report, 6).calls_7d, 20001);
  EXPECT_EQ(Office(report, 6).refusals_24h, 20001 * 24 / 70 + 1);
  ExpectSame(report, *summary.Read(options_), options_);
}

// A rebuild starts from an empty directory: a stray office the log does not know and a file of
// no office go, and the page, built from the summary, never shows an office the report does
// not; with the log moved away, no office is left on the page or in the metrics.
TEST_F(ReportTest, SummaryRebuildLeavesNothingTheLogDoesNotKnow) {
  Call(3, 1, CallResult::kSuccess);
  Call(4, 2, CallResult::kRefused, CallReason::kWrongPassword);
  ASSERT_TRUE(WriteStatusPage(options_, {}, dir_.Path()));
  const std::string summary_dir = dir_.Path() + kSummaryDir + "/";
  std::filesystem::create_directories(summary_dir + "99");
  WriteAll(summary_dir + "99/9999.json", "{}");
  WriteAll(summary_dir + "stray", "x");
  const JsonLinesCallStore store(dir_.Path());
  StatusSummary summary(dir_.Path(), store);
  ASSERT_EQ(summary.Rebuild(options_.now, Millis(0)), StatusSummary::Outcome::kRebuilt);
  EXPECT_FALSE(std::filesystem::exists(summary_dir + "99/9999.json"));
  EXPECT_FALSE(std::filesystem::exists(summary_dir + "stray"));
  ASSERT_TRUE(WriteStatusPage(options_, {}, dir_.Path()));
  const uint64_t generation = summary.Generation();
  ASSERT_TRUE(WriteStatusPage(options_, {}, dir_.Path()));
  EXPECT_EQ(summary.Generation(), generation) << "a page with no call rebuilds nothing";
  EXPECT_EQ(ReadAll(dir_.Path() + "estado.html"), RenderHtml(BuildReport(options_), options_));

  std::filesystem::rename(dir_.Path() + kCallLogName, dir_.Path() + "kept.jsonl");
  ASSERT_TRUE(WriteStatusPage(options_, {}, dir_.Path()));
  const NetworkReport report = BuildReport(options_);
  EXPECT_TRUE(report.offices.empty());
  EXPECT_EQ(ReadAll(dir_.Path() + "estado.html"), RenderHtml(report, options_));
  EXPECT_EQ(ReadAll(dir_.Path() + kMetricsName), RenderMetrics(report, options_));
  EXPECT_EQ(ReadAll(dir_.Path() + "estado.html").find(Cell("oficina", "3")), std::string::npos);
}

// A log that never ends, as a year of compressed rotated logs seems to a stop.
class EndlessStore final : public CallStore {
 public:
  void Append(const CallRecord&) override {}
  StoreMark Scan(const CallFilter&, const CallSink& sink, const BadRecordSink&) const override {
    CallSummary c;
    c.start_text = "2026-12-07T11:00:00.000+00:00";
    for (uint64_t n = 1;; ++n) {
      c.line_number = n;
      c.office = 1 + static_cast<int>(n % 50);
      sink(c);
      ++records;
    }
  }
  std::optional<StoreMark> ScanUpTo(const StoreMark& mark, const CallFilter& filter,
                                    const CallSink& sink, const BadRecordSink& bad) const override {
    return Scan(filter, sink, bad), mark;
  }
  StoreMark End() const override { return {1, 1}; }
  std::optional<StoreMark> ScanSince(const StoreMark&, const StoreMark&, const CallFilter&,
                                     const CallSink&, const BadRecordSink&) const override {
    return std::nullopt;
  }
  void ScanNewestFirst(const CallFilter&, const BadRecordSink&,
                       const std::function<void(uint64_t calls)>&,
                       const std::function<void(const CallRecord&)>&) const override {}
  std::optional<CallRecord> LatestAdmitted(int) const override { return std::nullopt; }
  mutable uint64_t records = 0;
};

// A stop is heard at the next record of any scan: a rebuild gives up, and the page's writer
// gives back at once, leaving what was in place.
TEST_F(ReportTest, AStopIsHeardWithinARecordOfAnyScan) {
  const EndlessStore endless;
  uint64_t stop_at = 1000;
  const StoppableStore store(endless, [&] { return endless.records >= stop_at; });
  StatusSummary summary(dir_.Path(), store);
  EXPECT_THROW(summary.Rebuild(options_.now, Millis(0)), ScanStopped);
  EXPECT_EQ(endless.records, stop_at);
  stop_at = endless.records + 10;
  EXPECT_THROW(BuildReport(store, options_), ScanStopped);
  EXPECT_EQ(endless.records, stop_at);

  for (int i = 0; i < 500; ++i) Call(1 + i % 7, 1, CallResult::kSuccess);
  int asked = 0;
  EXPECT_FALSE(WriteStatusPage(options_, {}, {}, {}, [&] { return ++asked > 100; }));
  EXPECT_EQ(asked, 101);
  EXPECT_FALSE(std::filesystem::exists(dir_.Path() + "estado.html"));
}

// "UPGRADES" in capitals (any letter case serves) and an office directory in capitals are
// found once for the whole report, and an upgrade there reaches the next delivery of an office
// with upgrades on, in the report and in the summary alike.
TEST_F(ReportTest, UpgradesSpelledInCapitalsReachTheNextDelivery) {
  const std::string office = dir_.Path() + "LOC09/";
  WriteAll(office + "TARIFA.TBL", "tarifa");
  const VirtualClock clock;
  OfficeParamFile(office, clock).WriteOfficeParam("UpGrade", "1");
  WriteAll(dir_.Path() + "UPGRADES/PROGRAMA.UPG", "new program");
  WriteAll(dir_.Path() + "Upgrades.txt", "not the directory");
  CallRecord r =
      Rec(9, 2, CallResult::kSuccess, CallReason::kNone, false,
          std::vector<ReportedFile>{{"TARIFA.TBL", ByteSum(office + "TARIFA.TBL"), ".TBL"}});
  r.features = true;
  AppendCallRecord(dir_.Path() + kCallLogName, r);
  const SurveyPlaces places = FindSurveyPlaces(dir_.Path());
  EXPECT_EQ(places.upgrades, dir_.Path() + "UPGRADES");
  EXPECT_EQ(places.office_dirs, (std::map<int, std::string>{{9, dir_.Path() + "LOC09"}}));
  const NextDelivery next = Office(BuildReport(options_), 9).next;
  ASSERT_TRUE(next.known) << next.why_unknown;
  EXPECT_EQ(next.files, std::vector<std::string>{"PROGRAMA.UPG"});
  const JsonLinesCallStore store(dir_.Path());
  StatusSummary summary(dir_.Path(), store);
  ASSERT_EQ(summary.Update(options_.now, 1 << 20, Millis(0)), StatusSummary::Outcome::kRebuilt);
  EXPECT_EQ(Office(*summary.Read(options_), 9).next.files, next.files);
}

}  // namespace
}  // namespace marvolen
