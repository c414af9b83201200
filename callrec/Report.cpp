#include "callrec/Report.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "call/Admission.h"
#include "call/Distribution.h"
#include "call/IdentLine.h"
#include "callrec/CallLog.h"
#include "callrec/CallRecorder.h"
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
constexpr size_t kTranscriptsKept = 3;

// "calls/2026-12-07/114947-loc07.txt": a name the recorder gives, safe to link from a page in
// the working directory whatever the log holds.
bool IsTranscriptPath(std::string_view t) {
  return t.starts_with("calls/") && t.ends_with(".txt") && t.find("..") == std::string_view::npos &&
         std::all_of(t.begin(), t.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '_' || c == '.' || c == '/';
         });
}

long long EpochMs(WallTime t) {
  return std::chrono::duration_cast<Millis>(t.time_since_epoch()).count();
}

// Rounded down, also before 1970.
long long FloorDiv(long long a, long long b) {
  return a / b - ((a % b != 0 && (a < 0)) ? 1 : 0);
}

// "2026-12-07T11:49:47.123+01:00" -> "2026-12-07 11:49".
std::string Short(std::string_view iso) {
  return iso.size() < 16 ? std::string(iso)
                         : std::string(iso.substr(0, 10)) + " " + std::string(iso.substr(11, 5));
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
std::vector<OfficeFileEntry> HeldAfter(const OfficeHoldings& last, const SurveyEntries& survey,
                                       const std::string& office_dir, const fs::path& upgrades) {
  std::vector<OfficeFileEntry> held;
  const std::string& deleted = last.deleted;
  const std::string deleted_name = deleted.substr(deleted.find('\\') + 1);
  for (const ReportedFile& f : last.files) {
    if (!deleted.empty() && f.name == deleted_name) continue;
    held.push_back({Utf8ToAnsiExact(f.name).text, f.value, Utf8ToAnsiExact(f.probe).text});
  }
  if (!last.delivered) return held;
  const WallTime start{std::chrono::duration_cast<WallTime::duration>(Millis(last.start_ms))};
  for (const SentFile& f : last.sent) {
    const auto current = std::find_if(survey.begin(), survey.end(), [&](const SurveyEntry& e) {
      return EqualsNoCase(e.name, f.name);
    });
    if (current == survey.end()) continue;  // no longer on the station
    const bool table = f.kind == "table";
    const auto master = FindNoCase(table ? fs::path(office_dir) : upgrades, f.name);
    const int32_t value = ChangedSince(master, start)
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

}  // namespace

NextDelivery DeliveryFor(const ReportOptions& o, const OfficeStatus& s,
                         const SurveyPlaces& places) {
  if (!s.has_dir) return Unknown("sin directorio");
  if (!s.held) return Unknown("la oficina no informó sus archivos");
  const auto dir = places.office_dirs.find(s.office);
  if (dir == places.office_dirs.end()) return Unknown("sin directorio");
  try {
    const OfficeHoldings& last = *s.held;
    const std::string& office_dir = dir->second;
    const fs::path upgrades_dir = places.upgrades;
    const TableKind table_ext =
        TableKind::FromText(last.table_kind.empty() ? "tbl" : last.table_kind);
    const bool upgrades = UpgradesEnabled(office_dir);
    SurveyResult survey =
        SurveyOfficeFiles(office_dir, table_ext, o.work_dir, OfficeTagFor(s.office),
                          last.features && upgrades, &upgrades_dir);
    if (survey.tables == 0) return Unknown("sin tablas: la llamada sería rechazada");
    std::vector<OfficeFileEntry> reported =
        HeldAfter(last, survey.entries, office_dir, upgrades_dir);
    NextDelivery d;
    d.known = true;
    d.deleted = AnsiToUtf8Exact(CompareOfficeFiles(reported, upgrades, survey.entries));
    for (const SurveyEntry& e : DeliveryOf(survey.entries)) d.files.push_back(e.name);
    return d;
  } catch (const std::exception& e) {
    return Unknown(e.what());
  }
}

namespace {

class Aggregator {
 public:
  explicit Aggregator(const ReportOptions& o) : o_(o), now_(EpochMs(o.now)) {
    for (int k = 0; k < 30; ++k) {
      const std::string day = FormatIsoLocal(o.now - std::chrono::hours(24 * k)).substr(0, 10);
      report_.daily[day] = {};
    }
  }

  void AddDirs() {
    places_ = FindSurveyPlaces(o_.work_dir);
    for (const auto& [office, dir] : places_.office_dirs) Slot(office).has_dir = true;
  }

  void Add(const CallSummary& c) {
    AddNetworkCall(report_, c, key_);
    if (c.start_ms >= now_ - 30 * kDayMs) {
      const auto day = report_.daily.find(std::string(c.start_text.substr(0, 10)));
      if (day != report_.daily.end()) ++day->second[static_cast<size_t>(c.result)];
    }
    if (c.office != 0) AddOfficeCall(Slot(c.office), c, now_ - 7 * kDayMs);
  }

  void Bad(const BadLine& b) {
    if (report_.bad_lines.size() < kBadLinesKept) report_.bad_lines.push_back(b);
    ++report_.bad_line_count;
  }

  NetworkReport Finish(bool with_delivery) {
    for (auto& [n, slot] : offices_) {
      OfficeStatus s = std::move(slot);
      KeepTranscriptsOnDisk(s, o_.work_dir, with_delivery);
      CountWindows(s, o_.now);
      if (with_delivery) s.next = DeliveryFor(o_, s, places_);
      report_.offices.push_back(std::move(s));
    }
    offices_.clear();
    slots_.assign(slots_.size(), nullptr);
    report_.lines = ReadLineStatuses(o_.work_dir);
    return std::move(report_);
  }

 private:
  // Only the offices that called or have a directory: a network has far fewer than the
  // numbers allow. Found by number in `slots_` (a tree's look-up among thousands of offices,
  // for every record, was a tenth of the scan); the tree keeps them in order.
  OfficeStatus& Slot(int office) {
    OfficeStatus* unlisted = nullptr;
    const bool listed = office > 0 && office <= kMaxOffice;
    OfficeStatus*& slot = listed ? slots_[static_cast<size_t>(office)] : unlisted;
    if (slot == nullptr) {
      slot = &offices_[office];
      slot->office = office;
    }
    return *slot;
  }

  const ReportOptions& o_;
  long long now_;
  std::map<int, OfficeStatus> offices_;
  std::vector<OfficeStatus*> slots_ = std::vector<OfficeStatus*>(kMaxOffice + 1, nullptr);
  SurveyPlaces places_;
  NetworkReport report_;
  std::string key_;
};

}  // namespace

std::map<int, std::string> OfficeDirs(const std::string& work_dir) {
  std::map<int, std::string> offices;
  std::error_code ec;
  for (fs::directory_iterator it(work_dir.empty() ? "." : work_dir, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code ignored;
    std::string name = it->path().filename().string();
    const auto office = OfficeOfDir(name);
    if (office && it->is_directory(ignored)) offices.emplace(*office, std::move(name));
  }
  return offices;
}

std::vector<bool> OfficeDirNumbers(const std::string& work_dir) {
  std::vector<bool> numbers(kMaxOffice + 1, false);
  std::error_code ec;
  for (fs::directory_iterator it(work_dir.empty() ? "." : work_dir, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code ignored;
    const auto office = OfficeOfDir(it->path().filename().string());
    if (office && it->is_directory(ignored)) numbers[static_cast<size_t>(*office)] = true;
  }
  return numbers;
}

SurveyPlaces FindSurveyPlaces(const std::string& work_dir) {
  SurveyPlaces places;
  places.upgrades = work_dir + "upgrades";
  std::error_code ec;
  for (fs::directory_iterator it(work_dir.empty() ? "." : work_dir, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code ignored;
    const std::string name = it->path().filename().string();
    if (!it->is_directory(ignored)) continue;
    if (const auto office = OfficeOfDir(name)) {
      places.office_dirs.emplace(*office, work_dir + name);
    } else if (EqualsNoCase(name, "upgrades") && name != "upgrades" &&
               !fs::is_directory(work_dir + "upgrades", ignored)) {
      places.upgrades = work_dir + name;
    }
  }
  return places;
}

SurveyPlaces FindSurveyPlaces(const std::string& work_dir, const std::vector<int>& only) {
  SurveyPlaces places;
  places.upgrades = ResolveNoCase(work_dir + "upgrades").string();
  for (const int office : only) {
    std::error_code ec;
    const fs::path dir = ResolveNoCase(OfficeDirFor(work_dir, office));
    if (fs::is_directory(dir, ec)) places.office_dirs.emplace(office, dir.string());
  }
  return places;
}

void AddNetworkCall(NetworkReport& r, const CallSummary& c, std::string& key) {
  ++r.records;
  // Records without a name go by their port's: the key is made in one reused string.
  std::string_view name = c.line_name;
  if (name.empty()) {
    key.assign("com");
    key += std::to_string(c.port);
    name = key;
  }
  auto line = r.line_calls.find(name);
  if (line == r.line_calls.end()) line = r.line_calls.try_emplace(std::string(name)).first;
  ++line->second.calls[static_cast<size_t>(c.result)];
  line->second.bytes_sent += c.bytes_sent;
  line->second.bytes_received += c.bytes_received;
  DurationHistogram& h = r.durations;
  const double seconds = static_cast<double>(c.end_ms - c.start_ms) / 1000;
  for (size_t i = 0; i < kDurationBounds.size(); ++i)
    if (seconds <= kDurationBounds[i]) ++h.at_most[i];
  ++h.count;
  h.sum += seconds;
}

void AddOfficeCall(OfficeStatus& s, const CallSummary& c, long long keep_from_ms) {
  const bool success = c.result == CallResult::kSuccess;
  // A refusal because the office was busy on another line counts among its calls only.
  const bool busy = c.reason == CallReason::kInCallOnOtherLine;
  // Hours drop out from the oldest: each call looks at a few at most.
  const long long keep_hour = FloorDiv(keep_from_ms, kHourMs);
  const auto kept = std::find_if(s.recent.begin(), s.recent.end(),
                                 [&](const RecentHour& h) { return h.hour >= keep_hour; });
  if (kept != s.recent.begin()) s.recent.erase(s.recent.begin(), kept);
  const long long hour = FloorDiv(c.start_ms, kHourMs);
  if (hour >= keep_hour) {
    // Calls come in the order they ended, nearly that of their starts: the hour is found from
    // the newest end.
    auto at = s.recent.end();
    while (at != s.recent.begin() && std::prev(at)->hour > hour) --at;
    if (at == s.recent.begin() || std::prev(at)->hour != hour)
      at = std::next(s.recent.insert(at, RecentHour{hour, 0, 0, 0}));
    RecentHour& h = *std::prev(at);
    ++h.calls;
    if (!busy && !success) ++h.failures;
    if (!busy && c.result == CallResult::kRefused) ++h.refusals;
  }
  if (busy) return;
  if (!c.transcript.empty()) {
    // Newest first; the oldest's string is reused, not freed and made again for every call.
    if (s.transcripts.size() < kTranscriptsKept) s.transcripts.emplace_back();
    std::rotate(s.transcripts.rbegin(), s.transcripts.rbegin() + 1, s.transcripts.rend());
    s.transcripts.front().assign(c.transcript);
  }
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
  // What the office holds comes from its admitted calls only: a refused caller (a wrong
  // password) may report any list under the office's number.
  if (c.holdings && (!s.held || c.start_ms >= s.held->start_ms)) s.held = *c.holdings;
}

void CountWindows(OfficeStatus& s, WallTime now) {
  const long long now_ms = EpochMs(now);
  s.calls_7d = s.failures_7d = s.refusals_24h = 0;
  const long long week_hour = FloorDiv(now_ms - 7 * kDayMs, kHourMs);
  const long long day_hour = FloorDiv(now_ms - kDayMs, kHourMs);
  for (const RecentHour& h : s.recent) {
    if (h.hour < week_hour) continue;
    s.calls_7d += h.calls;
    s.failures_7d += h.failures;
    if (h.hour >= day_hour) s.refusals_24h += h.refusals;
  }
}

long long RowChangesAt(const OfficeStatus& s, const ReportOptions& o, bool live_hours,
                       bool live_days) {
  const long long now = EpochMs(o.now);
  long long at = now + (s.transcripts.empty() ? kDayMs : kHourMs);
  // The first of `first`, `first + step`, ... after now.
  const auto next_step = [&](long long first, long long step) {
    if (first > now) return first;
    return first + ((now - first) / step + 1) * step;
  };
  if (s.last_success_ms) {
    const long long silent_from = *s.last_success_ms + o.silent_hours * kHourMs + 1;
    // Silent: its hours of silence are shown, and go up every hour.
    if (now < silent_from) {
      at = std::min(at, silent_from);
    } else if (!live_hours) {
      at = std::min(at, next_step(*s.last_success_ms, kHourMs));
    }
  }
  if (!live_days && s.last_traffic_ms && *s.last_traffic_ms <= now)
    at = std::min(at, next_step(*s.last_traffic_ms + kDayMs, kDayMs));
  const long long week_hour = FloorDiv(now - 7 * kDayMs, kHourMs);
  const long long day_hour = FloorDiv(now - kDayMs, kHourMs);
  for (const RecentHour& h : s.recent) {
    if (h.hour >= week_hour) at = std::min(at, (h.hour + 1) * kHourMs + 7 * kDayMs);
    if (h.refusals > 0 && h.hour >= day_hour) at = std::min(at, (h.hour + 1) * kHourMs + kDayMs);
  }
  return std::max(at, now + 1);
}

void KeepTranscriptsOnDisk(OfficeStatus& s, const std::string& work_dir, bool look) {
  // The page links them: only the recorder's own names, and those ageing has left.
  std::erase_if(s.transcripts, [&](const std::string& t) {
    std::error_code ec;
    return !IsTranscriptPath(t) || (look && !fs::is_regular_file(work_dir + t, ec));
  });
}

bool OfficeStatus::Silent(const ReportOptions& o) const {
  return !last_success_ms || EpochMs(o.now) - *last_success_ms > o.silent_hours * kHourMs;
}

bool OfficeStatus::LongSilent(const ReportOptions& o) const {
  return !last_success_ms || EpochMs(o.now) - *last_success_ms > 2LL * o.silent_hours * kHourMs;
}

bool OfficeStatus::Guessed(const ReportOptions& o) const {
  return refusals_24h >= o.max_refusals;
}

bool OfficeStatus::InTrouble(const ReportOptions& o) const {
  return Unknown() || Silent(o) || Guessed(o) ||
         (last_call_ms && last_result != CallResult::kSuccess);
}

NetworkReport BuildReport(const ReportOptions& options, bool with_delivery) {
  return BuildReport(JsonLinesCallStore(options.work_dir), options, with_delivery);
}

NetworkReport BuildReport(const CallStore& store, const ReportOptions& options,
                          bool with_delivery) {
  Aggregator agg(options);
  agg.AddDirs();
  CallFilter all;
  all.holdings = with_delivery;
  store.Scan(
      all, [&](const CallSummary& c) { agg.Add(c); }, [&](const BadLine& b) { agg.Bad(b); });
  return agg.Finish(with_delivery);
}

void ForEachOfficeCall(const std::string& work_dir, int office,
                       const std::function<void(const BadLine&)>& bad,
                       const std::function<void(uint64_t calls)>& counted,
                       const std::function<void(const CallRecord&)>& sink) {
  CallFilter only;
  only.office = office;
  JsonLinesCallStore(work_dir).ScanNewestFirst(only, bad, counted, sink);
}

std::string_view CheckStatusName(CheckStatus status) {
  switch (status) {
    case CheckStatus::kOk:
      return "OK";
    case CheckStatus::kWarning:
      return "WARNING";
    case CheckStatus::kCritical:
      return "CRITICAL";
    case CheckStatus::kUnknown:
      break;
  }
  return "UNKNOWN";
}

std::string ShownTime(WallTime t) {
  const std::string iso = FormatIsoLocal(t);
  return iso.substr(0, 10) + " " + iso.substr(11, 8);
}

std::string LineStateWords(const LineStatus& s, WallTime now) {
  if (LineIsStale(s, now)) {
    return "sin noticias desde hace " +
           std::to_string(
               std::chrono::duration_cast<std::chrono::minutes>(now - s.heartbeat).count()) +
           " min (la estación no responde)";
  }
  if (s.state == kLineWaiting) return "en espera de llamadas";
  if (s.state == kLineInCall) {
    std::string text =
        s.office ? "en llamada con la oficina " + std::to_string(s.office) : "en llamada";
    return s.step.empty() ? text : text + ": " + s.step;
  }
  if (s.state == kLineResetting) return "reiniciando el módem tras una llamada";
  if (s.state == kLineDown) return "caída: " + (s.reason.empty() ? "sin motivo" : s.reason);
  if (s.state == kLineStopped) return "detenida";
  return "arrancando";
}

int LinesUp(const NetworkReport& report, WallTime now) {
  return static_cast<int>(
      std::count_if(report.lines.begin(), report.lines.end(),
                    [&](const LineStatusFile& f) { return f.status && LineIsUp(*f.status, now); }));
}

std::string RefusalsText(int refusals) {
  return std::to_string(refusals) + (refusals == 1 ? " rechazo" : " rechazos") + " en 24 h";
}

std::vector<std::string> OfficeStatus::TroubleReasons(const ReportOptions& o) const {
  std::vector<std::string> reasons;
  const long long now = EpochMs(o.now);
  if (Unknown()) reasons.push_back("oficina desconocida: no hay directorio para ese número");
  if (!Unknown() && Silent(o)) {
    if (!last_success_ms) {
      reasons.push_back("ninguna llamada completada");
    } else {
      const std::string hours = std::to_string((now - *last_success_ms) / kHourMs) + " h";
      reasons.push_back(last_call_ms == last_success_ms
                            ? "sin llamada desde hace " + hours
                            : "sin llamada completada desde hace " + hours);
    }
  }
  if (Guessed(o)) reasons.push_back(RefusalsText(refusals_24h));
  if (last_call_ms && last_result != CallResult::kSuccess)
    reasons.push_back("última llamada " + CallResultWords(last_result, last_reason));
  return reasons;
}

std::vector<Alert> Alerts(const NetworkReport& report, const ReportOptions& o) {
  std::vector<Alert> alerts;
  for (const LineStatusFile& f : report.lines) {
    const std::string name = "línea " + f.name + ": ";
    if (!f.status) {
      // A state that cannot be read is a line nobody can vouch for.
      alerts.push_back({CheckStatus::kCritical, name + "estado ilegible (" + f.error + ")"});
      continue;
    }
    const LineStatus& s = *f.status;
    const std::string since = " desde " + ShownTime(s.since);
    if (LineIsStale(s, o.now)) {
      alerts.push_back({CheckStatus::kCritical, name + LineStateWords(s, o.now)});
    } else if (s.state == kLineDown) {
      alerts.push_back({CheckStatus::kCritical, name + LineStateWords(s, o.now) + since});
    } else if (s.state == kLineStopped) {
      alerts.push_back({CheckStatus::kWarning, name + "detenida" + since});
    }
  }
  for (const OfficeStatus& s : report.offices) {
    const std::string name = "oficina " + std::to_string(s.office) + ": ";
    if (s.Unknown()) {
      alerts.push_back({CheckStatus::kWarning,
                        name + "oficina desconocida (no hay directorio " +
                            fs::path(OfficeDirFor("", s.office)).filename().string() + ")"});
    } else if (s.Silent(o)) {
      const auto reasons = s.TroubleReasons(o);
      alerts.push_back(
          {s.last_success_ms && s.LongSilent(o) ? CheckStatus::kCritical : CheckStatus::kWarning,
           name + reasons.front() +
               (s.last_success_ms ? " (última " + Short(s.last_success_text) + ")" : "")});
    }
    if (s.Guessed(o)) {
      alerts.push_back({CheckStatus::kWarning,
                        name + RefusalsText(s.refusals_24h) + " (¿alguien prueba claves?)"});
    }
  }
  return alerts;
}

}  // namespace marvolen
