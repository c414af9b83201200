#include "callrec/StatusSummary.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>
#include <tuple>

#include "call/Admission.h"
#include "callrec/CallLog.h"
#include "platform/FileLock.h"
#include "platform/FileNames.h"
#include "platform/Numbers.h"

namespace marvolen {

using nlohmann::json;

namespace {

constexpr int kVersion = 1;
constexpr long long kDayMs = 24LL * 3600 * 1000;
// Days kept in the head: the page shows 30.
constexpr long long kDaysKept = 32;

long long EpochMs(WallTime t) {
  return std::chrono::duration_cast<Millis>(t.time_since_epoch()).count();
}

// "NN/NNNN.json": a hundred offices to a directory, so that writing one never lists thousands.
std::string OfficeFile(int office) {
  char name[32];
  std::snprintf(name, sizeof name, "%02d/%04d.json", office / 100, office);
  return name;
}

std::string ReadSmallFile(const FileOps& ops, const std::string& path, bool& missing) {
  missing = false;
  UniqueFd fd = OpenFd(ops, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (!fd.valid()) {
    missing = errno == ENOENT;
    return {};
  }
  struct stat st {};
  if (ops.fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (4 << 20)) return {};
  std::string data(static_cast<size_t>(st.st_size), '\0');
  if (PReadFull(ops, fd.get(), data.data(), data.size(), 0) != static_cast<ssize_t>(data.size()))
    return {};
  return data;
}

// The parts of an office's state the summary keeps; the rest (has_dir, the windows' counts)
// comes from the directory and the time when it is read.
json OfficeJson(const OfficeStatus& s) {
  const auto opt = [](const std::optional<long long>& v) { return v ? json(*v) : json(nullptr); };
  json recent = json::array();
  for (const RecentCall& r : s.recent) recent.push_back({r.start_ms, r.failure, r.refusal});
  json j = {{"office", s.office},
            {"last_call_ms", opt(s.last_call_ms)},
            {"last_call_text", s.last_call_text},
            {"last_result", static_cast<int>(s.last_result)},
            {"last_reason", static_cast<int>(s.last_reason)},
            {"last_port", s.last_port},
            {"last_device", s.last_device},
            {"last_success_ms", opt(s.last_success_ms)},
            {"last_success_text", s.last_success_text},
            {"last_traffic_ms", opt(s.last_traffic_ms)},
            {"recent", recent},
            {"transcripts", s.transcripts},
            {"next",
             {{"known", s.next.known},
              {"why", s.next.why_unknown},
              {"files", s.next.files},
              {"deleted", s.next.deleted}}}};
  if (s.held) {
    const OfficeHoldings& h = *s.held;
    json files = json::array(), sent = json::array();
    for (const ReportedFile& f : h.files) files.push_back({f.name, f.value, f.probe});
    for (const SentFile& f : h.sent) sent.push_back({f.name, f.kind, f.bytes});
    j["held"] = {{"start_ms", h.start_ms},  {"table_kind", h.table_kind}, {"features", h.features},
                 {"files", files},          {"deleted", h.deleted},       {"sent", sent},
                 {"delivered", h.delivered}};
  } else {
    j["held"] = nullptr;
  }
  return j;
}

// Throws json::exception on anything but what OfficeJson writes.
OfficeStatus OfficeFrom(const json& j) {
  const auto opt = [](const json& v) {
    return v.is_null() ? std::nullopt : std::optional<long long>(v.get<long long>());
  };
  OfficeStatus s;
  s.office = j.at("office").get<int>();
  if (s.office < 1 || s.office > 9999) throw std::out_of_range("office");
  s.last_call_ms = opt(j.at("last_call_ms"));
  s.last_call_text = j.at("last_call_text").get<std::string>();
  const int result = j.at("last_result").get<int>(), reason = j.at("last_reason").get<int>();
  if (ResultName(static_cast<CallResult>(result)).empty() ||
      (reason != 0 && ReasonName(static_cast<CallReason>(reason)).empty()))
    throw std::out_of_range("result");
  s.last_result = static_cast<CallResult>(result);
  s.last_reason = static_cast<CallReason>(reason);
  s.last_port = j.at("last_port").get<int>();
  s.last_device = j.at("last_device").get<std::string>();
  s.last_success_ms = opt(j.at("last_success_ms"));
  s.last_success_text = j.at("last_success_text").get<std::string>();
  s.last_traffic_ms = opt(j.at("last_traffic_ms"));
  for (const json& r : j.at("recent"))
    s.recent.push_back({r.at(0).get<long long>(), r.at(1).get<bool>(), r.at(2).get<bool>()});
  s.transcripts = j.at("transcripts").get<std::vector<std::string>>();
  const json& next = j.at("next");
  s.next.known = next.at("known").get<bool>();
  s.next.why_unknown = next.at("why").get<std::string>();
  s.next.files = next.at("files").get<std::vector<std::string>>();
  s.next.deleted = next.at("deleted").get<std::string>();
  const json& held = j.at("held");
  if (!held.is_null()) {
    OfficeHoldings h;
    h.start_ms = held.at("start_ms").get<long long>();
    h.table_kind = held.at("table_kind").get<std::string>();
    h.features = held.at("features").get<bool>();
    for (const json& f : held.at("files"))
      h.files.push_back(
          {f.at(0).get<std::string>(), f.at(1).get<int32_t>(), f.at(2).get<std::string>()});
    h.deleted = held.at("deleted").get<std::string>();
    for (const json& f : held.at("sent"))
      h.sent.push_back(
          {f.at(0).get<std::string>(), f.at(1).get<std::string>(), f.at(2).get<uint64_t>()});
    h.delivered = held.at("delivered").get<bool>();
    s.held = std::move(h);
  }
  return s;
}

// What the head holds: the network's counts and up to where the log is counted.
struct Head {
  uint64_t generation = 0;
  StoreMark mark;
  NetworkReport totals;  // records, bad_line_count, line_calls, durations, daily
};

json HeadJson(const Head& h) {
  json lines = json::object();
  for (const auto& [name, c] : h.totals.line_calls)
    lines[name] = {{"calls", c.calls}, {"sent", c.bytes_sent}, {"received", c.bytes_received}};
  json days = json::object();
  for (const auto& [day, counts] : h.totals.daily) days[day] = counts;
  const DurationHistogram& d = h.totals.durations;
  return {{"version", kVersion},
          {"generation", h.generation},
          {"log", {{"file", h.mark.file_id}, {"bytes", h.mark.bytes}}},
          {"records", h.totals.records},
          {"bad_lines", h.totals.bad_line_count},
          {"lines", lines},
          {"durations", {{"at_most", d.at_most}, {"count", d.count}, {"sum", d.sum}}},
          {"days", days}};
}

std::optional<Head> HeadFrom(const std::string& text) {
  try {
    const json j = json::parse(text);
    if (j.at("version").get<int>() != kVersion) return std::nullopt;
    Head h;
    h.generation = j.at("generation").get<uint64_t>();
    h.mark = {j.at("log").at("file").get<uint64_t>(), j.at("log").at("bytes").get<uint64_t>()};
    h.totals.records = j.at("records").get<uint64_t>();
    h.totals.bad_line_count = j.at("bad_lines").get<uint64_t>();
    for (const auto& [name, c] : j.at("lines").items()) {
      LineCounts& counts = h.totals.line_calls[name];
      counts.calls = c.at("calls").get<std::array<uint64_t, 4>>();
      counts.bytes_sent = c.at("sent").get<uint64_t>();
      counts.bytes_received = c.at("received").get<uint64_t>();
    }
    const json& d = j.at("durations");
    h.totals.durations.at_most = d.at("at_most").get<decltype(DurationHistogram::at_most)>();
    h.totals.durations.count = d.at("count").get<uint64_t>();
    h.totals.durations.sum = d.at("sum").get<double>();
    for (const auto& [day, counts] : j.at("days").items())
      h.totals.daily[day] = counts.get<std::array<int, 4>>();
    return h;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Days older than the page shows go.
void PruneDays(DailyCounts& days, WallTime now) {
  const std::string oldest = FormatIsoLocal(now - std::chrono::hours(24 * kDaysKept)).substr(0, 10);
  std::erase_if(days, [&](const auto& day) { return day.first < oldest; });
}

// The office's state as of the head's generation `generation`: its file's present state, or
// the one before when the file is ahead of the head (a crash came between the two). Nullopt
// when it has none then; throws when the file is damaged.
std::optional<OfficeStatus> OfficeAt(const json& j, uint64_t generation) {
  if (j.at("generation").get<uint64_t>() <= generation) return OfficeFrom(j.at("state"));
  const json& before = j.at("before");
  if (before.is_null()) return std::nullopt;
  if (before.at("generation").get<uint64_t>() > generation) throw std::out_of_range("generation");
  return before.at("state").is_null() ? std::nullopt
                                      : std::optional(OfficeFrom(before.at("state")));
}

// Another station holds the lock: wait a little, it is only counting a call.
std::optional<FileLock> TakeLock(const std::string& path, const FileOps& ops,
                                 std::chrono::milliseconds wait) {
  const auto until = std::chrono::steady_clock::now() + wait;
  for (;;) {
    std::error_code error;
    auto lock = FileLock::TryAcquire(path, error, ops);
    if (lock) return lock;
    if (error != std::errc::operation_would_block)
      throw FileError("No se puede bloquear " + path + ": " + FileLock::ErrorText(error));
    if (std::chrono::steady_clock::now() >= until) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void MakeDir(const FileOps& ops, std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (ops.mkdirat(AT_FDCWD, path.c_str(), 0755) == 0) {
    const size_t slash = path.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "." : path.substr(0, slash);
    if (const std::error_code err = SyncDirectory(ops, parent))
      throw FileError(err, "No se puede asegurar en el disco " + parent);
    return;
  }
  struct stat st {};
  if (errno == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  if (errno == EEXIST) throw FileError("No se puede crear " + path + ": no es un directorio");
  throw FileError(errno, "No se puede crear " + path);
}

// Whether the summary's directory `dir` (ending in "/") is a directory of its own, or not there
// yet. Anything else in its place, a link above all, is refused: the summary's clean-up and
// writes must never reach outside the working directory.
bool OwnDirectory(const std::string& dir) {
  struct stat st {};
  const std::string path = dir.substr(0, dir.size() - 1);
  if (::lstat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  return errno == ENOENT;
}

}  // namespace

StatusSummary::StatusSummary(std::string work_dir, const CallStore& store, const FileOps& ops)
    : work_dir_(std::move(work_dir)), store_(store), ops_(ops) {}

uint64_t StatusSummary::Generation() const {
  bool missing = false;
  const auto head = HeadFrom(ReadSmallFile(ops_, Dir() + "head.json", missing));
  return head ? head->generation : 0;
}

StatusSummary::Outcome StatusSummary::Update(WallTime now, uint64_t rebuild_up_to,
                                             std::chrono::milliseconds lock_wait) {
  const auto lock = TakeLock(work_dir_ + kSummaryLock, ops_, lock_wait);
  if (!lock) return Outcome::kLocked;
  if (!OwnDirectory(Dir())) throw FileError("No se usa " + Dir() + ": no es un directorio");
  bool missing = false;
  std::optional<Head> head = HeadFrom(ReadSmallFile(ops_, Dir() + "head.json", missing));
  const long long keep_from = EpochMs(now) - 7 * kDayMs;
  std::map<int, std::optional<OfficeStatus>> before;  // as of the head, for what changes
  std::map<int, OfficeStatus> offices;
  std::string key;
  bool damaged = false;
  Head next;
  const auto add = [&](const CallSummary& c) {
    AddNetworkCall(next.totals, c, key);
    ++next.totals.daily[std::string(c.start_text.substr(0, 10))][static_cast<size_t>(c.result)];
    if (c.office == 0) return;
    auto it = offices.find(c.office);
    if (it == offices.end()) {
      std::optional<OfficeStatus> was;
      if (head) {
        try {
          bool absent = false;
          const std::string text = ReadSmallFile(ops_, Dir() + OfficeFile(c.office), absent);
          if (!absent) was = OfficeAt(json::parse(text), head->generation);
        } catch (const std::exception&) {
          damaged = true;
        }
      }
      before[c.office] = was;
      it = offices.emplace(c.office, was.value_or(OfficeStatus{})).first;
      it->second.office = c.office;
    }
    AddOfficeCall(it->second, c, keep_from);
  };
  const auto bad = [&](const BadLine&) { ++next.totals.bad_line_count; };
  CallFilter filter;
  filter.holdings = true;
  filter.whole_records = true;
  std::optional<StoreMark> reached;
  const StoreMark end = store_.End();
  if (head) {
    next.totals.records = head->totals.records;
    next.totals.bad_line_count = head->totals.bad_line_count;
    next.totals.line_calls = head->totals.line_calls;
    next.totals.durations = head->totals.durations;
    next.totals.daily = head->totals.daily;
    reached = store_.ScanSince(head->mark, end, filter, add, bad);
    if (reached && *reached == head->mark && !damaged) return Outcome::kInLine;
  }
  const bool rebuild = !head || !reached || damaged;
  if (rebuild) {
    if (end.bytes > rebuild_up_to) return Outcome::kNeedsRebuild;
    // Counted again from nothing: the old files go first, the head before all, so that a
    // crash half-way leaves no head and the next update rebuilds again.
    const uint64_t generation = head ? head->generation : 0;
    ops_.unlink((Dir() + "head.json").c_str());
    if (const std::error_code err = RemoveTree(ops_, Dir());
        err && err != std::errc::no_such_file_or_directory)
      throw FileError(err, "No se puede borrar " + Dir());
    head.reset();
    next = Head{};
    next.generation = generation;
    before.clear();
    offices.clear();
    damaged = false;
    reached = store_.Scan(filter, add, bad);
  }
  next.generation = (head ? head->generation : next.generation) + 1;
  next.mark = *reached;
  PruneDays(next.totals.daily, now);
  MakeDir(ops_, Dir());
  ReportOptions options;
  options.work_dir = work_dir_;
  options.now = now;
  std::vector<int> called;
  for (const auto& [number, s] : offices) called.push_back(number);
  // A rebuild looks at every office's directory in one reading of the working directory.
  const SurveyPlaces places =
      rebuild ? FindSurveyPlaces(work_dir_) : FindSurveyPlaces(work_dir_, called);
  for (auto& [number, s] : offices) {
    // What its next call will get, now that this one is over: only for the offices that
    // called, never a survey of the whole network.
    s.has_dir = places.office_dirs.count(number) > 0;
    s.next = DeliveryFor(options, s, places);
    const auto was = before.find(number);
    json prior = nullptr;
    if (was != before.end() && head) {
      prior = {{"generation", head->generation},
               {"state", was->second ? OfficeJson(*was->second) : json(nullptr)}};
    }
    const std::string file = OfficeFile(number);
    MakeDir(ops_, Dir() + file.substr(0, 2));
    ReplaceFile(
        Dir() + file,
        json{{"generation", next.generation}, {"state", OfficeJson(s)}, {"before", prior}}.dump(
            -1, ' ', false, json::error_handler_t::replace),
        ops_);
  }
  ReplaceFile(Dir() + "head.json", HeadJson(next).dump(), ops_);
  return rebuild ? Outcome::kRebuilt : Outcome::kUpdated;
}

std::optional<NetworkReport> StatusSummary::Read(const ReportOptions& options) const {
  if (!OwnDirectory(Dir())) return std::nullopt;
  bool missing = false;
  const auto head = HeadFrom(ReadSmallFile(ops_, Dir() + "head.json", missing));
  if (!head) return std::nullopt;
  NetworkReport report;
  report.records = head->totals.records;
  report.bad_line_count = head->totals.bad_line_count;
  report.line_calls = head->totals.line_calls;
  report.durations = head->totals.durations;
  for (int k = 0; k < 30; ++k) {
    const std::string day = FormatIsoLocal(options.now - std::chrono::hours(24 * k)).substr(0, 10);
    const auto counted = head->totals.daily.find(day);
    report.daily[day] =
        counted == head->totals.daily.end() ? std::array<int, 4>{} : counted->second;
  }
  const std::map<int, std::string> dirs = OfficeDirs(options.work_dir);
  std::map<int, OfficeStatus> offices;
  for (const auto& [office, name] : dirs) {
    offices[office].office = office;
    offices[office].has_dir = true;
  }
  // One office's file at a time: memory grows with what the page shows, not with the files.
  for (int hundred = 0; hundred < 100; ++hundred) {
    char sub[8];
    std::snprintf(sub, sizeof sub, "%02d", hundred);
    std::error_code ec;
    for (std::filesystem::directory_iterator it(Dir() + sub, ec), end; !ec && it != end;
         it.increment(ec)) {
      const std::string name = it->path().filename().string();
      const auto number = name.size() == 9 && name.ends_with(".json")
                              ? TryStrToInt(name.substr(0, 4))
                              : std::nullopt;
      if (!number || *number < 1 || *number > 9999 || OfficeFile(*number) != sub + ("/" + name))
        continue;
      std::optional<OfficeStatus> s;
      try {
        bool absent = false;
        s = OfficeAt(json::parse(ReadSmallFile(ops_, it->path().string(), absent)),
                     head->generation);
      } catch (const std::exception&) {
        return std::nullopt;
      }
      if (!s) continue;
      s->has_dir = dirs.count(*number) > 0;
      offices[*number] = std::move(*s);
    }
  }
  report.offices.reserve(offices.size());
  // Each office leaves the map as it goes into the report: never both copies at once.
  for (auto it = offices.begin(); it != offices.end(); it = offices.erase(it)) {
    OfficeStatus& s = it->second;
    KeepTranscriptsOnDisk(s, options.work_dir, true);
    CountWindows(s, options.now);
    // Kept for the next update, not for the page: a page of thousands of offices holds less.
    s.recent = {};
    s.held.reset();
    // An office with a directory but no call yet has nothing reported to go by.
    if (!s.last_call_ms && !s.held && s.next.why_unknown.empty() && !s.next.known)
      s.next = DeliveryFor(options, s, SurveyPlaces{});
    report.offices.push_back(std::move(s));
  }
  report.lines = ReadLineStatuses(options.work_dir);
  return report;
}

namespace {

// What a page in the writing may have missed: the summary's generation and the last time a
// station asked for a page while another wrote one (the lock file's modification time).
using PageStamp = std::tuple<uint64_t, long long, long long>;

PageStamp StampOf(const StatusSummary& summary, const std::string& lock_path) {
  struct stat st {};
  if (::stat(lock_path.c_str(), &st) != 0) st = {};
  return {summary.Generation(), st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

void WritePageOnce(const StatusSummary& summary, const ReportOptions& options,
                   const std::string& path, const std::string& metrics_dir) {
  // A summary that cannot be read (its lock held since the start, a damage found meanwhile)
  // leaves the page to the log itself: slower, never wrong.
  std::optional<NetworkReport> read = summary.Read(options);
  const NetworkReport report = read ? std::move(*read) : BuildReport(options);
  std::string error;
  try {
    ReplaceFile(path.empty() ? options.work_dir + "estado.html" : path,
                RenderHtml(report, options));
  } catch (const std::exception& e) {
    error = e.what();
  }
  // The metrics go out even when the page cannot: they are what pages someone at night.
  if (!metrics_dir.empty()) ReplaceFile(metrics_dir + kMetricsName, RenderMetrics(report, options));
  if (!error.empty()) throw FileError(error);
}

}  // namespace

bool WriteStatusPage(const ReportOptions& options, const std::string& path,
                     const std::string& metrics_dir, const std::function<bool()>& pause) {
  const JsonLinesCallStore store(options.work_dir);
  StatusSummary summary(options.work_dir, store);
  // A summary that cannot be written still leaves a page, from the log if need be; its error
  // is told after the page.
  std::string summary_error;
  try {
    summary.Update(options.now, StatusSummary::kAnySize, std::chrono::seconds(2));
  } catch (const FileError& e) {
    summary_error = e.what();
  }
  const std::string lock_path = options.work_dir + kPageLock;
  const auto may_go_on = [&] { return !pause || pause(); };
  for (bool first = true;; first = false) {
    if (!first && !may_go_on()) break;
    std::error_code error;
    auto lock = FileLock::TryAcquire(lock_path, error);
    if (!lock) {
      if (error != std::errc::operation_would_block)
        throw FileError("No se puede bloquear " + lock_path + ": " + FileLock::ErrorText(error));
      // Another station is writing the page: it writes it again when it sees this.
      if (::utimensat(AT_FDCWD, lock_path.c_str(), nullptr, AT_SYMLINK_NOFOLLOW) != 0)
        throw FileError(errno, "No se puede marcar " + lock_path);
      return false;
    }
    PageStamp before = StampOf(summary, lock_path);
    WritePageOnce(summary, options, path, metrics_dir);
    while (StampOf(summary, lock_path) != before && may_go_on()) {
      before = StampOf(summary, lock_path);
      WritePageOnce(summary, options, path, metrics_dir);
    }
    lock.reset();
    // A station that found the lock taken just before it went is served here.
    if (StampOf(summary, lock_path) == before) break;
  }
  if (!summary_error.empty()) throw FileError(summary_error);
  return true;
}

}  // namespace marvolen
