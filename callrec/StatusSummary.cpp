#include "callrec/StatusSummary.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
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
#include "platform/TempNames.h"

namespace marvolen {

using nlohmann::json;

namespace {

// 2: an office's recent calls counted by the hour.
constexpr int kVersion = 2;
constexpr long long kDayMs = 24LL * 3600 * 1000;
// Days kept in the head: the page shows 30.
constexpr long long kDaysKept = 32;
// Office numbers have four digits.
constexpr int kMaxOffice = 9999;

long long EpochMs(WallTime t) {
  return std::chrono::duration_cast<Millis>(t.time_since_epoch()).count();
}

// "NN/NNNN.json": a hundred offices to a directory, so that writing one never lists thousands.
std::string OfficeFile(int office) {
  char name[32];
  std::snprintf(name, sizeof name, "%02d/%04d.json", office / 100, office);
  return name;
}

// The offices with a file of their own in the hundred's directory `sub` ("00" to "99") under
// `dir`, in the order listed; a name that is no office's file there is passed over.
std::vector<int> OfficeFilesOf(const std::string& dir, const std::string& sub) {
  std::vector<int> files;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir + sub, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const auto number =
        name.size() == 9 && name.ends_with(".json") ? TryStrToInt(name.substr(0, 4)) : std::nullopt;
    if (number && *number >= 1 && *number <= 9999 && OfficeFile(*number) == sub + ("/" + name))
      files.push_back(*number);
  }
  return files;
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
  for (const RecentHour& h : s.recent) recent.push_back({h.hour, h.calls, h.failures, h.refusals});
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
    s.recent.push_back(
        {r.at(0).get<long long>(), r.at(1).get<int>(), r.at(2).get<int>(), r.at(3).get<int>()});
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

// What the summary reads of each record: whole records only, with what the office holds.
CallFilter SummaryFilter() {
  CallFilter filter;
  filter.holdings = true;
  filter.whole_records = true;
  return filter;
}

// The call in the network's counts the head keeps.
void CountNetworkCall(NetworkReport& totals, const CallSummary& c, std::string& key) {
  AddNetworkCall(totals, c, key);
  ++totals.daily[std::string(c.start_text.substr(0, 10))][static_cast<size_t>(c.result)];
}

// The heap an office's state holds, roughly: what a rebuild counts against its budget.
size_t FootprintOf(const OfficeStatus& s) {
  const auto text = [](const std::string& t) { return t.capacity() > 15 ? t.capacity() + 1 : 0; };
  size_t bytes = sizeof s + 48;  // and its node in the map
  bytes += text(s.last_call_text) + text(s.last_success_text) + text(s.last_device);
  bytes += s.recent.capacity() * sizeof(RecentHour);
  bytes += s.transcripts.capacity() * sizeof(std::string);
  for (const std::string& t : s.transcripts) bytes += text(t);
  if (s.held) {
    bytes += text(s.held->table_kind) + text(s.held->deleted);
    bytes += s.held->files.capacity() * sizeof(ReportedFile);
    for (const ReportedFile& f : s.held->files) bytes += text(f.name) + text(f.probe);
    bytes += s.held->sent.capacity() * sizeof(SentFile);
    for (const SentFile& f : s.held->sent) bytes += text(f.name) + text(f.kind);
  }
  return bytes;
}

// The offices one round of a rebuild counts: from `from` up, as many as `budget` bytes hold.
// When the states outgrow it, the highest numbers go and the round ends below them: the next
// round counts them from the log's start.
class OfficeRound {
 public:
  OfficeRound(int from, size_t budget, long long keep_from)
      : from_(from), budget_(budget), keep_from_(keep_from) {}

  void Add(const CallSummary& c) {
    if (c.office < from_ || c.office > last_) return;
    auto [it, added] = offices_.try_emplace(c.office);
    if (added) {
      it->second.office = c.office;
    } else {
      held_ -= FootprintOf(it->second);
    }
    AddOfficeCall(it->second, c, keep_from_);
    held_ += FootprintOf(it->second);
    while (held_ > budget_ && offices_.size() > 1) {
      const auto highest = std::prev(offices_.end());
      held_ -= FootprintOf(highest->second);
      last_ = highest->first - 1;
      offices_.erase(highest);
    }
  }

  // The highest number this round counted; the next round starts above it.
  int Last() const { return last_; }
  std::map<int, OfficeStatus>& Offices() { return offices_; }

 private:
  const int from_;
  int last_ = kMaxOffice;
  const size_t budget_;
  const long long keep_from_;
  size_t held_ = 0;
  std::map<int, OfficeStatus> offices_;
};

}  // namespace

namespace {

// The network's counts from the head, as the page shows them at `options.now`.
NetworkReport TotalsAt(const Head& head, const ReportOptions& options) {
  NetworkReport report;
  report.records = head.totals.records;
  report.bad_line_count = head.totals.bad_line_count;
  report.line_calls = head.totals.line_calls;
  report.durations = head.totals.durations;
  for (int k = 0; k < 30; ++k) {
    const std::string day = FormatIsoLocal(options.now - std::chrono::hours(24 * k)).substr(0, 10);
    const auto counted = head.totals.daily.find(day);
    report.daily[day] = counted == head.totals.daily.end() ? std::array<int, 4>{} : counted->second;
  }
  report.lines = ReadLineStatuses(options.work_dir);
  return report;
}

// An office's state, `has_dir` set, as the page shows it at `options.now`.
void ForPage(OfficeStatus& s, const ReportOptions& options) {
  KeepTranscriptsOnDisk(s, options.work_dir, true);
  CountWindows(s, options.now);
  // Without a directory now, or with no list reported, there is nothing to survey: what the
  // page says follows the directory as it is now, not as it was at the office's last call.
  if (!s.has_dir || !s.held) s.next = DeliveryFor(options, s, SurveyPlaces{});
}

// The kept rows: "rows" and, for each hundred of office numbers with an office, "NN/rows".
constexpr char kRowsIndex[] = "rows";
constexpr char kRowsIndexTag[] = "marvolen-rows-index";
constexpr char kRowsPieceTag[] = "marvolen-rows";
// A hundred's rows are a few tens of KiB; anything far larger is not the summary's.
constexpr size_t kLargestPiece = 16 << 20;

// One office's row on the page and its lines in the metrics, as they read until `until_ms`.
// The two counts of a row that go up with the time alone, the hours of silence and the days
// without traffic, are kept as a mark (a control byte, which no rendered text holds: they are
// all escaped) and filled in when the page is put together, so that a silent office's row is
// not rendered again every hour.
constexpr char kHoursMark = '\x01', kDaysMark = '\x02';
struct KeptRow {
  int office = 0;
  bool has_dir = false;
  bool trouble = false;
  long long until_ms = 0;
  long long success_ms = 0;  // for kHoursMark
  long long traffic_ms = 0;  // for kDaysMark
  std::string row, metrics;
};

// A kept row as read from its piece, its texts still in the piece.
struct RowView {
  int office = 0;
  bool has_dir = false;
  bool trouble = false;
  long long until_ms = 0;
  long long success_ms = 0;
  long long traffic_ms = 0;
  std::string_view row, metrics;
};

// The row as the page shows it at `now_ms`, handed to `put` in runs: the text between the
// marks as it is kept, each mark's number in its place.
void FillRow(const RowView& r, long long now_ms, const std::function<void(std::string_view)>& put) {
  size_t from = 0;
  for (size_t at = 0; at < r.row.size(); ++at) {
    const char c = r.row[at];
    if (c != kHoursMark && c != kDaysMark) continue;
    if (at > from) put(r.row.substr(from, at - from));
    put(std::to_string(c == kHoursMark ? (now_ms - r.success_ms) / (kDayMs / 24)
                                       : (now_ms - r.traffic_ms) / kDayMs));
    from = at + 1;
  }
  if (from < r.row.size()) put(r.row.substr(from));
}

// Puts `mark` in place of the number in the first `before` NUMBER `after` of `row`; false when
// there is none.
bool Mark(std::string& row, const std::string& before, long long number, const std::string& after,
          char mark) {
  const std::string text = before + std::to_string(number) + after;
  const size_t at = row.find(text);
  if (at == std::string::npos) return false;
  row.replace(at + before.size(), text.size() - before.size() - after.size(), 1, mark);
  return true;
}

// What the index keeps of a hundred.
struct KeptHundred {
  uint64_t offices = 0, trouble = 0;
  long long until_ms = LLONG_MAX;            // the earliest of its rows'
  std::string dirs = std::string(100, '0');  // '1' for each number with a directory
};

struct RowsIndex {
  uint64_t generation = 0;
  int silent_hours = 0, max_refusals = 0;
  std::array<KeptHundred, 100> hundreds;
};

std::string PieceFile(int hundred) {
  char name[16];
  std::snprintf(name, sizeof name, "%02d/rows", hundred);
  return name;
}

std::string IndexText(const RowsIndex& index) {
  std::string out = std::string(kRowsIndexTag) + " " + std::to_string(kVersion) + " " +
                    std::to_string(index.generation) + " " + std::to_string(index.silent_hours) +
                    " " + std::to_string(index.max_refusals) + "\n";
  for (const KeptHundred& h : index.hundreds)
    out += std::to_string(h.offices) + " " + std::to_string(h.trouble) + " " +
           std::to_string(h.until_ms) + " " + h.dirs + "\n";
  return out;
}

// Reads numbers and words separated by single spaces and line ends.
class Fields {
 public:
  explicit Fields(std::string_view text) : text_(text) {}
  template <typename T>
  bool Number(T& value) {
    const auto [end, ec] = std::from_chars(text_.data() + at_, text_.data() + text_.size(), value);
    if (ec != std::errc() || end == text_.data() + at_) return false;
    at_ = static_cast<size_t>(end - text_.data());
    return Separator();
  }
  bool Word(std::string_view& word) {
    const size_t end = text_.find_first_of(" \n", at_);
    if (end == std::string_view::npos) return false;
    word = text_.substr(at_, end - at_);
    at_ = end;
    return Separator();
  }
  // `size` bytes as they are.
  bool Bytes(size_t size, std::string_view& out) {
    if (text_.size() - at_ < size) return false;
    out = text_.substr(at_, size);
    at_ += size;
    return true;
  }
  bool AtEnd() const { return at_ == text_.size(); }

 private:
  bool Separator() {
    if (at_ >= text_.size() || (text_[at_] != ' ' && text_[at_] != '\n')) return false;
    ++at_;
    return true;
  }
  std::string_view text_;
  size_t at_ = 0;
};

std::optional<RowsIndex> IndexFrom(std::string_view text) {
  Fields f(text);
  RowsIndex index;
  std::string_view tag;
  int version = 0;
  if (!f.Word(tag) || tag != kRowsIndexTag || !f.Number(version) || version != kVersion ||
      !f.Number(index.generation) || !f.Number(index.silent_hours) || !f.Number(index.max_refusals))
    return std::nullopt;
  for (KeptHundred& h : index.hundreds) {
    std::string_view dirs;
    if (!f.Number(h.offices) || !f.Number(h.trouble) || !f.Number(h.until_ms) || !f.Word(dirs) ||
        dirs.size() != 100 || dirs.find_first_not_of("01") != std::string_view::npos)
      return std::nullopt;
    h.dirs = dirs;
  }
  if (!f.AtEnd()) return std::nullopt;
  return index;
}

std::string PieceText(const std::map<int, KeptRow>& rows) {
  std::string out = std::string(kRowsPieceTag) + " " + std::to_string(kVersion) + "\n";
  for (const auto& [number, r] : rows) {
    out += std::to_string(r.office) + " " + (r.has_dir ? "1 " : "0 ") + (r.trouble ? "1 " : "0 ") +
           std::to_string(r.until_ms) + " " + std::to_string(r.success_ms) + " " +
           std::to_string(r.traffic_ms) + " " + std::to_string(r.row.size()) + " " +
           std::to_string(r.metrics.size()) + "\n";
    out += r.row;
    out += r.metrics;
  }
  return out;
}

// Hands each row of hundred `hundred` in `text` to `use`, by number, the texts left in `text`;
// false, perhaps after some rows, when the piece is damaged or of another hundred (its numbers
// out of order too: a piece is written in order).
bool ForEachRow(std::string_view text, int hundred,
                const std::function<void(const RowView&)>& use) {
  Fields f(text);
  std::string_view tag;
  int version = 0;
  if (!f.Word(tag) || tag != kRowsPieceTag || !f.Number(version) || version != kVersion)
    return false;
  int last = 0;
  while (!f.AtEnd()) {
    RowView r;
    int has_dir = 0, trouble = 0;
    size_t row_size = 0, metrics_size = 0;
    if (!f.Number(r.office) || r.office / 100 != hundred || r.office <= last ||
        !f.Number(has_dir) || !f.Number(trouble) || !f.Number(r.until_ms) ||
        !f.Number(r.success_ms) || !f.Number(r.traffic_ms) || !f.Number(row_size) ||
        !f.Number(metrics_size) || !f.Bytes(row_size, r.row) || !f.Bytes(metrics_size, r.metrics))
      return false;
    last = r.office;
    r.has_dir = has_dir != 0;
    r.trouble = trouble != 0;
    use(r);
  }
  return true;
}

// The rows of hundred `hundred`, by number; nullopt when the piece is damaged or of another
// hundred.
std::optional<std::map<int, KeptRow>> PieceFrom(std::string_view text, int hundred) {
  std::map<int, KeptRow> rows;
  const bool read = ForEachRow(text, hundred, [&](const RowView& v) {
    KeptRow& r = rows[v.office];
    r.office = v.office;
    r.has_dir = v.has_dir;
    r.trouble = v.trouble;
    r.until_ms = v.until_ms;
    r.success_ms = v.success_ms;
    r.traffic_ms = v.traffic_ms;
    r.row = v.row;
    r.metrics = v.metrics;
  });
  if (!read) return std::nullopt;
  return rows;
}

}  // namespace

StatusSummary::StatusSummary(std::string work_dir, const CallStore& store, const FileOps& ops,
                             size_t rebuild_budget)
    : work_dir_(std::move(work_dir)),
      store_(store),
      ops_(ops),
      rebuild_budget_(rebuild_budget),
      rows_(ReportOptions{}) {}

uint64_t StatusSummary::Generation() const {
  bool missing = false;
  const auto head = HeadFrom(ReadSmallFile(ops_, Dir() + "head.json", missing));
  return head ? head->generation : 0;
}

StatusSummary::Outcome StatusSummary::Update(WallTime now, uint64_t rebuild_up_to,
                                             std::chrono::milliseconds lock_wait) {
  return BringInLine(now, rebuild_up_to, lock_wait, false);
}

StatusSummary::Outcome StatusSummary::Rebuild(WallTime now, std::chrono::milliseconds lock_wait) {
  return BringInLine(now, kAnySize, lock_wait, true);
}

StatusSummary::Outcome StatusSummary::BringInLine(WallTime now, uint64_t rebuild_up_to,
                                                  std::chrono::milliseconds lock_wait,
                                                  bool damaged) {
  const auto lock = TakeLock(work_dir_ + kSummaryLock, ops_, lock_wait);
  if (!lock) return Outcome::kLocked;
  if (!OwnDirectory(Dir())) throw FileError("No se usa " + Dir() + ": no es un directorio");
  bool missing = false;
  std::optional<Head> head = HeadFrom(ReadSmallFile(ops_, Dir() + "head.json", missing));
  const long long keep_from = EpochMs(now) - 7 * kDayMs;
  std::map<int, std::optional<OfficeStatus>> before;  // as of the head, for what changes
  std::map<int, OfficeStatus> offices;
  std::string key;
  Head next;
  const auto add = [&](const CallSummary& c) {
    CountNetworkCall(next.totals, c, key);
    if (c.office == 0) return;
    auto it = offices.find(c.office);
    if (it == offices.end()) {
      std::optional<OfficeStatus> was;
      try {
        bool absent = false;
        const std::string text = ReadSmallFile(ops_, Dir() + OfficeFile(c.office), absent);
        if (!absent) was = OfficeAt(json::parse(text), head->generation);
      } catch (const std::exception&) {
        damaged = true;
      }
      before[c.office] = was;
      it = offices.emplace(c.office, was.value_or(OfficeStatus{})).first;
      it->second.office = c.office;
    }
    AddOfficeCall(it->second, c, keep_from);
  };
  const auto bad = [&](const BadLine&) { ++next.totals.bad_line_count; };
  std::optional<StoreMark> reached;
  const StoreMark end = store_.End();
  if (head && !damaged) {
    next.generation = head->generation + 1;
    next.totals.records = head->totals.records;
    next.totals.bad_line_count = head->totals.bad_line_count;
    next.totals.line_calls = head->totals.line_calls;
    next.totals.durations = head->totals.durations;
    next.totals.daily = head->totals.daily;
    reached = store_.ScanSince(head->mark, end, SummaryFilter(), add, bad);
    if (reached && *reached == head->mark && !damaged) {
      // Nothing new, but time goes on: the rows whose time came, or whose directory came or
      // went, are rendered again.
      const SurveyPlaces none;
      if (RefreshRows(now, {}, head->generation, head->generation, false,
                      list_dirs_ ? nullptr : &none))
        return Outcome::kInLine;
      damaged = true;
    }
  }
  if (!head || !reached || damaged) {
    if (end.bytes > rebuild_up_to) return Outcome::kNeedsRebuild;
    RebuildFromLog(now, head ? head->generation : 0);
    return Outcome::kRebuilt;
  }
  next.mark = *reached;
  PruneDays(next.totals.daily, now);
  std::vector<int> called;
  for (const auto& [number, s] : offices) called.push_back(number);
  const SurveyPlaces places = FindSurveyPlaces(work_dir_, called);
  for (auto& [number, s] : offices) {
    const auto& was = before.at(number);
    WriteOffice(
        s, places, now, next.generation,
        {{"generation", head->generation}, {"state", was ? OfficeJson(*was) : json(nullptr)}});
  }
  ReplaceFile(Dir() + "head.json", HeadJson(next).dump(), ops_);
  if (!RefreshRows(now, called, head->generation, next.generation, false,
                   list_dirs_ ? nullptr : &places)) {
    // The rows stay of the generation before: the next update renders them all again.
    if (end.bytes > rebuild_up_to) return Outcome::kNeedsRebuild;
    RebuildFromLog(now, next.generation);
    return Outcome::kRebuilt;
  }
  return Outcome::kUpdated;
}

void StatusSummary::RebuildFromLog(WallTime now, uint64_t generation) {
  // Counted again from nothing: the old files go first, the head before all, so that a crash
  // half-way leaves no head and the next update rebuilds again.
  ops_.unlink((Dir() + "head.json").c_str());
  // Everything in it goes, whatever it is: a file the summary did not write (a stray office,
  // one damaged) would otherwise be read as part of the new summary, or damage it again.
  if (const std::error_code err = RemoveTree(ops_, Dir());
      err && err != std::errc::no_such_file_or_directory)
    throw FileError(err, "No se puede borrar " + Dir());
  MakeDir(ops_, Dir());
  Head next;
  next.generation = generation + 1;
  // A rebuild looks at every office's directory in one reading of the working directory.
  const SurveyPlaces places = FindSurveyPlaces(work_dir_);
  const long long keep_from = EpochMs(now) - 7 * kDayMs;
  std::string key;
  std::optional<StoreMark> mark;
  // In rounds by office number, each reading the log up to where the first one ended: memory
  // holds the offices of one round, whatever the network's size.
  for (int from = 1; from <= kMaxOffice;) {
    OfficeRound round(from, rebuild_budget_, keep_from);
    const auto add = [&](const CallSummary& c) {
      if (!mark) CountNetworkCall(next.totals, c, key);
      if (c.office != 0) round.Add(c);
    };
    const auto bad = [&](const BadLine&) {
      if (!mark) ++next.totals.bad_line_count;
    };
    if (!mark) {
      mark = store_.Scan(SummaryFilter(), add, bad);
    } else if (!store_.ScanUpTo(*mark, SummaryFilter(), add, bad)) {
      // The log was compressed or replaced since the first round: what is written would
      // count another log. Start again on the log as it is now.
      return RebuildFromLog(now, generation);
    }
    for (auto& [number, s] : round.Offices()) WriteOffice(s, places, now, next.generation, nullptr);
    from = round.Last() + 1;
  }
  next.mark = *mark;
  PruneDays(next.totals.daily, now);
  ReplaceFile(Dir() + "head.json", HeadJson(next).dump(), ops_);
  // Files it has just written: one that cannot be read is a fault of the disk, not of the log.
  if (!RefreshRows(now, {}, next.generation, next.generation, true))
    throw FileError("No se puede leer lo escrito en " + Dir());
}

void StatusSummary::WriteOffice(OfficeStatus& s, const SurveyPlaces& places, WallTime now,
                                uint64_t generation, const json& prior) {
  ReportOptions options;
  options.work_dir = work_dir_;
  options.now = now;
  // What its next call will get, now that this one is over: only for the offices that
  // called, never a survey of the whole network.
  s.has_dir = places.office_dirs.count(s.office) > 0;
  s.next = DeliveryFor(options, s, places);
  const std::string file = OfficeFile(s.office);
  MakeDir(ops_, Dir() + file.substr(0, 2));
  ReplaceFile(Dir() + file,
              json{{"generation", generation}, {"state", OfficeJson(s)}, {"before", prior}}.dump(
                  -1, ' ', false, json::error_handler_t::replace),
              ops_);
}

std::optional<NetworkReport> StatusSummary::Read(const ReportOptions& options) const {
  std::vector<OfficeStatus> offices;
  std::optional<NetworkReport> report =
      Read(options, [&](OfficeStatus& s) { offices.push_back(std::move(s)); });
  if (report) report->offices = std::move(offices);
  return report;
}

std::optional<NetworkReport> StatusSummary::Read(
    const ReportOptions& options, const std::function<void(OfficeStatus&)>& each) const {
  if (!OwnDirectory(Dir())) return std::nullopt;
  bool missing = false;
  const auto head = HeadFrom(ReadSmallFile(ops_, Dir() + "head.json", missing));
  if (!head) return std::nullopt;
  NetworkReport report = TotalsAt(*head, options);
  const std::vector<bool> dirs = OfficeDirNumbers(options.work_dir);
  const auto has_dir = [&](int number) {
    return static_cast<size_t>(number) < dirs.size() && dirs[static_cast<size_t>(number)];
  };
  // Each office as the page shows it, handed over and gone before the next is read: memory
  // grows with one office, not with the network.
  const auto hand_over = [&](OfficeStatus& s) {
    ForPage(s, options);
    // Kept for the next update, not for the page.
    s.recent = {};
    s.held.reset();
    each(s);
  };
  // A hundred numbers at a time, in order: the names in their directory (at most a hundred
  // valid ones) sorted, merged with the office directories of those numbers.
  for (int hundred = 0; hundred < 100; ++hundred) {
    char sub[8];
    std::snprintf(sub, sizeof sub, "%02d", hundred);
    std::vector<int> files = OfficeFilesOf(Dir(), sub);
    std::sort(files.begin(), files.end());
    auto file = files.begin();
    for (int number = std::max(hundred * 100, 1); number < hundred * 100 + 100; ++number) {
      std::optional<OfficeStatus> s;
      if (file != files.end() && *file == number) {
        ++file;
        try {
          bool absent = false;
          s = OfficeAt(json::parse(ReadSmallFile(ops_, Dir() + OfficeFile(number), absent)),
                       head->generation);
        } catch (const std::exception&) {
          return std::nullopt;
        }
      }
      if (!s && !has_dir(number)) continue;
      if (!s) {
        s.emplace();
        s->office = number;
      }
      s->has_dir = has_dir(number);
      hand_over(*s);
    }
  }
  return report;
}

void StatusSummary::KeepRows(const ReportOptions& options) {
  rows_ = options;
}

bool StatusSummary::RefreshRows(WallTime now, const std::vector<int>& changed, uint64_t from,
                                uint64_t generation, bool all, const SurveyPlaces* places) {
  if (!rows_) return true;
  ReportOptions options = *rows_;
  options.work_dir = work_dir_;
  options.now = now;
  const long long now_ms = EpochMs(now);
  bool missing = false;
  std::optional<RowsIndex> index = IndexFrom(ReadSmallFile(ops_, Dir() + kRowsIndex, missing));
  // Rows of another generation (an update by a station that kept none, a crash before the
  // index) or other thresholds: all rendered again.
  if (!index || index->silent_hours != options.silent_hours ||
      index->max_refusals != options.max_refusals || index->generation != from) {
    all = true;
    index.emplace();
  }
  bool wrote = all || from != generation;
  index->generation = generation;
  index->silent_hours = options.silent_hours;
  index->max_refusals = options.max_refusals;
  // The directories as they are now: a listing of the working directory, no look at each.
  // Without one, the kept rows' directories stand, but for the offices that called.
  const bool listed = all || !places;
  const std::vector<bool> dirs = listed ? OfficeDirNumbers(work_dir_) : std::vector<bool>{};
  auto call = changed.begin();
  for (int hundred = 0; hundred < 100; ++hundred) {
    KeptHundred& kept = index->hundreds[static_cast<size_t>(hundred)];
    std::string want = listed ? std::string(100, '0') : kept.dirs;
    for (int k = 0; k < 100 && listed; ++k)
      if (static_cast<size_t>(hundred * 100 + k) < dirs.size() && dirs[hundred * 100 + k])
        want[static_cast<size_t>(k)] = '1';
    std::vector<int> called;
    for (; call != changed.end() && *call < hundred * 100 + 100; ++call) {
      called.push_back(*call);
      if (!listed)
        want[static_cast<size_t>(*call % 100)] = places->office_dirs.count(*call) ? '1' : '0';
    }
    if (!all && called.empty() && kept.until_ms > now_ms && kept.dirs == want) continue;
    std::map<int, KeptRow> rows;
    std::vector<int> redo;
    bool whole = all;
    if (!whole) {
      const std::string text = ReadSmallFile(ops_, Dir() + PieceFile(hundred), missing);
      if (missing && kept.offices == 0) {
        rows.clear();
      } else if (auto read = PieceFrom(text, hundred)) {
        rows = std::move(*read);
      } else {
        whole = true;
      }
    }
    if (whole) {
      rows.clear();
      // Every office of the hundred: those with a file, those with a directory.
      char sub[8];
      std::snprintf(sub, sizeof sub, "%02d", hundred);
      for (const int number : OfficeFilesOf(Dir(), sub)) redo.push_back(number);
      for (int k = 0; k < 100; ++k)
        if (want[static_cast<size_t>(k)] == '1') redo.push_back(hundred * 100 + k);
    } else {
      redo = called;
      for (const auto& [number, r] : rows)
        if (r.until_ms <= now_ms || r.has_dir != (want[static_cast<size_t>(number % 100)] == '1'))
          redo.push_back(number);
      for (int k = 0; k < 100; ++k)
        if (want[static_cast<size_t>(k)] == '1' && !rows.count(hundred * 100 + k))
          redo.push_back(hundred * 100 + k);
    }
    std::sort(redo.begin(), redo.end());
    redo.erase(std::unique(redo.begin(), redo.end()), redo.end());
    for (const int number : redo) {
      if (number < 1) continue;
      const bool has_dir = want[static_cast<size_t>(number % 100)] == '1';
      std::optional<OfficeStatus> s;
      try {
        bool absent = false;
        const std::string text = ReadSmallFile(ops_, Dir() + OfficeFile(number), absent);
        if (!absent) s = OfficeAt(json::parse(text), generation);
      } catch (const std::exception&) {
        return false;
      }
      if (!s && !has_dir) {
        rows.erase(number);
        continue;
      }
      if (!s) {
        s.emplace();
        s->office = number;
      }
      s->has_dir = has_dir;
      ForPage(*s, options);
      KeptRow& r = rows[number];
      r.office = number;
      r.has_dir = has_dir;
      r.trouble = s->InTrouble(options);
      r.row = HtmlOfficeRow(*s, options);
      const bool hours = s->last_success_ms && s->Silent(options) && !s->Unknown() &&
                         Mark(r.row, "desde hace ", (now_ms - *s->last_success_ms) / (kDayMs / 24),
                              " h", kHoursMark);
      const bool days =
          s->last_traffic_ms && Mark(r.row, "data-label=\"días sin tráfico\">",
                                     (now_ms - *s->last_traffic_ms) / kDayMs, "</td>", kDaysMark);
      r.success_ms = s->last_success_ms.value_or(0);
      r.traffic_ms = s->last_traffic_ms.value_or(0);
      r.until_ms = RowChangesAt(*s, options, hours, days);
      r.metrics = MetricsOffice(*s);
    }
    kept = KeptHundred{};
    kept.dirs = want;
    for (const auto& [number, r] : rows) {
      ++kept.offices;
      kept.trouble += r.trouble ? 1 : 0;
      kept.until_ms = std::min(kept.until_ms, r.until_ms);
    }
    if (rows.empty()) {
      ops_.unlink((Dir() + PieceFile(hundred)).c_str());
    } else {
      MakeDir(ops_, Dir() + PieceFile(hundred).substr(0, 2));
      ReplaceFile(Dir() + PieceFile(hundred), PieceText(rows), ops_);
    }
    wrote = true;
  }
  if (wrote) ReplaceFile(Dir() + kRowsIndex, IndexText(*index), ops_);
  return true;
}

bool StatusSummary::PutPage(
    const ReportOptions& options,
    const std::function<void(const NetworkReport&, uint64_t, uint64_t)>& head_out,
    const std::function<void(std::string_view)>& put_page,
    const std::function<void(std::string_view)>& put_metrics) const {
  if (!OwnDirectory(Dir())) return false;
  bool missing = false;
  const auto head = HeadFrom(ReadSmallFile(ops_, Dir() + "head.json", missing));
  const auto index = IndexFrom(ReadSmallFile(ops_, Dir() + kRowsIndex, missing));
  if (!head || !index || index->generation != head->generation ||
      index->silent_hours != options.silent_hours || index->max_refusals != options.max_refusals)
    return false;
  const long long now_ms = EpochMs(options.now);
  uint64_t offices = 0, trouble = 0;
  for (const KeptHundred& h : index->hundreds) {
    if (h.offices > 0 && h.until_ms <= now_ms) return false;
    offices += h.offices;
    trouble += h.trouble;
  }
  const NetworkReport totals = TotalsAt(*head, options);
  head_out(totals, offices, trouble);
  // The offices in trouble first, then the others, each group by number; one piece held at a
  // time, its rows handed over as they lie in it.
  const auto each_piece = [&](bool in_trouble, const std::function<void(const RowView&)>& use) {
    std::string text;
    for (int hundred = 0; hundred < 100; ++hundred) {
      const KeptHundred& h = index->hundreds[static_cast<size_t>(hundred)];
      if (in_trouble ? h.trouble == 0 : h.offices == 0) continue;
      bool absent = false;
      text = ReadSmallFile(ops_, Dir() + PieceFile(hundred), absent);
      if (!ForEachRow(text, hundred, use)) return false;
    }
    return true;
  };
  return each_piece(true,
                    [&](const RowView& r) {
                      if (r.trouble) FillRow(r, now_ms, put_page);
                    }) &&
         each_piece(false, [&](const RowView& r) {
           if (!r.trouble) FillRow(r, now_ms, put_page);
           put_metrics(r.metrics);
         });
}

StoreMark StoppableStore::Scan(const CallFilter& filter, const CallSink& sink,
                               const BadRecordSink& bad) const {
  Check();
  return store_.Scan(filter, Heard(sink), Heard(bad));
}

std::optional<StoreMark> StoppableStore::ScanUpTo(const StoreMark& mark, const CallFilter& filter,
                                                  const CallSink& sink,
                                                  const BadRecordSink& bad) const {
  Check();
  return store_.ScanUpTo(mark, filter, Heard(sink), Heard(bad));
}

std::optional<StoreMark> StoppableStore::ScanSince(const StoreMark& since, const StoreMark& until,
                                                   const CallFilter& filter, const CallSink& sink,
                                                   const BadRecordSink& bad) const {
  // What the log gained since a mark, a call or a few: read whole, so that the page asked for
  // by the last call before a stop is still written.
  return store_.ScanSince(since, until, filter, sink, bad);
}

void StoppableStore::ScanNewestFirst(const CallFilter& filter, const BadRecordSink& bad,
                                     const std::function<void(uint64_t)>& counted,
                                     const std::function<void(const CallRecord&)>& sink) const {
  Check();
  store_.ScanNewestFirst(filter, Heard(bad), counted, [&](const CallRecord& r) {
    Check();
    sink(r);
  });
}

CallSink StoppableStore::Heard(const CallSink& sink) const {
  return [this, &sink](const CallSummary& c) {
    Check();
    sink(c);
  };
}

BadRecordSink StoppableStore::Heard(const BadRecordSink& bad) const {
  return [this, &bad](const BadLine& b) {
    Check();
    if (bad) bad(b);
  };
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

// What each write hands the file system at once: a page of thousands of offices goes out in
// pieces this size, never whole.
constexpr size_t kPieceBytes = 64 * 1024;

// Rows set aside while the offices are walked: the page's head counts the offices in trouble,
// whose rows come first, so the rows of each kind wait in a file of their own, beside the
// page, until the walk is done. The file has no name (or loses it at once) and goes when
// closed, whatever stops the writer.
class SetAside {
 public:
  explicit SetAside(const std::string& dir) {
    fd_ = UniqueFd(::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!fd_.valid()) {
      // A file system without unnamed files (some network ones): a named one, unnamed at once.
      const std::string path = dir + TempName("estado.html.filas");
      fd_ = UniqueFd(::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600));
      if (!fd_.valid()) throw FileError(errno, "No se puede crear un archivo temporal en " + dir);
      ::unlink(path.c_str());
    }
  }
  void Put(std::string_view text) {
    buffer_ += text;
    if (buffer_.size() >= kPieceBytes) Flush();
  }
  // Appends what was set aside to `out`, a piece at a time.
  template <typename Out>
  void CopyTo(Out& out) {
    Flush();
    std::string piece(kPieceBytes, '\0');
    for (off_t at = 0;;) {
      const ssize_t got = PReadFull(SystemFileOps(), fd_.get(), piece.data(), piece.size(), at);
      if (got < 0) throw FileError(errno, "No se puede leer un archivo temporal");
      if (got == 0) return;
      out.Put(std::string_view(piece.data(), static_cast<size_t>(got)));
      at += got;
    }
  }

 private:
  void Flush() {
    if (const std::error_code err = WriteAll(SystemFileOps(), fd_.get(), buffer_))
      throw FileError(err, "No se puede escribir un archivo temporal");
    buffer_.clear();
  }

  UniqueFd fd_;
  std::string buffer_;
};

// One of the two files a page writes, put in place whole or not at all. A failure is kept, not
// thrown: the other file is still written.
class StreamedFile {
 public:
  // No path: a file not wanted, taking what is put and writing nothing.
  explicit StreamedFile(const std::string& path) {
    if (path.empty()) return;
    try {
      // Rewritten at every change of a line, in a working directory of thousands of offices:
      // the leftovers of a station that died while writing it go at a station's start, not
      // with a reading of the whole directory at every page.
      file_.emplace(path, SystemFileOps(), StaleTemps::kLeave);
    } catch (const std::exception& e) {
      error_ = e.what();
    }
  }
  void Put(std::string_view text) {
    if (!file_) return;
    buffer_ += text;
    if (buffer_.size() >= kPieceBytes) Flush();
  }
  // Puts the file in place; gives the first failure, empty when there was none.
  std::string Commit() {
    Flush();
    Try([&] { file_->Commit(); });
    return error_;
  }
  // Gives up the file, leaving whatever was in place.
  void Drop() {
    file_.reset();
    buffer_.clear();
  }
  bool ok() const { return file_.has_value(); }

 private:
  template <typename F>
  void Try(F&& f) {
    if (!file_) return;
    try {
      f();
    } catch (const std::exception& e) {
      error_ = e.what();
      file_.reset();
    }
  }
  void Flush() {
    Try([&] { file_->Write(buffer_); });
    buffer_.clear();
  }

  std::optional<StagedFile> file_;
  std::string buffer_;
  std::string error_;
};

// The directory `path` is in, ending in "/".
std::string DirOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

// The page and the metrics from the summary, one office at a time; `error` gets the first
// failure. False, with nothing put in place, when the summary turns out to be missing or
// damaged.
bool StreamPage(const StatusSummary& summary, const ReportOptions& options,
                const std::string& page_path, const std::string& metrics_dir, std::string& error) {
  // Each file with the rows it sets aside; a failure of either drops only that file.
  struct Output {
    std::optional<StreamedFile> file;
    std::vector<SetAside> rows;  // the page: in trouble, the others; the metrics: one
    std::string error;
    void Fail(const std::exception& e) {
      if (error.empty()) error = e.what();
      rows.clear();
      if (file) file->Drop();
    }
  };
  const auto open = [](Output& out, const std::string& path, int kinds) {
    out.file.emplace(path);
    if (!out.file->ok()) return;
    try {
      out.rows.reserve(kinds);
      for (int k = 0; k < kinds; ++k) out.rows.emplace_back(DirOf(path));
    } catch (const std::exception& e) {
      out.Fail(e);
    }
  };
  Output page, metrics;
  open(page, page_path, 2);
  if (!metrics_dir.empty()) open(metrics, metrics_dir + kMetricsName, 1);
  uint64_t offices = 0, trouble = 0;
  const std::optional<NetworkReport> report = summary.Read(options, [&](OfficeStatus& s) {
    ++offices;
    const bool in_trouble = s.InTrouble(options);
    trouble += in_trouble ? 1 : 0;
    try {
      if (!page.rows.empty()) page.rows[in_trouble ? 0 : 1].Put(HtmlOfficeRow(s, options));
    } catch (const std::exception& e) {
      page.Fail(e);
    }
    try {
      if (!metrics.rows.empty()) metrics.rows[0].Put(MetricsOffice(s));
    } catch (const std::exception& e) {
      metrics.Fail(e);
    }
  });
  if (!report) return false;  // the files are dropped unwritten
  const auto finish = [](Output& out, const std::string& head, const std::string& tail) {
    if (!out.file) return;
    try {
      if (!out.rows.empty()) {
        out.file->Put(head);
        for (SetAside& rows : out.rows) rows.CopyTo(*out.file);
        out.file->Put(tail);
      }
    } catch (const std::exception& e) {
      out.Fail(e);
    }
    const std::string failed = out.file->Commit();
    if (out.error.empty()) out.error = failed;
  };
  finish(page, HtmlPageHead(*report, offices, trouble, options), HtmlPageTail(report->daily));
  // The metrics go out even when the page cannot: they are what pages someone at night.
  if (!metrics_dir.empty()) finish(metrics, MetricsHead(*report, options), MetricsTail(*report));
  error = !page.error.empty() ? page.error : metrics.error;
  return true;
}

// The page and the metrics put together from the summary's kept rows; `error` gets the first
// failure. False, with nothing put in place, when the rows are not in line.
bool StreamRows(const StatusSummary& summary, const ReportOptions& options,
                const std::string& page_path, const std::string& metrics_dir, std::string& error) {
  StreamedFile page(page_path);
  std::optional<StreamedFile> metrics;
  if (!metrics_dir.empty()) metrics.emplace(metrics_dir + kMetricsName);
  std::optional<NetworkReport> totals;
  const bool put = summary.PutPage(
      options,
      [&](const NetworkReport& report, uint64_t offices, uint64_t trouble) {
        totals = report;
        page.Put(HtmlPageHead(report, offices, trouble, options));
        if (metrics) metrics->Put(MetricsHead(report, options));
      },
      [&](std::string_view row) { page.Put(row); },
      [&](std::string_view line) {
        if (metrics) metrics->Put(line);
      });
  if (!put) {
    page.Drop();
    if (metrics) metrics->Drop();
    return false;
  }
  page.Put(HtmlPageTail(totals->daily));
  const std::string page_error = page.Commit();
  // The metrics go out even when the page cannot: they are what pages someone at night.
  std::string metrics_error;
  if (metrics) {
    metrics->Put(MetricsTail(*totals));
    metrics_error = metrics->Commit();
  }
  error = !page_error.empty() ? page_error : metrics_error;
  return true;
}

// What a page does when the summary cannot be read.
enum class Unreadable {
  kFromLog,  // the summary cannot be written either: the page comes from the log itself
  kRebuild,  // damage the update did not meet (an office that did not call): counted again
  kLeave,    // another station holds the summary, rebuilding it: it writes the page after
};

// How long a page waits for another station's update of the summary.
constexpr std::chrono::seconds kSummaryWait{2};

// The page to `page_path` (none when empty) and the metrics to `metrics_dir` (none when empty).
void WritePageOnce(StatusSummary& summary, const CallStore& store, const ReportOptions& options,
                   const std::string& page_path, const std::string& metrics_dir,
                   Unreadable unreadable, std::string& summary_error) {
  std::string error;
  // The kept rows, when they are in line: what a page costs then does not grow with the
  // network's offices.
  if (StreamRows(summary, options, page_path, metrics_dir, error)) {
    if (!error.empty()) throw FileError(error);
    return;
  }
  // Whether the page came from the summary; a file that failed is thrown.
  const auto streamed = [&] {
    if (!StreamPage(summary, options, page_path, metrics_dir, error)) return false;
    if (!error.empty()) throw FileError(error);
    return true;
  };
  if (streamed()) return;
  // Building the page from the log holds the whole network: never while a rebuild that
  // writes the page anyway is under way.
  if (unreadable == Unreadable::kLeave) return;
  if (unreadable == Unreadable::kRebuild) {
    // Only the rebuild's failure sends the page to the log; the page's own is thrown.
    std::optional<StatusSummary::Outcome> rebuilt;
    try {
      rebuilt = summary.Rebuild(options.now, kSummaryWait);
    } catch (const FileError& e) {
      if (summary_error.empty()) summary_error = e.what();
    }
    if (rebuilt == StatusSummary::Outcome::kLocked) return;
    if (rebuilt && streamed()) return;
  }
  // A summary that cannot be read (its lock held since the start, a damage found meanwhile)
  // leaves the page to the log itself: slower and held whole, never wrong.
  const NetworkReport report = BuildReport(store, options);
  try {
    if (!page_path.empty()) ReplaceFile(page_path, RenderHtml(report, options));
  } catch (const std::exception& e) {
    error = e.what();
  }
  // The metrics go out even when the page cannot: they are what pages someone at night.
  if (!metrics_dir.empty()) ReplaceFile(metrics_dir + kMetricsName, RenderMetrics(report, options));
  if (!error.empty()) throw FileError(error);
}

bool WritePages(const ReportOptions& options, const std::string& path,
                const std::string& metrics_dir, const std::function<bool()>& pause,
                const std::function<bool()>& stopped);

}  // namespace

bool WriteStatusPage(const ReportOptions& options, const std::string& path,
                     const std::string& metrics_dir, const std::function<bool()>& pause,
                     const std::function<bool()>& stopped) {
  try {
    return WritePages(options, path, metrics_dir, pause, stopped);
  } catch (const ScanStopped&) {
    // Stopping: whatever is in place stays, and the summary is brought in line next time.
    return false;
  }
}

namespace {

bool WritePages(const ReportOptions& options, const std::string& path,
                const std::string& metrics_dir, const std::function<bool()>& pause,
                const std::function<bool()>& stopped) {
  const JsonLinesCallStore log(options.work_dir);
  const StoppableStore store(log, stopped);
  StatusSummary summary(options.work_dir, store);
  summary.KeepRows(options);
  // A summary that cannot be written still leaves a page, from the log if need be; its error
  // is told after the page.
  std::string summary_error;
  Unreadable unreadable = Unreadable::kRebuild;
  try {
    if (summary.Update(options.now, StatusSummary::kAnySize, kSummaryWait) ==
        StatusSummary::Outcome::kLocked)
      unreadable = Unreadable::kLeave;
  } catch (const FileError& e) {
    summary_error = e.what();
    unreadable = Unreadable::kFromLog;
  }
  const std::string page_path = path.empty() ? options.work_dir + kPageName : path;
  const std::string lock_path = options.work_dir + kPageLock;
  const auto may_go_on = [&] { return (!pause || pause()) && !(stopped && stopped()); };
  for (bool first = true;; first = false) {
    if (!first && !may_go_on()) break;
    std::error_code error;
    auto lock = FileLock::TryAcquire(lock_path, error);
    if (!lock) {
      if (!IsTaken(error)) {
        std::string failed =
            "No se puede bloquear " + lock_path + ": " + FileLock::ErrorText(error);
        // The metrics go out even when the page cannot: they are what pages someone at night.
        // Each is replaced whole, so two stations writing them at once cannot mix them.
        try {
          if (!metrics_dir.empty())
            WritePageOnce(summary, store, options, {}, metrics_dir, unreadable, summary_error);
        } catch (const FileError& e) {
          failed += std::string("; ") + e.what();
        }
        if (!summary_error.empty()) failed += "; " + summary_error;
        throw FileError(failed);
      }
      // Another station is writing the page: it writes it again when it sees this.
      if (::utimensat(AT_FDCWD, lock_path.c_str(), nullptr, AT_SYMLINK_NOFOLLOW) != 0)
        throw FileError(errno, "No se puede marcar " + lock_path);
      return false;
    }
    PageStamp before = StampOf(summary, lock_path);
    WritePageOnce(summary, store, options, page_path, metrics_dir, unreadable, summary_error);
    while (StampOf(summary, lock_path) != before && may_go_on()) {
      before = StampOf(summary, lock_path);
      WritePageOnce(summary, store, options, page_path, metrics_dir, unreadable, summary_error);
    }
    lock.reset();
    // A station that found the lock taken just before it went is served here.
    if (StampOf(summary, lock_path) == before) break;
  }
  if (!summary_error.empty()) throw FileError(summary_error);
  return true;
}

}  // namespace

}  // namespace marvolen
