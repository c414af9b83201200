#include "callrec/CallRecord.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <utility>

namespace marvolen {

using nlohmann::json;

namespace {

constexpr std::array<std::pair<CallResult, std::string_view>, 4> kResults{{
    {CallResult::kSuccess, "success"},
    {CallResult::kRefused, "refused"},
    {CallResult::kNeverIdentified, "never_identified"},
    {CallResult::kAborted, "aborted"},
}};

constexpr std::array<std::pair<CallReason, std::string_view>, 18> kReasons{{
    {CallReason::kNone, ""},
    {CallReason::kWrongPassword, "wrong_password"},
    {CallReason::kHalvesDiffer, "halves_differ"},
    {CallReason::kDeviceMismatch, "device_mismatch"},
    {CallReason::kBadOfficeNumber, "bad_office_number"},
    {CallReason::kNoTables, "no_tables"},
    {CallReason::kTooManyStrayLines, "too_many_stray_lines"},
    {CallReason::kInCallOnOtherLine, "in_call_on_other_line"},
    {CallReason::kLockFailed, "lock_failed"},
    {CallReason::kStall, "stall"},
    {CallReason::kCarrierLost, "carrier_lost"},
    {CallReason::kTransferFailed, "transfer_failed"},
    {CallReason::kProgramError, "program_error"},
    {CallReason::kStopped, "stopped"},
    {CallReason::kCallTooLong, "call_too_long"},
    {CallReason::kArchiveTooLarge, "archive_too_large"},
    {CallReason::kUnknownOffice, "unknown_office"},
    {CallReason::kNoProgress, "no_progress"},
}};

template <typename T>
json Optional(const std::optional<T>& value) {
  return value ? json(*value) : json(nullptr);
}

json NamedBytesJson(const std::vector<NamedBytes>& list) {
  json out = json::array();
  for (const NamedBytes& f : list) {
    json entry = {{"name", f.name}, {"bytes", f.bytes}};
    if (f.already_filed) entry["already_filed"] = true;
    out.push_back(std::move(entry));
  }
  return out;
}

json TransferJson(const TransferSummary& t) {
  // Rounded so that the log stays readable; a millisecond is finer than the line's pace.
  const double rate = std::round(t.BytesPerSecond() * 10) / 10;
  return {{"direction", t.direction == TransferDirection::kSend ? "send" : "receive"},
          {"file", t.file},
          {"bytes", t.bytes},
          {"blocks", t.blocks},
          {"block_size", t.block_size},
          {"resends", t.resends},
          {"check", t.crc ? "crc" : "checksum"},
          {"seconds", std::round(t.seconds * 1000) / 1000},
          {"bytes_per_second", rate},
          {"result", t.result}};
}

WallTime TimeField(const json& j, const char* key) {
  const auto t = ParseIso(j.at(key).get<std::string>());
  if (!t) throw RecordFormatError(std::string("hora no válida en \"") + key + "\"");
  return *t;
}

std::vector<NamedBytes> NamedBytesFrom(const json& j) {
  std::vector<NamedBytes> out;
  for (const json& f : j) {
    out.push_back({f.at("name").get<std::string>(), f.at("bytes"),
                   f.contains("already_filed") && f.at("already_filed").get<bool>()});
  }
  return out;
}

TransferSummary TransferFrom(const json& j) {
  TransferSummary t;
  t.direction =
      j.at("direction") == "send" ? TransferDirection::kSend : TransferDirection::kReceive;
  t.file = j.at("file");
  t.bytes = j.at("bytes");
  t.blocks = j.at("blocks");
  t.block_size = j.at("block_size");
  t.resends = j.at("resends");
  t.crc = j.at("check") == "crc";
  t.seconds = j.at("seconds");
  t.result = j.value("result", "");
  return t;
}

void ReadOutcome(const json& j, CallRecord& r) {
  const auto result = ResultFromName(j.at("result").get<std::string>());
  if (!result) throw RecordFormatError("resultado desconocido");
  r.result = *result;
  const json& reason = j.at("reason");
  if (!reason.is_null()) {
    // A reason of a newer station's that this reader does not know leaves the record whole,
    // with its result and no reason, as the log's scan reads it: a call must not vanish from
    // an office's calls for it.
    const auto known = ReasonFromName(reason.get<std::string>());
    if (known == CallReason::kNone) throw RecordFormatError("motivo desconocido");
    r.reason = known.value_or(CallReason::kNone);
  }
  r.detail = j.value("detail", "");
  // Records from before the field was kept: only a success is known to have been admitted.
  r.admitted = j.value("admitted", r.result == CallResult::kSuccess);
}

void ReadFiles(const json& j, CallRecord& r) {
  for (const json& f : j.at("files_sent"))
    r.files_sent.push_back({f.at("name"), f.at("kind"), f.at("bytes")});
  if (!j.at("deleted").is_null()) r.deleted = j.at("deleted").get<std::string>();
  r.traffic = NamedBytesFrom(j.at("traffic"));
  r.day_files_asked = j.at("day_files").at("asked").get<std::vector<std::string>>();
  r.day_files_received = NamedBytesFrom(j.at("day_files").at("received"));
  if (!j.at("clock_set").is_null()) r.clock_set = TimeField(j, "clock_set");
  for (const json& t : j.at("transfers")) r.transfers.push_back(TransferFrom(t));
  if (j.at("office_files").is_null()) return;
  r.office_files.emplace();
  for (const json& f : j.at("office_files"))
    r.office_files->push_back({f.at("name"), f.at("value"), f.value("probe", "")});
}

}  // namespace

std::string_view ResultName(CallResult result) {
  for (const auto& [value, name] : kResults)
    if (value == result) return name;
  return "";
}

std::string_view ReasonName(CallReason reason) {
  for (const auto& [value, name] : kReasons)
    if (value == reason) return name;
  return "";
}

std::optional<CallResult> ResultFromName(std::string_view name) {
  for (const auto& [value, text] : kResults)
    if (text == name) return value;
  return std::nullopt;
}

std::optional<CallReason> ReasonFromName(std::string_view name) {
  for (const auto& [value, text] : kReasons)
    if (text == name) return value;
  return std::nullopt;
}

std::string FormatIsoLocal(WallTime t) {
  const auto since_epoch = t.time_since_epoch();
  const auto secs = std::chrono::floor<std::chrono::seconds>(since_epoch);
  const auto ms = std::chrono::duration_cast<Millis>(since_epoch - secs).count();
  const std::time_t tt = static_cast<std::time_t>(secs.count());
  std::tm tm{};
  ::localtime_r(&tt, &tm);
  const long offset_min = tm.tm_gmtoff / 60;
  const int abs_min = static_cast<int>((offset_min < 0 ? -offset_min : offset_min) % (24 * 60));
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms),
                offset_min < 0 ? '-' : '+', abs_min / 60, abs_min % 60);
  return buf;
}

namespace {

bool Digits(std::string_view s, size_t pos, size_t n, int& out) {
  if (pos + n > s.size()) return false;
  out = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

constexpr int kFirstYear = 1970;
// The last second that WallTime (a signed 64-bit count of nanoseconds) holds with its
// milliseconds: in April 2262.
constexpr long long kLastEpochSecond =
    std::chrono::duration_cast<std::chrono::seconds>(WallTime::duration::max()).count() - 1;

// Days since 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

}  // namespace

std::optional<WallTime> ParseIso(std::string_view s) {
  int y, mo, d, h, mi, se, ms = 0;
  if (!Digits(s, 0, 4, y) || s.size() < 19 || s[4] != '-' || !Digits(s, 5, 2, mo) || s[7] != '-' ||
      !Digits(s, 8, 2, d) || s[10] != 'T' || !Digits(s, 11, 2, h) || s[13] != ':' ||
      !Digits(s, 14, 2, mi) || s[16] != ':' || !Digits(s, 17, 2, se))
    return std::nullopt;
  if (y < kFirstYear || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60)
    return std::nullopt;
  size_t pos = 19;
  if (pos < s.size() && s[pos] == '.') {
    if (!Digits(s, pos + 1, 3, ms)) return std::nullopt;
    pos += 4;
  }
  long offset_s = 0;
  if (pos < s.size() && s[pos] == 'Z') {
    ++pos;
  } else {
    int oh, om;
    if (pos + 6 != s.size() || (s[pos] != '+' && s[pos] != '-') || !Digits(s, pos + 1, 2, oh) ||
        s[pos + 3] != ':' || !Digits(s, pos + 4, 2, om))
      return std::nullopt;
    offset_s = (s[pos] == '-' ? -1 : 1) * (oh * 3600L + om * 60L);
    pos += 6;
  }
  if (pos != s.size()) return std::nullopt;
  const long long epoch_s =
      DaysFromCivil(y, mo, d) * 86400 + h * 3600LL + mi * 60LL + se - offset_s;
  // Checked in seconds, before the conversion that would overflow.
  if (epoch_s > kLastEpochSecond) return std::nullopt;
  return WallTime(
      std::chrono::duration_cast<WallTime::duration>(std::chrono::seconds(epoch_s) + Millis(ms)));
}

std::string RecordToJson(const CallRecord& r) {
  json j;
  j["start"] = FormatIsoLocal(r.start);
  j["end"] = FormatIsoLocal(r.end);
  j["duration_s"] = std::chrono::duration_cast<Millis>(r.end - r.start).count() / 1000.0;
  j["line"] = {{"name", r.line_name}, {"port", r.port}, {"device", r.device}};
  j["home"] = r.home;
  j["office"] = Optional(r.office);
  j["device_id"] = Optional(r.device_id);
  j["table_kind"] = Optional(r.table_kind);
  j["features"] = r.features;
  j["result"] = ResultName(r.result);
  j["reason"] = r.reason == CallReason::kNone ? json(nullptr) : json(ReasonName(r.reason));
  j["admitted"] = r.admitted;
  j["detail"] = r.detail;
  json sent = json::array();
  for (const SentFile& f : r.files_sent)
    sent.push_back({{"name", f.name}, {"kind", f.kind}, {"bytes", f.bytes}});
  j["files_sent"] = sent;
  j["deleted"] = Optional(r.deleted);
  j["traffic"] = NamedBytesJson(r.traffic);
  j["day_files"] = {{"asked", r.day_files_asked},
                    {"received", NamedBytesJson(r.day_files_received)}};
  j["clock_set"] = r.clock_set ? json(FormatIsoLocal(*r.clock_set)) : json(nullptr);
  json transfers = json::array();
  for (const TransferSummary& t : r.transfers) transfers.push_back(TransferJson(t));
  j["transfers"] = transfers;
  if (r.office_files) {
    json files = json::array();
    for (const ReportedFile& f : *r.office_files)
      files.push_back({{"name", f.name}, {"value", f.value}, {"probe", f.probe}});
    j["office_files"] = files;
  } else {
    j["office_files"] = nullptr;
  }
  j["transcript"] = r.transcript;
  // Bytes that are not UTF-8 (a garbled name from the line) are replaced, never a failure:
  // the record of a call must always be written.
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

CallRecord RecordFromJson(std::string_view line) {
  try {
    const json j = json::parse(line);
    CallRecord r;
    r.start = TimeField(j, "start");
    r.end = TimeField(j, "end");
    r.port = j.at("line").at("port");
    r.device = j.at("line").at("device");
    r.line_name = j.at("line").value("name", "");
    r.home = j.at("home");
    if (!j.at("office").is_null()) r.office = j.at("office").get<int>();
    if (!j.at("device_id").is_null()) r.device_id = j.at("device_id").get<std::string>();
    if (!j.at("table_kind").is_null()) r.table_kind = j.at("table_kind").get<std::string>();
    r.features = j.value("features", false);
    ReadOutcome(j, r);
    ReadFiles(j, r);
    r.transcript = j.value("transcript", "");
    return r;
  } catch (const json::exception& e) {
    throw RecordFormatError(JsonFaultText(e.id));
  }
}

std::string JsonFaultText(int exception_id) {
  // The parser numbers its exceptions by kind: 1xx parse errors, 3xx a value of another type,
  // 4xx a key or an index that is not there (403: a missing key).
  if (exception_id >= 100 && exception_id < 200) return "JSON no válido";
  if (exception_id >= 300 && exception_id < 400) return "un campo tiene otro tipo";
  if (exception_id == 403) return "falta un campo";
  if (exception_id >= 400 && exception_id < 500) return "un valor está fuera de rango";
  return "JSON inesperado";
}

}  // namespace marvolen
