#include "callrec/Report.h"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>

#include "call/Admission.h"
#include "call/Distribution.h"
#include "call/IdentLine.h"
#include "platform/CodePage.h"
#include "platform/FileNames.h"
#include "platform/FileOps.h"
#include "platform/Numbers.h"
#include "records/OfficeParamFile.h"

namespace marvolen {

namespace fs = std::filesystem;

namespace {

constexpr long long kHourMs = 3600LL * 1000;
constexpr long long kDayMs = 24 * kHourMs;
constexpr int kMaxOffice = 9999;
constexpr size_t kBadLinesKept = 100;

long long EpochMs(WallTime t) {
  return std::chrono::duration_cast<Millis>(t.time_since_epoch()).count();
}

// "loc07" -> 7; nullopt for any other name. The directory name must be the one the station
// itself would form for that number.
// The station finds an office's directory in any letter case ("LOC07" serves as "loc07").
std::optional<int> OfficeOfDir(const std::string& name) {
  if (name.size() < 5 || name.size() > 7 || !EqualsNoCase(name.substr(0, 3), "loc")) {
    return std::nullopt;
  }
  const auto n = TryStrToInt(name.substr(3));
  if (!n || *n < 1 || *n > kMaxOffice || !EqualsNoCase(OfficeDirFor("", *n), name)) {
    return std::nullopt;
  }
  return *n;
}

bool ChangedSince(const std::optional<fs::path>& master, WallTime t) {
  std::error_code ec;
  if (!master) return true;
  const auto written = fs::last_write_time(*master, ec);
  return ec || std::chrono::file_clock::to_sys(written) >= t;
}

// What the office holds after its last identified call: the list it reported then, less the
// file it was told to delete, plus what that call delivered when the archive went through. A
// delivered file counts as held in the master's present version unless the master was
// written after the call began; then the office holds some other version (any value other
// than the present one says so).
std::vector<OfficeFileEntry> HeldAfter(const CallRecord& last, const SurveyEntries& survey,
                                       const std::string& office_dir, const std::string& work_dir) {
  std::vector<OfficeFileEntry> held;
  const std::string deleted = last.deleted.value_or("");
  const std::string deleted_name = deleted.substr(deleted.find('\\') + 1);
  for (const ReportedFile& f : *last.office_files) {
    if (!deleted.empty() && f.name == deleted_name) continue;
    held.push_back({Utf8ToAnsiExact(f.name).text, f.value, Utf8ToAnsiExact(f.probe).text});
  }
  const bool delivered =
      std::any_of(last.transfers.begin(), last.transfers.end(), [](const TransferSummary& t) {
        return t.direction == TransferDirection::kSend &&
               EqualsNoCase(t.result, "Transferencia OK");
      });
  if (!delivered) return held;
  const fs::path upgrades = ResolveNoCase(work_dir + "upgrades");
  for (const SentFile& f : last.files_sent) {
    const auto current = std::find_if(survey.begin(), survey.end(), [&](const SurveyEntry& e) {
      return EqualsNoCase(e.name, f.name);
    });
    if (current == survey.end()) continue;  // no longer on the station
    const bool table = f.kind == "table";
    const auto master = FindNoCase(table ? fs::path(office_dir) : upgrades, f.name);
    const int32_t value = ChangedSince(master, last.start)
                              ? static_cast<int32_t>(static_cast<uint32_t>(current->value) + 1)
                              : current->value;
    const std::string name = Utf8ToAnsiExact(f.name).text;
    std::erase_if(held, [&](const OfficeFileEntry& e) { return EqualsNoCase(e.name, name); });
    held.push_back({name, value, name.size() >= 4 ? name.substr(name.size() - 4) : name});
  }
  return held;
}

bool UpgradesEnabled(const std::string& office_dir) {
  // Reading through OfficeParamFile would create a missing file: the report writes nothing.
  if (!FindNoCase(office_dir, "MARVOLEN.TCP")) return false;
  const auto value = OfficeParamFile(office_dir).ReadOfficeParam("UpGrade");
  return value && TryStrToInt(*value).value_or(0) != 0;
}

NextDelivery Unknown(std::string why) {
  NextDelivery d;
  d.why_unknown = std::move(why);
  return d;
}

NextDelivery DeliveryFor(const ReportOptions& o, const OfficeStatus& s) {
  if (!s.has_dir) return Unknown("sin directorio");
  if (s.last_identified.empty()) return Unknown("la oficina no informó sus archivos");
  try {
    const CallRecord last = RecordFromJson(s.last_identified);
    const std::string office_dir = ResolveNoCase(OfficeDirFor(o.work_dir, s.office)).string();
    const TableKind table_ext = TableKind::FromText(last.table_kind.value_or("tbl"));
    const bool upgrades = UpgradesEnabled(office_dir);
    SurveyResult survey = SurveyOfficeFiles(office_dir, table_ext, o.work_dir,
                                            OfficeTagFor(s.office), last.features && upgrades);
    if (survey.tables == 0) return Unknown("sin tablas: la llamada sería rechazada");
    std::vector<OfficeFileEntry> reported = HeldAfter(last, survey.entries, office_dir, o.work_dir);
    NextDelivery d;
    d.known = true;
    d.deleted = AnsiToUtf8Exact(CompareOfficeFiles(reported, upgrades, survey.entries));
    for (const SurveyEntry& e : DeliveryOf(survey.entries)) d.files.push_back(e.name);
    return d;
  } catch (const std::exception& e) {
    return Unknown(e.what());
  }
}

class Aggregator {
 public:
  explicit Aggregator(const ReportOptions& o)
      : o_(o), now_(EpochMs(o.now)), slots_(kMaxOffice + 1) {
    for (int k = 0; k < 30; ++k) {
      const std::string day = FormatIsoLocal(o.now - std::chrono::hours(24 * k)).substr(0, 10);
      report_.daily[day] = {};
    }
  }

  void AddDirs() {
    std::error_code ec;
    for (fs::directory_iterator it(o_.work_dir, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code ignored;
      const auto office = OfficeOfDir(it->path().filename().string());
      if (office && it->is_directory(ignored)) Slot(*office).has_dir = true;
    }
  }

  void Add(const CallSummary& c) {
    ++report_.records;
    if (c.start_ms >= now_ - 30 * kDayMs) {
      const auto day = report_.daily.find(std::string(c.start_text.substr(0, 10)));
      if (day != report_.daily.end()) ++day->second[static_cast<size_t>(c.result)];
    }
    if (c.office == 0) return;
    OfficeStatus& s = Slot(c.office);
    const bool success = c.result == CallResult::kSuccess;
    if (!s.last_call_ms || c.start_ms >= *s.last_call_ms) {
      s.last_call_ms = c.start_ms;
      s.last_call_text = c.start_text;
      s.last_result = c.result;
      s.last_reason = c.reason;
      s.last_port = c.port;
      s.last_device = c.device;
    }
    if (success && (!s.last_success_ms || c.start_ms >= *s.last_success_ms)) {
      s.last_success_ms = c.start_ms;
      s.last_success_text = c.start_text;
    }
    if (c.traffic_filed && (!s.last_traffic_ms || c.end_ms > *s.last_traffic_ms))
      s.last_traffic_ms = c.end_ms;
    if (c.start_ms >= now_ - 7 * kDayMs) {
      ++s.calls_7d;
      if (!success) ++s.failures_7d;
    }
    if (c.result == CallResult::kRefused && c.start_ms >= now_ - kDayMs) ++s.refusals_24h;
    // What the office holds comes from its admitted calls only: a refused caller (a wrong
    // password) may report any list under the office's number.
    if (c.identified && c.admitted && c.start_ms >= s.last_identified_ms) {
      s.last_identified.assign(c.line);
      s.last_identified_ms = c.start_ms;
    }
  }

  void Bad(uint64_t number, std::string_view why) {
    if (report_.bad_lines.size() < kBadLinesKept)
      report_.bad_lines.push_back({number, std::string(why)});
    ++report_.bad_line_count;
  }

  NetworkReport Finish(bool with_delivery) {
    for (int n = 1; n <= kMaxOffice; ++n) {
      if (!seen_[n]) continue;
      OfficeStatus s = std::move(slots_[n]);
      if (with_delivery) s.next = DeliveryFor(o_, s);
      report_.offices.push_back(std::move(s));
    }
    return std::move(report_);
  }

 private:
  OfficeStatus& Slot(int office) {
    if (!seen_[office]) {
      seen_[office] = true;
      slots_[office].office = office;
    }
    return slots_[office];
  }

  const ReportOptions& o_;
  long long now_;
  std::vector<OfficeStatus> slots_;
  std::vector<bool> seen_ = std::vector<bool>(kMaxOffice + 1);
  NetworkReport report_;
};

}  // namespace

bool OfficeStatus::Silent(const ReportOptions& o) const {
  return !last_success_ms || EpochMs(o.now) - *last_success_ms > o.silent_hours * kHourMs;
}

bool OfficeStatus::Guessed(const ReportOptions& o) const {
  return refusals_24h >= o.max_refusals;
}

bool OfficeStatus::InTrouble(const ReportOptions& o) const {
  return Silent(o) || Guessed(o) || (last_call_ms && last_result != CallResult::kSuccess);
}

NetworkReport BuildReport(const ReportOptions& options, bool with_delivery) {
  Aggregator agg(options);
  agg.AddDirs();
  ScanCallLog(
      options.work_dir + kCallLogName, [&](const CallSummary& c) { agg.Add(c); },
      [&](uint64_t n, std::string_view why) { agg.Bad(n, why); });
  return agg.Finish(with_delivery);
}

void ForEachOfficeCall(const std::string& work_dir, int office, const BadLineSink& bad,
                       const std::function<void(uint64_t calls)>& counted,
                       const std::function<void(const CallRecord&)>& sink) {
  const std::string path = work_dir + kCallLogName;
  uint64_t calls = 0;
  const uint64_t read = ScanCallLog(
      path,
      [&](const CallSummary& c) {
        if (c.office != office) return;
        try {
          RecordFromJson(c.line);
          ++calls;
        } catch (const RecordFormatError& e) {
          bad(c.line_number, e.what());
        }
      },
      bad);
  counted(calls);
  ScanCallLogBackwards(path, read, [&](const CallSummary& c) {
    if (c.office != office) return;
    std::optional<CallRecord> record;
    try {
      record = RecordFromJson(c.line);
    } catch (const RecordFormatError&) {
      return;  // reported by the first pass
    }
    sink(*record);
  });
}

std::vector<std::string> Alerts(const NetworkReport& report, const ReportOptions& o) {
  std::vector<std::string> alerts;
  const long long now = EpochMs(o.now);
  for (const OfficeStatus& s : report.offices) {
    const std::string name = "office " + std::to_string(s.office) + ": ";
    if (s.Silent(o)) {
      alerts.push_back(name + (s.last_success_ms
                                   ? "no completed call for " +
                                         std::to_string((now - *s.last_success_ms) / kHourMs) +
                                         " h (last " + s.last_success_text + ")"
                                   : "no completed call on record"));
    }
    if (s.Guessed(o)) {
      alerts.push_back(name + std::to_string(s.refusals_24h) +
                       " refusals in the last 24 h (password guessing?)");
    }
  }
  return alerts;
}

void WriteStatusPage(const ReportOptions& options, const std::string& path) {
  const NetworkReport report = BuildReport(options);
  ReplaceFile(path.empty() ? options.work_dir + "estado.html" : path, RenderHtml(report, options));
}

}  // namespace marvolen
