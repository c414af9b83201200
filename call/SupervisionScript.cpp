#include "call/SupervisionScript.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <vector>

#include "call/IdentLine.h"
#include "call/LineAssembler.h"
#include "call/LineTokens.h"
#include "call/ScriptSteps.h"
#include "platform/CodePage.h"
#include "platform/DosTime.h"
#include "platform/FileNames.h"
#include "platform/LocalTime.h"

namespace marvolen {

namespace fs = std::filesystem;

namespace {

constexpr char kTransferOk[] = "TRANSFERENCIA OK";
constexpr std::string_view kSendCommand = "Enviar  dato";
constexpr char kTrafficRequest[] = "Enviar  datoTRAFICO\\trafico.TRF\r";
// The most day files one call asks for: a year, leap day included.
constexpr int kMaxDayFiles = 366;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string LastDigits(const std::string& padded, size_t count) {
  return padded.substr(padded.size() - count);
}

// An existing file of `dir` named `name` in any letter case; else `dir`/`name`.
fs::path InDir(const fs::path& dir, std::string_view name) {
  if (auto found = FindNoCase(dir, name)) return *found;
  return dir / std::string(name);
}

bool ExistsNoCase(const fs::path& dir, std::string_view name) {
  return FindNoCase(dir, name).has_value();
}

// Removes every file of `dir` named `name` in any letter case. Throws FileError.
void RemoveNoCase(const FileOps& ops, const fs::path& dir, std::string_view name) {
  while (auto found = FindNoCase(dir, name)) {
    if (ops.unlink(found->c_str()) == 0) continue;
    const std::error_code error = LastErrno();
    if (IsNotFound(error)) break;  // gone meanwhile
    throw FileError(error, "No se puede borrar el archivo " + found->string());
  }
}

std::string WholeFile(const FileOps& ops, const fs::path& path) {
  return ReadWholeFile(path.string(), "No se puede leer el archivo " + path.string(), ops);
}

// The size of the regular file at `path`; nullopt, with `error` set, when it cannot be told.
std::optional<off_t> SizeOf(const FileOps& ops, const fs::path& path, std::error_code& error) {
  const auto facts = LookAt(ops, path.string(), Links::kFollow, error);
  if (!facts) return std::nullopt;
  if (facts->regular) return facts->size;
  error =
      std::make_error_code(facts->directory ? std::errc::is_a_directory : std::errc::not_supported);
  return std::nullopt;
}

bool Exists(const FileOps& ops, const fs::path& path) {
  return PathExists(ops, path.string(), "No se puede leer el archivo " + path.string());
}

// The bare file names (UTF-8) that an "Enviar  dato" command asks for: its blank-separated
// office-relative paths without their folders.
std::vector<std::string> RequestedNames(std::string_view command) {
  std::vector<std::string> names;
  if (!command.starts_with(kSendCommand)) return names;
  command.remove_prefix(kSendCommand.size());
  while (!command.empty() && (command.back() == '\r' || command.back() == ' ')) {
    command.remove_suffix(1);
  }
  size_t start = 0;
  while (start < command.size()) {
    size_t end = command.find(' ', start);
    if (end == std::string_view::npos) end = command.size();
    std::string_view path = command.substr(start, end - start);
    const size_t cut = path.find_last_of("\\/");
    if (cut != std::string_view::npos) path.remove_prefix(cut + 1);
    if (!path.empty()) names.push_back(AnsiToUtf8(path));
    start = end + 1;
  }
  return names;
}

// Why a failed transfer ended the call.
CallReason TransferFailure(TransferEnd end) {
  switch (end) {
    case TransferEnd::kCarrierLost:
      return CallReason::kCarrierLost;
    case TransferEnd::kStopped:
      return CallReason::kStopped;
    case TransferEnd::kOutOfTime:
      return CallReason::kCallTooLong;
    case TransferEnd::kNoProgress:
      return CallReason::kNoProgress;
    case TransferEnd::kTooLarge:
      return CallReason::kArchiveTooLarge;
    default:
      return CallReason::kTransferFailed;
  }
}

std::string DayFileName(int serial) {
  const CivilDate d = CivilFromSerial(serial);
  LocalDateTime t;
  t.year = d.year;
  t.month = d.month;
  t.day = d.day;
  return FormatDdMmYyyy(t) + ".daw";
}

// A filed traffic copy's name: the 14 digits of its time stamp and ".trf", in any case.
bool IsFiledTrafficName(const std::string& name) {
  if (name.size() != 18 || !EqualsNoCase(name.substr(14), ".trf")) return false;
  return std::all_of(name.begin(), name.begin() + 14, [](char c) { return c >= '0' && c <= '9'; });
}

[[noreturn]] void CannotRead(const fs::path& path) {
  throw FileError("No se puede leer el archivo " + path.string());
}

FileReader Reading(const FileOps& ops, const fs::path& path) {
  return FileReader(path.string(), "No se puede leer el archivo " + path.string(), ops);
}

// Whether the filed copy `copy` holds the bytes of the traffic `traffic`; nullopt, with the
// error in `why`, when the copy cannot be read. The traffic that cannot be read throws.
std::optional<bool> SameBytes(const FileOps& ops, const fs::path& copy, const fs::path& traffic,
                              std::string& why) {
  FileReader in_traffic(traffic.string(), "No se puede leer el archivo " + traffic.string(), ops);
  std::optional<FileReader> in_copy;
  // Runs `read` on the copy; false, with `why` set, when it failed.
  const auto from_copy = [&why](const auto& read) {
    try {
      read();
      return true;
    } catch (const FileError& e) {
      why = e.what();
      return false;
    }
  };
  if (!from_copy([&] {
        in_copy.emplace(copy.string(), "No se puede leer el archivo " + copy.string(), ops);
      }))
    return std::nullopt;
  std::vector<char> buf_a(64 * 1024), buf_b(64 * 1024);
  for (;;) {
    const size_t n = in_traffic.Read(buf_a.data(), buf_a.size());
    size_t m = 0;
    if (!from_copy([&] { m = in_copy->Read(buf_b.data(), buf_b.size()); })) return std::nullopt;
    if (m != n) return false;
    if (!std::equal(buf_a.begin(), buf_a.begin() + static_cast<std::ptrdiff_t>(n), buf_b.begin()))
      return false;
    if (n < buf_a.size()) return true;  // both ended here
  }
}

// Whether the file `whole` exists and ends with the bytes of the file `tail`.
bool EndsWithFileBytes(const FileOps& ops, const fs::path& whole, const fs::path& tail) {
  std::error_code ec;
  const auto size = SizeOf(ops, whole, ec);
  if (!size && IsNotFound(ec)) return false;
  if (!size) CannotRead(whole);
  const auto whole_size = static_cast<size_t>(*size);
  const std::string tail_bytes = WholeFile(ops, tail);
  if (tail_bytes.size() > whole_size) return false;
  std::string end(tail_bytes.size(), '\0');
  if (Reading(ops, whole)
          .ReadAt(end.data(), end.size(), static_cast<off_t>(whole_size - tail_bytes.size())) !=
      end.size())
    CannotRead(whole);  // shorter than a moment ago
  return end == tail_bytes;
}

}  // namespace

// The office's filed copies are scanned rather than kept in an index: the copies themselves
// are the record of what was filed, so no crash between filing and indexing can make the two
// disagree. Only the office's most recent filing is compared with the traffic: that is the one
// whose "DEL" may not have reached the office, so that the office sends the same bytes again.
// Traffic equal to an older filing is new traffic that happens to hold the same bytes (an empty
// day, a header-only file): the office was told to delete what came before it.
//
// The most recent filing is the copy last written, by the file's write time: its name holds
// the station's local time, which goes back an hour every autumn. Whenever which copy is
// the most recent, or what it holds, cannot be told (a copy whose time or bytes cannot be
// read, two copies written at the same instant), the traffic is filed again: a duplicate in
// the filed copies can be seen and removed, traffic the office deleted and nobody filed is
// lost. Links and other non-regular entries are no copies of the station's and are passed by.
std::optional<fs::path> SupervisionScript::LatestFilingIfSame(const fs::path& traffic) {
  const fs::path& office_dir = s_.state.Office.OfficeDir;
  std::error_code ec;
  const auto size = SizeOf(file_ops_, traffic, ec);
  if (!size) throw FileError(ec, "No se puede leer el archivo " + traffic.string());
  const auto names = ListNames(file_ops_, office_dir.string(), ec);
  if (!names) throw FileError(ec, "No se puede leer el directorio " + office_dir.string());
  std::optional<fs::path> latest;
  timespec latest_time{};
  const auto later = [](const timespec& a, const timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
  };
  bool unreadable = false;  // a copy whose time is unknown: it may be the most recent
  bool tied = false;        // another copy was written at the latest time
  for (const std::string& name : *names) {
    if (!IsFiledTrafficName(name)) continue;
    const fs::path path = office_dir / name;
    std::error_code entry_ec;
    const auto facts = LookAt(file_ops_, path.string(), Links::kNoFollow, entry_ec);
    if (!facts) {
      NoteUnreadableCopy(ErrorText("No se puede leer el archivo " + path.string(), entry_ec));
      unreadable = true;
      continue;
    }
    if (!facts->regular) continue;
    const timespec& written = facts->written;
    if (latest && !later(written, latest_time) && !later(latest_time, written)) tied = true;
    if (!latest || later(written, latest_time)) {
      latest = path;
      latest_time = written;
      tied = false;
    }
  }
  if (!latest || unreadable || tied) return std::nullopt;
  const auto latest_size = SizeOf(file_ops_, *latest, ec);
  if (!latest_size) {
    NoteUnreadableCopy(ErrorText("No se puede leer el archivo " + latest->string(), ec));
    return std::nullopt;
  }
  if (*latest_size != *size) return std::nullopt;
  std::string why;
  const std::optional<bool> same = SameBytes(file_ops_, *latest, traffic, why);
  if (!same) NoteUnreadableCopy(why);
  return same.value_or(false) ? latest : std::nullopt;
}

void SupervisionScript::NoteUnreadableCopy(const std::string& what) {
  s_.ShowAndLog("Copia de tráfico archivada ilegible, se archiva el tráfico: " + what);
}

SupervisionScript::SupervisionScript(const CallServices& services, ParamWriter write_param,
                                     const FileOps& file_ops)
    : s_(services), write_param_(std::move(write_param)), file_ops_(file_ops) {}

std::vector<std::string> SupervisionScript::ReceivedNames(std::string_view command) {
  std::vector<std::string> names = RequestedNames(command);
  // The office may send its traffic as its backup; filing takes that name as the traffic
  // file too.
  if (command == kTrafficRequest) names.emplace_back("TRAFICO.BAK");
  return names;
}

void SupervisionScript::NewCall() {
  reply_line_.clear();
  last_command_.clear();
  pending_ = {};
  started_ = false;
  day_file_list_.clear();
  day_end_ = 0;
}

bool SupervisionScript::Unfinished() const {
  return started_ && !script::IsDismissed(s_.state.ScriptStep);
}

void SupervisionScript::Run(CallControl& controller) {
  started_ = true;
  if (!PerformStep(controller)) return;
  ReadReplies(controller);
}

bool SupervisionScript::PerformStep(CallControl& controller) {
  CallState& st = s_.state;
  if (st.ScriptStep == script::kDismiss) {
    StepDismiss();
    st.ScriptStep = script::kDismissed;
    controller.AbortCall(CallReason::kNone);
    return false;
  }
  const script::StepRow* row = script::FindStep(st.ScriptStep);
  if (row == nullptr) {
    // A command is out and the office has not acknowledged it yet.
    if (script::IsWaiting(st.ScriptStep)) return true;
    controller.AbortCall(CallReason::kProgramError);
    return false;
  }
  st.ScriptStep = script::NextValue(*row, Perform(row->step));
  return true;
}

script::Done SupervisionScript::Perform(script::Step step) {
  using script::Done;
  const AdmittedOffice& office = s_.state.Office;
  switch (step) {
    case script::kTables:
      return StepTables();
    case script::kDeleteTable:
      return StepDeleteTable();
    case script::kDeleteCommand:
      SendCommand("DEL " + office.DeleteList + '\r');
      s_.events().Deleted(office.DeleteList);
      return Done::kSent;
    case script::kTrafficRequest:
      return StepTrafficRequest();
    case script::kTrafficFiling:
      return StepTrafficFiling();
    case script::kTrafficDelete:
      SendCommand("DEL TRAFICO\\TRAFICO.TRF\r");
      return Done::kSent;
    case script::kDayFiles:
      return StepDayFiles();
    case script::kParameters:
      if (!day_file_list_.empty()) write_param_("inicio *.daw", std::to_string(day_end_));
      return Done::kNothing;
    case script::kClock:
      if (office.SyncClock == 0) return Done::kNothing;
      StepClock();
      return Done::kSent;
    case script::kSuccess:
      SendMessage("Comunicación exitosa");
      s_.ShowAndLog("Comunicación exitosa");
      return Done::kSent;
    case script::kDismiss:
      break;
  }
  throw std::logic_error("paso del guion sin acción: " + std::to_string(step));
}

void SupervisionScript::SendCommand(std::string bytes) {
  last_command_ = std::move(bytes);
  s_.line.SendText(last_command_);
}

void SupervisionScript::SendMessage(std::string_view utf8_text) {
  SendCommand(std::string(MessageToken) + Utf8ToAnsiExact(utf8_text).text + '\r');
}

script::Done SupervisionScript::StepTables() {
  if (ExistsNoCase(s_.exe_dir, "envio.zip")) {
    // A stop during the pauses is taken up by the reading that follows in this tick.
    Pause(Millis(1000));
    SendCommand("Recibir dato\r");
    pending_ = {Transfer::Kind::kTablesOut, s_.exe_dir, "envio.zip", {}};
    Pause(Millis(1000));
    s_.log_event("Envío de Tablas......");
  } else {
    SendMessage("Tablas ya actualizadas");
    s_.ShowAndLog("Tablas ya actualizadas");
  }
  return script::Done::kSent;
}

script::Done SupervisionScript::StepDeleteTable() {
  const AdmittedOffice& office = s_.state.Office;
  const auto first = office.DeleteList.find_first_not_of(' ');
  if (first == std::string::npos) return script::Done::kNothing;
  // The name goes back to the office byte for byte, whatever bytes it holds.
  const std::string text = "Borrando Tabla no utilizada: " + AnsiToUtf8Exact(office.DeleteList);
  s_.window.AddLine(text);
  SendMessage(text);
  s_.log_event(text);
  return script::Done::kSent;
}

script::Done SupervisionScript::StepTrafficRequest() {
  CallState& st = s_.state;
  // The office's files are received and filed in its directory: without one the call
  // cannot go on.
  std::error_code err;
  const auto dir = LookAt(file_ops_, st.Office.OfficeDir.string(), Links::kFollow, err);
  if (dir && !dir->directory) err = std::make_error_code(std::errc::not_a_directory);
  if (err) {
    throw FileError(err,
                    "No se puede usar el directorio de la oficina " + st.Office.OfficeDir.string());
  }
  if (IdentFields(st.IdentLine).TrafficFlag() == "N") {
    SendMessage("Tráfico ya enviado");
    s_.ShowAndLog("Tráfico ya enviado");
    return script::Done::kSentOtherwise;
  }
  for (const char* name : {"Recibo.zip", "trafico.trf", "trafico.bak"}) {
    RemoveNoCase(file_ops_, st.Office.OfficeDir, name);
  }
  pending_ = {Transfer::Kind::kTrafficIn, st.Office.OfficeDir, "recibo.zip",
              ReceivedNames(kTrafficRequest)};
  SendCommand(kTrafficRequest);
  s_.log_event("Recibo Tráfico.....");
  return script::Done::kSent;
}

script::Done SupervisionScript::StepTrafficFiling() {
  const AdmittedOffice& office = s_.state.Office;
  const fs::path traffic = InDir(office.OfficeDir, "TRAFICO.TRF");
  // An office may send its traffic under its backup's name.
  const auto backup = FindNoCase(office.OfficeDir, "TRAFICO.BAK");
  if (backup && file_ops_.rename(backup->c_str(), traffic.c_str()) != 0) {
    throw FileError(LastErrno(), "No se puede renombrar el archivo " + backup->string());
  }
  if (!Exists(file_ops_, traffic)) return script::Done::kNothing;
  const FiledTraffic filed = FileTraffic(traffic);
  std::error_code ec;
  const uintmax_t bytes = SizeOf(file_ops_, InDir(office.OfficeDir, filed.name), ec).value_or(0);
  if (filed.already) {
    // Traffic the office still held after an earlier call had filed it (that call ended
    // before the office was told to delete it): the office deletes it now all the same.
    s_.ShowAndLog("Tráfico ya archivado como " + filed.name);
    s_.events().TrafficAlreadyFiled(filed.name, bytes);
  } else {
    s_.events().TrafficFiled(filed.name, bytes);
  }
  // Only traffic that is safely filed, on the disk under its name, is announced as deleted:
  // the office deletes its copy when this step is acknowledged. A failure above leaves the
  // tick with the office's copy untouched.
  s_.window.AddLine("Borrando Tráfico");
  last_command_ = std::string(MessageToken) + Utf8ToAnsi("Borrando Tráfico") + '\r';
  s_.log_event("Borrado de Tráfico");
  s_.line.SendText(last_command_);
  return script::Done::kSent;
}

// The time-stamped copy and, for "tab" offices, the cumulative file are both written under
// temporary names first and put in place only when both are complete on the disk: a full
// disk leaves neither a short copy nor a half-appended cumulative file. Should the last step
// fail, the new stamped copy goes again, so that the traffic the office still holds is filed
// once when it comes again. Each is synced with its directory when it is in place.
//
// Traffic whose bytes are the office's most recent filing (a call that filed it ended before
// the office got the order to delete it) is not filed again: that copy is made durable and
// named instead. Should the cumulative file not end with the traffic, the earlier call stopped
// between the two renames, and the cumulative file gets it now.
SupervisionScript::FiledTraffic SupervisionScript::FileTraffic(const fs::path& traffic) {
  const CallState& st = s_.state;
  if (const auto earlier = LatestFilingIfSame(traffic)) {
    MakeDurable(*earlier);
    if (st.TableExt.KeepsCumulativeTraffic()) {
      const fs::path path =
          InDir(st.Office.OfficeDir, "of" + std::to_string(st.Office.OfficeNumber) + ".TRF");
      if (!EndsWithFileBytes(file_ops_, path, traffic)) {
        StagedFile cumulative(path.string(), file_ops_);
        if (Exists(file_ops_, path)) cumulative.CopyFrom(path.string());
        cumulative.CopyFrom(traffic.string());
        cumulative.Commit();
      }
    }
    return {earlier->filename().string(), true};
  }
  const std::string stamp = FormatDdMmYyyyHhMmSs(ToLocal(s_.clock.WallNow()));
  const fs::path stamped_path = InDir(st.Office.OfficeDir, stamp + ".trf");
  StagedFile stamped(stamped_path.string(), file_ops_);
  stamped.CopyFrom(traffic.string());
  stamped.Sync();
  std::optional<StagedFile> cumulative;
  if (st.TableExt.KeepsCumulativeTraffic()) {
    const fs::path path =
        InDir(st.Office.OfficeDir, "of" + std::to_string(st.Office.OfficeNumber) + ".TRF");
    cumulative.emplace(path.string(), file_ops_);
    if (Exists(file_ops_, path)) cumulative->CopyFrom(path.string());
    cumulative->CopyFrom(traffic.string());
    cumulative->Sync();
  }
  const bool stamp_is_new = !Exists(file_ops_, stamped_path);
  stamped.Commit();
  if (cumulative) {
    try {
      cumulative->Commit();
    } catch (const FileError&) {
      if (stamp_is_new) file_ops_.unlink(stamped_path.c_str());
      throw;
    }
  }
  return {stamped_path.filename().string(), false};
}

void SupervisionScript::MakeDurable(const fs::path& file) {
  std::error_code err = SyncFile(file_ops_, file.string());
  if (!err) err = SyncDirectory(file_ops_, file.parent_path().string());
  if (err) {
    throw FileError(err, "No se puede asegurar en el disco el archivo " + file.string());
  }
}

script::Done SupervisionScript::StepDayFiles() {
  const AdmittedOffice& office = s_.state.Office;
  day_file_list_.clear();
  if (office.DayFirst == 0) {
    return script::Done::kNothing;
  }
  day_end_ =
      office.DayLast >= office.DayFirst ? office.DayLast : LocalDateSerial(s_.clock.WallNow());
  // A range that no MS-DOS date can name (a date typed as ddmmyyyy, a stray number) asks
  // for nothing: it is reported and left as it is for the operator to mend.
  if (!IsDosDateSerial(office.DayFirst) || !IsDosDateSerial(day_end_)) {
    s_.ShowAndLog("Archivos *.daw no pedidos: fecha fuera de rango (inicio *.daw " +
                  std::to_string(office.DayFirst) + ", ultimo *.daw " +
                  std::to_string(office.DayLast) + ")");
    day_file_list_.clear();
    return script::Done::kNothing;
  }
  // A longer range is collected a year at a time, oldest first: the days after the last one
  // asked stay pending, and "inicio *.daw" moves on to the first of them (step 7), so that
  // the following calls fetch them.
  const int last = std::min(day_end_, office.DayFirst + (kMaxDayFiles - 1));
  for (int day = office.DayFirst; day <= last; ++day) day_file_list_ += DayFileName(day) + " ";
  if (day_file_list_.empty()) {
    return script::Done::kNothing;
  }
  RemoveNoCase(file_ops_, office.OfficeDir, "Recibo.zip");
  SendCommand(std::string(kSendCommand) + day_file_list_ + '\r');
  pending_ = {Transfer::Kind::kDayFilesIn, office.OfficeDir, "recibo.zip",
              ReceivedNames(last_command_)};
  s_.events().DayFilesAsked(RequestedNames(last_command_));
  s_.log_event("Recibo Administración......");
  if (last < day_end_) {
    s_.ShowAndLog("Archivos *.daw: se piden " + std::to_string(kMaxDayFiles) + " días, quedan " +
                  std::to_string(day_end_ - last) + " para las próximas llamadas");
    day_end_ = last + 1;
  } else if (office.DayFirst <= office.DayLast) {
    day_end_ = 0;
  }
  return script::Done::kSent;
}

void SupervisionScript::StepClock() {
  const WallTime now = s_.clock.WallNow();
  const std::string t = FormatDdMmYyyyHhMmSs(ToLocal(now));
  s_.events().ClockSet(now);
  last_command_ = std::string(ClockToken) + t + '\r';
  s_.ShowAndLog("Sincronizo fecha/hora: " + t.substr(0, 2) + "/" + t.substr(2, 2) + "/" +
                t.substr(4, 4) + " " + t.substr(8, 2) + ":" + t.substr(10, 2) + ":" +
                t.substr(12, 2));
  s_.line.SendText(last_command_);
}

void SupervisionScript::StepDismiss() {
  const AdmittedOffice& office = s_.state.Office;
  const std::string retries = LastDigits("00" + std::to_string(office.RetryCount), 2);
  const std::string period = LastDigits("000" + std::to_string(office.RetryPeriod), 3);
  SendCommand("Salir" + retries + period + '\r');
}

bool SupervisionScript::ReadReplies(CallControl& controller) {
  for (;;) {
    if (s_.stop.Requested()) {
      controller.AbortCall(CallReason::kStopped);
      return false;
    }
    s_.line.ReadPort();
    if (s_.line.Received().empty()) return true;
    const std::string received = s_.line.Received();
    bool transferred = false;
    for (char c : received) {
      // An over-long line is no reply the script could take: the assembler has dropped it.
      if (AssembleLine(reply_line_, c) != LineStep::kEnded) continue;
      s_.events().LineReceived(reply_line_);
      if (!Pause(Millis(500))) {
        controller.AbortCall(CallReason::kStopped);
        return false;
      }
      if (!HandleReply(controller, transferred)) return false;
      reply_line_.clear();
      // A transfer read the line itself: what followed the echo in this read is not scanned.
      if (transferred) break;
    }
    // Read again only when a transfer took the port's bytes; what it read past its end
    // comes back with that read.
    if (!s_.line.Received().empty()) return true;
  }
}

bool SupervisionScript::HandleReply(CallControl& controller, bool& transferred) {
  CallState& st = s_.state;
  const std::string head = reply_line_.substr(0, 7);
  if (head == AckToken) {
    NoteProgress();
    s_.window.AddLine("Ok");
    last_command_.clear();
    st.ScriptStep = std::abs(st.ScriptStep);
    return true;
  }
  if (last_command_.size() < 5 || head != last_command_.substr(0, 7)) return true;
  NoteProgress();  // the echo of the command
  if (pending_.kind == Transfer::Kind::kNone) {
    s_.line.SendText(GoToken);
    return true;
  }
  transferred = true;
  return RunTransfer(controller);
}

TransferBounds SupervisionScript::Bounds() const {
  TransferBounds bounds;
  bounds.stop = s_.stop;
  bounds.progress = &s_.state.Progress;
  bounds.max_bytes = s_.limits.max_archive_bytes;
  return bounds;
}

bool SupervisionScript::RunTransfer(CallControl& controller) {
  std::string label;
  TransferOutcome outcome;
  if (pending_.kind == Transfer::Kind::kTablesOut) {
    label = "Enviando archivo!.....";
    s_.window.AddLine(label);
    const std::string data = WholeFile(file_ops_, InDir(pending_.dir, pending_.file));
    s_.line.SendText(GoToken);
    s_.events().TransferStarted(TransferDirection::kSend, pending_.file);
    outcome = s_.line.SendFile(data, Bounds());
    const bool done = Upper(outcome.result) == kTransferOk;
    s_.events().TransferEnded(done ? data.size() : outcome.moved, outcome.result);
  } else {
    label = "Recibiendo archivo!...";
    s_.window.AddLine(label);
    s_.line.SendText(GoToken);
    if (!Pause(Millis(5000))) {
      controller.AbortCall(CallReason::kStopped);
      return false;
    }
    s_.events().TransferStarted(TransferDirection::kReceive, pending_.file);
    outcome = s_.line.ReceiveFile(pending_.dir, pending_.names, Bounds());
    std::error_code ec;
    const auto kept = FindNoCase(pending_.dir, pending_.file);
    const auto bytes = kept ? SizeOf(file_ops_, *kept, ec) : std::nullopt;
    // A transfer cut short kept nothing; what had moved is on record all the same.
    s_.events().TransferEnded(bytes ? static_cast<uintmax_t>(*bytes) : outcome.moved,
                              outcome.result);
  }
  s_.window.AddLine(outcome.result);
  s_.log_event(label + outcome.result);
  if (Upper(outcome.result) != kTransferOk) {
    controller.AbortCall(TransferFailure(outcome.end), outcome.detail);
    return false;
  }
  if (pending_.kind == Transfer::Kind::kDayFilesIn) NoteDayFilesReceived();
  pending_ = {};
  return true;
}

void SupervisionScript::NoteDayFilesReceived() {
  for (const std::string& name : pending_.names) {
    const auto found = FindNoCase(pending_.dir, name);
    if (!found) continue;
    std::error_code ec;
    const auto bytes = SizeOf(file_ops_, *found, ec);
    if (bytes) s_.events().DayFileReceived(found->filename().string(), *bytes);
  }
}

}  // namespace marvolen
