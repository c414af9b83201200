#include "callrec/CallLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <simdjson.h>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/SystemCalls.h"

namespace marvolen {

namespace {

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

long long EpochMs(WallTime t) {
  return std::chrono::duration_cast<Millis>(t.time_since_epoch()).count();
}

// A line longer than this is no record of ours: it is reported and skipped, so that a log
// damaged into one endless line cannot make the report hold it whole.
constexpr size_t kMaxLine = 1 << 20;
constexpr size_t kChunk = 4 << 20;

class LineReader {
 public:
  LineReader(const CallSink& sink, const BadLineSink& bad) : sink_(sink), bad_(bad) {}

  void Line(const char* data, size_t size) {
    ++number_;
    if (size == 0) return;  // an empty line holds nothing to lose
    const std::string_view text(data, size);
    simdjson::dom::element root;
    if (parser_.parse(data, size, false).get(root)) return bad_(number_, "JSON no válido");
    CallSummary summary;
    summary.line_number = number_;
    summary.line = text;
    if (const char* why = Summarise(root, summary)) return bad_(number_, why);
    sink_(summary);
  }
  void Overlong() {
    ++number_;
    bad_(number_, "línea demasiado larga");
  }

 private:
  static const char* Summarise(simdjson::dom::element root, CallSummary& s) {
    std::string_view start, end, result;
    if (root["start"].get(start) || root["end"].get(end) || root["result"].get(result))
      return "no es un registro de llamada";
    const auto start_time = ParseIso(start), end_time = ParseIso(end);
    const auto result_value = ResultFromName(result);
    if (!start_time || !end_time || !result_value) return "no es un registro de llamada";
    s.start_text = start;
    s.start_ms = EpochMs(*start_time);
    s.end_ms = EpochMs(*end_time);
    s.result = *result_value;
    int64_t office = 0;
    if (!root["office"].get(office) && office > 0 && office <= 9999)
      s.office = static_cast<int>(office);
    std::string_view reason;
    if (!root["reason"].get(reason)) s.reason = ReasonFromName(reason).value_or(CallReason::kNone);
    int64_t port = 0;
    if (!root["line"]["port"].get(port)) s.port = static_cast<int>(port);
    if (root["line"]["device"].get(s.device)) s.device = {};
    simdjson::dom::array traffic;
    s.traffic_filed = !root["traffic"].get(traffic) && traffic.size() > 0;
    simdjson::dom::array files;
    s.identified = !root["office_files"].get(files);
    return nullptr;
  }

  const CallSink& sink_;
  const BadLineSink& bad_;
  simdjson::dom::parser parser_;
  uint64_t number_ = 0;
};

}  // namespace

void AppendCallRecord(const std::string& path, const CallRecord& record) {
  const std::string line = RecordToJson(record) + "\n";
  UniqueFd fd(RetryOnEintr(
      [&] { return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644); }));
  if (!fd.valid()) throw CallLogError(SystemError("No se puede abrir", path));
  const ssize_t written = RetryOnEintr([&] { return ::write(fd.get(), line.data(), line.size()); });
  const int write_errno = errno;
  if (written >= 0 && static_cast<size_t>(written) < line.size()) {
    // The reader skips the cut line; end it so the next record is not glued to it.
    static_cast<void>(::write(fd.get(), "\n", 1));
  }
  fd.Close();
  if (written < 0 || static_cast<size_t>(written) != line.size()) {
    errno = written < 0 ? write_errno : ENOSPC;
    throw CallLogError(SystemError("No se puede escribir", path));
  }
}

void ScanCallLog(const std::string& path, const CallSink& sink, const BadLineSink& bad) {
  const UniqueFd fd(RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd.valid()) {
    if (errno == ENOENT) return;
    throw CallLogError(SystemError("No se puede abrir", path));
  }
  LineReader reader(sink, bad);
  // The parser reads a little past each line: the buffer keeps that padding behind its end.
  std::vector<char> buffer(kChunk + kMaxLine + simdjson::SIMDJSON_PADDING);
  size_t held = 0;        // bytes of an unfinished line at the buffer's start
  bool skipping = false;  // inside an overlong line, until its end
  for (;;) {
    const ssize_t got =
        RetryOnEintr([&] { return ::read(fd.get(), buffer.data() + held, kChunk); });
    if (got < 0) throw CallLogError(SystemError("No se puede leer", path));
    const size_t end = held + static_cast<size_t>(got);
    size_t from = 0;
    for (size_t i = held; i < end; ++i) {
      if (buffer[i] != '\n') continue;
      if (skipping) {
        skipping = false;
      } else {
        reader.Line(buffer.data() + from, i - from);
      }
      from = i + 1;
    }
    held = end - from;
    if (got == 0) {
      // A last line without its line end is a record cut short, unless it parses whole.
      if (held > 0 && !skipping) reader.Line(buffer.data() + from, held);
      break;
    }
    if (held > kMaxLine) {
      if (!skipping) reader.Overlong();
      skipping = true;
      held = 0;
      continue;
    }
    std::memmove(buffer.data(), buffer.data() + from, held);
  }
}

}  // namespace marvolen
