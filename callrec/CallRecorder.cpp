#include "callrec/CallRecorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "call/IdentLine.h"
#include "call/LineTokens.h"
#include "callrec/CallLog.h"
#include "callrec/StatusSummary.h"
#include "platform/CodePage.h"
#include "platform/LocalTime.h"
#include "platform/ShownText.h"
#include "platform/SystemCalls.h"

namespace marvolen {

namespace fs = std::filesystem;

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kTokenNames{{
    {GreetingToken, "<Greeting>"},
    {AckToken, "<Ack>"},
    {GoToken, "<Go>"},
    {MessageToken, "<Message>"},
    {ClockToken, "<Clock>"},
}};

constexpr std::string_view kIdentMark = "Ident=";
// Password groups: five groups of three characters from position 14 of each half.
constexpr size_t kPasswordFrom = 13;
constexpr size_t kPasswordWidth = 15;

// The password groups of `ident` as its text holds them, when all five read as numbers the way
// the admission reads them; nullopt when they do not (the admission would not get past them).
std::optional<std::string> PasswordText(const IdentFields& ident) {
  try {
    for (int i = 1; i <= 5; ++i) ident.PasswordGroup(i);
  } catch (const ConversionError&) {
    return std::nullopt;
  }
  return ident.Field(kPasswordFrom + 1, kPasswordWidth);
}

// The half length of an identification that begins at `from`: two equal halves, as the
// admission takes them, with readable password groups. The line may run on after it (noise
// behind the identification), so every later "Ident=" is tried as the second half's start.
std::optional<size_t> IdentHalfAt(std::string_view line, size_t from) {
  const auto readable = [&](size_t half) {
    if (half == 0 || from + 2 * half > line.size() ||
        line.substr(from, half) != line.substr(from + half, half))
      return false;
    return PasswordText(IdentFields(std::string(line.substr(from, 2 * half)))).has_value();
  };
  if (readable((line.size() - from) / 2)) return (line.size() - from) / 2;
  for (size_t at = line.find(kIdentMark, from + 1); at != std::string_view::npos;
       at = line.find(kIdentMark, at + 1)) {
    if (readable(at - from)) return at - from;
  }
  return std::nullopt;
}

void EscapeByte(unsigned char c, std::string& out) {
  if (c == '\\') {
    out += "\\\\";
  } else if (c == '\r') {
    out += "\\r";
  } else if (c == '\n') {
    out += "\\n";
  } else if (c < 0x20 || c >= 0x7F) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02X", c);
    out += buf;
  } else {
    out += static_cast<char>(c);
  }
}

// The directory `name` under `at`, made when missing, opened without following a link: a link
// put under "calls/" by whoever can write to the working directory must not aim the
// transcripts elsewhere. Invalid, with errno ELOOP for a link, when it cannot be had.
UniqueFd OwnDirectory(const FileOps& ops, int at, const std::string& name) {
  if (ops.mkdirat(at, name.c_str(), 0755) != 0 && errno != EEXIST) return UniqueFd();
  UniqueFd fd = OpenAtFd(ops, at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  struct stat st {};
  if (!fd.valid() && ops.fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode))
    errno = ELOOP;
  return fd;
}

constexpr std::array<std::pair<CallReason, std::string_view>, 17> kReasonTexts{{
    {CallReason::kWrongPassword, "clave incorrecta"},
    {CallReason::kHalvesDiffer, "identificación alterada"},
    {CallReason::kDeviceMismatch, "llave distinta"},
    {CallReason::kBadOfficeNumber, "número de oficina inválido"},
    {CallReason::kNoTables, "sin tablas"},
    {CallReason::kTooManyStrayLines, "demasiadas líneas extrañas"},
    {CallReason::kInCallOnOtherLine, "en llamada por otra línea"},
    {CallReason::kLockFailed, "bloqueo de la oficina fallido"},
    {CallReason::kStall, "sin respuesta"},
    {CallReason::kCarrierLost, "sin portadora"},
    {CallReason::kTransferFailed, "transferencia fallida"},
    {CallReason::kProgramError, "error de programa"},
    {CallReason::kStopped, "estación detenida"},
    {CallReason::kCallTooLong, "llamada demasiado larga"},
    {CallReason::kArchiveTooLarge, "archivo demasiado grande"},
    {CallReason::kUnknownOffice, "oficina desconocida"},
    {CallReason::kNoProgress, "sin avance"},
}};

}  // namespace

std::string CallResultWords(CallResult result, CallReason reason) {
  static constexpr std::string_view kResultTexts[] = {"exitosa", "rechazada", "sin identificación",
                                                      "abortada"};
  std::string text(kResultTexts[static_cast<size_t>(result)]);
  for (const auto& [known, words] : kReasonTexts)
    if (known == reason) text += " (" + std::string(words) + ")";
  return text;
}

std::string CallEndLine(const CallRecord& r) {
  const long long seconds =
      std::chrono::duration_cast<std::chrono::seconds>(r.end - r.start).count();
  return "Fin de llamada: " + CallResultWords(r.result, r.reason) + ", " + std::to_string(seconds) +
         " s";
}

std::string EscapeLine(std::string_view bytes) {
  std::string out;
  while (!bytes.empty()) {
    bool token = false;
    for (const auto& [value, name] : kTokenNames) {
      if (bytes.substr(0, value.size()) != value) continue;
      out += name;
      bytes.remove_prefix(value.size());
      token = true;
      break;
    }
    if (token) continue;
    EscapeByte(static_cast<unsigned char>(bytes.front()), out);
    bytes.remove_prefix(1);
  }
  return out;
}

std::string MaskIdentLine(std::string_view line) {
  std::string out(line);
  // The password texts met, masked again wherever else they stand: an identification whose
  // first "Ident=" was garbled still holds them ahead of the one that was read.
  std::vector<std::string> secrets;
  size_t from = line.find(kIdentMark);
  while (from != std::string_view::npos) {
    const std::optional<size_t> half = IdentHalfAt(line, from);
    if (!half) {
      // Nothing the admission could read: everything after the mark may be a password.
      std::fill(out.begin() + static_cast<std::ptrdiff_t>(from + kIdentMark.size()), out.end(),
                '*');
      for (size_t at = from; at != std::string_view::npos; at = line.find(kIdentMark, at + 1)) {
        // A lone half read as if it were doubled: its own groups, if it has readable ones.
        const std::string head(line.substr(at, kPasswordFrom + kPasswordWidth));
        if (auto text = PasswordText(IdentFields(head + head))) secrets.push_back(*text);
      }
      break;
    }
    const IdentFields ident{std::string(line.substr(from, 2 * *half))};
    secrets.push_back(*PasswordText(ident));
    for (const size_t base : {from, from + *half}) {
      const size_t end = std::min(kPasswordFrom + kPasswordWidth, *half);
      for (size_t i = kPasswordFrom; i < end; ++i) out[base + i] = '*';
    }
    from = line.find(kIdentMark, from + 2 * *half);
  }
  for (const std::string& secret : secrets) {
    for (size_t at = line.find(secret); !secret.empty() && at != std::string_view::npos;
         at = line.find(secret, at + 1))
      std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(at), secret.size(), '*');
  }
  return out;
}

std::string TranscriptStem(WallTime start, std::optional<int> office) {
  const LocalDateTime t = ToLocal(start);
  char buf[64];
  std::snprintf(buf, sizeof buf, "calls/%04d-%02d-%02d/%02d%02d%02d-", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  std::string stem = buf;
  if (!office) return stem + "sin-oficina";
  std::snprintf(buf, sizeof buf, "loc%02d", *office);
  return stem + buf;
}

CallRecorder::CallRecorder(RecorderSetup setup, const Clock& clock)
    : setup_(std::move(setup)),
      clock_(clock),
      store_(setup_.work_dir, setup_.files ? *setup_.files : SystemFileOps()) {}

void CallRecorder::CallStarted() {
  record_ = CallRecord{};
  record_.start = clock_.WallNow();
  record_.port = setup_.port;
  record_.device = setup_.device;
  record_.line_name =
      setup_.line_name.empty() ? "com" + std::to_string(setup_.port) : setup_.line_name;
  record_.home = setup_.home;
  started_ = clock_.Now();
  transcript_.clear();
  transcript_full_ = false;
  transfer_.reset();
  in_call_ = true;
  Add('*', "Llamada en el puerto " + std::to_string(setup_.port) + " (" + setup_.device + ") " +
               FormatIsoLocal(record_.start));
}

long long CallRecorder::SinceStart() const {
  return ElapsedMs(started_, clock_.Now());
}

void CallRecorder::Add(char direction, std::string_view text) {
  if (!in_call_ || transcript_full_) return;
  char head[32];
  std::snprintf(head, sizeof head, "%8lld %c ", SinceStart(), direction);
  if (transcript_.size() + text.size() + 64 > setup_.transcript_cap) {
    transcript_ += head;
    transcript_ += "(transcripción truncada)\n";
    transcript_full_ = true;
    return;
  }
  transcript_ += head;
  transcript_ += text;
  transcript_ += '\n';
}

void CallRecorder::LineSent(std::string_view bytes) {
  Add('>', EscapeLine(MaskIdentLine(bytes)));
}

void CallRecorder::LineReceived(std::string_view bytes) {
  Add('<', EscapeLine(MaskIdentLine(bytes)));
}

void CallRecorder::Note(std::string_view text) {
  // The station's own lines carry names the office sent (its tables, an archive's members):
  // escaped as in the log view, so that nobody reading the transcript in a terminal gets the
  // caller's control sequences.
  Add('*', ShownText(text));
}

void CallRecorder::Identified(std::string_view ident_line, TableKind table_ext_before) {
  const IdentFields ident{std::string(ident_line)};
  record_.table_kind = std::string(table_ext_before.Ext());
  if (!ident.HalvesMatch()) return;
  const TableKind kind = ident.TableExt();
  record_.table_kind = std::string(kind.Ext());
  record_.features = !ident.FeatureFlagBlank();
  record_.device_id = AnsiToUtf8Exact(ident.DeviceId());
  const int office = ident.OfficeNumber();
  if (office >= 1 && office <= 9999) record_.office = office;
  std::vector<ReportedFile> files;
  try {
    for (const OfficeFileEntry& e : ident.OfficeFiles(kind.HeaderWidth()))
      files.push_back({AnsiToUtf8Exact(e.name), e.value, AnsiToUtf8Exact(e.probe)});
  } catch (const ConversionError&) {
    return;  // a list the station could not read is not known either
  }
  record_.office_files = std::move(files);
}

void CallRecorder::Detail(std::string text) {
  record_.detail = std::move(text);
}

void CallRecorder::FileSent(std::string name, std::string kind, uint64_t bytes) {
  record_.files_sent.push_back({std::move(name), std::move(kind), bytes});
}

void CallRecorder::Deleted(std::string delete_list) {
  record_.deleted = AnsiToUtf8Exact(delete_list);
}

void CallRecorder::TrafficFiled(std::string name, uint64_t bytes) {
  record_.traffic.push_back({std::move(name), bytes});
}

void CallRecorder::TrafficAlreadyFiled(std::string name, uint64_t bytes) {
  record_.traffic.push_back({std::move(name), bytes, true});
}

void CallRecorder::DayFilesAsked(std::vector<std::string> names) {
  record_.day_files_asked = std::move(names);
}

void CallRecorder::DayFileReceived(std::string name, uint64_t bytes) {
  record_.day_files_received.push_back({std::move(name), bytes});
}

void CallRecorder::ClockSet(WallTime t) {
  record_.clock_set = t;
}

void CallRecorder::TransferStarted(TransferDirection direction, std::string file) {
  transfer_.emplace();
  transfer_->direction = direction;
  transfer_->file = std::move(file);
  transfer_started_ = clock_.Now();
  Add('#', std::string(direction == TransferDirection::kSend ? "envío de " : "recepción de ") +
               transfer_->file);
}

void CallRecorder::TransferBlock(const BlockNote& b) {
  if (!transfer_) return;
  if (b.answer == "ACK") {
    ++transfer_->blocks;
  } else {
    ++transfer_->resends;
  }
  transfer_->block_size = std::max(transfer_->block_size, b.size);
  transfer_->crc = b.crc;
  // The answer and the result are the station's own words, shown as text; only bytes that came
  // over the line are escaped byte by byte.
  Add('#', "bloque " + std::to_string(b.number) + " " + std::to_string(b.size) +
               (b.crc ? " crc " : " checksum ") + ShownText(b.answer));
}

void CallRecorder::TransferEnded(uint64_t bytes, std::string result) {
  if (!transfer_) return;
  transfer_->bytes = bytes;
  transfer_->seconds = ElapsedMs(transfer_started_, clock_.Now()) / 1000.0;
  transfer_->result = std::move(result);
  char summary[160];
  std::snprintf(summary, sizeof summary, "%llu bytes, %d bloques, %d reenvíos, %.3f s, %.1f B/s: ",
                static_cast<unsigned long long>(bytes), transfer_->blocks, transfer_->resends,
                transfer_->seconds, transfer_->BytesPerSecond());
  Add('#', summary + ShownText(transfer_->result));
  record_.transfers.push_back(std::move(*transfer_));
  transfer_.reset();
}

std::string CallRecorder::WriteTranscript() {
  const std::string stem = TranscriptStem(record_.start, record_.office);
  const size_t slash = stem.rfind('/');
  const std::string day_dir = setup_.work_dir + stem.substr(0, slash);
  const FileOps& ops = setup_.files ? *setup_.files : SystemFileOps();
  const UniqueFd calls = OwnDirectory(ops, AT_FDCWD, setup_.work_dir + "calls");
  const UniqueFd day = calls.valid()
                           ? OwnDirectory(ops, calls.get(), day_dir.substr(day_dir.rfind('/') + 1))
                           : UniqueFd();
  if (!day.valid())
    return "No se puede crear " + day_dir + ": " +
           (errno == ELOOP ? "es un enlace simbólico" : SystemReason(errno));
  // Two calls of one office in one second (on two lines) get names of their own.
  for (int n = 1; n < 100; ++n) {
    const std::string file =
        stem.substr(slash + 1) + (n == 1 ? "" : "-" + std::to_string(n)) + ".txt";
    const std::string path = day_dir + "/" + file;
    UniqueFd fd =
        OpenAtFd(ops, day.get(), file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    if (!fd.valid() && errno == EEXIST) continue;
    if (!fd.valid()) return ErrorText("No se puede crear " + path, LastErrno());
    const std::error_code err = WriteAll(ops, fd.get(), transcript_);
    fd.Close();
    if (err) return ErrorText("No se puede escribir " + path, err);
    record_.transcript = stem.substr(0, slash + 1) + file;
    return {};
  }
  return "Demasiadas transcripciones con el nombre " + stem;
}

std::string CallRecorder::Ended(CallResult result, CallReason reason, std::string detail) {
  if (!in_call_) return {};
  if (transfer_) TransferEnded(0, "interrumpida");
  record_.end = clock_.WallNow();
  record_.result = result;
  record_.reason = reason;
  if (!detail.empty()) record_.detail = std::move(detail);
  Add('*', "Fin: " + CallResultWords(result, reason));
  in_call_ = false;
  std::string errors = WriteTranscript();
  try {
    store_.Append(record_);
    log_error_.clear();
    const std::string summary = CountInSummary();
    if (!summary.empty()) errors += (errors.empty() ? "" : "; ") + summary;
  } catch (const CallLogError& e) {
    if (e.what() != log_error_) errors += (errors.empty() ? "" : "; ") + std::string(e.what());
    log_error_ = e.what();
  }
  return errors;
}

namespace {
// About a thousand records: read in milliseconds.
constexpr uint64_t kRebuildAtCallEnd = 1 << 20;
}  // namespace

std::string CallRecorder::CountInSummary() {
  try {
    // A rebuild reads the whole log: here only while the log is small (a new station, a
    // summary lost early), else the status page's writer does it. A station busy counting
    // its own call is waited for a moment only; the next update counts whatever this one
    // could not.
    StatusSummary summary(setup_.work_dir, store_, setup_.files ? *setup_.files : SystemFileOps());
    // The page asked for after the call looks at every office's directory.
    summary.LeaveDirectoriesToThePage();
    summary.Update(record_.end, kRebuildAtCallEnd, std::chrono::milliseconds(200));
    summary_error_.clear();
    return {};
  } catch (const std::exception& e) {
    if (e.what() == summary_error_) return {};
    summary_error_ = e.what();
    return "Resumen de llamadas: " + summary_error_;
  }
}

}  // namespace marvolen
