#include "callrec/CallLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "callrec/RecordReader.h"
#include "platform/FileNames.h"
#include "platform/FileOps.h"
#include "platform/SystemCalls.h"
#include "zip/Codec.h"

namespace marvolen {

namespace {

// The failure of the system call that just set errno, while doing `what` on `path`.
CallLogError SystemError(const std::string& what, const std::string& path) {
  const std::error_code code(errno, std::generic_category());
  return CallLogError(code, ErrorText(what + " " + path, code));
}

// A log that is no regular file (a FIFO, a device, a link in its place).
CallLogError NotRegular(const std::string& doing, const std::string& why) {
  return CallLogError(StationRefusal::kNotRegularFile, doing + ": " + why);
}

long long EpochMs(WallTime t) {
  return std::chrono::duration_cast<Millis>(t.time_since_epoch()).count();
}

// A line longer than this is no record of ours: it is reported and skipped, so that a log
// damaged into one endless line cannot make the report hold it whole.
constexpr size_t kMaxLine = 1 << 20;
// Read a quarter of a megabyte at a time: larger chunks read no faster, and the buffer is most
// of what a scan holds.
constexpr size_t kChunk = 256 << 10;

// What a scan hands on for each record: the summary and the line it was read from.
using RawSink = std::function<void(std::string_view line, const CallSummary&)>;

class LineReader {
 public:
  LineReader(const RawSink& sink, const BadLineSink& bad, bool holdings)
      : sink_(sink), bad_(bad), reader_(holdings) {}

  void Line(const char* data, size_t size, uint64_t number) {
    if (size == 0) return;  // an empty line holds nothing to lose
    if (size > kMaxLine) return Overlong(number);
    CallSummary summary;
    if (const char* why = reader_.Read(data, size, summary)) return bad_(number, why);
    summary.line_number = number;
    sink_(std::string_view(data, size), summary);
  }
  void Overlong(uint64_t number) { bad_(number, "línea demasiado larga"); }

 private:
  const RawSink& sink_;
  const BadLineSink& bad_;
  RecordReader reader_;
};

// Why the log cannot be written at `path`, from the errno of a failed open.
CallLogError OpenError(const std::string& path) {
  if (errno == ELOOP) return NotRegular("No se escribe en " + path, "es un enlace simbólico");
  // A FIFO that nobody reads (or a device that is not there) when opened without waiting.
  if (errno == ENXIO) return NotRegular("No se escribe en " + path, "no es un archivo regular");
  return SystemError("No se puede abrir", path);
}

// Whether the file of `size` bytes open at `fd` ends with a line end; false when that cannot
// be read: a line end too many makes an empty line, which readers skip, one too few loses the
// record.
bool EndsWithLineEnd(const FileOps& ops, int fd, off_t size) {
  char last = 0;
  return ops.pread(fd, &last, 1, size - 1) == 1 && last == '\n';
}

// Takes the first `written` bytes of a record out of the log again, so that it holds the record
// whole or not at all. Only while the log still ends with them: a station that has appended
// since found the piece without its line end and began its own record with one, and cutting
// now would take that record too; the piece then stays a line of its own, which readers skip.
void TakeBack(const FileOps& ops, int fd, size_t written) {
  const off_t end = ops.lseek(fd, 0, SEEK_CUR);
  struct stat st {};
  if (end < static_cast<off_t>(written) || ops.fstat(fd, &st) != 0 || st.st_size != end) return;
  static_cast<void>(ops.ftruncate(fd, end - static_cast<off_t>(written)));
}

// Opens the log for reading without waiting on a FIFO, and makes sure it is a regular file.
// An invalid descriptor with errno ENOENT when there is no log.
UniqueFd OpenForReading(const FileOps& ops, const std::string& path) {
  UniqueFd fd = OpenFd(ops, path.c_str(), O_RDONLY | O_NONBLOCK);
  if (!fd.valid()) {
    if (errno == ENOENT) return fd;
    throw SystemError("No se puede abrir", path);
  }
  struct stat st {};
  if (ops.fstat(fd.get(), &st) != 0) throw SystemError("No se puede leer", path);
  if (!S_ISREG(st.st_mode)) throw NotRegular("No se lee " + path, "no es un archivo regular");
  return fd;
}

// Reads exactly `size` bytes at `offset`; false when the file is shorter.
bool ReadAt(const FileOps& ops, int fd, char* data, size_t size, off_t offset) {
  return PReadFull(ops, fd, data, size, offset) == static_cast<ssize_t>(size);
}

// Makes the name of the log `path` durable.
void SyncParentDirectory(const FileOps& ops, const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  const std::string dir = parent.empty() ? "." : parent.string();
  if (const std::error_code err = SyncDirectory(ops, dir)) {
    throw CallLogError(err, ErrorText("No se puede asegurar en el disco " + dir, err));
  }
}

bool Compressed(const std::string& path) {
  return path.size() > 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
}

// Where a forward scan gets its bytes: the file itself, or zlib unpacking it. Throws
// CallLogError naming the file when it cannot be read.
class ChunkSource {
 public:
  ChunkSource(const FileOps& ops, int fd, const std::string& path)
      : ops_(ops), fd_(fd), path_(path) {
    if (!Compressed(path)) return;
    // zlib closes the descriptor it is given: its own copy.
    const int copy = ::dup(fd);
    if (copy < 0 || (gz_ = gzdopen(copy, "rb")) == nullptr) {
      if (copy >= 0) ::close(copy);
      throw SystemError("No se puede leer", path);
    }
    gzbuffer(gz_, 256 * 1024);
  }
  ~ChunkSource() {
    if (gz_) gzclose_r(gz_);
  }
  ChunkSource(const ChunkSource&) = delete;
  ChunkSource& operator=(const ChunkSource&) = delete;

  // Up to `size` bytes; 0 at the end.
  size_t Read(char* data, size_t size) {
    if (!gz_) {
      const ssize_t got = ops_.read(fd_, data, size);
      if (got < 0) throw SystemError("No se puede leer", path_);
      return static_cast<size_t>(got);
    }
    const int got = gzread(gz_, data, static_cast<unsigned>(size));
    int err = Z_OK;
    gzerror(gz_, &err);
    // A compressed file cut short reads as its end with Z_BUF_ERROR: lines would be missing
    // without a word. zlib's own text is English: the reason comes from its code.
    if (got < 0 || (got == 0 && err != Z_OK)) {
      const std::error_code code =
          err == Z_ERRNO ? LastErrno() : std::error_code(err, ZlibCategory());
      throw CallLogError(code, "No se puede leer " + path_ + ": archivo comprimido dañado (" +
                                   ReasonText(code) + ")");
    }
    return static_cast<size_t>(got);
  }

 private:
  const FileOps& ops_;
  const int fd_;
  const std::string& path_;
  gzFile gz_ = nullptr;
};

// The first `bytes` bytes that the compressed log at `path` unpacks to, in an unnamed
// temporary file that goes when it is closed: a backward scan needs to seek.
UniqueFd Unpacked(const FileOps& ops, const std::string& path, uint64_t bytes) {
  const UniqueFd fd = OpenForReading(ops, path);
  const std::string lost = "No se puede leer " + path + ": el registro ha perdido líneas";
  if (!fd.valid()) throw CallLogError(lost);
  const char* tmp = std::getenv("TMPDIR");
  UniqueFd out = OpenFd(ops, tmp && *tmp ? tmp : "/tmp", O_TMPFILE | O_RDWR, 0600);
  if (!out.valid()) throw SystemError("No se puede descomprimir", path);
  ChunkSource source(ops, fd.get(), path);
  std::vector<char> buffer(kChunk);
  while (bytes > 0) {
    const size_t got = source.Read(buffer.data(), std::min<uint64_t>(bytes, kChunk));
    if (got == 0) throw CallLogError(lost);
    if (WriteFull(ops, out.get(), buffer.data(), got) != static_cast<ssize_t>(got))
      throw SystemError("No se puede descomprimir", path);
    bytes -= got;
  }
  return out;
}

// Hands each line of what `source` gives, up to `limit` bytes, to `reader`, in bounded memory.
// A last line without its line end is handed on when `last_piece` (a record cut short, unless
// it parses whole), else left for a later read. Gives back the bytes up to the end of the last
// line handed on.
uint64_t ScanLines(ChunkSource& source, LineReader& reader, uint64_t limit, bool last_piece) {
  // The parser reads a little past each line: the buffer keeps that padding behind its end.
  // Left uninitialised: the room for an overlong line's rest is touched (and takes memory)
  // only when a line needs it.
  const std::unique_ptr<char[]> buffer(new char[kChunk + kMaxLine + RecordReader::kPadding]);
  uint64_t bytes = 0, lines = 0;
  size_t held = 0;        // bytes of an unfinished line at the buffer's start
  bool skipping = false;  // inside an overlong line, until its end
  for (;;) {
    const size_t got =
        bytes < limit ? source.Read(buffer.get() + held, std::min<uint64_t>(kChunk, limit - bytes))
                      : 0;
    bytes += got;
    const size_t end = held + got;
    size_t from = 0;
    const char* const stop = buffer.get() + end;
    for (const char* p = buffer.get() + held;
         (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(stop - p)))); ++p) {
      const auto i = static_cast<size_t>(p - buffer.get());
      ++lines;
      if (skipping) {
        skipping = false;
      } else {
        reader.Line(buffer.get() + from, i - from, lines);
      }
      from = i + 1;
    }
    held = end - from;
    if (got == 0) {
      if (!last_piece) return bytes - held;
      if (held > 0 && !skipping) reader.Line(buffer.get() + from, held, lines + 1);
      return bytes;
    }
    if (held > kMaxLine) {
      if (!skipping) reader.Overlong(lines + 1);
      skipping = true;
      held = 0;
      continue;
    }
    std::memmove(buffer.get(), buffer.get() + from, held);
  }
}

}  // namespace

void AppendCallRecord(const std::string& path, const CallRecord& record, const FileOps& ops) {
  const std::string json = RecordToJson(record);
  // Without following a link (it could aim the station's writes anywhere) and without waiting
  // (a FIFO in the log's place would hold the line at the end of every call).
  UniqueFd fd =
      OpenFd(ops, path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (!fd.valid()) throw OpenError(path);
  struct stat st {};
  if (ops.fstat(fd.get(), &st) != 0) throw SystemError("No se puede abrir", path);
  if (!S_ISREG(st.st_mode))
    throw NotRegular("No se escribe en " + path, "no es un archivo regular");
  const bool torn = st.st_size > 0 && !EndsWithLineEnd(ops, fd.get(), st.st_size);
  const std::string line = (torn ? "\n" : "") + json + "\n";
  // One write: a record is appended whole or taken back, never finished by a second write
  // that another station's record could have come before.
  const ssize_t written = ops.write(fd.get(), line.data(), line.size());
  if (written >= 0 && static_cast<size_t>(written) == line.size()) {
    // The record is on the disk before the call is taken as done; a log that did not exist
    // before needs its name synced too. One flush per call is cheap beside the call itself.
    if (ops.fsync(fd.get()) != 0) {
      throw SystemError("No se puede asegurar en el disco", path);
    }
    if (st.st_size == 0) SyncParentDirectory(ops, path);
    return;
  }
  const int write_errno = written < 0 ? errno : ENOSPC;
  if (written > 0) TakeBack(ops, fd.get(), static_cast<size_t>(written));
  errno = write_errno;
  throw SystemError("No se puede escribir", path);
}

uint64_t ScanCallLog(const std::string& path, const CallSink& sink, const BadLineSink& bad,
                     const FileOps& ops, bool holdings) {
  const UniqueFd fd = OpenForReading(ops, path);
  if (!fd.valid()) return 0;
  ChunkSource source(ops, fd.get(), path);
  const RawSink raw = [&](std::string_view, const CallSummary& c) { sink(c); };
  LineReader reader(raw, bad, holdings);
  return ScanLines(source, reader, std::numeric_limits<uint64_t>::max(), true);
}

namespace {

// Reads the first `bytes` bytes of the log (what a forward scan read, whatever has been
// appended since) from the last line to the first, in the same bounded memory, until `stop`
// is set. The records come unnumbered (line_number 0); damaged lines are passed over in
// silence, as the forward scan has reported them. A compressed file is first unpacked into an
// unnamed temporary file. Throws CallLogError when the log cannot be read or has lost lines.
void ScanBackwards(const std::string& path, uint64_t bytes, const RawSink& sink, const FileOps& ops,
                   const bool& stop) {
  if (bytes == 0) return;
  const std::string lost = "No se puede leer " + path + ": el registro ha perdido líneas";
  const UniqueFd fd = Compressed(path) ? Unpacked(ops, path, bytes) : OpenForReading(ops, path);
  if (!fd.valid()) throw CallLogError(lost);
  const BadLineSink passed_over = [](uint64_t, std::string_view) {};
  LineReader reader(sink, passed_over, false);
  // The line being put together sits at [kChunk, kChunk + held); each chunk read goes just
  // before it, so that a line across two chunks lies in one piece.
  const std::unique_ptr<char[]> buffer(new char[kChunk + kMaxLine + RecordReader::kPadding]);
  char* const joint = buffer.get() + kChunk;
  auto pos = static_cast<off_t>(bytes);
  size_t held = 0;
  bool skipping = false;  // inside an overlong line, until its start
  // The line at [from, to), unless it is the rest of an overlong one.
  const auto take = [&](const char* from, const char* to) {
    if (!skipping && !stop) reader.Line(from, static_cast<size_t>(to - from), 0);
    skipping = false;
  };
  while (pos > 0 && !stop) {
    const auto size = static_cast<size_t>(std::min<off_t>(pos, kChunk));
    pos -= static_cast<off_t>(size);
    char* const begin = joint - size;
    if (!ReadAt(ops, fd.get(), begin, size, pos)) throw CallLogError(lost);
    char* line_end = joint + held;
    for (char* p = line_end; p-- > begin;) {
      if (*p != '\n') continue;
      take(p + 1, line_end);
      line_end = p;
    }
    held = static_cast<size_t>(line_end - begin);
    if (pos == 0) {
      take(begin, line_end);  // the first line of the log
    } else if (skipping || held > kMaxLine) {
      skipping = true;
      held = 0;
    } else {
      std::memmove(joint, begin, held);
    }
  }
}

// Opens the log file `path` for a scan from `offset`: the file and its identity.
struct OpenLog {
  UniqueFd fd;
  struct stat st {};
};
std::optional<OpenLog> OpenAt(const FileOps& ops, const std::string& path) {
  OpenLog log;
  log.fd = OpenForReading(ops, path);
  if (!log.fd.valid()) return std::nullopt;
  if (ops.fstat(log.fd.get(), &log.st) != 0) throw SystemError("No se puede leer", path);
  return log;
}

// The records of the plain log file open at `log` from byte `from` to `to`; gives back the
// bytes read, up to the end of the last whole line unless `last_piece`.
uint64_t ScanRange(const FileOps& ops, OpenLog& log, const std::string& path, uint64_t from,
                   uint64_t to, const RawSink& sink, const BadLineSink& bad, bool holdings,
                   bool last_piece) {
  if (to <= from) return 0;
  if (ops.lseek(log.fd.get(), static_cast<off_t>(from), SEEK_SET) < 0)
    throw SystemError("No se puede leer", path);
  ChunkSource source(ops, log.fd.get(), path);
  LineReader reader(sink, bad, holdings);
  return ScanLines(source, reader, to - from, last_piece);
}

// The records of a scan that pass `filter`, to `sink`.
RawSink Passing(const CallFilter& filter, const CallSink& sink) {
  return [&filter, &sink](std::string_view, const CallSummary& c) {
    if (filter.office == 0 || c.office == filter.office) sink(c);
  };
}

// The damaged lines of the log file `path` to `bad`, under the file's own name.
BadLineSink Naming(const std::string& path, const BadRecordSink& bad) {
  return [name = std::filesystem::path(path).filename().string(), &bad](uint64_t n,
                                                                        std::string_view why) {
    bad({name, n, std::string(why)});
  };
}

// The records of the log files `files[0, count)`, each whole: the rotated ones.
void ScanWhole(const FileOps& ops, const std::vector<std::string>& files, size_t count,
               const CallFilter& filter, const CallSink& sink, const BadRecordSink& bad) {
  for (size_t i = 0; i < count; ++i) {
    const RawSink raw = Passing(filter, sink);
    ScanCallLog(
        files[i], [&](const CallSummary& c) { raw({}, c); }, Naming(files[i], bad), ops,
        filter.holdings);
  }
}

// The records of the plain log file open at `log` from its start up to byte `to`, as `filter`
// asks; gives back the bytes read.
uint64_t ScanFileStart(const FileOps& ops, OpenLog& log, const std::string& path, uint64_t to,
                       const CallFilter& filter, const CallSink& sink, const BadRecordSink& bad) {
  return ScanRange(ops, log, path, 0, to, Passing(filter, sink), Naming(path, bad), filter.holdings,
                   !filter.whole_records);
}

}  // namespace

OfficeHoldings HoldingsOf(const CallRecord& r) {
  OfficeHoldings h;
  h.start_ms = EpochMs(r.start);
  h.table_kind = r.table_kind.value_or("");
  h.features = r.features;
  if (r.office_files) h.files = *r.office_files;
  h.deleted = r.deleted.value_or("");
  h.sent = r.files_sent;
  h.delivered = std::any_of(r.transfers.begin(), r.transfers.end(), [](const TransferSummary& t) {
    return t.direction == TransferDirection::kSend && EqualsNoCase(t.result, "Transferencia OK");
  });
  return h;
}

void JsonLinesCallStore::Append(const CallRecord& record) {
  AppendCallRecord(work_dir_ + kCallLogName, record, ops_);
}

StoreMark JsonLinesCallStore::Scan(const CallFilter& filter, const CallSink& sink,
                                   const BadRecordSink& bad) const {
  const std::vector<std::string> files = CallLogFiles(work_dir_);
  ScanWhole(ops_, files, files.size() - 1, filter, sink, bad);
  // The newest file up to its end as found now: what is appended meanwhile is for the next
  // scan from the mark.
  std::optional<OpenLog> log = OpenAt(ops_, files.back());
  if (!log) return {};
  const auto size = static_cast<uint64_t>(log->st.st_size);
  return {static_cast<uint64_t>(log->st.st_ino),
          ScanFileStart(ops_, *log, files.back(), size, filter, sink, bad)};
}

std::optional<StoreMark> JsonLinesCallStore::ScanUpTo(const StoreMark& mark,
                                                      const CallFilter& filter,
                                                      const CallSink& sink,
                                                      const BadRecordSink& bad) const {
  const std::vector<std::string> files = CallLogFiles(work_dir_);
  if (mark.file_id == 0) {
    // No log file when the scan was made: only what had been rotated then.
    ScanWhole(ops_, files, files.size() - 1, filter, sink, bad);
    return mark;
  }
  // The marked file by its identity, whatever logrotate has renamed it to since; compressed,
  // it is another file.
  for (size_t i = files.size(); i-- > 0;) {
    if (Compressed(files[i])) continue;
    std::optional<OpenLog> log = OpenAt(ops_, files[i]);
    if (!log || static_cast<uint64_t>(log->st.st_ino) != mark.file_id ||
        static_cast<uint64_t>(log->st.st_size) < mark.bytes)
      continue;
    ScanWhole(ops_, files, i, filter, sink, bad);
    ScanFileStart(ops_, *log, files[i], mark.bytes, filter, sink, bad);
    return mark;
  }
  return std::nullopt;
}

StoreMark JsonLinesCallStore::End() const {
  const auto log = OpenAt(ops_, work_dir_ + kCallLogName);
  if (!log) return {};
  return {static_cast<uint64_t>(log->st.st_ino), static_cast<uint64_t>(log->st.st_size)};
}

std::optional<StoreMark> JsonLinesCallStore::ScanSince(const StoreMark& since,
                                                       const StoreMark& until,
                                                       const CallFilter& filter,
                                                       const CallSink& sink,
                                                       const BadRecordSink& bad) const {
  const std::string path = work_dir_ + kCallLogName;
  const std::string rotated = path + ".1";
  const RawSink raw = Passing(filter, sink);
  const auto bad_in = [&](const char* name) {
    return [&bad, name](uint64_t, std::string_view why) { bad({name, 0, std::string(why)}); };
  };
  std::optional<OpenLog> log = OpenAt(ops_, path);
  const uint64_t id = log ? static_cast<uint64_t>(log->st.st_ino) : 0;
  const uint64_t size = log ? static_cast<uint64_t>(log->st.st_size) : 0;
  // Up to `until` when that is still this file, else to its present end.
  const uint64_t to = until.file_id == id ? std::min(until.bytes, size) : size;
  if (since.file_id == id && since.bytes <= size) {
    if (!log) return StoreMark{};
    return StoreMark{id, since.bytes + ScanRange(ops_, *log, path, since.bytes, to, raw,
                                                 bad_in(kCallLogName), filter.holdings, false)};
  }
  // Rotated once since: the rest of the file now under the first rotated name, then the new
  // one from its start. Rotated twice (or compressed), or replaced: the caller starts over.
  std::optional<OpenLog> old = since.file_id == 0 ? std::nullopt : OpenAt(ops_, rotated);
  const bool once = old && static_cast<uint64_t>(old->st.st_ino) == since.file_id &&
                    since.bytes <= static_cast<uint64_t>(old->st.st_size);
  if (since.file_id != 0 && !once) return std::nullopt;
  if (since.file_id == 0 && since.bytes != 0) return std::nullopt;
  if (since.file_id == 0 && std::filesystem::exists(rotated)) return std::nullopt;
  if (once) {
    ScanRange(ops_, *old, rotated, since.bytes, static_cast<uint64_t>(old->st.st_size), raw,
              bad_in("calls.jsonl.1"), filter.holdings, true);
  }
  // No new file yet: the mark stays at the end of the rotated one.
  if (!log)
    return once ? StoreMark{since.file_id, static_cast<uint64_t>(old->st.st_size)} : StoreMark{};
  return StoreMark{
      id, ScanRange(ops_, *log, path, 0, to, raw, bad_in(kCallLogName), filter.holdings, false)};
}

void JsonLinesCallStore::ScanNewestFirst(const CallFilter& filter, const BadRecordSink& bad,
                                         const std::function<void(uint64_t calls)>& counted,
                                         const std::function<void(const CallRecord&)>& sink) const {
  const std::vector<std::string> files = CallLogFiles(work_dir_);
  const auto passes = [&](const CallSummary& c) {
    return filter.office == 0 || c.office == filter.office;
  };
  std::vector<uint64_t> read;  // what the first pass read of each file
  uint64_t calls = 0;
  for (const std::string& path : files) {
    const std::string name = std::filesystem::path(path).filename().string();
    const BadLineSink bad_line = [&](uint64_t n, std::string_view why) {
      bad({name, n, std::string(why)});
    };
    const UniqueFd fd = OpenForReading(ops_, path);
    if (!fd.valid()) {
      read.push_back(0);
      continue;
    }
    ChunkSource source(ops_, fd.get(), path);
    const RawSink count = [&](std::string_view line, const CallSummary& c) {
      if (!passes(c)) return;
      try {
        RecordFromJson(line);
        ++calls;
      } catch (const RecordFormatError& e) {
        bad_line(c.line_number, e.what());
      }
    };
    LineReader reader(count, bad_line, false);
    read.push_back(ScanLines(source, reader, std::numeric_limits<uint64_t>::max(), true));
  }
  counted(calls);
  const bool never = false;
  for (size_t i = files.size(); i-- > 0;) {
    ScanBackwards(
        files[i], read[i],
        [&](std::string_view line, const CallSummary& c) {
          if (!passes(c)) return;
          std::optional<CallRecord> record;
          try {
            record = RecordFromJson(line);
          } catch (const RecordFormatError&) {
            return;  // reported by the first pass
          }
          sink(*record);
        },
        ops_, never);
  }
}

std::optional<CallRecord> JsonLinesCallStore::LatestAdmitted(int office) const {
  const std::vector<std::string> files = CallLogFiles(work_dir_);
  std::optional<CallRecord> found;
  bool stop = false;
  const RawSink take = [&](std::string_view line, const CallSummary& c) {
    if (c.office != office || !c.admitted) return;
    try {
      found = RecordFromJson(line);
      stop = true;
    } catch (const RecordFormatError&) {
    }
  };
  for (size_t i = files.size(); i-- > 0 && !found;) {
    if (Compressed(files[i])) {
      // Only read forwards: the last admitted call of the file is the newest.
      const UniqueFd fd = OpenForReading(ops_, files[i]);
      if (!fd.valid()) continue;
      ChunkSource source(ops_, fd.get(), files[i]);
      std::string last;
      const RawSink keep = [&](std::string_view line, const CallSummary& c) {
        if (c.office == office && c.admitted) last.assign(line);
      };
      const BadLineSink ignore = [](uint64_t, std::string_view) {};
      LineReader reader(keep, ignore, false);
      ScanLines(source, reader, std::numeric_limits<uint64_t>::max(), true);
      CallSummary admitted;
      admitted.office = office;
      admitted.admitted = true;
      if (!last.empty()) take(last, admitted);
      continue;
    }
    const auto log = OpenAt(ops_, files[i]);
    if (!log) continue;
    ScanBackwards(files[i], static_cast<uint64_t>(log->st.st_size), take, ops_, stop);
  }
  return found;
}

std::vector<std::string> CallLogFiles(const std::string& work_dir) {
  std::vector<std::pair<int, std::string>> rotated;
  std::error_code ec;
  const std::string prefix = std::string(kCallLogName) + ".";
  for (std::filesystem::directory_iterator it(work_dir.empty() ? "." : work_dir, ec), end;
       !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (!name.starts_with(prefix)) continue;
    std::string_view number = std::string_view(name).substr(prefix.size());
    if (number.ends_with(".gz")) number.remove_suffix(3);
    // "calls.jsonl.1" to "calls.jsonl.99999": logrotate's own numbers, nothing else.
    if (number.empty() || number.size() > 5 || number.front() == '0' ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    rotated.emplace_back(std::stoi(std::string(number)), std::move(name));
  }
  // The higher the number, the older; of "N" and "N.gz" (a compression under way) the plain
  // one is read, the other is not whole yet.
  std::sort(rotated.begin(), rotated.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  std::vector<std::string> files;
  for (size_t i = 0; i < rotated.size(); ++i) {
    if (i > 0 && rotated[i].first == rotated[i - 1].first) continue;
    files.push_back(work_dir + rotated[i].second);
  }
  files.push_back(work_dir + kCallLogName);
  return files;
}

std::string LineNameOf(const CallSummary& call) {
  if (!call.line_name.empty()) return std::string(call.line_name);
  return "com" + std::to_string(call.port);
}

}  // namespace marvolen
