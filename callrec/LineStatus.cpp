#include "callrec/LineStatus.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <nlohmann/json.hpp>

#include "callrec/CallRecord.h"

namespace marvolen {

namespace {

using nlohmann::json;

constexpr std::string_view kSuffix = ".json";
constexpr char kLinesDir[] = "lines";
// What a status file may hold: a few hundred bytes; more is not ours.
constexpr size_t kMaxFileSize = 64 * 1024;

std::string Seconds(WallTime t) {
  return FormatIsoLocal(std::chrono::time_point_cast<std::chrono::seconds>(t));
}

WallTime TimeField(const json& j, const char* key) {
  const auto parsed = ParseIso(j.at(key).get<std::string>());
  if (!parsed) throw LineStatusError(std::string("hora no válida en \"") + key + "\"");
  return *parsed;
}

// The failure of the read that just set errno: its reason alone.
LineStatusError ReadFailure() {
  const std::error_code code = LastErrno();
  return LineStatusError(code, ReasonText(code));
}

// The whole of a regular file `name` in the directory open at `dir_fd`, not following a link.
std::string ReadStatusFile(int dir_fd, const std::string& name) {
  const FileOps& ops = SystemFileOps();
  const UniqueFd fd = OpenAtFd(ops, dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (!fd.valid()) throw ReadFailure();
  struct stat st {};
  if (ops.fstat(fd.get(), &st) != 0) throw ReadFailure();
  if (!S_ISREG(st.st_mode)) {
    throw LineStatusError(StationRefusal::kNotRegularFile, "no es un archivo regular");
  }
  if (static_cast<size_t>(st.st_size) > kMaxFileSize) throw LineStatusError("demasiado grande");
  std::string text(static_cast<size_t>(st.st_size), '\0');
  const ssize_t n = ReadFull(ops, fd.get(), text.data(), text.size());
  if (n < 0) throw ReadFailure();
  text.resize(static_cast<size_t>(n));
  return text;
}

}  // namespace

bool LineIsStale(const LineStatus& status, WallTime now) {
  return status.state != kLineStopped && now - status.heartbeat > kLineStaleAfter;
}

bool LineIsUp(const LineStatus& status, WallTime now) {
  const bool up =
      status.state == kLineWaiting || status.state == kLineInCall || status.state == kLineResetting;
  return up && !LineIsStale(status, now);
}

std::string LineStatusToJson(const LineStatus& s) {
  json j;
  j["line"] = s.line;
  j["device"] = s.device;
  j["state"] = s.state;
  j["reason"] = s.reason;
  j["office"] = s.office;
  j["step"] = s.step;
  j["bytes_sent"] = s.bytes_sent;
  j["bytes_received"] = s.bytes_received;
  j["since"] = Seconds(s.since);
  j["heartbeat"] = Seconds(s.heartbeat);
  j["pid"] = s.pid;
  // Texts from the system or a device name may hold any byte: replaced, never a throw.
  return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

LineStatus LineStatusFromJson(std::string_view text) {
  try {
    const json j = json::parse(text);
    LineStatus s;
    s.line = j.at("line").get<std::string>();
    s.device = j.at("device").get<std::string>();
    s.state = j.at("state").get<std::string>();
    s.reason = j.at("reason").get<std::string>();
    s.office = j.at("office").get<int>();
    s.step = j.at("step").get<std::string>();
    s.bytes_sent = j.at("bytes_sent").get<std::uint64_t>();
    s.bytes_received = j.at("bytes_received").get<std::uint64_t>();
    s.since = TimeField(j, "since");
    s.heartbeat = TimeField(j, "heartbeat");
    s.pid = j.at("pid").get<long>();
    for (const char* state :
         {kLineStarting, kLineWaiting, kLineInCall, kLineResetting, kLineDown, kLineStopped}) {
      if (s.state == state) return s;
    }
    throw LineStatusError("estado desconocido \"" + s.state + "\"");
  } catch (const json::exception& e) {
    throw LineStatusError(std::string("no es un estado de línea: ") + JsonFaultText(e.id));
  }
}

Dir MakeLinesDir(const std::string& work_dir, const FileOps& ops) {
  return Dir::Open(work_dir, Dir::Links::kFollow, ops).MakeChild(kLinesDir);
}

std::string LineStatusPath(const std::string& work_dir, std::string_view line) {
  return work_dir + kLinesDir + "/" + std::string(line) + std::string(kSuffix);
}

bool IsLineName(std::string_view name) {
  if (name.empty() || name.size() > kMaxLineName || name.front() == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

void WriteLineStatus(const std::string& work_dir, const LineStatus& status, const FileOps& ops) {
  if (!IsLineName(status.line)) throw FileError("Nombre de línea no válido: " + status.line);
  // Live state, rewritten every minute: a power cut that loses the last write loses nothing
  // (the station is gone with it), and an idle line need not wait for the disk every minute.
  MakeLinesDir(work_dir, ops)
      .Replace(status.line + std::string(kSuffix), LineStatusToJson(status), Durability::kAtomic);
}

std::vector<LineStatusFile> ReadLineStatuses(const std::string& work_dir) {
  std::vector<LineStatusFile> files;
  const FileOps& ops = SystemFileOps();
  std::error_code error;
  const std::optional<Dir> work = Dir::TryOpen(work_dir, Dir::Links::kFollow, error, ops);
  const std::optional<Dir> dir = work ? work->TryChild(kLinesDir, error) : std::nullopt;
  if (!dir) return files;
  const auto names = ListDirectory(ops, dir->fd());
  if (!names) return files;
  for (const std::string& name : *names) {
    if (name.front() == '.' || !name.ends_with(kSuffix)) continue;  // temporary files too
    LineStatusFile file;
    file.name = name.substr(0, name.size() - kSuffix.size());
    try {
      file.status = LineStatusFromJson(ReadStatusFile(dir->fd(), name));
    } catch (const LineStatusError& e) {
      file.error = e.what();
      file.code = e.code();
    }
    files.push_back(std::move(file));
  }
  std::sort(files.begin(), files.end(),
            [](const LineStatusFile& a, const LineStatusFile& b) { return a.name < b.name; });
  return files;
}

}  // namespace marvolen
