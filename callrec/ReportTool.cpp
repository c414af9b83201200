// marvolen-report: the network's state from the working directory, for an operator at a
// terminal, for other tools (JSON, CSV), for a browser (HTML) and for cron (--check).
#include <dirent.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "callrec/Report.h"
#include "platform/ShownText.h"

using namespace marvolen;

namespace {

// Thresholds outside these make no sense: a year of silence, a thousand refusals a day.
constexpr int kMaxSilentHours = 24 * 366;
constexpr int kMaxRefusals = 1000;

int Fail(const std::string& message) {
  std::cerr << "marvolen-report: " << message << "\n";
  return 2;
}

// `--check` speaks the monitoring plugins' language even when it cannot look: one status line
// on standard output, exit 3.
int Unknown(const std::string& message) {
  std::cout << "MARVOLEN UNKNOWN - " << ShownText(message) << "\n";
  return static_cast<int>(CheckStatus::kUnknown);
}

void PrintBad(const BadLine& b) {
  std::cerr << b.file << " línea " << b.number << " omitida: " << ShownText(b.why) << "\n";
}

// Why `dir` cannot serve as the working directory, empty when it can: a mistyped -C must not
// read as a network with nothing wrong.
std::string WorkDirProblem(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0)
    return "el directorio de trabajo " + dir +
           " no existe o no se puede ver: " + std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return dir + " no es un directorio";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return "no se puede leer el directorio de trabajo " + dir + ": " + std::strerror(errno);
  ::closedir(d);
  return {};
}

// Options show the name given to their value (option_text), flags nothing after their name.
class PlainOptionsFormatter : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* option) const override {
    return option->get_option_text().empty() ? std::string() : " " + option->get_option_text();
  }
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "The state of the Marvolen network: one line per office from the call log "
      "(calls.jsonl and its rotated files), the lines' states (lines/), the offices' "
      "directories, master tables and upgrades."};
  // The help names each option's value and nothing else: the parser's own notes (value
  // types, ranges, which options exclude which) would land in the man page as noise, and the
  // descriptions say the same in words.
  app.formatter(std::make_shared<PlainOptionsFormatter>());
  app.set_version_flag("--version", std::string("marvolen-report ") + MARVOLEN_VERSION);
  std::string work_dir = ".";
  int office = 0;
  bool as_json = false, as_csv = false, check = false, quiet = false, station_page = false;
  std::string html, metrics, now_text;
  ReportOptions o;
  app.add_option("-C,--workdir", work_dir, "the working directory (default: the current one)")
      ->option_text("DIR");
  app.add_option("--office", office, "that office's calls, newest first")
      ->check(CLI::Range(1, 9999))
      ->option_text("N");
  auto* json_flag = app.add_flag("--json", as_json, "the office table as JSON");
  auto* csv_flag = app.add_flag("--csv", as_csv, "the office table as CSV");
  auto* html_opt =
      app.add_option("--html", html, "write the status page (HTML) to FILE")->option_text("FILE");
  auto* metrics_opt =
      app.add_option("--metrics", metrics, "write the metrics (Prometheus text format) to FILE")
          ->option_text("FILE");
  auto* check_flag = app.add_flag(
      "--check", check,
      "as a monitoring plugin: a status line, the alerts; exit 0 OK, 1 WARNING, 2 CRITICAL, "
      "3 UNKNOWN");
  app.add_flag("--quiet", quiet, "with --check: print nothing when all is well")->needs(check_flag);
  app.add_option("--silent-hours", o.silent_hours,
                 "with --check: warn when an office completed no call for H hours (36; "
                 "critical at twice that)")
      ->needs(check_flag)
      ->option_text("H");
  app.add_option("--max-refusals", o.max_refusals,
                 "with --check: warn at N refusals of one office within 24 hours (3)")
      ->needs(check_flag)
      ->option_text("N");
  auto* page_flag = app.add_flag(
      "--station-page", station_page,
      "as a station after a call: bring the status summary (calls.summary/) in line with the "
      "log and write estado.html and marvolen.prom in the working directory from it");
  app.add_option("--now", now_text, "take this ISO 8601 time as now (for tests)")->group("");
  json_flag->excludes(csv_flag);
  page_flag->excludes(json_flag)->excludes(csv_flag)->excludes(html_opt)->excludes(metrics_opt);
  html_opt->excludes(json_flag)->excludes(csv_flag);
  metrics_opt->excludes(json_flag)->excludes(csv_flag)->excludes(html_opt);
  check_flag->excludes(json_flag)
      ->excludes(csv_flag)
      ->excludes(html_opt)
      ->excludes(metrics_opt)
      ->excludes(page_flag);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version exit 0. A usage error is 2, or with --check the plugins' UNKNOWN.
    const bool as_check = std::any_of(
        argv + 1, argv + argc, [](const char* a) { return std::string_view(a) == "--check"; });
    if (as_check && e.get_exit_code() != 0)
      return Unknown("opción no válida: " + std::string(e.what()));
    return app.exit(e) == 0 ? 0 : 2;
  }
  const auto usage = [&](const std::string& message) {
    return check ? Unknown(message) : Fail(message);
  };
  if (o.silent_hours < 1 || o.silent_hours > kMaxSilentHours)
    return usage("--silent-hours: entre 1 y " + std::to_string(kMaxSilentHours) + " horas");
  if (o.max_refusals < 1 || o.max_refusals > kMaxRefusals)
    return usage("--max-refusals: entre 1 y " + std::to_string(kMaxRefusals));

  o.work_dir = work_dir.empty() || work_dir.back() == '/' ? work_dir : work_dir + "/";
  o.now = std::chrono::system_clock::now();
  if (!now_text.empty()) {
    const auto now = ParseIso(now_text);
    if (!now) return usage("--now: no es una hora ISO 8601: " + now_text);
    o.now = *now;
  }
  if (const std::string problem = WorkDirProblem(o.work_dir.empty() ? "." : o.work_dir);
      !problem.empty())
    return usage(problem);
  try {
    if (office != 0) {
      // Streamed: one call at a time, whatever the log's size.
      ForEachOfficeCall(
          o.work_dir, office, [](const BadLine& b) { PrintBad(b); },
          [&](uint64_t calls) { std::cout << RenderOfficeHeading(office, calls); },
          [](const CallRecord& call) { std::cout << RenderOfficeCall(call); });
      return 0;
    }
    if (station_page) {
      if (!WriteStatusPage(o, {}, o.work_dir))
        std::cerr << "marvolen-report: otra estación escribe la página; la escribirá de nuevo\n";
      return 0;
    }
    const NetworkReport report = BuildReport(o, !check && metrics.empty());
    if (check) {
      // A plugin speaks on standard output alone, and cron mails anything: damaged lines stay
      // in the log for good, so they are counted in the performance data, not listed each run.
      const CheckResult result = RenderCheck(report, o);
      if (!(quiet && result.status == CheckStatus::kOk)) std::cout << result.text;
      return static_cast<int>(result.status);
    }
    for (const BadLine& b : report.bad_lines) PrintBad(b);
    if (report.bad_line_count > report.bad_lines.size())
      std::cerr << "otras " << report.bad_line_count - report.bad_lines.size()
                << " líneas dañadas omitidas\n";
    if (!html.empty() || !metrics.empty()) {
      const std::string& path = html.empty() ? metrics : html;
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << (html.empty() ? RenderMetrics(report, o) : RenderHtml(report, o));
      if (!out.flush()) return Fail("no se puede escribir " + path);
      return 0;
    }
    std::cout << (as_json  ? RenderJson(report, o)
                  : as_csv ? RenderCsv(report, o)
                           : RenderText(report, o));
    return 0;
  } catch (const std::exception& e) {
    // An unreadable log: the state is not known.
    return check ? Unknown(e.what()) : Fail(e.what());
  }
}
