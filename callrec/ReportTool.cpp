// marvolen-report: the network's state from the working directory, for an operator at a
// terminal, for other tools (JSON, CSV), for a browser (HTML) and for cron (--check).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "callrec/Report.h"
#include "platform/ShownText.h"

using namespace marvolen;

namespace {

int Fail(const std::string& message) {
  std::cerr << "marvolen-report: " << message << "\n";
  return 2;
}

void PrintBad(uint64_t number, std::string_view why) {
  std::cerr << "calls.jsonl línea " << number << " omitida: " << ShownText(why) << "\n";
}

void PrintBad(const std::vector<BadLine>& bad) {
  for (const BadLine& b : bad) PrintBad(b.number, b.why);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "The state of the Marvolen network: one line per office from the call log "
      "(calls.jsonl), the offices' directories, master tables and upgrades."};
  app.set_version_flag("--version", std::string("marvolen-report ") + MARVOLEN_VERSION);
  std::string work_dir = ".";
  int office = 0;
  bool as_json = false, as_csv = false, check = false;
  std::string html, now_text;
  ReportOptions o;
  app.add_option("-C,--workdir", work_dir, "the working directory (default: the current one)");
  app.add_option("--office", office, "that office's calls, newest first")
      ->check(CLI::Range(1, 9999));
  auto* json_flag = app.add_flag("--json", as_json, "the office table as JSON");
  auto* csv_flag = app.add_flag("--csv", as_csv, "the office table as CSV");
  auto* html_opt = app.add_option("--html", html, "write the status page (HTML) to FILE");
  auto* check_flag =
      app.add_flag("--check", check, "print one line per alert; exit 1 when there is one");
  app.add_option("--silent-hours", o.silent_hours,
                 "with --check: alert when an office completed no call for H hours (36)")
      ->needs(check_flag)
      ->check(CLI::PositiveNumber);
  app.add_option("--max-refusals", o.max_refusals,
                 "with --check: alert at N refusals of one office within 24 hours (3)")
      ->needs(check_flag)
      ->check(CLI::PositiveNumber);
  app.add_option("--now", now_text, "take this ISO 8601 time as now (for tests)")->group("");
  json_flag->excludes(csv_flag);
  html_opt->excludes(json_flag)->excludes(csv_flag);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version exit 0; a usage error 2, apart from --check's 1 for an alert.
    return app.exit(e) == 0 ? 0 : 2;
  }

  o.work_dir = work_dir.empty() || work_dir.back() == '/' ? work_dir : work_dir + "/";
  o.now = std::chrono::system_clock::now();
  if (!now_text.empty()) {
    const auto now = ParseIso(now_text);
    if (!now) return Fail("--now: no es una hora ISO 8601: " + now_text);
    o.now = *now;
  }
  try {
    if (office != 0) {
      // Streamed: one call at a time, whatever the log's size.
      ForEachOfficeCall(
          o.work_dir, office, [](uint64_t n, std::string_view why) { PrintBad(n, why); },
          [&](uint64_t calls) { std::cout << RenderOfficeHeading(office, calls); },
          [](const CallRecord& call) { std::cout << RenderOfficeCall(call); });
      return 0;
    }
    const NetworkReport report = BuildReport(o, !check);
    PrintBad(report.bad_lines);
    if (report.bad_line_count > report.bad_lines.size())
      std::cerr << "otras " << report.bad_line_count - report.bad_lines.size()
                << " líneas dañadas omitidas\n";
    if (check) {
      const auto alerts = Alerts(report, o);
      for (const std::string& a : alerts) std::cout << a << "\n";
      return alerts.empty() ? 0 : 1;
    }
    if (!html.empty()) {
      std::ofstream out(html, std::ios::binary | std::ios::trunc);
      out << RenderHtml(report, o);
      if (!out.flush()) return Fail("no se puede escribir " + html);
      return 0;
    }
    std::cout << (as_json  ? RenderJson(report, o)
                  : as_csv ? RenderCsv(report, o)
                           : RenderText(report, o));
    return 0;
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
